// `--deep` on search and recover: the files found by their format in the
// volume's free clusters (src/carve), listed after the deleted files the
// engine lists, and recovered after them.
#pragma once
#include <set>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/session.h"

namespace rv::cli {

// "jpg,pdf,docx" into extensions; false (with the unknown one in `bad`)
// when a name is no format of the table.
bool ParseTypes(const std::string& list, std::vector<std::string>& types, std::string& bad);
// Whether an --id names a carved file ("deep:CLUSTER").
bool IsCarvedId(const std::string& id);

// The CSV header with --deep: the usual columns, then the carved files'.
extern const char* const kDeepCsvHeader;
// What a deleted file's CSV row gets after its usual fields with --deep.
constexpr const char* kDeepCsvEmptyFields = ",,,";

// Scans the volume and prints each carved file in the form `args` asks;
// `tableHeaderShown` says whether the table's title line is out already.
// Returns the exit code: 0, 1 when Ctrl-C stopped the scan, 2 when the
// volume could not be read.
int ListCarvedFiles(const SearchArgs& args, const OpenedVolume& v);
// Scans and recovers every carved file (or those `ids` names) into `dest`:
// unnamed ones into carved/<ext>/, named ones where their names say.
int RecoverCarvedFiles(const RecoverArgs& args, const OpenedVolume& v, const Text& dest,
                       const std::set<std::string>& ids);

}  // namespace rv::cli
