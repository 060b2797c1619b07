#include "channel/messages.h"
#include "channel/shells.h"
#include "ntfs/nue.h"

namespace rv::NueUdel {

BOOL UndeleteFileShell(const RequestPacket& packet) {
  UndeleteShellSteps steps;
  steps.runState = &g_ntfsRunState;
  steps.traceName = "NueUdel::UndeleteFileShell";
  steps.recoverAll = [](const uint8_t* payload, uint32_t length, uint32_t first, const Text&) {
    std::vector<int32_t> records;
    ParseNtfsUndeleteRecords(payload, length, first, records);
    for (int32_t r : records) {
      if (g_ntfsRunState.load() == kEngineStopRequested) break;
      PostUndeleteFileStarted(static_cast<uint32_t>(r), u"");
      PostNtfsUndeleteResult(kResultNotRecovered, static_cast<uint32_t>(r), u"", u"");
    }
    return true;
  };
  return RunUndeleteShell(packet, steps);
}

}  // namespace rv::NueUdel
