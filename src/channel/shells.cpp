#include "channel/shells.h"

#include "channel/messages.h"
#include "channel/outfile.h"
#include "volume/dasd.h"
#include "volume/diaglog.h"

namespace rv {

Text VolumeNameOfRoot(TextView root) {
  Text name(root);
  if (!name.empty() && name.back() == u'\\') name.pop_back();
  return name;
}

BOOL RunSearchShell(const RequestPacket& packet, const SearchShellSteps& steps) {
  steps.runState->store(kEngineRunning);
  DataToController(CM_SEARCH_STARTED, nullptr, 0, 83);
  BOOL accepted = kTrue;
  SearchRequestFields request;
  if (!ParseSearchRequest(packet, request) || request.volumeRoot.empty() ||
      !IsSupportedFileSystem(VolumeNameOfRoot(request.volumeRoot))) {
    PostShowMessage(72, CaptionSource::ProgramString1);
    accepted = kFalse;
  } else if (!steps.setup(request)) {
    PostShowMessage(81, CaptionSource::ProgramString1);
  } else {
    int result = steps.scan(request);
    TraceEvent(steps.traceName, 0, -1, nullptr);
    (void)result;
  }
  DataToController(CM_SEARCH_FINISHED, nullptr, 0, 84);
  steps.runState->store(kEngineIdle);
  return accepted;
}

BOOL RunUndeleteShell(const RequestPacket& packet, const UndeleteShellSteps& steps) {
  steps.runState->store(kEngineRunning);
  Text destination;
  uint32_t firstRecord = 0;
  bool accepted = CheckDestination(packet.Payload(), packet.PayloadLength(), destination, firstRecord);
  if (!accepted) {
    PostShowMessage(149, CaptionSource::ResourceLibrary, 301);
  } else {
    accepted = steps.recoverAll(packet.Payload(), packet.PayloadLength(), firstRecord, destination);
  }
  DataToController(CM_UNDELETE_FINISHED, nullptr, 0, 86);
  if (accepted) DataToController(CM_UNDELETE_REPORT, nullptr, 0, 86);
  steps.runState->store(kEngineIdle);
  return accepted ? kTrue : kFalse;
}

}  // namespace rv
