#include "channel/freespac.h"
#include "format/fsctl.h"

#include <algorithm>
#include <cstring>

#include "platform/lasterror.h"
#include "volume/diaglog.h"
#include "format/le.h"

namespace rv {
namespace {
constexpr uint32_t kBitmapHeader = fsctl::bitmap::kHeaderBytes;
}

bool VolumeBitmapSlice::Allocated(uint64_t cluster) const {
  if (cluster < first || cluster - first >= clusters) return true;
  const uint64_t bit = cluster - first;
  return (bits[static_cast<size_t>(bit / 8)] >> (bit % 8)) & 1;
}

bool FetchVolumeBitmap(const VolumeHandle& volume, uint64_t firstCluster, uint64_t count, VolumeBitmapSlice& out) {
  out = VolumeBitmapSlice{};
  const uint64_t start = firstCluster & ~uint64_t{7};
  const uint64_t wanted = firstCluster - start + count;
  const uint64_t bytes = (wanted + 7) / 8;
  if (count == 0 || bytes > (256u << 20)) {
    SetLastErrorCode(kErrorInvalidParameter);
    ErrorRecord("FreeSpac", 716);
    return false;
  }
  std::vector<uint8_t> buffer(static_cast<size_t>(kBitmapHeader + bytes), 0);
  uint64_t returned = 0;
  // Only this slice is asked for, so "more data" is the normal answer.
  const BOOL ok = DasdFsControl(volume.handle.get(), FSCTL_GET_VOLUME_BITMAP_CODE, &start, 8, buffer.data(),
                                static_cast<uint32_t>(buffer.size()), &returned);
  if (!ok && GetLastErrorCode() != kErrorMoreData) {
    ErrorRecord("FreeSpac", 716);
    return false;
  }
  Bytes b(buffer.data(), buffer.size());
  const uint64_t answered = le64(b, fsctl::bitmap::kStartingLcn), size = le64(b, fsctl::bitmap::kBitmapSize);
  if (returned < kBitmapHeader || answered != start) {
    SetLastErrorCode(kErrorInvalidData);
    ErrorRecord("FreeSpac", 716);
    return false;
  }
  out.first = start;
  out.clusters = std::min<uint64_t>({size, wanted, (returned - kBitmapHeader) * 8});
  out.bits.assign(buffer.begin() + kBitmapHeader, buffer.begin() + kBitmapHeader + (out.clusters + 7) / 8);
  return true;
}

bool ReadVerifiedClusters(const VolumeHandle& volume, const VolumeBitmapSlice& bitmap, uint64_t firstCluster,
                          uint64_t count, uint8_t* dest, uint32_t& inUse, uint64_t* unreadable) {
  const uint64_t bpc = volume.bytesPerCluster;
  while (count > 0) {
    const bool allocated = bitmap.Allocated(firstCluster);
    uint64_t group = 1;
    while (group < count && bitmap.Allocated(firstCluster + group) == allocated) ++group;
    if (allocated) {
      std::memset(dest, kInUseFill, static_cast<size_t>(group * bpc));
      inUse = 1;
    } else if (unreadable) {
      const uint64_t lost =
          DasdReadClustersSalvaging(volume, firstCluster, group, dest, volume.bytesPerSector, bpc, kInUseFill);
      if (lost != 0) inUse = 1;
      *unreadable += lost;
    } else if (!DasdReadCluster(volume, firstCluster, group, dest, volume.bytesPerSector, bpc)) {
      return false;
    }
    firstCluster += group;
    dest += group * bpc;
    count -= group;
  }
  return true;
}

}  // namespace rv
