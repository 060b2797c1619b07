#include "format/fat_boot.h"

#include <cstring>

#include "format/le.h"

namespace rv::fat {
namespace {
bool PowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }
}  // namespace

bool ParseBootSector(const uint8_t* sector, size_t length, uint64_t volumeBytes, BootSector& out) {
  if (length < 512) return false;
  Bytes b(sector, length);
  out = BootSector{};
  // A boot sector starts with a jump (EB xx 90 or E9 xx xx).
  if (b[0] != 0xEB && b[0] != 0xE9) return false;
  out.bytesPerSector = le16(b, 0x0B);
  out.sectorsPerCluster = le8(b, 0x0D);
  out.reservedSectors = le16(b, 0x0E);
  out.fatCount = le8(b, 0x10);
  out.rootEntryCount = le16(b, 0x11);
  uint32_t total16 = le16(b, 0x13);
  uint32_t fat16 = le16(b, 0x16);
  uint32_t total32 = le32(b, 0x20);
  out.totalSectors = total16 != 0 ? total16 : total32;
  if (out.bytesPerSector < 512 || out.bytesPerSector > 4096 || !PowerOfTwo(out.bytesPerSector)) return false;
  if (!PowerOfTwo(out.sectorsPerCluster) || out.sectorsPerCluster > 128) return false;
  if (out.reservedSectors == 0 || out.fatCount == 0 || out.totalSectors == 0) return false;
  if (fat16 != 0) {
    out.sectorsPerFat = fat16;
    std::memcpy(out.volumeLabel, sector + 0x2B, 11);
  } else {
    out.sectorsPerFat = le32(b, 0x24);
    out.extendedFlags = le16(b, 0x28);
    out.rootCluster = le32(b, 0x2C);
    std::memcpy(out.volumeLabel, sector + 0x47, 11);
  }
  if (out.sectorsPerFat == 0) return false;
  out.rootDirSectors = (static_cast<uint64_t>(out.rootEntryCount) * 32 + out.bytesPerSector - 1) / out.bytesPerSector;
  out.firstFatSector = out.reservedSectors;
  out.firstRootSector = out.firstFatSector + static_cast<uint64_t>(out.fatCount) * out.sectorsPerFat;
  out.firstDataSector = out.firstRootSector + out.rootDirSectors;
  if (out.firstDataSector >= out.totalSectors) return false;
  // The boot sector may claim more sectors than the device holds (a
  // truncated image); the claim still decides the FAT type.
  (void)volumeBytes;
  out.clusterCount = (out.totalSectors - out.firstDataSector) / out.sectorsPerCluster;
  if (out.clusterCount == 0) return false;
  if (fat16 == 0) {
    out.fatBits = 32;
  } else if (out.clusterCount < 4085) {
    out.fatBits = 12;
  } else if (out.clusterCount < 65525) {
    out.fatBits = 16;
  } else {
    out.fatBits = 32;  // a FAT32-sized volume with a 16-bit FAT size field is not valid
    return false;
  }
  if (out.fatBits == 32 && out.clusterCount < 65525 && out.rootEntryCount != 0) return false;
  // The FAT must be large enough to describe every cluster.
  uint64_t fatBytes = static_cast<uint64_t>(out.sectorsPerFat) * out.bytesPerSector;
  uint64_t neededBits = (out.clusterCount + 2) * static_cast<uint64_t>(out.fatBits);
  if (fatBytes * 8 < neededBits) return false;
  if (out.fatBits == 32 && out.rootCluster < 2) return false;
  return true;
}

const char* FatSearchRefusal(uint64_t bps, uint64_t bpc, uint64_t clusterCount) {
  if (clusterCount < kFat16MinClusters)
    return "FAT12 volumes are not supported (NTFS, FAT16, FAT32 and exFAT are)";
  if (bps < 512 || bps > 4096 || !PowerOfTwo(bps) || bpc < bps || bpc > 128 * bps || !PowerOfTwo(bpc))
    return "the FAT volume's sector or cluster size is not one FAT allows";
  return nullptr;
}

uint32_t ActiveFatIndex(const BootSector& boot) {
  if (boot.fatBits != 32 || (boot.extendedFlags & 0x80) == 0) return 0;
  const uint32_t index = boot.extendedFlags & 0x0F;
  return index < boot.fatCount ? index : 0;
}

}  // namespace rv::fat
