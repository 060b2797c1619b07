// LZNT1, the compression of NTFS compressed attributes: a stream of chunks,
// each a 16-bit header and data for up to 4096 bytes of output.
//
// Chunk header (16 bits, little-endian):
//   bits 0-11  number of bytes that follow the header, minus 1
//   bits 12-14 signature, 3
//   bit 15     1 = compressed, 0 = the 4096 bytes are stored as they are
// A header of 0 ends the stream. A compressed chunk is a series of groups:
// one flag byte, then eight items, literal bytes (flag bit 0) or 16-bit
// back references (flag bit 1) whose split between offset and length
// depends on how much of the chunk has been produced so far.
#pragma once
#include <cstddef>

#include "format/le.h"

namespace rv::ntfs {

// Decompresses `in` into `out`; `produced` receives the bytes written.
// False for a malformed stream (a chunk running off the input, a reference
// before the chunk start, output beyond `out`); `out` then holds what was
// decoded before the fault.
bool Lznt1Decompress(Bytes in, MutableBytes out, size_t& produced);

}  // namespace rv::ntfs
