// The entropy-coded data of a sequential Huffman JPEG scan decoded, block
// by block, without computing pixels: the check that tells a photo's own
// bytes from other bytes placed after a break. Markers alone cannot: text
// or another file's data holds no FF byte and passes a marker walk.
//
// A scan decodes as exactly the MCUs its frame and scan headers say, each
// block a DC difference and AC run/size codes that stay within 64
// coefficients, with restart markers in order every restart interval and
// 1 bits padding each interval's last byte; then a marker follows. Each
// coefficient, times its quantizer step, stays within the range the DCT of
// the frame's samples can give.
#pragma once
#include <array>
#include <cstdint>

#include "carve/formats.h"

namespace rv::carve {

// The tables and headers a scan is decoded with, gathered from the
// segments before it.
class JpegDecodeState {
 public:
  // Segment data [data, data + length) after the marker and its length.
  void Tables(BoundedReader& r, uint64_t data, uint64_t length);       // DHT
  void Frame(BoundedReader& r, uint8_t marker, uint64_t data, uint64_t length);  // SOFn
  void RestartInterval(BoundedReader& r, uint64_t data, uint64_t length);        // DRI
  void Quantization(BoundedReader& r, uint64_t data, uint64_t length);           // DQT

  struct ScanResult {
    bool checked = false;  // false: the scan cannot be decoded here (progressive, arithmetic, a table missing)
    bool ok = false;       // decoded as the headers say, ending at `marker`
    bool ranOut = false;   // the bytes ended first
    uint64_t marker = 0;   // ok: where the marker after the scan starts; else where decoding failed
  };
  // The scan whose header is [header, header + length) (after the marker's
  // length field) and whose entropy-coded data starts at `data`.
  ScanResult Scan(BoundedReader& r, uint64_t header, uint64_t length, uint64_t data) const;

 private:
  struct Huffman {
    bool present = false;
    std::array<int32_t, 18> maxCode{};
    std::array<int32_t, 17> valPtr{};
    std::array<int32_t, 17> minCode{};
    std::array<uint8_t, 256> values{};
    std::array<uint16_t, 256> fast{};  // the next 8 bits: code length << 8 | value (length 0: longer code)
  };
  struct Component {
    uint8_t id = 0, h = 1, v = 1, tq = 0;
  };
  // Quantizer steps in zigzag order (0: the table was not given); a
  // coefficient times its step stays within what the DCT of 8- or 12-bit
  // samples can give.
  std::array<std::array<uint16_t, 64>, 4> quant_{};
  std::array<Huffman, 4> dc_{}, ac_{};
  std::array<Component, 4> components_{};
  uint8_t componentCount_ = 0;
  bool sequentialHuffman_ = false;
  uint8_t precision_ = 8;
  uint16_t width_ = 0, height_ = 0;
  uint16_t restartInterval_ = 0;
  bool tablesBroken_ = false;
  friend class JpegScanDecoder;
};

}  // namespace rv::carve
