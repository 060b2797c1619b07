// NTFS on-disk structures shared by the engine and the on-disk answer layer:
// the FILE record header, attribute headers, attribute-list entries, the
// $FILE_NAME value and the mapping pairs of non-resident attributes. Every
// reader here takes a byte span and checks each offset against it first.
#pragma once
#include <cstdint>
#include <vector>

#include "platform/types.h"
#include "format/le.h"

namespace rv::ntfs {

// FILE record header:
//   0  4  signature "FILE"
//   4  2  update sequence offset
//   6  2  update sequence count (entries, the sequence number included)
//  16  2  sequence number
//  18  2  hard link count
//  20  2  first attribute offset
//  22  2  flags: 0x0001 in use, 0x0002 directory
//  24  4  bytes in use
//  32  8  base record reference (0 in a base record)
constexpr uint32_t kFileSignature = 0x454C4946;  // "FILE"
// Well-known MFT records: the MFT itself, $Volume (its name), $Bitmap (the
// volume's cluster bitmap) and the first record a user file may have.
constexpr uint64_t kMftRecordMft = 0;
constexpr uint64_t kMftRecordVolume = 3;
constexpr uint64_t kMftRecordBitmap = 6;
constexpr uint64_t kFirstUserRecord = 16;
constexpr size_t kRecUsaOffset = 4;
constexpr size_t kRecUsaCount = 6;
constexpr size_t kRecSequence = 16;
constexpr size_t kRecLinkCount = 18;
constexpr size_t kRecFirstAttribute = 20;
constexpr size_t kRecFlags = 22;
constexpr uint16_t kRecInUse = 0x0001;
constexpr uint16_t kRecDirectory = 0x0002;
// The update sequence protects every 512-byte stride of a record, whatever
// the sector size of the device.
constexpr size_t kFixupStride = 512;

// Attribute header, common part:
//   0  4  type (0xFFFFFFFF ends the list)
//   4  4  length of the attribute
//   8  1  non-resident flag
//   9  1  name length (UTF-16 units)
//  10  2  name offset
//  12  2  flags: 0x0001 compressed, 0x4000 encrypted, 0x8000 sparse
//  14  2  attribute id
// Resident part:
//  16  4  value length
//  20  2  value offset
// Non-resident part:
//  16  8  lowest VCN
//  24  8  highest VCN
//  32  2  mapping pairs offset
//  34  1  compression unit (log2 of clusters)
//  40  8  allocated size
//  48  8  data size
//  56  8  initialized size
constexpr uint32_t kAttrEnd = 0xFFFFFFFF;
constexpr size_t kAttrType = 0;
constexpr size_t kAttrLength = 4;
constexpr size_t kAttrNonResident = 8;
constexpr size_t kAttrNameLength = 9;
constexpr size_t kAttrNameOffset = 10;
constexpr size_t kAttrFlags = 12;
constexpr size_t kAttrId = 14;
constexpr size_t kAttrValueLength = 16;
constexpr size_t kAttrValueOffset = 20;
constexpr size_t kAttrLowestVcn = 16;
constexpr size_t kAttrMappingPairs = 32;
constexpr size_t kAttrCompressionUnit = 34;
constexpr size_t kAttrAllocatedSize = 40;
constexpr size_t kAttrDataSize = 48;
constexpr size_t kAttrInitializedSize = 56;
constexpr size_t kResidentHeaderBytes = 24;
constexpr size_t kNonResidentHeaderBytes = 64;
constexpr uint16_t kAttrCompressed = 0x0001;
constexpr uint16_t kAttrEncrypted = 0x4000;
constexpr uint16_t kAttrSparse = 0x8000;

constexpr uint32_t kTypeStandardInformation = 0x10;
constexpr uint32_t kTypeAttributeList = 0x20;
constexpr uint32_t kTypeFileName = 0x30;
constexpr uint32_t kTypeSecurityDescriptor = 0x50;
constexpr uint32_t kTypeVolumeName = 0x60;
constexpr uint32_t kTypeData = 0x80;
constexpr uint32_t kTypeIndexAllocation = 0xA0;
constexpr uint32_t kTypeBitmap = 0xB0;

// $STANDARD_INFORMATION value: 0 creation, 8 modification, 16 record
// change, 24 last access time (FILETIMEs), 32 file attributes.
constexpr size_t kSiCreationTime = 0;
constexpr size_t kSiModificationTime = 8;
constexpr size_t kSiChangeTime = 16;
constexpr size_t kSiAccessTime = 24;
constexpr size_t kSiFileAttributes = 32;
constexpr uint32_t kFileAttrSparse = 0x0200;
constexpr uint32_t kFileAttrCompressed = 0x0800;

// $FILE_NAME value: 0 parent reference, 64 name length, 65 namespace, 66 name.
constexpr size_t kFnParent = 0;
constexpr size_t kFnNameLength = 64;
constexpr size_t kFnNamespace = 65;
constexpr size_t kFnName = 66;
constexpr uint8_t kNamespaceDos = 2;

// Attribute-list entry: 0 type, 4 entry length, 6 name length, 7 name
// offset, 8 lowest VCN, 16 file reference, 24 attribute id.
constexpr size_t kAleType = 0;
constexpr size_t kAleLength = 4;
constexpr size_t kAleNameLength = 6;
constexpr size_t kAleNameOffset = 7;
constexpr size_t kAleLowestVcn = 8;
constexpr size_t kAleReference = 16;
constexpr size_t kAleAttributeId = 24;
constexpr size_t kAleMinBytes = 26;

constexpr uint64_t kRecordNumberMask = 0x0000FFFFFFFFFFFFull;
// A file reference: record number in the low 48 bits, the record's
// sequence number (how often it was reused) in the top 16.
constexpr unsigned kReferenceSequenceShift = 48;
constexpr uint64_t kRootFolderRecord = 5;

// Whether a record holding `sequence` (in use or not) is the one a file
// reference with `expected` names. A reference of sequence 0 names any.
// Freeing a record moves its sequence number on by one (skipping 0), so a
// deleted folder is still the parent its deleted files name; a record in
// use under another number was reused and is not.
inline bool SequenceNames(uint16_t sequence, bool inUse, uint16_t expected) {
  if (expected == 0 || sequence == expected) return true;
  const uint16_t next = static_cast<uint16_t>(expected + 1 == 0x10000 ? 1 : expected + 1);
  return !inUse && sequence == next;
}

// Index record (a 4 KiB block of a folder's $INDEX_ALLOCATION):
//   0  4  signature "INDX"
//   4  2  update sequence offset, 6 2 count (as in a FILE record)
//  16  8  VCN of this block in the index
//  24     index node header: 0 4 offset of the first entry, 4 4 bytes of
//         entries in use, 8 4 bytes allocated (each from the header's start)
constexpr uint32_t kIndexSignature = 0x58444E49;  // "INDX"
constexpr size_t kIndxVcn = 16;
constexpr size_t kIndxNodeHeader = 24;
constexpr size_t kNodeFirstEntry = 0;
constexpr size_t kNodeBytesInUse = 4;
constexpr size_t kNodeBytesAllocated = 8;
// Index entry of a folder's $I30 index:
//   0  8  file reference of the file named
//   8  2  entry length, 10 2 key length, 12 2 flags (1 subnode, 2 last)
//  16     key: the file's $FILE_NAME value
constexpr size_t kIeReference = 0;
constexpr size_t kIeLength = 8;
constexpr size_t kIeKeyLength = 10;
constexpr size_t kIeFlags = 12;
constexpr size_t kIeKey = 16;
constexpr uint16_t kIeLast = 0x0002;
// $FILE_NAME value fields past the parent: times, sizes and attributes as
// the folder's index last saw them.
constexpr size_t kFnCreationTime = 8;
constexpr size_t kFnModificationTime = 16;
constexpr size_t kFnDataSize = 48;
constexpr size_t kFnFileAttributes = 56;
constexpr uint32_t kFnAttrDirectory = 0x10000000;

// Validates the update sequence against the record (offset and array inside
// the record, at most size / 512 + 1 entries) and restores the protected
// words. A record whose fixups were already applied passes unchanged.
bool ApplyRecordFixups(MutableBytes record);
// The same for any multi-sector record with the given signature (INDX).
bool ApplyUpdateSequence(MutableBytes record, uint32_t signature);
// Where bytes [offset, offset + length) of a fixed-up record are in the
// record as stored: in place, except the last word of each 512-byte stride,
// whose bytes the update sequence array keeps (the stride ends in the
// update sequence number on disk). In order, adjacent bytes joined.
struct StoredRecordPiece {
  size_t offsetInSpan = 0;
  size_t offsetInRecord = 0;
  size_t length = 0;
};
std::vector<StoredRecordPiece> StoredPiecesOf(Bytes record, size_t offset, size_t length);

// One attribute in a record, validated: header, name and value (resident)
// or mapping pairs (non-resident) lie inside the attribute, and the
// attribute inside the record.
struct Attribute {
  size_t offset = 0;  // from the record start
  uint32_t type = 0;
  uint32_t length = 0;
  bool nonResident = false;
  uint16_t flags = 0;
  uint16_t id = 0;
  uint8_t nameLength = 0;
  uint16_t nameOffset = 0;
};

// Attribute walk: start with offset = first attribute offset. Returns false
// at the end marker, at a zero or out-of-record length, or at an attribute
// that fails validation (the record is then treated as ending there).
bool AttributeAt(Bytes record, size_t offset, Attribute& out);
// The attribute after `a`; false when the walk ends.
bool NextAttributeOf(Bytes record, const Attribute& a, Attribute& out);
bool FirstAttributeOf(Bytes record, Attribute& out);

// The attributes of one record, walked once: the same sequence, ending at
// the same point, as FirstAttributeOf and NextAttributeOf give. Routines
// that ask several questions of one record share one walk.
class AttributeWalk {
 public:
  explicit AttributeWalk(Bytes record);
  AttributeWalk(const AttributeWalk&) = delete;
  AttributeWalk& operator=(const AttributeWalk&) = delete;

  Bytes record() const { return record_; }
  size_t size() const { return count_; }
  const Attribute& operator[](size_t i) const { return i < kInline ? inline_.items[i] : overflow_[i - kInline]; }
  // Index of the first attribute of `type` at or after `from`; size() when
  // there is none.
  size_t Find(uint32_t type, size_t from = 0) const;
  // Type of the attribute the walk stopped at because it failed
  // validation (its value or name running past it or the record, a bad
  // length); 0 when the walk ended at the end marker or the record's end.
  uint32_t BrokenType() const { return brokenType_; }
  // Its offset in the record.
  size_t BrokenOffset() const { return brokenOffset_; }

 private:
  // A 1 KiB record holds a dozen attributes at most in practice; larger
  // records may spill over.
  static constexpr size_t kInline = 24;
  Bytes record_;
  size_t count_ = 0;
  uint32_t brokenType_ = 0;
  size_t brokenOffset_ = 0;
  // Left unset until the walk writes an entry: a walk is made per record
  // examined, and clearing the whole array would cost more than the walk.
  union Inline {
    Inline() {}
    Attribute items[kInline];
  } inline_;
  std::vector<Attribute> overflow_;
};

Bytes AttributeBytes(Bytes record, const Attribute& a);
// Resident value (empty when the attribute is non-resident).
Bytes ResidentValue(Bytes record, const Attribute& a);
// Name of the attribute in UTF-16 units.
Text AttributeName(Bytes record, const Attribute& a);
bool SameName(Bytes record, const Attribute& a, Bytes record2, const Attribute& b);

// $FILE_NAME value, validated: the fixed part and the name lie inside the
// value. The name may be empty (damage, or a driver that wrote one).
struct FileName {
  uint64_t parent = 0;  // parent folder reference, sequence number included
  uint8_t nameSpace = 0;
  Text name;            // UTF-16 units, at most 255
};
bool ParseFileName(Bytes value, FileName& out);

// One entry of an $I30 index, its key parsed. The last entry of a node
// carries no key (`hasKey` false).
struct IndexEntry {
  uint64_t reference = 0;
  uint16_t length = 0;
  uint16_t flags = 0;
  bool hasKey = false;
  FileName name;
  uint64_t dataSize = 0;
  uint64_t modificationTime = 0;
  uint32_t fileAttributes = 0;
};
// The entry at byte `pos` of a node's entries; false when its length or
// key runs off them (the node ends there).
bool ParseIndexEntry(Bytes entries, size_t pos, IndexEntry& out);

// One attribute-list entry.
struct ListEntry {
  uint32_t type = 0;
  uint16_t length = 0;
  uint8_t nameLength = 0;
  uint8_t nameOffset = 0;
  uint64_t lowestVcn = 0;
  uint64_t reference = 0;  // file reference, sequence number included
  uint16_t attributeId = 0;
};
enum class ListEntryStatus {
  Ok,
  End,         // no room for another entry, or a type of 0: the list ends
  BadLength,   // a length below the fixed part or running off the list
  BadName,     // the name runs off the entry
};
// The entry at byte `pos` of an attribute list. Only an Ok entry has a
// length, so a walk that steps by it always moves forward.
ListEntryStatus ParseListEntry(Bytes list, size_t pos, ListEntry& out);
// Whether two parsed entries of one list, at `a` and `b`, name the same
// attribute: the same type and the same name.
bool SameListName(Bytes list, size_t a, const ListEntry& ea, size_t b, const ListEntry& eb);

// Data run of an attribute: lcn = -1 for a sparse run.
struct Run {
  int64_t lcn = 0;
  uint64_t length = 0;
};

// Mapping pairs of one non-resident attribute extent. Decoding stops at the
// 0 header byte; it is cut short (returns false, keeping the runs decoded
// so far) at a header or field that runs off the attribute, a zero length
// field, a length that is not positive, or a run that lies outside the
// volume (`totalClusters`, 0 = unchecked).
bool DecodeMappingPairs(Bytes attribute, uint64_t totalClusters, std::vector<Run>& runs);

// Mapping from a virtual cluster to its run: the index of the run and the
// offset inside it; false when `vcn` lies past the last run.
bool FindRunOfVcn(const std::vector<Run>& runs, uint64_t vcn, size_t& index, uint64_t& within);

}  // namespace rv::ntfs
