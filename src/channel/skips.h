// Records and entries a search passes over because they are damaged, with
// where they are: the MFT record number, or the FAT folder's first cluster
// and entry index, and the path as far as it is known. Front ends that want
// them (retriva search --verbose) set a reporter; the window does not.
#pragma once
#include <cstdint>
#include <functional>

#include "platform/types.h"

namespace rv {

struct SkippedRecord {
  const char* kind = "";   // "MFT record", "FAT entry"
  uint64_t where = 0;      // record number, or the folder's first cluster
  uint32_t index = 0;      // FAT: the entry's index in its folder
  Text path;               // as far as it is known; may be empty
  const char* why = "";
  // What the search did with it: passed over, or read all the same (a
  // folder read another way than its chain, `why` says how), or
  // kCouldNotRead: a read from the volume failed, so what it holds (a
  // folder's files, a record's file) may be missing from the listing.
  const char* action = "passed over";
};

inline constexpr const char* kCouldNotRead = "could not read";

using SkipReporter = std::function<void(const SkippedRecord&)>;

// Set for the length of a search on the searching thread; null for none.
void SetSkipReporter(const SkipReporter* reporter);
bool SkipsWanted();
void ReportSkipped(const SkippedRecord& record);

}  // namespace rv
