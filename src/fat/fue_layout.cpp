// A deleted file's clusters chosen by its content (the installed
// ClusterLayoutCheck) instead of the guess, where its format can tell.
//
// Two deleted entries may claim the same clusters: a file deleted before
// another was written leaves its entry pointing into the newer file. Which
// one owns the clusters depends on whether the older file was still there
// when the newer one was written: if it was, the newer file was written
// around it (in pieces); if not, the newer file took the space whole. Only
// the content tells the two apart, so the older entries' first clusters
// are open to a newer file only through its content check, and the spans
// of older deleted files are the gaps it may have jumped.
#include <algorithm>

#include "fat/fue.h"
#include "volume/cluster_layout.h"

namespace rv {

namespace {

// Whether cluster `cluster` starts an entry that is not older than `age`
// (or any entry at all where the ages cannot tell).
bool ClaimedByNotOlder(const FueVolumeData& v, uint32_t cluster, uint32_t age) {
  if (!std::binary_search(v.firstClusters.begin(), v.firstClusters.end(), cluster)) return false;
  if (age == 0) return true;
  auto it = std::lower_bound(v.deletedClaims.begin(), v.deletedClaims.end(), cluster,
                             [](const FueVolumeData::DeletedClaim& c, uint32_t x) { return c.cluster < x; });
  // A first cluster without a deleted claim is a live entry's.
  if (it == v.deletedClaims.end() || it->cluster != cluster) return true;
  for (; it != v.deletedClaims.end() && it->cluster == cluster; ++it)
    if (it->age == 0 || it->age >= age) return true;
  return false;
}

}  // namespace

namespace FueUdel {

void ChooseClustersByContent(FueVolumeData& v, uint64_t firstLcn, uint32_t age, GuessedClusters& plan) {
  const ClusterLayoutCheck check = TheClusterLayoutCheck();
  const uint64_t bpc = plan.bytesPerCluster;
  if (!check || bpc == 0 || plan.size <= bpc || !v.firstClustersComplete) return;
  fat::FatTable& fat = FatOf(v);
  ClusterLayoutQuestion q;
  q.size = plan.size;
  q.bytesPerCluster = bpc;
  q.clusterCount = v.totalClusters;
  q.firstLcn = firstLcn;
  q.usable = [&v, &fat, age](uint64_t lcn) {
    uint32_t value = 1;
    return lcn < v.totalClusters && fat.Entry(lcn + 2, value) && value == 0 &&
           !ClaimedByNotOlder(v, static_cast<uint32_t>(lcn + 2), age);
  };
  q.read = [&v](uint64_t lcn, uint64_t count, uint8_t* out) {
    return lcn < v.totalClusters && count <= v.totalClusters - lcn &&
           DasdReadCluster(v, lcn, count, out, v.bytesPerSector, v.bytesPerCluster) != 0;
  };
  for (const auto& r : plan.runs) q.guess.push_back({r.lcn, r.count});
  if (age != 0) {
    const uint64_t needed = (plan.size + bpc - 1) / bpc;
    const uint64_t from = firstLcn + 3, to = firstLcn + 2 + HintReach(needed);
    auto it = std::lower_bound(v.deletedClaims.begin(), v.deletedClaims.end(), from,
                               [](const FueVolumeData::DeletedClaim& c, uint64_t x) { return c.cluster < x; });
    for (; it != v.deletedClaims.end() && it->cluster <= to; ++it)
      if (it->age != 0 && it->age < age)
        q.hints.push_back({it->cluster - 2u, std::max<uint64_t>(1, (it->size + bpc - 1) / bpc)});
  }
  std::vector<LcnRun> runs;
  if (!check(q, runs)) return;
  plan.runs.clear();
  plan.freeClusters = 0;
  for (const LcnRun& r : runs) {
    plan.runs.push_back({r.lcn, r.count});
    plan.freeClusters += r.count;
  }
  plan.validated = true;
}

}  // namespace FueUdel
}  // namespace rv
