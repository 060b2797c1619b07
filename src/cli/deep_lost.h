// `--deep`, second part: the files whose records survive from an old file
// system (src/lost), found on the deep scan's own pass, listed and
// recovered under their names and folders. A carved file that starts at
// the first cluster of such a file is that file, not a second one.
#pragma once
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "carve/scan.h"
#include "channel/outfile.h"
#include "cli/commands.h"
#include "cli/recover_report.h"
#include "cli/session.h"
#include "lost/lost_file.h"
#include "lost/lost_on_pass.h"
#include "recovery/deep_report.h"

namespace rv::cli {

bool IsLostId(const std::string& id);

// The old records' scanners on the deep scan's pass.
using lost::LostOnPass;

// Output paths as this system writes them ("/" on POSIX).
std::string OutputPathText(const Text& enginePath);
// Prints the old files that pass the size filters, in the form `args`
// asks; returns how many.
size_t PrintLostFiles(const SearchArgs& args, const std::vector<lost::LostFile>& files);
// Recovers the old files (or those `ids` names) into `dest`, each into its
// folder with --keep-folders (made through `destination`, opened at
// `dest`); prints a line (or a JSON object) per file.
// Returns how many were not recovered; ids matched go into `matched`.
// Each file written, or not, goes into `report` when there is one.
size_t RecoverLostFiles(const RecoverArgs& args, const OpenedVolume& v, const std::vector<lost::LostFile>& files,
                        const Text& dest, OutputDestination& destination, const std::set<std::string>& ids,
                        std::set<std::string>& matched, RecoverReport* report);

}  // namespace rv::cli
