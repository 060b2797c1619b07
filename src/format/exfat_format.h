// The exFAT on-disk format: the main boot region (boot sector and the
// checksum sector that closes it), directory entries and the entry sets
// that describe a file (file, stream extension and file-name entries) with
// their checksum, and the timestamps. Pure: no I/O.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/types.h"

namespace rv::exfat {

// ---- Boot sector ---------------------------------------------------------------
constexpr size_t kBootFileSystemName = 3;     // "EXFAT   "
constexpr size_t kBootMustBeZero = 11;        // 53 bytes, zero where FAT keeps its BPB
constexpr size_t kBootPartitionOffset = 64;   // u64, sectors
constexpr size_t kBootVolumeLength = 72;      // u64, sectors
constexpr size_t kBootFatOffset = 80;         // u32, sectors
constexpr size_t kBootFatLength = 84;         // u32, sectors
constexpr size_t kBootClusterHeapOffset = 88; // u32, sectors
constexpr size_t kBootClusterCount = 92;      // u32
constexpr size_t kBootRootCluster = 96;       // u32
constexpr size_t kBootSerial = 100;           // u32
constexpr size_t kBootRevision = 104;         // u16
constexpr size_t kBootVolumeFlags = 106;      // u16: bit 0 the second FAT is active
constexpr size_t kBootBytesPerSectorShift = 108;
constexpr size_t kBootSectorsPerClusterShift = 109;
constexpr size_t kBootNumberOfFats = 110;
constexpr size_t kBootPercentInUse = 112;
constexpr size_t kBootSignature = 510;        // 0xAA55
// The main boot region's checksum covers sectors 0-10; sector 11 repeats it.
constexpr uint32_t kChecksummedSectors = 11;
// Sectors 12-23 hold the backup boot region, a copy of sectors 0-11 that
// formatting writes and drivers leave alone.
constexpr uint32_t kBootRegionSectors = 12;
constexpr uint32_t kBackupBootSector = 12;
// Cluster sizes stop at 32 MiB (a shift sum of 25).
constexpr uint32_t kMaxClusterShift = 25;
// Cluster numbers start at 2 and stop below 0xFFFFFFF7 (bad cluster mark).
constexpr uint32_t kFirstCluster = 2;
constexpr uint32_t kMaxClusterCount = 0xFFFFFFF5u;
constexpr uint32_t kFatEndOfChain = 0xFFFFFFFFu;

struct BootSector {
  uint32_t bytesPerSector = 0;
  uint32_t sectorsPerCluster = 0;
  uint64_t bytesPerCluster = 0;
  uint64_t volumeLength = 0;      // sectors
  uint64_t fatOffset = 0;         // sectors
  uint64_t fatLength = 0;         // sectors
  uint64_t clusterHeapOffset = 0; // sectors
  uint32_t clusterCount = 0;
  uint32_t rootCluster = 0;
  uint32_t serial = 0;
  uint16_t volumeFlags = 0;
  uint8_t numberOfFats = 0;

  // Sector of the FAT in use (the second one when the flags say so).
  uint64_t ActiveFatSector() const;
  // Byte offset of a cluster of the heap (2 .. clusterCount + 1).
  uint64_t ClusterOffset(uint32_t cluster) const;
  bool IsHeapCluster(uint64_t cluster) const { return cluster >= kFirstCluster && cluster - kFirstCluster < clusterCount; }
};

// "EXFAT   " at byte 3: the volume claims to be exFAT.
bool HasExfatName(const uint8_t* sector, size_t length);
enum class BootProblem { None, NotExfat, BadFields };
// Parses the boot sector: every field that a later division, shift or
// subtraction uses is checked (shifts in range, the FAT and the cluster heap
// inside the volume and apart, the root inside the heap).
BootProblem ParseBootSector(const uint8_t* sector, size_t length, BootSector& out);
// The checksum of the main boot region: every byte of sectors 0-10 but the
// volume flags and percent-in-use, which change as the volume is used.
uint32_t BootRegionChecksum(const uint8_t* region, size_t bytesPerSector);
// Sector 11 of `region` (12 sectors) holds the checksum of sectors 0-10,
// repeated across the sector.
bool BootChecksumMatches(const uint8_t* region, size_t bytesPerSector);

// ---- Directory entries ---------------------------------------------------------
constexpr size_t kEntryBytes = 32;
constexpr uint8_t kInUse = 0x80;
constexpr uint8_t kTypeEndOfDirectory = 0x00;
constexpr uint8_t kTypeBitmap = 0x81;
constexpr uint8_t kTypeUpcase = 0x82;
constexpr uint8_t kTypeLabel = 0x83;
constexpr uint8_t kTypeFile = 0x85;
constexpr uint8_t kTypeStream = 0xC0;
constexpr uint8_t kTypeName = 0xC1;
// The same entries once their set was deleted: the in-use bit cleared.
constexpr uint8_t kTypeDeletedFile = kTypeFile & ~kInUse;      // 0x05
constexpr uint8_t kTypeDeletedStream = kTypeStream & ~kInUse;  // 0x40
constexpr uint8_t kTypeDeletedName = kTypeName & ~kInUse;      // 0x41

// File entry.
constexpr size_t kFileSecondaryCount = 1;
constexpr size_t kFileSetChecksum = 2;      // u16
constexpr size_t kFileAttributes = 4;       // u16
constexpr size_t kFileCreated = 8;          // u32 timestamp
constexpr size_t kFileModified = 12;        // u32 timestamp
constexpr size_t kFileAccessed = 16;        // u32 timestamp
constexpr size_t kFileCreated10ms = 20;
constexpr size_t kFileModified10ms = 21;
constexpr size_t kFileCreatedUtcOffset = 22;
constexpr size_t kFileModifiedUtcOffset = 23;
constexpr size_t kFileAccessedUtcOffset = 24;
constexpr uint16_t kAttrDirectory = 0x10;
// Stream extension entry.
constexpr size_t kStreamFlags = 1;          // bit 0 allocation possible, bit 1 NoFatChain
constexpr size_t kStreamNameLength = 3;
constexpr size_t kStreamNameHash = 4;       // u16
constexpr size_t kStreamValidDataLength = 8;// u64
constexpr size_t kStreamFirstCluster = 20;  // u32
constexpr size_t kStreamDataLength = 24;    // u64
constexpr uint8_t kFlagAllocationPossible = 0x01;
constexpr uint8_t kFlagNoFatChain = 0x02;
// File-name entry: 15 UTF-16 units from byte 2.
constexpr size_t kNameChars = 2;
constexpr size_t kNameUnitsPerEntry = 15;
constexpr size_t kMaxNameUnits = 255;
// Allocation bitmap and up-case table entries: first cluster and length.
constexpr size_t kBitmapFlags = 1;
constexpr size_t kTableFirstCluster = 20;
constexpr size_t kTableDataLength = 24;
// Volume label entry: character count, then up to 11 UTF-16 units.
constexpr size_t kLabelCount = 1;
constexpr size_t kLabelChars = 2;
constexpr size_t kMaxLabelUnits = 11;
// A set holds the stream entry and up to 17 name entries (255 units), and
// may carry vendor entries after them; the count byte allows up to 255.
constexpr uint32_t kMinSecondaryCount = 2;

// The checksum of an entry set of `entries` entries: every byte but the
// checksum field of the file entry. `asInUse` computes it as it was when
// the set was live (every type byte with the in-use bit set), which is what
// a deleted set still stores.
uint16_t EntrySetChecksum(const uint8_t* set, size_t entries, bool asInUse);

struct EntrySet {
  uint32_t entries = 0;        // 1 + secondary count
  bool deleted = false;        // the in-use bit is clear on the file entry
  bool checksumMatches = false;
  uint16_t attributes = 0;
  uint32_t modified = 0;       // timestamp (date << 16 | time, FAT layout)
  uint8_t modified10ms = 0;    // 0-199: 10 ms steps added to the 2 s of the time
  uint8_t modifiedUtcOffset = 0;
  uint32_t created = 0;        // the same for the creation time
  uint8_t created10ms = 0;
  uint8_t createdUtcOffset = 0;
  uint32_t accessed = 0;       // the access time has no 10 ms part
  uint8_t accessedUtcOffset = 0;
  uint8_t streamFlags = 0;
  uint64_t validDataLength = 0;
  uint32_t firstCluster = 0;
  uint64_t dataLength = 0;
  Text name;

  bool IsDirectory() const { return (attributes & kAttrDirectory) != 0; }
  bool NoFatChain() const { return (streamFlags & kFlagNoFatChain) != 0; }
};

enum class SetProblem {
  None,
  NotAFileEntry,     // the first entry is no file entry, live or deleted
  RunsPastEnd,       // the secondary count reaches past the bytes given
  BadSecondaryCount, // fewer than a stream and one name entry
  MixedState,        // some entries of the set are in use and some are not
  NoStream,          // the first secondary entry is no stream extension
  BadName,           // name length 0, or fewer name entries than it needs
};

// Parses the entry set that starts at `set`, with `length` bytes of the
// directory from there on. The name is taken from the name entries
// (`nameLength` units of them). The in-use state of every entry must match
// the file entry's; the checksum is judged as the set was written.
SetProblem ParseEntrySet(const uint8_t* set, size_t length, EntrySet& out);

// ---- Timestamps ------------------------------------------------------------------
// A timestamp is the FAT date (high 16 bits) and time (low 16 bits): year
// from 1980, month, day; hour, minute, seconds / 2.
inline uint16_t TimestampDate(uint32_t t) { return static_cast<uint16_t>(t >> 16); }
inline uint16_t TimestampTime(uint32_t t) { return static_cast<uint16_t>(t & 0xFFFF); }
// The UTC offset byte: bit 7 says the offset is valid, bits 0-6 a signed
// count of 15-minute steps east of UTC.
bool UtcOffsetValid(uint8_t offset);
int UtcOffsetMinutes(uint8_t offset);
struct TimestampParts {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  uint32_t milliseconds = 0;
};
// The calendar time the timestamp holds (in the zone it was written in),
// with the 10 ms part; false for a date or time that names no moment.
bool DecodeTimestamp(uint32_t timestamp, uint8_t tenMs, TimestampParts& out);
// The timestamp as a FILETIME (100 ns since 1601, UTC), when its UTC
// offset is valid; false otherwise or for an invalid timestamp.
bool TimestampToUtcFileTime(uint32_t timestamp, uint8_t tenMs, uint8_t utcOffset, uint64_t& fileTime);

}  // namespace rv::exfat
