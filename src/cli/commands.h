// The subcommands of the retriva command.
#pragma once
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cli/text_columns.h"
#include "cli/volume_arg.h"
#include "recovery/filters.h"
#include "recovery/truncation.h"

namespace rv::cli {

// Exit codes shared by every subcommand.
constexpr int kExitOk = 0;
constexpr int kExitSomeFailed = 1;
constexpr int kExitRefused = 2;

// What users narrow a listing by: --modified-after includes the moment
// given, --modified-before excludes it.
using Filters = FileFilters;

struct SearchArgs {
  VolumeArgs volume;
  std::string pattern;
  std::string folder;
  bool noSubfolders = false;
  bool json = false;
  bool bodyfile = false;  // TSK body-file lines (search)
  bool csv = false;       // a CSV table (search)
  bool verbose = false;  // what the search passed over, on stderr
  bool quiet = false;    // no progress, summary or warnings: rows and errors only
  bool human = false;    // sizes as 1.5K, 23M
  Filters filters;
  bool deep = false;                    // also the files found by their format in free clusters
  std::string deepTypesText;            // --types as typed: "jpg,pdf,docx"
  std::vector<std::string> deepTypes;  // --types: the formats the deep scan keeps (empty: all)
};

struct RecoverArgs {
  SearchArgs search;
  std::string destination;
  std::vector<std::string> ids;
  bool keepFolders = false;
  bool toStdout = false;     // one file's bytes to standard output  // the volume's folders made again under the destination
  std::string report;        // --report FILE: CSV, DFXML (.xml) or sha256sum lines (.sha256)
  std::string commandLine;   // as typed, for the report
};

struct MountArgs {
  SearchArgs search;
  std::string mountPoint;
  bool daemon = false;  // detach once mounted
};

int RunInfo(const VolumeArgs& args, bool json);
// Linux with FUSE 3 only; elsewhere a refusal that says so.
int RunMount(const MountArgs& args);
int RunSearch(const SearchArgs& args);
int RunRecover(const RecoverArgs& args);

// One-line refusal on stderr, naming the volume.
void Refuse(const std::string& reason);
// Why a volume holds no file system an engine serves: the reason the
// volume layer found (an exFAT boot region failing its checksum), or the
// one wording for every other case.
std::string NoFileSystemText(const OpenedVolume& v);

// The core's truncation rule for an opened volume, named as the user typed it.
using rv::Truncation;
Truncation CheckTruncation(const OpenedVolume& v, std::string& text);
// Damage the volume is read around (an exFAT backup boot region in use):
// a warning on stderr, naming the volume, from every subcommand alike.
void WarnOfVolumeNotice(const OpenedVolume& v);

// UTF-8 text as it may be shown on a terminal: names from a damaged or
// hostile disk can hold control characters (ESC starts a terminal command),
// so C0 controls, DEL and the C1 controls each become "?". JSON output is
// escaped instead and never goes through this.
std::string ForTerminal(const std::string& utf8);
// Whether the stream is a terminal (progress and line buffering are for one).
bool IsTerminal(std::FILE* stream);

}  // namespace rv::cli
