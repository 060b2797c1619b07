// Free-space check of a recovery: before clusters of a deleted file are
// read, the volume's current allocation bitmap is fetched for exactly the
// clusters about to be read, and only free clusters are read; clusters that
// another file holds now come out as "*" (0x2A) bytes.
#pragma once
#include <cstdint>
#include <vector>

#include "volume/dasd.h"

namespace rv {

constexpr uint8_t kInUseFill = 0x2A;

// A slice of the volume bitmap: bit b of byte k is cluster first + 8k + b
// (1 = allocated).
struct VolumeBitmapSlice {
  uint64_t first = 0;  // a multiple of 8
  uint64_t clusters = 0;
  std::vector<uint8_t> bits;
  bool Allocated(uint64_t cluster) const;  // clusters outside count as allocated
};

// FSCTL_GET_VOLUME_BITMAP for clusters [firstCluster, firstCluster + count),
// starting at firstCluster rounded down to 8. False (with an ErrorRecord of
// module FreeSpac, site 716) when the request fails or returns too little.
bool FetchVolumeBitmap(const VolumeHandle& volume, uint64_t firstCluster, uint64_t count, VolumeBitmapSlice& out);

// Reads `count` clusters from `firstCluster` into `dest` (room for
// count × cluster size + one sector). Groups of clusters in the same state
// cost one read or one fill; allocated groups become "*" and set `inUse`.
// With `unreadable`, a free cluster the volume cannot give becomes "*" too
// (set `inUse`, counted there); without it, false when a disk read fails.
bool ReadVerifiedClusters(const VolumeHandle& volume, const VolumeBitmapSlice& bitmap, uint64_t firstCluster,
                          uint64_t count, uint8_t* dest, uint32_t& inUse, uint64_t* unreadable = nullptr);

}  // namespace rv
