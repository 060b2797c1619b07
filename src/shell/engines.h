// The one place the window program calls the engines: the file-system name
// of the searched volume picks the NTFS engine ("NTFS") or the FAT engine
// (every other name; the FAT engine refuses what it cannot read), and the
// engines post their controller messages to the main window.
#pragma once
#include <string>

#include "channel/packet.h"
#include "platform/types.h"

namespace rv::shell {

bool IsNtfsName(const std::wstring& fileSystemName);
// Both engines idle: no search or undelete is running or winding down.
bool EnginesIdle();
// Stop requests for every running engine (run state 20 becomes 30).
void RequestEngineStop();

// Search and undelete shells; they return when the engine has finished.
BOOL RunSearchEngine(const std::wstring& fileSystemName, const RequestPacket& packet);
BOOL RunUndeleteEngine(const std::wstring& fileSystemName, const RequestPacket& packet);

}  // namespace rv::shell
