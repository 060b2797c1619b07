#include "format/ntfs_format.h"

#include <cstring>

namespace rv::ntfs {

bool ApplyRecordFixups(MutableBytes record) { return ApplyUpdateSequence(record, kFileSignature); }

bool ApplyUpdateSequence(MutableBytes record, uint32_t signature) {
  Bytes r(record.data(), record.size());
  if (record.size() < kFixupStride || le32(r, 0) != signature) return false;
  const size_t usaOffset = le16(r, kRecUsaOffset);
  const size_t usaCount = le16(r, kRecUsaCount);
  if (usaCount <= 1) return true;
  // One entry for the sequence number plus one per 512-byte stride; the
  // array must lie inside the record's first stride, before the word it
  // protects.
  if (usaCount - 1 > record.size() / kFixupStride) return false;
  if (usaOffset % 2 != 0 || !InBounds(kFixupStride - 2, usaOffset, 2 * usaCount)) return false;
  const uint16_t usn = le16(r, usaOffset);
  for (size_t i = 1; i < usaCount; ++i) {
    const size_t end = kFixupStride * i - 2;
    const uint16_t saved = le16(r, usaOffset + 2 * i);
    const uint16_t word = le16(r, end);
    if (word != usn && word != saved) return false;
  }
  for (size_t i = 1; i < usaCount; ++i) put16(record, kFixupStride * i - 2, le16(r, usaOffset + 2 * i));
  return true;
}

std::vector<StoredRecordPiece> StoredPiecesOf(Bytes record, size_t offset, size_t length) {
  std::vector<StoredRecordPiece> pieces;
  if (offset > record.size() || length > record.size() - offset) return pieces;
  const size_t usaOffset = record.size() >= kFixupStride ? le16(record, kRecUsaOffset) : 0;
  const size_t usaCount = record.size() >= kFixupStride ? le16(record, kRecUsaCount) : 0;
  const bool fixed = usaCount > 1 && usaCount - 1 <= record.size() / kFixupStride &&
                     InBounds(record.size(), usaOffset, 2 * usaCount);
  for (size_t i = 0; i < length; ++i) {
    const size_t at = offset + i;
    const size_t stride = at / kFixupStride + 1;
    size_t stored = at;
    if (fixed && at % kFixupStride >= kFixupStride - 2 && stride < usaCount)
      stored = usaOffset + 2 * stride + at % kFixupStride - (kFixupStride - 2);
    if (!pieces.empty() && pieces.back().offsetInRecord + pieces.back().length == stored)
      ++pieces.back().length;
    else
      pieces.push_back({i, stored, 1});
  }
  return pieces;
}

bool AttributeAt(Bytes record, size_t offset, Attribute& out) {
  if (!InBounds(record.size(), offset, 16)) return false;
  const uint8_t* h = record.data() + offset;
  const uint32_t type = le32At(h + kAttrType);
  const uint32_t length = le32At(h + kAttrLength);
  if (type == kAttrEnd || length < kResidentHeaderBytes || !InBounds(record.size(), offset, length)) return false;
  // From here on the whole header (24 bytes at least) lies inside the record.
  const uint8_t nonResident = h[kAttrNonResident];
  if (nonResident > 1) return false;
  out.offset = offset;
  out.type = type;
  out.length = length;
  out.nonResident = nonResident == 1;
  out.flags = le16At(h + kAttrFlags);
  out.id = le16At(h + kAttrId);
  out.nameLength = h[kAttrNameLength];
  out.nameOffset = le16At(h + kAttrNameOffset);
  if (!InBounds(length, out.nameOffset, 2ull * out.nameLength)) return false;
  if (out.nonResident) {
    if (length < kNonResidentHeaderBytes) return false;
    const size_t pairs = le16At(h + kAttrMappingPairs);
    return pairs >= kNonResidentHeaderBytes && pairs <= length;
  }
  return InBounds(length, le16At(h + kAttrValueOffset), le32At(h + kAttrValueLength));
}

bool FirstAttributeOf(Bytes record, Attribute& out) {
  return AttributeAt(record, le16(record, kRecFirstAttribute), out);
}

bool NextAttributeOf(Bytes record, const Attribute& a, Attribute& out) {
  return AttributeAt(record, a.offset + a.length, out);
}

AttributeWalk::AttributeWalk(Bytes record) : record_(record) {
  Attribute a;
  // Every attribute is at least a resident header long, so the walk ends
  // within size / 24 steps.
  size_t next = le16(record, kRecFirstAttribute);
  for (bool have = FirstAttributeOf(record, a); have; have = NextAttributeOf(record, a, a)) {
    if (count_ < kInline) inline_.items[count_] = a;
    else overflow_.push_back(a);
    ++count_;
    next = a.offset + a.length;
  }
  if (InBounds(record.size(), next, 4) && le32(record, next) != kAttrEnd) {
    brokenType_ = le32(record, next);
    brokenOffset_ = next;
  }
}

size_t AttributeWalk::Find(uint32_t type, size_t from) const {
  for (size_t i = from; i < count_; ++i)
    if ((*this)[i].type == type) return i;
  return count_;
}

Bytes AttributeBytes(Bytes record, const Attribute& a) { return record.subspan(a.offset, a.length); }

Bytes ResidentValue(Bytes record, const Attribute& a) {
  if (a.nonResident) return {};
  Bytes attr = AttributeBytes(record, a);
  return attr.subspan(le16(attr, kAttrValueOffset), le32(attr, kAttrValueLength));
}

Text AttributeName(Bytes record, const Attribute& a) {
  Text name;
  for (size_t i = 0; i < a.nameLength; ++i)
    name.push_back(static_cast<char16_t>(le16(record, a.offset + a.nameOffset + 2 * i)));
  return name;
}

bool SameName(Bytes record, const Attribute& a, Bytes record2, const Attribute& b) {
  if (a.nameLength != b.nameLength) return false;
  for (size_t i = 0; i < 2ull * a.nameLength; ++i)
    if (le8(record, a.offset + a.nameOffset + i) != le8(record2, b.offset + b.nameOffset + i)) return false;
  return true;
}

bool ParseFileName(Bytes value, FileName& out) {
  if (value.size() < kFnName) return false;
  const size_t length = le8(value, kFnNameLength);
  if (!InBounds(value.size(), kFnName, 2 * length)) return false;
  out.parent = le64(value, kFnParent);
  out.nameSpace = le8(value, kFnNamespace);
  // The name was proven inside the value above.
  out.name.resize(length);
  const uint8_t* units = value.data() + kFnName;
  for (size_t i = 0; i < length; ++i) out.name[i] = static_cast<char16_t>(le16At(units + 2 * i));
  return true;
}

ListEntryStatus ParseListEntry(Bytes list, size_t pos, ListEntry& out) {
  if (!InBounds(list.size(), pos, kAleMinBytes)) return ListEntryStatus::End;
  out = ListEntry{};
  out.type = le32(list, pos + kAleType);
  if (out.type == 0) return ListEntryStatus::End;
  const uint16_t length = le16(list, pos + kAleLength);
  if (length < kAleMinBytes || !InBounds(list.size(), pos, length)) return ListEntryStatus::BadLength;
  out.nameLength = le8(list, pos + kAleNameLength);
  out.nameOffset = le8(list, pos + kAleNameOffset);
  if (!InBounds(length, out.nameOffset, 2ull * out.nameLength)) return ListEntryStatus::BadName;
  out.length = length;
  out.lowestVcn = le64(list, pos + kAleLowestVcn);
  out.reference = le64(list, pos + kAleReference);
  out.attributeId = le16(list, pos + kAleAttributeId);
  return ListEntryStatus::Ok;
}

bool SameListName(Bytes list, size_t a, const ListEntry& ea, size_t b, const ListEntry& eb) {
  if (ea.type != eb.type || ea.nameLength != eb.nameLength) return false;
  return std::memcmp(list.data() + a + ea.nameOffset, list.data() + b + eb.nameOffset, 2ull * ea.nameLength) == 0;
}

bool ParseIndexEntry(Bytes entries, size_t pos, IndexEntry& out) {
  if (!InBounds(entries.size(), pos, kIeKey)) return false;
  out = IndexEntry{};
  out.reference = le64(entries, pos + kIeReference);
  out.length = le16(entries, pos + kIeLength);
  const size_t keyLength = le16(entries, pos + kIeKeyLength);
  out.flags = le16(entries, pos + kIeFlags);
  // Entries are 8-byte aligned and hold their key; the last one may be a
  // bare header.
  if (out.length < kIeKey || out.length % 8 != 0 || !InBounds(entries.size(), pos, out.length)) return false;
  if (!InBounds(out.length, kIeKey, keyLength)) return false;
  if (out.flags & kIeLast) return true;
  const Bytes key = entries.subspan(pos + kIeKey, keyLength);
  if (!ParseFileName(key, out.name)) return false;
  out.dataSize = le64(key, kFnDataSize);
  out.modificationTime = le64(key, kFnModificationTime);
  out.fileAttributes = le32(key, kFnFileAttributes);
  out.hasKey = true;
  return true;
}

namespace {
// `width` (1 to 8) bytes at `p`, already proven inside the attribute.
int64_t SignExtended(const uint8_t* p, size_t width) {
  uint64_t v = 0;
  for (size_t i = 0; i < width; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
  if (width < 8 && (v >> (8 * width - 1)) & 1) v |= ~uint64_t{0} << (8 * width);
  return static_cast<int64_t>(v);
}
}  // namespace

// 2^40 clusters: 4 PiB in 4 KiB clusters, past any NTFS file.
constexpr uint64_t kMaxHoleClusters = uint64_t{1} << 40;

bool DecodeMappingPairs(Bytes attribute, uint64_t totalClusters, std::vector<Run>& runs) {
  size_t pos = le16(attribute, kAttrMappingPairs);
  int64_t lcn = 0;
  while (pos < attribute.size()) {
    const uint8_t header = attribute[pos];
    if (header == 0) return true;
    const size_t lengthBytes = header & 0x0F;
    const size_t offsetBytes = header >> 4;
    if (lengthBytes == 0 || lengthBytes > 8 || offsetBytes > 8) return false;
    if (!InBounds(attribute.size(), pos + 1, lengthBytes + offsetBytes)) return false;
    const int64_t length = SignExtended(attribute.data() + pos + 1, lengthBytes);
    if (length <= 0) return false;
    Run run{-1, static_cast<uint64_t>(length)};
    if (offsetBytes != 0) {
      const int64_t delta = SignExtended(attribute.data() + pos + 1 + lengthBytes, offsetBytes);
      // Overflow-proof: a run list of a damaged record may hold anything.
      if ((delta > 0 && lcn > INT64_MAX - delta) || (delta < 0 && lcn < INT64_MIN - delta)) return false;
      lcn += delta;
      if (lcn < 0) return false;
      if (totalClusters != 0 && !InBounds(totalClusters, static_cast<uint64_t>(lcn), run.length)) return false;
      run.lcn = lcn;
    } else if (run.length > kMaxHoleClusters) {
      // A hole may be far larger than the volume (a sparse file's size is
      // not bounded by the volume's), but not larger than any file can be.
      return false;
    }
    runs.push_back(run);
    pos += 1 + lengthBytes + offsetBytes;
  }
  // The list ran off the attribute without its terminating 0.
  return false;
}

bool FindRunOfVcn(const std::vector<Run>& runs, uint64_t vcn, size_t& index, uint64_t& within) {
  uint64_t start = 0;
  for (size_t i = 0; i < runs.size(); ++i) {
    if (vcn - start < runs[i].length) {
      index = i;
      within = vcn - start;
      return true;
    }
    start += runs[i].length;
  }
  return false;
}

}  // namespace rv::ntfs
