// What the measure functions share: building their results.
#pragma once
#include "carve/formats.h"

namespace rv::carve {

inline Measure WholeFile(uint64_t length, const char* extension = nullptr) {
  Measure m;
  m.verdict = Verdict::Whole;
  m.length = length;
  m.validUpTo = length;
  m.extension = extension;
  return m;
}

// Whole, every byte checked by what it holds.
inline Measure CheckedWholeFile(uint64_t length, const char* extension = nullptr) {
  Measure m = WholeFile(length, extension);
  m.contentChecked = true;
  return m;
}

// The structure stopped being valid at `validUpTo`: a truncated file when
// its start was certain, otherwise no file of this format at all.
inline Measure BrokenAt(bool startCertain, uint64_t validUpTo, bool ranOut, const char* extension = nullptr) {
  Measure m;
  m.verdict = startCertain ? Verdict::Truncated : Verdict::NotThisFormat;
  m.validUpTo = validUpTo;
  m.ranOut = ranOut;
  m.extension = extension;
  return m;
}

// Whether the bytes [offset, offset + length) lie past the reader's limit.
inline bool PastLimit(const BoundedReader& r, uint64_t offset, uint64_t length) {
  return offset > r.Limit() || length > r.Limit() - offset;
}

// CRC-32 (ISO 3309) of `length` bytes, continuing `crc` (0 to start).
uint32_t Crc32Update(uint32_t crc, const uint8_t* bytes, size_t length);

// The measure functions, one per row (formats_*.cpp).
Measure MeasureJpeg(BoundedReader& r);
Measure MeasurePng(BoundedReader& r);
Measure MeasureGif(BoundedReader& r);
Measure MeasureBmp(BoundedReader& r);
Measure MeasureTiff(BoundedReader& r);
Measure MeasurePdf(BoundedReader& r);
Measure MeasureZip(BoundedReader& r);
Measure MeasureRiff(BoundedReader& r);
Measure MeasureIsoMedia(BoundedReader& r);
Measure MeasureSqlite(BoundedReader& r);
Measure MeasureSevenZip(BoundedReader& r);
Measure MeasureOgg(BoundedReader& r);
Measure MeasureMp3(BoundedReader& r);
Measure MeasureFlac(BoundedReader& r);
Measure MeasureMatroska(BoundedReader& r);
Measure MeasureGzip(BoundedReader& r);
Measure MeasureRar(BoundedReader& r);
Measure MeasurePsd(BoundedReader& r);

}  // namespace rv::carve
