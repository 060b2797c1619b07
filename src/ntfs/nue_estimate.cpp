// How much of a deleted NTFS file can still come back: the share of its
// data clusters that the volume bitmap shows free now (resident data lives
// in the record and is always whole).
#include <algorithm>
#include <map>

#include "channel/freespac.h"
#include "ntfs/nue.h"
#include "volume/readable.h"

namespace rv::NueUdel {
namespace {

// The estimate runs for every listed file, so the volume bitmap is read in
// slices of 2^23 clusters (1 MiB of bits) and kept for the volume; a
// handful of slices bound the memory on the largest volumes.
class BitmapSlices {
 public:
  bool Allocated(NueVolumeData& v, uint64_t cluster, bool& allocated) {
    if (v.handle.get() != owner_) {
      slices_.clear();
      owner_ = v.handle.get();
    }
    const uint64_t index = cluster >> kShift;
    auto it = slices_.find(index);
    if (it == slices_.end()) {
      if (slices_.size() >= kMaxSlices) slices_.clear();
      const uint64_t first = index << kShift;
      if (first >= v.totalClusters) return false;
      const uint64_t count = std::min<uint64_t>(uint64_t{1} << kShift, v.totalClusters - first);
      VolumeBitmapSlice slice;
      if (!FetchVolumeBitmap(v, first, count, slice)) return false;
      it = slices_.emplace(index, std::move(slice)).first;
    }
    allocated = it->second.Allocated(cluster);
    return true;
  }

 private:
  static constexpr unsigned kShift = 23;
  static constexpr size_t kMaxSlices = 16;
  const VolumeSource* owner_ = nullptr;
  std::map<uint64_t, VolumeBitmapSlice> slices_;
};

BitmapSlices& Slices() {
  static BitmapSlices s;
  return s;
}

// Share of the clusters in the RunTable's first group, up to the data size,
// that the volume bitmap shows free.
bool PercentOfRunTable(NueVolumeData& v, uint32_t dataKind, uint32_t& percent) {
  thread_local RunGroupView group;  // asked for every listed file: its room is kept
  if (v.dataDamaged == 2) {
    percent = 0;
    return true;
  }
  if (dataKind != 2 || !FirstRunGroup(v, group)) {
    percent = 100;
    return true;
  }
  // Only the clusters that hold data up to the file's size count.
  uint64_t wanted = (v.dataSize + v.bytesPerCluster - 1) / v.bytesPerCluster;
  uint64_t stored = 0, free = 0;
  thread_local std::vector<LcnRun> freeRuns;
  freeRuns.clear();
  for (const auto& run : group.runs) {
    if (wanted == 0) break;
    const uint64_t n = std::min<uint64_t>(run.length, wanted);
    wanted -= n;
    if (run.lcn < 0 || n == 0) continue;  // a hole has nothing to lose
    for (uint64_t c = 0; c < n; ++c) {
      bool allocated = true;
      if (!Slices().Allocated(v, static_cast<uint64_t>(run.lcn) + c, allocated)) return false;
      if (!allocated) {
        ++free;
        AppendCluster(freeRuns, static_cast<uint64_t>(run.lcn) + c);
      }
    }
    stored += n;
  }
  // A free cluster the source cannot read comes back as '*' all the same.
  free -= std::min(free, UnreadableClusters(*v.handle, 0, v.bytesPerCluster, freeRuns));
  // Clusters a damaged run list no longer maps are lost.
  if (v.dataDamaged != 0) stored += wanted;
  percent = stored == 0 ? 100 : static_cast<uint32_t>(free * 100 / stored);
  return true;
}

}  // namespace

bool RecoverablePercentOfListed(uint32_t& percent) {
  NueVolumeData& v = TheNueVolume();
  if (!v.handle || v.bytesPerCluster == 0) return false;
  return PercentOfRunTable(v, v.listedDataKind, percent);
}

}  // namespace rv::NueUdel
