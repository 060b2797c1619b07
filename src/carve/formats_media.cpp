// Measure functions of the audio and video containers: RIFF (WAV, AVI,
// WebP), ISO base media (MP4, MOV, M4A, HEIC, 3GP), Ogg and Matroska.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <string_view>
#include <vector>

#include "carve/measure_support.h"

namespace rv::carve {

namespace {
bool IsPrintableTag(const uint8_t* t) {
  for (int i = 0; i < 4; ++i)
    if (t[i] < 0x20 || t[i] > 0x7E) return false;
  return true;
}
}  // namespace

// ---- RIFF -----------------------------------------------------------------
// "RIFF", a little-endian size of what follows it, a form type ("WAVE",
// "AVI ", "WEBP"), then chunks (a four-character id, a size, the data,
// padded to an even length) that fill the size exactly. The file is the
// size plus 8 bytes long.
Measure MeasureRiff(BoundedReader& r) {
  const uint8_t* h = r.At(0, 12);
  if (!h || std::memcmp(h, "RIFF", 4) != 0 || !IsPrintableTag(h + 8)) return {};
  const uint64_t size = h[4] | (h[5] << 8) | (h[6] << 16) | (uint64_t(h[7]) << 24);
  const char* ext = std::memcmp(h + 8, "WAVE", 4) == 0   ? "wav"
                    : std::memcmp(h + 8, "AVI ", 4) == 0 ? "avi"
                    : std::memcmp(h + 8, "WEBP", 4) == 0 ? "webp"
                                                         : nullptr;
  if (size < 4 + 8) return {};
  const uint64_t end = 8 + size;
  uint64_t pos = 12;
  bool certain = false;
  while (pos < end) {
    const uint8_t* c = r.At(pos, 8);
    if (!c) return BrokenAt(certain, pos, true, ext);
    const uint64_t chunk = c[4] | (c[5] << 8) | (c[6] << 16) | (uint64_t(c[7]) << 24);
    // A last chunk of odd size may go without its pad byte.
    const uint64_t next = pos + 8 + chunk + (chunk & 1);
    if (!IsPrintableTag(c) || (next > end && next - 1 != end)) return BrokenAt(certain, pos, false, ext);
    if (PastLimit(r, 0, std::min(next, end))) return BrokenAt(true, pos, true, ext);
    certain = true;
    pos = next;
  }
  return WholeFile(end, ext);
}

// ---- ISO base media -------------------------------------------------------
// A sequence of boxes: a big-endian 32-bit size (1: a 64-bit size follows
// the type; 0: the box runs to the end of the file, which a carver cannot
// know) and a four-character type. "ftyp" comes first and names the brand.
// The file ends before the first thing that is not a top-level box; it is
// whole when it holds its movie ("moov") or, for HEIF images, "meta".
namespace {

constexpr std::string_view kTopLevelBoxes[] = {"ftyp", "moov", "mdat", "free", "skip", "wide", "uuid", "meta",
                                              "moof", "mfra", "pdin", "styp", "sidx", "ssix", "prft", "emsg",
                                              "mfro", "pnot", "junk", "PICT", "jumb", "idat", "iinf"};

bool IsTopLevelBox(const uint8_t* type) {
  const std::string_view t(reinterpret_cast<const char*>(type), 4);
  return std::find(std::begin(kTopLevelBoxes), std::end(kTopLevelBoxes), t) != std::end(kTopLevelBoxes);
}

const char* BrandExtension(const uint8_t* brand) {
  static constexpr std::pair<std::string_view, const char*> kBrands[] = {
      {"qt  ", "mov"}, {"M4A ", "m4a"}, {"M4B ", "m4a"}, {"M4V ", "m4v"}, {"heic", "heic"}, {"heix", "heic"},
      {"mif1", "heic"}, {"msf1", "heic"}, {"avif", "avif"}, {"3gp4", "3gp"}, {"3gp5", "3gp"}, {"3gp6", "3gp"},
      {"3g2a", "3g2"}, {"crx ", "cr3"}};
  const std::string_view b(reinterpret_cast<const char*>(brand), 4);
  for (const auto& [name, ext] : kBrands)
    if (b == name) return ext;
  return nullptr;
}

constexpr uint32_t kMaxFtypBytes = 4096;

}  // namespace

Measure MeasureIsoMedia(BoundedReader& r) {
  const uint8_t* h = r.At(0, 12);
  if (!h || std::memcmp(h + 4, "ftyp", 4) != 0) return {};
  const uint32_t ftypSize = (uint32_t(h[0]) << 24) | (h[1] << 16) | (h[2] << 8) | h[3];
  if (ftypSize < 16 || ftypSize > kMaxFtypBytes || !IsPrintableTag(h + 8)) return {};
  const char* ext = BrandExtension(h + 8);
  bool sawMovie = false;
  uint64_t pos = 0;
  for (;;) {
    const uint8_t* b = r.At(pos, 8);
    if (!b) {
      if (PastLimit(r, pos, 8) && pos < r.Limit()) return BrokenAt(true, pos, true, ext);
      break;  // the bytes end exactly after a box
    }
    if (!IsTopLevelBox(b + 4) || (pos > 0 && std::memcmp(b + 4, "ftyp", 4) == 0)) break;
    uint64_t size = (uint32_t(b[0]) << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
    uint64_t header = 8;
    if (size == 1) {
      if (!r.Be64(pos + 8, size)) return BrokenAt(true, pos, true, ext);
      header = 16;
    }
    if (size == 0) return BrokenAt(true, pos, false, ext);
    if (size < header) break;
    if (PastLimit(r, pos, size)) return BrokenAt(true, pos, true, ext);
    if (std::memcmp(b + 4, "moov", 4) == 0 || std::memcmp(b + 4, "meta", 4) == 0) sawMovie = true;
    pos += size;
  }
  if (!sawMovie) return BrokenAt(pos > 0, pos, false, ext);
  return WholeFile(pos, ext);
}

// ---- Ogg ------------------------------------------------------------------
// Pages: "OggS", version 0, a header type (2: first page of a stream, 4:
// last), granule position, stream serial number, page sequence, a CRC of
// the page (polynomial 0x04C11DB7, not reflected, computed with the CRC
// field zero), the segment count and table. The file ends after the last
// page that checks out; it is whole when every stream begun has ended.
namespace {

constexpr uint8_t kOggFirstPage = 2, kOggLastPage = 4;
constexpr uint32_t kOggHeaderBytes = 27;

constexpr std::array<uint32_t, 256> MakeOggCrcTable() {
  std::array<uint32_t, 256> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i << 24;
    for (int k = 0; k < 8; ++k) c = c & 0x80000000u ? (c << 1) ^ 0x04C11DB7u : c << 1;
    t[i] = c;
  }
  return t;
}
constexpr auto kOggCrcTable = MakeOggCrcTable();

// The page at `pos` checked against its CRC; its length, or 0.
uint64_t OggPageLength(BoundedReader& r, uint64_t pos, bool& ranOut) {
  ranOut = false;
  const uint8_t* h = r.At(pos, kOggHeaderBytes);
  if (!h) {
    ranOut = PastLimit(r, pos, kOggHeaderBytes) && pos < r.Limit();
    return 0;
  }
  if (std::memcmp(h, "OggS", 4) != 0 || h[4] != 0) return 0;
  const uint32_t stored = h[22] | (h[23] << 8) | (h[24] << 16) | (uint32_t(h[25]) << 24);
  const uint8_t segments = h[26];
  const uint8_t* table = r.At(pos + kOggHeaderBytes, segments);
  if (!table) {
    ranOut = true;
    return 0;
  }
  uint64_t length = kOggHeaderBytes + uint64_t(segments);
  for (int i = 0; i < segments; ++i) length += table[i];
  const uint8_t* page = r.At(pos, static_cast<size_t>(length));  // at most 65,307 bytes
  if (!page) {
    ranOut = true;
    return 0;
  }
  uint32_t crc = 0;
  for (uint64_t i = 0; i < length; ++i) {
    const uint8_t byte = i >= 22 && i < 26 ? 0 : page[i];
    crc = (crc << 8) ^ kOggCrcTable[((crc >> 24) ^ byte) & 0xFF];
  }
  return crc == stored ? length : 0;
}

}  // namespace

Measure MeasureOgg(BoundedReader& r) {
  std::vector<uint32_t> open;
  uint64_t pos = 0;
  bool ranOut = false;
  for (;;) {
    const uint64_t length = OggPageLength(r, pos, ranOut);
    if (!length) break;
    const uint8_t* h = r.At(pos, kOggHeaderBytes);
    const uint32_t serial = h[14] | (h[15] << 8) | (h[16] << 16) | (uint32_t(h[17]) << 24);
    const bool isOpen = std::find(open.begin(), open.end(), serial) != open.end();
    if (h[5] & kOggFirstPage) {
      if (isOpen) break;  // a stream begun again: another file
      open.push_back(serial);
    } else if (!isOpen) {
      break;
    }
    if (h[5] & kOggLastPage) open.erase(std::find(open.begin(), open.end(), serial));
    pos += length;
    if (open.empty()) return WholeFile(pos);
  }
  return BrokenAt(pos > 0, pos, ranOut);
}

}  // namespace rv::carve

// ---- Matroska / WebM ------------------------------------------------------
// EBML elements: an ID (1-4 bytes, its length in the leading zero bits of
// the first byte, the marker bit kept) and a size (1-8 bytes, the marker
// bit dropped; all ones: unknown, the element runs to where its parent's
// next child starts). The file is the EBML header (its DocType "matroska"
// or "webm") and a Segment. A segment of known size ends the file; one of
// unknown size (a live recording) is walked through its top-level
// elements (SeekHead, Info, Tracks, Clusters, Cues, ...), entering a
// cluster of unknown size through its blocks, and ends before the first
// element that is none of them.
namespace rv::carve {
namespace {

constexpr uint32_t kEbmlHeaderId = 0x1A45DFA3, kDocTypeId = 0x4282, kSegmentId = 0x18538067;
constexpr uint32_t kClusterId = 0x1F43B675, kVoidId = 0xEC, kCrc32Id = 0xBF;
constexpr uint64_t kMaxEbmlHeaderBytes = 4096;

struct EbmlElement {
  uint32_t id = 0;
  uint64_t size = 0;
  uint32_t headerBytes = 0;  // 0: no element here
  bool unknownSize = false;
};

EbmlElement ReadEbmlElement(BoundedReader& r, uint64_t pos, bool& ranOut) {
  EbmlElement e;
  const size_t available = static_cast<size_t>(std::min<uint64_t>(12, r.Limit() - std::min(pos, r.Limit())));
  ranOut = false;
  const uint8_t* p = available ? r.At(pos, available) : nullptr;
  if (!p) return e;
  const int idBytes = std::countl_zero(p[0]) + 1;
  if (idBytes > 4 || size_t(idBytes) >= available) {
    ranOut = idBytes <= 4;
    return e;
  }
  for (int i = 0; i < idBytes; ++i) e.id = (e.id << 8) | p[i];
  const int sizeBytes = std::countl_zero(p[idBytes]) + 1;
  if (sizeBytes > 8) return e;
  if (size_t(idBytes + sizeBytes) > available) {
    ranOut = true;
    return e;
  }
  uint64_t size = p[idBytes] & (0xFF >> sizeBytes);
  bool allOnes = size == (0xFFu >> sizeBytes);
  for (int i = 1; i < sizeBytes; ++i) {
    size = (size << 8) | p[idBytes + i];
    allOnes = allOnes && p[idBytes + i] == 0xFF;
  }
  e.size = size;
  e.unknownSize = allOnes;
  e.headerBytes = static_cast<uint32_t>(idBytes + sizeBytes);
  return e;
}

bool IsSegmentChild(uint32_t id) {
  switch (id) {
    case 0x114D9B74:  // SeekHead
    case 0x1549A966:  // Info
    case 0x1654AE6B:  // Tracks
    case kClusterId:
    case 0x1C53BB6B:  // Cues
    case 0x1941A469:  // Attachments
    case 0x1043A770:  // Chapters
    case 0x1254C367:  // Tags
    case kVoidId:
    case kCrc32Id:
      return true;
    default:
      return false;
  }
}

bool IsClusterChild(uint32_t id) {
  switch (id) {
    case 0xE7:    // Timestamp
    case 0x5854:  // SilentTracks
    case 0xA7:    // Position
    case 0xAB:    // PrevSize
    case 0xA3:    // SimpleBlock
    case 0xA0:    // BlockGroup
    case 0xAF:    // EncryptedBlock
    case kVoidId:
    case kCrc32Id:
      return true;
    default:
      return false;
  }
}

// The DocType inside the EBML header [from, to): "webm" names a WebM file.
bool DocTypeIsMatroska(BoundedReader& r, uint64_t from, uint64_t to, bool& webm) {
  bool ranOut = false;
  for (uint64_t pos = from; pos < to;) {
    const EbmlElement e = ReadEbmlElement(r, pos, ranOut);
    if (!e.headerBytes || e.unknownSize || e.size > to - pos - e.headerBytes) return false;
    if (e.id == kDocTypeId && e.size <= 16) {
      const uint8_t* t = r.At(pos + e.headerBytes, static_cast<size_t>(e.size));
      if (!t) return false;
      std::string_view type(reinterpret_cast<const char*>(t), static_cast<size_t>(e.size));
      type = type.substr(0, type.find('\0'));
      webm = type == "webm";
      return webm || type == "matroska";
    }
    pos += e.headerBytes + e.size;
  }
  return false;
}

struct EbmlWalk {
  uint64_t end = 0;  // where the walk stopped
  bool ranOut = false;
  bool broken = false;  // an element that cannot be (unknown size where none may be, past its parent)
};

// Children of a cluster of unknown size from `pos`: it ends before the
// first element that cannot stand in a cluster.
EbmlWalk WalkOpenCluster(BoundedReader& r, uint64_t pos) {
  EbmlWalk w;
  for (;;) {
    const EbmlElement e = ReadEbmlElement(r, pos, w.ranOut);
    if (!e.headerBytes || !IsClusterChild(e.id)) break;
    if (e.unknownSize) {
      w.broken = true;
      break;
    }
    if (PastLimit(r, pos, e.headerBytes + e.size)) {
      w.ranOut = true;
      break;
    }
    pos += e.headerBytes + e.size;
  }
  w.end = pos;
  return w;
}

// The segment's top-level elements from `pos` to `end` (UINT64_MAX: a
// segment of unknown size).
EbmlWalk WalkSegment(BoundedReader& r, uint64_t pos, uint64_t end) {
  EbmlWalk w;
  bool sawCluster = false;
  while (pos < end) {
    const EbmlElement e = ReadEbmlElement(r, pos, w.ranOut);
    // Past the clusters of a segment of unknown size, a one-byte id (Void,
    // CRC-32) is more likely the next file's first byte than an element.
    const bool shortIdAfterClusters = end == UINT64_MAX && sawCluster && e.id <= 0xFF;
    if (!e.headerBytes || !IsSegmentChild(e.id) || shortIdAfterClusters) {
      w.broken = end != UINT64_MAX || w.ranOut;
      break;
    }
    sawCluster = sawCluster || e.id == kClusterId;
    if (e.unknownSize) {
      if (e.id != kClusterId) {
        w.broken = true;
        break;
      }
      const EbmlWalk cluster = WalkOpenCluster(r, pos + e.headerBytes);
      if (cluster.broken || cluster.ranOut || cluster.end > end) {
        w = cluster;
        w.broken = true;
        return w;
      }
      pos = cluster.end;
      continue;
    }
    if (e.size > end - pos - e.headerBytes) {
      w.broken = true;
      break;
    }
    if (PastLimit(r, pos, e.headerBytes + e.size)) {
      w.ranOut = w.broken = true;
      break;
    }
    pos += e.headerBytes + e.size;
  }
  w.end = pos;
  return w;
}

}  // namespace

Measure MeasureMatroska(BoundedReader& r) {
  bool ranOut = false, webm = false;
  const EbmlElement header = ReadEbmlElement(r, 0, ranOut);
  if (header.id != kEbmlHeaderId || header.unknownSize || header.size > kMaxEbmlHeaderBytes) return {};
  const uint64_t segmentAt = header.headerBytes + header.size;
  if (!DocTypeIsMatroska(r, header.headerBytes, segmentAt, webm)) return {};
  const char* ext = webm ? "webm" : nullptr;
  const EbmlElement segment = ReadEbmlElement(r, segmentAt, ranOut);
  if (!segment.headerBytes || segment.id != kSegmentId) return BrokenAt(true, segmentAt, ranOut, ext);
  const uint64_t dataAt = segmentAt + segment.headerBytes;
  if (!segment.unknownSize && segment.size >= UINT64_MAX - dataAt) return BrokenAt(true, segmentAt, false, ext);
  const uint64_t end = segment.unknownSize ? UINT64_MAX : dataAt + segment.size;
  const EbmlWalk w = WalkSegment(r, dataAt, end);
  if (w.broken || w.ranOut || w.end == dataAt) return BrokenAt(true, w.end, w.ranOut, ext);
  return WholeFile(w.end, ext);
}

}  // namespace rv::carve
