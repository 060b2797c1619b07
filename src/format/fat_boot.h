// The FAT boot sector (BIOS parameter block) and the layout derived from it.
#pragma once
#include <cstddef>
#include <cstdint>

namespace rv::fat {

struct BootSector {
  uint32_t bytesPerSector = 0;     // 0x0B
  uint32_t sectorsPerCluster = 0;  // 0x0D
  uint32_t reservedSectors = 0;    // 0x0E
  uint32_t fatCount = 0;           // 0x10
  uint32_t rootEntryCount = 0;     // 0x11 (FAT12/16)
  uint64_t totalSectors = 0;       // 0x13, or 0x20 when that is 0
  uint32_t sectorsPerFat = 0;      // 0x16, or 0x24 on FAT32
  uint16_t extendedFlags = 0;      // 0x28 (FAT32): bit 7 mirroring off, bits 0-3 active FAT
  uint32_t rootCluster = 0;        // 0x2C (FAT32)
  uint8_t volumeLabel[11] = {};    // 0x2B (FAT12/16) or 0x47 (FAT32)

  // Derived.
  uint64_t rootDirSectors = 0;     // FAT12/16 fixed root directory
  uint64_t firstFatSector = 0;
  uint64_t firstRootSector = 0;    // FAT12/16
  uint64_t firstDataSector = 0;
  uint64_t clusterCount = 0;       // data clusters, numbered from 2
  int fatBits = 0;                 // 12, 16 or 32 by the cluster count
};

// Parses and validates a boot sector: every field that a later division or
// subtraction uses is checked first (non-zero, power of two, inside the
// volume). False for anything that is not a usable FAT boot sector.
bool ParseBootSector(const uint8_t* sector, size_t length, uint64_t volumeBytes, BootSector& out);

// Fewer clusters than this make a 12-bit FAT, which is not searched.
constexpr uint64_t kFat16MinClusters = 4087;

// Why the FAT engine will not search a volume of this geometry, or null
// when it will: the one check behind both `info`'s "supported" and the
// search. Sectors of 512, 1024, 2048 and 4096 bytes and clusters of up to
// 128 sectors are all valid FAT (optical and some flash media use 2048-byte
// sectors); a 12-bit FAT is refused.
const char* FatSearchRefusal(uint64_t bytesPerSector, uint64_t bytesPerCluster, uint64_t clusterCount);

// The FAT copy the file system keeps current: on FAT32 with mirroring
// turned off (flag bit 7) the one bits 0-3 name, else the first.
uint32_t ActiveFatIndex(const BootSector& boot);

}  // namespace rv::fat
