// Reads small pieces of one region of a volume (a FAT, say) through a
// cached block of 64 KiB, aligned to the region's start, so that lookups
// near each other cost one read per block and a large region is never
// loaded whole (a 2 TiB FAT32 volume has a 256 MiB FAT).
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "volume/source.h"

namespace rv {

class CachedRegion {
 public:
  CachedRegion(VolumeSource& source, uint64_t start, uint64_t bytes) : source_(source), start_(start), bytes_(bytes) {}
  // Copies `length` bytes from `offset` (from the region's start); false
  // when they do not all lie inside the region or a read fails.
  bool Read(uint64_t offset, uint8_t* out, size_t length);

 private:
  static constexpr uint64_t kBlock = 65536;
  VolumeSource& source_;
  uint64_t start_;
  uint64_t bytes_;
  std::vector<uint8_t> block_;
  uint64_t blockStart_ = UINT64_MAX;  // offset of the cached block in the region
};

}  // namespace rv
