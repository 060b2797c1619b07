// What Windows answers for a mounted exFAT volume, computed from the boot
// region, the root directory and the allocation bitmap: file-system name
// "exFAT", label, geometry and free clusters.
#include <memory>

#include "platform/lasterror.h"
#include "volume/exfat_volume.h"
#include "volume/ondisk.h"

namespace rv {
namespace {

class ExfatOnDisk final : public OnDiskFs {
 public:
  ExfatOnDisk(VolumeSource& source, bool recognised, const exfat::BootSector& boot, std::string refusal,
              std::string notice)
      : source_(source), recognised_(recognised), boot_(boot) {
    facts_.refusal = std::move(refusal);
    facts_.notice = std::move(notice);
    if (!recognised_) return;
    facts_.family = FsFamily::Exfat;
    facts_.fileSystemName = u"exFAT";
    facts_.bytesPerSector = boot.bytesPerSector;
    facts_.sectorsPerCluster = boot.sectorsPerCluster;
    facts_.bytesPerCluster = boot.bytesPerCluster;
    facts_.totalClusters = boot.clusterCount;
    facts_.totalSectors = boot.volumeLength;
    facts_.clusterAreaEndBytes =
        (boot.clusterHeapOffset + uint64_t{boot.clusterCount} * boot.sectorsPerCluster) * boot.bytesPerSector;
    if (exfat::ReadRootFacts(source, boot, root_)) facts_.label = root_.label;
  }
  bool Recognised() const override { return recognised_; }
  const FsFacts& Facts() const override { return facts_; }

  bool FreeClusters(uint64_t& freeClusters) override {
    if (!recognised_) {
      SetLastErrorCode(kErrorUnrecognizedVolume);
      return false;
    }
    if (!bitmap_.Loaded()) {
      std::string why;
      if (!bitmap_.Load(source_, boot_, root_, why)) {
        SetLastErrorCode(kErrorUnrecognizedVolume);
        return false;
      }
    }
    freeClusters = bitmap_.FreeCount();
    return true;
  }

 private:
  VolumeSource& source_;
  bool recognised_;
  exfat::BootSector boot_;
  exfat::RootFacts root_;
  exfat::AllocationBitmap bitmap_;
  FsFacts facts_;
};

}  // namespace

std::unique_ptr<OnDiskFs> MakeExfatOnDisk(VolumeSource& source, const uint8_t*, size_t) {
  exfat::BootSector boot;
  std::string why, notice;
  const bool ok = exfat::ReadBootRegion(source, boot, why, &notice);
  return std::make_unique<ExfatOnDisk>(source, ok, boot, ok ? std::string() : why, notice);
}

}  // namespace rv
