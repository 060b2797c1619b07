// Reads entries of one FAT copy through a small block cache (CachedRegion).
#pragma once
#include <cstdint>
#include <vector>

#include "format/fat_boot.h"
#include "volume/cached_region.h"
#include "volume/source.h"

namespace rv::fat {

class FatTable {
 public:
  // Reads the copy the file system keeps current (ActiveFatIndex).
  FatTable(VolumeSource& source, const BootSector& boot);
  // Reads FAT copy `copy` (0 .. fatCount - 1).
  FatTable(VolumeSource& source, const BootSector& boot, uint32_t copy);
  // Entry of `cluster` (2 .. clusterCount + 1), 28 bits on FAT32. False when
  // the read fails or the cluster lies outside the table.
  bool Entry(uint64_t cluster, uint32_t& value);
  bool IsEndOfChain(uint32_t value) const;
  uint64_t ClusterCount() const { return boot_.clusterCount; }

 private:
  const BootSector& boot_;
  CachedRegion fat_;  // the FAT copy's bytes
};

// The clusters of a chain as extents of LCNs (cluster - 2, counted from the
// data area as Windows reports them on FAT), adjacent clusters merged.
struct ClusterExtent {
  uint64_t lcn = 0;
  uint64_t clusters = 0;
};
enum class ChainStatus {
  Ok,
  Looped,      // the chain returns to one of its own clusters: the extents hold each cluster up to there once
  Corrupt,     // the chain runs into a free or reserved entry, or leaves the volume
  ReadFailed,  // the FAT could not be read
};
// Follows the chain from `first` until its end, or until it names a cluster
// it already holds (a loop). A chain of more than `maxClusters` clusters is
// corrupt (a folder's chain, say, that runs on into a file's). On a status
// other than Ok the extents hold the clusters followed up to there.
ChainStatus ChainExtents(FatTable& table, uint64_t first, std::vector<ClusterExtent>& extents,
                         uint64_t maxClusters = UINT64_MAX);

}  // namespace rv::fat
