// One engine call from the command line: builds the request exactly as the
// window's workers do, runs the engine shell chosen by the volume's file
// system, and collects the controller messages it posts.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "channel/messages.h"
#include "cli/volume_arg.h"
#include "platform/types.h"

namespace rv::cli {

struct FoundFile {
  uint32_t locator = 0;
  uint32_t second = 0;  // FAT entry index; 0xFFFFFFFF on NTFS
  uint32_t size = 0;
  Text time;
  Text path;    // as posted: volume prefix + folder + name
  Text folder;  // inside the volume, with leading and trailing "\"
  Text name;
  int recoverable = -1;  // percent, or -1 when unknown
};

struct UndeleteOutcome {
  uint32_t code = 0;
  uint32_t record = 0;
  Text source;
  Text output;
};

enum class Engine { Ntfs, Fat, None };

struct EngineEvents {
  // The file is the dispatcher's own and is reused for the next one: a
  // handler may change it, and copies what it keeps.
  std::function<void(FoundFile&)> onFound;
  std::function<void(uint32_t percent, const Text& text)> onSearchProgress;
  std::function<void(const Text& text)> onShowMessage;
  std::function<void(uint32_t value, const Text& text)> onFileStarted;
  std::function<void(uint32_t percent, const Text& name)> onUndeleteProgress;
  std::function<void(const UndeleteOutcome&)> onResult;
};

// The engine for a volume: NTFS for "NTFS", FAT for the FAT names, none for
// the rest (the shells refuse those too, with the same message).
Engine EngineFor(const OpenedVolume& volume, std::string& fileSystemName);

// Run a search or an undelete; the events fire as the messages arrive.
bool RunEngineSearch(Engine engine, const OpenedVolume& volume, TextView pattern, TextView folder,
                     bool includeSubfolders, const EngineEvents& events);
bool RunEngineUndelete(Engine engine, const std::vector<uint8_t>& payload, const EngineEvents& events);

// Percentage of a found FAT file's clusters that the volume still shows free
// (what a recovery would read); false when it cannot be told or the volume
// is not FAT. Call after the search, while the engine's volume is still set
// up. NTFS tells it while the search lists the file
// (NueUdel::RecoverablePercentOfListed).
bool EstimateRecoverable(Engine engine, const FoundFile& file, uint32_t& percent);

// Folder as the user typed it ("a/b", "\a\b\", "") to the request form
// ("\a\b\", "\" for the whole volume).
Text NormaliseFolder(const std::string& typed);

}  // namespace rv::cli
