// Old FAT folders found in free space: a cluster whose first two entries
// are a "." naming that very cluster and a "..", or one whose every entry
// is a plausible directory entry (names, dates, first clusters and sizes
// that fit the volume), continuing the folder cluster before it. Their
// entries, deleted or not, give the names, sizes and first clusters of
// files whose folder was lost; the tree is rebuilt through the ".." links
// and the entries that name the folders.
#pragma once
#include <cstdint>
#include <map>
#include <vector>

#include "lost/cluster_units.h"
#include "lost/lost_file.h"

namespace rv::lost {

struct FatScanGeometry {
  uint64_t bytesPerCluster = 0;
  uint64_t dataAreaOffset = 0;  // byte offset of cluster 2
  uint64_t clusterCount = 0;    // data clusters, numbered from 2
  bool fat32 = false;
  uint32_t rootCluster = 0;     // FAT32: ".." entries naming it mean the root
};

class FatFolderScanner {
 public:
  explicit FatFolderScanner(const FatScanGeometry& geometry);
  void Feed(uint64_t offset, Bytes block);
  std::vector<LostFile> Finish();
  const LostCounts& Counts() const { return counts_; }

  // Whether `cluster` holds directory entries at all: what the scanner
  // takes for a folder cluster (kept public for the tests).
  enum class ClusterKind { NotFolder, FolderStart, FolderContinuation };
  ClusterKind Classify(uint64_t cluster, Bytes bytes, uint64_t& parent) const;

 private:
  struct Entry {
    uint64_t folder = 0;  // first cluster of the folder run holding it
    uint64_t offset = 0;
    Text name;
    bool directory = false;
    bool deleted = false;
    uint64_t firstCluster = 0;
    uint64_t size = 0;
    uint64_t modified = 0;
  };
  struct Folder {
    bool hasDot = false;    // its first cluster was found: ".." is known
    uint64_t parent = 0;    // from "..": 0 the root
  };

  // Long-name entries at the start or end of a folder piece: part of a
  // name that runs on in another piece.
  struct Piece {
    uint64_t folder = 0;
    uint64_t offset = 0;         // a head's short entry, on the volume
    std::vector<uint8_t> bytes;  // a head: its name parts and short entry; a tail: its name parts
  };

  void OnCluster(uint64_t cluster, Bytes bytes);
  void CloseRun();
  void ReadRunEntries();
  void ReadEntriesFrom(size_t from);
  void AddEntry(const uint8_t* bytes, size_t pos, uint64_t folder, uint64_t offset);
  static bool HeadOfPiece(Bytes run, size_t& shortAt);
  void JoinNamesAcrossPieces();
  bool PlausibleEntry(const uint8_t* e) const;
  bool FolderPath(uint64_t folder, Text& path);

  FatScanGeometry g_;
  ClusterUnits units_;
  LostCounts counts_;
  // The folder run being read: consecutive folder clusters from a start.
  std::vector<uint8_t> run_;
  uint64_t runFolder_ = 0, runNext_ = 0, runOffset_ = 0;
  bool runOpen_ = false;
  std::map<uint64_t, Folder> folders_;
  std::vector<Entry> entries_;
  std::map<uint64_t, std::pair<bool, Text>> placed_;
  std::multimap<uint64_t, size_t> folderNames_;  // first cluster -> entries_ naming it
  std::vector<Piece> heads_, tails_;
  std::map<uint64_t, uint64_t> continuedBy_;  // a folder piece -> the folder whose name runs into it
};

}  // namespace rv::lost
