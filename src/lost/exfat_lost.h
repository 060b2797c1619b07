// Old exFAT entry sets found in free clusters: a file entry, live or
// deleted, whose set checksum holds (as it was written), with a stream
// extension whose first cluster and lengths fit the volume. A set lies in
// the folder whose clusters hold it: the folder's own set, where it was
// found too, gives its name and clusters; sets in clusters no found folder
// covers are grouped by the run of adjacent clusters they lie in.
#pragma once
#include <cstdint>
#include <map>
#include <vector>

#include "lost/cluster_units.h"
#include "lost/lost_file.h"

namespace rv::lost {

struct ExfatScanGeometry {
  uint64_t bytesPerCluster = 0;
  uint64_t heapOffset = 0;    // byte offset of cluster 2
  uint64_t clusterCount = 0;  // heap clusters, numbered from 2
};

class ExfatSetScanner {
 public:
  explicit ExfatSetScanner(const ExfatScanGeometry& geometry);
  void Feed(uint64_t offset, Bytes block);
  std::vector<LostFile> Finish();
  const LostCounts& Counts() const { return counts_; }

 private:
  struct Set {
    uint64_t cluster = 0;  // where its file entry lies
    uint64_t offset = 0;
    Text name;
    bool directory = false;
    bool deleted = false;
    bool noFatChain = false;
    uint64_t firstCluster = 0;
    uint64_t size = 0, validSize = 0;
    uint64_t modified = 0;
  };

  void OnCluster(uint64_t cluster, Bytes bytes);
  // Sets whose file entry starts in [from, to) of `bytes`, which lie at
  // volume offset `offset`; returns where an unfinished set begins (the
  // size when none), for the next cluster to complete.
  size_t ReadSets(uint64_t offset, Bytes bytes, size_t from, size_t to);
  bool FolderPath(size_t folderSet, Text& path, size_t depth);
  // The folder set whose clusters hold `cluster`; SIZE_MAX when none.
  size_t FolderHolding(uint64_t cluster) const;

  ExfatScanGeometry g_;
  ClusterUnits units_;
  LostCounts counts_;
  std::vector<Set> sets_;
  std::vector<uint8_t> tail_;  // an unfinished set at the end of the last cluster
  uint64_t tailCluster_ = 0;   // the cluster the tail lies in
  uint64_t tailOffset_ = 0;    // its volume offset
  // Runs of adjacent clusters holding sets: first cluster -> one past the last.
  std::map<uint64_t, uint64_t> runs_;
  std::map<uint64_t, size_t> folderByFirst_;  // first cluster -> folder set
  std::map<size_t, std::pair<bool, Text>> placed_;
};

}  // namespace rv::lost
