// The NTFS engine: per-volume record, setup, MFT record access, data runs,
// the raw MFT scan and the two shells.
#pragma once
#include <memory>
#include <vector>

#include "channel/messages.h"
#include "channel/packet.h"
#include "format/ntfs_format.h"
#include "platform/gmem.h"
#include "volume/dasd.h"

namespace rv {

// RunTable block layout (one movable block, offsets from its start):
//   0   8  record number of the base record
//   8   4  group count
//  12   4  ordinal count (one more than the last ordinal visited)
//  16   8  total fragment count
//  24  ..  groups, each a RunGroup header followed by its RunEntry list
// RunGroup header (40 bytes):
//   0   4  ordinal
//   4   4  reserved, 0
//   8   8  run count
//  16   8  fragment count
//  24   8  allocated size in bytes
//  32   8  data size in bytes
// RunEntry (16 bytes): 0 starting cluster (signed, -1 = sparse), 8 length.
constexpr uint32_t kRunTableHeaderBytes = 24;
constexpr uint32_t kRunGroupHeaderBytes = 40;
constexpr uint32_t kRunEntryBytes = 16;
namespace runtable {
// Table header.
constexpr uint32_t kRecordNumber = 0;
constexpr uint32_t kGroupCount = 8;
constexpr uint32_t kOrdinalCount = 12;
constexpr uint32_t kTotalFragments = 16;
// Group header, from the group's start.
constexpr uint32_t kOrdinal = 0;
constexpr uint32_t kDamaged = 4;  // the reserved word: set when the run list was cut short
constexpr uint32_t kRunCount = 8;
constexpr uint32_t kFragments = 16;
constexpr uint32_t kAllocatedSize = 24;
constexpr uint32_t kDataSize = 32;
// Run entry.
constexpr uint32_t kRunLcn = 0;
constexpr uint32_t kRunLength = 8;
}  // namespace runtable
constexpr uint32_t kRunTableStep = 65536;
constexpr uint32_t kRunTableInitialBytes = (4096 + 4) * 16;
constexpr uint32_t kWindowBytes = 65536;
constexpr uint32_t kFileRecordOutputBytes = 41440;

struct NueVolumeData : VolumeHandle {
  uint64_t usedClusters = 0;
  uint64_t usedBytes = 0;
  uint64_t freeBytes = 0;
  uint64_t bitmapBitCount = 0;
  uint64_t halfClusterCount = 0;
  uint64_t mftStartCluster = 0;
  uint64_t mftMirrorStartCluster = 0;
  uint64_t mftZoneStart = 0;
  uint64_t mftZoneEnd = 0;
  uint64_t mftByteOffset = 0;
  uint64_t bytesPerFileRecord = 0;
  uint64_t clustersPerFileRecord = 0;
  uint64_t mftRecordCount = 0;
  uint64_t currentRecordNumber = 0;

  // Working buffers, allocated once per volume.
  gmem::Handle volumeBitmap = nullptr;  // bitmap bit count / 8 + 24 bytes
  uint32_t volumeBitmapSize = 0;
  gmem::Handle windowBlock = nullptr;   // 64 KiB + one sector, locked
  uint8_t* windowAddress = nullptr;
  uint8_t* recordBuffer = nullptr;      // window address aligned up to a sector
  gmem::Handle transferBlock = nullptr; // 64 KiB + one sector, unlocked
  gmem::Handle runTable = nullptr;
  uint8_t* runTableAddress = nullptr;
  uint32_t runTableCapacity = 0;
  uint32_t runAreaSize = 0;
  gmem::Handle mftRuns = nullptr;       // RunEntry list of the $MFT data, locked
  uint8_t* mftRunsAddress = nullptr;
  uint32_t mftRunCount = 0;
  uint64_t mftDataSize = 0;
  // Records the $MFT data claims past its initialized size: never written,
  // so never read (the scan ends at the initialized size).
  uint64_t mftRecordsNeverWritten = 0;
  gmem::Handle mftBitmap = nullptr;     // the $MFT:$BITMAP
  uint64_t mftBitmapBytes = 0;
  uint64_t recordsInUse = 0;
  // Raw MFT window: first and one-past-last record held in the window block.
  uint64_t windowFirst = 0;
  uint64_t windowEnd = 0;

  // Per-file results of the record routines.
  uint32_t compressedFlag = 0;
  uint32_t sparseFlag = 0;
  uint32_t directoryFlag = 0;
  uint32_t fragmentedFlag = 0;
  uint64_t allocatedSize = 0;
  uint64_t dataSize = 0;
  uint64_t initializedSize = 0;  // valid data length of the selected $DATA
  uint32_t compressionUnitClusters = 16;
  uint64_t extentCount = 0;
  uint64_t totalRunClusters = 0;
  uint64_t storedClusters = 0;
  uint64_t discontinuities = 0;
  uint64_t recordsWithoutData = 0;
  uint64_t lowestCluster = 0;
  // Damage found in the selected data: 0 none, 1 its run list was cut
  // short (the clusters past the runs decoded are lost), 2 none of it can
  // be read (a resident value running past its record, a run list with no
  // valid run).
  uint32_t dataDamaged = 0;
  uint32_t listedDataKind = 0;  // data kind of the record last listed by the search

  // Search state kept between calls on the same volume: the parent
  // reference (record number and sequence number) of the file placed last.
  uint64_t lastParent = 0;
  // Folder paths rebuilt during one scan ("\a\b", no trailing separator),
  // by record number, so the climb for the next folder stops at the first
  // ancestor already placed. Direct-mapped and small: it bounds the climb's
  // reads, not the memory. Emptied when a scan or a recovery begins. The
  // folder record's sequence number and in-use flag decide whether a
  // reference names that folder.
  struct FolderSlot {
    uint64_t record = UINT64_MAX;
    uint16_t sequence = 0;
    bool inUse = false;
    Text path;
  };
  static constexpr size_t kFolderSlots = 256;
  std::vector<FolderSlot> folderPaths;
  Text currentFullPath;
  Text currentFolderPath;
  Text currentFileName;
};

// The process-wide NTFS volume record.
NueVolumeData& TheNueVolume();

BOOL SetupNueVolumeDataStructures(TextView volumeName, NueVolumeData& volume, BOOL force);
BOOL GetNtfsVolumeData(NueVolumeData& volume);
int FreeNueVolumeDataStructures(NueVolumeData& volume);

// ---- MFT record access -----------------------------------------------------
// One record through FSCTL_GET_NTFS_FILE_RECORD; `number` becomes the record
// number the file system delivered (the nearest in use at or below).
BOOL ReadFileRecord(NueVolumeData& volume, uint64_t& number, uint8_t* dest, uint64_t length);
BOOL ApplyFixups(uint8_t* record, uint64_t length);
BOOL FindAttribute(uint32_t type, const uint8_t* record, ntfs::Attribute& out, uint64_t length);
// Data attributes ($DATA, $INDEX_ALLOCATION and, with the switch, $BITMAP),
// each visited once however many extents it has in the record.
BOOL FirstDataAttribute(Bytes record, ntfs::Attribute& out, bool bitmapSwitch);
BOOL NextDataAttribute(Bytes record, ntfs::Attribute& inOut, bool bitmapSwitch);
// The same attributes of a walked record by index; the walk's size() when
// there is no further one.
size_t FirstDataIndex(const ntfs::AttributeWalk& record, bool bitmapSwitch);
size_t NextDataIndex(const ntfs::AttributeWalk& record, size_t current, bool bitmapSwitch);
// Attribute-list entries selected the same way; `entry` is a byte offset.
BOOL FirstListEntry(Bytes list, size_t& entry, bool bitmapSwitch);
BOOL NextListEntry(Bytes list, size_t& entry, bool bitmapSwitch);
// Reads the record the entry names into `block` and finds the attribute by
// its id there; false when it is not found.
BOOL ResolveListEntry(NueVolumeData& volume, std::vector<uint8_t>& block, Bytes list, size_t entry,
                      ntfs::Attribute& out);
BOOL GetRecordFileName(NueVolumeData& volume, Bytes record, Text& name, uint64_t& parent, BOOL& found);
BOOL GetRecordFileName(NueVolumeData& volume, const ntfs::AttributeWalk& record, Text& name, uint64_t& parent,
                       BOOL& found);
// The same, with the sequence number the parent reference expects.
BOOL GetRecordFileName(NueVolumeData& volume, const ntfs::AttributeWalk& record, Text& name, uint64_t& parent,
                       uint16_t& parentSequence, BOOL& found);
// A name from the disk as it is listed: cut at a NUL unit, "\" as "_",
// and "_" when nothing is left.
void SafeRecordName(Text& name);

// ---- Data runs ---------------------------------------------------------------
struct RunCursor {
  uint32_t length = 0;       // bytes of the table in use
  uint32_t groupOffset = 0;  // header of the current group
  bool haveGroup = false;
  bool bitmapSwitch = false;
  uint64_t bytesMapped = 0;
  uint64_t clustersMapped = 0;
  uint64_t clustersStored = 0;
};

struct RunGroupView {
  uint32_t ordinal = 0;
  bool damaged = false;  // the run list was cut short by damage
  uint64_t allocatedSize = 0;
  uint64_t dataSize = 0;
  std::vector<ntfs::Run> runs;
};

BOOL DecodeRunList(NueVolumeData& volume, Bytes record, const ntfs::Attribute& attribute, RunCursor& cursor);
BOOL CollectAttributeRuns(NueVolumeData& volume, Bytes record, const ntfs::Attribute& attribute, RunCursor& cursor);
BOOL CollectListedAttributeRuns(NueVolumeData& volume, Bytes list, size_t& entry, RunCursor& cursor);
BOOL BuildRunTable(NueVolumeData& volume, bool bitmapSwitch, const uint8_t* record);
BOOL LocateAttribute(NueVolumeData& volume, int64_t& ordinal, TextView name, uint32_t type, const uint8_t* record);
BOOL GetAttributeRuns(NueVolumeData& volume, TextView name, uint32_t type, const uint8_t* record);
BOOL MergeAdjacentRuns(NueVolumeData& volume, RunCursor& cursor);
BOOL ReadNonResidentValue(NueVolumeData& volume, Bytes record, const ntfs::Attribute& attribute,
                          std::vector<uint8_t>& value, uint64_t& valueLength);
// The group at the start of the table, as GetAttributeRuns leaves it.
bool FirstRunGroup(const NueVolumeData& volume, RunGroupView& out);
// Status: 1 resident or empty, 2 non-resident with runs, 3/4 attribute list,
// 7 encrypted.
BOOL ClassifyFileRecord(NueVolumeData& volume, Bytes record, uint64_t& modificationTime, uint32_t& status);
BOOL ClassifyFileRecord(NueVolumeData& volume, const ntfs::AttributeWalk& record, uint64_t& modificationTime,
                        uint32_t& status);

// Named $DATA streams of a record, each once however many extents it has,
// in the order of the record: stream number n (from 1) is names[n - 1].
// Names as on disk (UTF-16 units).
void NamedDataStreams(const ntfs::AttributeWalk& record, std::vector<Text>& names);
// Selects the data of stream number `stream` (0: the unnamed $DATA, as
// ClassifyFileRecord does) for the writers and the estimate: sizes, flags
// and runs in the volume record. Status 1 resident or empty, 2 with runs;
// false when there is no such stream or it is encrypted.
BOOL SelectDataStream(NueVolumeData& volume, const ntfs::AttributeWalk& record, uint32_t stream, uint32_t& status);

// ---- Raw MFT scan ----------------------------------------------------------------
BOOL BuildMftRunTable(NueVolumeData& volume);
BOOL LoadMftBitmap(NueVolumeData& volume);
// Moves `number` to the next record whose $MFT bitmap bit is clear and
// returns it fixed up from the 64 KiB window; at the end of the MFT returns
// TRUE with `number` at the record count and `record` null.
BOOL ReadNextFreeFileRecord(NueVolumeData& volume, uint64_t& number, uint8_t*& record);
// The volume byte offset of record `number`, where the $MFT's runs hold it
// whole in one run; false otherwise (a record split over two runs, a hole).
bool RecordVolumeOffset(const NueVolumeData& volume, uint64_t number, uint64_t& offset);
inline void EmptyRawWindow(NueVolumeData& volume) { volume.windowFirst = volume.windowEnd = 0; }

// ---- Search and recovery ---------------------------------------------------------
// Rebuilds folder path and full path of a record (name and parent from its
// $FILE_NAME); false when the path cannot be rebuilt.
BOOL BuildRecordPath(NueVolumeData& volume, Bytes record);
BOOL BuildRecordPath(NueVolumeData& volume, const ntfs::AttributeWalk& record);

struct RecordExamination {
  uint64_t modificationTime = 0;
  FoundTimes times;  // the other $STANDARD_INFORMATION times
  uint32_t dataKind = 0;  // 1 resident or empty, 2 non-resident
};
// 0 when listable, else the skip reason (94, 95, 96, 98, 100).
// Why a free record is not listed (ExamineRecord's non-zero results).
constexpr uint32_t kExamineInUse = 94;
constexpr uint32_t kExamineNameless = 95;
constexpr uint32_t kExamineDirectory = 96;
constexpr uint32_t kExamineDamaged = 98;     // no usable $STANDARD_INFORMATION or data
constexpr uint32_t kExamineNoPath = 100;     // no name could be read
uint32_t ExamineRecord(NueVolumeData& volume, Bytes record, RecordExamination& out);

namespace NueDel {
BOOL GetDeletedFileHeadersShell(const RequestPacket& packet);
}
class FoundFileReader;
namespace NueUdel {
BOOL UndeleteFileShell(const RequestPacket& packet);
// Recovers the unnamed $DATA of a FILE record found outside the current MFT
// (fixups applied) as a deleted file is recovered: resident, or through its
// runs with "*" where the volume shows a cluster in use now. Returns the
// result code (776, 777, 778 or 785) and the output written.
uint32_t RecoverFoundRecord(NueVolumeData& volume, Bytes record, const Text& fileName, uint64_t modificationTime,
                            const Text& folder, Text& outputName);
// A reader of such a record's unnamed $DATA, as RecoverFoundRecord writes
// it (its cluster runs and holes; `recordOffset` is where the record lies
// on the volume); null when it has none to read.
std::unique_ptr<FoundFileReader> OpenFoundRecordReader(NueVolumeData& volume, Bytes record, uint64_t recordOffset);
// A reader of record `record`'s data (stream `stream`, from 1; 0 the
// file's own) as a recovery writes it; null when the record is no longer a
// deleted file the engine can read.
std::unique_ptr<FoundFileReader> OpenReader(uint32_t record, uint32_t stream);
// Percentage of the data clusters of the file the search has just listed
// that the volume bitmap still shows free (100 for resident data), from the
// runs and size its examination left in the volume record: valid only while
// the CM_FILE_FOUND of that file is being handled (a synchronous sink).
bool RecoverablePercentOfListed(uint32_t& percent);
}

}  // namespace rv
