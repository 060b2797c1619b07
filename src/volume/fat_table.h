// Reads entries of one FAT copy through a small block cache, so that the
// table is never loaded whole (a 2 TiB FAT32 volume has a 256 MiB FAT).
#pragma once
#include <cstdint>
#include <vector>

#include "format/fat_boot.h"
#include "volume/source.h"

namespace rv::fat {

class FatTable {
 public:
  // Reads the copy the file system keeps current (ActiveFatIndex).
  FatTable(VolumeSource& source, const BootSector& boot);
  // Entry of `cluster` (2 .. clusterCount + 1), 28 bits on FAT32. False when
  // the read fails or the cluster lies outside the table.
  bool Entry(uint64_t cluster, uint32_t& value);
  bool IsEndOfChain(uint32_t value) const;
  uint64_t ClusterCount() const { return boot_.clusterCount; }

 private:
  bool Byte(uint64_t offset, uint8_t& out);

  VolumeSource& source_;
  const BootSector& boot_;
  uint64_t fatStart_;  // byte offset of the FAT copy
  uint64_t fatBytes_;
  static constexpr uint32_t kBlock = 65536;
  std::vector<uint8_t> block_;
  uint64_t blockStart_ = UINT64_MAX;
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
