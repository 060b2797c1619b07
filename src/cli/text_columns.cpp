#include "cli/text_columns.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace rv::cli {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads exactly `n` digits at `at`.
bool Digits(std::string_view s, size_t& at, size_t n, int& out) {
  if (at > s.size() || s.size() - at < n) return false;
  int v = 0;
  for (size_t i = 0; i < n; ++i) {
    if (!IsDigit(s[at + i])) return false;
    v = v * 10 + (s[at + i] - '0');
  }
  at += n;
  out = v;
  return true;
}

bool LeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && LeapYear(y) ? 29 : kDays[m - 1];
}

// Decodes one UTF-8 sequence at `i`; a byte that starts none is taken alone
// as U+FFFD.
char32_t NextCodePoint(std::string_view s, size_t& i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
  if (n == 0 || i + n > s.size()) {
    ++i;
    return 0xFFFD;
  }
  char32_t cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
  for (size_t k = 1; k < n; ++k) {
    const unsigned char d = static_cast<unsigned char>(s[i + k]);
    if ((d & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (d & 0x3F);
  }
  i += n;
  return cp;
}

struct Range {
  char32_t first, last;
};

bool InRanges(char32_t c, const Range* ranges, size_t count) {
  const Range* end = ranges + count;
  const Range* r = std::upper_bound(ranges, end, c, [](char32_t v, const Range& x) { return v < x.first; });
  return r != ranges && c <= (r - 1)->last;
}

// Marks drawn over the character before them, and invisible format
// characters (sorted).
const Range kZeroWidth[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x05BF, 0x05BF}, {0x05C1, 0x05C2},
    {0x05C4, 0x05C5}, {0x05C7, 0x05C7}, {0x0610, 0x061A}, {0x064B, 0x065F}, {0x0670, 0x0670},
    {0x06D6, 0x06DC}, {0x06DF, 0x06E4}, {0x06E7, 0x06E8}, {0x06EA, 0x06ED}, {0x0711, 0x0711},
    {0x0730, 0x074A}, {0x07A6, 0x07B0}, {0x0900, 0x0902}, {0x093A, 0x093A}, {0x093C, 0x093C},
    {0x0941, 0x0948}, {0x094D, 0x094D}, {0x0951, 0x0957}, {0x0962, 0x0963}, {0x0981, 0x0981},
    {0x09BC, 0x09BC}, {0x09C1, 0x09C4}, {0x09CD, 0x09CD}, {0x0E31, 0x0E31}, {0x0E34, 0x0E3A},
    {0x0E47, 0x0E4E}, {0x0EB1, 0x0EB1}, {0x0EB4, 0x0EBC}, {0x0EC8, 0x0ECE}, {0x1160, 0x11FF},
    {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200F}, {0x202A, 0x202E}, {0x2060, 0x2064},
    {0x20D0, 0x20FF}, {0x302A, 0x302D}, {0x3099, 0x309A}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F},
    {0xFEFF, 0xFEFF}, {0x1F3FB, 0x1F3FF}, {0xE0000, 0xE0FFF},
};

// East Asian wide and full-width characters and emoji shown as pictures
// (sorted).
const Range kWide[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},   {0x23F0, 0x23F0},
    {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},   {0x2648, 0x2653},   {0x267F, 0x267F},
    {0x2693, 0x2693},   {0x26A1, 0x26A1},   {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},
    {0x26CE, 0x26CE},   {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
    {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},   {0x2728, 0x2728},
    {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},   {0x2757, 0x2757},   {0x2795, 0x2797},
    {0x27B0, 0x27B0},   {0x27BF, 0x27BF},   {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},
    {0x2E80, 0x303E},   {0x3041, 0x3098},   {0x309B, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},
    {0xA000, 0xA4CF},   {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},
    {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4}, {0x17000, 0x18CFF},
    {0x1B000, 0x1B2FF}, {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF}, {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A},
    {0x1F200, 0x1F251}, {0x1F300, 0x1F320}, {0x1F32D, 0x1F335}, {0x1F337, 0x1F37C}, {0x1F37E, 0x1F393},
    {0x1F3A0, 0x1F3CA}, {0x1F3CF, 0x1F3D3}, {0x1F3E0, 0x1F3F0}, {0x1F3F4, 0x1F3F4}, {0x1F3F8, 0x1F3FA},
    {0x1F400, 0x1F43E}, {0x1F440, 0x1F440}, {0x1F442, 0x1F4FC}, {0x1F4FF, 0x1F53D}, {0x1F54B, 0x1F54E},
    {0x1F550, 0x1F567}, {0x1F57A, 0x1F57A}, {0x1F595, 0x1F596}, {0x1F5A4, 0x1F5A4}, {0x1F5FB, 0x1F64F},
    {0x1F680, 0x1F6C5}, {0x1F6CC, 0x1F6CC}, {0x1F6D0, 0x1F6D2}, {0x1F6D5, 0x1F6D7}, {0x1F6DC, 0x1F6DF},
    {0x1F6EB, 0x1F6EC}, {0x1F6F4, 0x1F6FC}, {0x1F7E0, 0x1F7EB}, {0x1F7F0, 0x1F7F0}, {0x1F90C, 0x1F93A},
    {0x1F93C, 0x1F945}, {0x1F947, 0x1F9FF}, {0x1FA70, 0x1FAFF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

size_t CodePointWidth(char32_t c) {
  if (c == 0x200D || InRanges(c, kZeroWidth, std::size(kZeroWidth))) return 0;
  return InRanges(c, kWide, std::size(kWide)) ? 2 : 1;
}

}  // namespace

bool ParseSize(std::string_view text, uint64_t& bytes) {
  size_t i = 0;
  uint64_t whole = 0;
  if (text.empty() || !IsDigit(text[0])) return false;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
    if (whole > (UINT64_MAX - digit) / 10) return false;
    whole = whole * 10 + digit;
  }
  // A fraction only makes sense with a unit: "1.5M".
  uint64_t fraction = 0, scale = 1;
  if (i < text.size() && text[i] == '.') {
    ++i;
    if (i >= text.size() || !IsDigit(text[i])) return false;
    for (; i < text.size() && IsDigit(text[i]); ++i) {
      if (scale >= 1000000000ull) continue;  // further digits cannot matter
      fraction = fraction * 10 + static_cast<uint64_t>(text[i] - '0');
      scale *= 10;
    }
  }
  std::string unit;
  for (; i < text.size(); ++i) unit.push_back(static_cast<char>(text[i] >= 'a' && text[i] <= 'z' ? text[i] - 32 : text[i]));
  int shift = 0;
  if (!unit.empty()) {
    const char u = unit[0];
    shift = u == 'B' ? 0 : u == 'K' ? 10 : u == 'M' ? 20 : u == 'G' ? 30 : u == 'T' ? 40 : -1;
    const std::string rest = unit.substr(1);
    const bool ok = u == 'B' ? rest.empty() : (rest.empty() || rest == "B" || rest == "IB");
    if (shift < 0 || !ok) return false;
  }
  if (scale > 1 && shift == 0) return false;
  if (shift > 0 && whole > (UINT64_MAX >> shift)) return false;
  bytes = (whole << shift) + ((fraction << shift) / scale);
  return true;
}

bool ParseIsoTime(std::string_view s, TypedTime& t) {
  TypedTime out;
  size_t at = 0;
  if (!Digits(s, at, 4, out.year) || at >= s.size() || s[at++] != '-' || !Digits(s, at, 2, out.month) ||
      at >= s.size() || s[at++] != '-' || !Digits(s, at, 2, out.day))
    return false;
  if (at < s.size() && (s[at] == 'T' || s[at] == 't' || s[at] == ' ')) {
    ++at;
    if (!Digits(s, at, 2, out.hour) || at >= s.size() || s[at++] != ':' || !Digits(s, at, 2, out.minute)) return false;
    if (at < s.size() && s[at] == ':') {
      ++at;
      if (!Digits(s, at, 2, out.second)) return false;
    }
  }
  if (at < s.size() && (s[at] == 'Z' || s[at] == 'z')) {
    out.utc = true;
    ++at;
  }
  if (at != s.size()) return false;
  if (out.year < 1601 || out.month < 1 || out.month > 12 || out.day < 1 || out.day > DaysInMonth(out.year, out.month) ||
      out.hour > 23 || out.minute > 59 || out.second > 59)
    return false;
  t = out;
  return true;
}

int CompareCalendar(const TypedTime& a, const TypedTime& b) {
  const int x[] = {a.year, a.month, a.day, a.hour, a.minute, a.second};
  const int y[] = {b.year, b.month, b.day, b.hour, b.minute, b.second};
  for (int i = 0; i < 6; ++i)
    if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
  return 0;
}

int64_t UnixSecondsOfUtc(const TypedTime& t) {
  // Days from the civil date (Howard Hinnant's algorithm).
  const int y = t.year - (t.month <= 2 ? 1 : 0);
  const int era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned mp = static_cast<unsigned>(t.month + (t.month > 2 ? -3 : 9));
  const unsigned doy = (153 * mp + 2) / 5 + static_cast<unsigned>(t.day) - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t days = int64_t{era} * 146097 + doe - 719468;
  return days * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

size_t DisplayWidth(std::string_view utf8) {
  size_t width = 0;
  for (size_t i = 0; i < utf8.size();) width += CodePointWidth(NextCodePoint(utf8, i));
  return width;
}

std::string PadToWidth(const std::string& utf8, size_t width) {
  const size_t have = DisplayWidth(utf8);
  return have >= width ? utf8 : utf8 + std::string(width - have, ' ');
}

std::string ShortenFromStart(const std::string& utf8, size_t width) {
  if (DisplayWidth(utf8) <= width) return utf8;
  if (width == 0) return std::string();
  // Code points from the end while they fit beside the "…" (one column).
  std::vector<size_t> starts;
  for (size_t i = 0; i < utf8.size();) {
    starts.push_back(i);
    NextCodePoint(utf8, i);
  }
  size_t used = 1, from = utf8.size();
  for (size_t k = starts.size(); k-- > 0;) {
    size_t i = starts[k];
    const size_t w = CodePointWidth(NextCodePoint(utf8, i));
    if (used + w > width) break;
    used += w;
    from = starts[k];
  }
  // A combining mark left at the front would sit on the "…".
  while (from < utf8.size()) {
    size_t i = from;
    if (CodePointWidth(NextCodePoint(utf8, i)) != 0) break;
    from = i;
  }
  return "\u2026" + utf8.substr(from);
}

std::string HumanSize(uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes);
  static const char kUnits[] = "KMGTPE";
  double v = static_cast<double>(bytes);
  int unit = -1;
  while (v >= 1024 && unit < 5) {
    v /= 1024;
    ++unit;
  }
  // One decimal below ten, as ls -h; rounded up so a size is never shown smaller than it is.
  char buf[32];
  if (v < 10) {
    double up = static_cast<double>(static_cast<uint64_t>(v * 10 + 0.999999)) / 10;
    if (up >= 10) std::snprintf(buf, sizeof buf, "%.0f%c", up, kUnits[unit]);
    else std::snprintf(buf, sizeof buf, "%.1f%c", up, kUnits[unit]);
  } else {
    const uint64_t up = static_cast<uint64_t>(v + 0.999999);
    if (up >= 1024 && unit < 5) std::snprintf(buf, sizeof buf, "1.0%c", kUnits[unit + 1]);
    else std::snprintf(buf, sizeof buf, "%llu%c", static_cast<unsigned long long>(up), kUnits[unit]);
  }
  return buf;
}

std::string CsvField(const std::string& utf8) {
  if (utf8.find_first_of(",\"\r\n") == std::string::npos) return utf8;
  std::string out = "\"";
  for (char c : utf8) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

}  // namespace rv::cli
