#include "shell/engines.h"

#include <windows.h>

#include "channel/messages.h"
#include "shell/state.h"

namespace rv::shell {

const EngineRow& EngineFor(TextView fileSystemName) {
  const EngineRow* row = EngineForFileSystem(fileSystemName);
  return row ? *row : FallbackEngine();
}

bool EnginesIdle() { return rv::EnginesIdle(); }

void RequestEngineStop() { StopEngines(); }

void ReleaseEngines() {
  for (const EngineRow* row : AllEngines()) row->release();
}

BOOL RunEngineSearch(const EngineRow& engine, const RequestPacket& packet) {
  // Every engine message goes to the main window as a WM_COMMAND.
  static WindowSink sink(nullptr);
  sink = WindowSink(Shell().mainWindow);
  SetMessageSink(&sink);
  return engine.search(packet);
}

}  // namespace rv::shell
