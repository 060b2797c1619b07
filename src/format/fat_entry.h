// A FAT directory entry (32 bytes) and the long-name entries before it.
//
//   0x00 11  short name (8 + 3, blank padded); 0xE5 first: deleted,
//            0x00 first: no entries follow, 0x05 first: a real 0xE5
//   0x0B  1  attributes (0x0F: a long-name entry)
//   0x0C  1  case flags: bit 3 base name, bit 4 extension in lower case
//   0x0E  2  creation time, 0x10 2 creation date, 0x12 2 last access date
//   0x14  2  first cluster, high 16 bits (FAT32)
//   0x16  2  modification time: hours << 11 | minutes << 5 | seconds / 2
//   0x18  2  modification date: (year - 1980) << 9 | month << 5 | day
//   0x1A  2  first cluster, low 16 bits
//   0x1C  4  size in bytes
#pragma once
#include <cstddef>
#include <cstdint>

#include "format/le.h"

namespace rv::fat {

constexpr size_t kEntryBytes = 32;
constexpr size_t kEntryAttributes = 0x0B;
constexpr size_t kEntryCaseFlags = 0x0C;
constexpr size_t kEntryCreationTime = 0x0E;
constexpr size_t kEntryCreationDate = 0x10;
constexpr size_t kEntryAccessDate = 0x12;
constexpr size_t kEntryClusterHigh = 0x14;
constexpr size_t kEntryTime = 0x16;
constexpr size_t kEntryDate = 0x18;
constexpr size_t kEntryClusterLow = 0x1A;
constexpr size_t kEntrySize = 0x1C;

constexpr uint8_t kDeletedMark = 0xE5;
constexpr uint8_t kAttrVolumeLabel = 0x08;
constexpr uint8_t kAttrDirectory = 0x10;
constexpr uint8_t kAttrLongName = 0x0F;

// The entry's first cluster; the high half only counts on FAT32, where
// FAT16 volumes may hold anything there.
inline uint32_t EntryFirstCluster(const uint8_t* entry, bool fat32) {
  const Bytes e(entry, kEntryBytes);
  return le16(e, kEntryClusterLow) | (fat32 ? static_cast<uint32_t>(le16(e, kEntryClusterHigh)) << 16 : 0);
}
inline uint32_t EntrySize(const uint8_t* entry) { return le32(Bytes(entry, kEntryBytes), kEntrySize); }
inline uint16_t EntryTime(const uint8_t* entry) { return le16(Bytes(entry, kEntryBytes), kEntryTime); }
inline uint16_t EntryDate(const uint8_t* entry) { return le16(Bytes(entry, kEntryBytes), kEntryDate); }
inline uint16_t EntryCreationTime(const uint8_t* entry) { return le16(Bytes(entry, kEntryBytes), kEntryCreationTime); }
inline uint16_t EntryCreationDate(const uint8_t* entry) { return le16(Bytes(entry, kEntryBytes), kEntryCreationDate); }
inline uint16_t EntryAccessDate(const uint8_t* entry) { return le16(Bytes(entry, kEntryBytes), kEntryAccessDate); }

}  // namespace rv::fat
