// Little-endian readers over a byte span. Every on-disk field is read through
// these: the span knows its size, so a field that would lie outside it reads
// as zero instead of past the buffer. Callers still validate offsets first;
// this is the last line of defence, not the check.
#pragma once
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace rv {

using Bytes = std::span<const uint8_t>;
using MutableBytes = std::span<uint8_t>;

// off <= size && len <= size - off, written so that it cannot overflow.
constexpr bool InBounds(uint64_t size, uint64_t off, uint64_t len) { return off <= size && len <= size - off; }

// Fields are assembled byte by byte on big-endian hosts; on little-endian
// ones the bytes are the value, and one copy reads or writes it whole.
template <typename T>
inline T LoadLe(const uint8_t* p) {
  T v;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&v, p, sizeof v);
  } else {
    v = 0;
    for (size_t i = 0; i < sizeof v; ++i) v = static_cast<T>(v | (static_cast<T>(p[i]) << (8 * i)));
  }
  return v;
}
template <typename T>
inline void StoreLe(uint8_t* p, T v) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(p, &v, sizeof v);
  } else {
    for (size_t i = 0; i < sizeof v; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
  }
}

inline uint8_t le8(Bytes s, size_t off) { return off < s.size() ? s[off] : 0; }
inline uint16_t le16(Bytes s, size_t off) { return InBounds(s.size(), off, 2) ? LoadLe<uint16_t>(s.data() + off) : 0; }
inline uint32_t le32(Bytes s, size_t off) { return InBounds(s.size(), off, 4) ? LoadLe<uint32_t>(s.data() + off) : 0; }
inline uint64_t le64(Bytes s, size_t off) { return InBounds(s.size(), off, 8) ? LoadLe<uint64_t>(s.data() + off) : 0; }

// Unchecked reads and writes, for the hot walks that have just proven the
// whole field range inside the buffer with InBounds.
inline uint16_t le16At(const uint8_t* p) { return LoadLe<uint16_t>(p); }
inline uint32_t le32At(const uint8_t* p) { return LoadLe<uint32_t>(p); }
inline uint64_t le64At(const uint8_t* p) { return LoadLe<uint64_t>(p); }
inline void put32At(uint8_t* p, uint32_t v) { StoreLe(p, v); }
inline void put64At(uint8_t* p, uint64_t v) { StoreLe(p, v); }

inline void put16(MutableBytes s, size_t off, uint16_t v) {
  if (InBounds(s.size(), off, 2)) StoreLe(s.data() + off, v);
}
inline void put32(MutableBytes s, size_t off, uint32_t v) {
  if (InBounds(s.size(), off, 4)) StoreLe(s.data() + off, v);
}
inline void put64(MutableBytes s, size_t off, uint64_t v) {
  if (InBounds(s.size(), off, 8)) StoreLe(s.data() + off, v);
}

}  // namespace rv
