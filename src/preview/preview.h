// What a found file is, from its first bytes as the volume holds them
// now: a picture the system's decoders show (JPEG, PNG, GIF, BMP), text
// (UTF-8, UTF-16 with or without a byte-order mark), or anything else,
// shown as a hex dump. The bytes come through the engine's found-file
// reader, the way a recovery would write them ('*' where a cluster is in
// use now), into memory; nothing is written.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engines/engines.h"
#include "platform/types.h"

namespace rv::preview {

enum class Kind { Empty, Jpeg, Png, Gif, Bmp, Utf8Text, Utf16LeText, Utf16BeText, Binary };

bool IsPicture(Kind k);
bool IsText(Kind k);
// By the bytes alone (never the name: a deleted file's extension may lie).
Kind Classify(const uint8_t* data, size_t size);

// The text of a text kind, as UTF-16 for a text control: the byte-order
// mark dropped, line ends made CR LF, other control characters and
// invalid sequences shown as U+FFFD, a sequence cut by the end of the bytes
// left out.
Text TextOf(Kind kind, const uint8_t* data, size_t size);

// Sixteen bytes a line: offset, the bytes in hex, the printable ones as
// ASCII ("00000010  4a 46 49 46 ...  |JFIF....|"); at most `maxBytes`.
std::string HexDump(const uint8_t* data, size_t size, size_t maxBytes = 4096);

// The first `maxBytes` bytes of a found file through the engine that
// listed it (under the engine lock). False when the engine has no reader
// for it or the volume could not be read.
bool ReadStart(const EngineRow& engine, const FoundFile& file, size_t maxBytes, std::vector<uint8_t>& out);

// At least one byte, and every one zero.
bool AllZero(const uint8_t* data, size_t size);
// A run of '*' as long as the smallest cluster: the fill a recovery writes
// where a cluster is in use by another file now (a text's own asterisks are
// rarely that many in a row).
constexpr size_t kInUseRun = 512;
bool HasInUseFill(const uint8_t* data, size_t size);

// How much of a file the preview reads: its start for text and bytes, and
// a picture whole up to a bound (a decoder needs the end of the data too).
constexpr size_t kStartBytes = 64 * 1024;
constexpr size_t kPictureBytes = 16 * 1024 * 1024;
// A file that starts with zeros is read to its end to tell whether it is
// zeroed throughout only up to this size: the engine lock is held for the
// read, and a recovery of a larger file tells it anyway.
constexpr uint64_t kZeroScanBytes = 256ull * 1024 * 1024;

struct Preview {
  uint64_t size = 0;            // the bytes a recovery would write
  Kind kind = Kind::Empty;      // of the first kStartBytes
  std::vector<uint8_t> bytes;   // the start; a picture's whole data up to kPictureBytes
  // Not empty, and every byte of the file reads as zero, as a recovery
  // would write it: the clusters were cleared (an SSD's TRIM, a wipe).
  bool zeroed = false;
  bool inUseFill = false;       // the start holds the '*' fill of clusters in use now
};

// Reads what the preview shows of a found file through the engine that
// listed it, holding the engine lock throughout, so that no search or
// undelete changes the engine's volume between the reads. When the start
// is all zeros the rest of a file up to kZeroScanBytes is read too (in
// chunks, into memory) to tell a zeroed file from one that merely starts
// with zeros. `cancelled` is asked between chunks. False when it said so,
// or the file could not be read.
bool ReadPreview(const EngineRow& engine, const FoundFile& file, const std::function<bool()>& cancelled,
                 Preview& out);

}  // namespace rv::preview
