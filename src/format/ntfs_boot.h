// The NTFS boot sector and the geometry derived from it.
#pragma once
#include <cstddef>
#include <cstdint>

namespace rv::ntfs {

struct BootSector {
  uint32_t bytesPerSector = 0;      // 0x0B
  uint64_t sectorsPerCluster = 0;   // 0x0D; values above 0x80 mean 2^(256 - v)
  uint64_t bytesPerCluster = 0;
  uint64_t totalSectors = 0;        // 0x28
  uint64_t totalClusters = 0;
  uint64_t mftLcn = 0;              // 0x30
  uint64_t mftMirrLcn = 0;          // 0x38
  uint32_t bytesPerFileRecord = 0;  // 0x40: clusters, or 2^(-v) bytes when negative
  uint32_t bytesPerIndexRecord = 0; // 0x44, same encoding
  uint64_t serialNumber = 0;        // 0x48
};

// Validates before deriving: sizes are powers of two, the record size is at
// least a sector and at most 64 KiB, the MFT lies inside the volume.
bool ParseBootSector(const uint8_t* sector, size_t length, BootSector& out);

}  // namespace rv::ntfs
