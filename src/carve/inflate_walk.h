// Decodes a deflate stream (RFC 1951) from a candidate to find where it
// ends: deflate states no length, only its last block's flag and the
// end-of-block code after it. The output is kept only as far as matches
// may reach back (32 KiB) and summed into a CRC-32 and a byte count, which
// the containers built on deflate (gzip) check against their trailers.
//
// The work is linear in the stream's own bytes: every code read consumes
// at least one bit, and writes at most 258 bytes.
#pragma once
#include <cstdint>

#include "carve/formats.h"

namespace rv::carve {

struct InflateResult {
  enum class Status { Ended, Broken, RanOut };
  Status status = Status::Broken;
  uint64_t end = 0;        // Ended: the offset just past the stream's last byte
  uint64_t validUpTo = 0;  // where the last whole block ended (the stream's start when none did)
  uint64_t blocks = 0;     // whole blocks decoded
  uint64_t outputBytes = 0;
  uint32_t crc = 0;        // CRC-32 of the output
};

// The stream that starts at `offset` of the reader's candidate.
InflateResult InflateWalk(BoundedReader& r, uint64_t offset);

}  // namespace rv::carve
