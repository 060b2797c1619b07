#include "volume/readable.h"

#include <algorithm>

#include "volume/aligned_buffer.h"

namespace rv {

uint64_t UnreadableClusters(VolumeSource& source, uint64_t clusterZero, uint64_t bytesPerCluster,
                            const std::vector<LcnRun>& runs) {
  if (!source.MayHoldUnreadable() || bytesPerCluster == 0 || bytesPerCluster > UINT32_MAX) return 0;
  const uint64_t perPiece = std::max<uint64_t>(1, (uint64_t{1} << 20) / bytesPerCluster);
  AlignedBuffer buffer(static_cast<size_t>(perPiece * bytesPerCluster));
  auto readable = [&](uint64_t lcn, uint64_t count) {
    if (lcn > (UINT64_MAX - clusterZero) / bytesPerCluster) return false;
    return source.Read(clusterZero + lcn * bytesPerCluster, buffer.data(), static_cast<uint32_t>(count * bytesPerCluster));
  };
  uint64_t unreadable = 0;
  for (const LcnRun& run : runs) {
    for (uint64_t done = 0; done < run.count;) {
      const uint64_t n = std::min(perPiece, run.count - done);
      if (!readable(run.lcn + done, n)) {
        if (n == 1) ++unreadable;
        else
          for (uint64_t i = 0; i < n; ++i) unreadable += readable(run.lcn + done + i, 1) ? 0 : 1;
      }
      done += n;
    }
  }
  return unreadable;
}

}  // namespace rv
