// MFT record access: records through the file system, fixups, attribute
// walks, attribute lists and file names.
#include <algorithm>
#include <cstring>

#include "ntfs/nue.h"
#include "platform/lasterror.h"
#include "volume/diaglog.h"

namespace rv {
namespace {

constexpr const char* kModule = "NtfsSubs";
// A base record names at most a few hundred extension records; a list that
// asks for more is damaged or loops.
constexpr size_t kMaxListResolves = 4096;

std::vector<uint8_t>& FileRecordOutput() {
  static std::vector<uint8_t> buffer(kFileRecordOutputBytes);
  return buffer;
}

bool IsDataType(uint32_t type, bool bitmapSwitch) {
  return type == ntfs::kTypeData || type == ntfs::kTypeIndexAllocation || (bitmapSwitch && type == ntfs::kTypeBitmap);
}

// Whether `a`, met after `current`, is the next data attribute to visit:
// further extents of the same attribute were visited with the first.
bool IsNextDataAttribute(Bytes record, const ntfs::Attribute& a, const ntfs::Attribute& current, bool bitmapSwitch) {
  return IsDataType(a.type, bitmapSwitch) && !(a.type == current.type && ntfs::SameName(record, a, record, current));
}

using ntfs::ListEntry;

bool ListEntryAt(Bytes list, size_t pos, ListEntry& e) {
  const ntfs::ListEntryStatus status = ntfs::ParseListEntry(list, pos, e);
  if (status == ntfs::ListEntryStatus::BadLength) ErrorRecord(kModule, 1017);
  return status == ntfs::ListEntryStatus::Ok;
}

// The first usable $FILE_NAME of one record: namespace POSIX, Win32 or
// Win32-and-DOS (a DOS-only name is an alias of another one).
bool NameInRecord(const ntfs::AttributeWalk& w, Text& name, uint64_t& parent, uint16_t& parentSequence) {
  // Parsed into storage kept between records: a search parses one name
  // per deleted record.
  thread_local ntfs::FileName fn;
  for (size_t i = w.Find(ntfs::kTypeFileName); i < w.size(); i = w.Find(ntfs::kTypeFileName, i + 1)) {
    const ntfs::Attribute& a = w[i];
    if (a.nonResident) continue;
    if (!ntfs::ParseFileName(ntfs::ResidentValue(w.record(), a), fn) || fn.nameSpace == ntfs::kNamespaceDos) continue;
    name.assign(fn.name);
    parent = fn.parent & 0xFFFFFFFFull;
    parentSequence = static_cast<uint16_t>(fn.parent >> ntfs::kReferenceSequenceShift);
    return true;
  }
  return false;
}

}  // namespace

void SafeRecordName(Text& name) {
  // Names travel on as NUL-terminated texts (found-file and result
  // messages, request payloads): a NUL unit ends the name there, so the
  // path listed, the source reported and the output written agree. Linux
  // drivers write names holding "\", which would read as a folder of the
  // path: it becomes "_", as in the output name. A name left empty is "_".
  size_t end = name.size();
  for (size_t i = name.size(); i-- > 0;) {
    if (name[i] == u'\\') name[i] = u'_';
    if (name[i] == u'\0') end = i;
  }
  name.resize(end);
  if (name.empty()) name = u"_";
}

BOOL ReadFileRecord(NueVolumeData& volume, uint64_t& number, uint8_t* dest, uint64_t length) {
  std::vector<uint8_t>& out = FileRecordOutput();
  if (!dest || length == 0 || length > out.size() - 12) {
    SetLastErrorCode(kErrorInvalidParameter);
    ErrorRecord(kModule, 2540);
    return kFalse;
  }
  put32(MutableBytes(out.data(), out.size()), 8, static_cast<uint32_t>(length));
  uint64_t returned = 0;
  if (!DasdFsControl(volume.handle.get(), FSCTL_GET_NTFS_FILE_RECORD_CODE, &number, 8, out.data(),
                     static_cast<uint32_t>(out.size()), &returned)) {
    ErrorRecord(kModule, 2540);
    return kFalse;
  }
  Bytes o(out.data(), out.size());
  if (le32(o, 8) < length || returned < 12 + length) {
    SetLastErrorCode(kErrorInvalidData);
    ErrorRecord(kModule, 2540);
    return kFalse;
  }
  std::memcpy(dest, out.data() + 12, static_cast<size_t>(length));
  // The reference carries the sequence number in its top 16 bits.
  number = le64(o, 0) & ntfs::kRecordNumberMask;
  return kTrue;
}

BOOL ApplyFixups(uint8_t* record, uint64_t length) {
  if (!record) return kFalse;
  return ntfs::ApplyRecordFixups(MutableBytes(record, static_cast<size_t>(length))) ? kTrue : kFalse;
}

BOOL FindAttribute(uint32_t type, const uint8_t* record, ntfs::Attribute& out, uint64_t length) {
  if (!record) return kFalse;
  Bytes r(record, static_cast<size_t>(length));
  ntfs::Attribute a;
  for (bool have = ntfs::FirstAttributeOf(r, a); have; have = ntfs::NextAttributeOf(r, a, a)) {
    if (a.type == type) {
      out = a;
      return kTrue;
    }
  }
  return kFalse;
}

BOOL FirstDataAttribute(Bytes record, ntfs::Attribute& out, bool bitmapSwitch) {
  ntfs::Attribute a;
  for (bool have = ntfs::FirstAttributeOf(record, a); have; have = ntfs::NextAttributeOf(record, a, a)) {
    if (IsDataType(a.type, bitmapSwitch)) {
      out = a;
      return kTrue;
    }
  }
  return kFalse;
}

BOOL NextDataAttribute(Bytes record, ntfs::Attribute& inOut, bool bitmapSwitch) {
  const ntfs::Attribute current = inOut;
  ntfs::Attribute a = current;
  while (ntfs::NextAttributeOf(record, a, a)) {
    if (!IsNextDataAttribute(record, a, current, bitmapSwitch)) continue;
    inOut = a;
    return kTrue;
  }
  return kFalse;
}

size_t FirstDataIndex(const ntfs::AttributeWalk& w, bool bitmapSwitch) {
  size_t at = 0;
  while (at < w.size() && !IsDataType(w[at].type, bitmapSwitch)) ++at;
  return at;
}

size_t NextDataIndex(const ntfs::AttributeWalk& w, size_t current, bool bitmapSwitch) {
  for (size_t at = current + 1; at < w.size(); ++at)
    if (IsNextDataAttribute(w.record(), w[at], w[current], bitmapSwitch)) return at;
  return w.size();
}

BOOL FirstListEntry(Bytes list, size_t& entry, bool bitmapSwitch) {
  ListEntry e;
  for (size_t pos = 0; ListEntryAt(list, pos, e); pos += e.length) {
    if (IsDataType(e.type, bitmapSwitch)) {
      entry = pos;
      return kTrue;
    }
  }
  return kFalse;
}

BOOL NextListEntry(Bytes list, size_t& entry, bool bitmapSwitch) {
  ListEntry current, e;
  if (!ListEntryAt(list, entry, current)) return kFalse;
  for (size_t pos = entry + current.length; ListEntryAt(list, pos, e); pos += e.length) {
    if (!IsDataType(e.type, bitmapSwitch) || ntfs::SameListName(list, pos, e, entry, current)) continue;
    entry = pos;
    return kTrue;
  }
  return kFalse;
}

BOOL ResolveListEntry(NueVolumeData& volume, std::vector<uint8_t>& block, Bytes list, size_t entry,
                      ntfs::Attribute& out) {
  ListEntry e;
  if (!ListEntryAt(list, entry, e)) return kFalse;
  const uint64_t wanted = le64(list, entry + ntfs::kAleReference) & ntfs::kRecordNumberMask;
  const uint16_t id = le16(list, entry + ntfs::kAleAttributeId);
  block.assign(static_cast<size_t>(volume.bytesPerFileRecord), 0);
  uint64_t number = wanted;
  if (!ReadFileRecord(volume, number, block.data(), block.size())) {
    ErrorRecord(kModule, 1135);
    return kFalse;
  }
  if (number != wanted) {
    ErrorRecord(kModule, 1142);
    return kFalse;
  }
  Bytes r(block.data(), block.size());
  ntfs::Attribute a;
  for (bool have = ntfs::FirstAttributeOf(r, a); have; have = ntfs::NextAttributeOf(r, a, a)) {
    if (a.id != id) continue;
    if (a.type != e.type) {
      ErrorRecord(kModule, 1169);
      return kFalse;
    }
    out = a;
    return kTrue;
  }
  return kFalse;
}

BOOL GetRecordFileName(NueVolumeData& volume, Bytes record, Text& name, uint64_t& parent, BOOL& found) {
  const ntfs::AttributeWalk walk(record);
  uint16_t sequence = 0;
  return GetRecordFileName(volume, walk, name, parent, sequence, found);
}

BOOL GetRecordFileName(NueVolumeData& volume, const ntfs::AttributeWalk& walk, Text& name, uint64_t& parent,
                       BOOL& found) {
  uint16_t sequence = 0;
  return GetRecordFileName(volume, walk, name, parent, sequence, found);
}

BOOL GetRecordFileName(NueVolumeData& volume, const ntfs::AttributeWalk& walk, Text& name, uint64_t& parent,
                       uint16_t& parentSequence, BOOL& found) {
  found = kFalse;
  const Bytes record = walk.record();
  const size_t listAt = walk.Find(ntfs::kTypeAttributeList);
  bool ok = false;
  if (listAt == walk.size()) {
    ok = NameInRecord(walk, name, parent, parentSequence);
  } else {
    // The names may live in extension records. A list too long for the
    // record is kept in clusters of its own (ntfs-3g does so for folders
    // with long names): it is read from there.
    Bytes entries;
    std::vector<uint8_t> listStorage;
    uint64_t listLength = 0;
    if (!walk[listAt].nonResident) {
      entries = ntfs::ResidentValue(record, walk[listAt]);
    } else if (ReadNonResidentValue(volume, record, walk[listAt], listStorage, listLength)) {
      entries = Bytes(listStorage.data(), static_cast<size_t>(std::min<uint64_t>(listLength, listStorage.size())));
    }
    std::vector<uint8_t> block(static_cast<size_t>(volume.bytesPerFileRecord));
    ListEntry e;
    size_t reads = 0;
    for (size_t pos = 0; !ok && ListEntryAt(entries, pos, e) && reads < kMaxListResolves; pos += e.length) {
      if (e.type != ntfs::kTypeFileName) continue;
      ++reads;
      const uint64_t wanted = le64(entries, pos + ntfs::kAleReference) & ntfs::kRecordNumberMask;
      uint64_t number = wanted;
      if (!ReadFileRecord(volume, number, block.data(), block.size()) || number != wanted) continue;
      const ntfs::AttributeWalk extension(Bytes(block.data(), block.size()));
      ok = NameInRecord(extension, name, parent, parentSequence);
    }
    // A list that cannot be read still leaves the base record's own names.
    if (!ok) ok = NameInRecord(walk, name, parent, parentSequence);
  }
  if (!ok) {
    ErrorRecord("NueRtns", 2810);
    return kFalse;
  }
  SafeRecordName(name);
  found = kTrue;
  return kTrue;
}

}  // namespace rv
