// The one place the window program calls the engines: the file-system name
// of the searched volume picks the engine table's row (a name no row serves
// goes to the FAT engine, which refuses what it cannot read with its own
// message), and a search posts its controller messages to the main window
// (through the search worker: search_work.h).
// Recoveries go through the core's recovery session instead.
#pragma once
#include "channel/packet.h"
#include "engines/engines.h"
#include "platform/types.h"

namespace rv::shell {

const EngineRow& EngineFor(TextView fileSystemName);
// No engine is running or winding down, nor the search worker's own parts
// (conditions, the deep scan).
bool EnginesIdle();
// Stop requests for every running engine (run state 20 becomes 30) and
// for the search worker's parts.
void RequestEngineStop();
// Frees every engine's volume data: when the search bar closes and at shutdown.
void ReleaseEngines();

}  // namespace rv::shell
