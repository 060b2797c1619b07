// Partition tables of whole-disk images and devices: MBR (with the logical
// partitions of extended partitions) and GPT.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "volume/source.h"

namespace rv {

struct PartitionEntry {
  uint32_t number = 0;      // 1-based, in table order (MBR logicals from 5)
  uint64_t startBytes = 0;
  uint64_t sizeBytes = 0;
  std::string type;         // "0x07" for MBR, the type GUID for GPT
  std::string description;  // "NTFS/exFAT", "FAT32 (LBA)", "Microsoft basic data", ...
};

struct PartitionTable {
  std::string scheme;  // "MBR", "GPT" or "" when there is none
  std::vector<PartitionEntry> partitions;
};

// Reads the partition table at the start of `disk`. A volume boot sector
// (NTFS or FAT, which also end in 55 AA) is not taken for an MBR.
PartitionTable ReadPartitionTable(VolumeSource& disk);

}  // namespace rv
