// exFAT volume setup, cluster plans, folder reading and the tree walk.
#include <algorithm>
#include <unordered_set>

#include "channel/skips.h"
#include "exfat/xue.h"
#include "format/le.h"
#include "platform/text.h"
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

bool PlanClusters(XueVolume& v, uint32_t first, uint64_t bytes, bool noFatChain, bool deleted, ClusterPlan& plan) {
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
  // are known to be the file's (NoFatChain), only those in use now are lost;
  // where they are a guess, the guess ends at the first one in use.
  auto consecutive = [&](bool guess) {
    bool taken = false;
    for (uint64_t c = first; plan.clusters.size() < n; ++c) {
      if (!b.IsHeapCluster(c)) {
        plan.cut = true;
        break;
      }
      taken = (guess && taken) || !free(c);
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
  return true;
}

bool ReadFolder(XueVolume& v, const ExfatFolder& folder, std::vector<uint8_t>& listing) {
  listing.clear();
  const BootSector& b = v.boot;
  std::vector<uint32_t> clusters;
  if (folder.root) {
    bool complete = false;
    if (!FollowChain(*v.fat, b, folder.firstCluster, kMaxFolderBytes / b.bytesPerCluster + 1, clusters, complete))
      return false;
  } else {
    ClusterPlan plan;
    if (!PlanClusters(v, folder.firstCluster, std::min(folder.bytes, kMaxFolderBytes), folder.noFatChain,
                      folder.deleted, plan))
      return false;
    // A deleted folder is read up to its first cluster in use again.
    for (uint32_t c : plan.clusters) {
      if (c == 0) break;
      clusters.push_back(c);
    }
  }
  const uint64_t bpc = b.bytesPerCluster;
  size_t i = 0;
  while (i < clusters.size()) {
    // A run of consecutive clusters, read piece by piece.
    size_t j = i + 1;
    while (j < clusters.size() && clusters[j] == clusters[j - 1] + 1) ++j;
    const uint64_t runBytes = (j - i) * bpc;
    for (uint64_t at = 0; at < runBytes;) {
      const uint64_t n = std::min(kFolderPiece, runBytes - at);
      const size_t old = listing.size();
      listing.resize(old + static_cast<size_t>(n));
      const uint32_t c = clusters[i + static_cast<size_t>(at / bpc)];
      if (!ReadHeap(*v.source, b, c, at % bpc, listing.data() + old, static_cast<uint32_t>(n))) {
        listing.resize(old);
        return !listing.empty() || old != 0;
      }
      at += n;
      for (size_t p = old; p < listing.size(); p += kEntryBytes)
        if (listing[p] == kTypeEndOfDirectory) {
          listing.resize(p + kEntryBytes);
          return true;
        }
    }
    i = j;
  }
  return true;
}

bool WalkXueTree(XueVolume& v, const std::function<bool(const XueFound&)>& onFile,
                 const std::function<void(const Text&)>& onFolder, XueWalkStats& stats) {
  struct Pending {
    ExfatFolder folder;
    Text path;  // "\a\b\"
  };
  v.folders.clear();
  v.walked = false;
  std::vector<Pending> stack;
  ExfatFolder root;
  root.firstCluster = v.boot.rootCluster;
  root.root = true;
  stack.push_back({root, u"\\"});
  std::unordered_set<uint32_t> entered;
  std::vector<uint8_t> listing;
  std::vector<Pending> subfolders;
  bool rootRead = false;
  while (!stack.empty()) {
    Pending item = std::move(stack.back());
    stack.pop_back();
    // A folder is entered once: a folder that names an ancestor (or any
    // folder already seen) as its child would loop.
    if (!entered.insert(item.folder.firstCluster).second) continue;
    if (!ReadFolder(v, item.folder, listing)) {
      if (item.folder.root) return false;
      continue;
    }
    if (item.folder.root) rootRead = true;
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
            subfolders.push_back({sub, item.path + set.name + u"\\"});
        }
      } else if (candidate) {
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
  std::vector<uint8_t> listing;
  for (auto it = range.first; it != range.second; ++it) {
    if (!ReadFolder(v, it->second, listing)) continue;
    const uint64_t pos = uint64_t{entryIndex} * kEntryBytes;
    if (!InBounds(listing.size(), pos, kEntryBytes)) continue;
    EntrySet set;
    if (ParseEntrySet(listing.data() + pos, listing.size() - pos, set) != SetProblem::None || !set.checksumMatches ||
        set.IsDirectory() || !(set.deleted || it->second.deleted))
      continue;
    // The path ends with "\" and the set's name (which may hold a "\").
    if (fullPath.size() <= set.name.size() || fullPath[fullPath.size() - set.name.size() - 1] != u'\\' ||
        !EqualsIgnoreCase(fullPath.substr(fullPath.size() - set.name.size()), set.name))
      continue;
    inDeletedFolder = it->second.deleted;
    out = std::move(set);
    return true;
  }
  return false;
}

uint32_t RecoverablePercentOf(XueVolume& v, const EntrySet& set) {
  const uint64_t wanted = std::min(set.validDataLength, set.dataLength);
  ClusterPlan plan;
  if (!PlanClusters(v, set.firstCluster, wanted, set.NoFatChain(), true, plan)) return 0;
  const uint64_t bpc = v.boot.bytesPerCluster;
  // Clusters past the valid data length hold zeros whoever has them now.
  const uint64_t all = (set.dataLength + bpc - 1) / bpc;
  if (all == 0) return 100;
  const uint64_t zeros = all - std::min<uint64_t>(all, (wanted + bpc - 1) / bpc);
  return static_cast<uint32_t>((plan.FreeCount() + zeros) * 100 / all);
}

}  // namespace rv
