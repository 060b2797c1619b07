// How much of a deleted FAT file can still come back: its data is taken
// from the clusters that follow its first cluster (other entries' first
// clusters passed over), up to the first one in use again, so the free
// clusters at the head of that range are what a recovery will read.
#include <vector>

#include "format/fat_boot.h"
#include "format/fat_entry.h"
#include "fat/fue.h"
#include "volume/readable.h"

namespace rv::FueUdel {

bool RecoverablePercent(uint32_t locator, uint32_t entryIndex, TextView fullPath, uint32_t& percent) {
  FueVolumeData& v = TheFueVolume();
  if (!v.handle || v.bytesPerCluster == 0) return false;
  DirectoryWalk& walk = TheDirectoryWalk();
  // A finished search freed the root listing; the lookup needs it as it is on disk.
  if (!walk.levels[0].buffer || walk.rootAltered || walk.depth != 0) {
    if (!LoadFatLayout(v)) return false;
    walk.entryIndex = 0;
  }
  Text name;
  uint8_t entry[fat::kEntryBytes];
  if (!FindEntryForPath(locator, entryIndex, fullPath, name, entry)) return false;
  const uint64_t size = fat::EntrySize(entry);
  const uint64_t needed = (size + v.bytesPerCluster - 1) / v.bytesPerCluster;
  if (needed == 0) {
    percent = 100;
    return true;
  }
  const int64_t startLcn = EntryStartLcn(entry, v.fileSystemKind);
  if (startLcn < 0 || startLcn == kNoClusterLcn) {
    percent = 0;
    return true;
  }
  fat::FatTable& table = FatOf(v);
  // The clusters a recovery takes: those that follow the first one and are
  // no other entry's first cluster, while the FAT shows them free.
  uint64_t free = 0;
  std::vector<LcnRun> taken;
  for (uint64_t lcn = static_cast<uint64_t>(startLcn); free < needed; lcn = NextGuessedLcn(v, lcn)) {
    uint32_t value = 1;
    if (!table.Entry(lcn + 2, value) || value != 0) break;
    ++free;
    AppendCluster(taken, lcn);
  }
  // A free cluster the source cannot read comes back as '*' all the same.
  free -= std::min(free, UnreadableClusters(*v.handle, v.dataAreaOffset, v.bytesPerCluster, taken));
  percent = static_cast<uint32_t>(free * 100 / needed);
  return true;
}

}  // namespace rv::FueUdel
