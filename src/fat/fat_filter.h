// The folder and name filter of a search request, as the FAT search applies
// it to every candidate file.
#pragma once
#include "platform/types.h"

namespace rv {

// "*" matches any run, "?" one character; no backtracking after a literal
// run that follows a "*". Empty text or pattern never matches; a pattern of
// 260 characters or more does not fit the match buffers and never matches.
bool FatWildcardMatch(TextView text, TextView pattern, bool caseSensitive);

// folderPath: the file's folder ("\" ... "\"); requestFolder: the folder of
// the request, ending with "\" (or empty).
bool FatMatchesFilter(TextView folderPath, TextView fileName, TextView requestFolder, TextView pattern,
                      bool includeSubfolders);

}  // namespace rv
