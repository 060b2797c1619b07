#include "lost/exfat_lost.h"

#include "format/exfat_format.h"
#include "platform/system.h"
#include "platform/text.h"

namespace rv::lost {
namespace {

using exfat::kEntryBytes;

constexpr size_t kMaxFolderDepth = 4096;
// The longest set: a file entry and 255 secondaries.
constexpr size_t kMaxSetBytes = 256 * kEntryBytes;

// Exact where the set records its UTC offset; else read in the user's zone.
uint64_t SetModificationTime(const exfat::EntrySet& s) {
  uint64_t ft = 0;
  if (exfat::TimestampToUtcFileTime(s.modified, s.modified10ms, s.modifiedUtcOffset, ft)) return ft;
  exfat::TimestampParts p;
  CalendarTime t;
  if (!exfat::DecodeTimestamp(s.modified, s.modified10ms, p)) return 0;
  t = CalendarTime{p.year, p.month, p.day, p.hour, p.minute, p.second};
  return LocalToFileTime(t, ft) ? ft + uint64_t{p.milliseconds} * 10000u : 0;
}

}  // namespace

ExfatSetScanner::ExfatSetScanner(const ExfatScanGeometry& geometry)
    : g_(geometry), units_(geometry.heapOffset, geometry.bytesPerCluster) {}

void ExfatSetScanner::Feed(uint64_t offset, Bytes block) {
  units_.Feed(offset, block, [this](uint64_t index, Bytes bytes) { OnCluster(index + exfat::kFirstCluster, bytes); });
}

void ExfatSetScanner::OnCluster(uint64_t cluster, Bytes bytes) {
  if (cluster - exfat::kFirstCluster >= g_.clusterCount) return;
  const size_t before = sets_.size();
  if (!tail_.empty() && tailCluster_ + 1 == cluster) {
    // A set that began at the end of the cluster before and runs on here
    // (a folder's clusters are consecutive when it needs no FAT chain).
    const size_t carried = tail_.size();
    tail_.insert(tail_.end(), bytes.begin(), bytes.begin() + std::min(bytes.size(), kMaxSetBytes));
    ReadSets(tailOffset_, Bytes(tail_.data(), tail_.size()), 0, carried);
  }
  tail_.clear();
  const uint64_t offset = g_.heapOffset + (cluster - exfat::kFirstCluster) * g_.bytesPerCluster;
  const size_t unfinished = ReadSets(offset, bytes, 0, bytes.size());
  if (unfinished < bytes.size()) {
    tail_.assign(bytes.begin() + unfinished, bytes.end());
    tailCluster_ = cluster;
    tailOffset_ = offset + unfinished;
  }
  if (sets_.size() == before) return;
  // Adjacent clusters holding sets are one folder's, as far as can be told.
  auto it = runs_.empty() ? runs_.end() : std::prev(runs_.end());
  if (it != runs_.end() && it->second == cluster) it->second = cluster + 1;
  else runs_.emplace(cluster, cluster + 1);
}

size_t ExfatSetScanner::ReadSets(uint64_t offset, Bytes bytes, size_t from, size_t to) {
  const uint64_t heapBytes = g_.clusterCount * g_.bytesPerCluster;
  size_t unfinished = bytes.size();
  for (size_t pos = from; pos < to && pos + kEntryBytes <= bytes.size(); pos += kEntryBytes) {
    const uint8_t type = bytes[pos];
    if (type != exfat::kTypeFile && type != exfat::kTypeDeletedFile) continue;
    exfat::EntrySet s;
    const exfat::SetProblem problem = exfat::ParseEntrySet(bytes.data() + pos, bytes.size() - pos, s);
    if (problem == exfat::SetProblem::RunsPastEnd) {
      if (unfinished == bytes.size()) unfinished = pos;
      continue;
    }
    if (problem != exfat::SetProblem::None) continue;
    if (!s.checksumMatches) {
      ++counts_.recordsTorn;
      continue;
    }
    // A stream that names a cluster outside the heap, or more bytes than
    // the heap holds, is not one a file system wrote.
    const bool clusterFits = s.firstCluster == 0 || (s.firstCluster >= exfat::kFirstCluster &&
                                                    s.firstCluster - exfat::kFirstCluster < g_.clusterCount);
    if (!clusterFits || s.dataLength > heapBytes || s.validDataLength > s.dataLength) {
      ++counts_.recordsInconsistent;
      continue;
    }
    if (sets_.size() >= kMaxCandidates) {
      ++counts_.candidatesDropped;
      return unfinished;
    }
    Set set;
    set.offset = offset + pos;
    set.cluster = (set.offset - g_.heapOffset) / g_.bytesPerCluster + exfat::kFirstCluster;
    set.name = std::move(s.name);
    set.directory = s.IsDirectory();
    set.deleted = s.deleted;
    set.noFatChain = s.NoFatChain();
    set.firstCluster = s.firstCluster;
    set.size = s.dataLength;
    set.validSize = s.validDataLength;
    set.modified = SetModificationTime(s);
    sets_.push_back(std::move(set));
    pos += (s.entries - 1) * kEntryBytes;
  }
  return unfinished;
}

size_t ExfatSetScanner::FolderHolding(uint64_t cluster) const {
  auto it = folderByFirst_.upper_bound(cluster);
  if (it == folderByFirst_.begin()) return SIZE_MAX;
  --it;
  const Set& f = sets_[it->second];
  // A folder is read as consecutive clusters from its first: certain when
  // it needs no FAT chain, and how a fresh volume lays folders out otherwise.
  const uint64_t clusters = std::max<uint64_t>(1, (f.size + g_.bytesPerCluster - 1) / g_.bytesPerCluster);
  return cluster - f.firstCluster < clusters ? it->second : SIZE_MAX;
}

// The path of the folder that holds set `index`'s cluster: the folder
// set found for it, climbing through the folders holding each; a run of
// clusters no folder set names is "Folder<first cluster>" under $Orphan.
bool ExfatSetScanner::FolderPath(size_t index, Text& path, size_t depth) {
  const uint64_t cluster = sets_[index].cluster;
  const size_t folder = FolderHolding(cluster);
  if (folder == SIZE_MAX || folder == index || depth >= kMaxFolderDepth) {
    auto run = runs_.upper_bound(cluster);
    const uint64_t first = run == runs_.begin() ? cluster : std::prev(run)->first;
    path = OrphanFolder() + u"\\Folder" + DecimalText(first);
    return false;
  }
  auto done = placed_.find(folder);
  if (done != placed_.end()) {
    path = done->second.second;
    return done->second.first;
  }
  // Mark the folder before the climb: a folder set that lies inside its
  // own clusters, or folders holding each other, end as orphans.
  placed_[folder] = {false, OrphanFolder() + u"\\" + sets_[folder].name};
  Text above;
  const bool placed = FolderPath(folder, above, depth + 1);
  path = above + u"\\" + sets_[folder].name;
  placed_[folder] = {placed, path};
  return placed;
}

std::vector<LostFile> ExfatSetScanner::Finish() {
  std::vector<LostFile> out;
  folderByFirst_.clear();
  placed_.clear();
  for (size_t i = 0; i < sets_.size(); ++i)
    if (sets_[i].directory && sets_[i].firstCluster != 0) {
      // Two sets for one folder (a live one and an older, deleted copy):
      // the live one names it.
      auto [it, added] = folderByFirst_.emplace(sets_[i].firstCluster, i);
      if (!added && sets_[it->second].deleted && !sets_[i].deleted) it->second = i;
    }
  for (size_t i = 0; i < sets_.size(); ++i) {
    const Set& s = sets_[i];
    if (s.directory) continue;
    LostFile f;
    f.source = LostSource::ExfatSet;
    f.name = s.name;
    FolderPath(i, f.folder, 0);
    f.size = s.size;
    f.validSize = s.validSize;
    f.modified = s.modified;
    f.deleted = s.deleted;
    f.recordOffset = s.offset;
    f.firstCluster = s.firstCluster;
    f.noFatChain = s.noFatChain;
    out.push_back(std::move(f));
  }
  return out;
}

}  // namespace rv::lost
