#include "volume/partition.h"

#include <cstdio>
#include <cstring>
#include <set>

#include "format/fat_boot.h"
#include "format/ntfs_boot.h"
#include "format/le.h"

namespace rv {
namespace {

std::string Hex2(unsigned v) {
  char b[8];
  std::snprintf(b, sizeof b, "0x%02X", v & 0xFF);
  return b;
}

std::string MbrTypeName(uint8_t t) {
  switch (t) {
    case 0x01: return "FAT12";
    case 0x04: case 0x06: case 0x0E: return "FAT16";
    case 0x0B: case 0x0C: return "FAT32";
    case 0x07: return "NTFS/exFAT";
    case 0x05: case 0x0F: case 0x85: return "Extended";
    case 0x82: return "Linux swap";
    case 0x83: return "Linux";
    case 0xEE: return "GPT protective";
    case 0xEF: return "EFI system";
    default: return "Unknown";
  }
}

std::string GuidText(const uint8_t* g) {
  char b[40];
  std::snprintf(b, sizeof b, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                le32(Bytes(g, 16), 0), le16(Bytes(g, 16), 4), le16(Bytes(g, 16), 6), g[8], g[9], g[10], g[11], g[12],
                g[13], g[14], g[15]);
  return b;
}

std::string GptTypeName(const std::string& guid) {
  if (guid == "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7") return "Microsoft basic data";
  if (guid == "C12A7328-F81F-11D2-BA4B-00A0C93EC93B") return "EFI system";
  if (guid == "E3C9E316-0B5C-4DB8-817D-F92DF00215AE") return "Microsoft reserved";
  if (guid == "DE94BBA4-06D1-4D40-A16A-BFD50179D6AC") return "Windows recovery";
  if (guid == "0FC63DAF-8483-4772-8E79-3D69D8477DE4") return "Linux filesystem";
  return "Unknown";
}

bool LooksLikeVolumeBootSector(const uint8_t* s, size_t n) {
  ntfs::BootSector nb;
  fat::BootSector fb;
  return ntfs::ParseBootSector(s, n, nb) || fat::ParseBootSector(s, n, UINT64_MAX, fb);
}

bool ReadGpt(VolumeSource& disk, uint32_t sector, PartitionTable& out) {
  std::vector<uint8_t> hdr(sector);
  if (!disk.ReadBytes(sector, hdr.data(), sector)) return false;
  Bytes h(hdr);
  if (std::memcmp(hdr.data(), "EFI PART", 8) != 0) return false;
  uint64_t entriesLba = le64(h, 72);
  uint32_t count = le32(h, 80);
  uint32_t entrySize = le32(h, 84);
  if (entrySize < 128 || entrySize > 4096 || count == 0 || count > 1024) return false;
  std::vector<uint8_t> entries(static_cast<size_t>(count) * entrySize);
  if (!disk.ReadBytes(entriesLba * sector, entries.data(), entries.size())) return false;
  out.scheme = "GPT";
  for (uint32_t i = 0; i < count; ++i) {
    Bytes e(entries.data() + static_cast<size_t>(i) * entrySize, entrySize);
    static const uint8_t zero[16] = {};
    if (std::memcmp(e.data(), zero, 16) == 0) continue;
    uint64_t first = le64(e, 32), last = le64(e, 40);
    if (last < first) continue;
    PartitionEntry p;
    p.number = i + 1;
    p.startBytes = first * sector;
    p.sizeBytes = (last - first + 1) * sector;
    p.type = GuidText(e.data());
    p.description = GptTypeName(p.type);
    out.partitions.push_back(p);
  }
  return true;
}

bool IsExtendedType(uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

// Extended boot records read at most: far more than any disk holds, and a
// bound on a chain that a damaged table makes endless.
constexpr size_t kMaxExtendedRecords = 1024;

void ReadMbrEntries(VolumeSource& disk, const uint8_t* mbr, uint32_t sector, PartitionTable& out) {
  Bytes m(mbr, 512);
  const uint64_t diskSectors = disk.SizeBytes() / sector;
  // An extended partition, a link or a logical partition that starts
  // outside the disk is misread or damaged, and no partition. (One that only
  // runs past the end is kept: a disk image cut short still holds its start.)
  auto inside = [&](uint64_t start) { return start != 0 && start < diskSectors; };
  struct Record {
    uint64_t lba;   // where the extended boot record lies
    uint64_t base;  // start of the primary extended partition: links count from it
  };
  std::vector<Record> pending;
  for (int i = 0; i < 4; ++i) {
    size_t off = 446 + 16 * i;
    uint8_t type = m[off + 4];
    uint32_t lba = le32(m, off + 8), count = le32(m, off + 12);
    if (type == 0 || count == 0) continue;
    if (IsExtendedType(type)) {
      if (inside(lba)) pending.push_back({lba, lba});
      continue;
    }
    out.partitions.push_back({static_cast<uint32_t>(i + 1), uint64_t{lba} * sector, uint64_t{count} * sector,
                              Hex2(type), MbrTypeName(type)});
  }
  // Logical partitions: each extended boot record has four slots like the
  // MBR, read by their type: 0x05, 0x0F (and 0x85) link to the next record,
  // counted from the start of the extended partition; any other type is a
  // logical partition, counted from the record itself. Most tools write one
  // logical and one link per record, some put logicals in other slots. A
  // record is read once, so a chain that loops ends.
  std::set<uint64_t> seen;
  uint32_t number = 5;
  std::vector<uint8_t> buf(sector < 512 ? 512 : sector);
  for (size_t next = 0; next < pending.size() && seen.size() < kMaxExtendedRecords; ++next) {
    const Record r = pending[next];
    if (!seen.insert(r.lba).second) continue;
    if (!disk.ReadBytes(r.lba * sector, buf.data(), 512)) continue;
    Bytes e(buf.data(), 512);
    if (le16(e, 510) != 0xAA55) continue;
    for (int i = 0; i < 4; ++i) {
      const size_t off = 446 + 16 * i;
      const uint8_t type = e[off + 4];
      const uint64_t lba = le32(e, off + 8), count = le32(e, off + 12);
      if (type == 0 || count == 0) continue;
      if (IsExtendedType(type)) {
        if (inside(r.base + lba)) pending.push_back({r.base + lba, r.base});
      } else if (inside(r.lba + lba)) {
        out.partitions.push_back({number++, (r.lba + lba) * sector, count * sector, Hex2(type), MbrTypeName(type)});
      }
    }
  }
}

}  // namespace

PartitionTable ReadPartitionTable(VolumeSource& disk) {
  PartitionTable out;
  const uint32_t sector = disk.SectorSize();
  std::vector<uint8_t> mbr(sector < 512 ? 512 : sector);
  if (disk.SizeBytes() < 512 || !disk.ReadBytes(0, mbr.data(), 512)) return out;
  Bytes m(mbr.data(), 512);
  if (le16(m, 510) != 0xAA55 || LooksLikeVolumeBootSector(mbr.data(), 512)) return out;
  // Partition entries must have a sane status byte (0x00 or 0x80).
  for (int i = 0; i < 4; ++i) {
    uint8_t status = m[446 + 16 * i];
    if (status != 0 && status != 0x80) return out;
  }
  bool protective = false;
  for (int i = 0; i < 4; ++i)
    if (m[446 + 16 * i + 4] == 0xEE) protective = true;
  if (protective) {
    // The GPT header sits in LBA 1; its sector size is the device's, and a
    // 4K-native image has no other way to say it: try both.
    if (ReadGpt(disk, sector, out)) return out;
    if (sector != 4096 && ReadGpt(disk, 4096, out)) return out;
  }
  out.scheme = "MBR";
  ReadMbrEntries(disk, mbr.data(), sector, out);
  if (out.partitions.empty()) out.scheme.clear();
  return out;
}

}  // namespace rv
