#include "shell/two_pane/criteria.h"

#include <algorithm>

namespace rv::shell {
namespace {

void Put32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

void Put64(std::vector<uint8_t>& out, size_t at, uint64_t v) {
  Put32(out, at, static_cast<uint32_t>(v));
  Put32(out, at + 4, static_cast<uint32_t>(v >> 32));
}

// Appends the text and its NUL; returns where it starts.
uint32_t AppendString(std::vector<uint8_t>& out, TextView text) {
  auto at = static_cast<uint32_t>(out.size());
  for (char16_t c : text) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  out.push_back(0);
  out.push_back(0);
  return at;
}

}  // namespace

std::vector<uint8_t> BuildCriteriaBlock(const SearchCriteria& c) {
  std::vector<uint8_t> out(kCriteriaHeaderBytes, 0);
  Put32(out, 4, c.dateFlags);
  Put64(out, 8, c.firstTime);
  Put64(out, 16, c.secondTime);
  Put32(out, 24, c.nameFlags);
  Put32(out, 36, c.ownerFlags);
  if (c.nameFlags & kNameGiven) Put32(out, 28, AppendString(out, c.pattern));
  if (c.nameFlags & kFolderGiven) Put32(out, 32, AppendString(out, c.folder));
  if (c.ownerFlags & kOwnerGiven) Put32(out, 40, AppendString(out, c.owner));
  if (c.ownerFlags & kDeleterGiven) Put32(out, 44, AppendString(out, c.deleter));
  Put32(out, 0, static_cast<uint32_t>(out.size()));
  return out;
}

std::vector<uint8_t> BuildShortCriteria(const SearchCriteria& c) {
  std::vector<uint8_t> out(4, 0);
  Put32(out, 0, (c.nameFlags & kSubfolders) ? 1 : 0);
  AppendString(out, (c.nameFlags & kNameGiven) ? TextView(c.pattern) : TextView());
  AppendString(out, (c.nameFlags & kFolderGiven) ? TextView(c.folder) : TextView());
  return out;
}

bool PatternGiven(TextView p) { return !p.empty() && p != u"*" && p != u"*.*"; }
bool FolderGiven(TextView f) { return !f.empty() && f != u"*"; }

Text WithTrailingSeparator(TextView folder) {
  Text t(folder);
  if (t.empty() || t.back() != u'\\') t += u'\\';
  return t;
}

uint64_t StartOfDay(uint64_t filetime) { return filetime - filetime % kFiletimeDay; }

uint64_t LastDaysStart(uint64_t now, uint32_t days) {
  uint64_t start = StartOfDay(now), back = static_cast<uint64_t>(days) * kFiletimeDay;
  return back > start ? 0 : start - back;
}

TimeRange DaysBetween(uint64_t a, uint64_t b) {
  uint64_t early = std::min(a, b), late = std::max(a, b);
  return {StartOfDay(early), StartOfDay(late) + kFiletimeDay - kFiletimeMillisecond};
}

}  // namespace rv::shell
