// exFAT volume setup, cluster plans, folder reading and the tree walk.
#include <algorithm>
#include <unordered_set>

#include "channel/skips.h"
#include "format/cluster_stretches.h"
#include "exfat/xue.h"
#include "format/le.h"
#include "platform/text.h"
#include "volume/cluster_layout.h"
#include "volume/readable.h"
#include "volume/dasd.h"
#include "volume/diaglog.h"

namespace rv {

using namespace exfat;

namespace {
// A directory holds at most 256 MiB of entries.
constexpr uint64_t kMaxFolderBytes = 256ull << 20;
// Folder listings are read in pieces; reading stops at the piece holding the
// end-of-directory entry (a 32 MiB cluster is mostly never-used entries).
constexpr uint64_t kFolderPiece = 1u << 20;
// Deepest folder followed; the walk keeps its own stack.
constexpr size_t kMaxDepth = 4096;
constexpr size_t kMaxPathUnits = 32767;
}  // namespace

XueVolume& TheXueVolume() {
  static XueVolume volume;
  return volume;
}

void FreeXueVolumeDataStructures(XueVolume& v) { v = XueVolume{}; }

bool SetupXueVolumeDataStructures(TextView volumeName, XueVolume& v, std::string& why) {
  FreeXueVolumeDataStructures(v);
  VolumeHandle handle;
  if (IsRemoteVolume(volumeName) || !ResolveVolumeDevicePath(volumeName, handle) || !OpenVolumeHandle(handle, false)) {
    why = "the volume cannot be opened";
    return false;
  }
  XueVolume fresh;
  // Found paths start with "X:" for a drive, else with the device path.
  fresh.devicePath = handle.driveLetter ? Text(1, handle.driveLetter) + u":" : Text(handle.devicePath);
  fresh.source = handle.handle;
  if (!ReadBootRegion(*fresh.source, fresh.boot, why)) return false;
  if (!ReadRootFacts(*fresh.source, fresh.boot, fresh.root)) {
    why = "the exFAT root folder cannot be read";
    return false;
  }
  if (!fresh.bitmap.Load(*fresh.source, fresh.boot, fresh.root, why)) return false;
  v = std::move(fresh);
  v.fat = std::make_unique<FatReader>(*v.source, v.boot);
  return true;
}

uint64_t ClusterPlan::FreeCount() const {
  return static_cast<uint64_t>(std::count_if(clusters.begin(), clusters.end(), [](uint32_t c) { return c != 0; }));
}

uint64_t SetAge(const EntrySet& set) {
  if (set.created != 0) return uint64_t{set.created} << 8 | set.created10ms;
  return set.modified == 0 ? 0 : uint64_t{set.modified} << 8 | set.modified10ms;
}

namespace {

// Two deleted sets may claim the same clusters: a file deleted before
// another was written leaves its set pointing into the newer file. If the
// older file was still there when the newer one was written, the newer
// one went around it (in pieces); if not, the newer one may have taken its
// space whole. Only the content tells which, so the first cluster of a
// deleted set that is not older than the file is never the file's, the
// first clusters of older ones are open to it through its content check,
// and the spans of older ones are the gaps it most likely jumped.
std::vector<XueVolume::DeletedClaim>::const_iterator ClaimsFrom(const XueVolume& v, uint64_t cluster) {
  return std::lower_bound(v.deletedClaims.begin(), v.deletedClaims.end(), cluster,
                          [](const XueVolume::DeletedClaim& c, uint64_t x) { return c.cluster < x; });
}

// Whether cluster `cluster` starts a deleted set not older than `age` (or
// any deleted set where the ages cannot tell).
bool ClaimedByNotOlder(const XueVolume& v, uint64_t cluster, uint64_t age) {
  for (auto it = ClaimsFrom(v, cluster); it != v.deletedClaims.end() && it->cluster == cluster; ++it)
    if (age == 0 || it->age == 0 || it->age >= age) return true;
  return false;
}

// The clusters of deleted sets known to be newer than `age` that start
// among [first, first + n), as [from, to) sorted by start: those sets were
// written after the file was deleted, over its clusters. (A newer set that
// starts before the file's first cluster is not looked for: that would
// need every earlier set's span.)
std::vector<std::pair<uint64_t, uint64_t>> NewerSpans(const XueVolume& v, uint64_t first, uint64_t n, uint64_t age) {
  std::vector<std::pair<uint64_t, uint64_t>> spans;
  if (age == 0 || !v.claimsComplete) return spans;
  for (auto it = ClaimsFrom(v, first); it != v.deletedClaims.end() && it->cluster < first + n; ++it)
    if (it->age != 0 && it->age > age) spans.emplace_back(it->cluster, uint64_t{it->cluster} + std::max<uint32_t>(it->clusters, 1));
  return spans;
}

// A deleted file whose chain is gone: where its format validates across
// other clusters than the guess (the free ones after its first, in pieces
// around clusters in use or gaps), those are its clusters and no guess.
void ChooseClustersByContent(XueVolume& v, uint32_t first, uint64_t bytes, uint64_t age, ClusterPlan& plan) {
  const ClusterLayoutCheck check = TheClusterLayoutCheck();
  const BootSector& b = v.boot;
  const uint64_t bpc = b.bytesPerCluster;
  if (!check || bpc == 0 || first < 2 || plan.clusters.size() < 2) return;
  // What other deleted sets claim is known once a walk has listed them all.
  const bool claims = v.claimsComplete;
  ClusterLayoutQuestion q;
  q.size = bytes;
  q.bytesPerCluster = bpc;
  q.clusterCount = b.clusterCount;
  q.firstLcn = first - 2u;
  q.usable = [&v, &b, age, claims](uint64_t lcn) {
    return b.IsHeapCluster(lcn + 2) && !v.bitmap.InUse(lcn + 2) && !(claims && ClaimedByNotOlder(v, lcn + 2, age));
  };
  q.read = [&v, &b, bpc](uint64_t lcn, uint64_t count, uint8_t* out) {
    return count * bpc <= UINT32_MAX && b.IsHeapCluster(lcn + 2) && b.IsHeapCluster(lcn + 1 + count) &&
           ReadHeap(*v.source, b, static_cast<uint32_t>(lcn + 2), 0, out, static_cast<uint32_t>(count * bpc));
  };
  for (uint32_t c : plan.clusters) {
    if (c == 0) break;
    if (!q.guess.empty() && q.guess.back().lcn + q.guess.back().count + 2 == c) ++q.guess.back().count;
    else q.guess.push_back({c - 2u, 1});
  }
  if (claims && age != 0) {
    const uint64_t to = uint64_t{first} + HintReach(plan.clusters.size());
    for (auto it = ClaimsFrom(v, uint64_t{first} + 1); it != v.deletedClaims.end() && it->cluster <= to; ++it)
      if (it->age != 0 && it->age < age) q.hints.push_back({it->cluster - 2u, it->clusters});
  }
  std::vector<LcnRun> runs;
  if (!check(q, runs)) return;
  plan.clusters.clear();
  for (const LcnRun& r : runs)
    for (uint64_t i = 0; i < r.count; ++i) plan.clusters.push_back(static_cast<uint32_t>(r.lcn + i + 2));
  plan.guessed = false;
  plan.byFormat = true;
}

}  // namespace

bool PlanClusters(XueVolume& v, uint32_t first, uint64_t bytes, bool noFatChain, bool deleted, ClusterPlan& plan,
                  uint64_t age) {
  plan = ClusterPlan{};
  const BootSector& b = v.boot;
  uint64_t n = (bytes + b.bytesPerCluster - 1) / b.bytesPerCluster;
  if (n == 0) return true;
  // No file holds more clusters than the heap.
  if (n > b.clusterCount) {
    n = b.clusterCount;
    plan.cut = true;
  }
  if (!b.IsHeapCluster(first)) {
    plan.clusters.assign(static_cast<size_t>(n), 0);
    return true;
  }
  plan.clusters.reserve(static_cast<size_t>(n));
  auto free = [&](uint64_t c) { return !deleted || !v.bitmap.InUse(c); };
  // Consecutive clusters from `first` on, nothing past the heap. Where they
  // are known to be the file's (NoFatChain), those in use now are lost, and
  // those a newer deleted file was written over; where they are a guess,
  // the guess ends at the first cluster in use or of a newer deleted file.
  auto consecutive = [&](bool guess) {
    std::vector<std::pair<uint64_t, uint64_t>> newer;
    if (deleted) newer = NewerSpans(v, first, n, age);
    size_t k = 0;
    uint64_t overwrittenTo = 0;
    bool taken = false;
    for (uint64_t c = first; plan.clusters.size() < n; ++c) {
      if (!b.IsHeapCluster(c)) {
        plan.cut = true;
        break;
      }
      for (; k < newer.size() && newer[k].first <= c; ++k) overwrittenTo = std::max(overwrittenTo, newer[k].second);
      const bool lost = !free(c) || c < overwrittenTo;
      taken = (guess && taken) || lost;
      plan.clusters.push_back(taken ? 0 : static_cast<uint32_t>(c));
    }
  };
  if (noFatChain || n == 1) {
    consecutive(false);
    return true;
  }
  std::vector<uint32_t> chain;
  bool complete = false;
  if (!FollowChain(*v.fat, b, first, n, chain, complete)) return false;
  const bool intact = chain.size() == n && std::all_of(chain.begin(), chain.end(), free);
  if (intact || !deleted) {
    // A live folder's chain is what it is: read as far as it goes.
    plan.clusters = chain;
    return true;
  }
  plan.guessed = true;
  consecutive(true);
  if (deleted && !plan.cut) ChooseClustersByContent(v, first, bytes, age, plan);
  return true;
}

namespace {

// A stream entry that can describe a file or folder of this volume: no
// more valid bytes than bytes, and a first cluster inside the heap when it
// has any. (A size past the volume is the set's own damage, cut where it is
// read; it does not make the set debris.)
bool PlausibleStream(const BootSector& b, const EntrySet& set) {
  if (set.validDataLength > set.dataLength) return false;
  return set.dataLength == 0 ? set.firstCluster == 0 || b.IsHeapCluster(set.firstCluster)
                             : b.IsHeapCluster(set.firstCluster);
}

// Where a deleted folder's listing ends. Its end-of-directory entry ends it
// where one is left, but a folder's size may be bogus and the clusters after
// it hold anything: the listing also ends at the first cluster that no
// valid entry set (checksum, secondary count inside the clusters read,
// plausible stream entry) covers, and at the first cluster in use that
// holds a live set (it belongs to a live folder now). Clusters are judged
// in order, each once every set that may start in it has been looked at.
class DeletedListingEnd {
 public:
  DeletedListingEnd(const XueVolume& v, const std::vector<uint32_t>& clusters)
      : v_(v), clusters_(clusters), bpc_(static_cast<size_t>(v.boot.bytesPerCluster)) {}
  static constexpr size_t kNotYet = SIZE_MAX;
  // Looks at the listing read so far (`complete`: nothing more will be
  // read); the length the listing keeps once its end is known, else kNotYet.
  size_t Advance(const std::vector<uint8_t>& listing, bool complete) {
    const size_t size = listing.size();
    while (pos_ + kEntryBytes <= size) {
      const uint8_t type = listing[pos_];
      if (type == kTypeEndOfDirectory) return JudgeBefore((pos_ + bpc_ - 1) / bpc_) ? pos_ + kEntryBytes : end_;
      if (type != kTypeFile && type != kTypeDeletedFile) {
        pos_ += kEntryBytes;
        continue;
      }
      const size_t setBytes = (1 + size_t{listing[pos_ + kFileSecondaryCount]}) * kEntryBytes;
      if (!complete && setBytes > size - pos_) break;  // the rest of the set is still to be read
      EntrySet set;
      if (ParseEntrySet(listing.data() + pos_, size - pos_, set) != SetProblem::None || !set.checksumMatches ||
          !PlausibleStream(v_.boot, set)) {
        pos_ += kEntryBytes;
        continue;
      }
      const size_t first = pos_ / bpc_, last = (pos_ + setBytes - 1) / bpc_;
      if (!JudgeBefore(first)) return end_;
      if (!set.deleted && AnyInUse(first, last)) {
        end_ = first * bpc_;
        return end_;
      }
      coveredTo_ = std::max(coveredTo_, last + 1);
      pos_ += setBytes;
    }
    if (complete) return JudgeBefore((size + bpc_ - 1) / bpc_) ? size : end_;
    return JudgeBefore(std::min(pos_, size) / bpc_) ? kNotYet : end_;
  }
  // The clusters the listing kept, and the first one judged against it.
  size_t ClustersJudged() const { return judged_; }

 private:
  // Judges the clusters before cluster `upTo`; false at the first that no
  // valid set covers (the listing then ends where it starts).
  bool JudgeBefore(size_t upTo) {
    for (; judged_ < upTo; ++judged_) {
      if (judged_ >= coveredTo_) {
        end_ = judged_ * bpc_;
        ++judged_;
        return false;
      }
    }
    return true;
  }
  bool AnyInUse(size_t first, size_t last) const {
    for (size_t k = first; k <= last && k < clusters_.size(); ++k)
      if (v_.bitmap.InUse(clusters_[k])) return true;
    return false;
  }
  const XueVolume& v_;
  const std::vector<uint32_t>& clusters_;
  const size_t bpc_;
  size_t pos_ = 0;        // the next entry to look at
  size_t coveredTo_ = 0;  // one past the last cluster a valid set covers
  size_t judged_ = 0;     // clusters judged so far
  size_t end_ = 0;
};

// Reads a listing from its clusters, piece by piece. `pieceFor` gives the
// next piece's length (at most the rest of the run) and `enough` says after
// each piece whether the listing has ended (then it has its final length).
template <typename Enough>
bool ReadListingPieces(XueVolume& v, const std::vector<uint32_t>& clusters, uint64_t firstPiece,
                       std::vector<uint8_t>& listing, Enough enough) {
  const BootSector& b = v.boot;
  const uint64_t bpc = b.bytesPerCluster;
  uint64_t piece = firstPiece;
  size_t i = 0;
  while (i < clusters.size()) {
    // A run of consecutive clusters, read piece by piece.
    size_t j = i + 1;
    while (j < clusters.size() && clusters[j] == clusters[j - 1] + 1) ++j;
    const uint64_t runBytes = (j - i) * bpc;
    for (uint64_t at = 0; at < runBytes;) {
      const uint64_t n = std::min(piece, runBytes - at);
      const size_t old = listing.size();
      listing.resize(old + static_cast<size_t>(n));
      const uint32_t c = clusters[i + static_cast<size_t>(at / bpc)];
      if (!ReadHeap(*v.source, b, c, at % bpc, listing.data() + old, static_cast<uint32_t>(n))) {
        ++v.folderReadFailures;
        listing.resize(old);
        return old != 0;
      }
      at += n;
      // Pieces grow to the full piece size: a deleted folder is judged after
      // each, so what is read past its end is at most what it kept.
      piece = std::min(piece * 2, kFolderPiece);
      if (enough(false)) return true;
    }
    i = j;
  }
  enough(true);
  return true;
}

// Reads a deleted folder's listing up to where it ends, never into a
// cluster that `taken` holds (another folder's, read before); adds the
// clusters it keeps, and the one that ended it, to `taken`. Its clusters
// are, at most as many as its size needs, its FAT chain while that is as
// long (Windows leaves it), else the consecutive ones from its first
// (NoFatChain, or a chain that is gone), whatever the bitmap says of them.
// They are taken in batches that grow from one cluster, each judged before
// the next is read, so a bogus size costs what the folder holds.
bool ReadDeletedFolder(XueVolume& v, const ExfatFolder& folder, std::vector<uint8_t>& listing, ClusterStretches* taken) {
  const BootSector& b = v.boot;
  const uint64_t bpc = b.bytesPerCluster;
  if (!b.IsHeapCluster(folder.firstCluster)) return true;
  uint64_t n = (std::min(folder.bytes, kMaxFolderBytes) + bpc - 1) / bpc;
  // The walk judged it already: what it kept is read again.
  if (folder.listedKnown) n = std::min<uint64_t>(n, (folder.listedBytes + bpc - 1) / bpc);
  std::vector<uint32_t> chain;
  if (!folder.noFatChain && n > 1) {
    bool complete = false;
    if (!FollowChain(*v.fat, b, folder.firstCluster, n, chain, complete)) return false;
    if (chain.size() != n) chain.clear();
  }
  if (chain.empty()) n = std::min<uint64_t>(n, uint64_t{b.clusterCount} + kFirstCluster - folder.firstCluster);
  auto candidate = [&](size_t k) { return chain.empty() ? folder.firstCluster + static_cast<uint32_t>(k) : chain[k]; };
  std::vector<uint32_t> clusters, fresh;
  DeletedListingEnd end(v, clusters);
  size_t keep = DeletedListingEnd::kNotYet;
  const uint64_t batchMax = std::max<uint64_t>(1, kFolderPiece / bpc);
  bool read = true;
  for (uint64_t batch = 1; keep == DeletedListingEnd::kNotYet; batch = std::min(batch * 2, batchMax)) {
    fresh.clear();
    while (clusters.size() < n && fresh.size() < batch) {
      const uint32_t c = candidate(clusters.size());
      if (taken && !folder.listedKnown && taken->Contains(c)) {
        n = clusters.size();
        break;
      }
      clusters.push_back(c);
      fresh.push_back(c);
    }
    const bool last = clusters.size() >= n;
    if (folder.listedKnown) {
      if (!ReadListingPieces(v, fresh, kFolderPiece, listing, [](bool) { return false; })) return !listing.empty();
      if (last) keep = static_cast<size_t>(std::min<uint64_t>(folder.listedBytes, listing.size()));
      continue;
    }
    const bool ok = ReadListingPieces(v, fresh, kFolderPiece, listing, [&](bool) {
      keep = end.Advance(listing, false);
      return keep != DeletedListingEnd::kNotYet;
    });
    if (keep != DeletedListingEnd::kNotYet) break;
    if (!ok || listing.size() < clusters.size() * bpc) {
      // A read failed: what came before it is judged as the whole folder.
      read = ok || !listing.empty();
      keep = end.Advance(listing, true);
      break;
    }
    keep = end.Advance(listing, last);
  }
  listing.resize(std::min(keep, listing.size()));
  if (taken && !folder.listedKnown) {
    const size_t judged = std::min(end.ClustersJudged(), clusters.size());
    for (size_t k = 0; k < judged; ++k)
      if (!taken->Contains(clusters[k])) taken->Add(clusters[k]);
  }
  return read;
}

}  // namespace

bool ReadFolder(XueVolume& v, const ExfatFolder& folder, std::vector<uint8_t>& listing) {
  return ReadFolderOnce(v, folder, listing, nullptr);
}

bool ReadFolderOnce(XueVolume& v, const ExfatFolder& folder, std::vector<uint8_t>& listing, ClusterStretches* taken) {
  listing.clear();
  const BootSector& b = v.boot;
  if (folder.deleted) return ReadDeletedFolder(v, folder, listing, taken);
  std::vector<uint32_t> clusters;
  if (folder.root) {
    bool complete = false;
    if (!FollowChain(*v.fat, b, folder.firstCluster, kMaxFolderBytes / b.bytesPerCluster + 1, clusters, complete))
      return false;
  } else {
    ClusterPlan plan;
    if (!PlanClusters(v, folder.firstCluster, std::min(folder.bytes, kMaxFolderBytes), folder.noFatChain, false,
                      plan))
      return false;
    for (uint32_t c : plan.clusters) {
      if (c == 0) break;
      clusters.push_back(c);
    }
  }
  // Reading stops at the piece holding the end-of-directory entry.
  size_t scanned = 0;
  const bool read = ReadListingPieces(v, clusters, kFolderPiece, listing, [&](bool) {
    for (; scanned + kEntryBytes <= listing.size(); scanned += kEntryBytes)
      if (listing[scanned] == kTypeEndOfDirectory) {
        listing.resize(scanned + kEntryBytes);
        return true;
      }
    return false;
  });
  if (taken) {
    const size_t used = static_cast<size_t>((listing.size() + b.bytesPerCluster - 1) / b.bytesPerCluster);
    for (size_t k = 0; k < used && k < clusters.size(); ++k)
      if (!taken->Contains(clusters[k])) taken->Add(clusters[k]);
  }
  return read;
}

bool WalkXueTree(XueVolume& v, const std::function<bool(const XueFound&)>& onFile,
                 const std::function<void(const Text&)>& onFolder, XueWalkStats& stats) {
  struct Pending {
    ExfatFolder folder;
    Text path;  // "\a\b\"
  };
  v.ForgetListings();
  v.folders.clear();
  v.walked = false;
  v.deletedClaims.clear();
  v.claimsComplete = false;
  auto claim = [&v](const EntrySet& set) {
    if (!v.boot.IsHeapCluster(set.firstCluster)) return;
    const uint64_t clusters = (set.dataLength + v.boot.bytesPerCluster - 1) / v.boot.bytesPerCluster;
    v.deletedClaims.push_back({set.firstCluster,
                               static_cast<uint32_t>(std::clamp<uint64_t>(clusters, 1, v.boot.clusterCount)),
                               SetAge(set)});
  };
  std::vector<Pending> stack;
  ExfatFolder root;
  root.firstCluster = v.boot.rootCluster;
  root.root = true;
  stack.push_back({root, u"\\"});
  // A folder is entered once, a live one and a deleted one apart: a deleted
  // folder may name the first cluster of a live folder made after it.
  std::unordered_set<uint64_t> entered;
  // Folder clusters read so far: a deleted folder's listing never reaches
  // into one (a cluster is one folder's, and read once), which bounds the
  // whole walk's reading by the heap however many deleted folders claim it.
  ClusterStretches taken;
  std::vector<uint8_t> listing;
  std::vector<Pending> subfolders;
  bool rootRead = false;
  while (!stack.empty()) {
    Pending item = std::move(stack.back());
    stack.pop_back();
    // A folder is entered once: a folder that names an ancestor (or any
    // folder already seen) as its child would loop.
    if (!entered.insert(uint64_t{item.folder.firstCluster} << 1 | (item.folder.deleted ? 1 : 0)).second) continue;
    const uint64_t failuresBefore = v.folderReadFailures;
    const bool read = ReadFolderOnce(v, item.folder, listing, &taken);
    if (v.folderReadFailures != failuresBefore)
      ReportSkipped({"exFAT folder", item.folder.firstCluster, 0, v.devicePath + item.path,
                     read ? "part of its clusters cannot be read from the volume; the files there are not listed"
                          : "its clusters cannot be read from the volume; the files in it are not listed",
                     kCouldNotRead});
    if (!read) {
      if (item.folder.root) return false;
      continue;
    }
    if (item.folder.root) rootRead = true;
    item.folder.listedKnown = true;
    item.folder.listedBytes = listing.size();
    auto where = v.folders.emplace(item.folder.firstCluster, item.folder);
    if (onFolder) onFolder(item.path);
    subfolders.clear();
    const size_t size = listing.size();
    for (size_t pos = 0; pos + kEntryBytes <= size;) {
      const uint8_t type = listing[pos];
      if (type == kTypeEndOfDirectory) break;
      if (type != kTypeFile && type != kTypeDeletedFile) {
        pos += kEntryBytes;
        continue;
      }
      const bool candidate = type == kTypeDeletedFile || item.folder.deleted;
      if (!candidate && !(le16At(listing.data() + pos + kFileAttributes) & kAttrDirectory)) {
        // A live file in a live folder is neither listed nor entered: its
        // set is passed over whole while its entries are in use.
        const size_t end = std::min<size_t>(size, pos + (1 + size_t{listing[pos + kFileSecondaryCount]}) * kEntryBytes);
        size_t next = pos + kEntryBytes;
        while (next + kEntryBytes <= end && (listing[next] & kInUse) && (listing[next] & 0x40)) next += kEntryBytes;
        pos = next;
        continue;
      }
      EntrySet set;
      const SetProblem problem = ParseEntrySet(listing.data() + pos, size - pos, set);
      if (problem != SetProblem::None || !set.checksumMatches) {
        // A broken set is passed over entry by entry: what follows its file
        // entry may be the start of another set.
        if (candidate) {
          ++stats.setsPassedOver;
          if (SkipsWanted())
            ReportSkipped({"exFAT entry set", item.folder.firstCluster,
                           static_cast<uint32_t>(pos / kEntryBytes), v.devicePath + item.path,
                           problem == SetProblem::None ? "the set checksum fails"
                           : problem == SetProblem::RunsPastEnd ? "the set runs past the end of its folder"
                                                                : "a broken entry set"});
        }
        pos += kEntryBytes;
        continue;
      }
      if (set.IsDirectory()) {
        if (item.path.size() + set.name.size() + 1 < kMaxPathUnits && stack.size() < kMaxDepth) {
          ExfatFolder sub;
          sub.firstCluster = set.firstCluster;
          sub.bytes = set.dataLength;
          sub.noFatChain = set.NoFatChain();
          sub.deleted = candidate;
          if (v.boot.IsHeapCluster(sub.firstCluster) && sub.bytes != 0)
            subfolders.push_back({sub, item.path + ListedName(set.name) + u"\\"});
        }
        if (candidate) claim(set);
      } else if (candidate) {
        claim(set);
        XueFound found;
        found.folder = &where->second;
        found.entryIndex = static_cast<uint32_t>(pos / kEntryBytes);
        found.folderPath = &item.path;
        found.set = &set;
        if (!onFile(found)) return true;
      }
      pos += set.entries * kEntryBytes;
    }
    // Subfolders are visited in listing order; their first clusters are
    // asked for now, so the reads of a folder's children overlap.
    for (const Pending& sub : subfolders) {
      const uint64_t bytes = sub.folder.noFatChain ? std::min(sub.folder.bytes, kFolderPiece) : v.boot.bytesPerCluster;
      if (v.boot.IsHeapCluster(sub.folder.firstCluster))
        v.source->Prefetch(v.boot.ClusterOffset(sub.folder.firstCluster), std::min(bytes, kFolderPiece));
    }
    for (auto it = subfolders.rbegin(); it != subfolders.rend(); ++it) stack.push_back(std::move(*it));
  }
  std::sort(v.deletedClaims.begin(), v.deletedClaims.end(),
            [](const XueVolume::DeletedClaim& a, const XueVolume::DeletedClaim& b) { return a.cluster < b.cluster; });
  v.claimsComplete = true;
  v.walked = true;
  return rootRead;
}

bool FindXueFile(XueVolume& v, uint32_t folderCluster, uint32_t entryIndex, TextView fullPath, EntrySet& out,
                 bool& inDeletedFolder) {
  if (!v.IsSetUp()) return false;
  if (!v.walked) {
    XueWalkStats stats;
    if (!WalkXueTree(v, [](const XueFound&) { return true; }, nullptr, stats)) return false;
  }
  auto range = v.folders.equal_range(folderCluster);
  for (auto it = range.first; it != range.second; ++it) {
    const std::vector<uint8_t>* listing = KeptListing(v, it->second);
    if (!listing) continue;
    const uint64_t pos = uint64_t{entryIndex} * kEntryBytes;
    if (!InBounds(listing->size(), pos, kEntryBytes)) continue;
    EntrySet set;
    if (ParseEntrySet(listing->data() + pos, listing->size() - pos, set) != SetProblem::None || !set.checksumMatches ||
        set.IsDirectory() || !(set.deleted || it->second.deleted))
      continue;
    // The path ends with "\" and the set's name (which may hold a "\").
    const Text name = ListedName(set.name);
    if (fullPath.size() <= name.size() || fullPath[fullPath.size() - name.size() - 1] != u'\\' ||
        !EqualsIgnoreCase(fullPath.substr(fullPath.size() - name.size()), name))
      continue;
    inDeletedFolder = it->second.deleted;
    out = std::move(set);
    return true;
  }
  return false;
}

const std::vector<uint8_t>* KeptListing(XueVolume& v, const ExfatFolder& folder) {
  auto kept = v.keptListings.find(&folder);
  if (kept != v.keptListings.end()) return &kept->second;
  std::vector<uint8_t> listing;
  if (!ReadFolder(v, folder, listing)) return nullptr;
  if (v.keptListingBytes + listing.size() > kMaxKeptListingBytes) v.ForgetListings();
  v.keptListingBytes += listing.size();
  return &v.keptListings.emplace(&folder, std::move(listing)).first->second;
}

Text ListedName(const Text& storedName) {
  Text name = storedName;
  std::replace(name.begin(), name.end(), u'\0', u'\u2400');
  return name;
}

uint32_t RecoverablePercentOf(XueVolume& v, const EntrySet& set) {
  const uint64_t wanted = std::min(set.validDataLength, set.dataLength);
  ClusterPlan plan;
  if (!PlanClusters(v, set.firstCluster, wanted, set.NoFatChain(), true, plan, SetAge(set))) return 0;
  const uint64_t bpc = v.boot.bytesPerCluster;
  // Clusters past the valid data length hold zeros whoever has them now.
  const uint64_t all = (set.dataLength + bpc - 1) / bpc;
  if (all == 0) return 100;
  const uint64_t zeros = all - std::min<uint64_t>(all, (wanted + bpc - 1) / bpc);
  // A free cluster the source cannot read comes back as '*' all the same.
  std::vector<LcnRun> kept;
  for (uint32_t c : plan.clusters)
    if (c != 0) AppendCluster(kept, c - 2u);
  const uint64_t free = plan.FreeCount();
  const uint64_t readable = free - std::min(free, UnreadableClusters(*v.source, v.boot.ClusterOffset(2), bpc, kept));
  return static_cast<uint32_t>((readable + zeros) * 100 / all);
}

}  // namespace rv
