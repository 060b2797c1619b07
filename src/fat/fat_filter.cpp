#include "fat/fat_filter.h"

#include "platform/text.h"

namespace rv {
namespace {

constexpr size_t kMatchBufferUnits = 260;

bool Equal(TextView a, TextView b, bool caseSensitive) { return caseSensitive ? a == b : EqualsIgnoreCase(a, b); }

}  // namespace

bool FatWildcardMatch(TextView text, TextView pattern, bool caseSensitive) {
  if (text.empty() || pattern.empty()) return false;
  if (pattern.find_first_of(u"*?") == TextView::npos)
    return text.size() == pattern.size() && Equal(text, pattern, caseSensitive);
  if (text.size() >= kMatchBufferUnits || pattern.size() >= kMatchBufferUnits) return false;
  const Text t = caseSensitive ? Text(text) : Upcase(text);
  const Text p = caseSensitive ? Text(pattern) : Upcase(pattern);
  size_t ti = 0, pi = 0;
  bool star = false;
  for (;;) {
    if (pi == p.size()) return ti == t.size() || star;
    if (p[pi] == u'*') {
      star = true;
      ++pi;
      continue;
    }
    if (p[pi] == u'?') {
      if (ti == t.size()) return false;
      ++ti;
      ++pi;
      star = false;
      continue;
    }
    size_t runEnd = p.find_first_of(u"*?", pi);
    if (runEnd == Text::npos) runEnd = p.size();
    const TextView run = TextView(p).substr(pi, runEnd - pi);
    if (!star) {
      if (TextView(t).substr(ti, run.size()) != run) return false;
      ti += run.size();
    } else if (runEnd == p.size()) {
      // The last literal run is compared with the end of the text.
      if (t.size() - ti < run.size()) return false;
      if (TextView(t).substr(t.size() - run.size()) != run) return false;
      ti = t.size();
    } else {
      const size_t at = TextView(t).find(run, ti);
      if (at == TextView::npos) return false;
      ti = at + run.size();
    }
    star = false;
    pi = runEnd;
  }
}

bool FatMatchesFilter(TextView folderPath, TextView fileName, TextView requestFolder, TextView pattern,
                      bool includeSubfolders) {
  if (!pattern.empty() && !FatWildcardMatch(fileName, pattern, false)) return false;
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
