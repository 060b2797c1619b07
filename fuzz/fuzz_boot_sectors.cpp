// Boot-sector and partition-table parsing: whatever the first sectors hold,
// identification ends with an answer, never a fault. A sector the on-disk
// layer takes for FAT is also laid out by the FAT engine's own reading of
// the boot sector (FAT position, data area, root directory).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "format/fat_boot.h"
#include "fat/fue.h"
#include "format/ntfs_boot.h"
#include "volume/ondisk.h"
#include "volume/osvolume.h"
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
  if (fs.Recognised() && fs.Facts().family == rv::FsFamily::Fat) {
    rv::fat::BootSector fb;
    if (rv::fat::ParseBootSector(data, size, size, fb)) {
      // Parsed fields are what later divisions and offsets rely on.
      if (fb.bytesPerSector == 0 || fb.sectorsPerCluster == 0 || fb.clusterCount == 0 ||
          fb.firstDataSector >= fb.totalSectors || (fb.fatBits != 12 && fb.fatBits != 16 && fb.fatBits != 32))
        __builtin_trap();
    }
    rv::Text name = rv::AttachVolume(src);
    rv::FueVolumeData& v = rv::TheFueVolume();
    if (rv::SetupFueVolumeDataStructures(name, v, rv::kTrue)) {
      // The data area starts inside the volume, after the FAT.
      if (v.dataAreaOffset >= src->SizeBytes() ||
          v.boot.firstFatSector * v.boot.bytesPerSector >= v.dataAreaOffset)
        __builtin_trap();
    }
    rv::FreeFueVolumeDataStructures(v);
    rv::DetachVolume(name);
  }
  return 0;
}
