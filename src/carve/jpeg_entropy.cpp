#include "carve/jpeg_entropy.h"

#include <algorithm>

namespace rv::carve {

namespace {

constexpr uint8_t kRst0 = 0xD0;

// The entropy-coded bytes as bits, most significant first, FF 00 read as
// FF; a marker (FF then anything else) ends them. Bytes come from the
// reader's buffered run, so a byte costs no call into the reader.
class BitReader {
 public:
  BitReader(BoundedReader& r, uint64_t pos) : r_(r), pos_(pos) {}
  uint64_t Pos() const { return pos_; }
  bool RanOut() const { return ranOut_; }

  // At least `n` (<= 32) bits buffered; false where a marker or the end of
  // the bytes comes first.
  bool Ensure(unsigned n) {
    while (count_ < n)
      if (!Fill()) return false;
    return true;
  }
  uint32_t Peek(unsigned n) const { return static_cast<uint32_t>(bits_ >> (count_ - n)) & ((1u << n) - 1u); }
  void Skip(unsigned n) { count_ -= n; }
  bool Bits(unsigned n, uint32_t& out) {
    if (n == 0) {
      out = 0;
      return true;
    }
    if (!Ensure(n)) return false;
    out = Peek(n);
    Skip(n);
    return true;
  }
  // The bits left of the byte last read are 1s, as an encoder pads the end
  // of a restart interval and of the scan, and no whole byte is left over.
  bool PaddedWithOnes() {
    const uint32_t mask = (1u << count_) - 1u;
    const bool ok = count_ < 8 && (bits_ & mask) == mask;
    count_ = 0;
    bits_ = 0;
    return ok;
  }
  // At a marker: fill bytes (FF) and the marker `want` (any marker but a
  // restart when `want` is 0), then past it for a restart.
  bool Marker(uint8_t want, uint64_t& at) {
    uint8_t b = 0, next = 0xFF;
    if (!Byte(pos_, b)) return false;
    if (b != 0xFF) return false;
    uint64_t m = pos_ + 1;
    while (next == 0xFF) {
      if (!Byte(m, next)) return false;
      if (next == 0xFF) ++m;
    }
    at = pos_;
    if (want == 0) return next != 0x00 && (next < kRst0 || next > kRst0 + 7);
    if (next != want) return false;
    pos_ = m + 1;
    return true;
  }

 private:
  bool Byte(uint64_t at, uint8_t& b) {
    if (at >= runStart_ && at - runStart_ < runBytes_) {
      b = run_[at - runStart_];
      return true;
    }
    size_t n = 0;
    const uint8_t* p = r_.Run(at, n);
    if (!p) {
      runBytes_ = 0;
      ranOut_ = true;
      return false;
    }
    run_ = p;
    runStart_ = at;
    runBytes_ = n;
    b = *p;
    return true;
  }
  bool Fill() {
    uint8_t b = 0;
    if (!Byte(pos_, b)) return false;
    if (b == 0xFF) {
      uint8_t next = 0;
      if (!Byte(pos_ + 1, next)) return false;
      if (next != 0x00) return false;  // a marker: no more bits
      pos_ += 2;
    } else {
      pos_ += 1;
    }
    bits_ = (bits_ << 8) | b;
    count_ += 8;
    return true;
  }
  BoundedReader& r_;
  uint64_t pos_;
  const uint8_t* run_ = nullptr;
  uint64_t runStart_ = 0;
  size_t runBytes_ = 0;
  uint64_t bits_ = 0;
  unsigned count_ = 0;
  bool ranOut_ = false;
};

}  // namespace

class JpegScanDecoder {
 public:
  using Huffman = JpegDecodeState::Huffman;
  JpegScanDecoder(BitReader& bits, uint8_t precision)
      : bits_(bits), maxSize_(precision == 8 ? 11 : 15), range_(precision == 8 ? 2048 : 32768) {}

  bool Symbol(const Huffman& h, uint32_t& value) {
    // Codes of up to 8 bits from the table at once; longer ones, and codes
    // at the end of the data, a bit at a time.
    if (bits_.Ensure(8)) {
      const uint16_t fast = h.fast[bits_.Peek(8)];
      if (fast >> 8) {
        bits_.Skip(fast >> 8);
        value = fast & 0xFFu;
        return true;
      }
    }
    int32_t code = 0;
    for (unsigned len = 1; len <= 16; ++len) {
      uint32_t b = 0;
      if (!bits_.Bits(1, b)) return false;
      code = (code << 1) | static_cast<int32_t>(b);
      if (code <= h.maxCode[len]) {
        value = h.values[static_cast<size_t>(h.valPtr[len] + code - h.minCode[len])];
        return true;
      }
    }
    return false;  // no code of the table is this long
  }

  // One 8x8 block: the DC difference (its running value within what any
  // quantized DC can be), then the AC codes up to end of block or the 64th
  // coefficient.
  static int32_t Extend(uint32_t bits, uint32_t size) {
    int32_t v = static_cast<int32_t>(bits);
    if (size > 0 && bits < (1u << (size - 1))) v -= static_cast<int32_t>((1u << size) - 1u);
    return v;
  }
  // Twice the DCT's range, for encoders' rounding; a step of 0 (no
  // table) bounds nothing but the size category.
  bool InRange(int64_t value, uint16_t step) const { return value * value * step * step <= int64_t{range_} * range_; }

  bool Block(const Huffman& dc, const Huffman& ac, const std::array<uint16_t, 64>& quant, int32_t& predictor) {
    uint32_t s = 0, extra = 0;
    if (!Symbol(dc, s) || s > maxSize_ || !bits_.Bits(s, extra)) return false;
    predictor += Extend(extra, s);
    if (!InRange(predictor, quant[0]) || predictor > range_ || predictor < -range_) return false;
    for (unsigned k = 1; k < 64;) {
      uint32_t rs = 0;
      if (!Symbol(ac, rs)) return false;
      const unsigned run = rs >> 4, size = rs & 15u;
      if (size == 0) {
        if (run != 15) return true;  // end of block
        k += 16;
        if (k > 63) return false;
        continue;
      }
      k += run;
      if (k > 63 || size > maxSize_ - 1 || !bits_.Bits(size, extra) || !InRange(Extend(extra, size), quant[k]))
        return false;
      ++k;
    }
    return true;
  }

 private:
  BitReader& bits_;
  const unsigned maxSize_;
  const int32_t range_;
};

void JpegDecodeState::Tables(BoundedReader& r, uint64_t data, uint64_t length) {
  uint64_t at = data;
  const uint64_t end = data + length;
  while (at < end) {
    const uint8_t* p = r.At(at, 17);
    if (!p || end - at < 17) {
      tablesBroken_ = true;
      return;
    }
    // Kept: the next read may move the reader's window.
    std::array<uint8_t, 17> head{};
    std::copy(p, p + 17, head.begin());
    const unsigned cls = head[0] >> 4, id = head[0] & 15u;
    unsigned total = 0;
    for (unsigned i = 1; i <= 16; ++i) total += head[i];
    if (cls > 1 || id > 3 || total > 256 || end - at - 17 < total) {
      tablesBroken_ = true;
      return;
    }
    Huffman h;
    h.present = true;
    const uint8_t* values = r.At(at + 17, total);
    if (total > 0 && !values) {
      tablesBroken_ = true;
      return;
    }
    std::copy(values, values + total, h.values.begin());
    int32_t code = 0, k = 0;
    for (unsigned len = 1; len <= 16; ++len) {
      const unsigned n = head[len];
      h.valPtr[len] = k;
      h.minCode[len] = code;
      code += static_cast<int32_t>(n);
      k += static_cast<int32_t>(n);
      h.maxCode[len] = n ? code - 1 : -1;
      // More codes than bits of this length can tell apart.
      if (code > (1 << len)) {
        tablesBroken_ = true;
        return;
      }
      // Each code of up to 8 bits fills the lookup entries it prefixes.
      for (unsigned i = 0; len <= 8 && i < n; ++i) {
        const uint32_t c = static_cast<uint32_t>(h.minCode[len]) + i;
        const uint16_t entry = static_cast<uint16_t>(len << 8 | h.values[static_cast<size_t>(h.valPtr[len]) + i]);
        for (uint32_t fill = 0; fill < (1u << (8 - len)); ++fill) h.fast[(c << (8 - len)) | fill] = entry;
      }
      code <<= 1;
    }
    (cls == 0 ? dc_ : ac_)[id] = h;
    at += 17 + total;
  }
}

void JpegDecodeState::Frame(BoundedReader& r, uint8_t marker, uint64_t data, uint64_t length) {
  // Baseline and extended sequential Huffman frames; progressive,
  // lossless and arithmetic-coded ones are walked by their markers only.
  sequentialHuffman_ = marker == 0xC0 || marker == 0xC1;
  const uint8_t* p = r.At(data, 6);
  if (!p || length < 6) return;
  precision_ = p[0];
  height_ = static_cast<uint16_t>((p[1] << 8) | p[2]);
  width_ = static_cast<uint16_t>((p[3] << 8) | p[4]);
  componentCount_ = 0;
  const unsigned n = p[5];
  const uint8_t* c = r.At(data + 6, 3 * n);
  if (!c || n > 4 || length < 6 + 3 * n) return;
  for (unsigned i = 0; i < n; ++i) {
    const uint8_t h = c[3 * i + 1] >> 4, v = c[3 * i + 1] & 15;
    if (h < 1 || h > 4 || v < 1 || v > 4) return;
    components_[i] = {c[3 * i], h, v, static_cast<uint8_t>(c[3 * i + 2] & 3)};
  }
  componentCount_ = static_cast<uint8_t>(n);
}

void JpegDecodeState::Quantization(BoundedReader& r, uint64_t data, uint64_t length) {
  uint64_t at = data;
  const uint64_t end = data + length;
  while (at < end) {
    uint8_t pq = 0;
    if (!r.U8(at, pq)) return;
    const unsigned wide = pq >> 4, id = pq & 15u, bytes = wide ? 128 : 64;
    const uint8_t* q = r.At(at + 1, bytes);
    if (wide > 1 || id > 3 || !q || end - at - 1 < bytes) return;
    for (unsigned k = 0; k < 64; ++k) quant_[id][k] = wide ? static_cast<uint16_t>((q[2 * k] << 8) | q[2 * k + 1]) : q[k];
    at += 1 + bytes;
  }
}

void JpegDecodeState::RestartInterval(BoundedReader& r, uint64_t data, uint64_t length) {
  uint16_t ri = 0;
  if (length >= 2 && r.Be16(data, ri)) restartInterval_ = ri;
}

JpegDecodeState::ScanResult JpegDecodeState::Scan(BoundedReader& r, uint64_t header, uint64_t length,
                                                  uint64_t data) const {
  ScanResult result;
  if (!sequentialHuffman_ || tablesBroken_ || componentCount_ == 0 || width_ == 0 || height_ == 0 ||
      (precision_ != 8 && precision_ != 12))
    return result;
  uint8_t ns = 0;
  if (!r.U8(header, ns) || ns < 1 || ns > 4 || length < 4u + 2u * ns) return result;
  const uint8_t* sel = r.At(header + 1, 2u * ns + 3);
  if (!sel || sel[2 * ns] != 0 || sel[2 * ns + 1] != 63 || sel[2 * ns + 2] != 0) return result;
  struct InScan {
    const Component* c = nullptr;
    const Huffman* dc = nullptr;
    const Huffman* ac = nullptr;
    const std::array<uint16_t, 64>* quant = nullptr;
    int32_t predictor = 0;
  };
  std::array<InScan, 4> in{};
  unsigned hmax = 1, vmax = 1;
  for (unsigned i = 0; i < componentCount_; ++i) {
    hmax = std::max<unsigned>(hmax, components_[i].h);
    vmax = std::max<unsigned>(vmax, components_[i].v);
  }
  for (unsigned i = 0; i < ns; ++i) {
    for (unsigned j = 0; j < componentCount_; ++j)
      if (components_[j].id == sel[2 * i]) in[i].c = &components_[j];
    const unsigned td = sel[2 * i + 1] >> 4, ta = sel[2 * i + 1] & 15u;
    if (!in[i].c || td > 3 || ta > 3 || !dc_[td].present || !ac_[ta].present) return result;
    in[i].dc = &dc_[td];
    in[i].ac = &ac_[ta];
    in[i].quant = &quant_[in[i].c->tq];
  }
  // MCUs of the scan: one block each for a single component, else each
  // component's H x V blocks per MCU of 8 Hmax x 8 Vmax pixels.
  auto ceilDiv = [](uint64_t a, uint64_t b) { return (a + b - 1) / b; };
  uint64_t mcus = 0;
  if (ns == 1) {
    const uint64_t w = ceilDiv(uint64_t{width_} * in[0].c->h, hmax), h = ceilDiv(uint64_t{height_} * in[0].c->v, vmax);
    mcus = ceilDiv(w, 8) * ceilDiv(h, 8);
  } else {
    mcus = ceilDiv(width_, 8ull * hmax) * ceilDiv(height_, 8ull * vmax);
  }
  result.checked = true;
  BitReader bits(r, data);
  JpegScanDecoder decoder(bits, precision_);
  uint8_t nextRestart = kRst0;
  auto fail = [&]() {
    result.ranOut = bits.RanOut();
    result.marker = bits.Pos();
    return result;
  };
  for (uint64_t mcu = 0; mcu < mcus; ++mcu) {
    if (restartInterval_ != 0 && mcu != 0 && mcu % restartInterval_ == 0) {
      uint64_t at = 0;
      if (!bits.PaddedWithOnes() || !bits.Marker(nextRestart, at)) return fail();
      nextRestart = nextRestart == kRst0 + 7 ? kRst0 : static_cast<uint8_t>(nextRestart + 1);
      for (auto& s : in) s.predictor = 0;
    }
    for (unsigned i = 0; i < ns; ++i) {
      const unsigned blocks = ns == 1 ? 1 : unsigned{in[i].c->h} * in[i].c->v;
      for (unsigned b = 0; b < blocks; ++b)
        if (!decoder.Block(*in[i].dc, *in[i].ac, *in[i].quant, in[i].predictor)) return fail();
    }
  }
  uint64_t at = 0;
  if (!bits.PaddedWithOnes() || !bits.Marker(0, at)) return fail();
  result.ok = true;
  result.marker = at;
  return result;
}

}  // namespace rv::carve
