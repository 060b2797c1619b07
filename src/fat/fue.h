// The FAT engine (FAT16 and FAT32): the per-volume record, volume setup,
// FAT and directory reading, the deleted-entry search over the directory
// tree and the recovery of a deleted file from the free clusters that
// follow its first cluster.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "channel/packet.h"
#include "format/fat_boot.h"
#include "platform/gmem.h"
#include "volume/dasd.h"
#include "volume/fat_table.h"

namespace rv {

class FoundFileReader;

// The start LCN of an entry without a cluster: low part 0xFFFFFFFF, high 0.
constexpr int64_t kNoClusterLcn = 0xFFFFFFFFll;
// A folder holds at most 65,536 entries of 32 bytes: a longer chain is no
// folder's.
constexpr uint64_t kMaxDirectoryBytes = 65536ull * 32;
// The locator of the root directory in a found-file report.
constexpr uint32_t kRootDlcn = 0x7FFFFFFFu;
constexpr uint32_t kDeletedDirFlag = 0x80000000u;
// Chunks of a recovery: 64 KiB, or one cluster where clusters are larger.
constexpr uint32_t kChunkBytes = 65536;

// RunList, in the run-list buffer:
//   0   8  zero
//   8   4  stream count, 1
//   12  4  1
//   16  8  fragment count (run count - 1)
//   24  8  stream header: zero
//   32  8  run count
//   40  8  fragment count of the stream (run count - 1)
//   48  8  allocated bytes
//   56  8  data bytes
//   64  .. runs, 16 bytes each: first LCN (signed 64), cluster count (u64)
constexpr uint32_t kRunListHeaderBytes = 64;
constexpr uint32_t kRunBytes = 16;
namespace runlist {
constexpr uint32_t kZero = 0;
constexpr uint32_t kStreamCount = 8;
constexpr uint32_t kOne = 12;
constexpr uint32_t kFragments = 16;
constexpr uint32_t kStreamHeader = 24;
constexpr uint32_t kRunCount = 32;
constexpr uint32_t kStreamFragments = 40;
constexpr uint32_t kAllocatedBytes = 48;
constexpr uint32_t kDataBytes = 56;
// A run, from its start.
constexpr uint32_t kRunLcn = 0;
constexpr uint32_t kRunClusters = 8;
}  // namespace runlist

struct FueVolumeData : VolumeHandle {
  uint64_t usedClusters = 0;
  // Run-list buffer: stays locked while the volume is set up.
  gmem::Handle runList = nullptr;
  void* runListAddress = nullptr;
  uint64_t runListCapacity = 0;
  // Facts of the chain last built.
  uint64_t runCount = 0;
  uint64_t clusterCount = 0;
  uint64_t dataSize = 0;
  uint32_t directoryMode = 0;
  uint32_t fragmented = 0;
  int64_t startLcn = kNoClusterLcn;
  // The boot sector as LoadFatLayout found it: the FAT's place and width.
  fat::BootSector boot;
  // The FAT in use, read through a small block cache; made on first use
  // and dropped when the layout is loaded again or a recovery starts, so
  // a live volume's FAT is read afresh for each run.
  std::unique_ptr<fat::FatTable> fatTable;
  Text pathString;          // full path of the entry last named
  Text runSourcePath;       // the object opened by OpenRunSource, relative to the volume root
  bool runSourceOpen = false;
  bool runSourceDirectory = false;
  char16_t computerName[16] = {};
  // The first cluster of every entry on the volume, live or deleted (those
  // that can be files), sorted: a cluster that starts another entry is not
  // part of a deleted file whose clusters are guessed. Gathered by a walk
  // over the whole tree; complete (sorted, ready) once that walk has ended,
  // or once the recovery's own walk has gone as far as the volume lets it.
  std::vector<uint32_t> firstClusters;
  bool firstClustersComplete = false;
  // The deleted entries among them (files and folders), sorted by first
  // cluster, with the clusters their sizes cover and their ages: which of
  // two overlapping claims is older tells which file was written around
  // the other.
  struct DeletedClaim {
    uint32_t cluster = 0;
    uint32_t size = 0;
    uint32_t age = 0;  // EntryAge
  };
  std::vector<DeletedClaim> deletedClaims;

  // Run i of the run list (i < runCount), read through the LE readers.
  int64_t RunLcn(uint64_t i) const;
  uint64_t RunClusters(uint64_t i) const;
};

// Bytes of one recovery chunk on this volume: a whole number of clusters.
inline uint32_t ChunkBytesOf(const FueVolumeData& v) {
  return v.bytesPerCluster > kChunkBytes ? static_cast<uint32_t>(v.bytesPerCluster) : kChunkBytes;
}

// The process-wide FAT volume record.
FueVolumeData& TheFueVolume();

// ---- Volume setup ------------------------------------------------------------
BOOL SetupFueVolumeDataStructures(TextView volumeName, FueVolumeData& volume, BOOL force);
BOOL OpenFueVolume(FueVolumeData& volume);
BOOL LoadFatLayout(FueVolumeData& volume);
void FreeFueVolumeDataStructures(FueVolumeData& volume);

// The engine-owned buffers made by setup.
struct FueBuffers {
  gmem::Handle transfer = nullptr;  // bytes per sector + 65,536
  gmem::Handle cluster = nullptr;   // bytes per cluster + bytes per sector
};
FueBuffers& TheFueBuffers();

// ---- The directory walk --------------------------------------------------------
constexpr int kWalkLevels = 128;
constexpr size_t kMaxPathChars = 260;
// Longest path the walk follows: the longest any Windows path can be. A
// path longer than 260 units is listed all the same.
constexpr size_t kMaxWalkPathChars = 32767;

struct WalkLevel {
  gmem::Handle buffer = nullptr;
  Text name;  // ends with "\"; empty when the level is unused
  int64_t dlcn = 0;
  uint32_t resumeIndex = 0;
};

enum class WalkPhase { Files, Subdirectories };

struct DirectoryWalk {
  WalkLevel levels[kWalkLevels];
  int depth = 0;
  uint8_t* begin = nullptr;  // locked buffer of the current level
  size_t end = 0;            // bytes from begin: the listing plus the slack sector
  size_t pos = 0;            // byte offset of the current entry
  uint32_t entryIndex = 0;
  WalkPhase phase = WalkPhase::Files;
  int marker = -1;  // depth of the outermost deleted directory, or -1
  int64_t repeatGuard16 = -1;
  int64_t repeatGuard32 = -1;
  // The root listing no longer matches the disk (compacted or cut short).
  bool rootAltered = false;
};
DirectoryWalk& TheDirectoryWalk();
// Frees every level's buffer and empties the walk.
void ClearDirectoryWalk(DirectoryWalk& walk);

// ---- FAT table and directory access ------------------------------------------
BOOL FatChainToRunList(FueVolumeData& volume);
// A live folder's clusters (start LCN in the volume record, directory mode
// on): its chain in the active FAT; where that chain is broken (a damaged
// table marks the clusters free), the chain another FAT copy holds whole,
// else the clusters from its first on for as long as they hold directory
// entries. `how` says which way it was read, null for the active FAT.
BOOL LiveDirectoryRunList(FueVolumeData& volume, const char*& how);
// The volume's FAT (LoadFatLayout must have succeeded).
fat::FatTable& FatOf(FueVolumeData& volume);
// Reads the run list's clusters, in order, into `dest`, which has room for
// `capacityClusters` clusters and one sector more; `read` counts the
// clusters read. False on a read error or a run that does not fit.
bool ReadRunListClusters(const FueVolumeData& volume, uint8_t* dest, uint64_t capacityClusters, uint64_t& read);
// A one-cluster chain at `lcn` (a deleted directory's first cluster).
void SetSingleRunList(FueVolumeData& volume, int64_t lcn);
BOOL OpenRunSource(FueVolumeData& volume);
BOOL QueryRetrievalRunList(FueVolumeData& volume);
// Name of the entry at the walk's current position; empty when none.
// `begin` is the listing start, `pos` the entry's byte offset in it.
BOOL BuildEntryName(const uint8_t* begin, size_t pos, Text& name);
BOOL BuildEntryPath(const DirectoryWalk& walk, FueVolumeData& volume);
// Keep flags: 1 subdirectories, 2 live files, 4 keep deleted entries up front, 8 deleted files.
BOOL CompactDirectoryBuffer(DirectoryWalk& walk, uint32_t keepFlags);
BOOL FormatFileTimeText(uint64_t fileTime, Text& out);
BOOL FormatSizeKbText(uint64_t bytes, Text& out);
// Start LCN of a directory entry: cluster - 2, or kNoClusterLcn for cluster 0.
int64_t EntryStartLcn(const uint8_t* entry, int32_t kind);
// Whether a deleted entry (or one inside a deleted folder) can be a file at
// all: a long-name entry whose attribute byte was damaged, or an entry of
// other debris, holds NUL or control bytes in its name, an impossible date
// or time, or a size that runs past the volume from its first cluster.
bool IsPlausibleFileEntry(const uint8_t* entry, const FueVolumeData& volume);
// Decodes a short-name byte of 0x80 or above (OEM code page 437).
char16_t Cp437Char(uint8_t b);

// ---- Search --------------------------------------------------------------------
struct FoundEntry {
  int64_t dlcn = 0;
  uint8_t entry[32] = {};
  uint32_t entryIndex = 0;
  int marker = -1;
  uint32_t percent = 0;
};
BOOL FindNextDeletedEntry(FoundEntry& out);
// Walks the whole tree (what a search walks) only to gather the volume's
// first clusters; the root listing is reloaded by whoever needs it next.
bool CollectFirstClusters(FueVolumeData& volume);
// The LCN of the cluster that follows `lcn` in a deleted file whose chain is
// gone: the next one that is no other entry's first cluster.
uint64_t NextGuessedLcn(const FueVolumeData& volume, uint64_t lcn);
// When an entry's file was written, as a number that orders entries: its
// creation date and time, or without a creation date its modification
// date and time (2 s steps). 0 for none.
uint32_t EntryAge(const uint8_t* entry);
BOOL DescendIntoDirectory(DirectoryWalk& walk, bool& deleted);
BOOL VerifyParentLink(const DirectoryWalk& walk);
void SplitFullPath(TextView path, char16_t& drive, Text& folder, Text& name);

namespace FueDel {
BOOL GetDeletedFileHeadersShell(const RequestPacket& packet);
// Deleted entries the last search passed over because they cannot be files
// (IsPlausibleFileEntry), among those its folder and pattern accepted.
uint64_t EntriesNotFilesOfLastSearch();
}

// ---- Undelete ------------------------------------------------------------------
namespace FueUdel {
BOOL UndeleteFileShell(const RequestPacket& packet);
uint32_t RecoverOneFile(const FatUndeleteRecord& record, TextView destination, Text& outputPath);
bool FindEntryByIndex(uint32_t locator, uint32_t entryIndex, TextView expectedName, uint8_t entry[32]);
// The same lookup for a found file's full path: the entry's name must end
// the path after a "\" (it may hold "\" itself); `name` is the entry's name.
bool FindEntryForPath(uint32_t locator, uint32_t entryIndex, TextView fullPath, Text& name, uint8_t entry[32]);
bool ReadDirectoryByDlcn(uint32_t dlcn, bool deleted, gmem::Handle& block, uint64_t& extent);
// A directory entry's date and time words (local time, 2 s steps) as a
// FILETIME; 0 for a date that names no day.
uint64_t FatEntryFileTime(uint16_t dateWord, uint16_t timeWord);
// `modificationTime` (FILETIME, 0 for none) is given to the output file.
// `age` is the entry's EntryAge (0: unknown), for PlanGuessedClusters.
uint32_t CopyDeletedFileData(int64_t startLcn, uint64_t size, TextView fileName, TextView destination,
                             Text& outputPath, uint64_t modificationTime, uint32_t age = 0);
// The clusters a recovery of a deleted file reads, its chain being gone:
// from its first cluster on, those NextGuessedLcn gives while the FAT
// shows them free, as runs of adjacent ones; from the first one in use (or
// past the volume, or the first cluster of a newer deleted file: that file
// was written over this one's clusters) on, its bytes are '*'.
struct GuessedClusters {
  struct Run {
    uint64_t lcn = 0, count = 0;
  };
  std::vector<Run> runs;
  uint64_t freeClusters = 0;  // clusters the runs hold, from the file's first
  uint64_t size = 0;          // the entry's size, cut at the volume's end
  uint64_t bytesPerCluster = 0;
  bool cut = false;           // the size ran past the volume
  // The file's format validated across the runs: they are its clusters,
  // not a guess.
  bool validated = false;
  bool InUse() const { return bytesPerCluster != 0 && freeClusters < (size + bytesPerCluster - 1) / bytesPerCluster; }
};
// Where the content can tell (the installed ClusterLayoutCheck), the guess
// gives way to the clusters the file's format validates across: its
// contiguous span, where it covers first clusters of older deleted entries
// (their claims are void: the file was written over them), or pieces
// around spans that were in use when it was written. `age` (EntryAge, 0
// for unknown) says which entries are older. False when the FAT cannot be
// read or the first cluster is not a data cluster (for a file that is not
// empty).
bool PlanGuessedClusters(int64_t startLcn, uint64_t size, GuessedClusters& plan, uint32_t age = 0);
// The content's part of PlanGuessedClusters: replaces the guess in `plan`
// by the clusters the check validates, if it does.
void ChooseClustersByContent(FueVolumeData& volume, uint64_t firstLcn, uint32_t age, GuessedClusters& plan);
// Chunk bytes [offset, offset + byteCount) of the planned file into
// `chunk`, in whole clusters (`offset` a multiple of the cluster size; room
// for the last cluster whole). With `unreadable`, a cluster the volume
// cannot give is '*' and counted there; without it, false on a read error.
bool ReadGuessedChunk(const GuessedClusters& plan, uint64_t offset, uint32_t byteCount, uint8_t* chunk,
                      uint64_t* unreadable = nullptr);
// A reader of a found file as a recovery writes it; null when the entry is
// no longer a deleted file of that path.
std::unique_ptr<FoundFileReader> OpenReader(const FatUndeleteRecord& record);
// Percentage of a found file's clusters that a recovery would still read
// (the free clusters from its first cluster on, up to the first in use).
bool RecoverablePercent(uint32_t locator, uint32_t entryIndex, TextView fullPath, uint32_t& percent);
}  // namespace FueUdel

}  // namespace rv
