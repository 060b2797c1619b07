#include "shell/engines.h"

#include <windows.h>

#include "channel/messages.h"
#include "engines/engines.h"
#include "shell/state.h"

namespace rv::shell {
namespace {

// Every engine message goes to the main window as a WM_COMMAND.
void PostToMainWindow() {
  static WindowSink sink(nullptr);
  sink = WindowSink(Shell().mainWindow);
  SetMessageSink(&sink);
}

}  // namespace

// The engine table's row for the name; a name no row serves goes to the
// FAT engine, which refuses it with its own message.
const EngineRow& EngineFor(const std::wstring& fileSystemName) {
  const EngineRow* row = EngineForFileSystem(Text(fileSystemName.begin(), fileSystemName.end()));
  return row ? *row : FallbackEngine();
}

bool IsNtfsName(const std::wstring& name) { return std::string(EngineFor(name).name) == "NTFS"; }

bool EnginesIdle() { return rv::EnginesIdle(); }

void RequestEngineStop() { StopEngines(); }

BOOL RunSearchEngine(const std::wstring& fileSystemName, const RequestPacket& packet) {
  PostToMainWindow();
  return EngineFor(fileSystemName).search(packet);
}

BOOL RunUndeleteEngine(const std::wstring& fileSystemName, const RequestPacket& packet) {
  PostToMainWindow();
  return EngineFor(fileSystemName).undelete(packet);
}

}  // namespace rv::shell
