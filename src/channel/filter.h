// Name and folder filters of both engines' searches: the wildcard match of
// a file name against the user's pattern, and the test whether a found
// file lies in the folder the search asked for.
#pragma once
#include "platform/types.h"

namespace rv {

// Longest pattern the match accepts; longer ones match nothing.
constexpr size_t kMaxPatternUnits = 259;

// "*" matches any run of characters, "?" exactly one. A literal run after a
// "*" matches its first occurrence, or, when it ends the pattern, the end of
// the text; there is no backtracking. Empty text or pattern never match.
bool WildcardMatch(TextView text, TextView pattern, bool caseSensitive);

// The file passes when its name matches a non-empty pattern and its folder
// path ("\a\b\") is the request's folder (or, with subfolders, lies below
// it). An empty request folder, or "\" with subfolders, takes every folder.
bool FolderFilter(TextView folderPath, TextView fileName, TextView requestFolder, TextView pattern,
                  bool includeSubfolders);

}  // namespace rv
