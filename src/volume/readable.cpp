#include "volume/readable.h"

#include <algorithm>
#include <cstring>

#include "volume/aligned_buffer.h"

namespace rv {

uint64_t ReadClustersSalvaging(uint64_t count, uint64_t bytesPerCluster, uint8_t* dest, uint8_t fill,
                               const std::function<bool(uint64_t first, uint64_t n, uint8_t* at)>& read) {
  if (count == 0 || read(0, count, dest)) return 0;
  uint64_t failed = 0;
  for (uint64_t i = 0; i < count; ++i) {
    uint8_t* at = dest + i * bytesPerCluster;
    if (count > 1 && read(i, 1, at)) continue;
    std::memset(at, fill, static_cast<size_t>(bytesPerCluster));
    ++failed;
  }
  return failed;
}

uint64_t UnreadableClusters(VolumeSource& source, uint64_t clusterZero, uint64_t bytesPerCluster,
                            const std::vector<LcnRun>& runs) {
  if (!source.MayHoldUnreadable() || bytesPerCluster == 0 || bytesPerCluster > UINT32_MAX) return 0;
  const uint64_t perPiece = std::max<uint64_t>(1, (uint64_t{1} << 20) / bytesPerCluster);
  AlignedBuffer buffer(static_cast<size_t>(perPiece * bytesPerCluster));
  uint64_t unreadable = 0;
  for (const LcnRun& run : runs) {
    for (uint64_t done = 0; done < run.count;) {
      const uint64_t n = std::min(perPiece, run.count - done);
      const uint64_t lcn = run.lcn + done;
      unreadable += ReadClustersSalvaging(n, bytesPerCluster, buffer.data(), 0, [&](uint64_t first, uint64_t k, uint8_t* at) {
        if (lcn + first > (UINT64_MAX - clusterZero) / bytesPerCluster) return false;
        return source.Read(clusterZero + (lcn + first) * bytesPerCluster, at, static_cast<uint32_t>(k * bytesPerCluster));
      });
      done += n;
    }
  }
  return unreadable;
}

}  // namespace rv
