#include "volume/exfat_volume.h"

#include <algorithm>
#include <bit>

#include "format/cluster_stretches.h"
#include "format/le.h"

namespace rv::exfat {

namespace {

enum class RegionCheck { Good, Unreadable, NotExfat, BadFields, BadChecksum };

// Reads the boot region (boot sector to checksum sector, 12 sectors) that
// starts at byte `offset`, and checks its boot sector's fields and its
// checksum.
RegionCheck CheckBootRegion(VolumeSource& source, uint64_t offset, BootSector& out) {
  uint8_t first[512];
  if (!source.ReadBytes(offset, first, sizeof first)) return RegionCheck::Unreadable;
  BootSector bs;
  switch (ParseBootSector(first, sizeof first, bs)) {
    case BootProblem::NotExfat: return RegionCheck::NotExfat;
    case BootProblem::BadFields: return RegionCheck::BadFields;
    case BootProblem::None: break;
  }
  out = bs;
  // The region is 12 sectors of the volume's own size: sectors 0-10 and the
  // checksum sector.
  std::vector<uint8_t> region(static_cast<size_t>(bs.bytesPerSector) * kBootRegionSectors);
  if (!source.ReadBytes(offset, region.data(), region.size())) return RegionCheck::Unreadable;
  return BootChecksumMatches(region.data(), bs.bytesPerSector) ? RegionCheck::Good : RegionCheck::BadChecksum;
}

const char* MainRegionProblem(RegionCheck check) {
  switch (check) {
    case RegionCheck::Unreadable: return "cannot be read";
    case RegionCheck::NotExfat: return "holds no exFAT boot sector";
    case RegionCheck::BadFields: return "is damaged (its sizes or offsets are impossible)";
    default: return "fails its checksum";
  }
}

}  // namespace

bool ReadBootRegion(VolumeSource& source, BootSector& out, std::string& why, std::string* notice) {
  BootSector main;
  const RegionCheck check = CheckBootRegion(source, 0, main);
  if (check == RegionCheck::Good) {
    out = main;
    return true;
  }
  // The backup region starts at sector 12: of the main boot sector's sector
  // size when its fields are sound, else of whichever size the backup's own
  // boot sector names.
  bool backupFound = false;
  for (uint32_t sector = 512; sector <= 4096; sector *= 2) {
    if (check == RegionCheck::BadChecksum && sector != main.bytesPerSector) continue;
    BootSector backup;
    const RegionCheck b = CheckBootRegion(source, uint64_t{kBackupBootSector} * sector, backup);
    if (b == RegionCheck::NotExfat || b == RegionCheck::Unreadable) continue;
    if (b != RegionCheck::BadFields && backup.bytesPerSector != sector) continue;
    backupFound = true;
    if (b != RegionCheck::Good) continue;
    out = backup;
    if (notice)
      *notice = std::string("the exFAT main boot region (sectors 0-11) ") + MainRegionProblem(check) +
                "; the volume is read through its backup boot region (sectors 12-23)";
    return true;
  }
  switch (check) {
    case RegionCheck::Unreadable: why = "the exFAT boot region cannot be read"; break;
    case RegionCheck::NotExfat: why = "no exFAT boot sector"; break;
    case RegionCheck::BadFields: why = "the exFAT boot sector is damaged (its sizes or offsets are impossible)"; break;
    default: why = "the exFAT boot region fails its checksum (the boot sectors are damaged)"; break;
  }
  if (backupFound) why += ", and so does its backup (sectors 12-23)";
  return false;
}

bool HasBackupBootSector(VolumeSource& source) {
  for (uint32_t sector = 512; sector <= 4096; sector *= 2) {
    uint8_t first[512];
    if (source.ReadBytes(uint64_t{kBackupBootSector} * sector, first, sizeof first) &&
        HasExfatName(first, sizeof first) && first[kBootBytesPerSectorShift] < 32 &&
        (1u << first[kBootBytesPerSectorShift]) == sector)
      return true;
  }
  return false;
}

bool FatReader::Next(uint32_t cluster, uint32_t& value) {
  const uint64_t offset = boot_.ActiveFatSector() * boot_.bytesPerSector + uint64_t{cluster} * 4;
  uint8_t entry[4];
  if (!volume_.Read(offset, entry, sizeof entry)) return false;
  value = le32At(entry);
  return true;
}

bool FollowChain(FatReader& fat, const BootSector& boot, uint32_t first, uint64_t maxClusters,
                 std::vector<uint32_t>& clusters, bool& complete) {
  clusters.clear();
  complete = false;
  if (!boot.IsHeapCluster(first) || maxClusters == 0) return true;
  ClusterStretches seen;
  uint32_t c = first;
  while (clusters.size() < maxClusters) {
    if (seen.Contains(c)) return true;  // a loop: each cluster once
    seen.Add(c);
    clusters.push_back(c);
    uint32_t next = 0;
    if (!fat.Next(c, next)) return false;
    if (next == kFatEndOfChain) {
      complete = true;
      return true;
    }
    if (!boot.IsHeapCluster(next)) return true;
    c = next;
  }
  return true;
}

bool ReadHeap(VolumeSource& source, const BootSector& boot, uint32_t cluster, uint64_t offset, void* buffer,
              uint32_t length) {
  if (!boot.IsHeapCluster(cluster)) return false;
  return source.Read(boot.ClusterOffset(cluster) + offset, buffer, length);
}

bool ReadRootFacts(VolumeSource& source, const BootSector& boot, RootFacts& out) {
  FatReader fat(source, boot);
  std::vector<uint32_t> chain;
  bool complete = false;
  // The system entries open the root; a few clusters are plenty.
  if (!FollowChain(fat, boot, boot.rootCluster, 4, chain, complete)) return false;
  std::vector<uint8_t> cluster(static_cast<size_t>(boot.bytesPerCluster));
  RootFacts facts;
  bool label = false;
  for (uint32_t c : chain) {
    // A huge cluster holds far more than the system entries: its first
    // 64 KiB will do.
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(boot.bytesPerCluster, 65536));
    if (!ReadHeap(source, boot, c, 0, cluster.data(), n)) return false;
    for (uint32_t pos = 0; pos + kEntryBytes <= n; pos += kEntryBytes) {
      const uint8_t* e = cluster.data() + pos;
      const Bytes b(e, kEntryBytes);
      if (e[0] == kTypeEndOfDirectory) {
        out = facts;
        return true;
      }
      if (e[0] == kTypeBitmap && facts.bitmapCluster == 0 && (e[kBitmapFlags] & 1) == 0) {
        facts.bitmapCluster = le32(b, kTableFirstCluster);
        facts.bitmapBytes = le64(b, kTableDataLength);
      } else if (e[0] == kTypeUpcase && facts.upcaseCluster == 0) {
        facts.upcaseCluster = le32(b, kTableFirstCluster);
        facts.upcaseBytes = le64(b, kTableDataLength);
      } else if (e[0] == kTypeLabel && !label) {
        label = true;
        const size_t count = std::min<size_t>(e[kLabelCount], kMaxLabelUnits);
        for (size_t i = 0; i < count; ++i) facts.label.push_back(static_cast<char16_t>(le16(b, kLabelChars + 2 * i)));
      }
      if (facts.bitmapCluster != 0 && facts.upcaseCluster != 0 && label) {
        out = facts;
        return true;
      }
    }
  }
  out = facts;
  return true;
}

bool AllocationBitmap::Load(VolumeSource& source, const BootSector& boot, const RootFacts& root, std::string& why) {
  const uint64_t bytes = (uint64_t{boot.clusterCount} + 7) / 8;
  if (!boot.IsHeapCluster(root.bitmapCluster) || root.bitmapBytes < bytes) {
    why = "the exFAT allocation bitmap is missing or too short";
    return false;
  }
  // The bitmap lies in consecutive clusters (its entry allows no chain
  // that formatting would not make so), as every implementation writes it;
  // its FAT chain is checked all the same.
  FatReader fat(source, boot);
  std::vector<uint32_t> chain;
  bool complete = false;
  const uint64_t clusters = (bytes + boot.bytesPerCluster - 1) / boot.bytesPerCluster;
  if (!FollowChain(fat, boot, root.bitmapCluster, clusters, chain, complete) || chain.size() < clusters) {
    why = "the exFAT allocation bitmap's clusters cannot be read";
    return false;
  }
  // Only the bytes that hold bits are read (rounded to whole sectors): a
  // 32 MiB cluster holds the bitmap of a small volume many times over.
  const uint64_t wanted = (bytes + boot.bytesPerSector - 1) / boot.bytesPerSector * boot.bytesPerSector;
  bits_.assign(static_cast<size_t>(wanted), 0);
  // Runs of consecutive clusters are read in pieces of at most 4 MiB.
  constexpr uint64_t kPiece = 4u << 20;
  uint64_t done = 0;
  for (size_t i = 0; i < chain.size() && done < wanted; ++i) {
    for (uint64_t at = 0; at < boot.bytesPerCluster && done < wanted;) {
      const uint32_t n = static_cast<uint32_t>(std::min({kPiece, boot.bytesPerCluster - at, wanted - done}));
      if (!ReadHeap(source, boot, chain[i], at, bits_.data() + done, n)) {
        bits_.clear();
        why = "the exFAT allocation bitmap cannot be read";
        return false;
      }
      at += n;
      done += n;
    }
  }
  count_ = boot.clusterCount;
  return true;
}

uint64_t AllocationBitmap::FreeCount() const {
  uint64_t used = 0;
  const uint64_t whole = count_ / 8;
  for (uint64_t i = 0; i < whole; ++i) used += static_cast<uint64_t>(std::popcount(bits_[i]));
  for (uint64_t c = whole * 8; c < count_; ++c) used += (bits_[c >> 3] >> (c & 7)) & 1;
  return count_ - used;
}

}  // namespace rv::exfat
