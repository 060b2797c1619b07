// The search panel's criteria as the recovery service takes them: one
// block of little-endian 32-bit fields and UTF-16 strings, and a short form
// for services of level 2 or less. Also the panel's reading rules and its
// date arithmetic in FILETIME units (100 ns since 1 January 1601), which is
// done on local times: no time-zone shift is applied.
//
// Block layout (byte offsets; strings are offsets from the block's start,
// 0 when absent):
//    0 total size          4 date flags (bit 0 on, bit 1 date kind, bit 2 range)
//    8 first FILETIME     16 second FILETIME (0 in the last-N-days form)
//   24 name flags (bit 0 pattern, bit 1 folder, bit 2 subfolders)
//   28 pattern offset     32 folder offset
//   36 owner flags (bit 0 owner, bit 1 deleter)
//   40 owner offset       44 deleter offset
//   48 the present strings, NUL-terminated, in the order pattern, folder,
//      owner, deleter
#pragma once
#include <cstdint>
#include <vector>

#include "platform/types.h"

namespace rv::shell {

constexpr uint32_t kCriteriaHeaderBytes = 48;
constexpr uint64_t kFiletimeDay = 864000000000ull;
constexpr uint64_t kFiletimeMillisecond = 10000;

enum : uint32_t { kDateOn = 1, kDateKindBit = 2, kDateRange = 4 };
enum : uint32_t { kNameGiven = 1, kFolderGiven = 2, kSubfolders = 4 };
enum : uint32_t { kOwnerGiven = 1, kDeleterGiven = 2 };

struct SearchCriteria {
  uint32_t dateFlags = 0;
  uint64_t firstTime = 0;
  uint64_t secondTime = 0;
  uint32_t nameFlags = 0;
  Text pattern;  // used when kNameGiven is set
  Text folder;   // used when kFolderGiven is set
  uint32_t ownerFlags = 0;
  Text owner;    // used when kOwnerGiven is set
  Text deleter;  // used when kDeleterGiven is set
};

std::vector<uint8_t> BuildCriteriaBlock(const SearchCriteria& c);
// The subfolders flag (0 or 1), then the pattern and the folder, each
// NUL-terminated; an absent one is an empty string.
std::vector<uint8_t> BuildShortCriteria(const SearchCriteria& c);

// Reading rules of the name and folder page: "", "*" and "*.*" name no
// pattern; "" and "*" name no folder; a folder always ends in "\".
bool PatternGiven(TextView pattern);
bool FolderGiven(TextView folder);
Text WithTrailingSeparator(TextView folder);

// Dates. `now` is the local time as a FILETIME value.
uint64_t StartOfDay(uint64_t filetime);
// Within the last `days` days: from the start of today minus that many days.
uint64_t LastDaysStart(uint64_t now, uint32_t days);
// Between two picked dates, whichever is earlier: from 00:00:00.000 of the
// earlier to 23:59:59.999 of the later.
struct TimeRange {
  uint64_t first;
  uint64_t second;
};
TimeRange DaysBetween(uint64_t a, uint64_t b);

}  // namespace rv::shell
