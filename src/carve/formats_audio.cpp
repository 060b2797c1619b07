// Measure functions of the audio streams that have no container length:
// MP3 (MPEG audio frames, with their ID3 and APE tags) and FLAC.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "carve/measure_support.h"

namespace rv::carve {

// ---- MP3 ------------------------------------------------------------------
// An optional ID3v2 tag ("ID3", major version 2-4, revision, flags, a
// syncsafe size of what follows the 10-byte header, 10 more for a v2.4
// footer), then MPEG audio frames back to back. A frame's 4-byte header
// (11 sync bits, version, layer, bitrate, sample rate, padding) gives its
// length; a stream keeps one version, layer and sample rate throughout.
// After the last frame may stand an APEv2 tag and an ID3v1 tag ("TAG",
// 128 bytes). Nothing states the stream's length: it ends at the first
// bytes that are not a frame or a tag, and is taken only with several
// frames in a row (many more where no ID3 tag announced it), which random
// data does not hold.
namespace {

constexpr uint32_t kId3HeaderBytes = 10, kId3v1Bytes = 128, kApeTagBytes = 32;
constexpr uint8_t kId3FooterFlag = 0x10;
constexpr uint32_t kApeHasHeader = 1u << 31, kApeIsHeader = 1u << 29;
// Some writers leave zero bytes between the tag and the first frame.
constexpr uint64_t kMaxPaddingAfterTag = 4096;
// Bounds of an APEv2 tag without a header, whose items are walked.
constexpr uint64_t kMaxApeTagBytes = 1 << 20, kMaxApeKeyBytes = 256;
constexpr uint32_t kMaxApeItems = 1024;
constexpr uint64_t kMinFramesAfterTag = 4, kMinFramesUntagged = 16;

enum MpegVersion { kMpeg25 = 0, kMpegReserved = 1, kMpeg2 = 2, kMpeg1 = 3 };
enum MpegLayer { kLayerReserved = 0, kLayer3 = 1, kLayer2 = 2, kLayer1 = 3 };

// Kilobits per second by [table][bitrate index]; index 0 is the free
// format (no length in the header) and 15 is invalid.
constexpr uint16_t kBitrates[5][16] = {
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},  // MPEG-1 layer I
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},     // MPEG-1 layer II
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},      // MPEG-1 layer III
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},     // MPEG-2/2.5 layer I
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},          // MPEG-2/2.5 layers II, III
};
constexpr uint32_t kSampleRates[4][3] = {{11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};

struct MpegFrame {
  uint32_t length = 0;  // 0: not a frame header
  uint32_t stream = 0;  // version, layer and sample rate bits, the same in every frame of a stream
  int layer = kLayerReserved;
};

MpegFrame ReadMpegFrameHeader(const uint8_t* h) {
  MpegFrame f;
  if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return f;
  const int version = (h[1] >> 3) & 3, layer = (h[1] >> 1) & 3;
  const int bitrateIndex = h[2] >> 4, rateIndex = (h[2] >> 2) & 3, padding = (h[2] >> 1) & 1;
  const int emphasis = h[3] & 3;
  if (version == kMpegReserved || layer == kLayerReserved || rateIndex == 3 || emphasis == 2) return f;
  const int table = version == kMpeg1 ? 3 - layer : (layer == kLayer1 ? 3 : 4);
  const uint32_t bitrate = kBitrates[table][bitrateIndex] * 1000u;
  if (bitrate == 0) return f;
  const uint32_t rate = kSampleRates[version][rateIndex];
  if (layer == kLayer1) {
    f.length = (12 * bitrate / rate + padding) * 4;
  } else {
    const uint32_t perSlot = layer == kLayer3 && version != kMpeg1 ? 72 : 144;
    f.length = perSlot * bitrate / rate + padding;
  }
  f.stream = (uint32_t(h[1] & 0xFE) << 8) | (h[2] & 0x0C);
  f.layer = layer;
  return f;
}

bool IsSyncsafe(const uint8_t* p) { return ((p[0] | p[1] | p[2] | p[3]) & 0x80) == 0; }
uint32_t Syncsafe(const uint8_t* p) { return (uint32_t(p[0]) << 21) | (p[1] << 14) | (p[2] << 7) | p[3]; }

// The first frame of an ID3v2 tag: a frame id of capitals and digits (3
// characters in v2.2, 4 later) or the padding's zero bytes.
bool Id3FramesPlausible(const uint8_t* frame, int major) {
  if (frame[0] == 0) return true;
  for (int i = 0; i < (major == 2 ? 3 : 4); ++i)
    if (!((frame[i] >= 'A' && frame[i] <= 'Z') || (frame[i] >= '0' && frame[i] <= '9'))) return false;
  return true;
}

// The end of the ID3v2 tag at the start; 0 when there is none.
uint64_t Id3v2TagEnd(BoundedReader& r) {
  const uint8_t* h = r.At(0, kId3HeaderBytes + 4);
  if (!h || std::memcmp(h, "ID3", 3) != 0) return 0;
  const int major = h[3];
  if (major < 2 || major > 4 || h[4] == 0xFF || !IsSyncsafe(h + 6) || !Id3FramesPlausible(h + 10, major)) return 0;
  return kId3HeaderBytes + Syncsafe(h + 6) + (major == 4 && (h[5] & kId3FooterFlag) ? kId3HeaderBytes : 0);
}

uint64_t SkipZeros(BoundedReader& r, uint64_t pos, uint64_t most) {
  uint8_t b = 0;
  for (uint64_t n = 0; n < most && r.U8(pos, b) && b == 0; ++n) ++pos;
  return pos;
}

struct TagEnd {
  uint64_t end = 0;
  bool ranOut = false;
};

// The end of an APEv2 tag starting at `pos`: its header there, or its
// items (a value size, flags, a key of printable ASCII ended by NUL, the
// value) walked to the footer after them; `end` 0 when there is none.
TagEnd ApeTagEnd(BoundedReader& r, uint64_t pos) {
  TagEnd t;
  uint32_t size = 0, flags = 0;
  const uint8_t* h = r.At(pos, kApeTagBytes);
  if (h && std::memcmp(h, "APETAGEX", 8) == 0) {
    if (!r.Le32(pos + 12, size) || !r.Le32(pos + 20, flags) || !(flags & kApeIsHeader) || size < kApeTagBytes)
      return t;
    t.ranOut = PastLimit(r, pos, kApeTagBytes + uint64_t(size));
    if (!t.ranOut) t.end = pos + kApeTagBytes + size;
    return t;
  }
  uint64_t at = pos;
  for (uint32_t item = 0; item <= kMaxApeItems && at - pos <= kMaxApeTagBytes; ++item) {
    const uint8_t* footer = r.At(at, kApeTagBytes);
    if (footer && std::memcmp(footer, "APETAGEX", 8) == 0) {
      if (!r.Le32(at + 12, size) || !r.Le32(at + 20, flags) || (flags & (kApeIsHeader | kApeHasHeader)) ||
          at + kApeTagBytes - pos != size)
        return t;
      t.end = at + kApeTagBytes;
      return t;
    }
    uint32_t valueBytes = 0;
    if (!r.Le32(at, valueBytes) || valueBytes > kMaxApeTagBytes) return t;
    uint64_t key = at + 8;
    for (uint8_t c = 1; c != 0; ++key) {
      if (key - (at + 8) > kMaxApeKeyBytes || !r.U8(key, c) || (c != 0 && (c < 0x20 || c > 0x7E))) return t;
    }
    if (key - (at + 8) < 3) return t;  // a key of at least two characters, and its NUL
    at = key + valueBytes;
  }
  return t;
}

}  // namespace

Measure MeasureMp3(BoundedReader& r) {
  const uint64_t tagEnd = Id3v2TagEnd(r);
  const bool tagged = tagEnd > 0;
  if (tagged && PastLimit(r, 0, tagEnd)) return BrokenAt(true, kId3HeaderBytes, true);
  uint64_t pos = tagged ? SkipZeros(r, tagEnd, kMaxPaddingAfterTag) : 0;
  if (const uint8_t* flac = tagged ? r.At(pos, 4) : nullptr; flac && std::memcmp(flac, "fLaC", 4) == 0)
    return {};  // a FLAC stream behind the tag: the FLAC row's
  uint32_t stream = 0;
  int layer = kLayerReserved;
  uint64_t frames = 0;
  bool ranOut = false;
  for (;;) {
    const uint8_t* h = r.At(pos, 4);
    if (!h) {
      ranOut = pos < r.Limit();
      break;
    }
    const MpegFrame f = ReadMpegFrameHeader(h);
    if (!f.length || (frames && f.stream != stream)) break;
    if (PastLimit(r, pos, f.length)) {
      ranOut = true;
      break;
    }
    stream = f.stream;
    layer = f.layer;
    pos += f.length;
    ++frames;
  }
  const char* ext = layer == kLayer3 || layer == kLayerReserved ? nullptr : "mp2";
  if (frames < (tagged ? kMinFramesAfterTag : kMinFramesUntagged))
    return BrokenAt(tagged, tagged ? tagEnd : pos, ranOut, ext);
  if (ranOut) return BrokenAt(true, pos, true, ext);
  // The APEv2 tag stands before the ID3v1 tag (as mp3gain writes it) or
  // after it (as mutagen appends it).
  bool sawApe = false, sawId3v1 = false;
  while (!sawApe || !sawId3v1) {
    if (!sawApe) {
      const TagEnd ape = ApeTagEnd(r, pos);
      if (ape.ranOut) return BrokenAt(true, pos, true, ext);
      if (ape.end) {
        pos = ape.end;
        sawApe = true;
        continue;
      }
    }
    const uint8_t* t = sawId3v1 ? nullptr : r.At(pos, 3);
    if (!t || std::memcmp(t, "TAG", 3) != 0) break;
    if (PastLimit(r, pos, kId3v1Bytes)) return BrokenAt(true, pos, true, ext);
    pos += kId3v1Bytes;
    sawId3v1 = true;
  }
  return WholeFile(pos, ext);
}

// ---- FLAC -----------------------------------------------------------------
// "fLaC", metadata blocks (a byte holding the last-block flag and the type,
// a 24-bit big-endian length; STREAMINFO, 34 bytes, first), then frames.
// The stream states no length, but STREAMINFO gives its total samples, and
// each frame is walked to its end: the header (sync 0xFFF8/0xFFF9, block
// size, sample rate, channels, sample size, the frame or sample number,
// CRC-8), one subframe per channel (constant, verbatim, fixed or LPC
// prediction with Rice-coded residuals), padding to a byte and a CRC-16
// over the whole frame. The file ends after the frame that completes the
// total; where STREAMINFO leaves it unknown (0), after the last frame.
// An ID3v2 tag, which some taggers put before "fLaC", belongs to the file.
namespace {

constexpr uint32_t kFlacStreamInfoBytes = 34;
constexpr uint8_t kFlacLastBlock = 0x80, kFlacStreamInfo = 0, kFlacMaxBlockType = 6;

struct StreamInfo {
  uint32_t channels = 0;
  uint32_t bitsPerSample = 0;
  uint64_t totalSamples = 0;  // 0: not known
};

constexpr std::array<uint8_t, 256> MakeCrc8Table() {
  std::array<uint8_t, 256> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = c & 0x80 ? (c << 1) ^ 0x07 : c << 1;
    t[i] = static_cast<uint8_t>(c);
  }
  return t;
}
constexpr std::array<uint16_t, 256> MakeCrc16Table() {
  std::array<uint16_t, 256> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i << 8;
    for (int k = 0; k < 8; ++k) c = c & 0x8000 ? (c << 1) ^ 0x8005 : c << 1;
    t[i] = static_cast<uint16_t>(c);
  }
  return t;
}
constexpr auto kCrc8Table = MakeCrc8Table();
constexpr auto kCrc16Table = MakeCrc16Table();

// Big-endian bits from the reader, as FLAC packs them, no further than
// `endBit` (a frame's largest possible size, so that a run of zeros read
// as a unary code cannot walk the rest of the volume).
class MsbBits {
 public:
  MsbBits(BoundedReader& r, uint64_t byte, uint64_t endBit) : r_(r), next_(byte), bit_(byte * 8), end_(endBit) {}
  bool failed() const { return failed_; }
  bool ranOut() const { return ranOut_; }
  uint64_t BitPosition() const { return bit_; }
  void Fail() { failed_ = true; }

  uint32_t Read(int n) {  // n <= 32
    if (n == 0) return 0;
    if (!Have(n)) return 0;
    const uint32_t v = static_cast<uint32_t>(cache_ >> (64 - n));
    Drop(n);
    return v;
  }
  void Skip(uint64_t n) {
    if (n <= uint64_t(cached_)) {
      Drop(static_cast<int>(n));
      return;
    }
    n -= cached_;
    bit_ += cached_;
    cache_ = 0;
    cached_ = 0;
    if (n > end_ - std::min(end_, bit_)) {
      failed_ = true;
      return;
    }
    next_ += n / 8;
    bit_ += n / 8 * 8;
    Read(static_cast<int>(n % 8));
  }
  // The number of zero bits before the next one bit, which it consumes.
  uint64_t Unary() {
    uint64_t zeros = 0;
    for (;;) {
      if (!Have(1)) return 0;
      if (cache_ != 0) {
        const int z = std::countl_zero(cache_);
        if (z < cached_) {
          Drop(z + 1);
          return zeros + z;
        }
      }
      zeros += cached_;
      Drop(cached_);
    }
  }
  void AlignToByte() { Skip((8 - bit_ % 8) % 8); }

 private:
  bool Have(int n) {
    while (cached_ < n) {
      if (failed_) return false;
      if (bit_ + cached_ >= end_) {
        failed_ = true;
        return false;
      }
      size_t available = 0;
      const uint8_t* p = r_.Run(next_, available);
      if (!p) {
        failed_ = true;
        ranOut_ = !r_.ReadFailed();
        return false;
      }
      // Whole bytes while they fit, no further than the frame's bound.
      for (size_t i = 0; i < available && cached_ <= 56 && bit_ + cached_ < end_; ++i) {
        cache_ |= uint64_t(p[i]) << (56 - cached_);
        cached_ += 8;
        ++next_;
      }
    }
    return true;
  }
  void Drop(int n) {
    cache_ = n == 64 ? 0 : cache_ << n;
    cached_ -= n;
    bit_ += n;
  }

  BoundedReader& r_;
  uint64_t next_;  // the next byte to load into the cache
  uint64_t bit_;   // the bit position of the cache's first bit
  uint64_t end_;
  uint64_t cache_ = 0;  // left-aligned
  int cached_ = 0;
  bool failed_ = false, ranOut_ = false;
};

struct FlacFrameHeader {
  uint32_t length = 0;  // header bytes, CRC-8 included; 0: not a frame header
  bool variableBlocking = false;
  uint64_t number = 0;  // frame number (fixed blocking) or first sample number
  uint32_t blockSize = 0;
  uint32_t channels = 0;
  uint32_t channelAssignment = 0;
  uint32_t bitsPerSample = 0;
};

constexpr uint32_t kFlacIndependentChannels = 8, kFlacLeftSide = 8, kFlacRightSide = 9, kFlacMidSide = 10;
constexpr uint32_t kFlacSampleSizes[8] = {0, 8, 12, 0, 16, 20, 24, 32};

// The UTF-8-like coded number at p (1 to 7 bytes); its byte count, or 0.
uint32_t FlacCodedNumber(const uint8_t* p, size_t available, uint64_t& value) {
  const int ones = std::countl_one(p[0]);
  if (ones == 1 || ones > 7) return 0;
  const uint32_t bytes = ones == 0 ? 1 : ones;
  if (bytes > available) return 0;
  value = ones == 0 ? p[0] : p[0] & (0x7F >> ones);
  for (uint32_t i = 1; i < bytes; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    value = (value << 6) | (p[i] & 0x3F);
  }
  return bytes;
}

FlacFrameHeader ReadFlacFrameHeader(BoundedReader& r, uint64_t pos, const StreamInfo& info, bool& ranOut) {
  FlacFrameHeader f;
  constexpr size_t kMaxHeaderBytes = 16;
  const size_t available = static_cast<size_t>(std::min<uint64_t>(kMaxHeaderBytes, r.Limit() - std::min(pos, r.Limit())));
  const uint8_t* h = available >= 6 ? r.At(pos, available) : nullptr;
  ranOut = !h && available < 6 && pos < r.Limit();
  if (!h || h[0] != 0xFF || (h[1] & 0xFE) != 0xF8) return f;
  const uint32_t sizeCode = h[2] >> 4, rateCode = h[2] & 0xF;
  const uint32_t channelCode = h[3] >> 4, sampleSizeCode = (h[3] >> 1) & 7;
  if (sizeCode == 0 || rateCode == 15 || channelCode > kFlacMidSide || sampleSizeCode == 3 || (h[3] & 1)) return f;
  f.variableBlocking = h[1] & 1;
  const uint32_t numberBytes = FlacCodedNumber(h + 4, available - 4, f.number);
  if (!numberBytes || (!f.variableBlocking && numberBytes > 6)) return f;
  size_t at = 4 + numberBytes;
  const size_t extraSize = sizeCode == 6 ? 1 : sizeCode == 7 ? 2 : 0;
  const size_t extraRate = rateCode == 12 ? 1 : rateCode == 13 || rateCode == 14 ? 2 : 0;
  if (at + extraSize + extraRate + 1 > available) {
    ranOut = pos + available >= r.Limit();
    return f;
  }
  if (sizeCode == 1) f.blockSize = 192;
  else if (sizeCode <= 5) f.blockSize = 576u << (sizeCode - 2);
  else if (sizeCode == 6) f.blockSize = h[at] + 1u;
  else if (sizeCode == 7) f.blockSize = ((h[at] << 8) | h[at + 1]) + 1u;
  else f.blockSize = 256u << (sizeCode - 8);
  at += extraSize + extraRate;
  uint8_t crc = 0;
  for (size_t i = 0; i < at; ++i) crc = kCrc8Table[crc ^ h[i]];
  if (crc != h[at]) return f;
  f.channelAssignment = channelCode;
  f.channels = channelCode < kFlacIndependentChannels ? channelCode + 1 : 2;
  f.bitsPerSample = sampleSizeCode ? kFlacSampleSizes[sampleSizeCode] : info.bitsPerSample;
  if (f.channels != info.channels || f.bitsPerSample != info.bitsPerSample) return f;
  f.length = static_cast<uint32_t>(at + 1);
  return f;
}

// Rice-coded residuals of one subframe (`order` warm-up samples before them).
void SkipResidual(MsbBits& bits, uint32_t blockSize, uint32_t order) {
  const uint32_t method = bits.Read(2);
  if (method > 1) {
    bits.Fail();  // a reserved coding: not a frame
    return;
  }
  const int paramBits = method == 0 ? 4 : 5;
  const uint32_t escape = method == 0 ? 15 : 31;
  const uint32_t partitionOrder = bits.Read(4);
  const uint32_t perPartition = blockSize >> partitionOrder;
  if ((perPartition << partitionOrder) != blockSize || perPartition < order) {
    bits.Fail();
    return;
  }
  for (uint32_t p = 0; p < (1u << partitionOrder) && !bits.failed(); ++p) {
    const uint32_t samples = p == 0 ? perPartition - order : perPartition;
    const uint32_t param = bits.Read(paramBits);
    if (param == escape) {
      bits.Skip(uint64_t(bits.Read(5)) * samples);
      continue;
    }
    for (uint32_t s = 0; s < samples && !bits.failed(); ++s) {
      bits.Unary();
      bits.Skip(param);
    }
  }
}

void SkipSubframe(MsbBits& bits, uint32_t blockSize, uint32_t sampleBits) {
  constexpr uint32_t kConstant = 0, kVerbatim = 1, kFixedFirst = 8, kFixedLast = 12, kLpcFirst = 32;
  const uint32_t head = bits.Read(8);
  const uint32_t type = (head >> 1) & 0x3F;
  if (head & 0x80) {
    bits.Fail();
    return;
  }
  if (head & 1) {
    const uint64_t wasted = bits.Unary() + 1;
    if (wasted >= sampleBits) {
      bits.Fail();
      return;
    }
    sampleBits -= static_cast<uint32_t>(wasted);
  }
  if (type == kConstant) {
    bits.Skip(sampleBits);
  } else if (type == kVerbatim) {
    bits.Skip(uint64_t(sampleBits) * blockSize);
  } else if (type >= kFixedFirst && type <= kFixedLast) {
    const uint32_t order = type - kFixedFirst;
    bits.Skip(uint64_t(order) * sampleBits);
    SkipResidual(bits, blockSize, order);
  } else if (type >= kLpcFirst) {
    const uint32_t order = type - kLpcFirst + 1;
    bits.Skip(uint64_t(order) * sampleBits);
    const uint32_t precision = bits.Read(4) + 1;
    if (precision == 16) {
      bits.Fail();
      return;
    }
    bits.Skip(5 + uint64_t(order) * precision);
    SkipResidual(bits, blockSize, order);
  } else {
    bits.Fail();  // a reserved subframe type
  }
}

struct FlacFrame {
  uint64_t length = 0;  // 0: no frame here
  bool ranOut = false;
  FlacFrameHeader header;
};

FlacFrame ReadFlacFrame(BoundedReader& r, uint64_t pos, const StreamInfo& info) {
  FlacFrame f;
  f.header = ReadFlacFrameHeader(r, pos, info, f.ranOut);
  const FlacFrameHeader& h = f.header;
  if (!h.length) return f;
  // No frame is larger than its samples stored verbatim, with the headers.
  const uint64_t mostBits = (uint64_t(h.length) + 2) * 8 + uint64_t(h.blockSize) * h.channels * (h.bitsPerSample + 1) +
                            uint64_t(h.channels) * 64 + 8;
  MsbBits bits(r, pos + h.length, (pos + h.length) * 8 + mostBits);
  for (uint32_t ch = 0; ch < h.channels && !bits.failed(); ++ch) {
    const bool side = (h.channelAssignment == kFlacLeftSide && ch == 1) ||
                      (h.channelAssignment == kFlacRightSide && ch == 0) ||
                      (h.channelAssignment == kFlacMidSide && ch == 1);
    SkipSubframe(bits, h.blockSize, h.bitsPerSample + (side ? 1 : 0));
  }
  bits.AlignToByte();
  if (bits.failed()) {
    f.ranOut = bits.ranOut();
    return f;
  }
  const uint64_t crcAt = bits.BitPosition() / 8;
  if (PastLimit(r, crcAt, 2)) {
    f.ranOut = true;
    return f;
  }
  uint16_t crc = 0;
  for (uint64_t at = pos; at < crcAt + 2;) {
    size_t available = 0;
    const uint8_t* p = r.Run(at, available);
    if (!p) return f;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(available, crcAt + 2 - at));
    for (size_t i = 0; i < n; ++i) crc = static_cast<uint16_t>((crc << 8) ^ kCrc16Table[(crc >> 8) ^ p[i]]);
    at += n;
  }
  if (crc == 0) f.length = crcAt + 2 - pos;  // the CRC over the frame and its own CRC is zero
  return f;
}

// The metadata blocks after "fLaC" at `start`; the offset of the first
// frame, 0 when they are not FLAC's.
uint64_t ReadFlacMetadata(BoundedReader& r, uint64_t start, StreamInfo& info, bool& ranOut) {
  ranOut = false;
  const uint8_t* s = r.At(start, 8 + kFlacStreamInfoBytes);
  if (!s || std::memcmp(s, "fLaC", 4) != 0 || (s[4] & 0x7F) != kFlacStreamInfo) return 0;
  const uint32_t length = (s[5] << 16) | (s[6] << 8) | s[7];
  const uint8_t* si = s + 8;
  const uint32_t minBlock = (si[0] << 8) | si[1], maxBlock = (si[2] << 8) | si[3];
  const uint32_t sampleRate = (si[10] << 12) | (si[11] << 4) | (si[12] >> 4);
  info.channels = ((si[12] >> 1) & 7) + 1;
  info.bitsPerSample = (((si[12] & 1) << 4) | (si[13] >> 4)) + 1;
  info.totalSamples = (uint64_t(si[13] & 0xF) << 32) | (uint32_t(si[14]) << 24) | (si[15] << 16) | (si[16] << 8) | si[17];
  if (length != kFlacStreamInfoBytes || minBlock < 16 || maxBlock < minBlock || sampleRate == 0 ||
      info.bitsPerSample < 4)
    return 0;
  uint64_t pos = start + 4;
  for (;;) {
    const uint8_t* b = r.At(pos, 4);
    if (!b) {
      ranOut = true;
      return pos;
    }
    const uint8_t type = b[0] & 0x7F;
    if (pos > start + 4 && (type == kFlacStreamInfo || type > kFlacMaxBlockType)) return 0;
    pos += 4 + ((uint32_t(b[1]) << 16) | (b[2] << 8) | b[3]);
    if (b[0] & kFlacLastBlock) return pos;
  }
}

}  // namespace

Measure MeasureFlac(BoundedReader& r) {
  StreamInfo info;
  bool ranOut = false;
  // Some taggers put an ID3v2 tag before "fLaC".
  const uint64_t start = Id3v2TagEnd(r);
  const uint64_t first = ReadFlacMetadata(r, start, info, ranOut);
  if (!first) return {};
  if (ranOut) return BrokenAt(true, start + 4, true);
  uint64_t pos = first, frames = 0, samples = 0;
  for (;;) {
    const FlacFrame f = ReadFlacFrame(r, pos, info);
    ranOut = f.ranOut;
    if (!f.length) break;
    const uint64_t expected = f.header.variableBlocking ? samples : frames;
    if (f.header.number != expected) break;
    pos += f.length;
    ++frames;
    samples += f.header.blockSize;
    if (info.totalSamples && samples >= info.totalSamples) return CheckedWholeFile(pos);
  }
  if (!info.totalSamples && frames > 0 && !ranOut) return CheckedWholeFile(pos);
  // Bytes that end on a frame's end, short of the total, ran out too.
  return BrokenAt(true, pos, ranOut || pos >= r.Limit());
}

}  // namespace rv::carve
