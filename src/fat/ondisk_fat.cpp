// What Windows answers for a mounted FAT volume, computed from the boot
// sector and the FAT: file-system name ("FAT" for 12- and 16-bit FATs,
// "FAT32"), label (the root directory's volume-label entry), geometry and
// free clusters.
#include <cstring>
#include <memory>

#include "fat/fat_boot.h"
#include "fat/fat_table.h"
#include "platform/lasterror.h"
#include "volume/le.h"
#include "volume/ondisk.h"

namespace rv {
namespace {

class FatOnDisk final : public OnDiskFs {
 public:
  FatOnDisk(VolumeSource& source, const fat::BootSector& boot) : source_(source), boot_(boot) {
    facts_.family = FsFamily::Fat;
    facts_.fileSystemName = boot.fatBits == 32 ? u"FAT32" : u"FAT";
    facts_.bytesPerSector = boot.bytesPerSector;
    facts_.sectorsPerCluster = boot.sectorsPerCluster;
    facts_.bytesPerCluster = static_cast<uint64_t>(boot.bytesPerSector) * boot.sectorsPerCluster;
    facts_.totalClusters = boot.clusterCount;
    facts_.totalSectors = boot.totalSectors;
    facts_.fatBits = boot.fatBits;
    facts_.label = ReadLabel();
  }
  bool Recognised() const override { return true; }
  const FsFacts& Facts() const override { return facts_; }

  bool FreeClusters(uint64_t& freeClusters) override {
    if (freeKnown_) {
      freeClusters = free_;
      return true;
    }
    fat::FatTable table(source_, boot_);
    uint64_t count = 0;
    for (uint64_t c = 2; c < boot_.clusterCount + 2; ++c) {
      uint32_t v = 0;
      if (!table.Entry(c, v)) return false;
      if (v == 0) ++count;
    }
    free_ = count;
    freeKnown_ = true;
    freeClusters = count;
    return true;
  }

 private:
  // The label Windows reports is the root directory's volume-label entry
  // (attribute 0x08 without the long-name pattern 0x0F), not the copy in
  // the boot sector, which format tools leave behind on relabel.
  Text ReadLabel() {
    const uint64_t bpc = facts_.bytesPerCluster;
    std::vector<uint8_t> dir;
    if (boot_.fatBits != 32) {
      dir.resize(static_cast<size_t>(boot_.rootDirSectors * boot_.bytesPerSector));
      if (!source_.ReadBytes(boot_.firstRootSector * boot_.bytesPerSector, dir.data(), dir.size())) return {};
      return LabelIn(dir);
    }
    fat::FatTable table(source_, boot_);
    uint64_t cluster = boot_.rootCluster;
    dir.resize(static_cast<size_t>(bpc));
    // Bounded walk: a looping root chain ends after the cluster count.
    for (uint64_t steps = 0; steps <= boot_.clusterCount && cluster >= 2 && cluster < boot_.clusterCount + 2;
         ++steps) {
      uint64_t offset = (boot_.firstDataSector + (cluster - 2) * boot_.sectorsPerCluster) * boot_.bytesPerSector;
      if (!source_.ReadBytes(offset, dir.data(), dir.size())) return {};
      bool end = false;
      Text label = LabelIn(dir, &end);
      if (!label.empty() || end) return label;
      uint32_t next = 0;
      if (!table.Entry(cluster, next) || table.IsEndOfChain(next)) break;
      cluster = next;
    }
    return {};
  }

  static Text LabelIn(const std::vector<uint8_t>& dir, bool* end = nullptr) {
    for (size_t off = 0; off + 32 <= dir.size(); off += 32) {
      const uint8_t* e = dir.data() + off;
      if (e[0] == 0) {
        if (end) *end = true;
        return {};
      }
      if (e[0] == 0xE5 || e[0x0B] == 0x0F || (e[0x0B] & 0x08) == 0) continue;
      Text t;
      for (int i = 0; i < 11; ++i) t.push_back(e[i] < 0x80 ? e[i] : u'?');
      while (!t.empty() && t.back() == u' ') t.pop_back();
      return t;
    }
    return {};
  }

  VolumeSource& source_;
  fat::BootSector boot_;
  FsFacts facts_;
  bool freeKnown_ = false;
  uint64_t free_ = 0;
};

}  // namespace

std::unique_ptr<OnDiskFs> MakeFatOnDisk(VolumeSource& source, const uint8_t* bootSector, size_t length) {
  fat::BootSector boot;
  if (!fat::ParseBootSector(bootSector, length, source.SizeBytes(), boot)) return nullptr;
  return std::make_unique<FatOnDisk>(source, boot);
}

}  // namespace rv
