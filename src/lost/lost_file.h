// Files of an old file system, found by the scanners of old records: FILE
// and INDX records outside the current MFT, FAT directory clusters and
// exFAT entry sets in free space. A scanner is fed the volume's bytes by
// one sequential pass (the deep scan's) and keeps only what it found, never
// the blocks themselves, so the pass reads each cluster once.
#pragma once
#include <cstdint>
#include <vector>

#include "format/le.h"
#include "platform/types.h"

namespace rv::lost {

// Where a found file's data is described.
enum class LostSource : uint8_t {
  NtfsRecord,   // an old FILE record: its runs or resident value
  NtfsIndex,    // an entry of an old folder index: name, size and times only
  FatEntry,     // an old FAT directory entry: first cluster and size
  ExfatSet,     // an old exFAT entry set: first cluster, size, NoFatChain
};

struct LostFile {
  LostSource source = LostSource::FatEntry;
  Text name;                 // as on disk (UTF-16 units), not yet made safe
  Text folder;               // "\a\b" from the old root ("" for the root), or "\$Orphan\..."
  uint64_t size = 0;
  uint64_t validSize = 0;    // exFAT: the valid data length; else the size
  uint64_t modified = 0;     // FILETIME (UTC); FAT's local times read in the user's zone, as the engine does
  bool deleted = false;      // the entry was marked deleted in its old folder (FAT, exFAT)
  bool directory = false;
  uint64_t recordOffset = 0; // volume byte offset of the record, entry or entry set
  uint64_t firstCluster = 0; // FAT, exFAT: the first cluster as the entry stores it; NTFS: the first LCN (0: resident)
  bool noFatChain = false;   // exFAT: the file lies in consecutive clusters
  uint64_t mftRecord = 0;    // NTFS: the record's own number in the old MFT
  Text FullPath() const { return folder + u"\\" + name; }
};

// What a scan passed over, for --verbose and the tests.
struct LostCounts {
  uint64_t recordsTorn = 0;      // a signature whose update sequence fails
  uint64_t recordsInconsistent = 0;  // sizes or offsets that do not fit the record
  uint64_t recordsDuplicate = 0; // the same record found again (an older copy)
  uint64_t candidatesDropped = 0;    // past the memory cap
};

// Memory cap of one scanner: candidates kept past this many are counted and
// dropped, so a volume full of old records cannot exhaust memory.
constexpr size_t kMaxCandidates = size_t{1} << 20;

// A byte range of the volume [begin, end).
struct ByteRange {
  uint64_t begin = 0, end = 0;
};

// The folder of a file whose old folder could not be placed.
inline const Text& OrphanFolder() {
  static const Text kOrphan = u"\\$Orphan";
  return kOrphan;
}

}  // namespace rv::lost
