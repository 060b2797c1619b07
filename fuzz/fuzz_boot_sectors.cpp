// Boot-sector and partition-table parsing: whatever the first sectors hold,
// identification ends with an answer, never a fault.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fat/fat_boot.h"
#include "ntfs/ntfs_boot.h"
#include "volume/ondisk.h"
#include "volume/partition.h"
#include "volume/source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  std::vector<uint8_t> bytes(data, data + size);
  if (size >= 512) {
    rv::fat::BootSector fb;
    rv::fat::ParseBootSector(data, size, size, fb);
    rv::ntfs::BootSector nb;
    rv::ntfs::ParseBootSector(data, size, nb);
  }
  bytes.resize((bytes.size() + 511) / 512 * 512 + 512);
  auto src = rv::MakeMemorySource(bytes, 512);
  rv::ReadPartitionTable(*src);
  rv::OnDiskFs& fs = src->OnDisk();
  uint64_t freeClusters = 0;
  if (fs.Recognised()) fs.FreeClusters(freeClusters);
  return 0;
}
