#include "platform/text.h"

#include <cstring>

#include <cwctype>

#ifdef _WIN32
#include <windows.h>
#else
#include <locale.h>
#include <wctype.h>
#endif

namespace rv {

Text FromUtf8(std::string_view s) {
  Text out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    uint32_t cp = 0xFFFD;
    size_t n = 1;
    if (c < 0x80) {
      cp = c;
    } else if ((c & 0xE0) == 0xC0) {
      n = 2;
    } else if ((c & 0xF0) == 0xE0) {
      n = 3;
    } else if ((c & 0xF8) == 0xF0) {
      n = 4;
    }
    if (n > 1) {
      if (i + n > s.size()) {
        cp = 0xFFFD;
        n = 1;
      } else {
        cp = c & (0x7F >> n);
        bool ok = true;
        for (size_t k = 1; k < n; ++k) {
          unsigned char cc = static_cast<unsigned char>(s[i + k]);
          if ((cc & 0xC0) != 0x80) { ok = false; break; }
          cp = (cp << 6) | (cc & 0x3F);
        }
        if (!ok) { cp = 0xFFFD; n = 1; }
      }
    }
    if (cp >= 0x10000 && cp <= 0x10FFFF) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else if (cp > 0x10FFFF) {
      out.push_back(u'\xFFFD');
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += n;
  }
  return out;
}

std::string ToUtf8(TextView s) {
  std::string out;
  AppendUtf8(out, s);
  return out;
}

char* PutUtf8(TextView s, size_t& i, char* out) {
  uint32_t cp = s[i];
  if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
    cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
    ++i;
  } else if (cp >= 0xD800 && cp <= 0xDFFF) {
    cp = 0xFFFD;
  }
  if (cp < 0x80) {
    *out++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out++ = static_cast<char>(0xC0 | (cp >> 6));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (cp >> 12));
    *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (cp >> 18));
    *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

void AppendUtf8(std::string& out, TextView s) {
  // At most 3 bytes a unit: a pair of units makes 4.
  const size_t start = out.size();
  out.resize(start + 3 * s.size());
  char* p = out.data() + start;
  for (size_t i = 0; i < s.size(); ++i) p = PutUtf8(s, i, p);
  out.resize(static_cast<size_t>(p - out.data()));
}

char16_t UpcaseChar(char16_t c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
  if (c >= 0xD800 && c <= 0xDFFF) return c;
#ifdef _WIN32
  WCHAR w = static_cast<WCHAR>(c);
  ::CharUpperBuffW(&w, 1);
  return static_cast<char16_t>(w);
#else
  static locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  if (!loc) return c;
  wint_t u = towupper_l(static_cast<wint_t>(c), loc);
  // Keep the mapping inside the BMP and one unit long, as the system's does.
  return u <= 0xFFFF ? static_cast<char16_t>(u) : c;
#endif
}

Text Upcase(TextView s) {
  Text out(s);
  for (auto& c : out) c = UpcaseChar(c);
  return out;
}

bool EqualsIgnoreCase(TextView a, TextView b) {
  if (a.size() != b.size()) return false;
  if (a.empty() || std::memcmp(a.data(), b.data(), 2 * a.size()) == 0) return true;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i] && UpcaseChar(a[i]) != UpcaseChar(b[i])) return false;
  }
  return true;
}

size_t BoundedLength(const char16_t* s, size_t cap) {
  size_t n = 0;
  while (n < cap && s[n] != 0) ++n;
  return n;
}

void CopyToBuffer(char16_t* dst, size_t cap, TextView src) {
  if (cap == 0) return;
  size_t n = src.size() < cap - 1 ? src.size() : cap - 1;
  for (size_t i = 0; i < n; ++i) dst[i] = src[i];
  dst[n] = 0;
}

Text DecimalText(uint64_t v) {
  char16_t buf[24];
  int i = 24;
  do {
    buf[--i] = static_cast<char16_t>(u'0' + v % 10);
    v /= 10;
  } while (v != 0);
  return Text(buf + i, buf + 24);
}

Text PaddedDecimal(uint64_t v, int width) {
  Text t = DecimalText(v);
  while (static_cast<int>(t.size()) < width) t.insert(t.begin(), u'0');
  return t;
}

}  // namespace rv
