// Data runs: run lists decoded into the process-wide RunTable, one group per
// data attribute of a record, attribute lists followed into extension
// records, adjacent runs merged, and one attribute's group selected.
// The table is addressed by offsets from its start, so a block that moves
// when it grows leaves nothing dangling.
#include <algorithm>
#include <cstring>

#include "ntfs/nue.h"
#include "platform/lasterror.h"
#include "volume/diaglog.h"

namespace rv {
namespace {

constexpr const char* kModule = "NtfsSubs";
// Far above any real file's run count; a damaged chain of attribute lists
// cannot make the table grow without end.
constexpr uint32_t kMaxRunTableBytes = 64u << 20;
constexpr size_t kMaxListResolves = 4096;
constexpr uint64_t kMaxNonResidentValue = 64u << 20;

MutableBytes Table(NueVolumeData& v) { return MutableBytes(v.runTableAddress, v.runTableCapacity); }
Bytes ConstTable(const NueVolumeData& v) { return Bytes(v.runTableAddress, v.runTableCapacity); }

// Makes room for `bytes` more after the cursor's length.
bool EnsureRoom(NueVolumeData& v, RunCursor& c, uint32_t bytes, int site) {
  if (!v.runTableAddress) return false;
  while (!InBounds(v.runTableCapacity, c.length, bytes)) {
    if (v.runTableCapacity >= kMaxRunTableBytes) {
      SetLastErrorCode(kErrorNotEnoughMemory);
      ErrorRecord(kModule, site);
      return false;
    }
    const uint32_t grown = v.runTableCapacity + kRunTableStep;
    void* address = v.runTableAddress;
    if (!AllocGlobalBlock(grown, &v.runTable, &address)) {
      v.runTableAddress = nullptr;
      v.runTableCapacity = 0;
      ErrorRecord(kModule, site);
      return false;
    }
    v.runTableAddress = static_cast<uint8_t*>(address);
    v.runTableCapacity = grown;
  }
  return true;
}

ntfs::Run RunAt(Bytes t, uint32_t group, uint64_t i) {
  const size_t at = group + kRunGroupHeaderBytes + kRunEntryBytes * i;
  return {static_cast<int64_t>(le64(t, at + runtable::kRunLcn)), le64(t, at + runtable::kRunLength)};
}

// Unchecked: for entries the caller has proven inside the table.
ntfs::Run RunAt(const uint8_t* t, uint32_t group, uint64_t i) {
  const uint8_t* at = t + group + kRunGroupHeaderBytes + kRunEntryBytes * i;
  return {static_cast<int64_t>(le64At(at + runtable::kRunLcn)), le64At(at + runtable::kRunLength)};
}

void PutRun(uint8_t* t, uint32_t group, uint64_t i, ntfs::Run r) {
  uint8_t* at = t + group + kRunGroupHeaderBytes + kRunEntryBytes * i;
  put64At(at + runtable::kRunLcn, static_cast<uint64_t>(r.lcn));
  put64At(at + runtable::kRunLength, r.length);
}

uint32_t GroupBytes(Bytes t, uint32_t group) {
  return static_cast<uint32_t>(kRunGroupHeaderBytes + kRunEntryBytes * le64(t, group + runtable::kRunCount));
}

bool StartGroup(NueVolumeData& v, RunCursor& c, uint32_t ordinal, int site) {
  if (!EnsureRoom(v, c, kRunGroupHeaderBytes, site)) return false;
  std::memset(v.runTableAddress + c.length, 0, kRunGroupHeaderBytes);
  put32(Table(v), c.length + runtable::kOrdinal, ordinal);
  c.groupOffset = c.length;
  c.length += kRunGroupHeaderBytes;
  c.haveGroup = true;
  c.bytesMapped = c.clustersMapped = c.clustersStored = 0;
  return true;
}

void SetGroupSizes(NueVolumeData& v, const RunCursor& c, Bytes attr) {
  put64(Table(v), c.groupOffset + runtable::kAllocatedSize, le64(attr, ntfs::kAttrAllocatedSize));
  put64(Table(v), c.groupOffset + runtable::kDataSize, le64(attr, ntfs::kAttrDataSize));
}

bool NameEquals(Bytes record, const ntfs::Attribute& a, TextView name) {
  if (a.nameLength != name.size()) return false;
  for (size_t i = 0; i < name.size(); ++i)
    if (le16(record, a.offset + a.nameOffset + 2 * i) != name[i]) return false;
  return true;
}

bool ListNameEquals(Bytes list, size_t entry, TextView name) {
  const size_t length = le8(list, entry + ntfs::kAleNameLength);
  const size_t offset = le8(list, entry + ntfs::kAleNameOffset);
  if (length != name.size()) return false;
  for (size_t i = 0; i < length; ++i)
    if (le16(list, entry + offset + 2 * i) != name[i]) return false;
  return true;
}

void ResetPerFileResults(NueVolumeData& v) {
  v.compressedFlag = v.sparseFlag = v.directoryFlag = v.fragmentedFlag = 0;
  v.allocatedSize = v.dataSize = v.initializedSize = 0;
  v.compressionUnitClusters = 16;
  v.extentCount = v.totalRunClusters = v.storedClusters = v.discontinuities = 0;
  v.lowestCluster = 0;
  v.dataDamaged = 0;
}

// File attributes of $STANDARD_INFORMATION; false when the record has none.
bool NoteStandardInformation(NueVolumeData& v, const ntfs::AttributeWalk& w, uint64_t* modificationTime) {
  const size_t at = w.Find(ntfs::kTypeStandardInformation);
  if (at == w.size() || w[at].nonResident) return false;
  Bytes value = ntfs::ResidentValue(w.record(), w[at]);
  if (value.size() < ntfs::kSiFileAttributes + 4) return false;
  const uint32_t attributes = le32(value, ntfs::kSiFileAttributes);
  v.sparseFlag = (attributes & ntfs::kFileAttrSparse) ? 1 : 0;
  v.compressedFlag = (attributes & ntfs::kFileAttrCompressed) ? 1 : 0;
  if (modificationTime) *modificationTime = le64(value, ntfs::kSiModificationTime);
  return true;
}

// A record given, or the one with the current record number read now.
bool RecordOrCurrent(NueVolumeData& v, const uint8_t* record, std::vector<uint8_t>& storage, Bytes& out,
                     int readSite, int otherSite) {
  if (record) {
    out = Bytes(record, static_cast<size_t>(v.bytesPerFileRecord));
    return true;
  }
  storage.assign(static_cast<size_t>(v.bytesPerFileRecord), 0);
  uint64_t number = v.currentRecordNumber;
  if (!ReadFileRecord(v, number, storage.data(), storage.size())) {
    ErrorRecord(kModule, readSite);
    return false;
  }
  if (number != v.currentRecordNumber) {
    ErrorRecord(kModule, otherSite);
    return false;
  }
  out = Bytes(storage.data(), storage.size());
  return true;
}

// Value of an attribute list, resident or not.
bool AttributeListValue(NueVolumeData& v, Bytes record, const ntfs::Attribute& a, std::vector<uint8_t>& storage,
                        Bytes& out) {
  if (!a.nonResident) {
    out = ntfs::ResidentValue(record, a);
    return true;
  }
  uint64_t length = 0;
  if (!ReadNonResidentValue(v, record, a, storage, length)) {
    ErrorRecord(kModule, 347);
    return false;
  }
  out = Bytes(storage.data(), static_cast<size_t>(std::min<uint64_t>(length, storage.size())));
  return true;
}

// The data and initialized sizes and the compression unit of the
// non-resident data attribute `attr`, as a recovery reads them.
void TakeStreamSizes(NueVolumeData& v, Bytes attr) {
  v.dataSize = le64(attr, ntfs::kAttrDataSize);
  v.initializedSize = std::min(le64(attr, ntfs::kAttrInitializedSize), v.dataSize);
  const uint8_t unit = le8(attr, ntfs::kAttrCompressionUnit);
  v.compressionUnitClusters = (unit > 0 && unit <= 8) ? (1u << unit) : 16;
}

}  // namespace

BOOL DecodeRunList(NueVolumeData& v, Bytes record, const ntfs::Attribute& attribute, RunCursor& c) {
  if (!c.haveGroup || !v.runTableAddress || !InBounds(c.length, c.groupOffset, kRunGroupHeaderBytes)) {
    ErrorRecord(kModule, 727);
    return kFalse;
  }
  if (!attribute.nonResident) {
    ErrorRecord(kModule, 730);
    return kFalse;
  }
  // The group header and its runs lie inside the cursor's length, which
  // EnsureRoom keeps inside the table: they are read and written unchecked.
  const uint64_t allocated = le64At(v.runTableAddress + c.groupOffset + runtable::kAllocatedSize);
  if (allocated != 0 && c.bytesMapped >= allocated) return kTrue;
  // Decoded once per attribute of every record examined: the list keeps its
  // room between calls.
  thread_local std::vector<ntfs::Run> runs;
  runs.clear();
  // A list cut short (running off the attribute, pointing outside the
  // volume) keeps the runs decoded before the damage.
  // The group header's reserved word marks such a group.
  if (!ntfs::DecodeMappingPairs(ntfs::AttributeBytes(record, attribute), v.totalClusters, runs)) {
    ErrorRecord(kModule, 792);
    put32At(v.runTableAddress + c.groupOffset + runtable::kDamaged, 1);
  }
  uint64_t count = le64At(v.runTableAddress + c.groupOffset + runtable::kRunCount);
  // The group's runs end where the cursor does: each run decoded is added
  // to both.
  if (count != (c.length - c.groupOffset - kRunGroupHeaderBytes) / kRunEntryBytes) {
    ErrorRecord(kModule, 727);
    return kFalse;
  }
  bool haveExpected = count > 0;
  uint64_t expected = 0;
  if (haveExpected) {
    ntfs::Run last = RunAt(v.runTableAddress, c.groupOffset, count - 1);
    haveExpected = last.lcn >= 0;
    expected = static_cast<uint64_t>(last.lcn) + last.length;
  }
  for (const ntfs::Run& r : runs) {
    // Runs past the allocated size belong to no byte of the attribute.
    if (allocated != 0 && c.bytesMapped >= allocated) break;
    if (!EnsureRoom(v, c, kRunEntryBytes, 771)) return kFalse;
    if (r.lcn >= 0) {
      if (haveExpected && expected != static_cast<uint64_t>(r.lcn)) ++v.discontinuities;
      haveExpected = true;
      expected = static_cast<uint64_t>(r.lcn) + r.length;
      c.clustersStored += r.length;
    }
    PutRun(v.runTableAddress, c.groupOffset, count, r);
    ++count;
    put64At(v.runTableAddress + c.groupOffset + runtable::kRunCount, count);
    c.length += kRunEntryBytes;
    c.bytesMapped += r.length * v.bytesPerCluster;
    c.clustersMapped += r.length;
  }
  return kTrue;
}

BOOL CollectAttributeRuns(NueVolumeData& v, Bytes record, const ntfs::Attribute& attribute, RunCursor& c) {
  if (c.bitmapSwitch && attribute.type != ntfs::kTypeData && attribute.type != ntfs::kTypeIndexAllocation &&
      attribute.type != ntfs::kTypeBitmap) {
    ErrorRecord(kModule, 865);
    return kFalse;
  }
  SetGroupSizes(v, c, ntfs::AttributeBytes(record, attribute));
  ntfs::Attribute a = attribute;
  for (;;) {
    if (!DecodeRunList(v, record, a, c)) {
      ErrorRecord(kModule, 875);
      return kFalse;
    }
    ntfs::Attribute next;
    if (!ntfs::NextAttributeOf(record, a, next) || next.type != attribute.type ||
        !ntfs::SameName(record, next, record, attribute) || !next.nonResident)
      return kTrue;
    a = next;
  }
}

BOOL CollectListedAttributeRuns(NueVolumeData& v, Bytes list, size_t& entry, RunCursor& c) {
  std::vector<uint8_t> block;
  ntfs::Attribute first;
  if (!ResolveListEntry(v, block, list, entry, first) || !first.nonResident) {
    ErrorRecord(kModule, 1380);
    return kFalse;
  }
  Bytes firstRecord(block.data(), block.size());
  Bytes firstAttr = ntfs::AttributeBytes(firstRecord, first);
  if (le64(firstAttr, ntfs::kAttrAllocatedSize) == UINT64_MAX) {
    ErrorRecord(kModule, 1398);
    return kFalse;
  }
  SetGroupSizes(v, c, firstAttr);
  ntfs::ListEntry head;
  if (ntfs::ParseListEntry(list, entry, head) != ntfs::ListEntryStatus::Ok) return kFalse;
  // The further extents follow the first entry with its type and name.
  // Each entry is parsed before its name is compared: a name that runs off
  // its entry ends the attribute's extents like any other damaged entry.
  const size_t headAt = entry;
  size_t pos = entry, resolves = 0;
  ntfs::ListEntry e;
  while (resolves < kMaxListResolves && ntfs::ParseListEntry(list, pos, e) == ntfs::ListEntryStatus::Ok) {
    if (!ntfs::SameListName(list, pos, e, headAt, head)) break;
    ++resolves;
    ntfs::Attribute extent;
    if (ResolveListEntry(v, block, list, pos, extent) && extent.nonResident &&
        !DecodeRunList(v, Bytes(block.data(), block.size()), extent, c))
      return kFalse;
    entry = pos;
    pos += e.length;
  }
  return kTrue;
}

BOOL MergeAdjacentRuns(NueVolumeData& v, RunCursor& c) {
  if (!v.runTableAddress || c.length < kRunTableHeaderBytes || c.length > v.runTableCapacity) return kFalse;
  // Every group is proven inside the cursor's length before it is touched;
  // the merged runs are written over the ones already read.
  uint8_t* t = v.runTableAddress;
  const uint32_t groups = le32At(t + runtable::kGroupCount);
  uint32_t read = kRunTableHeaderBytes, write = kRunTableHeaderBytes;
  uint64_t total = 0;
  for (uint32_t g = 0; g < groups && InBounds(c.length, read, kRunGroupHeaderBytes); ++g) {
    const uint64_t count = le64At(t + read + runtable::kRunCount);
    if (count > c.length / kRunEntryBytes || !InBounds(c.length, read + kRunGroupHeaderBytes, kRunEntryBytes * count))
      return kFalse;
    std::memmove(t + write, t + read, kRunGroupHeaderBytes);
    uint64_t stored = 0, fragments = 0;
    for (uint64_t i = 0; i < count; ++i) {
      const ntfs::Run r = RunAt(t, read, i);
      if (stored > 0) {
        ntfs::Run prev = RunAt(t, write, stored - 1);
        if (prev.lcn >= 0 && r.lcn >= 0 && static_cast<uint64_t>(prev.lcn) + prev.length == static_cast<uint64_t>(r.lcn)) {
          prev.length += r.length;
          PutRun(t, write, stored - 1, prev);
          continue;
        }
      }
      PutRun(t, write, stored++, r);
    }
    // Breaks between consecutive runs with storage; holes do not count.
    bool havePrev = false;
    uint64_t prevEnd = 0;
    for (uint64_t i = 0; i < stored; ++i) {
      const ntfs::Run r = RunAt(t, write, i);
      if (r.lcn < 0) continue;
      if (havePrev && prevEnd != static_cast<uint64_t>(r.lcn)) ++fragments;
      havePrev = true;
      prevEnd = static_cast<uint64_t>(r.lcn) + r.length;
    }
    put64At(t + write + runtable::kRunCount, stored);
    put64At(t + write + runtable::kFragments, fragments);
    total += fragments;
    v.extentCount += fragments;
    read += static_cast<uint32_t>(kRunGroupHeaderBytes + kRunEntryBytes * count);
    write += static_cast<uint32_t>(kRunGroupHeaderBytes + kRunEntryBytes * stored);
  }
  put64At(t + runtable::kTotalFragments, total);
  c.length = write;
  if (v.extentCount > groups) v.fragmentedFlag = 1;
  return kTrue;
}

namespace {

// The routines below answer for one walked record; the public ones walk the
// record given (or read the current one) and call them.

BOOL BuildRunTableOf(NueVolumeData& v, bool bitmapSwitch, const ntfs::AttributeWalk& w) {
  ResetPerFileResults(v);
  const Bytes record = w.record();
  if (!v.runTableAddress || v.runTableCapacity < kRunTableHeaderBytes + kRunGroupHeaderBytes) return kFalse;
  v.directoryFlag = (le16(record, ntfs::kRecFlags) & ntfs::kRecDirectory) ? 1 : 0;
  if (!NoteStandardInformation(v, w, nullptr)) return kFalse;
  MutableBytes t = Table(v);
  std::memset(v.runTableAddress, 0, kRunTableHeaderBytes + kRunGroupHeaderBytes);
  put64(t, runtable::kRecordNumber, v.currentRecordNumber);
  RunCursor c;
  c.bitmapSwitch = bitmapSwitch;
  c.length = kRunTableHeaderBytes;
  uint32_t groups = 0, ordinals = 0;
  bool lastCompressed = false;
  const size_t listAt = w.Find(ntfs::kTypeAttributeList);
  if (listAt < w.size()) {
    const ntfs::Attribute& list = w[listAt];
    std::vector<uint8_t> listStorage, block;
    Bytes entries;
    if (!AttributeListValue(v, record, list, listStorage, entries)) return kFalse;
    lastCompressed = (list.flags & ntfs::kAttrCompressed) != 0;
    size_t entry = 0;
    size_t visited = 0;
    for (BOOL have = FirstListEntry(entries, entry, bitmapSwitch); have && visited < kMaxListResolves;
         have = NextListEntry(entries, entry, bitmapSwitch), ++visited) {
      ntfs::Attribute a;
      if (ResolveListEntry(v, block, entries, entry, a) && a.nonResident) {
        if (!StartGroup(v, c, ordinals, 400)) return kFalse;
        if (!CollectListedAttributeRuns(v, entries, entry, c)) return kFalse;
        put32(Table(v), runtable::kGroupCount, ++groups);
      }
      put32(Table(v), runtable::kOrdinalCount, ++ordinals);
    }
  } else {
    size_t at = FirstDataIndex(w, bitmapSwitch);
    if (at == w.size()) ++v.recordsWithoutData;
    for (; at < w.size(); at = NextDataIndex(w, at, bitmapSwitch)) {
      const ntfs::Attribute& a = w[at];
      lastCompressed = (a.flags & ntfs::kAttrCompressed) != 0;
      if (a.nonResident) {
        if (!StartGroup(v, c, ordinals, 313)) return kFalse;
        if (!CollectAttributeRuns(v, record, a, c)) return kFalse;
        put32(Table(v), runtable::kGroupCount, ++groups);
      }
      put32(Table(v), runtable::kOrdinalCount, ++ordinals);
    }
  }
  // Compressed attributes keep their runs as stored: a compression unit is
  // told apart from raw data by the run boundaries inside it.
  if (!lastCompressed && !MergeAdjacentRuns(v, c)) {
    ErrorRecord(kModule, 450);
    return kFalse;
  }
  v.runAreaSize = c.length;
  return kTrue;
}

BOOL LocateAttributeOf(NueVolumeData& v, int64_t& ordinal, TextView name, uint32_t type,
                       const ntfs::AttributeWalk& w) {
  ordinal = -1;
  const Bytes record = w.record();
  v.directoryFlag = (le16(record, ntfs::kRecFlags) & ntfs::kRecDirectory) ? 1 : 0;
  if (!NoteStandardInformation(v, w, nullptr)) return kFalse;
  int64_t count = 0;
  const size_t listAt = w.Find(ntfs::kTypeAttributeList);
  if (listAt < w.size()) {
    std::vector<uint8_t> listStorage;
    Bytes entries;
    if (!AttributeListValue(v, record, w[listAt], listStorage, entries)) return kFalse;
    size_t entry = 0;
    for (BOOL have = FirstListEntry(entries, entry, true); have; have = NextListEntry(entries, entry, true), ++count) {
      if (le32(entries, entry + ntfs::kAleType) == type && ListNameEquals(entries, entry, name)) {
        ordinal = count;
        return kTrue;
      }
    }
    return kFalse;
  }
  for (size_t at = FirstDataIndex(w, true); at < w.size(); at = NextDataIndex(w, at, true), ++count) {
    if (w[at].type == type && NameEquals(record, w[at], name)) {
      ordinal = count;
      return kTrue;
    }
  }
  return kFalse;
}

BOOL GetAttributeRunsOf(NueVolumeData& v, TextView name, uint32_t type, const ntfs::AttributeWalk& w) {
  int64_t ordinal = -1;
  if (!LocateAttributeOf(v, ordinal, name, type, w)) {
    ErrorRecord(kModule, 1628);
    return kFalse;
  }
  if (!BuildRunTableOf(v, true, w)) {
    ErrorRecord(kModule, 1630);
    return kFalse;
  }
  MutableBytes t = Table(v);
  if (ordinal >= static_cast<int64_t>(le32(t, runtable::kOrdinalCount))) {
    ErrorRecord(kModule, 1641);
    return kFalse;
  }
  const uint32_t groups = le32(t, runtable::kGroupCount);
  uint32_t at = kRunTableHeaderBytes;
  bool found = false;
  for (uint32_t g = 0; g < groups && InBounds(v.runAreaSize, at, kRunGroupHeaderBytes); ++g) {
    const uint32_t group = le32(t, at + runtable::kOrdinal);
    if (group == ordinal) {
      found = true;
      break;
    }
    if (group > ordinal) break;
    at += GroupBytes(Bytes(t.data(), t.size()), at);
  }
  if (found) {
    if (at != kRunTableHeaderBytes)
      std::memmove(v.runTableAddress + kRunTableHeaderBytes, v.runTableAddress + at,
                   GroupBytes(Bytes(t.data(), t.size()), at));
  } else {
    std::memset(v.runTableAddress + kRunTableHeaderBytes, 0, kRunGroupHeaderBytes);
    put32(t, kRunTableHeaderBytes + runtable::kOrdinal, static_cast<uint32_t>(ordinal));
  }
  const uint64_t runs = le64(t, kRunTableHeaderBytes + runtable::kRunCount);
  if (le32(t, kRunTableHeaderBytes + runtable::kDamaged) != 0) v.dataDamaged = runs == 0 ? 2 : 1;
  if (runs == 0) {
    ErrorRecord(kModule, 1680);
    return kFalse;
  }
  v.totalRunClusters = v.storedClusters = 0;
  for (uint64_t i = 0; i < runs; ++i) {
    ntfs::Run r = RunAt(Bytes(t.data(), t.size()), kRunTableHeaderBytes, i);
    v.totalRunClusters += r.length;
    if (r.lcn >= 0) v.storedClusters += r.length;
  }
  v.allocatedSize = le64(t, kRunTableHeaderBytes + runtable::kAllocatedSize);
  v.dataSize = le64(t, kRunTableHeaderBytes + runtable::kDataSize);
  if (runs > 1) v.fragmentedFlag = 1;
  v.extentCount = (v.compressedFlag || v.sparseFlag) ? runs : le64(t, kRunTableHeaderBytes + runtable::kFragments) + 1;
  return kTrue;
}

// Non-resident data whose run list holds no valid run: listed with its
// size, none of it recoverable. Any other failure leaves it out.
BOOL NoValidRun(NueVolumeData& v, Bytes attr, uint32_t& status) {
  if (v.dataDamaged != 2) return kFalse;
  v.dataSize = le64(attr, ntfs::kAttrDataSize);
  v.initializedSize = std::min(le64(attr, ntfs::kAttrInitializedSize), v.dataSize);
  status = 1;
  return kTrue;
}

}  // namespace

BOOL BuildRunTable(NueVolumeData& v, bool bitmapSwitch, const uint8_t* recordIn) {
  ResetPerFileResults(v);
  std::vector<uint8_t> storage;
  Bytes record;
  if (!RecordOrCurrent(v, recordIn, storage, record, 218, 218)) return kFalse;
  const ntfs::AttributeWalk walk(record);
  return BuildRunTableOf(v, bitmapSwitch, walk);
}

BOOL LocateAttribute(NueVolumeData& v, int64_t& ordinal, TextView name, uint32_t type, const uint8_t* recordIn) {
  ordinal = -1;
  std::vector<uint8_t> storage;
  Bytes record;
  if (!RecordOrCurrent(v, recordIn, storage, record, 1801, 1805)) return kFalse;
  const ntfs::AttributeWalk walk(record);
  return LocateAttributeOf(v, ordinal, name, type, walk);
}

BOOL GetAttributeRuns(NueVolumeData& v, TextView name, uint32_t type, const uint8_t* recordIn) {
  std::vector<uint8_t> storage;
  Bytes record;
  if (!RecordOrCurrent(v, recordIn, storage, record, 1801, 1805)) return kFalse;
  const ntfs::AttributeWalk walk(record);
  return GetAttributeRunsOf(v, name, type, walk);
}

bool FirstRunGroup(const NueVolumeData& v, RunGroupView& out) {
  if (!v.runTableAddress || v.runAreaSize < kRunTableHeaderBytes + kRunGroupHeaderBytes) return false;
  Bytes t = ConstTable(v);
  const uint32_t g = kRunTableHeaderBytes;
  out.ordinal = le32(t, g + runtable::kOrdinal);
  out.damaged = le32(t, g + runtable::kDamaged) != 0;
  out.allocatedSize = le64(t, g + runtable::kAllocatedSize);
  out.dataSize = le64(t, g + runtable::kDataSize);
  const uint64_t count = le64(t, g + runtable::kRunCount);
  if (!InBounds(v.runTableCapacity, g + kRunGroupHeaderBytes, kRunEntryBytes * count)) return false;
  out.runs.clear();
  for (uint64_t i = 0; i < count; ++i) out.runs.push_back(RunAt(t, g, i));
  return true;
}

BOOL ReadNonResidentValue(NueVolumeData& v, Bytes record, const ntfs::Attribute& attribute,
                          std::vector<uint8_t>& value, uint64_t& valueLength) {
  if (!attribute.nonResident || v.bytesPerCluster == 0) return kFalse;
  Bytes attr = ntfs::AttributeBytes(record, attribute);
  std::vector<ntfs::Run> runs;
  ntfs::DecodeMappingPairs(attr, v.totalClusters, runs);
  uint64_t clusters = 0;
  for (const auto& r : runs) clusters += r.length;
  const uint64_t dataSize = le64(attr, ntfs::kAttrDataSize);
  if (clusters == 0 || clusters > kMaxNonResidentValue / v.bytesPerCluster || dataSize > clusters * v.bytesPerCluster)
    return kFalse;
  value.assign(static_cast<size_t>(clusters * v.bytesPerCluster + v.bytesPerSector), 0);
  uint8_t* at = value.data();
  for (const auto& r : runs) {
    if (r.lcn >= 0 &&
        !DasdReadCluster(v, static_cast<uint64_t>(r.lcn), r.length, at, v.bytesPerSector, v.bytesPerCluster))
      return kFalse;
    at += r.length * v.bytesPerCluster;
  }
  valueLength = dataSize;
  return kTrue;
}

void NamedDataStreams(const ntfs::AttributeWalk& w, std::vector<Text>& names) {
  names.clear();
  for (size_t at = w.Find(ntfs::kTypeData); at < w.size(); at = w.Find(ntfs::kTypeData, at + 1)) {
    if (w[at].nameLength == 0) continue;
    bool seen = false;
    for (size_t before = 0; before < at && !seen; ++before)
      seen = w[before].type == ntfs::kTypeData && ntfs::SameName(w.record(), w[before], w.record(), w[at]);
    if (!seen) names.push_back(ntfs::AttributeName(w.record(), w[at]));
  }
}

BOOL SelectDataStream(NueVolumeData& v, const ntfs::AttributeWalk& w, uint32_t stream, uint32_t& status) {
  if (stream == 0) {
    uint64_t time = 0;
    return ClassifyFileRecord(v, w, time, status) && (status == 1 || status == 2);
  }
  std::vector<Text> names;
  NamedDataStreams(w, names);
  if (stream > names.size()) return kFalse;
  const Text& name = names[stream - 1];
  size_t at = w.Find(ntfs::kTypeData);
  while (at < w.size() && !(w[at].nameLength == name.size() && ntfs::AttributeName(w.record(), w[at]) == name))
    at = w.Find(ntfs::kTypeData, at + 1);
  if (at == w.size() || (w[at].flags & ntfs::kAttrEncrypted)) return kFalse;
  ResetPerFileResults(v);
  const ntfs::Attribute& a = w[at];
  if (!a.nonResident) {
    status = 1;
    v.dataSize = v.initializedSize = ntfs::ResidentValue(w.record(), a).size();
    return kTrue;
  }
  if (!GetAttributeRunsOf(v, name, ntfs::kTypeData, w)) return NoValidRun(v, ntfs::AttributeBytes(w.record(), a), status);
  // A stream is compressed or sparse by its own attribute, whatever the
  // file's other data is.
  v.compressedFlag = (a.flags & ntfs::kAttrCompressed) ? 1 : 0;
  v.sparseFlag = (a.flags & ntfs::kAttrSparse) ? 1 : 0;
  TakeStreamSizes(v, ntfs::AttributeBytes(w.record(), a));
  status = v.extentCount != 0 ? 2 : 1;
  return kTrue;
}

BOOL ClassifyFileRecord(NueVolumeData& v, Bytes record, uint64_t& modificationTime, uint32_t& status) {
  const ntfs::AttributeWalk walk(record);
  return ClassifyFileRecord(v, walk, modificationTime, status);
}

BOOL ClassifyFileRecord(NueVolumeData& v, const ntfs::AttributeWalk& w, uint64_t& modificationTime, uint32_t& status) {
  ResetPerFileResults(v);
  status = 0;
  const Bytes record = w.record();
  if (!NoteStandardInformation(v, w, &modificationTime)) return kFalse;
  if (v.compressedFlag) status = 5;
  if (v.sparseFlag) status = 6;
  const size_t listAt = w.Find(ntfs::kTypeAttributeList);
  if (listAt < w.size()) {
    status = w[listAt].nonResident ? 4 : 3;
    return kFalse;
  }
  // The file's contents are its unnamed $DATA; named streams are extra.
  size_t at = w.Find(ntfs::kTypeData);
  while (at < w.size() && w[at].nameLength != 0) at = w.Find(ntfs::kTypeData, at + 1);
  if (at == w.size()) {
    status = 1;
    // A $DATA that fails validation (its value running past the record)
    // ended the walk: the file has data, and none of it can be trusted.
    // Its size is what the attribute claims, where that can be read.
    if (w.BrokenType() == ntfs::kTypeData) {
      v.dataDamaged = 2;
      const size_t b = w.BrokenOffset();
      if (InBounds(record.size(), b, ntfs::kResidentHeaderBytes) && le8(record, b + ntfs::kAttrNonResident) == 0)
        v.dataSize = le32(record, b + ntfs::kAttrValueLength);
      else if (InBounds(record.size(), b, ntfs::kNonResidentHeaderBytes))
        v.dataSize = le64(record, b + ntfs::kAttrDataSize);
    }
    return kTrue;
  }
  const ntfs::Attribute& a = w[at];
  if (a.flags & ntfs::kAttrEncrypted) {
    status = 7;
    return kFalse;
  }
  if (!a.nonResident) {
    status = 1;
    v.dataSize = v.initializedSize = ntfs::ResidentValue(record, a).size();
    return kTrue;
  }
  Bytes attr = ntfs::AttributeBytes(record, a);
  const uint32_t compressed = v.compressedFlag, sparse = v.sparseFlag;
  if (!GetAttributeRunsOf(v, u"", ntfs::kTypeData, w)) return NoValidRun(v, attr, status);
  v.compressedFlag = compressed;
  v.sparseFlag = sparse;
  TakeStreamSizes(v, attr);
  status = v.extentCount != 0 ? 2 : 1;
  return kTrue;
}

}  // namespace rv
