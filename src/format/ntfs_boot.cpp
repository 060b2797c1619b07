#include "format/ntfs_boot.h"

#include <cstring>

#include "format/le.h"

namespace rv::ntfs {
namespace {
bool PowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// Clusters-per-record fields: a positive byte counts clusters, a negative
// one gives the size as 2^-v bytes (used when a record is smaller than a
// cluster, e.g. 1 KiB records on 4 KiB clusters).
uint64_t RecordSize(int8_t v, uint64_t bytesPerCluster) {
  if (v > 0) return static_cast<uint64_t>(v) * bytesPerCluster;
  if (v < 0 && v >= -31) return uint64_t{1} << (-v);
  return 0;
}
}  // namespace

bool ParseBootSector(const uint8_t* sector, size_t length, BootSector& out) {
  if (length < 512) return false;
  Bytes b(sector, length);
  out = BootSector{};
  if (std::memcmp(sector + 3, "NTFS    ", 8) != 0) return false;
  out.bytesPerSector = le16(b, 0x0B);
  if (out.bytesPerSector < 256 || out.bytesPerSector > 4096 || !PowerOfTwo(out.bytesPerSector)) return false;
  uint8_t spc = le8(b, 0x0D);
  if (spc == 0) return false;
  if (spc <= 0x80) {
    out.sectorsPerCluster = spc;
  } else {
    unsigned shift = 256u - spc;
    if (shift > 20) return false;
    out.sectorsPerCluster = uint64_t{1} << shift;
  }
  if (!PowerOfTwo(out.sectorsPerCluster)) return false;
  out.bytesPerCluster = out.sectorsPerCluster * out.bytesPerSector;
  if (out.bytesPerCluster > (uint64_t{2} << 20)) return false;  // 2 MiB is the largest NTFS cluster
  out.totalSectors = le64(b, 0x28);
  out.totalClusters = out.totalSectors / out.sectorsPerCluster;
  out.mftLcn = le64(b, 0x30);
  out.mftMirrLcn = le64(b, 0x38);
  out.bytesPerFileRecord = static_cast<uint32_t>(RecordSize(static_cast<int8_t>(le8(b, 0x40)), out.bytesPerCluster));
  out.bytesPerIndexRecord = static_cast<uint32_t>(RecordSize(static_cast<int8_t>(le8(b, 0x44)), out.bytesPerCluster));
  out.serialNumber = le64(b, 0x48);
  if (out.totalClusters == 0 || out.mftLcn >= out.totalClusters || out.mftMirrLcn >= out.totalClusters) return false;
  if (!PowerOfTwo(out.bytesPerFileRecord) || out.bytesPerFileRecord < out.bytesPerSector ||
      out.bytesPerFileRecord > 65536)
    return false;
  return true;
}

}  // namespace rv::ntfs
