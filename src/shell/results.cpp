#include "shell/results.h"

#include <algorithm>
#include <limits>
#include <new>

#include "channel/receiver.h"

namespace rv::shell {
namespace {

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

Text Decimal(int64_t value) {
  std::string s = std::to_string(value);
  return Text(s.begin(), s.end());
}

// Days from 1 January of year 1 (proleptic Gregorian) to the given date.
int64_t CivilDays(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe;
}

char16_t Lower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

}  // namespace

Text FormatSizeText(uint64_t size) {
  std::string digits = std::to_string(size);
  Text out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += u',';
    out += static_cast<char16_t>(digits[i]);
  }
  out += u'B';
  return out;
}

Text ReorderDateText(TextView t, DateOrder order) {
  // The engine's shape: MM/DD/YYYY then the rest.
  if (order == DateOrder::MonthDayYear || t.size() < 10 || t[2] != u'/' || t[5] != u'/') return Text(t);
  TextView month = t.substr(0, 2), day = t.substr(3, 2), year = t.substr(6, 4), rest = t.substr(10);
  Text out;
  if (order == DateOrder::DayMonthYear) out = Text(day) + u"/" + Text(month) + u"/" + Text(year) + Text(rest);
  else out = Text(year) + u"/" + Text(month) + u"/" + Text(day) + Text(rest);
  // Only a rewrite of the same length replaces the engine's text.
  return out.size() == t.size() ? out : Text(t);
}

int64_t DateTextValue(TextView text, DateOrder order) {
  int64_t fields[5] = {};
  int count = 0;
  size_t i = 0;
  while (i < text.size() && count < 5) {
    while (i < text.size() && (text[i] == u'/' || text[i] == u' ' || text[i] == u':')) ++i;
    if (i >= text.size() || !IsDigit(text[i])) break;
    int64_t v = 0;
    while (i < text.size() && IsDigit(text[i])) {
      if (v < 100000) v = v * 10 + (text[i] - u'0');
      ++i;
    }
    fields[count++] = v;
  }
  if (count < 3) return 0;
  int64_t day, month, year;
  switch (order) {
    case DateOrder::DayMonthYear: day = fields[0], month = fields[1], year = fields[2]; break;
    case DateOrder::YearMonthDay: year = fields[0], month = fields[1], day = fields[2]; break;
    default: month = fields[0], day = fields[1], year = fields[2]; break;
  }
  int64_t hour = fields[3], minute = fields[4];
  // A trailing am or pm, in any case.
  size_t end = text.find_last_not_of(u' ');
  if (end != TextView::npos && end >= 1) {
    char16_t a = Lower(text[end - 1]), m = Lower(text[end]);
    if (m == u'm' && (a == u'a' || a == u'p')) {
      if (a == u'a' && hour == 12) hour = 0;
      else if (a == u'p' && hour != 12) hour += 12;
    }
  }
  // Out-of-range fields carry over as the C library's calendar
  // normalisation does (month 00 is the December before).
  int64_t monthIndex = year * 12 + (month - 1);
  int64_t y = monthIndex >= 0 ? monthIndex / 12 : (monthIndex - 11) / 12;
  int64_t m = monthIndex - y * 12 + 1;
  int64_t days = CivilDays(y, m, 1) + (day - 1);
  return (days * 24 + hour) * 60 + minute;
}

uint64_t DigitsValue(TextView text) {
  uint64_t v = 0;
  for (char16_t c : text) {
    if (!IsDigit(c)) continue;
    unsigned d = c - u'0';
    if (v > (std::numeric_limits<uint64_t>::max() - d) / 10) return std::numeric_limits<uint64_t>::max();
    v = v * 10 + d;
  }
  return v;
}

int32_t IntegerValue(TextView text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == u' ' || text[i] == u'\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) negative = text[i++] == u'-';
  int64_t v = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) v = std::min<int64_t>(v * 10 + (text[i] - u'0'), int64_t{1} << 32);
  v = negative ? -v : v;
  return static_cast<int32_t>(std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

std::array<Text, kResultColumns> RowTexts(const FoundFile& file, DateOrder order) {
  std::array<Text, kResultColumns> t;
  size_t cut = file.path.rfind(u'\\');
  t[kColName] = cut == Text::npos ? file.path : file.path.substr(cut + 1);
  t[kColSize] = FormatSizeText(file.size);
  t[kColDate] = ReorderDateText(file.time, order);
  t[kColFolder] = cut == Text::npos ? Text() : file.path.substr(0, cut + 1);
  // The locator prints as the signed number the undelete driver reads back.
  t[kColFirst] = Decimal(static_cast<int32_t>(file.locator));
  t[kColSecond] = file.second == 0xFFFFFFFFu ? Text(u" ") : Decimal(static_cast<int32_t>(file.second));
  return t;
}

ConditionWord WordFor(const FileCondition& c) {
  if (c.zeroed) return ConditionWord::Zeroed;
  if (c.carved && c.truncated) return ConditionWord::Truncated;
  if (c.share == 0) return ConditionWord::Overwritten;
  if (c.guessed) return ConditionWord::Guessed;
  if (c.share < 0) return ConditionWord::Unknown;
  return c.share >= 100 ? ConditionWord::Whole : ConditionWord::Partly;
}

Text ConditionText(const FileCondition& c, TextView word) {
  if (c.share < 0) return Text(word);
  Text out = Decimal(std::min(c.share, 100)) + u"%";
  if (!word.empty()) out += u" " + Text(word);
  return out;
}

int64_t ResultTextStore::Append(const std::array<Text, kResultColumns>& texts) {
  size_t needed = text_.size();
  for (const auto& t : texts) needed += t.size() + 1;
  try {
    if (needed > text_.capacity()) text_.reserve(needed + kGrowthBytes / sizeof(char16_t));
  } catch (const std::bad_alloc&) {
    return -1;
  }
  int64_t offset = static_cast<int64_t>(text_.size());
  for (const auto& t : texts) {
    text_.insert(text_.end(), t.begin(), t.end());
    text_.push_back(0);
  }
  return offset;
}

TextView ResultTextStore::Column(int64_t offset, int column) const {
  if (offset < 0 || static_cast<size_t>(offset) >= text_.size()) return {};
  size_t at = static_cast<size_t>(offset);
  for (int i = 0; i < column && at < text_.size(); ++i) {
    while (at < text_.size() && text_[at] != 0) ++at;
    ++at;
  }
  if (at >= text_.size()) return {};
  size_t end = at;
  while (end < text_.size() && text_[end] != 0) ++end;
  return TextView(text_.data() + at, end - at);
}

void ResultTextStore::Clear() {
  std::vector<char16_t>().swap(text_);
}

int OrdinalCompare(TextView a, TextView b) {
  int c = a.compare(b);
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

int SortRule::Compare(int column, TextView a, TextView b) const {
  auto sign = [](auto x, auto y) { return x < y ? -1 : x > y ? 1 : 0; };
  int result;
  switch (column) {
    // Sizes and numbers are compared, not subtracted: a subtraction of two
    // sizes from 2 GiB up, or of two record numbers far apart, overflows.
    case kColSize: result = sign(DigitsValue(a), DigitsValue(b)); break;
    case kColFirst:
    case kColSecond: result = sign(IntegerValue(a), IntegerValue(b)); break;
    case kColDate: result = sign(DateTextValue(a, order), DateTextValue(b, order)); break;
    case kColFolder:
      result = searchBar ? textCompare(a, b) : sign(DateTextValue(a, order), DateTextValue(b, order));
      break;
    default: result = textCompare(a, b); break;
  }
  return direction_ == 1 ? -result : result;
}

int SortRule::CompareSizes(uint64_t a, uint64_t b) const {
  const int result = a < b ? -1 : a > b ? 1 : 0;
  return direction_ == 1 ? -result : result;
}

int SortRule::CompareConditions(const FileCondition& a, const FileCondition& b) const {
  auto sign = [](int x, int y) { return x < y ? -1 : x > y ? 1 : 0; };
  int result = sign(std::max(a.share, -1), std::max(b.share, -1));
  if (result == 0) result = sign(static_cast<int>(WordFor(a)), static_cast<int>(WordFor(b)));
  return direction_ == 1 ? -result : result;
}

Summary SummaryFor(int rows, int selected, uint64_t selectedBytes, uint64_t freeBytes) {
  Summary s;
  if (selected > 0) {
    s.counts = {291, static_cast<uint64_t>(selected), false};
    s.bytes = {292, selectedBytes, false};
    return s;
  }
  s.counts = {288, static_cast<uint64_t>(rows > 0 ? rows : 0), false};
  if (freeBytes <= 1024) s.bytes = {289, freeBytes, true};
  else if (freeBytes <= 1048576) s.bytes = {305, (freeBytes + 512) / 1024, true};
  else s.bytes = {290, (freeBytes + 524288) / 1048576, true};
  return s;
}

ReportLineChoice ReportLineFor(uint32_t code) {
  switch (code) {
    case 776: return {101, true};
    case 777: return {102, true};
    case 778: return {104, false};
    case 779: return {103, false};
    case 783: return {284, true};
    case 784: return {283, true};
    case 785: return {377, false};
    default: return {143, false};
  }
}

}  // namespace rv::shell
