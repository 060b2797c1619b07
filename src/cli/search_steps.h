// The steps `search` and `recover` share: open the volume and choose its
// engine, run the search collecting what it finds, name a found file.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/session.h"

namespace rv::cli {

// Null (after a one-line refusal on stderr) when the volume cannot be searched.
// With `allowNoEngine` (--deep) a volume no engine serves is opened all
// the same, with `engine` null: the deep scan reads it by its sectors.
std::unique_ptr<OpenedVolume> OpenForEngine(const VolumeArgs& args, Engine& engine, bool allowNoEngine = false);
// Runs the search; `each` sees every file found, with its recoverable share
// when `estimate` is set. False, with the engine's refusal text in
// `refusal`, when the engine refused.
bool SearchFound(const SearchArgs& args, Engine engine, const OpenedVolume& v, bool estimate, std::string& refusal,
                 const std::function<void(const FoundFile&)>& each);
// Folders and records the last SearchFound could not read from the volume
// (each said on stderr as it was met).
uint64_t UnreadableOfLastSearch();
// Says how many the last search could not read, when any: a line on stderr
// (unless --quiet) and, with --json, the stream's closing object
// {"unreadable": N, "unreadable_at": [{"kind", "cluster" or "record", "folder", "error"}]}.
// The exit status that follows from it.
int SayUnreadable(const SearchArgs& args);
// "RECORD" on NTFS ("RECORD:STREAM" for a named data stream),
// "LOCATOR:INDEX" on FAT: what --id takes.
std::string LocatorText(const FoundFile& f, Engine engine);
// Whether the file has an index: the FAT entry index, or the number of an
// NTFS named data stream.
bool HasIndex(const FoundFile& f, Engine engine);

}  // namespace rv::cli
