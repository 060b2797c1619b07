#include "channel/filter.h"

#include "platform/text.h"

namespace rv {
namespace {

bool HasWildcard(TextView s) { return s.find_first_of(u"*?") != TextView::npos; }

}  // namespace

bool WildcardMatch(TextView textIn, TextView patternIn, bool caseSensitive) {
  if (textIn.empty() || patternIn.empty() || patternIn.size() > kMaxPatternUnits) return false;
  if (!HasWildcard(patternIn)) {
    if (textIn.size() != patternIn.size()) return false;
    return caseSensitive ? textIn == patternIn : EqualsIgnoreCase(textIn, patternIn);
  }
  const Text text = caseSensitive ? Text(textIn) : Upcase(textIn);
  const Text pattern = caseSensitive ? Text(patternIn) : Upcase(patternIn);
  size_t t = 0, p = 0;
  bool starPending = false;
  while (p < pattern.size()) {
    const char16_t c = pattern[p];
    if (c == u'*') {
      starPending = true;
      ++p;
      continue;
    }
    if (c == u'?') {
      if (t >= text.size()) return false;
      ++t;
      ++p;
      starPending = false;
      continue;
    }
    size_t end = pattern.find_first_of(u"*?", p);
    if (end == Text::npos) end = pattern.size();
    const TextView run = TextView(pattern).substr(p, end - p);
    if (!starPending) {
      if (TextView(text).substr(t, run.size()) != run) return false;
      t += run.size();
    } else if (end == pattern.size()) {
      // The last literal run is compared with the end of the text.
      if (text.size() - t < run.size()) return false;
      if (TextView(text).substr(text.size() - run.size()) != run) return false;
      t = text.size();
    } else {
      const size_t found = TextView(text).find(run, t);
      if (found == TextView::npos) return false;
      t = found + run.size();
    }
    starPending = false;
    p = end;
  }
  return t >= text.size() || starPending;
}

bool FolderFilter(TextView folderPath, TextView fileName, TextView requestFolder, TextView pattern,
                  bool includeSubfolders) {
  if (!pattern.empty() && !WildcardMatch(fileName, pattern, false)) return false;
  if (requestFolder.empty() || (includeSubfolders && requestFolder == u"\\")) return true;
  const size_t n = requestFolder.size();
  if (folderPath.size() < n) return false;
  if (includeSubfolders) {
    if (!EqualsIgnoreCase(folderPath.substr(0, n), requestFolder)) return false;
    return folderPath.size() == n || folderPath[n - 1] == u'\\';
  }
  return folderPath.size() == n && EqualsIgnoreCase(folderPath, requestFolder);
}

}  // namespace rv
