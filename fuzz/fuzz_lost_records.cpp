// The scanners of old records (src/lost). Input: u8 scanner (NTFS FILE/INDX
// records, FAT folder clusters, exFAT entry sets), u8 how the rest is cut
// into blocks (so that records and sets straddle two blocks, and gaps lie
// between them, as a sequential pass feeds them), u8 cluster size (512 <<
// 0-3), u32 the cluster the bytes begin at, then the volume's bytes. Every
// scan ends, and what it lists is well formed.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "fuzz_check.h"
#include "lost/exfat_lost.h"
#include "lost/fat_lost.h"
#include "lost/ntfs_lost.h"

using namespace rv;

namespace {

constexpr uint64_t kClusters = 4096;

// Blocks of 512 × (1 + step % 16) bytes; step bit 4 leaves a gap of one
// block after every third.
template <typename Scanner>
std::vector<lost::LostFile> FeedAll(Scanner& scanner, uint64_t offset, const uint8_t* data, size_t size, uint8_t step) {
  const size_t block = 512 * (1 + step % 16);
  size_t n = 0;
  for (size_t pos = 0; pos < size; pos += block, ++n) {
    const size_t length = std::min(block, size - pos);
    if (!((step & 0x10) && n % 3 == 2)) scanner.Feed(offset, Bytes(data + pos, length));
    offset += length;
  }
  return scanner.Finish();
}

void CheckListed(const std::vector<lost::LostFile>& files) {
  for (const lost::LostFile& f : files) {
    fuzz::Check(!f.name.empty());
    fuzz::Check(f.folder.empty() || f.folder[0] == u'\\');
    fuzz::Check(f.validSize <= f.size || f.source == lost::LostSource::NtfsIndex);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kHeader = 7;
  if (size < kHeader) return 0;
  const uint8_t kind = data[0] % 3, step = data[1];
  const uint64_t clusterBytes = uint64_t{512} << (data[2] % 4);
  const uint64_t first = 2 + (data[3] | data[4] << 8 | data[5] << 16 | uint64_t{data[6]} << 24) % kClusters;
  // Cluster 2 at byte 0: the bytes given begin at cluster `first`.
  const uint64_t offset = (first - 2) * clusterBytes;
  data += kHeader;
  size -= kHeader;
  if (kind == 0) {
    lost::NtfsScanGeometry g;
    g.bytesPerFileRecord = 1024;
    g.bytesPerIndexRecord = 4096;
    g.bytesPerCluster = clusterBytes;
    g.totalClusters = kClusters;
    g.currentMft.push_back({offset, offset + 1024});
    lost::NtfsRecordScanner scanner(g);
    CheckListed(FeedAll(scanner, offset, data, size, step));
  } else if (kind == 1) {
    lost::FatScanGeometry g;
    g.bytesPerCluster = clusterBytes;
    g.clusterCount = kClusters;
    g.fat32 = (step & 0x20) != 0;
    g.rootCluster = g.fat32 ? 2 : 0;
    lost::FatFolderScanner scanner(g);
    CheckListed(FeedAll(scanner, offset, data, size, step));
  } else {
    lost::ExfatScanGeometry g;
    g.bytesPerCluster = clusterBytes;
    g.clusterCount = kClusters;
    lost::ExfatSetScanner scanner(g);
    CheckListed(FeedAll(scanner, offset, data, size, step));
  }
  return 0;
}
