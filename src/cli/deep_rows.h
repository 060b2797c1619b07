// The machine-readable rows of `--deep` (--json, --csv, --bodyfile): a
// carved file and a file of an old file system are listed with the same
// keys and columns, in the same order, so that one reader takes both.
#pragma once
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "cli/commands.h"

namespace rv::cli {

struct DeepRow {
  std::string name;
  std::string folder;  // "\a\b\"
  uint64_t size = 0;
  std::string time;      // the deleted entry's time as the search lists it; "" for none
  std::string modified;  // ISO 8601 UTC; "" (null in JSON) for none
  uint64_t locator = 0;  // the first cluster
  int recoverable = 100;
  bool carved = false;
  std::string format;  // the format's name, or where the old record was found
  std::string extension;
  uint64_t offset = 0;  // the file's first byte, or its old record's
  bool truncated = false;
  std::string id;
  // The CSV's modified and recoverable columns: a carved file's time and an
  // old record's percentage are in its JSON alone.
  std::string csvModified, csvRecoverable;
  // The bodyfile's note after the path, and its mtime (Unix seconds).
  const char* bodyNote = "";
  int64_t bodyMtime = 0;
};

// Prints `row` in the machine form `args` asks and returns true; false
// (printing nothing) when the table is wanted.
bool PrintDeepRow(const SearchArgs& args, const DeepRow& row);

// One JSON object a line, bytes that are not UTF-8 replaced.
std::string JsonLine(const nlohmann::ordered_json& j);

// The keys a recovered file's JSON line starts with: where it was found,
// its result code, where it was and where it was written (null when it
// was not), and its size.
nlohmann::ordered_json RecoveredJson(uint64_t locator, uint32_t code, const std::string& source,
                                     const std::string& output, uint64_t size);

}  // namespace rv::cli
