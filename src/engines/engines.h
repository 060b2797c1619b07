// The table of engines: one row per file system family, holding all that a
// front end needs to run that engine. The command line and the window pick
// a row by the volume's file-system name and go through it; adding a file
// system means one folder for its engine, one for its on-disk format code
// and one row here.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "channel/file_reader.h"
#include "channel/packet.h"
#include "channel/receiver.h"
#include "platform/types.h"

namespace rv {

struct EngineRow {
  const char* name;  // "NTFS", "FAT", "exFAT"
  // The file-system names (as the volume reports them) this engine serves.
  bool (*serves)(TextView fileSystemName);
  BOOL (*search)(const RequestPacket& packet);
  BOOL (*undelete)(const RequestPacket& packet);
  std::atomic<int32_t>* runState;
  // The undelete request for found files, recovered into `destination`.
  std::vector<uint8_t> (*undeleteRequest)(TextView destination, const std::vector<FoundFile>& files);
  // Whether a found file's second word is shown and typed as its index
  // ("LOCATOR:INDEX"): a FAT entry index, an NTFS named stream's number.
  bool (*hasIndex)(const FoundFile& file);
  // Whether an undelete result answers for this found file.
  bool (*resultIsFor)(const FoundFile& file, const UndeleteOutcome& result);
  // Recoverable share of a found file: asked while the engine is listing it
  // (streaming) or after the search (the walk is over), whichever the
  // engine can answer; null where it cannot.
  bool (*recoverableWhileListed)(uint32_t& percent);
  bool (*recoverableAfterSearch)(const FoundFile& file, uint32_t& percent);
  // What the last search passed over, and why (a plural phrase). `always`:
  // the user is told even without --verbose (something a search might be
  // expected to list was left out), else only when asked.
  uint64_t (*passedOverByLastSearch)(const char*& why, bool& always);
  // A recovery from a lost chain guesses clusters past the first one.
  bool guessesClusters;
  // An image cut short inside the cluster area is refused (FAT: a walk would
  // meet folders that are not there); a missing tail past it is only said.
  bool refusesCutClusters;
  // Frees the engine's volume data (the volume is set up again next time).
  void (*release)();
  // Whether a result says its file's clusters were guessed, for engines
  // that tell it per file (exFAT: only a file whose chain is gone); null
  // where `guessesClusters` decides.
  bool (*resultGuessed)(const UndeleteOutcome& result) = nullptr;
  // A reader of a found file of the last search; null when the file is no
  // longer a deleted file there (its record or entry changed).
  std::unique_ptr<FoundFileReader> (*openReader)(const FoundFile& file) = nullptr;
};

// The row for a file-system name, or null when no engine serves it.
const EngineRow* EngineForFileSystem(TextView fileSystemName);
// Where the window sends a name no row serves: the FAT engine, which
// refuses what it cannot read with its own message.
const EngineRow& FallbackEngine();
const std::vector<const EngineRow*>& AllEngines();

// Runs a search or an undelete through the row's shell, with `receiver`
// taking every controller message the engine posts.
bool RunEngineSearch(const EngineRow& engine, const SearchRequestFields& request, MessageReceiver& receiver);
bool RunEngineUndelete(const EngineRow& engine, const std::vector<uint8_t>& payload, MessageReceiver& receiver);

// The engines keep their volume in process-wide records and are called one
// at a time: searches, undeletes and reads from several threads take this
// lock (RunEngineSearch, RunEngineUndelete, OpenFoundFile and ReadFoundFileRange do).
// Recursive, so an event handler of a search may read a file.
std::recursive_mutex& EngineLock();
// The reader of a found file, or null (see EngineRow::openReader).
std::unique_ptr<FoundFileReader> OpenFoundFile(const EngineRow& engine, const FoundFile& file);
// One read under the engine lock.
bool ReadFoundFileRange(FoundFileReader& reader, uint64_t offset, uint8_t* dest, size_t length, size_t& got);

// Asks every running engine to stop between records, entries or chunks.
void StopEngines();
// No engine is running or winding down.
bool EnginesIdle();

}  // namespace rv
