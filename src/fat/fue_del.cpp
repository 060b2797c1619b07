#include "channel/messages.h"
#include "channel/shells.h"
#include "fat/fue.h"

namespace rv::FueDel {

BOOL GetDeletedFileHeadersShell(const RequestPacket& packet) {
  SearchShellSteps steps;
  steps.runState = &g_fatRunState;
  steps.traceName = "FueDel::GetDeletedFileHeadersShell";
  steps.setup = [](const SearchRequestFields& request) {
    return SetupFueVolumeDataStructures(VolumeNameOfRoot(request.volumeRoot), TheFueVolume(), kTrue) != 0;
  };
  steps.scan = [](const SearchRequestFields&) { return 74; };
  return RunSearchShell(packet, steps);
}

}  // namespace rv::FueDel
