// What Windows answers for a mounted NTFS volume, computed from the boot
// sector and the MFT's own records.
#include <cstring>
#include <memory>
#include <vector>

#include "ntfs/ntfs_boot.h"
#include "platform/lasterror.h"
#include "volume/le.h"
#include "volume/ondisk.h"

namespace rv {
namespace {

class NtfsOnDisk final : public OnDiskFs {
 public:
  NtfsOnDisk(VolumeSource& source, const ntfs::BootSector& boot) : source_(source), boot_(boot) {
    facts_.family = FsFamily::Ntfs;
    facts_.fileSystemName = u"NTFS";
    facts_.bytesPerSector = boot.bytesPerSector;
    facts_.sectorsPerCluster = static_cast<uint32_t>(boot.sectorsPerCluster);
    facts_.bytesPerCluster = boot.bytesPerCluster;
    facts_.totalClusters = boot.totalClusters;
    facts_.totalSectors = boot.totalSectors;
    facts_.label = ReadLabel();
  }
  bool Recognised() const override { return true; }
  const FsFacts& Facts() const override { return facts_; }
  bool FreeClusters(uint64_t& freeClusters) override {
    (void)freeClusters;
    SetLastErrorCode(kErrorNotSupported);
    return false;
  }

 private:
  // $Volume is record 3; the first records of the MFT are contiguous at the
  // MFT's first cluster on every volume that mkntfs or Windows formats.
  Text ReadLabel() {
    const uint32_t size = boot_.bytesPerFileRecord;
    std::vector<uint8_t> rec(size);
    uint64_t offset = boot_.mftLcn * boot_.bytesPerCluster + 3ull * size;
    if (!source_.ReadBytes(offset, rec.data(), rec.size())) return {};
    if (std::memcmp(rec.data(), "FILE", 4) != 0) return {};
    Bytes r(rec);
    // Update sequence: restore the last two bytes of every 512-byte stride.
    uint32_t usaOff = le16(r, 4), usaCount = le16(r, 6);
    if (usaCount == 0 || usaCount - 1 > size / 512 || !InBounds(size, usaOff, usaCount * 2ull)) return {};
    uint16_t usn = le16(r, usaOff);
    for (uint32_t i = 1; i < usaCount; ++i) {
      size_t end = 512ull * i - 2;
      if (le16(r, end) != usn) return {};
      rec[end] = rec[usaOff + 2 * i];
      rec[end + 1] = rec[usaOff + 2 * i + 1];
    }
    uint32_t off = le16(r, 20);
    while (InBounds(size, off, 16)) {
      uint32_t type = le32(r, off), len = le32(r, off + 4);
      if (type == 0xFFFFFFFF || len < 16 || !InBounds(size, off, len)) break;
      if (type == 0x60 && le8(r, off + 8) == 0) {  // $VOLUME_NAME, resident
        uint32_t vlen = le32(r, off + 16), voff = le16(r, off + 20);
        if (!InBounds(len, voff, vlen)) break;
        Text t;
        for (uint32_t i = 0; i + 1 < vlen; i += 2) t.push_back(static_cast<char16_t>(le16(r, off + voff + i)));
        return t;
      }
      off += len;
    }
    return {};
  }

  VolumeSource& source_;
  ntfs::BootSector boot_;
  FsFacts facts_;
};

}  // namespace

std::unique_ptr<OnDiskFs> MakeNtfsOnDisk(VolumeSource& source, const uint8_t* bootSector, size_t length) {
  ntfs::BootSector boot;
  if (!ntfs::ParseBootSector(bootSector, length, boot)) return nullptr;
  return std::make_unique<NtfsOnDisk>(source, boot);
}

}  // namespace rv
