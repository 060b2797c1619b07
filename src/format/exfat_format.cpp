#include "format/exfat_format.h"

#include <cstring>

#include "format/le.h"

namespace rv::exfat {

uint64_t BootSector::ActiveFatSector() const {
  return (volumeFlags & 1) != 0 && numberOfFats >= 2 ? fatOffset + fatLength : fatOffset;
}

uint64_t BootSector::ClusterOffset(uint32_t cluster) const {
  return (clusterHeapOffset + static_cast<uint64_t>(cluster - kFirstCluster) * sectorsPerCluster) * bytesPerSector;
}

bool HasExfatName(const uint8_t* sector, size_t length) {
  return length >= 512 && std::memcmp(sector + kBootFileSystemName, "EXFAT   ", 8) == 0;
}

BootProblem ParseBootSector(const uint8_t* sector, size_t length, BootSector& out) {
  if (!HasExfatName(sector, length)) return BootProblem::NotExfat;
  const Bytes b(sector, length);
  if (le16(b, kBootSignature) != 0xAA55) return BootProblem::BadFields;
  // Where FAT keeps its parameter block exFAT keeps zeros, so no FAT driver
  // takes the volume for its own.
  for (size_t i = kBootMustBeZero; i < kBootPartitionOffset; ++i)
    if (sector[i] != 0) return BootProblem::BadFields;
  const uint32_t sectorShift = b[kBootBytesPerSectorShift];
  const uint32_t clusterShift = b[kBootSectorsPerClusterShift];
  if (sectorShift < 9 || sectorShift > 12 || clusterShift > kMaxClusterShift - sectorShift)
    return BootProblem::BadFields;
  BootSector bs;
  bs.bytesPerSector = 1u << sectorShift;
  bs.sectorsPerCluster = 1u << clusterShift;
  bs.bytesPerCluster = uint64_t{1} << (sectorShift + clusterShift);
  bs.volumeLength = le64(b, kBootVolumeLength);
  bs.fatOffset = le32(b, kBootFatOffset);
  bs.fatLength = le32(b, kBootFatLength);
  bs.clusterHeapOffset = le32(b, kBootClusterHeapOffset);
  bs.clusterCount = le32(b, kBootClusterCount);
  bs.rootCluster = le32(b, kBootRootCluster);
  bs.serial = le32(b, kBootSerial);
  bs.volumeFlags = le16(b, kBootVolumeFlags);
  bs.numberOfFats = b[kBootNumberOfFats];
  if (bs.numberOfFats != 1 && bs.numberOfFats != 2) return BootProblem::BadFields;
  if (bs.clusterCount == 0 || bs.clusterCount > kMaxClusterCount) return BootProblem::BadFields;
  // The boot regions (24 sectors) come first, then the FATs, then the heap,
  // all inside the volume; each FAT holds an entry for every cluster.
  if (bs.fatOffset < 24 || bs.fatLength == 0) return BootProblem::BadFields;
  const uint64_t fatsEnd = bs.fatOffset + bs.fatLength * bs.numberOfFats;
  if (bs.clusterHeapOffset < fatsEnd) return BootProblem::BadFields;
  if ((bs.clusterCount + uint64_t{2}) * 4 > bs.fatLength * bs.bytesPerSector) return BootProblem::BadFields;
  if (bs.volumeLength < bs.clusterHeapOffset ||
      (bs.volumeLength - bs.clusterHeapOffset) / bs.sectorsPerCluster < bs.clusterCount)
    return BootProblem::BadFields;
  if (!bs.IsHeapCluster(bs.rootCluster)) return BootProblem::BadFields;
  out = bs;
  return BootProblem::None;
}

uint32_t BootRegionChecksum(const uint8_t* region, size_t bytesPerSector) {
  uint32_t sum = 0;
  const size_t n = bytesPerSector * kChecksummedSectors;
  for (size_t i = 0; i < n; ++i) {
    if (i == kBootVolumeFlags || i == kBootVolumeFlags + 1 || i == kBootPercentInUse) continue;
    sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + region[i];
  }
  return sum;
}

bool BootChecksumMatches(const uint8_t* region, size_t bytesPerSector) {
  const uint32_t sum = BootRegionChecksum(region, bytesPerSector);
  const uint8_t* stored = region + bytesPerSector * kChecksummedSectors;
  for (size_t i = 0; i + 4 <= bytesPerSector; i += 4)
    if (le32At(stored + i) != sum) return false;
  return true;
}

uint16_t EntrySetChecksum(const uint8_t* set, size_t entries, bool asInUse) {
  uint16_t sum = 0;
  const size_t n = entries * kEntryBytes;
  for (size_t i = 0; i < n; ++i) {
    if (i == kFileSetChecksum || i == kFileSetChecksum + 1) continue;
    uint8_t byte = set[i];
    if (asInUse && i % kEntryBytes == 0) byte |= kInUse;
    sum = static_cast<uint16_t>(((sum & 1) ? 0x8000u : 0u) + (sum >> 1) + byte);
  }
  return sum;
}

SetProblem ParseEntrySet(const uint8_t* set, size_t length, EntrySet& out) {
  if (length < kEntryBytes || (set[0] != kTypeFile && set[0] != kTypeDeletedFile)) return SetProblem::NotAFileEntry;
  const uint32_t secondaries = set[kFileSecondaryCount];
  if (secondaries < kMinSecondaryCount) return SetProblem::BadSecondaryCount;
  const size_t entries = 1 + static_cast<size_t>(secondaries);
  if (!InBounds(length, 0, entries * kEntryBytes)) return SetProblem::RunsPastEnd;
  const uint8_t inUse = set[0] & kInUse;
  for (size_t i = 1; i < entries; ++i)
    if ((set[i * kEntryBytes] & kInUse) != inUse) return SetProblem::MixedState;
  const uint8_t* stream = set + kEntryBytes;
  if ((stream[0] | kInUse) != kTypeStream) return SetProblem::NoStream;
  const uint32_t nameLength = stream[kStreamNameLength];
  const size_t nameEntries = (nameLength + kNameUnitsPerEntry - 1) / kNameUnitsPerEntry;
  if (nameLength == 0 || 2 + nameEntries > entries) return SetProblem::BadName;
  EntrySet s;
  s.name.reserve(nameLength);
  for (size_t i = 0; i < nameEntries; ++i) {
    const uint8_t* e = set + (2 + i) * kEntryBytes;
    if ((e[0] | kInUse) != kTypeName) return SetProblem::BadName;
    for (size_t u = 0; u < kNameUnitsPerEntry && s.name.size() < nameLength; ++u)
      s.name.push_back(static_cast<char16_t>(le16At(e + kNameChars + 2 * u)));
  }
  s.entries = static_cast<uint32_t>(entries);
  s.deleted = inUse == 0;
  s.checksumMatches = EntrySetChecksum(set, entries, true) == le16At(set + kFileSetChecksum);
  s.attributes = le16At(set + kFileAttributes);
  s.modified = le32At(set + kFileModified);
  s.modified10ms = set[kFileModified10ms];
  s.modifiedUtcOffset = set[kFileModifiedUtcOffset];
  s.created = le32At(set + kFileCreated);
  s.created10ms = set[kFileCreated10ms];
  s.createdUtcOffset = set[kFileCreatedUtcOffset];
  s.accessed = le32At(set + kFileAccessed);
  s.accessedUtcOffset = set[kFileAccessedUtcOffset];
  s.streamFlags = stream[kStreamFlags];
  s.validDataLength = le64At(stream + kStreamValidDataLength);
  s.firstCluster = le32At(stream + kStreamFirstCluster);
  s.dataLength = le64At(stream + kStreamDataLength);
  out = std::move(s);
  return SetProblem::None;
}

bool UtcOffsetValid(uint8_t offset) { return (offset & 0x80) != 0; }

int UtcOffsetMinutes(uint8_t offset) {
  // Bits 0-6 as a signed 7-bit number of 15-minute steps.
  const int steps = (offset & 0x40) ? static_cast<int>(offset & 0x7F) - 128 : static_cast<int>(offset & 0x7F);
  return steps * 15;
}

bool DecodeTimestamp(uint32_t timestamp, uint8_t tenMs, TimestampParts& out) {
  const uint16_t date = TimestampDate(timestamp), time = TimestampTime(timestamp);
  TimestampParts p;
  p.year = 1980 + (date >> 9);
  p.month = (date >> 5) & 15;
  p.day = date & 31;
  p.hour = time >> 11;
  p.minute = (time >> 5) & 63;
  p.second = (time & 31) * 2;
  if (tenMs > 199) tenMs = 0;  // out of range: the 2 s value alone
  p.second += tenMs / 100;
  p.milliseconds = (tenMs % 100) * 10u;
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (p.month < 1 || p.month > 12 || p.day < 1 || p.day > kDays[p.month - 1] || p.hour > 23 || p.minute > 59 ||
      p.second > 59)
    return false;
  out = p;
  return true;
}

namespace {

// Days from 1601-01-01 to the given date (proleptic Gregorian).
int64_t DaysSince1601(int year, int month, int day) {
  const int y = month <= 2 ? year - 1 : year;
  const int era = y / 400;
  const int yoe = y - era * 400;
  const int mp = (month + 9) % 12;
  const int doy = (153 * mp + 2) / 5 + day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t daysFromEpoch0 = static_cast<int64_t>(era) * 146097 + doe;  // from 0000-03-01
  // 1601-01-01 in the same count: 1600-03-01 plus 306 days.
  constexpr int64_t k1601 = 4 * 146097 + 306;
  return daysFromEpoch0 - k1601;
}

}  // namespace

bool TimestampToUtcFileTime(uint32_t timestamp, uint8_t tenMs, uint8_t utcOffset, uint64_t& fileTime) {
  TimestampParts p;
  if (!UtcOffsetValid(utcOffset) || !DecodeTimestamp(timestamp, tenMs, p)) return false;
  const int64_t seconds = DaysSince1601(p.year, p.month, p.day) * 86400 + p.hour * 3600 + p.minute * 60 + p.second -
                          int64_t{UtcOffsetMinutes(utcOffset)} * 60;
  if (seconds < 0) return false;
  fileTime = static_cast<uint64_t>(seconds) * 10000000u + uint64_t{p.milliseconds} * 10000u;
  return true;
}

}  // namespace rv::exfat
