#include "shell/engines.h"

#include <windows.h>

#include "channel/messages.h"
#include "fat/fue.h"
#include "ntfs/nue.h"
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

bool IsNtfsName(const std::wstring& name) { return name == L"NTFS"; }

bool EnginesIdle() { return g_ntfsRunState.load() == kEngineIdle && g_fatRunState.load() == kEngineIdle; }

void RequestEngineStop() {
  for (auto* state : {&g_ntfsRunState, &g_fatRunState}) {
    int32_t running = kEngineRunning;
    state->compare_exchange_strong(running, kEngineStopRequested);
  }
}

BOOL RunSearchEngine(const std::wstring& fileSystemName, const RequestPacket& packet) {
  PostToMainWindow();
  return IsNtfsName(fileSystemName) ? NueDel::GetDeletedFileHeadersShell(packet)
                                    : FueDel::GetDeletedFileHeadersShell(packet);
}

BOOL RunUndeleteEngine(const std::wstring& fileSystemName, const RequestPacket& packet) {
  PostToMainWindow();
  return IsNtfsName(fileSystemName) ? NueUdel::UndeleteFileShell(packet) : FueUdel::UndeleteFileShell(packet);
}

}  // namespace rv::shell
