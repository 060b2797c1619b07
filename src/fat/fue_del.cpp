// The FAT search: every deleted file entry, and every file entry inside a
// deleted directory, that the request's folder and pattern accept.
#include "channel/messages.h"
#include "format/fat_entry.h"
#include "channel/skips.h"
#include "channel/shells.h"
#include "channel/filter.h"
#include "fat/fue.h"
#include "volume/diaglog.h"
#include "format/le.h"

namespace rv::FueDel {
namespace {

constexpr int kSearchStopped = 73;
constexpr int kSearchFailed = 71;
constexpr int kSearchFinished = 74;

uint64_t g_notFiles = 0;

int SearchLoop(const SearchRequestFields& request) {
  FueVolumeData& v = TheFueVolume();
  uint32_t threshold = 0;
  int64_t lastDlcn = -1;
  for (;;) {
    if (g_fatRunState.load() == kEngineStopRequested) return kSearchStopped;
    FoundEntry found;
    if (!FindNextDeletedEntry(found)) return kSearchFailed;
    if (v.pathString.empty()) return kSearchFinished;
    char16_t drive = 0;
    Text folder, name;
    SplitFullPath(v.pathString, drive, folder, name);
    if (found.dlcn != lastDlcn) {
      lastDlcn = found.dlcn;
      threshold = 0;
    }
    if (found.percent >= threshold) {
      PostFatSearchProgress(found.percent, folder);
      threshold = found.percent + 10;
    }
    const bool candidate = found.marker != -1 || found.entry[0] == 0xE5;
    if (!candidate) continue;
    if (!FolderFilter(folder, name, request.folder, request.pattern, request.includeSubfolders != 0)) continue;
    if (!IsPlausibleFileEntry(found.entry, v)) {
      ++g_notFiles;
      if (SkipsWanted())
        ReportSkipped({"FAT entry", static_cast<uint64_t>(found.dlcn), found.entryIndex, v.pathString,
                       "not a file: NUL or control bytes in the name, an impossible date or a size past the volume"});
      continue;
    }
    uint32_t locator = static_cast<uint32_t>(found.dlcn);
    if (found.marker != -1) locator |= kDeletedDirFlag;
    // A date of 0 means the volume never kept that time.
    FoundTimes times;
    if (const uint16_t created = fat::EntryCreationDate(found.entry))
      times.created = static_cast<uint64_t>(created) << 16 | fat::EntryCreationTime(found.entry);
    if (const uint16_t accessed = fat::EntryAccessDate(found.entry)) times.accessed = static_cast<uint64_t>(accessed) << 16;
    PostFatFileFound(locator, found.entryIndex, v.pathString, fat::EntryTime(found.entry), fat::EntryDate(found.entry),
                     fat::EntrySize(found.entry), times);
  }
}

}  // namespace

uint64_t EntriesNotFilesOfLastSearch() { return g_notFiles; }

BOOL GetDeletedFileHeadersShell(const RequestPacket& packet) {
  g_notFiles = 0;
  SearchShellSteps steps;
  steps.runState = &g_fatRunState;
  steps.traceName = "FueDel::GetDeletedFileHeadersShell";
  steps.setup = [](const SearchRequestFields& request) {
    return SetupFueVolumeDataStructures(VolumeNameOfRoot(request.volumeRoot), TheFueVolume(), kTrue) != 0;
  };
  steps.scan = [](const SearchRequestFields& request) {
    DirectoryWalk& walk = TheDirectoryWalk();
    walk.repeatGuard16 = -1;
    walk.repeatGuard32 = -1;
    FueVolumeData& v = TheFueVolume();
    v.firstClusters.clear();
    v.deletedClaims.clear();
    v.firstClustersComplete = false;
    return SearchLoop(request);
  };
  return RunSearchShell(packet, steps);
}

}  // namespace rv::FueDel
