// The depth-first walk over the directory tree of a FAT volume: the files
// of a directory first, then its subdirectories in listing order, deleted
// directories entered through their first cluster.
#include <algorithm>
#include <cstring>

#include "fat/fue.h"
#include "format/fat_entry.h"
#include "platform/lasterror.h"
#include "platform/text.h"
#include "volume/diaglog.h"
#include "format/le.h"
#include "channel/skips.h"

namespace rv {

using fat::kEntryBytes;
using fat::kDeletedMark;
namespace {

constexpr const char* kModule = "FueFF2";

bool AtEnd(const DirectoryWalk& w) { return !InBounds(w.end, w.pos, kEntryBytes) || w.begin[w.pos] == 0; }

// Nothing was opened for the entry at the current position.
constexpr const char* kFolderReadError = "its clusters cannot be read from the volume; the files in it are not listed";

BOOL NothingOpened(DirectoryWalk& w, FueVolumeData& v, bool clearNewLevel) {
  v.pathString.clear();
  if (clearNewLevel && w.depth + 1 < kWalkLevels) w.levels[w.depth + 1].name.clear();
  return kTrue;
}

bool RunsPlausible(const FueVolumeData& v) {
  uint64_t total = 0;
  for (uint64_t i = 0; i < v.runCount; ++i) {
    const int64_t lcn = v.RunLcn(i);
    const uint64_t count = v.RunClusters(i);
    const uint32_t low = static_cast<uint32_t>(lcn);
    const uint32_t high = static_cast<uint32_t>(static_cast<uint64_t>(lcn) >> 32);
    if (v.fileSystemKind == kFsFat16) {
      const int32_t signedLow = static_cast<int32_t>(low);
      if ((low >= 0xFFF8 && low <= 0xFFFF) || signedLow > static_cast<int64_t>(v.totalClusters)) return false;
    } else if (high == 0 && low >= 0xFFFFFFF8u) {
      return false;
    }
    // Every run lies inside the data area.
    if (lcn < 0 || count == 0 || !InBounds(v.totalClusters, static_cast<uint64_t>(lcn), count)) return false;
    total += count;
  }
  return total * v.bytesPerCluster <= kMaxDirectoryBytes;
}

// Frees the current level and returns to its parent's subdirectory phase.
bool PopLevel(DirectoryWalk& w) {
  WalkLevel& level = w.levels[w.depth];
  if (!level.buffer) {
    ErrorRecord(kModule, 249);
    return false;
  }
  if (w.begin) gmem::Unlock(level.buffer);
  gmem::Free(level.buffer);
  level = WalkLevel{};
  w.begin = nullptr;
  --w.depth;
  WalkLevel& parent = w.levels[w.depth];
  w.begin = static_cast<uint8_t*>(gmem::Lock(parent.buffer));
  if (!w.begin) {
    ErrorRecord(kModule, 249);
    return false;
  }
  w.end = gmem::Size(parent.buffer);
  w.pos = static_cast<size_t>(parent.resumeIndex) * kEntryBytes;
  w.entryIndex = 0;
  w.phase = WalkPhase::Subdirectories;
  if (w.depth < w.marker) w.marker = -1;
  return true;
}

// Notes the first cluster of the entry at the current position: any entry
// but "." and "..", long-name parts and labels; inside a deleted folder, or
// deleted itself, only one that can be a file.
void NoteFirstCluster(const DirectoryWalk& w, FueVolumeData& v) {
  const uint8_t* e = w.begin + w.pos;
  const uint8_t attr = e[fat::kEntryAttributes];
  if (attr == 0x0F || (attr & 0x08) || e[0] == '.') return;
  const bool deleted = e[0] == kDeletedMark || w.marker != -1;
  if (deleted && !(attr & 0x10) && !IsPlausibleFileEntry(e, v)) return;
  const int64_t lcn = EntryStartLcn(e, v.fileSystemKind);
  if (lcn == kNoClusterLcn || lcn < 0 || static_cast<uint64_t>(lcn) >= v.totalClusters) return;
  v.firstClusters.push_back(static_cast<uint32_t>(lcn + 2));
  if (deleted) v.deletedClaims.push_back({static_cast<uint32_t>(lcn + 2), fat::EntrySize(e), EntryAge(e)});
}

// The first clusters gathered, sorted and each once, ready for lookups.
void SortFirstClusters(FueVolumeData& v) {
  std::sort(v.firstClusters.begin(), v.firstClusters.end());
  v.firstClusters.erase(std::unique(v.firstClusters.begin(), v.firstClusters.end()), v.firstClusters.end());
  std::sort(v.deletedClaims.begin(), v.deletedClaims.end(),
            [](const FueVolumeData::DeletedClaim& a, const FueVolumeData::DeletedClaim& b) { return a.cluster < b.cluster; });
  v.firstClustersComplete = true;
}

void EndWalk(DirectoryWalk& w, FueVolumeData& v) {
  v.pathString.clear();
  ClearDirectoryWalk(w);
}

BOOL FailWalk(DirectoryWalk& w, FueVolumeData& v) {
  const uint32_t err = GetLastErrorCode();
  EndWalk(w, v);
  SetLastErrorCode(err);
  return kFalse;
}

}  // namespace

void SplitFullPath(TextView path, char16_t& drive, Text& folder, Text& name) {
  drive = path.empty() ? 0 : path[0];
  folder.clear();
  name.clear();
  // "X:\..." or "\\?\Volume{...}\...": the folder starts after the volume part.
  size_t start = 2;
  if (path.size() >= 4 && path[0] == u'\\' && path[1] == u'\\') {
    start = path.find(u'\\', 4);
    if (start == TextView::npos) start = path.size();
  }
  if (start > path.size()) start = path.size();
  const size_t last = path.rfind(u'\\');
  if (last == TextView::npos || last < start) {
    folder = Text(path.substr(start));
    return;
  }
  folder = Text(path.substr(start, last + 1 - start));
  name = Text(path.substr(last + 1));
}

BOOL VerifyParentLink(const DirectoryWalk& w) {
  if (w.depth <= 0 || !w.begin) return kFalse;
  const FueVolumeData& v = TheFueVolume();
  for (size_t p = w.pos; InBounds(w.end, p, kEntryBytes) && w.begin[p] != 0; p += kEntryBytes) {
    const uint8_t* e = w.begin + p;
    if (std::memcmp(e, "..      ", 8) != 0) continue;
    const uint64_t cluster = fat::EntryFirstCluster(e, v.fileSystemKind == kFsFat32);
    int64_t lcn;
    if (cluster == 0) lcn = v.fileSystemKind == kFsFat32 ? 0 : kNoClusterLcn;
    else lcn = static_cast<int64_t>(cluster) - 2;
    return lcn == w.levels[w.depth - 1].dlcn ? kTrue : kFalse;
  }
  return kFalse;
}

BOOL DescendIntoDirectory(DirectoryWalk& w, bool& deleted) {
  FueVolumeData& v = TheFueVolume();
  deleted = false;
  const uint8_t* e = nullptr;
  int64_t startLcn = kNoClusterLcn;
  for (;; w.pos += kEntryBytes) {
    if (AtEnd(w)) return NothingOpened(w, v, false);
    e = w.begin + w.pos;
    startLcn = EntryStartLcn(e, v.fileSystemKind);
    // Cycle guard: a directory that is the current one or an ancestor.
    for (int i = 0; i <= w.depth; ++i)
      if (w.levels[i].dlcn == startLcn) return NothingOpened(w, v, false);
    const uint8_t attr = e[fat::kEntryAttributes];
    Text name;
    BuildEntryName(w.begin, w.pos, name);
    if ((attr & 0x08) || attr == 0x0F || name == u"." || name == u"..") continue;
    break;
  }
  BuildEntryPath(w, v);
  if (v.pathString.size() >= kMaxWalkPathChars) return NothingOpened(w, v, false);
  // 128 levels: a directory that would need a 129th is not entered.
  if (w.depth + 1 >= kWalkLevels) return NothingOpened(w, v, false);
  Text name;
  BuildEntryName(w.begin, w.pos, name);
  w.levels[w.depth + 1].name = name + u"\\";
  v.directoryMode = 1;
  v.startLcn = startLcn;

  if (e[0] != kDeletedMark && w.marker == -1) {
    const char* how = nullptr;
    if (!LiveDirectoryRunList(v, how) || v.runCount == 0 || !RunsPlausible(v)) return NothingOpened(w, v, true);
    if (how && SkipsWanted())
      ReportSkipped({"FAT folder", static_cast<uint64_t>(startLcn), 0, v.pathString, how, "read"});
    // Two live directories in succession starting at the same cluster: the
    // tree is not one the walk can trust.
    const int64_t first = v.RunLcn(0);
    int64_t& guard = v.fileSystemKind == kFsFat16 ? w.repeatGuard16 : w.repeatGuard32;
    const int64_t compared = v.fileSystemKind == kFsFat16 ? static_cast<int64_t>(static_cast<uint32_t>(first)) : first;
    if (compared == guard) {
      SetLastErrorCode(kErrorInvalidData);
      return kFalse;
    }
    guard = compared;
  } else {
    deleted = true;
    if (startLcn < 0 || static_cast<uint64_t>(startLcn) >= v.totalClusters) return NothingOpened(w, v, true);
    SetSingleRunList(v, startLcn);
    FueBuffers& buffers = TheFueBuffers();
    auto* probe = static_cast<uint8_t*>(gmem::Lock(buffers.cluster));
    if (!probe) return kFalse;
    const bool read = DasdReadCluster(v, static_cast<uint64_t>(startLcn), 1, probe, v.bytesPerSector,
                                      v.bytesPerCluster) != 0;
    const bool looksLikeDirectory = read && probe[0] == '.' && (probe[fat::kEntryAttributes] & 0x10) != 0;
    gmem::Unlock(buffers.cluster);
    if (!read) {
      ReportSkipped({"FAT folder", static_cast<uint64_t>(startLcn), 0, v.pathString, kFolderReadError, kCouldNotRead});
      return NothingOpened(w, v, true);
    }
    if (!looksLikeDirectory) return NothingOpened(w, v, true);
  }

  // The folder's clusters are read before its level is pushed: a folder
  // that cannot be read (a bad sector, a container cut short) is reported
  // and passed over, and the walk goes on with the folders beside it.
  const uint64_t bytes = v.bytesPerCluster * v.clusterCount + v.bytesPerSector;
  gmem::Handle buffer = nullptr;
  void* address = nullptr;
  if (!AllocGlobalBlock(static_cast<uint32_t>(bytes), &buffer, &address)) {
    ErrorRecord(kModule, 677);
    return kFalse;
  }
  uint64_t read = 0;
  if (!ReadRunListClusters(v, static_cast<uint8_t*>(address), v.clusterCount, read)) {
    gmem::Unlock(buffer);
    gmem::Free(buffer);
    ReportSkipped({"FAT folder", static_cast<uint64_t>(startLcn), 0, v.pathString, kFolderReadError, kCouldNotRead});
    return NothingOpened(w, v, true);
  }
  // Push the new level.
  w.levels[w.depth].resumeIndex = static_cast<uint32_t>(w.pos / kEntryBytes) + 1;
  gmem::Unlock(w.levels[w.depth].buffer);
  w.phase = WalkPhase::Files;
  ++w.depth;
  WalkLevel& level = w.levels[w.depth];
  level.dlcn = v.RunLcn(0);
  level.buffer = buffer;
  w.entryIndex = 0;
  w.begin = static_cast<uint8_t*>(address);
  w.end = gmem::Size(level.buffer);
  w.pos = 0;
  return kTrue;
}

BOOL FindNextDeletedEntry(FoundEntry& out) {
  DirectoryWalk& w = TheDirectoryWalk();
  FueVolumeData& v = TheFueVolume();
  if (!w.levels[0].buffer || !w.begin) {
    SetLastErrorCode(kErrorInvalidHandle);
    ErrorRecord(kModule, 239);
    return kFalse;
  }
  for (;;) {
    if (w.phase == WalkPhase::Files) {
      while (!AtEnd(w)) {
        uint8_t* e = w.begin + w.pos;
        const uint8_t attr = e[fat::kEntryAttributes];
        NoteFirstCluster(w, v);
        if ((attr & 0x08) || attr == 0x0F || (attr & 0x10)) {
          ++w.entryIndex;
          w.pos += kEntryBytes;
          continue;
        }
        v.directoryMode = 0;
        v.dataSize = fat::EntrySize(e);
        out.dlcn = w.depth == 0 ? static_cast<int64_t>(kRootDlcn) : w.levels[w.depth].dlcn;
        v.startLcn = EntryStartLcn(e, v.fileSystemKind);
        if (!BuildEntryPath(w, v)) {
          ErrorRecord(kModule, 190);
          return FailWalk(w, v);
        }
        if (v.pathString.size() < kMaxWalkPathChars) {
          std::memcpy(out.entry, e, kEntryBytes);
          out.entryIndex = w.entryIndex;
          out.marker = w.marker;
          out.percent = static_cast<uint32_t>((w.pos / kEntryBytes) * 100 / (w.end / kEntryBytes + 1));
          ++w.entryIndex;
          w.pos += kEntryBytes;
          return kTrue;
        }
        // A path longer than any Windows path is damage: this entry is
        // passed over, the files after it are still listed.
        ++w.entryIndex;
        w.pos += kEntryBytes;
      }
      CompactDirectoryBuffer(w, 5);
      w.phase = WalkPhase::Subdirectories;
      w.pos = 0;
    }
    // Subdirectory phase.
    for (;;) {
      if (AtEnd(w)) {
        if (w.depth == 0) {
          EndWalk(w, v);
          SortFirstClusters(v);
          return kTrue;
        }
        if (!PopLevel(w)) return FailWalk(w, v);
        continue;
      }
      if ((w.begin[w.pos + fat::kEntryAttributes] & 0x10) == 0) {
        w.pos += kEntryBytes;
        continue;
      }
      bool deleted = false;
      if (!DescendIntoDirectory(w, deleted)) return FailWalk(w, v);
      if (v.pathString.empty() || v.pathString.size() >= kMaxWalkPathChars) {
        // Nothing opened; never step over the end of the listing.
        if (!AtEnd(w)) w.pos += kEntryBytes;
        continue;
      }
      if (deleted && w.marker == -1) w.marker = w.depth;
      if (VerifyParentLink(w)) break;  // file phase of the new level
      if (!PopLevel(w)) return FailWalk(w, v);
    }
  }
}

bool CollectFirstClusters(FueVolumeData& v) {
  DirectoryWalk& w = TheDirectoryWalk();
  v.firstClusters.clear();
  v.deletedClaims.clear();
  v.firstClustersComplete = false;
  if (!LoadFatLayout(v)) return false;
  w.entryIndex = 0;
  w.repeatGuard16 = -1;
  w.repeatGuard32 = -1;
  for (FoundEntry found;;) {
    if (!FindNextDeletedEntry(found)) {
      // A walk that cannot go on still leaves what it gathered to go by.
      SortFirstClusters(v);
      return false;
    }
    if (v.pathString.empty()) return true;
  }
}

uint32_t EntryAge(const uint8_t* e) {
  const uint16_t created = fat::EntryCreationDate(e);
  if (created != 0) return static_cast<uint32_t>(created) << 16 | fat::EntryCreationTime(e);
  return static_cast<uint32_t>(fat::EntryDate(e)) << 16 | fat::EntryTime(e);
}

uint64_t NextGuessedLcn(const FueVolumeData& v, uint64_t lcn) {
  // Without a finished gathering (a search stopped half-way) nothing is known to skip.
  if (!v.firstClustersComplete) return lcn + 1;
  uint64_t cluster = lcn + 3;  // the cluster after `lcn`, as a cluster number
  auto it = std::lower_bound(v.firstClusters.begin(), v.firstClusters.end(), cluster);
  while (it != v.firstClusters.end() && *it == cluster) {
    ++cluster;
    ++it;
  }
  return cluster - 2;
}

}  // namespace rv
