// The deflate decoder the deep scan measures gzip members with. Blocks are
// stored (a byte-aligned length and its complement, then the bytes), or
// Huffman-coded with the fixed codes or with codes the block describes
// (code lengths, themselves Huffman-coded); literal/length codes 0-255 are
// bytes, 256 ends the block, 257-285 with their extra bits give a length
// of 3-258 that copies from a distance of 1-32768 back. Codes are read
// bit by bit as canonical codes: each length's first code and count.
#include "carve/inflate_walk.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "carve/measure_support.h"

namespace rv::carve {

namespace {

constexpr int kMaxCodeBits = 15;
constexpr int kLiteralCodes = 288, kDistanceCodes = 30, kMaxLengthCodes = 286;
constexpr uint32_t kWindowBytes = 32 * 1024;
constexpr uint16_t kEndOfBlock = 256;
constexpr int kStored = 0, kFixed = 1, kDynamic = 2;

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistanceBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                        193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// The order in which a dynamic block lists the code-length code's lengths.
constexpr uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Codes of up to kFastBits bits are looked up by the next kFastBits bits
// of the stream at once; longer ones are read bit by bit.
constexpr int kFastBits = 9;

struct Huffman {
  uint16_t count[kMaxCodeBits + 1] = {};
  uint16_t symbol[kLiteralCodes] = {};
  // By the next kFastBits bits (first bit lowest, as deflate packs codes):
  // the symbol in the low 12 bits and the code's length above them; 0
  // where the code is longer.
  uint16_t fast[1 << kFastBits] = {};
};

constexpr uint16_t kFastSymbolMask = 0x0FFF;
constexpr int kFastLengthShift = 12;

// Deflate sends a code's bits first bit first, so the table is indexed by
// each code reversed, and by every value of the bits that follow it.
void BuildFastTable(Huffman& h) {
  std::fill(std::begin(h.fast), std::end(h.fast), 0);
  int code = 0, index = 0;
  for (int len = 1; len <= kFastBits; ++len) {
    for (int i = 0; i < h.count[len]; ++i, ++code, ++index) {
      int reversed = 0;
      for (int b = 0; b < len; ++b) reversed |= ((code >> b) & 1) << (len - 1 - b);
      const auto entry = static_cast<uint16_t>((len << kFastLengthShift) | h.symbol[index]);
      for (int fill = reversed; fill < (1 << kFastBits); fill += 1 << len) h.fast[fill] = entry;
    }
    code <<= 1;
  }
}

// Builds the canonical code from `n` code lengths. False when the lengths
// over-subscribe the code, or leave it incomplete beyond the one case
// deflate allows (a single code of one bit).
bool BuildHuffman(Huffman& h, const uint8_t* lengths, int n) {
  std::fill(std::begin(h.count), std::end(h.count), 0);
  for (int s = 0; s < n; ++s) ++h.count[lengths[s]];
  if (h.count[0] == n) {  // no codes: a block that uses none (no matches) is valid
    std::fill(std::begin(h.fast), std::end(h.fast), 0);
    return true;
  }
  int left = 1;
  for (int len = 1; len <= kMaxCodeBits; ++len) {
    left = (left << 1) - h.count[len];
    if (left < 0) return false;
  }
  uint16_t offsets[kMaxCodeBits + 1] = {};
  for (int len = 1; len < kMaxCodeBits; ++len) offsets[len + 1] = static_cast<uint16_t>(offsets[len] + h.count[len]);
  for (int s = 0; s < n; ++s)
    if (lengths[s]) h.symbol[offsets[lengths[s]]++] = static_cast<uint16_t>(s);
  const bool valid = left == 0 || (n - h.count[0] == 1 && h.count[1] == 1);
  if (valid) BuildFastTable(h);
  return valid;
}

class Inflater {
 public:
  Inflater(BoundedReader& r, uint64_t offset) : r_(r), next_(offset), window_(kWindowBytes) {}

  InflateResult Run() {
    InflateResult result;
    result.validUpTo = next_;
    bool last = false;
    while (!last) {
      last = Bits(1);
      const uint32_t type = Bits(2);
      bool ok = false;
      if (type == kStored) ok = Stored();
      else if (type == kFixed) ok = Fixed();
      else if (type == kDynamic) ok = Dynamic();
      if (!ok || failed_) {
        result.status = ranOut_ ? InflateResult::Status::RanOut : InflateResult::Status::Broken;
        break;
      }
      ++result.blocks;
      result.validUpTo = BytePosition();
      if (last) {
        result.status = InflateResult::Status::Ended;
        result.end = result.validUpTo;
      }
    }
    FlushCrc();
    result.outputBytes = written_;
    result.crc = crc_;
    return result;
  }

 private:
  // The offset just past the byte holding the last bit read (the bit
  // buffer may hold bytes loaded ahead).
  uint64_t BytePosition() const { return next_ - bitCount_ / 8; }

  uint32_t Bits(int n) {  // n <= 16
    while (bitCount_ < n) {
      uint8_t b = 0;
      if (failed_ || !r_.U8(next_, b)) {
        ranOut_ = !failed_ && !r_.ReadFailed();
        failed_ = true;
        return 0;
      }
      ++next_;
      bitBuffer_ |= uint64_t(b) << bitCount_;
      bitCount_ += 8;
    }
    const uint32_t v = static_cast<uint32_t>(bitBuffer_ & ((1u << n) - 1));
    bitBuffer_ >>= n;
    bitCount_ -= n;
    return v;
  }

  // Loads whole bytes into the bit buffer while they fit and are there.
  void Prefetch() {
    size_t available = 0;
    const uint8_t* p = failed_ ? nullptr : r_.Run(next_, available);
    for (size_t i = 0; p && i < available && bitCount_ <= 56; ++i) {
      bitBuffer_ |= uint64_t(p[i]) << bitCount_;
      bitCount_ += 8;
      ++next_;
    }
  }

  int Decode(const Huffman& h) {
    if (bitCount_ < kFastBits) Prefetch();
    if (bitCount_ >= kFastBits) {
      const uint16_t entry = h.fast[bitBuffer_ & ((1u << kFastBits) - 1)];
      if (entry) {
        const int length = entry >> kFastLengthShift;
        bitBuffer_ >>= length;
        bitCount_ -= length;
        return entry & kFastSymbolMask;
      }
    }
    int code = 0, first = 0, index = 0;
    for (int len = 1; len <= kMaxCodeBits; ++len) {
      code |= static_cast<int>(Bits(1));
      if (failed_) return -1;
      const int count = h.count[len];
      if (code - count < first) return h.symbol[index + (code - first)];
      index += count;
      first = (first + count) << 1;
      code <<= 1;
    }
    return -1;  // a code the lengths do not assign
  }

  void Put(uint8_t b) {
    window_[written_ % kWindowBytes] = b;
    ++written_;
    if (written_ - crcDone_ >= kWindowBytes / 2) FlushCrc();
  }

  // A match: `length` bytes from `distance` back (<= what was written).
  // Where the source ends before the copy begins it moves as a block;
  // a shorter distance repeats the bytes it reaches, one at a time.
  void Copy(uint32_t distance, uint32_t length) {
    while (length > 0) {
      const size_t to = static_cast<size_t>(written_ % kWindowBytes);
      const size_t from = static_cast<size_t>((written_ - distance) % kWindowBytes);
      const size_t n = std::min<size_t>({length, kWindowBytes - to, kWindowBytes - from});
      if (distance >= n) {
        std::memmove(window_.data() + to, window_.data() + from, n);
      } else {
        for (size_t i = 0; i < n; ++i) window_[to + i] = window_[from + i];
      }
      written_ += n;
      length -= static_cast<uint32_t>(n);
      if (written_ - crcDone_ >= kWindowBytes / 2) FlushCrc();
    }
  }

  // Sums what was written since the last flush into the CRC. Called at
  // least every half window, so no byte is overwritten before it is summed.
  void FlushCrc() {
    while (crcDone_ < written_) {
      const size_t at = static_cast<size_t>(crcDone_ % kWindowBytes);
      const size_t n = static_cast<size_t>(std::min<uint64_t>(written_ - crcDone_, kWindowBytes - at));
      crc_ = Crc32Update(crc_, window_.data() + at, n);
      crcDone_ += n;
    }
  }

  bool Stored() {
    // The rest of the current byte is padding; whole bytes already in the
    // bit buffer are read again from the stream.
    next_ -= bitCount_ / 8;
    bitBuffer_ = 0;
    bitCount_ = 0;
    uint16_t length = 0, complement = 0;
    if (!r_.Le16(next_, length) || !r_.Le16(next_ + 2, complement)) {
      ranOut_ = PastLimit(r_, next_, 4) && !r_.ReadFailed();
      return false;
    }
    if (length != static_cast<uint16_t>(~complement)) return false;
    const uint8_t* p = r_.At(next_ + 4, length);
    if (!p) {
      ranOut_ = PastLimit(r_, next_ + 4, length) && !r_.ReadFailed();
      return false;
    }
    for (uint32_t i = 0; i < length; ++i) Put(p[i]);
    next_ += 4u + length;
    return true;
  }

  bool Codes(const Huffman& literals, const Huffman& distances) {
    for (;;) {
      const int symbol = Decode(literals);
      if (symbol < 0) return false;
      if (symbol < kEndOfBlock) {
        Put(static_cast<uint8_t>(symbol));
        continue;
      }
      if (symbol == kEndOfBlock) return true;
      const int lengthCode = symbol - 257;
      if (lengthCode >= 29) return false;
      const uint32_t length = kLengthBase[lengthCode] + Bits(kLengthExtra[lengthCode]);
      const int distanceCode = Decode(distances);
      if (distanceCode < 0 || distanceCode >= kDistanceCodes) return false;
      const uint32_t distance = kDistanceBase[distanceCode] + Bits(kDistanceExtra[distanceCode]);
      if (failed_ || distance > written_) return false;  // before the stream's first byte
      Copy(distance, length);
    }
  }

  bool Fixed() {
    if (!fixedBuilt_) {
      uint8_t lengths[kLiteralCodes];
      std::fill(lengths, lengths + 144, 8);
      std::fill(lengths + 144, lengths + 256, 9);
      std::fill(lengths + 256, lengths + 280, 7);
      std::fill(lengths + 280, lengths + kLiteralCodes, 8);
      BuildHuffman(fixedLiterals_, lengths, kLiteralCodes);
      std::fill(lengths, lengths + kDistanceCodes, 5);
      BuildHuffman(fixedDistances_, lengths, kDistanceCodes);
      fixedBuilt_ = true;
    }
    return Codes(fixedLiterals_, fixedDistances_);
  }

  bool Dynamic() {
    const int literalCount = static_cast<int>(Bits(5)) + 257, distanceCount = static_cast<int>(Bits(5)) + 1;
    const int codeLengthCount = static_cast<int>(Bits(4)) + 4;
    if (failed_ || literalCount > kMaxLengthCodes || distanceCount > kDistanceCodes) return false;
    uint8_t lengths[kMaxLengthCodes + kDistanceCodes] = {};
    for (int i = 0; i < codeLengthCount; ++i) lengths[kCodeLengthOrder[i]] = static_cast<uint8_t>(Bits(3));
    Huffman codeLengths;
    if (failed_ || !BuildHuffman(codeLengths, lengths, 19)) return false;
    std::fill(std::begin(lengths), std::end(lengths), 0);
    for (int i = 0; i < literalCount + distanceCount;) {
      const int symbol = Decode(codeLengths);
      if (symbol < 0) return false;
      if (symbol < 16) {
        lengths[i++] = static_cast<uint8_t>(symbol);
        continue;
      }
      uint8_t repeated = 0;
      int times = 0;
      if (symbol == 16) {
        if (i == 0) return false;
        repeated = lengths[i - 1];
        times = 3 + static_cast<int>(Bits(2));
      } else {
        times = symbol == 17 ? 3 + static_cast<int>(Bits(3)) : 11 + static_cast<int>(Bits(7));
      }
      if (failed_ || i + times > literalCount + distanceCount) return false;
      while (times--) lengths[i++] = repeated;
    }
    if (lengths[kEndOfBlock] == 0) return false;  // the block could not end
    Huffman literals, distances;
    if (!BuildHuffman(literals, lengths, literalCount)) return false;
    if (!BuildHuffman(distances, lengths + literalCount, distanceCount)) return false;
    return Codes(literals, distances);
  }

  BoundedReader& r_;
  uint64_t next_;  // the next byte to load into the bit buffer
  uint64_t bitBuffer_ = 0;
  int bitCount_ = 0;
  bool failed_ = false, ranOut_ = false;
  std::vector<uint8_t> window_;  // the last 32 KiB of output, which matches copy from
  uint64_t written_ = 0, crcDone_ = 0;
  uint32_t crc_ = 0;
  bool fixedBuilt_ = false;
  Huffman fixedLiterals_, fixedDistances_;
};

}  // namespace

InflateResult InflateWalk(BoundedReader& r, uint64_t offset) { return Inflater(r, offset).Run(); }

}  // namespace rv::carve
