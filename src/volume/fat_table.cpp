#include "volume/fat_table.h"


#include "format/cluster_stretches.h"
#include "platform/lasterror.h"
#include "platform/types.h"

namespace rv::fat {

namespace {
uint64_t FatCopyStart(const BootSector& boot, uint32_t copy) {
  return (boot.firstFatSector + static_cast<uint64_t>(copy) * boot.sectorsPerFat) * boot.bytesPerSector;
}
}  // namespace

FatTable::FatTable(VolumeSource& source, const BootSector& boot) : FatTable(source, boot, ActiveFatIndex(boot)) {}

FatTable::FatTable(VolumeSource& source, const BootSector& boot, uint32_t copy)
    : boot_(boot),
      fat_(source, FatCopyStart(boot, copy), static_cast<uint64_t>(boot.sectorsPerFat) * boot.bytesPerSector) {}

bool FatTable::Entry(uint64_t cluster, uint32_t& value) {
  if (cluster > boot_.clusterCount + 1) {
    SetLastErrorCode(kErrorInvalidParameter);
    return false;
  }
  uint8_t b[4] = {};
  switch (boot_.fatBits) {
    case 12: {
      if (!fat_.Read(cluster + cluster / 2, b, 2)) return false;
      const uint32_t v = b[0] | (b[1] << 8);
      value = (cluster & 1) ? (v >> 4) : (v & 0x0FFF);
      return true;
    }
    case 16:
      if (!fat_.Read(cluster * 2, b, 2)) return false;
      value = b[0] | (b[1] << 8);
      return true;
    case 32:
      if (!fat_.Read(cluster * 4, b, 4)) return false;
      value = (b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24)) & 0x0FFFFFFF;
      return true;
    default:
      return false;
  }
}

bool FatTable::IsEndOfChain(uint32_t value) const {
  switch (boot_.fatBits) {
    case 12: return value >= 0xFF8;
    case 16: return value >= 0xFFF8;
    default: return value >= 0x0FFFFFF8;
  }
}

ChainStatus ChainExtents(FatTable& table, uint64_t first, std::vector<ClusterExtent>& extents,
                         uint64_t maxClusters) {
  const uint64_t last = table.ClusterCount() + 1;
  if (first < 2 || first > last) return ChainStatus::Corrupt;
  ClusterStretches taken;
  uint64_t count = 0;
  uint64_t cluster = first;
  for (;;) {
    if (count >= maxClusters) return ChainStatus::Corrupt;
    ++count;
    if (taken.Add(cluster))
      ++extents.back().clusters;
    else
      extents.push_back({cluster - 2, 1});
    uint32_t next = 0;
    if (!table.Entry(cluster, next)) return ChainStatus::ReadFailed;
    if (table.IsEndOfChain(next)) return ChainStatus::Ok;
    if (next < 2 || next > last) return ChainStatus::Corrupt;
    if (taken.Contains(next)) return ChainStatus::Looped;
    cluster = next;
  }
}

}  // namespace rv::fat
