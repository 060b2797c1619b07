// Answers to the questions the operating system answers for a mounted
// volume, computed from the volume's own on-disk structures.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "platform/types.h"
#include "volume/source.h"

namespace rv {

enum class FsFamily { Unknown, Ntfs, Fat, Exfat };

struct FsFacts {
  FsFamily family = FsFamily::Unknown;
  Text fileSystemName;  // "NTFS", "FAT" (FAT12 and FAT16), "FAT32", "exFAT", or empty
  Text label;
  uint32_t bytesPerSector = 0;
  uint32_t sectorsPerCluster = 0;
  uint64_t bytesPerCluster = 0;
  uint64_t totalClusters = 0;
  uint64_t totalSectors = 0;
  int fatBits = 0;  // 12, 16 or 32 on FAT volumes
  uint64_t clusterAreaEndBytes = 0;  // FAT, exFAT: where the last cluster ends (sectors past it hold nothing)
  // Why a volume that names a known file system is not recognised all the
  // same (an exFAT boot region whose checksum fails); empty otherwise.
  std::string refusal;
  // Damage the volume is read around all the same, for the user to know
  // (an exFAT volume read through its backup boot region); empty otherwise.
  std::string notice;
};

class OnDiskFs {
 public:
  virtual ~OnDiskFs() = default;
  // False when the volume holds no file system that we recognise.
  virtual bool Recognised() const = 0;
  virtual const FsFacts& Facts() const = 0;
  // Free clusters, counted from the allocation structures (FAT or $Bitmap).
  virtual bool FreeClusters(uint64_t& freeClusters) = 0;
  virtual NtStatus FsControl(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength,
                             uint64_t& information);
  virtual NtStatus RetrievalPointers(TextView path, bool directory, const void* in, uint32_t inLength, void* out,
                                     uint32_t outLength, uint64_t& information, uint64_t& fileSize);
};

// Identifies the file system from the boot sector and returns the matching
// answer layer (never null: an unrecognised volume gets one that says so).
std::unique_ptr<OnDiskFs> MakeOnDiskFs(VolumeSource& source);

// Per-family layers, owned by the engines' modules.
std::unique_ptr<OnDiskFs> MakeNtfsOnDisk(VolumeSource& source, const uint8_t* bootSector, size_t length);
std::unique_ptr<OnDiskFs> MakeFatOnDisk(VolumeSource& source, const uint8_t* bootSector, size_t length);
// exFAT: never null; a boot region that fails its checks gives a layer that
// is not recognised and says why in its facts' refusal.
std::unique_ptr<OnDiskFs> MakeExfatOnDisk(VolumeSource& source, const uint8_t* bootSector, size_t length);

}  // namespace rv
