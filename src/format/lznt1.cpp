#include "format/lznt1.h"

#include <cstring>

namespace rv::ntfs {
namespace {

constexpr size_t kChunkOutput = 4096;

// One compressed chunk's data into out[0, kChunkOutput).
bool DecodeChunk(Bytes data, uint8_t* out, size_t room, size_t& produced) {
  size_t in = 0, pos = 0;
  while (in < data.size()) {
    const uint8_t flags = data[in++];
    for (int bit = 0; bit < 8 && in < data.size(); ++bit) {
      if (!((flags >> bit) & 1)) {
        if (pos >= room) return false;
        out[pos++] = data[in++];
        continue;
      }
      if (!InBounds(data.size(), in, 2)) return false;
      const uint16_t token = le16(data, in);
      in += 2;
      // The offset field grows as the output grows: 4 bits while at most
      // 16 bytes were produced, one more bit per doubling.
      unsigned offsetBits = 4;
      for (size_t p = pos - 1; pos > 0 && p >= 0x10; p >>= 1) ++offsetBits;
      if (pos == 0 || offsetBits > 12) return false;
      const unsigned lengthBits = 16 - offsetBits;
      const size_t length = (token & ((1u << lengthBits) - 1)) + 3;
      const size_t offset = (static_cast<size_t>(token) >> lengthBits) + 1;
      if (offset > pos || length > room - pos) return false;
      // Byte by byte: a reference may overlap the bytes it produces.
      for (size_t i = 0; i < length; ++i, ++pos) out[pos] = out[pos - offset];
    }
  }
  produced = pos;
  return true;
}

}  // namespace

bool Lznt1Decompress(Bytes in, MutableBytes out, size_t& produced) {
  produced = 0;
  size_t at = 0;
  while (InBounds(in.size(), at, 2)) {
    const uint16_t header = le16(in, at);
    if (header == 0) return true;
    const size_t size = (header & 0x0FFF) + 1;
    if (((header >> 12) & 7) != 3 || !InBounds(in.size(), at + 2, size)) return false;
    Bytes data = in.subspan(at + 2, size);
    const size_t room = out.size() - produced;
    if (header & 0x8000) {
      size_t n = 0;
      if (!DecodeChunk(data, out.data() + produced, room < kChunkOutput ? room : kChunkOutput, n)) return false;
      produced += n;
    } else {
      if (size > room) return false;
      std::memcpy(out.data() + produced, data.data(), size);
      produced += size;
    }
    at += 2 + size;
  }
  // The stream may fill its buffer exactly without a terminating 0.
  return true;
}

}  // namespace rv::ntfs
