#include "channel/messages.h"
#include "channel/shells.h"
#include "ntfs/nue.h"

namespace rv::NueDel {

BOOL GetDeletedFileHeadersShell(const RequestPacket& packet) {
  SearchShellSteps steps;
  steps.runState = &g_ntfsRunState;
  steps.traceName = "NueDel::GetDeletedFileHeadersShell";
  steps.setup = [](const SearchRequestFields& request) {
    return SetupNueVolumeDataStructures(VolumeNameOfRoot(request.volumeRoot), TheNueVolume(), kTrue) != 0;
  };
  steps.scan = [](const SearchRequestFields&) { return 0; };
  return RunSearchShell(packet, steps);
}

}  // namespace rv::NueDel
