// Choosing the clusters of a deleted file whose chain is gone (a deleted
// FAT file, an exFAT file with a FAT chain) by what its content says.
//
// The engines know the volume (which clusters are free, which other
// deleted files claim which clusters) but not file formats; the deep
// scan's format table knows formats but not the engines. The engine asks
// through this seam and whoever knows the formats answers: the engine
// table installs the answer (SetClusterLayoutCheck), so the engines never
// include the format code.
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

namespace rv {

struct LcnRun {
  uint64_t lcn = 0, count = 0;
};

// What the engine knows of one deleted file. LCNs count from the volume's
// first data cluster (FAT's cluster 2 is LCN 0).
struct ClusterLayoutQuestion {
  uint64_t size = 0;             // the entry's size, within the volume
  uint64_t bytesPerCluster = 0;
  uint64_t clusterCount = 0;     // LCNs 0 .. clusterCount - 1
  uint64_t firstLcn = 0;
  // Whether the file may have had cluster `lcn` (after its first): free
  // now, and claimed by no other file that is not older than this one.
  std::function<bool(uint64_t lcn)> usable;
  // Reads `count` clusters from `lcn` into `out`, which is page aligned
  // with room for the clusters and 4096 bytes more. False on a read error.
  std::function<bool(uint64_t lcn, uint64_t count, uint8_t* out)> read;
  // The engine's own guess (its runs may hold fewer clusters than the
  // size needs, where it met a cluster in use).
  std::vector<LcnRun> guess;
  // Clusters of other deleted files that may have been in use when this
  // one was written (older files, deleted after it was written around
  // them): the gaps a fragmented file most likely jumped.
  std::vector<LcnRun> hints;
};

// How far past the first cluster other deleted files' spans are offered as
// hints, for a file of `needed` clusters: as far as a layout looks for
// usable clusters.
inline uint64_t HintReach(uint64_t needed) { return needed * 4 + 4096; }

// True, with `runs` (the file's clusters, in order, as many as its size
// needs), when the file's format validates across them; false when the
// content cannot decide (no known format, or none of the layouts tried
// validates): the engine then keeps its guess.
using ClusterLayoutCheck = bool (*)(const ClusterLayoutQuestion& question, std::vector<LcnRun>& runs);

void SetClusterLayoutCheck(ClusterLayoutCheck check);
// Null while none is installed.
ClusterLayoutCheck TheClusterLayoutCheck();

}  // namespace rv
