// The LZNT1 decoder over one compression unit.
// Input: u8 selector (bits 0-1: the unit is 16 clusters of 512 << n bytes;
// bit 2: the rest is plain data that is first encoded here), then the
// stored clusters of the unit. Invariants: the output never exceeds the
// unit, decoding is deterministic and does not depend on what the output
// buffer held before, a larger buffer decodes a stream that fits the
// smaller one to the same bytes, and what the encoder below made decodes
// back to the plain data.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "format/lznt1.h"

using namespace rv;

namespace {

using fuzz::Check;

constexpr size_t kChunk = 4096;

// A plain greedy LZNT1 encoder: back references to the longest match in a
// short window, literals otherwise; a chunk that does not shrink is stored.
void EncodeChunk(const uint8_t* src, size_t n, std::vector<uint8_t>& out) {
  std::vector<uint8_t> body;
  size_t pos = 0;
  while (pos < n) {
    const size_t flagAt = body.size();
    body.push_back(0);
    for (int bit = 0; bit < 8 && pos < n; ++bit) {
      unsigned offsetBits = 4;
      for (size_t p = pos - 1; pos > 0 && p >= 0x10; p >>= 1) ++offsetBits;
      const unsigned lengthBits = 16 - offsetBits;
      const size_t maxLength = (size_t{1} << lengthBits) + 2;
      size_t bestLength = 0, bestOffset = 0;
      for (size_t offset = 1; offset <= pos && offset <= 64; ++offset) {
        size_t l = 0;
        while (pos + l < n && l < maxLength && src[pos + l] == src[pos + l - offset]) ++l;
        if (l > bestLength) {
          bestLength = l;
          bestOffset = offset;
        }
      }
      if (bestLength >= 3) {
        const uint16_t token = static_cast<uint16_t>(((bestOffset - 1) << lengthBits) | (bestLength - 3));
        body.push_back(static_cast<uint8_t>(token));
        body.push_back(static_cast<uint8_t>(token >> 8));
        body[flagAt] = static_cast<uint8_t>(body[flagAt] | (1u << bit));
        pos += bestLength;
      } else {
        body.push_back(src[pos++]);
      }
    }
  }
  if (body.size() < n) {
    const uint16_t header = static_cast<uint16_t>(0xB000 | (body.size() - 1));
    out.push_back(static_cast<uint8_t>(header));
    out.push_back(static_cast<uint8_t>(header >> 8));
    out.insert(out.end(), body.begin(), body.end());
  } else {
    // Stored chunks hold the full 4096 bytes except at the end of the data.
    const uint16_t header = static_cast<uint16_t>(0x3000 | (n - 1));
    out.push_back(static_cast<uint8_t>(header));
    out.push_back(static_cast<uint8_t>(header >> 8));
    out.insert(out.end(), src, src + n);
  }
}

struct Decoded {
  bool ok = false;
  size_t produced = 0;
  std::vector<uint8_t> out;
};

Decoded Decode(Bytes stream, size_t unit, uint8_t fill) {
  Decoded d;
  d.out.assign(unit, fill);
  d.ok = ntfs::Lznt1Decompress(stream, MutableBytes(d.out.data(), d.out.size()), d.produced);
  Check(d.produced <= unit);
  return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 65537) return 0;
  const size_t unit = size_t{16} * (512u << (data[0] & 3));
  Bytes rest(data + 1, size - 1);

  if (data[0] & 4) {
    // Round trip: the plain data, cut to the unit, encoded chunk by chunk.
    const size_t n = rest.size() < unit ? rest.size() : unit;
    std::vector<uint8_t> stream;
    for (size_t at = 0; at < n; at += kChunk) EncodeChunk(rest.data() + at, n - at < kChunk ? n - at : kChunk, stream);
    if (n % kChunk != 0 || n == 0) stream.push_back(0), stream.push_back(0);
    Decoded d = Decode(Bytes(stream.data(), stream.size()), unit, 0xA5);
    Check(d.ok && d.produced == n);
    Check(std::memcmp(d.out.data(), rest.data(), n) == 0);
    return 0;
  }

  // The stored clusters of a unit: what the disk holds, in whole clusters.
  const size_t cluster = 512u << (data[0] & 3);
  std::vector<uint8_t> stored(rest.begin(), rest.end());
  stored.resize((stored.size() + cluster - 1) / cluster * cluster, 0);
  Bytes stream(stored.data(), stored.size());

  Decoded a = Decode(stream, unit, 0x00);
  Decoded b = Decode(stream, unit, 0xFF);
  Check(a.ok == b.ok && a.produced == b.produced);
  Check(std::memcmp(a.out.data(), b.out.data(), a.produced) == 0);
  // Room beyond the unit changes nothing for a stream that fitted it.
  Decoded wide = Decode(stream, 2 * unit, 0x5A);
  if (a.ok) {
    Check(wide.ok && wide.produced == a.produced);
    Check(std::memcmp(a.out.data(), wide.out.data(), a.produced) == 0);
  }
  // The stream cut short never yields more than the whole stream.
  if (stream.size() > 2) {
    Decoded cut = Decode(stream.subspan(0, stream.size() / 2), unit, 0x00);
    if (a.ok && cut.ok) Check(cut.produced <= a.produced);
  }
  return 0;
}
