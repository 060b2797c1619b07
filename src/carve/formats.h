// The deep scan's format table: one row per file format, each with the
// signatures that start a file of it, its extension and one pure function
// that measures a candidate file from its own structure.
//
// A measure function reads the candidate through a BoundedReader (bytes
// from the candidate's first byte, as far as the reader's limit) and never
// anything else, so the same function serves the sequential scan (a reader
// over the rest of the volume) and fragment reassembly (a reader over a
// chosen sequence of clusters). It answers one of three verdicts:
//
//   NotThisFormat  the bytes do not start a file of this format (a
//                  signature found by chance, or a start too damaged to
//                  be sure of);
//   Whole          the structure checks out from the first byte to its
//                  end: `length` is the file's length;
//   Truncated      the start is certain but the end is not: the structure
//                  breaks (a chunk CRC fails, a marker is impossible, a box
//                  size is absurd) or the bytes run out (`ranOut`) before
//                  the file's own end.
//
// In every case `validUpTo` is the byte offset up to which the structure
// was found valid: for Whole it equals `length`; for Truncated it is where
// the first fault lies (or where the bytes ran out), so a reassembler can
// tell which cluster broke the file; for NotThisFormat it says how far the
// start looked right (0 when the signature itself is missing).
//
// Lengths read from the data are checked against the reader's limit before
// use. A format without an end marker (its length is where its structure
// stops, or a size field it states) says so in its row (`endMarked`).
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "carve/aligned_buffer.h"

namespace rv::carve {

// Where a candidate's bytes come from. Offsets count from the candidate's
// first byte.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Bytes the source holds from offset 0.
  virtual uint64_t Size() const = 0;
  // Reads exactly `length` bytes at `offset` (within Size()). False when the
  // device fails; the reader then treats the bytes as not there.
  virtual bool ReadAt(uint64_t offset, uint8_t* out, size_t length) = 0;
};

// A ByteSource over bytes in memory (tests, fuzzing, a reassembler's buffer).
class MemorySource : public ByteSource {
 public:
  explicit MemorySource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  uint64_t Size() const override { return bytes_.size(); }
  bool ReadAt(uint64_t offset, uint8_t* out, size_t length) override;

 private:
  std::span<const uint8_t> bytes_;
};

// Bounded, buffered access to a candidate for the measure functions. Reads
// go to the source in windows of kWindow bytes aligned to kWindow, so a
// validator walking forward reads the candidate once, in large pieces.
class BoundedReader {
 public:
  static constexpr size_t kWindow = 1 << 20;
  static constexpr uint64_t kNotFound = UINT64_MAX;

  // At most `limit` bytes of the source are visible. `window`, when given,
  // is a buffer the caller keeps for one reader after another (a scan
  // measures many candidates), so that none allocates its own.
  explicit BoundedReader(ByteSource& source, uint64_t limit = UINT64_MAX, AlignedBuffer* window = nullptr);
  uint64_t Limit() const { return limit_; }
  // Whether a read of the source failed (a device error, not a bad file).
  bool ReadFailed() const { return readFailed_; }
  // Whether a measure decodes what it can of the content (a JPEG's
  // entropy-coded scans) rather than walk it by its markers. Choosing a
  // fragmented file's gaps needs every byte checked; the deep scan's pass
  // needs the file's end, and decoding every photo on a card would cost
  // it many times the read.
  bool ChecksContent() const { return checkContent_; }
  void WalkContentByMarkers() { checkContent_ = false; }

  // `length` bytes at `offset`, valid until the next call; null when any of
  // them lies past the limit or cannot be read. `length` <= kWindow.
  const uint8_t* At(uint64_t offset, size_t length);
  // The bytes buffered from `offset` on (at least one, at most to the end
  // of the window or the limit); null at or past the limit. For scans
  // over long stretches (entropy-coded data, searching for an end marker).
  const uint8_t* Run(uint64_t offset, size_t& available);

  bool U8(uint64_t offset, uint8_t& v);
  bool Le16(uint64_t offset, uint16_t& v);
  bool Le32(uint64_t offset, uint32_t& v);
  bool Le64(uint64_t offset, uint64_t& v);
  bool Be16(uint64_t offset, uint16_t& v);
  bool Be32(uint64_t offset, uint32_t& v);
  bool Be64(uint64_t offset, uint64_t& v);
  // Offset of the first occurrence of `needle` (<= 64 bytes) starting at or
  // after `from` and ending at or before `to` (capped at the limit);
  // kNotFound when there is none.
  uint64_t Find(uint64_t from, uint64_t to, std::string_view needle);
  // CRC-32 (ISO 3309, as PNG and ZIP use it) of `length` bytes at `offset`,
  // continuing `crc`; false when the bytes are not all there.
  bool Crc32(uint64_t offset, uint64_t length, uint32_t& crc);

 private:
  bool Fill(uint64_t windowStart);

  ByteSource& source_;
  uint64_t limit_;
  AlignedBuffer own_;       // allocated on the first read when no window was lent
  AlignedBuffer* window_;
  uint64_t windowStart_ = UINT64_MAX;
  size_t windowBytes_ = 0;
  bool readFailed_ = false;
  bool checkContent_ = true;
  uint8_t scratch_[8] = {};
};

enum class Verdict { NotThisFormat, Whole, Truncated };

struct Measure {
  Verdict verdict = Verdict::NotThisFormat;
  uint64_t length = 0;     // Whole: the file's length (== validUpTo); otherwise 0
  uint64_t validUpTo = 0;  // the structure is valid over [0, validUpTo)
  bool ranOut = false;     // Truncated: the bytes ended while the structure was still valid
  // A finer extension the content names ("docx" for a ZIP holding a Word
  // document, "cr2" for a TIFF from a Canon camera); null: the row's own.
  const char* extension = nullptr;
  // Whole: every byte was checked by what it holds (chunk CRCs, a decoded
  // entropy-coded or deflate stream), not only by sizes and markers, so
  // another file's cluster anywhere inside would have shown.
  bool contentChecked = false;
};

struct Signature {
  uint32_t offset = 0;    // where in the file the bytes stand
  std::string_view bytes;
};

using MeasureFunction = Measure (*)(BoundedReader&);

struct FormatRow {
  const char* name;       // "JPEG"
  const char* extension;  // the extension of a plain file of the format, "jpg"
  std::span<const Signature> signatures;  // any one of them starts a candidate
  MeasureFunction measure;
  // Whether the format marks its own end (an end marker, or a structure
  // that closes). Where it does not, `length` is a size field the file
  // states or the end of its last valid unit.
  bool endMarked;
  // Every extension `measure` may name, the row's own first ("zip docx xlsx ...").
  const char* extensions;
};

// The table, in the order the scan tries the rows.
std::span<const FormatRow> Formats();
// The row for a format or extension name ("jpg", "docx", "JPEG"), case
// blind; null when none produces it.
const FormatRow* FormatFor(std::string_view nameOrExtension);
// Whether the row may name a file `extension` ("docx" for ZIP), case blind.
bool RowProduces(const FormatRow& row, std::string_view extension);
// Whether the row's signatures match `head` (the candidate's first bytes).
bool SignatureMatches(const FormatRow& row, std::span<const uint8_t> head);
// Runs the row's measure over `reader`. The structure can be valid only as
// far as the bytes go: validUpTo never passes the reader's limit.
Measure MeasureWith(const FormatRow& row, BoundedReader& reader);
// Runs the row's measure over `source`, limited to `limit` bytes.
Measure MeasureCandidate(const FormatRow& row, ByteSource& source, uint64_t limit = UINT64_MAX);

// The extension a measured file gets.
inline const char* ExtensionOf(const FormatRow& row, const Measure& m) {
  return m.extension ? m.extension : row.extension;
}

}  // namespace rv::carve
