#include "channel/messages.h"
#include "channel/shells.h"
#include "fat/fue.h"

namespace rv::FueUdel {

BOOL UndeleteFileShell(const RequestPacket& packet) {
  UndeleteShellSteps steps;
  steps.runState = &g_fatRunState;
  steps.traceName = "FueUdel::UndeleteFileShell";
  steps.recoverAll = [](const uint8_t* payload, uint32_t length, uint32_t first, const Text&) {
    std::vector<FatUndeleteRecord> records;
    ParseFatUndeleteRecords(payload, length, first, records);
    for (const auto& r : records) {
      if (g_fatRunState.load() == kEngineStopRequested) break;
      PostUndeleteFileStarted(0, r.path);
      PostFatUndeleteResult(kResultNotRecovered, r.path, u"");
    }
    return true;
  };
  return RunUndeleteShell(packet, steps);
}

}  // namespace rv::FueUdel
