// The message sequence every engine shell follows. A search shell posts
// CM_SEARCH_STARTED first and CM_SEARCH_FINISHED last, with CM_SHOW_MESSAGE
// (text 72) for an unreadable request or unsupported volume and (text 81)
// for a failed volume setup. An undelete shell refuses an unusable
// destination with CM_SHOW_MESSAGE (caption 301, text 149), and ends with
// CM_UNDELETE_FINISHED, then CM_UNDELETE_REPORT when the request was
// accepted.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>

#include "channel/packet.h"
#include "platform/types.h"

namespace rv {

struct SearchShellSteps {
  std::atomic<int32_t>* runState = nullptr;
  const char* traceName = "";
  // Sets up the engine's volume data for the request's volume.
  std::function<bool(const SearchRequestFields&)> setup;
  // Runs the scan; returns its result code (0, 73, 74, ...).
  std::function<int(const SearchRequestFields&)> scan;
};

// 0 when the request was unusable, else 1.
BOOL RunSearchShell(const RequestPacket& packet, const SearchShellSteps& steps);

struct UndeleteShellSteps {
  std::atomic<int32_t>* runState = nullptr;
  const char* traceName = "";
  // Recovers every file record of the payload from `firstRecord` on,
  // posting CM_UNDELETE_FILE_STARTED / CM_UNDELETE_RESULT per file. Returns
  // false when the request stops counting as accepted (no report follows).
  std::function<bool(const uint8_t* payload, uint32_t length, uint32_t firstRecord, const Text& destination)>
      recoverAll;
};

// 1 when the request was accepted, else 0.
BOOL RunUndeleteShell(const RequestPacket& packet, const UndeleteShellSteps& steps);

// The volume name of a search request's root: "X:" or the GUID path, without
// the trailing "\".
Text VolumeNameOfRoot(TextView root);

}  // namespace rv
