// Measure functions of the document and archive formats: PDF, ZIP (with
// OOXML, ODF and EPUB named by their content), SQLite and 7z.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "carve/measure_support.h"

namespace rv::carve {

// ---- PDF ------------------------------------------------------------------
// "%PDF-1.x" (or 2.0), then objects; the file ends with "startxref", the
// offset of the last cross-reference section, and "%%EOF". An incremental
// update appends objects, a new cross-reference section after the old end
// and another "%%EOF": the file ends at the last one. An "%%EOF" counts
// only when its startxref names an offset inside the file where a
// cross-reference table ("xref") or stream ("N G obj") stands, and, for an
// update, one past the previous end.
namespace {

// How far past an end another update's "%%EOF" is looked for.
constexpr uint64_t kPdfUpdateReach = 1 << 20;
// The last line before "%%EOF" holds the offset, the line before it
// "startxref": both well within this many bytes.
constexpr uint64_t kPdfTailBytes = 64;

bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }
bool IsPdfSpace(uint8_t c) { return c == ' ' || c == '\r' || c == '\n' || c == '\t' || c == '\f' || c == 0; }

// "N G obj" at `at`.
bool ObjectHeaderAt(BoundedReader& r, uint64_t at) {
  const uint8_t* p = r.At(at, std::min<uint64_t>(32, r.Limit() - std::min(at, r.Limit())));
  if (!p) return false;
  size_t n = static_cast<size_t>(std::min<uint64_t>(32, r.Limit() - at)), i = 0;
  auto digits = [&] {
    const size_t s = i;
    while (i < n && IsDigit(p[i])) ++i;
    return i > s;
  };
  auto spaces = [&] {
    const size_t s = i;
    while (i < n && IsPdfSpace(p[i])) ++i;
    return i > s;
  };
  return digits() && spaces() && digits() && spaces() && i + 3 <= n && std::memcmp(p + i, "obj", 3) == 0;
}

// The offset "startxref" names just before the "%%EOF" at `eof`.
bool StartXrefBefore(BoundedReader& r, uint64_t eof, uint64_t& xref) {
  const uint64_t from = eof > kPdfTailBytes ? eof - kPdfTailBytes : 0;
  const uint64_t keyword = r.Find(from, eof, "startxref");
  if (keyword == BoundedReader::kNotFound) return false;
  const uint8_t* p = r.At(keyword + 9, static_cast<size_t>(eof - keyword - 9));
  if (!p) return false;
  const size_t n = static_cast<size_t>(eof - keyword - 9);
  size_t i = 0;
  while (i < n && IsPdfSpace(p[i])) ++i;
  if (i == n || !IsDigit(p[i])) return false;
  uint64_t value = 0;
  for (; i < n && IsDigit(p[i]); ++i) {
    if (value > (UINT64_MAX - 9) / 10) return false;
    value = value * 10 + (p[i] - '0');
  }
  while (i < n && IsPdfSpace(p[i])) ++i;
  if (i != n) return false;
  xref = value;
  return true;
}

// The end of the file if the "%%EOF" at `eof` ends a revision that starts
// after `previousEnd`; 0 if it does not.
uint64_t RevisionEnd(BoundedReader& r, uint64_t eof, uint64_t previousEnd) {
  uint64_t xref = 0;
  if (!StartXrefBefore(r, eof, xref) || xref >= eof || (previousEnd && xref < previousEnd)) return 0;
  const uint8_t* x = r.At(xref, 4);
  if (!x || (std::memcmp(x, "xref", 4) != 0 && !ObjectHeaderAt(r, xref))) return 0;
  uint64_t end = eof + 5;
  uint8_t c = 0;
  if (r.U8(end, c) && c == '\r') ++end;
  if (r.U8(end, c) && c == '\n') ++end;
  return end;
}

}  // namespace

Measure MeasurePdf(BoundedReader& r) {
  const uint8_t* h = r.At(0, 8);
  if (!h || std::memcmp(h, "%PDF-", 5) != 0 || !IsDigit(h[5]) || h[6] != '.' || !IsDigit(h[7])) return {};
  uint64_t end = 0, searchFrom = 8, searchTo = r.Limit();
  for (;;) {
    const uint64_t eof = r.Find(searchFrom, searchTo, "%%EOF");
    if (eof == BoundedReader::kNotFound) break;
    if (const uint64_t e = RevisionEnd(r, eof, end)) {
      end = e;
      searchTo = r.Limit() - end < kPdfUpdateReach ? r.Limit() : end + kPdfUpdateReach;
    }
    searchFrom = eof + 5;
  }
  if (r.ReadFailed()) return BrokenAt(true, end ? end : 8, true);
  if (end) return WholeFile(end);
  return BrokenAt(true, 8, true);
}

// ---- ZIP ------------------------------------------------------------------
// Local file headers ("PK\3\4", 30 bytes, name, extra field, data, and a
// data descriptor when flag bit 3 is set), then the central directory
// ("PK\1\2" entries of 46 bytes plus name, extra field and comment), for
// ZIP64 its end record ("PK\6\6") and locator ("PK\6\7"), then the end of
// central directory record ("PK\5\6", 22 bytes and a comment), which ends
// the file. The central directory must start where the last local entry
// ends, say so in the end record, and hold as many entries.
namespace {

constexpr uint32_t kLocalHeaderBytes = 30, kCentralHeaderBytes = 46, kEndRecordBytes = 22;
constexpr uint32_t kZip64EndBytes = 56, kZip64LocatorBytes = 20;
constexpr uint16_t kFlagDataDescriptor = 8;
constexpr uint16_t kZip64ExtraId = 1;
constexpr uint64_t kDescriptorSearch = 64ull << 30;

struct ZipNames {
  const char* extension = nullptr;  // from the entries' names and the ODF mimetype
  bool contentTypes = false;        // "[Content_Types].xml": OOXML
};

void NoteEntryName(std::string_view name, ZipNames& names) {
  if (name == "[Content_Types].xml") names.contentTypes = true;
  if (name == "word/document.xml") names.extension = "docx";
  if (name == "xl/workbook.xml") names.extension = "xlsx";
  if (name == "ppt/presentation.xml") names.extension = "pptx";
}

// ODF and EPUB store their media type uncompressed as the first entry.
const char* MimetypeExtension(std::string_view type) {
  static constexpr std::pair<std::string_view, const char*> kTypes[] = {
      {"application/vnd.oasis.opendocument.text", "odt"},
      {"application/vnd.oasis.opendocument.spreadsheet", "ods"},
      {"application/vnd.oasis.opendocument.presentation", "odp"},
      {"application/vnd.oasis.opendocument.graphics", "odg"},
      {"application/epub+zip", "epub"},
  };
  for (const auto& [t, ext] : kTypes)
    if (type == t) return ext;
  return nullptr;
}

bool SignatureAt(BoundedReader& r, uint64_t at, const char* sig) {
  const uint8_t* p = r.At(at, 4);
  return p && std::memcmp(p, sig, 4) == 0;
}

// The compressed size from a ZIP64 extra field (which holds the sizes whose
// 32-bit fields read 0xFFFFFFFF, uncompressed first).
bool Zip64CompressedSize(BoundedReader& r, uint64_t extra, uint16_t extraLength, bool uncompressedToo,
                         uint64_t& size) {
  uint64_t at = extra;
  while (at + 4 <= extra + extraLength) {
    uint16_t id = 0, length = 0;
    if (!r.Le16(at, id) || !r.Le16(at + 2, length)) return false;
    if (id == kZip64ExtraId) return r.Le64(at + 4 + (uncompressedToo ? 8 : 0), size);
    at += 4ull + length;
  }
  return false;
}

struct LocalEntry {
  uint64_t end = 0;
  bool ranOut = false;
};

// The end of the local entry at `pos`, its data descriptor included;
// end 0 when the entry is not valid.
LocalEntry ReadLocalEntry(BoundedReader& r, uint64_t pos, bool first, ZipNames& names) {
  LocalEntry e;
  const uint8_t* h = r.At(pos, kLocalHeaderBytes);
  if (!h) {
    e.ranOut = true;
    return e;
  }
  const uint16_t flags = h[6] | (h[7] << 8), method = h[8] | (h[9] << 8);
  const uint32_t usize32 = h[22] | (h[23] << 8) | (h[24] << 16) | (uint32_t(h[25]) << 24);
  const uint32_t stated = h[14] | (h[15] << 8) | (h[16] << 16) | (uint32_t(h[17]) << 24);
  uint64_t csize = h[18] | (h[19] << 8) | (h[20] << 16) | (uint32_t(h[21]) << 24);
  const uint16_t nameLength = h[26] | (h[27] << 8), extraLength = h[28] | (h[29] << 8);
  const bool methodKnown = method == 0 || method == 8 || method == 9 || method == 12 || method == 14 ||
                           method == 93 || method == 95 || method == 98 || method == 99;
  if (!methodKnown || nameLength == 0) return e;
  const uint64_t nameAt = pos + kLocalHeaderBytes, dataAt = nameAt + nameLength + extraLength;
  const uint8_t* name = r.At(nameAt, nameLength);
  if (!name) {
    e.ranOut = true;
    return e;
  }
  const std::string_view nameText(reinterpret_cast<const char*>(name), nameLength);
  NoteEntryName(nameText, names);
  if (csize == 0xFFFFFFFF && !Zip64CompressedSize(r, nameAt + nameLength, extraLength, usize32 == 0xFFFFFFFF, csize))
    return e;
  if (first && nameText == "mimetype" && method == 0 && csize <= 64) {
    if (const uint8_t* type = r.At(dataAt, static_cast<size_t>(csize)))
      if (const char* ext = MimetypeExtension({reinterpret_cast<const char*>(type), static_cast<size_t>(csize)}))
        names.extension = ext;
  }
  if (!(flags & kFlagDataDescriptor) || csize != 0) {
    e.end = dataAt + csize;
    // A stored entry's bytes are its data: their CRC-32 must be the one
    // the header states (a wrong cluster inside them shows here).
    if (method == 0 && !(flags & kFlagDataDescriptor) && csize == usize32 && !PastLimit(r, 0, e.end)) {
      uint32_t crc = 0;
      if (!r.Crc32(dataAt, csize, crc)) return {0, true};
      if (crc != stated) return {};
    }
    if (flags & kFlagDataDescriptor) {
      // The descriptor: an optional signature, CRC, and the two sizes.
      e.end += SignatureAt(r, e.end, "PK\x07\x08") ? 16 : 12;
    }
    if (PastLimit(r, 0, e.end)) e = {0, true};
    return e;
  }
  // Sizes only in the descriptor that follows the data: the first
  // descriptor whose compressed size is the distance back to the data.
  for (uint64_t at = dataAt;;) {
    const uint64_t d = r.Find(at, dataAt + kDescriptorSearch, "PK\x07\x08");
    if (d == BoundedReader::kNotFound) {
      e.ranOut = true;
      return e;
    }
    uint32_t c = 0;
    if (r.Le32(d + 8, c) && c == d - dataAt) {
      e.end = d + 16;
      return e;
    }
    at = d + 1;
  }
}

}  // namespace

Measure MeasureZip(BoundedReader& r) {
  if (!SignatureAt(r, 0, "PK\x03\x04")) return {};
  ZipNames names;
  uint64_t pos = 0, entries = 0;
  while (SignatureAt(r, pos, "PK\x03\x04")) {
    const LocalEntry e = ReadLocalEntry(r, pos, entries == 0, names);
    if (!e.end) return BrokenAt(entries > 0, pos, e.ranOut, names.extension);
    pos = e.end;
    ++entries;
  }
  const uint64_t centralStart = pos;
  uint64_t centralEntries = 0;
  while (SignatureAt(r, pos, "PK\x01\x02")) {
    const uint8_t* h = r.At(pos, kCentralHeaderBytes);
    if (!h) return BrokenAt(true, pos, true, names.extension);
    const uint64_t nameLength = h[28] | (h[29] << 8), extraLength = h[30] | (h[31] << 8),
                   commentLength = h[32] | (h[33] << 8);
    const uint32_t localAt = h[42] | (h[43] << 8) | (h[44] << 16) | (uint32_t(h[45]) << 24);
    if (localAt != 0xFFFFFFFF && localAt >= centralStart) return BrokenAt(true, pos, false, names.extension);
    if (const uint8_t* name = r.At(pos + kCentralHeaderBytes, static_cast<size_t>(nameLength)))
      NoteEntryName({reinterpret_cast<const char*>(name), static_cast<size_t>(nameLength)}, names);
    pos += kCentralHeaderBytes + nameLength + extraLength + commentLength;
    ++centralEntries;
  }
  if (SignatureAt(r, pos, "PK\x06\x06")) {
    uint64_t recordSize = 0;
    if (!r.Le64(pos + 4, recordSize) || recordSize < kZip64EndBytes - 12 || recordSize > (1u << 20))
      return BrokenAt(true, pos, PastLimit(r, pos, 12), names.extension);
    pos += 12 + recordSize;
    if (!SignatureAt(r, pos, "PK\x06\x07")) return BrokenAt(true, pos, PastLimit(r, pos, 4), names.extension);
    pos += kZip64LocatorBytes;
  }
  const uint8_t* end = r.At(pos, kEndRecordBytes);
  if (!end) return BrokenAt(true, pos, true, names.extension);
  if (std::memcmp(end, "PK\x05\x06", 4) != 0) return BrokenAt(true, pos, false, names.extension);
  const uint16_t total = end[10] | (end[11] << 8), commentLength = end[20] | (end[21] << 8);
  const uint32_t centralBytes = end[12] | (end[13] << 8) | (end[14] << 16) | (uint32_t(end[15]) << 24);
  const uint32_t centralOffset = end[16] | (end[17] << 8) | (end[18] << 16) | (uint32_t(end[19]) << 24);
  const bool zip64 = total == 0xFFFF || centralOffset == 0xFFFFFFFF;
  if (!zip64 && (total != centralEntries || centralOffset != centralStart || centralBytes > pos - centralStart))
    return BrokenAt(true, pos, false, names.extension);
  if (centralEntries == 0) return BrokenAt(false, pos, false);
  const uint64_t fileEnd = pos + kEndRecordBytes + commentLength;
  if (PastLimit(r, 0, fileEnd)) return BrokenAt(true, pos, true, names.extension);
  return WholeFile(fileEnd, names.extension);
}

// ---- SQLite ---------------------------------------------------------------
// A 100-byte header: "SQLite format 3\0", the page size (big-endian at 16,
// 1 meaning 65536), the payload fractions 64, 32, 32 at 21-23, the change
// counter at 24 and the page count at 28, valid when the "version valid
// for" number at 92 equals the change counter. The file is page size times
// page count bytes long.
Measure MeasureSqlite(BoundedReader& r) {
  const uint8_t* h = r.At(0, 100);
  if (!h || std::memcmp(h, "SQLite format 3\0", 16) != 0) return {};
  auto be32 = [&](int o) { return (uint32_t(h[o]) << 24) | (h[o + 1] << 16) | (h[o + 2] << 8) | h[o + 3]; };
  const uint32_t field = (h[16] << 8) | h[17];
  const uint64_t pageSize = field == 1 ? 65536 : field;
  if (pageSize < 512 || (pageSize & (pageSize - 1)) || h[21] != 64 || h[22] != 32 || h[23] != 32 ||
      h[18] < 1 || h[18] > 2 || h[19] < 1 || h[19] > 2)
    return {};
  const uint32_t pages = be32(28);
  if (pages == 0 || be32(92) != be32(24)) return BrokenAt(true, std::min<uint64_t>(pageSize, r.Limit()), false);
  const uint64_t length = pageSize * pages;
  if (PastLimit(r, 0, length)) return BrokenAt(true, std::min<uint64_t>(pageSize, r.Limit()), true);
  return WholeFile(length);
}

// ---- 7z -------------------------------------------------------------------
// The 32-byte signature header: "7z\xBC\xAF\x27\x1C", version (major 0),
// the CRC of the next 20 bytes, then the next header's offset (from byte
// 32), size and CRC. The next header is the file's last part.
Measure MeasureSevenZip(BoundedReader& r) {
  const uint8_t* h = r.At(0, 32);
  if (!h || std::memcmp(h, "7z\xBC\xAF\x27\x1C", 6) != 0 || h[6] != 0) return {};
  uint32_t startCrc = 0, stored = 0, nextCrc = 0;
  uint64_t nextOffset = 0, nextSize = 0;
  if (!r.Crc32(12, 20, startCrc) || !r.Le32(8, stored) || startCrc != stored) return {};
  if (!r.Le64(12, nextOffset) || !r.Le64(20, nextSize) || !r.Le32(28, nextCrc)) return {};
  if (nextSize == 0 || nextSize > (1ull << 32) || nextOffset > (1ull << 48)) return {};
  const uint64_t length = 32 + nextOffset + nextSize;
  if (PastLimit(r, 0, length)) return BrokenAt(true, 32, true);
  uint32_t crc = 0;
  if (!r.Crc32(32 + nextOffset, nextSize, crc)) return BrokenAt(true, 32, true);
  if (crc != nextCrc) return BrokenAt(true, 32, false);
  return WholeFile(length);
}

}  // namespace rv::carve
