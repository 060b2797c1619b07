// The exFAT search: every deleted file set, and every file set inside a
// deleted folder, that the request's folder and pattern accept.
#include "channel/filter.h"
#include "channel/messages.h"
#include "channel/shells.h"
#include "channel/skips.h"
#include "exfat/xue.h"
#include "platform/text.h"
#include "volume/diaglog.h"

namespace rv::XueDel {
namespace {

constexpr int kSearchStopped = 73;
constexpr int kSearchFailed = 71;
constexpr int kSearchFinished = 74;

uint64_t g_passedOver = 0;
// The set whose header is being posted, for the estimate asked meanwhile.
const exfat::EntrySet* g_listed = nullptr;

int SearchLoop(const SearchRequestFields& request) {
  XueVolume& v = TheXueVolume();
  const bool include = request.includeSubfolders != 0;
  bool stopped = false;
  Text path;
  XueWalkStats stats;
  auto onFolder = [&](const Text& folder) { PostFatSearchProgress(0, folder); };
  auto onFile = [&](const XueFound& f) {
    if (g_exfatRunState.load() == kEngineStopRequested) {
      stopped = true;
      return false;
    }
    const exfat::EntrySet& s = *f.set;
    const Text name = ListedName(s.name);
    if (!FolderFilter(*f.folderPath, name, request.folder, request.pattern, include)) return true;
    path.assign(v.devicePath);
    path += *f.folderPath;
    path += name;
    uint64_t utc = 0;
    if (!exfat::TimestampToUtcFileTime(s.modified, s.modified10ms, s.modifiedUtcOffset, utc)) utc = 0;
    // The other times travel in the modification time's form; one that
    // cannot take that form (no zone where the modification time has one)
    // is left out. A timestamp of 0 was never kept.
    FoundTimes times;
    if (utc != 0) {
      uint64_t t = 0;
      if (s.created && exfat::TimestampToUtcFileTime(s.created, s.created10ms, s.createdUtcOffset, t)) times.created = t;
      if (s.accessed && exfat::TimestampToUtcFileTime(s.accessed, 0, s.accessedUtcOffset, t)) times.accessed = t;
    } else {
      times.created = s.created;
      times.accessed = s.accessed;
    }
    g_listed = &s;
    PostExfatFileFound(f.folder->firstCluster, f.entryIndex, path, s.modified, utc, s.dataLength, times);
    g_listed = nullptr;
    return true;
  };
  const bool ok = WalkXueTree(v, onFile, onFolder, stats);
  g_passedOver = stats.setsPassedOver;
  if (!ok) {
    ErrorRecord("XueDel", 40);
    return kSearchFailed;
  }
  return stopped ? kSearchStopped : kSearchFinished;
}

}  // namespace

uint64_t SetsPassedOverByLastSearch() { return g_passedOver; }

bool RecoverablePercentOfListed(uint32_t& percent) {
  if (!g_listed) return false;
  percent = RecoverablePercentOf(TheXueVolume(), *g_listed);
  return true;
}

BOOL GetDeletedFileHeadersShell(const RequestPacket& packet) {
  g_passedOver = 0;
  SearchShellSteps steps;
  steps.runState = &g_exfatRunState;
  steps.traceName = "XueDel::GetDeletedFileHeadersShell";
  steps.setup = [](const SearchRequestFields& request) {
    std::string why;
    if (SetupXueVolumeDataStructures(VolumeNameOfRoot(request.volumeRoot), TheXueVolume(), why)) return true;
    SetStatusText(FromUtf8(why));
    ErrorRecord("XueRtns", 30);
    return false;
  };
  steps.scan = [](const SearchRequestFields& request) { return SearchLoop(request); };
  return RunSearchShell(packet, steps);
}

}  // namespace rv::XueDel
