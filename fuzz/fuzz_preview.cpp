// The preview's reading of a file's first bytes. Input: the bytes.
// Invariants: the kind is decided without reading past them; only a text
// kind has text, with no control character but CR, LF (always after a CR),
// tab and form feed, and at most two units a byte (LF becomes CR LF); the
// hex dump has one line per 16 bytes up to its limit.
#include <cstddef>
#include <cstdint>

#include "fuzz_check.h"
#include "preview/preview.h"

using namespace rv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const preview::Kind kind = preview::Classify(data, size);
  const Text text = preview::TextOf(kind, data, size);
  fuzz::Check(preview::IsText(kind) || text.empty());
  fuzz::Check(text.size() <= 2 * size);
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c == u'\n') fuzz::Check(i > 0 && text[i - 1] == u'\r');
    else fuzz::Check(c >= 0x20 || c == u'\r' || c == u'\t' || c == u'\f');
  }
  const size_t limit = 256;
  const std::string dump = preview::HexDump(data, size, limit);
  const size_t shown = size < limit ? size : limit;
  fuzz::Check(dump.size() >= ((shown + 15) / 16) * 12);
  size_t lines = 0;
  for (char c : dump) lines += c == '\n';
  fuzz::Check(lines == (shown + 15) / 16);
  return 0;
}
