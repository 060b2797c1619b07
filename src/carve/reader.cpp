// The bounded, windowed reader the measure functions read candidates with.
#include <algorithm>
#include <array>
#include <cstring>

#include "carve/formats.h"
#include "carve/measure_support.h"

namespace rv::carve {

namespace {

// Reads are re-based to this alignment, so a window always holds the
// 64 KiB that a structure read of at most kMaxAt bytes needs.
constexpr uint64_t kRebase = 64 * 1024;
constexpr size_t kMaxAt = 64 * 1024;

// Slicing by 8: table k gives the CRC of a byte followed by k zero bytes,
// so eight bytes are folded in with eight lookups and no dependency chain.
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;
constexpr CrcTables MakeCrcTables() {
  CrcTables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][i] = c;
  }
  for (size_t k = 1; k < 8; ++k)
    for (uint32_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  return t;
}
constexpr CrcTables kCrcTables = MakeCrcTables();

}  // namespace

uint32_t Crc32Update(uint32_t crc, const uint8_t* bytes, size_t length) {
  const auto& t = kCrcTables;
  uint32_t c = ~crc;
  size_t i = 0;
  for (; i + 8 <= length; i += 8) {
    const uint32_t low = c ^ (bytes[i] | (bytes[i + 1] << 8) | (bytes[i + 2] << 16) | (uint32_t(bytes[i + 3]) << 24));
    c = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
        t[3][bytes[i + 4]] ^ t[2][bytes[i + 5]] ^ t[1][bytes[i + 6]] ^ t[0][bytes[i + 7]];
  }
  for (; i < length; ++i) c = t[0][(c ^ bytes[i]) & 0xFF] ^ (c >> 8);
  return ~c;
}

bool MemorySource::ReadAt(uint64_t offset, uint8_t* out, size_t length) {
  if (offset > bytes_.size() || length > bytes_.size() - offset) return false;
  std::memcpy(out, bytes_.data() + offset, length);
  return true;
}

BoundedReader::BoundedReader(ByteSource& source, uint64_t limit, AlignedBuffer* window)
    : source_(source), limit_(std::min(limit, source.Size())), window_(window ? window : &own_) {}

bool BoundedReader::Fill(uint64_t windowStart) {
  if (windowStart >= limit_) return false;
  if (window_->size() < kWindow) *window_ = AlignedBuffer(kWindow);
  const size_t n = static_cast<size_t>(std::min<uint64_t>(kWindow, limit_ - windowStart));
  windowStart_ = UINT64_MAX;
  if (!source_.ReadAt(windowStart, window_->data(), n)) {
    readFailed_ = true;
    return false;
  }
  windowStart_ = windowStart;
  windowBytes_ = n;
  return true;
}

const uint8_t* BoundedReader::At(uint64_t offset, size_t length) {
  if (length > kMaxAt || offset > limit_ || length > limit_ - offset) return nullptr;
  const bool inside = windowStart_ != UINT64_MAX && offset >= windowStart_ &&
                      offset - windowStart_ <= windowBytes_ && length <= windowBytes_ - (offset - windowStart_);
  if (!inside && !Fill(offset / kRebase * kRebase)) return nullptr;
  return window_->data() + (offset - windowStart_);
}

const uint8_t* BoundedReader::Run(uint64_t offset, size_t& available) {
  available = 0;
  if (offset >= limit_) return nullptr;
  const bool inside = windowStart_ != UINT64_MAX && offset >= windowStart_ && offset - windowStart_ < windowBytes_;
  if (!inside && !Fill(offset / kRebase * kRebase)) return nullptr;
  available = windowBytes_ - static_cast<size_t>(offset - windowStart_);
  return window_->data() + (offset - windowStart_);
}

bool BoundedReader::U8(uint64_t offset, uint8_t& v) {
  const uint8_t* p = At(offset, 1);
  if (!p) return false;
  v = *p;
  return true;
}

namespace {
template <typename T, bool Big>
T Assemble(const uint8_t* p) {
  T v = 0;
  for (size_t i = 0; i < sizeof(T); ++i) {
    const size_t byte = Big ? sizeof(T) - 1 - i : i;
    v = static_cast<T>(v | static_cast<T>(static_cast<T>(p[i]) << (8 * byte)));
  }
  return v;
}
}  // namespace

#define RV_CARVE_FIELD(Name, T, Big)                     \
  bool BoundedReader::Name(uint64_t offset, T& v) {      \
    const uint8_t* p = At(offset, sizeof(T));            \
    if (!p) return false;                                \
    v = Assemble<T, Big>(p);                             \
    return true;                                         \
  }
RV_CARVE_FIELD(Le16, uint16_t, false)
RV_CARVE_FIELD(Le32, uint32_t, false)
RV_CARVE_FIELD(Le64, uint64_t, false)
RV_CARVE_FIELD(Be16, uint16_t, true)
RV_CARVE_FIELD(Be32, uint32_t, true)
RV_CARVE_FIELD(Be64, uint64_t, true)
#undef RV_CARVE_FIELD

uint64_t BoundedReader::Find(uint64_t from, uint64_t to, std::string_view needle) {
  const size_t n = needle.size();
  if (n == 0 || n > 64) return kNotFound;
  to = std::min(to, limit_);
  uint64_t pos = from;
  while (pos <= to && n <= to - pos) {
    size_t available = 0;
    const uint8_t* p = Run(pos, available);
    if (!p) return kNotFound;
    if (available < n) {
      // The needle would cross the window's end: re-base the window here.
      if (!At(pos, n)) return kNotFound;
      p = Run(pos, available);
    }
    const uint64_t span = std::min<uint64_t>(available, to - pos);
    const size_t starts = static_cast<size_t>(span - n + 1);
    const uint8_t* hit = p;
    const uint8_t* const end = p + starts;
    while (hit < end) {
      hit = static_cast<const uint8_t*>(std::memchr(hit, static_cast<uint8_t>(needle[0]), end - hit));
      if (!hit) break;
      if (std::memcmp(hit, needle.data(), n) == 0) return pos + static_cast<uint64_t>(hit - p);
      ++hit;
    }
    pos += starts;
  }
  return kNotFound;
}

bool BoundedReader::Crc32(uint64_t offset, uint64_t length, uint32_t& crc) {
  if (offset > limit_ || length > limit_ - offset) return false;
  uint32_t c = crc;
  while (length > 0) {
    size_t available = 0;
    const uint8_t* p = Run(offset, available);
    if (!p) return false;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(available, length));
    c = Crc32Update(c, p, n);
    offset += n;
    length -= n;
  }
  crc = c;
  return true;
}

}  // namespace rv::carve
