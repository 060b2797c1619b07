// Reading an exFAT volume's own structures through a volume source: the
// main boot region (checked against its checksum), the FAT through a small
// block cache, cluster chains, the allocation bitmap and the root
// directory's system entries (label, bitmap, up-case table).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "format/exfat_format.h"
#include "platform/types.h"
#include "volume/cached_region.h"
#include "volume/source.h"

namespace rv::exfat {

// Reads and checks the main boot region, and when it fails (unreadable,
// impossible fields, a checksum that does not match) the backup region in
// sectors 12-23; `notice` then says the backup is used. On failure of both
// `why` says what is wrong in words a user can act on.
bool ReadBootRegion(VolumeSource& source, BootSector& out, std::string& why, std::string* notice = nullptr);
// Sector 12 holds an exFAT boot sector of its own sector size: a volume
// whose sector 0 was wiped may still be read through its backup region.
bool HasBackupBootSector(VolumeSource& source);

// Entries of the active FAT, read 64 KiB at a time.
class FatReader {
 public:
  // The volume's bytes are read through one cached block; an entry is
  // looked up at its place from the active FAT's start.
  FatReader(VolumeSource& source, const BootSector& boot) : boot_(boot), volume_(source, 0, source.SizeBytes()) {}
  // The FAT entry of a heap cluster; false when the read fails.
  bool Next(uint32_t cluster, uint32_t& value);

 private:
  const BootSector& boot_;
  CachedRegion volume_;
};

// Follows the chain from `first` for at most `maxClusters` clusters,
// stopping at its end, at a link that leaves the heap, or at a cluster it
// already holds (a loop). `complete` tells an end-of-chain mark from the
// other stops. False only when the FAT cannot be read.
bool FollowChain(FatReader& fat, const BootSector& boot, uint32_t first, uint64_t maxClusters,
                 std::vector<uint32_t>& clusters, bool& complete);

// What the root directory says of the volume.
struct RootFacts {
  Text label;
  uint32_t bitmapCluster = 0;
  uint64_t bitmapBytes = 0;
  uint32_t upcaseCluster = 0;
  uint64_t upcaseBytes = 0;
};
// Reads the root directory's system entries (they come before the files).
bool ReadRootFacts(VolumeSource& source, const BootSector& boot, RootFacts& out);

// Reads `length` bytes of a cluster run (clusters in a row from `cluster`)
// at byte `offset` into it; both sector multiples.
bool ReadHeap(VolumeSource& source, const BootSector& boot, uint32_t cluster, uint64_t offset, void* buffer,
              uint32_t length);

// The allocation bitmap, one bit per heap cluster (bit set: in use).
class AllocationBitmap {
 public:
  bool Load(VolumeSource& source, const BootSector& boot, const RootFacts& root, std::string& why);
  // Clusters outside the heap count as in use.
  bool InUse(uint64_t cluster) const {
    const uint64_t i = cluster - kFirstCluster;
    return cluster < kFirstCluster || i >= count_ || (bits_[i >> 3] >> (i & 7)) & 1;
  }
  uint64_t FreeCount() const;
  bool Loaded() const { return count_ != 0; }

 private:
  std::vector<uint8_t> bits_;
  uint64_t count_ = 0;
};

}  // namespace rv::exfat
