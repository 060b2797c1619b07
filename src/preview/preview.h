// What a found file is, from its first bytes as the volume holds them
// now: a picture the system's decoders show (JPEG, PNG, GIF, BMP), text
// (UTF-8, UTF-16 with or without a byte-order mark), or anything else,
// shown as a hex dump. The bytes come through the engine's found-file
// reader, the way a recovery would write them ('*' where a cluster is in
// use now), into memory; nothing is written.
#pragma once
#include <cstddef>
#include <cstdint>
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

}  // namespace rv::preview
