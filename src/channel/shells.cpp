#include "channel/shells.h"

#include <optional>

#include "channel/messages.h"
#include "channel/outfile.h"
#include "platform/lasterror.h"
#include "volume/dasd.h"
#include "volume/diaglog.h"

namespace rv {

Text VolumeNameOfRoot(TextView root) {
  Text name(root);
  if (!name.empty() && name.back() == u'\\') name.pop_back();
  return name;
}

namespace {

// The engines are plain code that reports failures by result, but the
// containers they use throw when memory runs out. Nothing may unwind into
// the caller (a window procedure): the exception becomes the engine's
// ordinary failure, recorded like any other, and the shell ends with its
// usual messages. Partial output files are removed on the way out.
template <class Step>
bool WithoutExceptions(const char* module, int site, Step&& step) {
  try {
    return step();
  } catch (...) {
    SetLastErrorCode(kErrorNotEnoughMemory);
    ErrorRecord(module, site);
    return false;
  }
}

}  // namespace

BOOL RunSearchShell(const RequestPacket& packet, const SearchShellSteps& steps) {
  steps.runState->store(kEngineRunning);
  BOOL accepted = kTrue;
  WithoutExceptions("FueComm", 901, [&] {
    DataToController(CM_SEARCH_STARTED, nullptr, 0, 83);
    SearchRequestFields request;
    if (!ParseSearchRequest(packet, request) || request.volumeRoot.empty() ||
        !IsSupportedFileSystem(VolumeNameOfRoot(request.volumeRoot))) {
      PostShowMessage(72, CaptionSource::ProgramString1);
      accepted = kFalse;
    } else if (!WithoutExceptions("FueComm", 902, [&] { return steps.setup(request); })) {
      PostShowMessage(81, CaptionSource::ProgramString1);
    } else {
      WithoutExceptions("FueComm", 903, [&] { return steps.scan(request) >= 0; });
      TraceEvent(steps.traceName, 0, -1, nullptr);
    }
    return true;
  });
  WithoutExceptions("FueComm", 904, [] { return DataToController(CM_SEARCH_FINISHED, nullptr, 0, 84) != 0; });
  steps.runState->store(kEngineIdle);
  return accepted;
}

BOOL RunUndeleteShell(const RequestPacket& packet, const UndeleteShellSteps& steps) {
  steps.runState->store(kEngineRunning);
  bool accepted = WithoutExceptions("FueComm", 905, [&] {
    Text destination;
    uint32_t firstRecord = 0;
    if (!CheckDestination(packet.Payload(), packet.PayloadLength(), destination, firstRecord)) {
      PostShowMessage(149, CaptionSource::ResourceLibrary, 301);
      return false;
    }
    // The files go through the destination opened once: the front end's,
    // or this request's own for as long as it runs.
    OutputDestination own;
    std::optional<ScopedOutputOptions> scope;
    if (!CurrentOutputOptions().destination) {
      if (!own.Open(destination)) {
        PostShowMessage(149, CaptionSource::ResourceLibrary, 301);
        return false;
      }
      OutputOptions options = CurrentOutputOptions();
      options.destination = &own;
      scope.emplace(std::move(options));
    }
    // A file whose recovery failed this way gets no result; the files
    // before it keep theirs and the report still follows.
    bool recovered = true;
    WithoutExceptions("FueComm", 906, [&] {
      recovered = steps.recoverAll(packet.Payload(), packet.PayloadLength(), firstRecord, destination);
      return recovered;
    });
    return recovered;
  });
  WithoutExceptions("FueComm", 907, [&] {
    DataToController(CM_UNDELETE_FINISHED, nullptr, 0, 86);
    if (accepted) DataToController(CM_UNDELETE_REPORT, nullptr, 0, 86);
    return true;
  });
  steps.runState->store(kEngineIdle);
  return accepted ? kTrue : kFalse;
}

}  // namespace rv
