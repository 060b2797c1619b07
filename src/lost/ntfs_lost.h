// Old NTFS records found anywhere on the volume: FILE records outside the
// current MFT (a quick format writes a new, small MFT and leaves the old
// records in clusters it now calls free) and INDX records of old folders,
// whose entries name files whose FILE record is gone.
#pragma once
#include <cstdint>
#include <map>
#include <vector>

#include "format/ntfs_boot.h"
#include "lost/lost_file.h"

namespace rv::lost {

struct NtfsScanGeometry {
  uint32_t bytesPerFileRecord = 1024;
  uint32_t bytesPerIndexRecord = 4096;
  uint64_t bytesPerCluster = 4096;
  uint64_t totalClusters = 0;
  // Byte ranges of the current MFT: its records are the normal search's,
  // never listed a second time.
  std::vector<ByteRange> currentMft;
};
NtfsScanGeometry GeometryOf(const ntfs::BootSector& boot);

class NtfsRecordScanner {
 public:
  explicit NtfsRecordScanner(NtfsScanGeometry geometry);
  // The volume's bytes from `offset` (a multiple of 512), blocks in rising
  // order; a record that straddles two contiguous blocks is still read.
  void Feed(uint64_t offset, Bytes block);
  // The files found, their folders rebuilt from the parent references
  // among the records found. Folders are not listed themselves.
  std::vector<LostFile> Finish();
  const LostCounts& Counts() const { return counts_; }

 private:
  struct Record {
    uint64_t offset = 0;
    uint64_t number = 0;    // the record's own number (UINT64_MAX: not stored, NTFS 3.0)
    uint64_t lsn = 0;       // $LogFile sequence number: the newer copy wins
    uint16_t sequence = 0;
    bool inUse = false;
    bool directory = false;
    uint64_t parent = 0;    // parent reference, sequence included
    Text name;
    uint64_t size = 0;
    uint64_t modified = 0;
    uint64_t firstCluster = 0;  // LCN of the data's first run; 0 for resident data
  };
  struct IndexName {
    uint64_t offset = 0;
    uint64_t reference = 0;
    uint64_t parent = 0;
    bool directory = false;
    Text name;
    uint64_t size = 0;
    uint64_t modified = 0;
  };

  void ScanSpan(uint64_t offset, Bytes bytes, size_t limit);
  bool InCurrentMft(uint64_t offset) const;
  void ReadFileRecord(uint64_t offset, Bytes bytes);
  void ReadIndexRecord(uint64_t offset, Bytes bytes);
  void KeepRecord(Record&& r);
  // Folder path of the folder reference `parent` ("" for the root), or
  // false with `path` holding the folders placed below the first that
  // could not be.
  bool FolderPath(uint64_t parent, Text& path);

  NtfsScanGeometry g_;
  LostCounts counts_;
  std::vector<Record> records_;
  std::map<uint64_t, size_t> byNumber_;  // record number -> index in records_
  std::vector<IndexName> indexNames_;
  std::vector<uint8_t> work_;            // one record, fixed up
  std::vector<uint8_t> carry_;           // tail of the last block
  uint64_t carryOffset_ = 0;
  // Folder paths rebuilt by Finish, by record number.
  std::map<uint64_t, std::pair<bool, Text>> placed_;
};

}  // namespace rv::lost
