#include "lost/ntfs_lost.h"

#include <algorithm>
#include <set>

#include "format/ntfs_format.h"

namespace rv::lost {
namespace {

constexpr size_t kSectorStep = 512;
// FILE record header fields the engine does not read.
constexpr size_t kRecLsn = 8;
constexpr size_t kRecBytesInUse = 24;
constexpr size_t kRecBytesAllocated = 28;
constexpr size_t kRecBaseReference = 32;
constexpr size_t kRecOwnNumber = 44;   // NTFS 3.1: the record's own number, when the update sequence starts at 48
constexpr size_t kRecHeaderWithNumber = 48;
constexpr size_t kRecMinFirstAttribute = 42;
// A folder climb longer than this is a loop the visited set missed (it
// cannot be: it holds every folder), or a volume nobody made.
constexpr size_t kMaxFolderDepth = 4096;

uint64_t RecordOf(uint64_t reference) { return reference & ntfs::kRecordNumberMask; }
uint16_t SequenceOf(uint64_t reference) { return static_cast<uint16_t>(reference >> ntfs::kReferenceSequenceShift); }

// The name a file is listed under: its Win32 or POSIX name; the DOS 8.3
// name only when it has no other.
bool PreferredName(const ntfs::AttributeWalk& walk, ntfs::FileName& out) {
  bool found = false;
  for (size_t i = walk.Find(ntfs::kTypeFileName); i < walk.size(); i = walk.Find(ntfs::kTypeFileName, i + 1)) {
    ntfs::FileName fn;
    if (!ntfs::ParseFileName(ntfs::ResidentValue(walk.record(), walk[i]), fn) || fn.name.empty()) continue;
    if (!found || (out.nameSpace == ntfs::kNamespaceDos && fn.nameSpace != ntfs::kNamespaceDos)) out = fn;
    found = true;
  }
  return found;
}

// Header fields that a real FILE record always has: the bytes in use
// inside the record and past the first attribute, the allocated size the
// record's own, the first attribute 8-byte aligned after the header.
bool HeaderConsistent(Bytes r) {
  const uint32_t inUse = le32(r, kRecBytesInUse), allocated = le32(r, kRecBytesAllocated);
  const uint16_t first = le16(r, ntfs::kRecFirstAttribute);
  if (allocated != r.size() || inUse > r.size() || first < kRecMinFirstAttribute || first % 8 != 0) return false;
  return first < inUse && le16(r, ntfs::kRecFlags) <= (ntfs::kRecInUse | ntfs::kRecDirectory | 0x000C);
}

}  // namespace

NtfsScanGeometry GeometryOf(const ntfs::BootSector& boot) {
  NtfsScanGeometry g;
  g.bytesPerFileRecord = boot.bytesPerFileRecord;
  g.bytesPerIndexRecord = boot.bytesPerIndexRecord;
  g.bytesPerCluster = boot.bytesPerCluster;
  g.totalClusters = boot.totalClusters;
  return g;
}

NtfsRecordScanner::NtfsRecordScanner(NtfsScanGeometry geometry) : g_(std::move(geometry)) {
  // The boot sector was validated; records below a sector or past 64 KiB
  // would not be NTFS's.
  g_.bytesPerFileRecord = std::clamp<uint32_t>(g_.bytesPerFileRecord, kSectorStep, 65536);
  g_.bytesPerIndexRecord = std::clamp<uint32_t>(g_.bytesPerIndexRecord, kSectorStep, 65536);
  work_.resize(std::max(g_.bytesPerFileRecord, g_.bytesPerIndexRecord));
}

bool NtfsRecordScanner::InCurrentMft(uint64_t offset) const {
  for (const ByteRange& r : g_.currentMft)
    if (offset >= r.begin && offset < r.end) return true;
  return false;
}

void NtfsRecordScanner::Feed(uint64_t offset, Bytes block) {
  const size_t longest = std::max(g_.bytesPerFileRecord, g_.bytesPerIndexRecord);
  if (!carry_.empty() && carryOffset_ + carry_.size() == offset) {
    // The records that began in the last block's tail, completed from
    // this block's head.
    const size_t carried = carry_.size();
    carry_.insert(carry_.end(), block.begin(), block.begin() + std::min(block.size(), longest));
    ScanSpan(carryOffset_, Bytes(carry_.data(), carry_.size()), carried);
  }
  carry_.clear();
  ScanSpan(offset, block, block.size());
  // A record starting in the last `longest` bytes may run on into the next block.
  size_t tail = block.size() > longest ? block.size() - longest : 0;
  tail = (tail + kSectorStep - 1) / kSectorStep * kSectorStep;
  if (tail < block.size()) {
    carry_.assign(block.begin() + tail, block.end());
    carryOffset_ = offset + tail;
  }
}

// Every 512-byte step below `limit` whose record lies inside `bytes`;
// from a carried tail (limit < size) only those that did not fit before.
void NtfsRecordScanner::ScanSpan(uint64_t offset, Bytes bytes, size_t limit) {
  const bool carried = limit < bytes.size();
  for (size_t p = 0; p < limit && p + 4 <= bytes.size(); p += kSectorStep) {
    const uint32_t signature = le32(bytes, p);
    if (signature != ntfs::kFileSignature && signature != ntfs::kIndexSignature) continue;
    const size_t size = signature == ntfs::kFileSignature ? g_.bytesPerFileRecord : g_.bytesPerIndexRecord;
    if (!InBounds(bytes.size(), p, size) || (carried && p + size <= limit)) continue;
    if (InCurrentMft(offset + p)) continue;
    if (signature == ntfs::kFileSignature) ReadFileRecord(offset + p, bytes.subspan(p, size));
    else ReadIndexRecord(offset + p, bytes.subspan(p, size));
  }
}

void NtfsRecordScanner::ReadFileRecord(uint64_t offset, Bytes bytes) {
  std::copy(bytes.begin(), bytes.end(), work_.begin());
  const MutableBytes record(work_.data(), bytes.size());
  if (!ntfs::ApplyRecordFixups(record)) {
    ++counts_.recordsTorn;
    return;
  }
  const Bytes r(record.data(), record.size());
  if (!HeaderConsistent(r)) {
    ++counts_.recordsInconsistent;
    return;
  }
  // An extension record holds attributes of another record: nothing to list.
  if (le64(r, kRecBaseReference) != 0) return;
  const ntfs::AttributeWalk walk(r);
  ntfs::FileName fn;
  if (!PreferredName(walk, fn)) return;
  Record rec;
  rec.offset = offset;
  rec.number = le16(r, ntfs::kRecUsaOffset) >= kRecHeaderWithNumber ? le32(r, kRecOwnNumber) : UINT64_MAX;
  rec.lsn = le64(r, kRecLsn);
  rec.sequence = le16(r, ntfs::kRecSequence);
  const uint16_t flags = le16(r, ntfs::kRecFlags);
  rec.inUse = (flags & ntfs::kRecInUse) != 0;
  rec.directory = (flags & ntfs::kRecDirectory) != 0;
  rec.parent = fn.parent;
  rec.name = std::move(fn.name);
  const size_t si = walk.Find(ntfs::kTypeStandardInformation);
  if (si < walk.size()) rec.modified = le64(ntfs::ResidentValue(r, walk[si]), ntfs::kSiModificationTime);
  size_t data = walk.Find(ntfs::kTypeData);
  while (data < walk.size() && walk[data].nameLength != 0) data = walk.Find(ntfs::kTypeData, data + 1);
  if (data < walk.size()) {
    const ntfs::Attribute& a = walk[data];
    const Bytes attr = ntfs::AttributeBytes(r, a);
    rec.size = a.nonResident ? le64(attr, ntfs::kAttrDataSize) : ntfs::ResidentValue(r, a).size();
    std::vector<ntfs::Run> runs;
    ntfs::DecodeMappingPairs(attr, g_.totalClusters, runs);
    if (a.nonResident && !runs.empty() && runs[0].lcn >= 0) rec.firstCluster = static_cast<uint64_t>(runs[0].lcn);
    // A size the volume cannot hold is damage (sparse files may exceed
    // the volume, but not the largest hole a run list can describe).
    if (a.nonResident && le64(attr, ntfs::kAttrLowestVcn) == 0 &&
        le64(attr, ntfs::kAttrAllocatedSize) / g_.bytesPerCluster > (uint64_t{1} << 40)) {
      ++counts_.recordsInconsistent;
      return;
    }
  }
  KeepRecord(std::move(rec));
}

// The newest copy of a record wins: the old MFT may hold a record whose
// copy also lies elsewhere (the mirror, a moved MFT fragment).
void NtfsRecordScanner::KeepRecord(Record&& rec) {
  if (rec.number != UINT64_MAX) {
    auto it = byNumber_.find(rec.number);
    if (it != byNumber_.end()) {
      ++counts_.recordsDuplicate;
      Record& kept = records_[it->second];
      if (rec.lsn > kept.lsn) kept = std::move(rec);
      return;
    }
  }
  if (records_.size() >= kMaxCandidates) {
    ++counts_.candidatesDropped;
    return;
  }
  if (rec.number != UINT64_MAX) byNumber_.emplace(rec.number, records_.size());
  records_.push_back(std::move(rec));
}

void NtfsRecordScanner::ReadIndexRecord(uint64_t offset, Bytes bytes) {
  std::copy(bytes.begin(), bytes.end(), work_.begin());
  const MutableBytes record(work_.data(), bytes.size());
  if (!ntfs::ApplyUpdateSequence(record, ntfs::kIndexSignature)) {
    ++counts_.recordsTorn;
    return;
  }
  const Bytes r(record.data(), record.size());
  const size_t node = ntfs::kIndxNodeHeader;
  const uint64_t first = le32(r, node + ntfs::kNodeFirstEntry), used = le32(r, node + ntfs::kNodeBytesInUse);
  if (first > used || !InBounds(r.size() - node, 0, used)) {
    ++counts_.recordsInconsistent;
    return;
  }
  const Bytes entries = r.subspan(node, used);
  ntfs::IndexEntry e;
  // Each entry is at least a header long, so the walk ends within
  // used / 16 steps.
  for (size_t pos = first; ntfs::ParseIndexEntry(entries, pos, e) && e.hasKey; pos += e.length) {
    // DOS names repeat a file that has its Win32 entry too; system files
    // belong to the old volume's own structures.
    if (e.name.nameSpace == ntfs::kNamespaceDos || e.name.name.empty() || RecordOf(e.reference) < ntfs::kFirstUserRecord)
      continue;
    if (indexNames_.size() >= kMaxCandidates) {
      ++counts_.candidatesDropped;
      return;
    }
    IndexName n;
    n.offset = offset;
    n.reference = e.reference;
    n.parent = e.name.parent;
    n.directory = (e.fileAttributes & ntfs::kFnAttrDirectory) != 0;
    n.name = std::move(e.name.name);
    n.size = e.dataSize;
    n.modified = e.modificationTime;
    indexNames_.push_back(std::move(n));
  }
}

bool NtfsRecordScanner::FolderPath(uint64_t parent, Text& path) {
  // The climb: folder records by number, each checked by the sequence
  // number the reference expects; a folder met twice is a loop.
  std::vector<uint64_t> chain;
  std::set<uint64_t> seen;
  bool placed = false;
  Text above;
  for (uint64_t ref = parent; chain.size() < kMaxFolderDepth;) {
    const uint64_t number = RecordOf(ref);
    if (number == ntfs::kRootFolderRecord) {
      placed = true;
      break;
    }
    auto done = placed_.find(number);
    if (done != placed_.end()) {
      placed = done->second.first;
      above = done->second.second;
      break;
    }
    auto it = byNumber_.find(number);
    if (it == byNumber_.end() || !seen.insert(number).second) break;
    const Record& folder = records_[it->second];
    if (!folder.directory || !ntfs::SequenceNames(folder.sequence, folder.inUse, SequenceOf(ref))) break;
    chain.push_back(it->second);
    ref = folder.parent;
  }
  // Down again from the highest folder placed, remembering each folder's path.
  path = placed ? above : (above.empty() ? OrphanFolder() : above);
  for (size_t i = chain.size(); i-- > 0;) {
    const Record& folder = records_[chain[i]];
    path += u"\\" + folder.name;
    placed_[folder.number] = {placed, path};
  }
  return placed;
}

std::vector<LostFile> NtfsRecordScanner::Finish() {
  std::vector<LostFile> out;
  placed_.clear();
  // Folders named only by an old index entry still place their files.
  for (const IndexName& n : indexNames_) {
    if (!n.directory || byNumber_.count(RecordOf(n.reference)) || records_.size() >= kMaxCandidates) continue;
    Record folder;
    folder.number = RecordOf(n.reference);
    folder.sequence = SequenceOf(n.reference);
    folder.inUse = true;
    folder.directory = true;
    folder.parent = n.parent;
    folder.name = n.name;
    byNumber_.emplace(folder.number, records_.size());
    records_.push_back(std::move(folder));
  }
  std::set<std::pair<uint64_t, Text>> listed;
  for (const Record& rec : records_) {
    if (rec.directory || rec.offset == 0 || (rec.number != UINT64_MAX && rec.number < ntfs::kFirstUserRecord)) continue;
    LostFile f;
    f.source = LostSource::NtfsRecord;
    f.name = rec.name;
    FolderPath(rec.parent, f.folder);
    f.size = f.validSize = rec.size;
    f.modified = rec.modified;
    f.deleted = !rec.inUse;
    f.recordOffset = rec.offset;
    f.firstCluster = rec.firstCluster;
    f.mftRecord = rec.number;
    listed.insert({rec.number, rec.name});
    out.push_back(std::move(f));
  }
  // Index entries whose FILE record was not found: a name, a size and a time.
  for (const IndexName& n : indexNames_) {
    if (n.directory) continue;
    auto it = byNumber_.find(RecordOf(n.reference));
    if (it != byNumber_.end()) {
      const Record& r = records_[it->second];
      if (ntfs::SequenceNames(r.sequence, r.inUse, SequenceOf(n.reference))) continue;
    }
    if (!listed.insert({RecordOf(n.reference), n.name}).second) continue;
    LostFile f;
    f.source = LostSource::NtfsIndex;
    f.name = n.name;
    FolderPath(n.parent, f.folder);
    f.size = f.validSize = n.size;
    f.modified = n.modified;
    f.deleted = true;
    f.recordOffset = n.offset;
    f.mftRecord = RecordOf(n.reference);
    out.push_back(std::move(f));
  }
  return out;
}

}  // namespace rv::lost
