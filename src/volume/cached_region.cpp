#include "volume/cached_region.h"

#include <algorithm>
#include <cstring>

#include "format/le.h"

namespace rv {

bool CachedRegion::Read(uint64_t offset, uint8_t* out, size_t length) {
  if (!InBounds(bytes_, offset, length)) return false;
  while (length > 0) {
    const uint64_t block = offset / kBlock * kBlock;
    if (block != blockStart_) {
      block_.resize(static_cast<size_t>(std::min(kBlock, bytes_ - block)));
      blockStart_ = UINT64_MAX;
      if (!source_.ReadBytes(start_ + block, block_.data(), block_.size())) return false;
      blockStart_ = block;
    }
    const size_t at = static_cast<size_t>(offset - block);
    const size_t n = std::min(length, block_.size() - at);
    std::memcpy(out, block_.data() + at, n);
    out += n;
    offset += n;
    length -= n;
  }
  return true;
}

}  // namespace rv
