// $FILE_NAME values and $ATTRIBUTE_LIST entries.
// Input: u8 selector (bit 0: the rest is an attribute list, else a
// $FILE_NAME value), then the value. Both readers parse the value on their
// own; then a base record holding the value is made (its last attribute,
// ending at the record's end) and handed to the engine on a real volume
// (ntfs-4k.img, made by mkntfs/ntfs-3g), whose records the list entries
// and the parent references name: the run table, the attribute lookup, the
// file name and the path. Invariants: parsed names and entries lie inside
// the value, walks over a list move forward and end, names the engine
// takes hold no separator and fit the path limit, runs lie in the volume.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "channel/outfile.h"
#include "engine_fuzz.h"
#include "ntfs/nue.h"

using namespace rv;

namespace {

using fuzz::Check;

void ParseAsFileName(Bytes value) {
  ntfs::FileName fn;
  if (!ntfs::ParseFileName(value, fn)) return;
  Check(fn.name.size() == le8(value, ntfs::kFnNameLength));  // the name may be empty
  Check(ntfs::kFnName + 2 * fn.name.size() <= value.size());
  Check(fn.parent == le64(value, ntfs::kFnParent) && fn.nameSpace == le8(value, ntfs::kFnNamespace));
  const Text safe = SafeOutputName(fn.name);
  Check(!safe.empty() && safe.find(u'\\') == Text::npos && safe.find(u'/') == Text::npos && safe != u"..");
}

void ParseAsList(Bytes list) {
  ntfs::ListEntry e;
  size_t pos = 0, count = 0;
  for (; ntfs::ParseListEntry(list, pos, e) == ntfs::ListEntryStatus::Ok; pos += e.length) {
    Check(e.length >= ntfs::kAleMinBytes && InBounds(list.size(), pos, e.length));
    Check(InBounds(e.length, e.nameOffset, 2ull * e.nameLength) && e.type != 0);
    Check(++count <= list.size() / ntfs::kAleMinBytes);
  }
  // The engine's walks over the data entries: forward, valid entries only.
  for (bool bitmap : {false, true}) {
    size_t entry = 0, visited = 0, previous = 0;
    for (BOOL have = FirstListEntry(list, entry, bitmap); have; have = NextListEntry(list, entry, bitmap)) {
      Check(ntfs::ParseListEntry(list, entry, e) == ntfs::ListEntryStatus::Ok);
      Check(visited == 0 || entry > previous);
      previous = entry;
      Check(++visited <= count);
    }
  }
}

struct Volume {
  bool ok = false;
  std::vector<uint8_t> standardInformation;  // value of record 5's
};

Volume& TheVolume() {
  static Volume vol = [] {
    Volume v;
    std::vector<uint8_t> image = fuzz::LoadImage("ntfs-4k.img");
    if (image.size() < 65536) return v;
    Text name = AttachVolume(MakeMemorySource(std::move(image)));
    NueVolumeData& n = TheNueVolume();
    if (!SetupNueVolumeDataStructures(name, n, kTrue)) return v;
    std::vector<uint8_t> root(static_cast<size_t>(n.bytesPerFileRecord));
    uint64_t number = ntfs::kRootFolderRecord;
    if (!ReadFileRecord(n, number, root.data(), root.size())) return v;
    ntfs::Attribute si;
    if (!FindAttribute(ntfs::kTypeStandardInformation, root.data(), si, root.size())) return v;
    Bytes value = ntfs::ResidentValue(Bytes(root.data(), root.size()), si);
    v.standardInformation.assign(value.begin(), value.end());
    v.ok = true;
    return v;
  }();
  return vol;
}

// A deleted base record: $STANDARD_INFORMATION, then `type` holding
// `value` as its resident value, ending exactly at the record's end (the
// value is cut to fit).
std::vector<uint8_t> MakeRecord(size_t recordBytes, Bytes si, uint32_t type, Bytes value) {
  std::vector<uint8_t> r(recordBytes, 0);
  MutableBytes m(r.data(), r.size());
  put32(m, 0, ntfs::kFileSignature);
  put16(m, ntfs::kRecLinkCount, 1);
  put16(m, ntfs::kRecFirstAttribute, 56);
  const size_t siLength = (ntfs::kResidentHeaderBytes + si.size() + 7) / 8 * 8;
  put32(m, 56 + ntfs::kAttrType, ntfs::kTypeStandardInformation);
  put32(m, 56 + ntfs::kAttrLength, static_cast<uint32_t>(siLength));
  put32(m, 56 + ntfs::kAttrValueLength, static_cast<uint32_t>(si.size()));
  put16(m, 56 + ntfs::kAttrValueOffset, ntfs::kResidentHeaderBytes);
  std::memcpy(r.data() + 56 + ntfs::kResidentHeaderBytes, si.data(), si.size());
  const size_t at = 56 + siLength;
  const size_t room = recordBytes - at - ntfs::kResidentHeaderBytes;
  size_t n = value.size() < room ? value.size() : room;
  // A gap before the value's attribute is filled by another attribute,
  // which needs at least a resident header.
  const size_t gap = room - n;
  if (gap > 0 && gap < ntfs::kResidentHeaderBytes)
    n = n >= ntfs::kResidentHeaderBytes - gap ? n - (ntfs::kResidentHeaderBytes - gap) : 0;
  // The attribute ends where the record ends, so nothing but the sanitizer
  // stands behind a read past its value.
  const size_t start = recordBytes - ntfs::kResidentHeaderBytes - n;
  // Filler attribute up to the value's attribute when it is short.
  if (start > at) {
    put32(m, at + ntfs::kAttrType, 0x40);  // $OBJECT_ID, empty
    put32(m, at + ntfs::kAttrLength, static_cast<uint32_t>(start - at));
    put16(m, at + ntfs::kAttrValueOffset, ntfs::kResidentHeaderBytes);
  }
  put32(m, start + ntfs::kAttrType, type);
  put32(m, start + ntfs::kAttrLength, static_cast<uint32_t>(ntfs::kResidentHeaderBytes + n));
  put32(m, start + ntfs::kAttrValueLength, static_cast<uint32_t>(n));
  put16(m, start + ntfs::kAttrValueOffset, ntfs::kResidentHeaderBytes);
  put16(m, start + ntfs::kAttrId, 7);
  if (n != 0) std::memcpy(r.data() + start + ntfs::kResidentHeaderBytes, value.data(), n);
  return r;
}

void CheckRunTable(NueVolumeData& v) {
  RunGroupView group;
  if (!FirstRunGroup(v, group)) return;
  for (const ntfs::Run& r : group.runs) {
    Check(r.length > 0);
    if (r.lcn >= 0) Check(InBounds(v.totalClusters, static_cast<uint64_t>(r.lcn), r.length));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 8192) return 0;
  // Exact copies: a read past the value is a read past the allocation.
  std::vector<uint8_t> value(data + 1, data + size);
  ParseAsFileName(Bytes(value.data(), value.size()));
  ParseAsList(Bytes(value.data(), value.size()));

  Volume& vol = TheVolume();
  if (!vol.ok) return 0;
  NueVolumeData& v = TheNueVolume();
  const bool list = (data[0] & 1) != 0;
  std::vector<uint8_t> record = MakeRecord(static_cast<size_t>(v.bytesPerFileRecord),
                                           Bytes(vol.standardInformation.data(), vol.standardInformation.size()),
                                           list ? ntfs::kTypeAttributeList : ntfs::kTypeFileName,
                                           Bytes(value.data(), value.size()));
  Bytes r(record.data(), record.size());
  if (list) {
    for (bool bitmap : {false, true}) {
      if (BuildRunTable(v, bitmap, record.data())) CheckRunTable(v);
    }
    int64_t ordinal = -1;
    LocateAttribute(v, ordinal, u"", ntfs::kTypeData, record.data());
    if (GetAttributeRuns(v, u"", ntfs::kTypeData, record.data())) {
      CheckRunTable(v);
      Check(v.storedClusters <= v.totalRunClusters);
    }
  }
  Text name;
  uint64_t parent = 0;
  BOOL found = kFalse;
  if (GetRecordFileName(v, r, name, parent, found) && found) {
    Check(!name.empty() && name.size() <= 255 && name.find(u'\\') == Text::npos);
    Check(parent <= 0xFFFFFFFFull);
  }
  v.lastParent = 0;
  v.currentFullPath.clear();
  if (BuildRecordPath(v, r)) {
    // Paths of any length are listed; a parent chain longer than any real
    // one is cut off under "\$Orphan".
    Check(v.currentFullPath.size() < 2 * 32767 && !v.currentFileName.empty());
    Check(v.currentFileName.find(u'\\') == Text::npos);
    Check(v.currentFullPath.size() >= v.currentFileName.size() &&
          v.currentFullPath.compare(v.currentFullPath.size() - v.currentFileName.size(), Text::npos,
                                    v.currentFileName) == 0);
  }
  RecordExamination ex;
  ExamineRecord(v, r, ex);
  return 0;
}
