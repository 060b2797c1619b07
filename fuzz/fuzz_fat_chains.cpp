// Cluster chains over a FAT taken from the input.
// Input: u8 selector (bits 0-1: 0 FAT16, 1 FAT32, 2 FAT12, 3 FAT16; bits
// 2-4: log2 of the sectors per 512-byte-sector cluster), u32 first cluster
// of the chain (0 = an entry without clusters), u32 cluster count of the
// volume (cut to 1024 past the given entries), then the first bytes of the
// FAT (the rest of the table is free).
// The chain is followed by the engine (FAT blocks, chain to run list) and
// by the on-disk answer layer (FAT table, chain to extents). Invariants:
// both end, stay inside the volume, and give exactly the clusters of the
// chain as read from the table here, or report it broken when it loops,
// meets a free entry or leaves the volume.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "volume/fat_table.h"
#include "fat/fue.h"
#include "volume/diaglog.h"
#include "format/le.h"
#include "volume/source.h"

using namespace rv;

namespace {

using fuzz::Check;

constexpr uint64_t kSector = 512;
constexpr uint64_t kReservedSectors = 1;

uint32_t EntryOf(const std::vector<uint8_t>& fat, int bits, uint64_t c) {
  Bytes b(fat.data(), fat.size());
  if (bits == 12) {
    const uint32_t v = le16(b, c + c / 2);
    return (c & 1) ? (v >> 4) : (v & 0x0FFF);
  }
  if (bits == 16) return le16(b, c * 2);
  return le32(b, c * 4) & 0x0FFFFFFF;
}

bool EndOfChain(int bits, uint32_t v) {
  return bits == 12 ? v >= 0xFF8 : bits == 16 ? v >= 0xFFF8 : v >= 0x0FFFFFF8;
}

// The clusters of the chain from `start`; false when it is broken.
// The chain from `start` as a plain walk sees it: true when it ends at an
// end-of-chain mark. `looped` tells a chain that comes back to one of its
// own clusters (`seq` then holds each cluster once, up to the loop).
bool Reference(const std::vector<uint8_t>& fat, int bits, uint64_t total, uint64_t start, std::vector<uint64_t>& seq,
               bool& looped) {
  const uint64_t last = total + 1;
  looped = false;
  if (start < 2 || start > last) return false;
  std::vector<bool> seen(static_cast<size_t>(last + 1), false);
  for (uint64_t c = start;;) {
    seq.push_back(c);
    seen[static_cast<size_t>(c)] = true;
    const uint32_t next = EntryOf(fat, bits, c);
    if (EndOfChain(bits, next)) return true;
    if (next < 2 || next > last) return false;
    if (seen[next]) {
      looped = true;
      return false;
    }
    c = next;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 9) return 0;
  Bytes in(data, size);
  const int kind = data[0] & 3;
  const int bits = kind == 1 ? 32 : kind == 2 ? 12 : 16;
  const uint64_t sectorsPerCluster = uint64_t{1} << ((data[0] >> 2) & 7);
  const uint64_t bytesPerCluster = sectorsPerCluster * kSector;
  const uint64_t start = le32(in, 1);
  const uint64_t maxTotal = bits == 12 ? 4084 : bits == 16 ? 65524 : (1u << 18);
  uint64_t total = le32(in, 5);
  if (total == 0 || total > maxTotal) total = total % maxTotal + 1;
  // Past the entries the input gives, the table is free: a chain that goes
  // there ends at the first free entry, so a volume much larger than the
  // given part only makes each run slower.
  const uint64_t given = (size - 9) * 8 / bits;
  if (total > given + 1024) total = given + 1024;

  // The FAT: entries for clusters 0 .. total + 1, in whole clusters.
  const uint64_t fatBytes = ((total + 2) * bits / 8 + 1 + bytesPerCluster - 1) / bytesPerCluster * bytesPerCluster;
  std::vector<uint8_t> fat(static_cast<size_t>(fatBytes), 0);
  std::memcpy(fat.data(), data + 9, std::min<size_t>(size - 9, fat.size()));
  std::vector<uint8_t> image(static_cast<size_t>(kReservedSectors * kSector + fatBytes + bytesPerCluster), 0);
  std::memcpy(image.data() + kReservedSectors * kSector, fat.data(), fat.size());
  std::shared_ptr<VolumeSource> source = MakeMemorySource(image, kSector);

  std::vector<uint64_t> seq;
  bool looped = false;
  const bool sound = Reference(fat, bits, total, start, seq, looped);

  // ---- The on-disk layer's FAT table.
  fat::BootSector boot;
  boot.bytesPerSector = kSector;
  boot.sectorsPerCluster = static_cast<uint32_t>(sectorsPerCluster);
  boot.reservedSectors = kReservedSectors;
  boot.fatCount = 1;
  boot.sectorsPerFat = static_cast<uint32_t>(fatBytes / kSector);
  boot.firstFatSector = kReservedSectors;
  boot.clusterCount = total;
  boot.fatBits = bits;
  {
    fat::FatTable table(*source, boot);
    std::vector<fat::ClusterExtent> extents;
    const fat::ChainStatus status = fat::ChainExtents(table, start, extents);
    Check(status != fat::ChainStatus::ReadFailed);
    Check((status == fat::ChainStatus::Ok) == sound);
    if (sound) {
      size_t k = 0;
      for (size_t i = 0; i < extents.size(); ++i) {
        Check(extents[i].clusters > 0 && InBounds(total, extents[i].lcn, extents[i].clusters));
        // Adjacent clusters are one extent.
        if (i > 0) Check(extents[i - 1].lcn + extents[i - 1].clusters != extents[i].lcn);
        for (uint64_t j = 0; j < extents[i].clusters; ++j) Check(k < seq.size() && seq[k++] == extents[i].lcn + j + 2);
      }
      Check(k == seq.size());
    }
  }

  // ---- The engine, FAT16 and FAT32 only.
  if (bits == 12) return 0;
  FueVolumeData v;
  v.handle = source;
  v.fileSystemKind = bits == 32 ? kFsFat32 : kFsFat16;
  v.bytesPerSector = kSector;
  v.sectorsPerCluster = sectorsPerCluster;
  v.bytesPerCluster = bytesPerCluster;
  v.totalClusters = total;
  v.boot = boot;
  v.dataAreaOffset = kReservedSectors * kSector + fatBytes;
  v.directoryMode = data[0] >> 7;
  v.startLcn = start == 0 ? kNoClusterLcn : static_cast<int64_t>(start) - 2;
  const BOOL ok = FatChainToRunList(v);
  Check(ok != kFalse);
  if (start == 0) {
    Check(v.runCount == 0 && v.clusterCount == 0);
  } else if (looped) {
    // Read up to the loop, each cluster once (or refused as too long for a
    // folder).
    Check(v.runCount == 0 || (v.clusterCount == seq.size() && v.runCount <= seq.size()));
  } else if (!sound) {
    Check(v.runCount == 0 && v.clusterCount <= total + 1);
  } else if (v.directoryMode && seq.size() > kMaxDirectoryBytes / bytesPerCluster + 1) {
    // No folder holds more than 65,536 entries: a longer chain, sound as it
    // is, is refused as a folder's (it runs on into a file's clusters).
    Check(v.runCount == 0);
  } else {
    Check(v.clusterCount == seq.size() && v.runCount >= 1 && v.runCount <= seq.size());
    size_t k = 0;
    for (uint64_t i = 0; i < v.runCount; ++i) {
      const int64_t lcn = v.RunLcn(i);
      const uint64_t count = v.RunClusters(i);
      Check(lcn >= 0 && count > 0 && InBounds(total, static_cast<uint64_t>(lcn), count));
      for (uint64_t j = 0; j < count; ++j)
        Check(k < seq.size() && seq[k++] == static_cast<uint64_t>(lcn) + j + 2);
    }
    Check(k == seq.size());
    Check(v.fragmented == (v.runCount > 1 ? 1u : 0u));
  }
  FreeGlobalBlock(&v.runList, &v.runListAddress);
  return 0;
}
