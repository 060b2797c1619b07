// Measure functions of the image formats: JPEG, PNG, GIF, BMP, TIFF
// (with the camera RAW files built on TIFF) and Photoshop's PSD.
#include <algorithm>
#include <cstring>
#include <vector>

#include "carve/jpeg_entropy.h"
#include "carve/measure_support.h"

namespace rv::carve {

// ---- JPEG -----------------------------------------------------------------
// SOI (FF D8), then marker segments (FF, marker, big-endian length that
// counts itself) up to a start of scan (FF DA), whose entropy-coded data
// runs to the next marker: there FF is followed by 00 (a stuffed FF) or
// D0-D7 (a restart marker, cycling in order). A progressive file has
// several scans with tables between them. EOI (FF D9) ends the file. An
// EXIF APP1 segment holds its thumbnail (a JPEG of its own) inside the
// segment's length, so the thumbnail's EOI never ends the photo.
// A camera's multi-picture file (MPF: a large preview, the second image of
// a stereo pair) stores its further images after the first one's EOI; an
// APP2 segment "MPF\0" holds a TIFF-like header whose MP entries give each
// image's size and offset (from that header; 0 for the first image). Such
// a file ends where its last image ends.
namespace {

constexpr uint8_t kSoi = 0xD8, kEoi = 0xD9, kSos = 0xDA, kDht = 0xC4, kDac = 0xCC, kJpgReserved = 0xC8;
constexpr uint8_t kRst0 = 0xD0, kRst7 = 0xD7, kTem = 0x01, kDri = 0xDD, kDqt = 0xDB;

bool IsFrameMarker(uint8_t m) { return m >= 0xC0 && m <= 0xCF && m != kDht && m != kJpgReserved && m != kDac; }

// Markers that may stand between the segments of a JPEG: tables, restart
// interval, comments, application data, frames and scans.
bool IsSegmentMarker(uint8_t m) {
  return IsFrameMarker(m) || m == kDht || m == kDac || m == 0xDB || m == 0xDC || m == 0xDD || m == kSos ||
         (m >= 0xE0 && m <= 0xEF) || m == 0xFE;
}

struct JpegScanEnd {
  uint64_t marker = 0;  // offset of the FF that starts the marker ending the scan
  bool ranOut = false;
  bool badRestart = false;
};

// Walks entropy-coded data from `pos` to the marker that ends it.
JpegScanEnd SkipEntropyData(BoundedReader& r, uint64_t pos) {
  JpegScanEnd end;
  uint8_t nextRestart = kRst0;
  for (;;) {
    size_t available = 0;
    const uint8_t* p = r.Run(pos, available);
    if (!p) {
      end.marker = pos;
      end.ranOut = true;
      return end;
    }
    const auto* ff = static_cast<const uint8_t*>(std::memchr(p, 0xFF, available));
    if (!ff) {
      pos += available;
      continue;
    }
    const uint64_t at = pos + static_cast<uint64_t>(ff - p);
    uint8_t next = 0;
    if (!r.U8(at + 1, next)) {
      end.marker = at;
      end.ranOut = true;
      return end;
    }
    if (next == 0x00) {
      pos = at + 2;
    } else if (next >= kRst0 && next <= kRst7) {
      if (next != nextRestart) {
        end.marker = at;
        end.badRestart = true;
        return end;
      }
      nextRestart = next == kRst7 ? kRst0 : static_cast<uint8_t>(next + 1);
      pos = at + 2;
    } else if (next == 0xFF) {
      pos = at + 1;  // fill byte before a marker
    } else {
      end.marker = at;
      return end;
    }
  }
}

// A frame header: precision, height, width, component count and three
// bytes per component.
bool FrameHeaderValid(BoundedReader& r, uint64_t segment, uint16_t length) {
  const uint8_t* p = r.At(segment + 4, 6);
  if (!p) return false;
  const uint8_t precision = p[0];
  const unsigned width = (p[3] << 8) | p[4];
  const uint8_t components = p[5];
  return (precision == 8 || precision == 12 || precision == 16) && width != 0 && components >= 1 &&
         components <= 4 && length == 8 + 3 * components;
}

bool ScanHeaderValid(BoundedReader& r, uint64_t segment, uint16_t length) {
  uint8_t components = 0;
  return r.U8(segment + 4, components) && components >= 1 && components <= 4 && length == 6 + 2 * components;
}

constexpr uint8_t kApp2 = 0xE2;
constexpr uint16_t kTagMpEntry = 0xB002;
constexpr uint32_t kMpEntryBytes = 16, kMaxMpIfdEntries = 64;

struct MultiPicture {
  uint64_t end = 0;     // where the last further image ends; 0: no MPF segment
  bool valid = true;    // every further image starts with SOI and ends with EOI where its entry says
};

// The MP entries of the APP2 segment whose data [data, data + length)
// starts "MPF\0"; `mp` is left alone when it does not.
void ReadMultiPicture(BoundedReader& r, uint64_t data, uint64_t length, MultiPicture& mp) {
  const uint8_t* id = r.At(data, 8);
  if (!id || length < 16 || std::memcmp(id, "MPF\0", 4) != 0) return;
  const uint64_t header = data + 4, segmentEnd = data + length;
  const bool big = std::memcmp(id + 4, "MM\0*", 4) == 0;
  if (!big && std::memcmp(id + 4, "II*\0", 4) != 0) return;
  const auto u16 = [&](uint64_t at, uint16_t& v) { return big ? r.Be16(at, v) : r.Le16(at, v); };
  const auto u32 = [&](uint64_t at, uint32_t& v) { return big ? r.Be32(at, v) : r.Le32(at, v); };
  uint32_t ifd = 0;
  uint16_t count = 0;
  if (!u32(header + 4, ifd) || ifd > length - 4 - 2 || !u16(header + ifd, count) || count > kMaxMpIfdEntries ||
      12ull * count > length - 4 - 2 - ifd)
    return;
  for (uint16_t e = 0; e < count; ++e) {
    const uint64_t at = header + ifd + 2 + 12ull * e;
    uint16_t tag = 0;
    uint32_t bytes = 0, offset = 0;
    if (!u16(at, tag) || !u32(at + 4, bytes) || !u32(at + 8, offset)) return;
    if (tag != kTagMpEntry) continue;
    if (bytes % kMpEntryBytes || offset > segmentEnd - header || bytes > segmentEnd - header - offset) return;
    mp.end = data;  // an MPF segment, whatever its entries hold
    for (uint32_t i = 1; i < bytes / kMpEntryBytes; ++i) {
      uint32_t size = 0, start = 0;
      if (!u32(header + offset + kMpEntryBytes * i + 4, size) || !u32(header + offset + kMpEntryBytes * i + 8, start))
        return;
      if (size < 4) {
        mp.valid = false;
        continue;
      }
      const uint64_t first = header + start, last = first + size;
      mp.end = std::max(mp.end, last);
      if (PastLimit(r, 0, last)) continue;
      uint16_t soi = 0, eoi = 0;
      uint8_t afterSoi = 0;
      if (!r.Be16(first, soi) || !r.U8(first + 2, afterSoi) || !r.Be16(last - 2, eoi) || soi != 0xFFD8 ||
          afterSoi != 0xFF || eoi != 0xFFD9)
        mp.valid = false;
    }
    return;
  }
}

// The file whose first image ends at `firstEnd`, with the further images
// its MPF segment names.
Measure JpegEnd(BoundedReader& r, uint64_t firstEnd, const MultiPicture& mp) {
  if (mp.end <= firstEnd) return WholeFile(firstEnd);
  if (PastLimit(r, 0, mp.end)) return BrokenAt(true, firstEnd, true);
  if (!mp.valid) return BrokenAt(true, firstEnd, false);
  return WholeFile(mp.end);
}

}  // namespace

Measure MeasureJpeg(BoundedReader& r) {
  const uint8_t* head = r.At(0, 3);
  if (!head || head[0] != 0xFF || head[1] != kSoi || head[2] != 0xFF) return {};
  bool sawFrame = false, sawScan = false;
  MultiPicture mp;
  JpegDecodeState decode;
  bool allScansDecoded = true;
  uint64_t pos = 2;
  for (;;) {
    // `pos` is where a marker must start; the file is valid up to here.
    uint8_t b = 0;
    if (!r.U8(pos, b)) return BrokenAt(sawFrame, pos, true);
    if (b != 0xFF) return BrokenAt(sawFrame, pos, false);
    uint64_t m = pos + 1;
    uint8_t marker = 0xFF;
    while (marker == 0xFF) {
      if (!r.U8(m, marker)) return BrokenAt(sawFrame, pos, true);
      if (marker == 0xFF) ++m;
    }
    if (marker == kEoi) {
      if (!sawScan) return BrokenAt(false, pos, false);
      Measure whole = JpegEnd(r, m + 1, mp);
      // Every scan decoded, and no further image after this one's end.
      whole.contentChecked = whole.verdict == Verdict::Whole && allScansDecoded && whole.length == m + 1;
      return whole;
    }
    if (marker == kTem) {
      pos = m + 1;
      continue;
    }
    // A second frame is a new image (hierarchical files aside, which
    // cameras do not write); anything else unknown is not JPEG.
    if (!IsSegmentMarker(marker) || (sawFrame && IsFrameMarker(marker)) || (marker == kSos && !sawFrame))
      return BrokenAt(sawFrame, pos, false);
    uint16_t length = 0;
    if (!r.Be16(m + 1, length)) return BrokenAt(sawFrame, pos, true);
    if (length < 2) return BrokenAt(sawFrame, pos, false);
    const uint64_t segmentEnd = m + 1 + length;
    if (PastLimit(r, 0, segmentEnd)) return BrokenAt(sawFrame, pos, true);
    if (IsFrameMarker(marker)) {
      if (!FrameHeaderValid(r, pos + (m - pos - 1), length)) return BrokenAt(false, pos, false);
      sawFrame = true;
    }
    if (marker == kApp2 && !sawScan && !mp.end) ReadMultiPicture(r, m + 3, length - 2u, mp);
    if (marker == kDht) decode.Tables(r, m + 3, length - 2u);
    if (marker == kDri) decode.RestartInterval(r, m + 3, length - 2u);
    if (marker == kDqt) decode.Quantization(r, m + 3, length - 2u);
    if (IsFrameMarker(marker)) decode.Frame(r, marker, m + 3, length - 2u);
    if (marker != kSos) {
      pos = segmentEnd;
      continue;
    }
    if (!ScanHeaderValid(r, m - 1, length)) return BrokenAt(sawFrame, pos, false);
    sawScan = true;
    // A sequential Huffman scan is decoded block by block; others are
    // walked by their markers.
    const JpegDecodeState::ScanResult scan =
        r.ChecksContent() ? decode.Scan(r, m + 3, length - 2u, segmentEnd) : JpegDecodeState::ScanResult{};
    if (scan.checked) {
      if (!scan.ok) return BrokenAt(true, scan.marker, scan.ranOut);
      pos = scan.marker;
      continue;
    }
    allScansDecoded = false;
    const JpegScanEnd end = SkipEntropyData(r, segmentEnd);
    if (end.ranOut || end.badRestart) return BrokenAt(true, end.marker, end.ranOut);
    pos = end.marker;
  }
}

// ---- PNG ------------------------------------------------------------------
// The 8-byte signature, then chunks: big-endian length (< 2^31), a type of
// four ASCII letters, the data and a CRC-32 of type and data. IHDR (13
// bytes) comes first and IEND ends the file.
namespace {
constexpr uint64_t kPngSignatureBytes = 8;
constexpr uint32_t kPngMaxChunk = 0x7FFFFFFF;

bool IsChunkType(const uint8_t* t) {
  for (int i = 0; i < 4; ++i)
    if (!((t[i] >= 'A' && t[i] <= 'Z') || (t[i] >= 'a' && t[i] <= 'z'))) return false;
  return true;
}
}  // namespace

Measure MeasurePng(BoundedReader& r) {
  const uint8_t* sig = r.At(0, kPngSignatureBytes);
  if (!sig || std::memcmp(sig, "\x89PNG\r\n\x1a\n", kPngSignatureBytes) != 0) return {};
  bool certain = false;
  uint64_t pos = kPngSignatureBytes;
  for (;;) {
    const uint8_t* h = r.At(pos, 8);
    if (!h) return BrokenAt(certain, pos, true);
    const uint32_t length = (uint32_t(h[0]) << 24) | (h[1] << 16) | (h[2] << 8) | h[3];
    char type[4];
    std::memcpy(type, h + 4, 4);
    if (length > kPngMaxChunk || !IsChunkType(h + 4)) return BrokenAt(certain, pos, false);
    if (!certain && (std::memcmp(type, "IHDR", 4) != 0 || length != 13)) return BrokenAt(false, pos, false);
    const uint64_t end = pos + 12 + length;
    if (PastLimit(r, 0, end)) return BrokenAt(certain, pos, true);
    uint32_t crc = 0, stored = 0;
    if (!r.Crc32(pos + 4, 4 + uint64_t(length), crc) || !r.Be32(pos + 8 + length, stored))
      return BrokenAt(certain, pos, true);
    if (crc != stored) return BrokenAt(certain, pos, false);
    certain = true;
    if (std::memcmp(type, "IEND", 4) == 0) return CheckedWholeFile(end);
    pos = end;
  }
}

// ---- GIF ------------------------------------------------------------------
// "GIF87a" or "GIF89a", the logical screen descriptor (7 bytes) and its
// optional global color table, then blocks: 0x2C an image (descriptor,
// local table, LZW code size, data sub-blocks), 0x21 an extension (label,
// sub-blocks), 0x3B the trailer that ends the file. Sub-blocks are a size
// byte and that many bytes, ended by a size of 0.
namespace {
constexpr uint8_t kGifImage = 0x2C, kGifExtension = 0x21, kGifTrailer = 0x3B;
constexpr uint8_t kGifHasTable = 0x80;

uint64_t ColorTableBytes(uint8_t flags) { return flags & kGifHasTable ? 3ull << ((flags & 7) + 1) : 0; }

// Offset after the sub-block sequence at `pos`; 0 when the bytes ran out.
uint64_t SkipSubBlocks(BoundedReader& r, uint64_t pos) {
  for (;;) {
    uint8_t size = 0;
    if (!r.U8(pos, size)) return 0;
    pos += 1 + uint64_t(size);
    if (size == 0) return pos;
  }
}
}  // namespace

Measure MeasureGif(BoundedReader& r) {
  const uint8_t* h = r.At(0, 13);
  if (!h || (std::memcmp(h, "GIF87a", 6) != 0 && std::memcmp(h, "GIF89a", 6) != 0)) return {};
  const unsigned width = h[6] | (h[7] << 8), height = h[8] | (h[9] << 8);
  if (width == 0 || height == 0) return {};
  uint64_t pos = 13 + ColorTableBytes(h[10]);
  bool sawImage = false;
  for (;;) {
    uint8_t block = 0;
    if (!r.U8(pos, block)) return BrokenAt(sawImage, pos, true);
    uint64_t next = 0;
    if (block == kGifTrailer) {
      if (!sawImage) return BrokenAt(false, pos, false);
      return WholeFile(pos + 1);
    } else if (block == kGifExtension) {
      next = SkipSubBlocks(r, pos + 2);
    } else if (block == kGifImage) {
      const uint8_t* d = r.At(pos, 11);
      if (!d) return BrokenAt(sawImage, pos, true);
      const uint64_t table = ColorTableBytes(d[9]);
      uint8_t codeSize = 0;
      if (!r.U8(pos + 10 + table, codeSize)) return BrokenAt(sawImage, pos, true);
      if (codeSize < 2 || codeSize > 11) return BrokenAt(sawImage, pos, false);
      next = SkipSubBlocks(r, pos + 11 + table);
      if (next) sawImage = true;
    } else {
      return BrokenAt(sawImage, pos, false);
    }
    if (!next) return BrokenAt(sawImage, pos, true);
    pos = next;
  }
}

// ---- BMP ------------------------------------------------------------------
// BITMAPFILEHEADER (14 bytes): "BM", file size, two reserved words, pixel
// data offset; then the DIB header, whose first field is its own size. The
// file size is the length; it must hold the pixel rows the header implies
// (rows padded to 4 bytes) for uncompressed images.
namespace {
constexpr uint32_t kBiRgb = 0, kBiBitfields = 3, kBiAlphaBitfields = 6;
constexpr uint32_t kMaxBmpSide = 1u << 16;
// ICC profiles and gaps may follow the pixels of a V5 header.
constexpr uint64_t kBmpSlack = 1u << 20;
}  // namespace

Measure MeasureBmp(BoundedReader& r) {
  const uint8_t* h = r.At(0, 54);
  if (!h || h[0] != 'B' || h[1] != 'M') return {};
  auto le32 = [&](int o) { return uint32_t(h[o]) | (h[o + 1] << 8) | (h[o + 2] << 16) | (uint32_t(h[o + 3]) << 24); };
  auto le16 = [&](int o) { return uint32_t(h[o]) | (h[o + 1] << 8); };
  const uint64_t fileSize = le32(2), dataOffset = le32(10);
  const uint32_t dib = le32(14);
  if (le32(6) != 0) return {};
  uint64_t width = 0, height = 0;
  uint32_t planes = 0, bpp = 0, compression = kBiRgb;
  if (dib == 12) {
    width = le16(18), height = le16(20), planes = le16(22), bpp = le16(24);
  } else if (dib == 40 || dib == 52 || dib == 56 || dib == 64 || dib == 108 || dib == 124) {
    const int32_t w = static_cast<int32_t>(le32(18)), hh = static_cast<int32_t>(le32(22));
    if (w <= 0 || hh == 0 || hh == INT32_MIN) return {};
    width = uint64_t(w), height = uint64_t(hh < 0 ? -int64_t(hh) : hh);
    planes = le16(26), bpp = le16(28), compression = le32(30);
  } else {
    return {};
  }
  const bool bppValid = bpp == 1 || bpp == 2 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32;
  if (planes != 1 || !bppValid || width == 0 || height == 0 || width > kMaxBmpSide || height > kMaxBmpSide ||
      compression > kBiAlphaBitfields || dataOffset < 14 + uint64_t(dib) || dataOffset >= fileSize)
    return {};
  if (compression == kBiRgb || compression == kBiBitfields || compression == kBiAlphaBitfields) {
    const uint64_t pixels = (width * bpp + 31) / 32 * 4 * height;
    if (fileSize < dataOffset + pixels || fileSize - (dataOffset + pixels) > kBmpSlack) return {};
  }
  if (PastLimit(r, 0, fileSize)) return BrokenAt(true, std::min<uint64_t>(r.Limit(), dataOffset), true);
  return WholeFile(fileSize);
}

// ---- TIFF and the RAW files built on it -----------------------------------
// "II*\0" (little-endian) or "MM\0*", the offset of the first IFD. An IFD
// is a count, 12-byte entries (tag, type, count, value or offset) in
// ascending tag order and the offset of the next IFD. The file ends where
// the last thing any IFD points to ends: the IFDs themselves, values over
// 4 bytes, strips, tiles, the JPEG thumbnail, and the EXIF, GPS and
// sub-IFDs, walked too. Cameras' RAW files are TIFF inside and are told
// apart by the Make tag (and CR2's "CR" at offset 8, DNG's version tag).
namespace {

constexpr uint16_t kTagMake = 271, kTagStripOffsets = 273, kTagStripByteCounts = 279, kTagSubIfds = 330,
                   kTagTileOffsets = 324, kTagTileByteCounts = 325, kTagJpegOffset = 513, kTagJpegLength = 514,
                   kTagExifIfd = 34665, kTagGpsIfd = 34853, kTagInteropIfd = 40965, kTagDngVersion = 50706,
                   kTagImageWidth = 256;
constexpr uint32_t kMaxIfds = 64, kMaxIfdEntries = 1024, kMaxArray = 1u << 20;

uint32_t TiffTypeBytes(uint16_t type) {
  switch (type) {
    case 1: case 2: case 6: case 7: return 1;    // BYTE ASCII SBYTE UNDEFINED
    case 3: case 8: return 2;                    // SHORT SSHORT
    case 4: case 9: case 11: case 13: return 4;  // LONG SLONG FLOAT IFD
    case 5: case 10: case 12: return 8;          // RATIONAL SRATIONAL DOUBLE
    case 16: case 17: case 18: return 8;         // BigTIFF's LONG8 SLONG8 IFD8
    default: return 0;
  }
}

class TiffWalk {
 public:
  TiffWalk(BoundedReader& r, bool big) : r_(r), big_(big) {}

  bool U16(uint64_t o, uint16_t& v) { return big_ ? r_.Be16(o, v) : r_.Le16(o, v); }
  bool U32(uint64_t o, uint32_t& v) { return big_ ? r_.Be32(o, v) : r_.Le32(o, v); }
  // Element `i` of an entry's SHORT or LONG array.
  bool Element(uint16_t type, uint64_t at, uint32_t i, uint32_t& v) {
    if (type == 3) {
      uint16_t s = 0;
      if (!U16(at + 2ull * i, s)) return false;
      v = s;
      return true;
    }
    return U32(at + 4ull * i, v);
  }

  void Extend(uint64_t end) { end_ = std::max(end_, end); }

  // Walks every IFD reachable from `first`; false when the first IFD is no
  // valid IFD (then the file is no TIFF).
  bool Walk(uint32_t first) {
    std::vector<uint32_t> pending{first};
    std::vector<uint32_t> seen;
    bool firstValid = false;
    while (!pending.empty() && seen.size() < kMaxIfds) {
      const uint32_t ifd = pending.back();
      pending.pop_back();
      if (ifd < 8 || std::find(seen.begin(), seen.end(), ifd) != seen.end()) continue;
      seen.push_back(ifd);
      if (!ReadIfd(ifd, pending)) {
        if (seen.size() == 1) return false;
        broken_ = true;
        continue;
      }
      if (!firstValid) firstIfdEnd_ = end_;
      firstValid = true;
    }
    return firstValid;
  }

  uint64_t end_ = 8;
  uint64_t firstIfdEnd_ = 8;  // all of IFD 0 and what it points to: what a cut-off file still shows valid
  bool ranOut_ = false;
  bool broken_ = false;
  bool sawWidth_ = false;
  bool dng_ = false;
  char make_[8] = {};
  uint64_t brokenAt_ = UINT64_MAX;

 private:
  bool ReadIfd(uint32_t ifd, std::vector<uint32_t>& pending) {
    uint16_t count = 0;
    if (!U16(ifd, count)) return Cut(ifd, true);
    if (count == 0 || count > kMaxIfdEntries) return Cut(ifd, false);
    const uint64_t entriesEnd = ifd + 2ull + 12ull * count;
    uint32_t next = 0;
    if (!U32(entriesEnd, next)) return Cut(ifd, true);
    uint16_t previousTag = 0;
    uint64_t stripOffsets[2] = {}, stripCounts[2] = {};  // {type, array at} of the offset and count arrays
    uint32_t stripN[2] = {};
    for (uint16_t e = 0; e < count; ++e) {
      const uint64_t at = ifd + 2ull + 12ull * e;
      uint16_t tag = 0, type = 0;
      uint32_t n = 0, value = 0;
      if (!U16(at, tag) || !U16(at + 2, type) || !U32(at + 4, n) || !U32(at + 8, value)) return Cut(ifd, true);
      const uint32_t unit = TiffTypeBytes(type);
      if (unit == 0 || (e > 0 && tag <= previousTag)) return Cut(ifd, false);
      previousTag = tag;
      const uint64_t bytes = uint64_t(unit) * n;
      const uint64_t dataAt = bytes <= 4 ? at + 8 : value;
      if (bytes > 4) Extend(uint64_t(value) + bytes);
      if (tag == kTagImageWidth) sawWidth_ = true;
      if (tag == kTagDngVersion) dng_ = true;
      if (tag == kTagMake && type == 2) ReadMake(dataAt, n);
      const bool isArray = (type == 3 || type == 4) && n <= kMaxArray;
      if ((tag == kTagStripOffsets || tag == kTagTileOffsets || tag == kTagJpegOffset) && isArray) {
        stripOffsets[0] = type, stripOffsets[1] = dataAt, stripN[0] = n;
      } else if ((tag == kTagStripByteCounts || tag == kTagTileByteCounts || tag == kTagJpegLength) && isArray) {
        stripCounts[0] = type, stripCounts[1] = dataAt, stripN[1] = n;
      }
      // Offset and length tags come in ascending pairs (273/279, 324/325,
      // 513/514): measure the pair once its second half is read.
      if ((tag == kTagStripByteCounts || tag == kTagTileByteCounts || tag == kTagJpegLength) && stripN[0] &&
          stripN[0] == stripN[1] && !ExtendByPieces(stripOffsets, stripCounts, stripN[0]))
        return Cut(ifd, true);
      if ((tag == kTagExifIfd || tag == kTagGpsIfd || tag == kTagInteropIfd) && n == 1) pending.push_back(value);
      if (tag == kTagSubIfds && (type == 4 || type == 13) && n <= kMaxIfds) {
        for (uint32_t i = 0; i < n; ++i) {
          uint32_t sub = 0;
          if (Element(4, dataAt, i, sub)) pending.push_back(sub);
        }
      }
    }
    Extend(entriesEnd + 4);
    if (next) pending.push_back(next);
    return true;
  }

  bool ExtendByPieces(const uint64_t offsets[2], const uint64_t counts[2], uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
      uint32_t off = 0, len = 0;
      if (!Element(uint16_t(offsets[0]), offsets[1], i, off) || !Element(uint16_t(counts[0]), counts[1], i, len))
        return false;
      Extend(uint64_t(off) + len);
    }
    return true;
  }

  void ReadMake(uint64_t at, uint32_t n) {
    const uint8_t* p = r_.At(at, std::min<uint32_t>(n, sizeof make_ - 1));
    if (p) std::memcpy(make_, p, std::min<uint32_t>(n, sizeof make_ - 1));
  }

  bool Cut(uint64_t at, bool ranOut) {
    ranOut_ = ranOut_ || ranOut;
    brokenAt_ = std::min(brokenAt_, at);
    return false;
  }

  BoundedReader& r_;
  bool big_;
};

const char* RawExtension(const TiffWalk& w, BoundedReader& r) {
  const uint8_t* cr = r.At(8, 2);
  if (cr && cr[0] == 'C' && cr[1] == 'R') return "cr2";
  if (w.dng_) return "dng";
  if (std::strncmp(w.make_, "NIKON", 5) == 0) return "nef";
  if (std::strncmp(w.make_, "SONY", 4) == 0) return "arw";
  if (std::strncmp(w.make_, "PENTAX", 6) == 0) return "pef";
  if (std::strncmp(w.make_, "OLYMPUS", 7) == 0) return "orf";
  return nullptr;
}

}  // namespace

Measure MeasureTiff(BoundedReader& r) {
  const uint8_t* h = r.At(0, 8);
  if (!h) return {};
  const bool little = std::memcmp(h, "II*\0", 4) == 0, big = std::memcmp(h, "MM\0*", 4) == 0;
  if (!little && !big) return {};
  TiffWalk walk(r, big);
  uint32_t first = 0;
  if (!walk.U32(4, first) || first < 8) return {};
  if (!walk.Walk(first) || !walk.sawWidth_) return {};
  const char* ext = RawExtension(walk, r);
  if (walk.broken_) return BrokenAt(true, std::min(walk.brokenAt_, walk.end_), walk.ranOut_, ext);
  if (PastLimit(r, 0, walk.end_)) return BrokenAt(true, std::min(walk.firstIfdEnd_, r.Limit()), true, ext);
  return WholeFile(walk.end_, ext);
}

// ---- PSD ------------------------------------------------------------------
// "8BPS", version 1 (PSD) or 2 (PSB, the large document format), six zero
// bytes, channels, height, width, bits per channel and color mode (26
// bytes, big-endian), then sections each led by its length: color mode
// data, image resources ("8BIM" blocks: id, an even-padded Pascal name, a
// length and the data padded to even) and layer and mask information (a
// 64-bit length in PSB). The merged image data ends the file: a
// compression method, then for raw data every channel's rows, for RLE a
// table of each row's byte count (16-bit, 32-bit in PSB) and the rows. The
// zip methods state no length, so such a file's end is not known.
namespace {

constexpr uint32_t kPsdHeaderBytes = 26;
constexpr uint16_t kPsdRaw = 0, kPsdRle = 1;
constexpr uint32_t kPsdMaxSide = 30000, kPsbMaxSide = 300000, kPsdMaxChannels = 56;

bool PsdHeaderValid(const uint8_t* h, bool& large) {
  const uint16_t version = (h[4] << 8) | h[5];
  const uint16_t channels = (h[12] << 8) | h[13], depth = (h[22] << 8) | h[23], mode = (h[24] << 8) | h[25];
  const uint32_t height = (uint32_t(h[14]) << 24) | (h[15] << 16) | (h[16] << 8) | h[17];
  const uint32_t width = (uint32_t(h[18]) << 24) | (h[19] << 16) | (h[20] << 8) | h[21];
  large = version == 2;
  const uint32_t maxSide = large ? kPsbMaxSide : kPsdMaxSide;
  const bool modeValid = mode <= 4 || (mode >= 7 && mode <= 9);
  const bool depthValid = depth == 1 || depth == 8 || depth == 16 || depth == 32;
  return std::memcmp(h, "8BPS", 4) == 0 && (version == 1 || version == 2) &&
         std::all_of(h + 6, h + 12, [](uint8_t b) { return b == 0; }) && channels >= 1 &&
         channels <= kPsdMaxChannels && height >= 1 && height <= maxSide && width >= 1 && width <= maxSide &&
         modeValid && depthValid;
}

// Whether the image resource blocks fill [from, to) exactly.
bool PsdResourcesValid(BoundedReader& r, uint64_t from, uint64_t to) {
  uint64_t pos = from;
  while (pos < to) {
    const uint8_t* b = r.At(pos, 7);
    if (!b || (std::memcmp(b, "8BIM", 4) != 0 && std::memcmp(b, "MeSa", 4) != 0)) return false;
    const uint64_t nameBytes = (1u + b[6] + 1u) & ~1u;
    uint32_t length = 0;
    if (!r.Be32(pos + 6 + nameBytes, length)) return false;
    pos += 6 + nameBytes + 4 + ((uint64_t(length) + 1) & ~1ull);
  }
  return pos == to;
}

// The end of the RLE image data whose row table starts at `table`.
bool PsdRleEnd(BoundedReader& r, uint64_t table, uint64_t rows, bool large, uint64_t& end) {
  const uint32_t entry = large ? 4 : 2;
  uint64_t data = 0;
  for (uint64_t i = 0; i < rows; ++i) {
    uint32_t count = 0;
    uint16_t count16 = 0;
    if (large ? !r.Be32(table + i * entry, count) : !r.Be16(table + i * entry, count16)) return false;
    data += large ? count : count16;
  }
  end = table + rows * entry + data;
  return true;
}

}  // namespace

Measure MeasurePsd(BoundedReader& r) {
  const uint8_t* h = r.At(0, kPsdHeaderBytes);
  bool large = false;
  if (!h || !PsdHeaderValid(h, large)) return {};
  const uint64_t channels = (h[12] << 8) | h[13], depth = (h[22] << 8) | h[23];
  const uint64_t height = (uint32_t(h[14]) << 24) | (h[15] << 16) | (h[16] << 8) | h[17];
  const uint64_t width = (uint32_t(h[18]) << 24) | (h[19] << 16) | (h[20] << 8) | h[21];
  const char* ext = large ? "psb" : nullptr;
  uint32_t colorBytes = 0, resourceBytes = 0;
  uint64_t pos = kPsdHeaderBytes;
  if (!r.Be32(pos, colorBytes)) return BrokenAt(false, pos, true, ext);
  pos += 4ull + colorBytes;
  if (!r.Be32(pos, resourceBytes)) return BrokenAt(false, pos, PastLimit(r, pos, 4), ext);
  const uint64_t resources = pos + 4;
  pos = resources + resourceBytes;
  if (PastLimit(r, 0, pos)) return BrokenAt(false, resources, true, ext);
  if (!PsdResourcesValid(r, resources, pos)) return BrokenAt(false, resources, false, ext);
  // From here the start is certain.
  uint64_t layerBytes = 0;
  uint32_t layerBytes32 = 0;
  if (large ? !r.Be64(pos, layerBytes) : !r.Be32(pos, layerBytes32)) return BrokenAt(true, pos, true, ext);
  if (!large) layerBytes = layerBytes32;
  const uint64_t imageData = pos + (large ? 8 : 4);
  if (layerBytes > r.Limit()) return BrokenAt(true, pos, false, ext);
  pos = imageData + layerBytes;
  uint16_t compression = 0;
  if (!r.Be16(pos, compression)) return BrokenAt(true, imageData, true, ext);
  const uint64_t rows = channels * height;
  uint64_t end = 0;
  if (compression == kPsdRaw) {
    end = pos + 2 + rows * ((width * depth + 7) / 8);
  } else if (compression == kPsdRle) {
    if (PastLimit(r, pos + 2, rows * (large ? 4 : 2)) || !PsdRleEnd(r, pos + 2, rows, large, end))
      return BrokenAt(true, pos, true, ext);
  } else {
    return BrokenAt(true, pos, false, ext);  // zip-compressed: no length to end at
  }
  if (PastLimit(r, 0, end)) return BrokenAt(true, pos, true, ext);
  return WholeFile(end, ext);
}

}  // namespace rv::carve
