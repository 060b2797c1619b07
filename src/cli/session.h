// One engine call from the command line: builds the request exactly as the
// window's workers do, runs the engine shell chosen by the volume's file
// system, and collects the controller messages it posts.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "channel/messages.h"
#include "channel/receiver.h"
#include "engines/engines.h"
#include "cli/volume_arg.h"
#include "platform/types.h"

namespace rv::cli {

// Found files and results as the core's receiver decodes them.
using rv::FoundFile;
using rv::UndeleteOutcome;
using EngineEvents = rv::ReceiverEvents;

// The engine serving a volume: a row of the core's engine table.
using Engine = const EngineRow*;


// The engine for a volume by the file-system name it reports; null when no
// engine serves it (the shells refuse those too, with the same message).
Engine EngineFor(const OpenedVolume& volume, std::string& fileSystemName);

// Run a search or an undelete; the events fire as the messages arrive.
bool RunEngineSearch(Engine engine, const OpenedVolume& volume, TextView pattern, TextView folder,
                     bool includeSubfolders, const EngineEvents& events);
bool RunEngineUndelete(Engine engine, const std::vector<uint8_t>& payload, const EngineEvents& events);

// Folder as the user typed it ("a/b", "\a\b\", "") to the request form
// ("\a\b\", "\" for the whole volume).
Text NormaliseFolder(const std::string& typed);

}  // namespace rv::cli
