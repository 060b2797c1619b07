#include "volume/ondisk.h"

#include <cstring>
#include <vector>

#include "platform/lasterror.h"
#include "volume/exfat_volume.h"

namespace rv {
namespace {

class UnknownFs final : public OnDiskFs {
 public:
  bool Recognised() const override { return false; }
  const FsFacts& Facts() const override { return facts_; }
  bool FreeClusters(uint64_t&) override {
    SetLastErrorCode(kErrorUnrecognizedVolume);
    return false;
  }

 private:
  FsFacts facts_;
};

}  // namespace

NtStatus OnDiskFs::FsControl(uint32_t, const void*, uint32_t, void*, uint32_t, uint64_t& information) {
  information = 0;
  return kStatusInvalidDeviceRequest;
}

NtStatus OnDiskFs::RetrievalPointers(TextView, bool, const void*, uint32_t, void*, uint32_t, uint64_t& information,
                                     uint64_t& fileSize) {
  information = 0;
  fileSize = 0;
  return kStatusInvalidDeviceRequest;
}

std::unique_ptr<OnDiskFs> MakeOnDiskFs(VolumeSource& source) {
  const uint32_t sector = source.SectorSize();
  if (sector >= 512 && source.SizeBytes() >= sector) {
    std::vector<uint8_t> boot(sector);
    if (source.Read(0, boot.data(), sector)) {
      if (std::memcmp(boot.data() + 3, "EXFAT   ", 8) == 0) return MakeExfatOnDisk(source, boot.data(), boot.size());
      if (std::memcmp(boot.data() + 3, "NTFS    ", 8) == 0) {
        if (auto fs = MakeNtfsOnDisk(source, boot.data(), boot.size())) return fs;
      } else if (auto fs = MakeFatOnDisk(source, boot.data(), boot.size())) {
        return fs;
      }
      // Sector 0 names no file system, but an exFAT backup boot region may
      // have outlived it.
      if (exfat::HasBackupBootSector(source)) return MakeExfatOnDisk(source, boot.data(), boot.size());
    }
  }
  return std::make_unique<UnknownFs>();
}

}  // namespace rv
