// Every measure function of the deep scan's format table.
// Input: u8 row selector (modulo the table's rows), u8 cut (the reader's
// limit is that many 256ths of the rest, 255 meaning all of it), then the
// candidate's bytes; the row's first signature is written over them at its
// offset, so that the walk gets past it. Invariants: nothing is read past
// the limit (the sanitizers watch the buffers), validUpTo never passes the
// limit, a whole file's length is its validUpTo, and the file measured over
// exactly its own bytes is whole at the same length.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "carve/formats.h"
#include "fuzz_check.h"

using namespace rv::carve;
using rv::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const auto rows = Formats();
  const FormatRow& row = rows[data[0] % rows.size()];
  const uint8_t cut = data[1];
  std::vector<uint8_t> bytes(data + 2, data + size);
  const Signature& sig = row.signatures[0];
  if (sig.offset + sig.bytes.size() <= bytes.size())
    std::memcpy(bytes.data() + sig.offset, sig.bytes.data(), sig.bytes.size());
  const uint64_t limit = cut == 255 ? bytes.size() : bytes.size() * cut / 256;

  MemorySource source(bytes);
  const Measure m = MeasureCandidate(row, source, limit);
  Check(m.validUpTo <= limit);
  if (m.verdict == Verdict::Whole) {
    Check(m.length == m.validUpTo);
    const Measure alone = MeasureCandidate(row, source, m.length);
    Check(alone.verdict == Verdict::Whole && alone.length == m.length);
  } else {
    Check(m.length == 0);
  }
  return 0;
}
