// Little-endian readers over a byte span. Every on-disk field is read through
// these: the span knows its size, so a field that would lie outside it reads
// as zero instead of past the buffer. Callers still validate offsets first;
// this is the last line of defence, not the check.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

namespace rv {

using Bytes = std::span<const uint8_t>;
using MutableBytes = std::span<uint8_t>;

// off <= size && len <= size - off, written so that it cannot overflow.
constexpr bool InBounds(uint64_t size, uint64_t off, uint64_t len) { return off <= size && len <= size - off; }

inline uint8_t le8(Bytes s, size_t off) { return off < s.size() ? s[off] : 0; }
inline uint16_t le16(Bytes s, size_t off) {
  if (!InBounds(s.size(), off, 2)) return 0;
  return static_cast<uint16_t>(s[off] | (s[off + 1] << 8));
}
inline uint32_t le32(Bytes s, size_t off) {
  if (!InBounds(s.size(), off, 4)) return 0;
  return static_cast<uint32_t>(s[off]) | (static_cast<uint32_t>(s[off + 1]) << 8) |
         (static_cast<uint32_t>(s[off + 2]) << 16) | (static_cast<uint32_t>(s[off + 3]) << 24);
}
inline uint64_t le64(Bytes s, size_t off) {
  if (!InBounds(s.size(), off, 8)) return 0;
  return static_cast<uint64_t>(le32(s, off)) | (static_cast<uint64_t>(le32(s, off + 4)) << 32);
}

// Unchecked reads, for the hot walks that have just proven the whole field
// range inside the buffer with InBounds.
inline uint16_t le16At(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t le32At(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

inline uint64_t le64At(const uint8_t* p) {
  return static_cast<uint64_t>(le32At(p)) | (static_cast<uint64_t>(le32At(p + 4)) << 32);
}
inline void put32At(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put64At(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void put16(MutableBytes s, size_t off, uint16_t v) {
  if (!InBounds(s.size(), off, 2)) return;
  s[off] = static_cast<uint8_t>(v);
  s[off + 1] = static_cast<uint8_t>(v >> 8);
}
inline void put32(MutableBytes s, size_t off, uint32_t v) {
  if (!InBounds(s.size(), off, 4)) return;
  for (int i = 0; i < 4; ++i) s[off + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put64(MutableBytes s, size_t off, uint64_t v) {
  if (!InBounds(s.size(), off, 8)) return;
  for (int i = 0; i < 8; ++i) s[off + i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace rv
