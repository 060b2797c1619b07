#include "lost/fat_lost.h"

#include <set>

#include "fat/fue.h"
#include "format/fat_entry.h"
#include "platform/system.h"
#include "platform/text.h"

namespace rv::lost {
namespace {

using fat::kEntryBytes;

// FAT keeps at most 65536 entries in a folder: 2 MiB of them.
constexpr size_t kMaxFolderBytes = 65536 * kEntryBytes;
constexpr size_t kMaxFolderDepth = 4096;
// Long-name entry: 0x0C type (0), 0x1A first cluster (0).
constexpr size_t kLongNameType = 0x0C;
constexpr size_t kLongNameCluster = 0x1A;
// Attribute bits a short entry may carry (read-only to archive).
constexpr uint8_t kAttrKnownBits = 0x3F;
constexpr uint8_t kDotName[11] = {'.', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
constexpr uint8_t kDotDotName[11] = {'.', '.', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};

bool IsDotEntry(const uint8_t* e, const uint8_t (&name)[11]) {
  return std::equal(name, name + 11, e) && (e[fat::kEntryAttributes] & fat::kAttrDirectory) != 0;
}

// A date word that names a real day, and a time word a real time of day.
bool DateTimePlausible(uint16_t date, uint16_t time) {
  const unsigned year = 1980 + (date >> 9), month = (date >> 5) & 0x0F, day = date & 0x1F;
  static const unsigned kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1] || (month == 2 && day == 29 && !leap)) return false;
  return (time >> 11) <= 23 && ((time >> 5) & 0x3F) <= 59 && (time & 0x1F) <= 29;
}

uint64_t EntryFileTime(const uint8_t* e) {
  const uint16_t date = fat::EntryDate(e), time = fat::EntryTime(e);
  CalendarTime t;
  t.year = 1980 + (date >> 9);
  t.month = (date >> 5) & 15;
  t.day = date & 31;
  t.hour = time >> 11;
  t.minute = (time >> 5) & 63;
  t.second = (time & 31) * 2;
  uint64_t fileTime = 0;
  return DateTimePlausible(date, time) && LocalToFileTime(t, fileTime) ? fileTime : 0;
}

}  // namespace

FatFolderScanner::FatFolderScanner(const FatScanGeometry& geometry)
    : g_(geometry), units_(geometry.dataAreaOffset, geometry.bytesPerCluster) {}

// A short entry of a folder as a file system writes it: name bytes
// printable, known attribute bits, a real modification date, a first
// cluster inside the volume and a size its clusters can hold from there.
// A long-name entry: type 0 and first cluster 0.
bool FatFolderScanner::PlausibleEntry(const uint8_t* e) const {
  const uint8_t attr = e[fat::kEntryAttributes];
  if (attr == fat::kAttrLongName) {
    const Bytes b(e, kEntryBytes);
    return le8(b, kLongNameType) == 0 && le16(b, kLongNameCluster) == 0;
  }
  if (attr & ~kAttrKnownBits) return false;
  for (size_t i = 0; i < 11; ++i)
    if (e[i] < 0x20 || (e[i] >= 'a' && e[i] <= 'z')) return false;
  if (!DateTimePlausible(fat::EntryDate(e), fat::EntryTime(e))) return false;
  const uint64_t cluster = fat::EntryFirstCluster(e, g_.fat32), size = fat::EntrySize(e);
  if (cluster == 0) return size == 0 || (attr & fat::kAttrDirectory);
  if (cluster < 2 || cluster - 2 >= g_.clusterCount) return false;
  const uint64_t clusters = (size + g_.bytesPerCluster - 1) / g_.bytesPerCluster;
  return clusters <= g_.clusterCount - (cluster - 2);
}

FatFolderScanner::ClusterKind FatFolderScanner::Classify(uint64_t cluster, Bytes bytes, uint64_t& parent) const {
  if (bytes.size() < 2 * kEntryBytes) return ClusterKind::NotFolder;
  const uint8_t* d = bytes.data();
  // A folder's first cluster: "." names the cluster itself, ".." its parent.
  if (IsDotEntry(d, kDotName) && IsDotEntry(d + kEntryBytes, kDotDotName) &&
      fat::EntryFirstCluster(d, g_.fat32) == cluster) {
    parent = fat::EntryFirstCluster(d + kEntryBytes, g_.fat32);
    if (parent == g_.rootCluster) parent = 0;
    return ClusterKind::FolderStart;
  }
  // Any other folder cluster: every entry up to the end mark plausible,
  // and at least one short entry that is not debris of a deleted one.
  size_t shortEntries = 0;
  for (size_t pos = 0; pos + kEntryBytes <= bytes.size(); pos += kEntryBytes) {
    const uint8_t* e = d + pos;
    if (e[0] == 0) break;
    if (!PlausibleEntry(e)) return ClusterKind::NotFolder;
    if (e[fat::kEntryAttributes] != fat::kAttrLongName && e[0] != fat::kDeletedMark) ++shortEntries;
  }
  return shortEntries > 0 ? ClusterKind::FolderContinuation : ClusterKind::NotFolder;
}

void FatFolderScanner::Feed(uint64_t offset, Bytes block) {
  units_.Feed(offset, block, [this](uint64_t index, Bytes bytes) { OnCluster(index + 2, bytes); });
}

void FatFolderScanner::OnCluster(uint64_t cluster, Bytes bytes) {
  if (cluster - 2 >= g_.clusterCount) return;
  uint64_t parent = 0;
  const ClusterKind kind = Classify(cluster, bytes, parent);
  const bool continues = runOpen_ && cluster == runNext_ && run_.size() + bytes.size() <= kMaxFolderBytes;
  if (kind == ClusterKind::NotFolder || kind == ClusterKind::FolderStart || !continues) CloseRun();
  if (kind == ClusterKind::NotFolder) return;
  if (!runOpen_) {
    runOpen_ = true;
    runFolder_ = cluster;
    runOffset_ = g_.dataAreaOffset + (cluster - 2) * g_.bytesPerCluster;
    Folder& f = folders_[cluster];
    if (kind == ClusterKind::FolderStart) {
      f.hasDot = true;
      f.parent = parent;
    }
  }
  run_.insert(run_.end(), bytes.begin(), bytes.end());
  runNext_ = cluster + 1;
  // A folder ends at its end mark: the cluster after it is another's.
  for (size_t pos = 0; pos + kEntryBytes <= bytes.size(); pos += kEntryBytes)
    if (bytes[pos] == 0) {
      CloseRun();
      break;
    }
}

void FatFolderScanner::CloseRun() {
  if (!runOpen_) return;
  ReadRunEntries();
  run_.clear();
  runOpen_ = false;
}

// The entries of the folder run just closed, through the engine's name
// reader (long names before their short entry, deleted names with "~").
void FatFolderScanner::ReadRunEntries() {
  for (size_t pos = 0; pos + kEntryBytes <= run_.size(); pos += kEntryBytes) {
    const uint8_t* e = run_.data() + pos;
    if (e[0] == 0) break;
    const uint8_t attr = e[fat::kEntryAttributes];
    if (attr == fat::kAttrLongName || (attr & fat::kAttrVolumeLabel) || IsDotEntry(e, kDotName) ||
        IsDotEntry(e, kDotDotName) || !PlausibleEntry(e))
      continue;
    if (entries_.size() >= kMaxCandidates) {
      ++counts_.candidatesDropped;
      return;
    }
    Entry entry;
    if (!BuildEntryName(run_.data(), pos, entry.name) || entry.name.empty()) continue;
    entry.folder = runFolder_;
    entry.offset = runOffset_ + pos;
    entry.directory = (attr & fat::kAttrDirectory) != 0;
    entry.deleted = e[0] == fat::kDeletedMark;
    entry.firstCluster = fat::EntryFirstCluster(e, g_.fat32);
    entry.size = fat::EntrySize(e);
    entry.modified = EntryFileTime(e);
    entries_.push_back(std::move(entry));
  }
}

// A folder's path: its name from the entry that names its first cluster
// (a live one before a deleted one), its parent from its ".." or else from
// the folder holding that entry. A folder whose name is gone is
// "Folder<cluster>"; one whose parent is unknown goes under $Orphan.
bool FatFolderScanner::FolderPath(uint64_t folder, Text& path) {
  std::vector<std::pair<uint64_t, Text>> chain;
  std::set<uint64_t> seen;
  bool placed = false;
  Text above;
  for (uint64_t at = folder; chain.size() < kMaxFolderDepth;) {
    if (at == 0) {
      placed = true;
      break;
    }
    auto done = placed_.find(at);
    if (done != placed_.end()) {
      placed = done->second.first;
      above = done->second.second;
      break;
    }
    if (!seen.insert(at).second) break;
    const Entry* naming = nullptr;
    auto range = folderNames_.equal_range(at);
    for (auto it = range.first; it != range.second; ++it) {
      const Entry* e = &entries_[it->second];
      if (!naming || (naming->deleted && !e->deleted)) naming = e;
    }
    auto f = folders_.find(at);
    const bool dotKnown = f != folders_.end() && f->second.hasDot;
    chain.push_back({at, naming ? naming->name : u"Folder" + DecimalText(at)});
    if (dotKnown) at = f->second.parent;
    else if (naming) at = naming->folder;
    else break;
  }
  path = placed ? above : (above.empty() ? OrphanFolder() : above);
  for (size_t i = chain.size(); i-- > 0;) {
    path += u"\\" + chain[i].second;
    placed_[chain[i].first] = {placed, path};
  }
  return placed;
}

std::vector<LostFile> FatFolderScanner::Finish() {
  CloseRun();
  std::vector<LostFile> out;
  placed_.clear();
  folderNames_.clear();
  for (size_t i = 0; i < entries_.size(); ++i)
    if (entries_[i].directory) folderNames_.emplace(entries_[i].firstCluster, i);
  for (const Entry& e : entries_) {
    if (e.directory) continue;
    LostFile f;
    f.source = LostSource::FatEntry;
    f.name = e.name;
    FolderPath(e.folder, f.folder);
    f.size = f.validSize = e.size;
    f.modified = e.modified;
    f.deleted = e.deleted;
    f.recordOffset = e.offset;
    f.firstCluster = e.firstCluster;
    out.push_back(std::move(f));
  }
  return out;
}

}  // namespace rv::lost
