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
  return DateTimePlausible(date, time) ? FueUdel::FatEntryFileTime(date, time) : 0;
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
  // A folder that grew between files lies in pieces: a long name may begin
  // at the end of one piece and end at the start of the next. The piece's
  // unfinished name parts are kept, and the next piece's leading ones
  // joined to them in Finish where the long-name checksum proves the join.
  size_t from = 0, head = 0;
  if (HeadOfPiece(Bytes(run_.data(), run_.size()), head) && heads_.size() < kMaxCandidates) {
    heads_.push_back({runFolder_, runOffset_ + head, {run_.begin(), run_.begin() + head + kEntryBytes}});
    from = head + kEntryBytes;
  }
  size_t end = 0;
  while (end + kEntryBytes <= run_.size() && run_[end] != 0) end += kEntryBytes;
  if (end == run_.size()) {
    size_t tail = end;
    while (tail > from && run_[tail - kEntryBytes + fat::kEntryAttributes] == fat::kAttrLongName) tail -= kEntryBytes;
    if (tail < end && tails_.size() < kMaxCandidates) tails_.push_back({runFolder_, 0, {run_.begin() + tail, run_.end()}});
  }
  ReadEntriesFrom(from);
}

// Where the first short entry of a piece lies when the piece may open in
// the middle of a name begun in another piece: it opens with that entry,
// or with long-name parts that do not start a name (ordinal flag 0x40).
bool FatFolderScanner::HeadOfPiece(Bytes run, size_t& shortAt) {
  if (run.size() < kEntryBytes || run[0] == 0 || run[0] == fat::kDeletedMark || IsDotEntry(run.data(), kDotName))
    return false;
  if (run[fat::kEntryAttributes] == fat::kAttrLongName && (run[0] & 0x40)) return false;
  size_t pos = 0;
  while (pos + kEntryBytes <= run.size() && run[pos + fat::kEntryAttributes] == fat::kAttrLongName) pos += kEntryBytes;
  shortAt = pos;
  return pos + kEntryBytes <= run.size() && run[pos] != 0;
}

namespace {
// The long-name checksum of a short name: what each of its long-name
// entries holds at byte 13.
uint8_t ShortNameChecksum(const uint8_t* e) {
  uint8_t sum = 0;
  for (size_t i = 0; i < 11; ++i) sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + e[i]);
  return sum;
}

// Whether a short name is one a file system would make from the long
// name: its base (up to "~") and extension start as the long name's, in
// capitals, with blanks and dots dropped; a unit past ASCII matches any
// byte (each system replaces it its own way).
bool ShortNameFitsLongName(const uint8_t* e, const Text& name) {
  const size_t dot = name.rfind(u'.');
  const Text base = dot == Text::npos ? name : name.substr(0, dot);
  const Text ext = dot == Text::npos ? Text() : name.substr(dot + 1);
  auto fits = [](const uint8_t* shortPart, size_t length, const Text& longPart) {
    size_t k = 0;
    for (size_t i = 0; i < length && shortPart[i] != ' ' && shortPart[i] != '~'; ++i) {
      while (k < longPart.size() && (longPart[k] == u' ' || longPart[k] == u'.')) ++k;
      if (k == longPart.size()) return false;
      const char16_t c = longPart[k++];
      if (c < 0x80 && UpcaseChar(c) != shortPart[i]) return false;
    }
    return true;
  };
  return fits(e, 8, base) && fits(e + 8, 3, ext);
}
}  // namespace

void FatFolderScanner::JoinNamesAcrossPieces() {
  constexpr size_t kLongNameChecksum = 13;
  for (const Piece& h : heads_) {
    const uint8_t* shortEntry = h.bytes.data() + h.bytes.size() - kEntryBytes;
    const uint8_t sum = ShortNameChecksum(shortEntry);
    Piece* joined = nullptr;
    for (Piece& t : tails_) {
      if (t.bytes.empty()) continue;  // joined already
      // The tail's last part is numbered one above the head's first, and
      // every part of both carries the short name's checksum.
      const unsigned headFirst = h.bytes.size() > kEntryBytes ? (h.bytes[0] & 0x1F) : 0;
      if ((t.bytes[t.bytes.size() - kEntryBytes] & 0x1F) != headFirst + 1) continue;
      bool all = true;
      for (size_t p = 0; p + kEntryBytes < h.bytes.size(); p += kEntryBytes) all &= h.bytes[p + kLongNameChecksum] == sum;
      for (size_t p = 0; p < t.bytes.size(); p += kEntryBytes) all &= t.bytes[p + kLongNameChecksum] == sum;
      if (!all || !(t.bytes[0] & 0x40)) continue;
      std::vector<uint8_t> bytes = t.bytes;
      bytes.insert(bytes.end(), h.bytes.begin(), h.bytes.end());
      Text name;
      if (!BuildEntryName(bytes.data(), bytes.size() - kEntryBytes, name) || !ShortNameFitsLongName(shortEntry, name))
        continue;
      joined = &t;
      break;
    }
    std::vector<uint8_t> bytes = joined ? joined->bytes : std::vector<uint8_t>();
    bytes.insert(bytes.end(), joined ? h.bytes.begin() : h.bytes.end() - kEntryBytes, h.bytes.end());
    // The piece holding the end of the name continues the folder of the
    // piece holding its start.
    if (joined && joined->folder != h.folder && !folders_[h.folder].hasDot) continuedBy_[h.folder] = joined->folder;
    AddEntry(bytes.data(), bytes.size() - kEntryBytes, h.folder, h.offset);
    if (joined) joined->bytes.clear();
  }
  // Entries of a continued piece belong to the folder it continues.
  for (Entry& e : entries_) {
    size_t guard = 0;
    for (auto it = continuedBy_.find(e.folder); it != continuedBy_.end() && guard < kMaxFolderDepth;
         it = continuedBy_.find(e.folder), ++guard)
      e.folder = it->second;
  }
}

void FatFolderScanner::ReadEntriesFrom(size_t from) {
  for (size_t pos = from; pos + kEntryBytes <= run_.size() && run_[pos] != 0; pos += kEntryBytes)
    AddEntry(run_.data(), pos, runFolder_, runOffset_ + pos);
}

// The short entry at `pos` of `bytes`, named through the engine's name
// reader (long names before their short entry, deleted names with "~").
void FatFolderScanner::AddEntry(const uint8_t* bytes, size_t pos, uint64_t folder, uint64_t offset) {
  const uint8_t* e = bytes + pos;
  const uint8_t attr = e[fat::kEntryAttributes];
  if (attr == fat::kAttrLongName || (attr & fat::kAttrVolumeLabel) || IsDotEntry(e, kDotName) ||
      IsDotEntry(e, kDotDotName) || !PlausibleEntry(e))
    return;
  if (entries_.size() >= kMaxCandidates) {
    ++counts_.candidatesDropped;
    return;
  }
  Entry entry;
  if (!BuildEntryName(bytes, pos, entry.name) || entry.name.empty()) return;
  entry.folder = folder;
  entry.offset = offset;
  entry.directory = (attr & fat::kAttrDirectory) != 0;
  entry.deleted = e[0] == fat::kDeletedMark;
  entry.firstCluster = fat::EntryFirstCluster(e, g_.fat32);
  entry.size = fat::EntrySize(e);
  entry.modified = EntryFileTime(e);
  entries_.push_back(std::move(entry));
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
  JoinNamesAcrossPieces();
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
