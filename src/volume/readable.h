// Which clusters of a deleted file can still be read from the volume.
//
// The share of a file that a recovery gets back counts the clusters the
// file system shows free; on a damaged source (a bad sector, a container
// cut short, an E01 chunk failing its checksum) some of those cannot be
// read, and the recovery puts '*' in their place. The search does not read
// file data, so the answer is only worth its reads once the source has
// failed a read: until then every cluster is taken to be readable.
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "volume/cluster_layout.h"
#include "volume/source.h"

namespace rv {

// Of the clusters in `runs` (cluster `lcn` at byte `clusterZero + lcn ×
// bytesPerCluster`), how many a read cannot get. 0 without reading where
// the source cannot hold unreadable ones. Reads in pieces of about 1 MiB, and a
// piece that fails cluster by cluster.
uint64_t UnreadableClusters(VolumeSource& source, uint64_t clusterZero, uint64_t bytesPerCluster,
                            const std::vector<LcnRun>& runs);

// Reads `count` clusters of `bytesPerCluster` into `dest` through
// `read(first, n, at)` (clusters counted from dest's first); where that
// fails, cluster by cluster and in order (a read may spill a sector into the
// next cluster's room), each that cannot be read filled with `fill`. How
// many could not be read.
uint64_t ReadClustersSalvaging(uint64_t count, uint64_t bytesPerCluster, uint8_t* dest, uint8_t fill,
                               const std::function<bool(uint64_t first, uint64_t n, uint8_t* at)>& read);

// Appends cluster `lcn` to `runs`, joining it to the last run when it follows it.
inline void AppendCluster(std::vector<LcnRun>& runs, uint64_t lcn) {
  if (!runs.empty() && runs.back().lcn + runs.back().count == lcn) ++runs.back().count;
  else runs.push_back({lcn, 1});
}

}  // namespace rv
