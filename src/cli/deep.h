// `--deep` on search and recover: the files found by their format in the
// volume's free clusters (src/carve), listed after the deleted files the
// engine lists, and recovered after them.
#pragma once
#include <map>
#include <set>
#include <string>
#include <vector>

#include "carve/scan.h"
#include "channel/outfile.h"
#include "cli/commands.h"
#include "cli/recover_report.h"
#include "cli/session.h"
#include "lost/lost_file.h"

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

// The deep scan of a volume after its normal search: the carved files, the
// files of an old file system found on the same pass, and which of the
// search's deleted files a carved file is.
struct DeepPass {
  DeepPass() = default;
  // The carved files point into `known`.
  DeepPass(const DeepPass&) = delete;
  DeepPass& operator=(const DeepPass&) = delete;
  carve::ScanStatus status = carve::ScanStatus::Done;
  std::string error;
  // The search's deleted files whose first cluster is known, as the scan
  // takes them (KnownFile::tag: the file's index in the search's list).
  std::vector<carve::KnownFile> known;
  // The carved files to list and recover, in volume order: neither an old
  // file's data nor a deleted file that keeps its own row. One that is a
  // deleted file of the search carries it in `known`.
  std::vector<carve::CarvedFile> carved;
  std::vector<lost::LostFile> lost;
  // Carved files that start where an old file of `lost` does: that file's
  // data, found by its format (a mount shows them under its name).
  std::vector<carve::CarvedFile> ofOldFiles;
  // Per file of the search's list: a carved file is that file, listed and
  // recovered as the carved one under its name.
  std::vector<bool> replaced;
  // Those files by KnownFile::tag: their times go with the carved file.
  std::map<uint64_t, FoundFile> entries;
  // The deleted file a carved file is, where it replaced that file's row.
  const FoundFile* EntryOf(const carve::CarvedFile& f) const;
  // The search's files, less those a carved file replaced.
  std::vector<FoundFile> KeptAsListed(const std::vector<FoundFile>& found) const;
};

// Scans the volume, fed the deleted files the engine's search listed
// (`found`, of `engine`, which may be null). A carved file that starts at
// a deleted file's first cluster is that file and takes its name and
// folder. It replaces the file's own row where the engine only guesses the
// clusters after the first (a FAT chain that is gone) and the format
// measures the file whole at the size its entry gives; otherwise the
// file's own row stays and the carved one is not listed. Either way the
// clusters the file accounts for are not carved again. `readNext`: the
// files found are read right after (recovered or mounted), so the pass
// leaves the volume's bytes in the system's cache. False (refused, said on
// stderr) when the volume cannot be scanned.
bool RunDeepPass(const SearchArgs& args, const OpenedVolume& v, Engine engine, const std::vector<FoundFile>& found,
                 bool readNext, DeepPass& out);

// Whether a carved file passes the size filters.
bool PassesSizeFilters(const carve::CarvedFile& f, const Filters& filters);

// Prints the pass's files in the form `args` asks. Returns the exit code:
// 0, 1 when Ctrl-C stopped the scan, 2 when the volume could not be read.
int ListCarvedFiles(const SearchArgs& args, const OpenedVolume& v, const DeepPass& pass);
// Recovers the pass's old and carved files (or those `ids` names) through
// `destination` (opened at `dest`): unnamed ones into carved/<ext>/, named
// ones where their names say (into their folders with --keep-folders).
// Each file written, or not, goes into `report` when there is one.
int RecoverCarvedFiles(const RecoverArgs& args, const OpenedVolume& v, const Text& dest,
                       OutputDestination& destination, const std::set<std::string>& ids, const DeepPass& pass,
                       RecoverReport* report);

}  // namespace rv::cli
