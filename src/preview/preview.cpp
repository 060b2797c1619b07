#include "preview/preview.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "format/le.h"
#include "channel/file_reader.h"

namespace rv::preview {

bool IsPicture(Kind k) { return k == Kind::Jpeg || k == Kind::Png || k == Kind::Gif || k == Kind::Bmp; }
bool IsText(Kind k) { return k == Kind::Utf8Text || k == Kind::Utf16LeText || k == Kind::Utf16BeText; }

namespace {

bool Starts(const uint8_t* data, size_t size, const char* sig, size_t n) {
  return size >= n && std::memcmp(data, sig, n) == 0;
}

// A BMP's file header: "BM", then a DIB header size one of the known ones
// (12 core, 40 info, 52/56 with masks, 108 v4, 124 v5) and pixel data
// after the headers.
bool LooksLikeBmp(const uint8_t* data, size_t size) {
  if (size < 18 || data[0] != 'B' || data[1] != 'M') return false;
  const uint32_t dib = LoadLe<uint32_t>(data + 14), pixels = LoadLe<uint32_t>(data + 10);
  const bool known = dib == 12 || dib == 40 || dib == 52 || dib == 56 || dib == 108 || dib == 124;
  return known && pixels >= 14 + dib;
}

// One UTF-8 sequence at `data`: its code point and length; 0 when invalid
// (overlong, surrogate, past U+10FFFF), -1 when cut by the end.
int Utf8At(const uint8_t* data, size_t size, uint32_t& cp) {
  const uint8_t b = data[0];
  int n;
  uint32_t min;
  if (b < 0x80) { cp = b; return 1; }
  if ((b & 0xE0) == 0xC0) { n = 2; cp = b & 0x1F; min = 0x80; }
  else if ((b & 0xF0) == 0xE0) { n = 3; cp = b & 0x0F; min = 0x800; }
  else if ((b & 0xF8) == 0xF0) { n = 4; cp = b & 0x07; min = 0x10000; }
  else return 0;
  for (int i = 1; i < n; ++i) {
    if (static_cast<size_t>(i) >= size) return -1;
    if ((data[i] & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (data[i] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

bool Control(uint32_t cp) { return cp < 0x20 && cp != '\t' && cp != '\n' && cp != '\r' && cp != '\f'; }

// Text when nearly every character is valid and not a control character:
// a binary file's first KiBs hold NULs and invalid sequences early.
bool MostlyText(size_t bad, size_t total) { return total > 0 && bad * 100 <= total; }

bool Utf8Text(const uint8_t* data, size_t size) {
  size_t bad = 0, chars = 0;
  for (size_t i = 0; i < size;) {
    uint32_t cp = 0;
    const int n = Utf8At(data + i, size - i, cp);
    if (n < 0) break;  // cut by the end of what was read
    ++chars;
    if (n == 0 || Control(cp)) ++bad;
    i += n == 0 ? 1 : static_cast<size_t>(n);
  }
  return MostlyText(bad, chars);
}

uint16_t Unit16(const uint8_t* p, bool big) { return big ? static_cast<uint16_t>(p[0] << 8 | p[1]) : LoadLe<uint16_t>(p); }

bool Utf16Text(const uint8_t* data, size_t size, bool big) {
  size_t bad = 0, units = size / 2;
  for (size_t i = 0; i + 1 < size; i += 2) {
    const uint16_t u = Unit16(data + i, big);
    if (Control(u)) ++bad;
  }
  return units >= 2 && MostlyText(bad, units);
}

// UTF-16 without a mark: ASCII-range text has every other byte zero.
bool ZeroEveryOther(const uint8_t* data, size_t size, size_t zeroAt) {
  const size_t n = size & ~size_t{1};
  if (n < 4) return false;
  size_t zeros = 0;
  for (size_t i = zeroAt; i < n; i += 2) zeros += data[i] == 0;
  return zeros * 10 >= (n / 2) * 9;
}

void AppendShown(Text& out, uint32_t cp) {
  if (cp == '\n') {
    if (out.empty() || out.back() != u'\r') out += u'\r';
    out += u'\n';
    return;
  }
  if (Control(cp)) cp = 0xFFFD;
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (cp >> 10));
    out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
  } else {
    out += static_cast<char16_t>(cp);
  }
}

}  // namespace

Kind Classify(const uint8_t* data, size_t size) {
  if (size == 0) return Kind::Empty;
  if (Starts(data, size, "\xFF\xD8\xFF", 3)) return Kind::Jpeg;
  if (Starts(data, size, "\x89PNG\r\n\x1A\n", 8)) return Kind::Png;
  if (Starts(data, size, "GIF87a", 6) || Starts(data, size, "GIF89a", 6)) return Kind::Gif;
  if (LooksLikeBmp(data, size)) return Kind::Bmp;
  if (Starts(data, size, "\xEF\xBB\xBF", 3)) return Kind::Utf8Text;
  if (Starts(data, size, "\xFF\xFE", 2)) return Kind::Utf16LeText;
  if (Starts(data, size, "\xFE\xFF", 2)) return Kind::Utf16BeText;
  if (ZeroEveryOther(data, size, 1) && Utf16Text(data, size, false)) return Kind::Utf16LeText;
  if (ZeroEveryOther(data, size, 0) && Utf16Text(data, size, true)) return Kind::Utf16BeText;
  if (Utf8Text(data, size)) return Kind::Utf8Text;
  return Kind::Binary;
}

Text TextOf(Kind kind, const uint8_t* data, size_t size) {
  Text out;
  if (kind == Kind::Utf8Text) {
    size_t i = Starts(data, size, "\xEF\xBB\xBF", 3) ? 3 : 0;
    while (i < size) {
      uint32_t cp = 0;
      const int n = Utf8At(data + i, size - i, cp);
      if (n < 0) break;
      AppendShown(out, n == 0 ? 0xFFFD : cp);
      i += n == 0 ? 1 : static_cast<size_t>(n);
    }
  } else if (kind == Kind::Utf16LeText || kind == Kind::Utf16BeText) {
    const bool big = kind == Kind::Utf16BeText;
    size_t i = size >= 2 && Unit16(data, big) == 0xFEFF ? 2 : 0;
    for (; i + 1 < size; i += 2) {
      const uint16_t u = Unit16(data + i, big);
      if (u >= 0xD800 && u <= 0xDBFF) {
        if (i + 3 >= size) break;  // the pair is cut by the end
        const uint16_t low = Unit16(data + i + 2, big);
        if (low >= 0xDC00 && low <= 0xDFFF) {
          AppendShown(out, 0x10000 + ((u - 0xD800u) << 10) + (low - 0xDC00u));
          i += 2;
          continue;
        }
        AppendShown(out, 0xFFFD);
      } else {
        AppendShown(out, u >= 0xDC00 && u <= 0xDFFF ? 0xFFFD : u);
      }
    }
  }
  return out;
}

std::string HexDump(const uint8_t* data, size_t size, size_t maxBytes) {
  static const char kDigits[] = "0123456789abcdef";
  const size_t n = std::min(size, maxBytes);
  std::string out;
  for (size_t line = 0; line < n; line += 16) {
    char offset[24];
    std::snprintf(offset, sizeof offset, "%08zx  ", line);
    out += offset;
    std::string ascii;
    for (size_t i = line; i < line + 16; ++i) {
      if (i < n) {
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 15];
        out += ' ';
        ascii += data[i] >= 0x20 && data[i] < 0x7F ? static_cast<char>(data[i]) : '.';
      } else {
        out += "   ";
      }
      if (i == line + 7) out += ' ';
    }
    out += " |" + ascii + "|\n";
  }
  return out;
}

bool ReadStart(const EngineRow& engine, const FoundFile& file, size_t maxBytes, std::vector<uint8_t>& out) {
  out.clear();
  std::unique_ptr<FoundFileReader> reader = OpenFoundFile(engine, file);
  if (!reader) return false;
  out.resize(static_cast<size_t>(std::min<uint64_t>(maxBytes, reader->Size())));
  size_t got = 0;
  if (!ReadFoundFileRange(*reader, 0, out.data(), out.size(), got)) {
    out.clear();
    return false;
  }
  out.resize(got);
  return true;
}

bool AllZero(const uint8_t* data, size_t size) {
  return size > 0 && std::all_of(data, data + size, [](uint8_t b) { return b == 0; });
}

bool HasInUseFill(const uint8_t* data, size_t size) {
  size_t run = 0;
  for (size_t i = 0; i < size; ++i) {
    run = data[i] == '*' ? run + 1 : 0;
    if (run >= kInUseRun) return true;
  }
  return false;
}

namespace {

constexpr size_t kZeroScanChunk = 1024 * 1024;

// The bytes from `offset` to the end are all zero; false when a non-zero
// byte comes, the read fails or `cancelled` says so (`stopped` then set).
bool RestIsZero(FoundFileReader& reader, uint64_t offset, const std::function<bool()>& cancelled, bool& stopped) {
  std::vector<uint8_t> chunk(static_cast<size_t>(std::min<uint64_t>(kZeroScanChunk, reader.Size() - offset)));
  while (offset < reader.Size()) {
    if (cancelled()) {
      stopped = true;
      return false;
    }
    size_t got = 0;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(chunk.size(), reader.Size() - offset));
    if (!reader.ReadAt(offset, chunk.data(), want, got) || got == 0) return false;
    if (!AllZero(chunk.data(), got)) return false;
    offset += got;
  }
  return true;
}

}  // namespace

bool ReadPreview(const EngineRow& engine, const FoundFile& file, const std::function<bool()>& cancelled,
                 Preview& out) {
  out = Preview{};
  std::lock_guard<std::recursive_mutex> hold(EngineLock());
  if (cancelled()) return false;
  std::unique_ptr<FoundFileReader> reader = OpenFoundFile(engine, file);
  if (!reader) return false;
  out.size = reader->Size();
  size_t want = static_cast<size_t>(std::min<uint64_t>(kStartBytes, out.size));
  out.bytes.resize(want);
  size_t got = 0;
  if (!reader->ReadAt(0, out.bytes.data(), want, got)) return false;
  out.bytes.resize(got);
  out.kind = Classify(out.bytes.data(), out.bytes.size());
  out.inUseFill = HasInUseFill(out.bytes.data(), out.bytes.size());
  if (IsPicture(out.kind) && out.size > got) {
    want = static_cast<size_t>(std::min<uint64_t>(kPictureBytes, out.size));
    out.bytes.resize(want);
    size_t more = 0;
    if (cancelled() || !reader->ReadAt(got, out.bytes.data() + got, want - got, more)) return false;
    out.bytes.resize(got + more);
  }
  if (AllZero(out.bytes.data(), out.bytes.size()) && out.size <= kZeroScanBytes) {
    bool stopped = false;
    out.zeroed = RestIsZero(*reader, out.bytes.size(), cancelled, stopped);
    if (stopped) return false;
  }
  return true;
}

}  // namespace rv::preview
