// Measure functions of the compressed streams and archives beside ZIP and
// 7z: gzip and RAR (versions 4 and 5).
#include <algorithm>
#include <cstring>
#include <string_view>

#include "carve/inflate_walk.h"
#include "carve/measure_support.h"

namespace rv::carve {

// ---- GZIP -----------------------------------------------------------------
// A member is a 10-byte header (1F 8B, method 8 = deflate, flags, time,
// extra flags, operating system), the optional parts its flags announce
// (an extra field with its 16-bit length, a NUL-terminated name and
// comment, a header CRC-16), a deflate stream and an 8-byte trailer: the
// CRC-32 and the length (mod 2^32) of the uncompressed data. Deflate has
// no length field, so the stream is decoded to find its end; the trailer
// then confirms it. Members may follow one another (`gzip -c a b`): the
// file ends after the last one.
namespace {

constexpr uint32_t kGzipHeaderBytes = 10, kGzipTrailerBytes = 8;
constexpr uint8_t kGzipHeaderCrc = 2, kGzipExtra = 4, kGzipName = 8, kGzipComment = 16;
constexpr uint8_t kGzipReservedFlags = 0xE0;
// A name or comment longer than this is taken for something else.
constexpr uint64_t kMaxGzipText = 64 * 1024;
// A stream that decodes this far without a fault is gzip's, however it ends.
constexpr uint64_t kGzipCertainBytes = 1024;

bool IsGzipStart(const uint8_t* h) { return h[0] == 0x1F && h[1] == 0x8B && h[2] == 8; }

// The offset of the deflate stream after the member header at `pos`; 0
// when the header is not gzip's.
uint64_t GzipStreamStart(BoundedReader& r, uint64_t pos, bool& ranOut) {
  ranOut = false;
  const uint8_t* h = r.At(pos, kGzipHeaderBytes);
  if (!h) {
    ranOut = PastLimit(r, pos, kGzipHeaderBytes);
    return 0;
  }
  const uint8_t flags = h[3], extraFlags = h[8], os = h[9];
  if (!IsGzipStart(h) || (flags & kGzipReservedFlags) || (extraFlags != 0 && extraFlags != 2 && extraFlags != 4) ||
      (os > 13 && os != 255))
    return 0;
  uint64_t at = pos + kGzipHeaderBytes;
  if (flags & kGzipExtra) {
    uint16_t length = 0;
    if (!r.Le16(at, length)) return 0;
    at += 2u + length;
  }
  for (const uint8_t textFlag : {kGzipName, kGzipComment}) {
    if (!(flags & textFlag)) continue;
    const uint64_t nul = r.Find(at, at + kMaxGzipText, std::string_view("\0", 1));
    if (nul == BoundedReader::kNotFound) return 0;
    at = nul + 1;
  }
  if (flags & kGzipHeaderCrc) {
    uint32_t crc = 0;
    uint16_t stored = 0;
    if (!r.Crc32(pos, at - pos, crc) || !r.Le16(at, stored) || stored != (crc & 0xFFFF)) return 0;
    at += 2;
  }
  return PastLimit(r, 0, at) ? 0 : at;
}

struct GzipMember {
  uint64_t end = 0;  // 0: not a whole member
  uint64_t validUpTo = 0;
  bool certain = false;
  bool ranOut = false;
};

GzipMember MeasureGzipMember(BoundedReader& r, uint64_t pos) {
  GzipMember m;
  const uint64_t stream = GzipStreamStart(r, pos, m.ranOut);
  if (!stream) return m;
  const InflateResult inflated = InflateWalk(r, stream);
  m.validUpTo = inflated.validUpTo;
  m.certain = inflated.blocks > 0 || inflated.validUpTo - stream >= kGzipCertainBytes ||
              (inflated.status == InflateResult::Status::RanOut && r.Limit() - stream >= kGzipCertainBytes);
  if (inflated.status != InflateResult::Status::Ended) {
    m.ranOut = inflated.status == InflateResult::Status::RanOut;
    return m;
  }
  uint32_t crc = 0, size = 0;
  if (!r.Le32(inflated.end, crc) || !r.Le32(inflated.end + 4, size)) {
    m.ranOut = PastLimit(r, inflated.end, kGzipTrailerBytes);
    return m;
  }
  if (crc != inflated.crc || size != static_cast<uint32_t>(inflated.outputBytes)) return m;
  m.end = inflated.end + kGzipTrailerBytes;
  m.validUpTo = m.end;
  return m;
}

}  // namespace

Measure MeasureGzip(BoundedReader& r) {
  GzipMember first = MeasureGzipMember(r, 0);
  if (!first.end) return BrokenAt(first.certain, first.validUpTo, first.ranOut);
  uint64_t end = first.end;
  // Each further member is at least a header and a trailer long, so the
  // walk ends within the reader's limit.
  for (;;) {
    const uint8_t* h = r.At(end, 3);
    if (!h || !IsGzipStart(h)) break;
    const GzipMember next = MeasureGzipMember(r, end);
    if (!next.end) break;
    end = next.end;
  }
  return CheckedWholeFile(end);
}

// ---- RAR ------------------------------------------------------------------
// RAR 4: the marker block "Rar!\x1A\x07\x00", then blocks of a 7-byte
// header (CRC-16: the low half of the CRC-32 of the header from its type
// on, type, flags, header size), 4 more bytes of data size when flag
// 0x8000 is set (file and service blocks always: their packed size, with
// a high half at byte 32 when flag 0x100 is set), then the data. The
// end-of-archive block (0x7B) ends the file.
// RAR 5: "Rar!\x1A\x07\x01\x00", then blocks of a CRC-32 of the header, the
// header's size, type, flags, extra area size and data size (variable-
// length integers, 7 bits a byte), then the data; the end-of-archive
// header (type 5) ends the file. Archives whose headers are encrypted
// cannot be walked past the encryption header.
namespace {

constexpr uint32_t kRar4MarkerBytes = 7, kRar4HeaderBytes = 7, kRar4FileHeaderBytes = 32;
constexpr uint8_t kRar4FirstType = 0x72, kRar4Archive = 0x73, kRar4File = 0x74, kRar4NewSub = 0x7A, kRar4End = 0x7B;
constexpr uint16_t kRar4HasDataSize = 0x8000, kRar4LargeFile = 0x100;
constexpr uint32_t kRar5SignatureBytes = 8;
constexpr uint64_t kRar5MainHeader = 1, kRar5Encryption = 4, kRar5End = 5, kRar5MaxType = 5;
constexpr uint64_t kRar5HasExtra = 1, kRar5HasData = 2;
// RAR limits a header to 2 MiB.
constexpr uint64_t kRar5MaxHeaderBytes = 2 * 1024 * 1024;

Measure MeasureRar4(BoundedReader& r) {
  uint64_t pos = kRar4MarkerBytes;
  bool certain = false;
  for (;;) {
    const uint8_t* h = r.At(pos, kRar4HeaderBytes);
    if (!h) return BrokenAt(certain, pos, true);
    const uint16_t stored = h[0] | (h[1] << 8), flags = h[3] | (h[4] << 8), headerSize = h[5] | (h[6] << 8);
    const uint8_t type = h[2];
    if (type < kRar4FirstType || type > kRar4End || headerSize < kRar4HeaderBytes || (!certain && type != kRar4Archive))
      return BrokenAt(certain, pos, false);
    uint32_t crc = 0;
    if (!r.Crc32(pos + 2, headerSize - 2u, crc)) return BrokenAt(certain, pos, true);
    if ((crc & 0xFFFF) != stored) return BrokenAt(certain, pos, false);
    certain = true;
    uint64_t dataSize = 0;
    if (flags & kRar4HasDataSize || type == kRar4File || type == kRar4NewSub) {
      uint32_t low = 0, high = 0;
      if (headerSize < kRar4HeaderBytes + 4 || !r.Le32(pos + 7, low)) return BrokenAt(true, pos, false);
      if ((type == kRar4File || type == kRar4NewSub) && (flags & kRar4LargeFile) &&
          (headerSize < kRar4FileHeaderBytes + 4 || !r.Le32(pos + kRar4FileHeaderBytes, high)))
        return BrokenAt(true, pos, false);
      dataSize = (uint64_t(high) << 32) | low;
    }
    const uint64_t next = pos + headerSize + dataSize;
    if (PastLimit(r, 0, next)) return BrokenAt(true, pos, true);
    if (type == kRar4End) return WholeFile(next);
    pos = next;
  }
}

// A RAR 5 variable-length integer at `pos`; its byte count, 0 when it is
// longer than 64 bits allow or runs past the limit.
uint32_t ReadVint(BoundedReader& r, uint64_t pos, uint64_t& value) {
  value = 0;
  for (uint32_t i = 0; i < 10; ++i) {
    uint8_t b = 0;
    if (!r.U8(pos + i, b)) return 0;
    if (i == 9 && b > 1) return 0;
    value |= uint64_t(b & 0x7F) << (7 * i);
    if (!(b & 0x80)) return i + 1;
  }
  return 0;
}

Measure MeasureRar5(BoundedReader& r) {
  uint64_t pos = kRar5SignatureBytes;
  bool certain = false;
  for (;;) {
    uint64_t headerSize = 0, type = 0, flags = 0, extraSize = 0, dataSize = 0;
    uint32_t stored = 0;
    const uint32_t sizeBytes = r.Le32(pos, stored) ? ReadVint(r, pos + 4, headerSize) : 0;
    if (!sizeBytes) return BrokenAt(certain, pos, PastLimit(r, pos, 5));
    if (headerSize == 0 || headerSize > kRar5MaxHeaderBytes) return BrokenAt(certain, pos, false);
    const uint64_t header = pos + 4 + sizeBytes, headerEnd = header + headerSize;
    uint32_t crc = 0;
    if (!r.Crc32(pos + 4, sizeBytes + headerSize, crc)) return BrokenAt(certain, pos, true);
    if (crc != stored) return BrokenAt(certain, pos, false);
    uint64_t at = header;
    const auto field = [&](uint64_t& v) {
      const uint32_t n = ReadVint(r, at, v);
      at += n;
      return n != 0;
    };
    const bool fieldsValid = field(type) && field(flags) && (!(flags & kRar5HasExtra) || field(extraSize)) &&
                             (!(flags & kRar5HasData) || field(dataSize));
    if (!fieldsValid || at > headerEnd || extraSize > headerEnd - at || type == 0 || type > kRar5MaxType ||
        (!certain && type != kRar5MainHeader && type != kRar5Encryption))
      return BrokenAt(certain, pos, false);
    certain = true;
    if (type == kRar5Encryption) return BrokenAt(true, headerEnd, false);  // the headers after it are encrypted
    if (dataSize > UINT64_MAX - headerEnd) return BrokenAt(true, pos, false);
    const uint64_t next = headerEnd + dataSize;
    if (PastLimit(r, 0, next)) return BrokenAt(true, pos, true);
    if (type == kRar5End) return WholeFile(next);
    pos = next;
  }
}

}  // namespace

Measure MeasureRar(BoundedReader& r) {
  const uint8_t* h = r.At(0, kRar5SignatureBytes);
  if (!h || std::memcmp(h, "Rar!\x1A\x07", 6) != 0) return {};
  if (h[6] == 0) return MeasureRar4(r);
  if (h[6] == 1 && h[7] == 0) return MeasureRar5(r);
  return {};
}

}  // namespace rv::carve
