// The old-record scanner for a volume's file system, set up from its boot
// sector, and the hook the deep scan's sequential pass feeds:
//
//   LostRecordScan scan;
//   if (scan.Open(source)) {
//     for each block the pass reads:  if (scan.Wants(offset, length)) scan.Feed(offset, bytes);
//     files = scan.Finish();
//   }
//
// The pass hands free clusters (or the whole volume: the scanner leaves
// out the current MFT itself); ScanVolumeForLostFiles is such a pass of
// its own, for use where no deep scan runs.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "lost/exfat_lost.h"
#include "lost/fat_lost.h"
#include "lost/ntfs_lost.h"
#include "volume/ondisk.h"
#include "volume/source.h"

namespace rv::lost {

class LostRecordScan {
 public:
  // False when the volume holds no NTFS, FAT16/32 or exFAT file system
  // whose layout can be read (`why` says what).
  bool Open(VolumeSource& source, std::string& why);
  FsFamily Family() const { return family_; }
  void Feed(uint64_t offset, Bytes block);
  std::vector<LostFile> Finish();
  LostCounts Counts() const;

  // Cluster geometry of the volume, for a pass that feeds clusters.
  uint64_t BytesPerCluster() const { return bytesPerCluster_; }
  uint64_t ClusterBase() const { return clusterBase_; }  // offset of the first cluster the scan counts

 private:
  FsFamily family_ = FsFamily::Unknown;
  uint64_t bytesPerCluster_ = 0, clusterBase_ = 0;
  std::unique_ptr<NtfsRecordScanner> ntfs_;
  std::unique_ptr<FatFolderScanner> fat_;
  std::unique_ptr<ExfatSetScanner> exfat_;
};

// Where the clusters of a FAT or exFAT volume lie, and whether the volume
// uses each now (its FAT, or exFAT's allocation bitmap). On NTFS nothing
// is loaded and no cluster counts as in use (the engine keeps the bitmap).
class ClusterAllocation {
 public:
  explicit ClusterAllocation(VolumeSource& source);
  ~ClusterAllocation();
  bool Load(std::string& why);
  FsFamily Family() const { return family_; }
  uint64_t BytesPerCluster() const { return bytesPerCluster_; }
  uint64_t Base() const { return base_; }          // byte offset of cluster 2
  uint64_t ClusterCount() const { return count_; } // clusters numbered from 2
  // A cluster outside the volume, or one the table cannot say of, is in use.
  bool InUse(uint64_t cluster);

 private:
  struct Tables;
  VolumeSource& source_;
  FsFamily family_ = FsFamily::Unknown;
  uint64_t bytesPerCluster_ = 0, base_ = 0, count_ = 0;
  std::unique_ptr<Tables> tables_;
};

// One pass of our own over the volume's free clusters (FAT and exFAT by
// their allocation tables; NTFS: every cluster but the current MFT), read
// in 1 MiB pieces, each once. False when the volume cannot be scanned or
// a read fails (`why` says where).
bool ScanVolumeForLostFiles(VolumeSource& source, std::vector<LostFile>& files, LostCounts& counts, std::string& why);

}  // namespace rv::lost
