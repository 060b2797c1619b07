#include "channel/file_reader.h"

#include <algorithm>
#include <cstring>

namespace rv {

bool GridFileReader::ReadAt(uint64_t offset, uint8_t* dest, size_t length, size_t& got) {
  got = 0;
  if (offset >= size_) return true;
  length = static_cast<size_t>(std::min<uint64_t>(length, size_ - offset));
  while (got < length) {
    const uint64_t at = offset + got, start = at / grid_ * grid_;
    if (!piece_ || pieceStart_ != start) {
      piece_ = MakePiece(start, std::min(grid_, size_ - start));
      pieceStart_ = start;
      if (!piece_) return false;
    }
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length - got, start + grid_ - at));
    std::memcpy(dest + got, piece_ + (at - start), n);
    got += n;
  }
  return true;
}

}  // namespace rv
