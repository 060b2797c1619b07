// Raw volume access: the head of the per-volume record, cluster reads,
// file-system control requests and the file-system probes that decide which
// engine may work on a volume.
#pragma once
#include <cstdint>
#include <memory>

#include "platform/gmem.h"
#include "platform/types.h"
#include "volume/source.h"

namespace rv {

enum FileSystemKind : int32_t {
  kFsNotUsable = 0,
  kFsFat16 = 1,  // reported as "FAT": FAT12 or FAT16
  kFsNtfs = 2,
  kFsFat32 = 3,
  kFsExfat = 4,
};

// File-system control codes issued through DasdFsControl.
constexpr uint32_t FSCTL_GET_NTFS_VOLUME_DATA_CODE = 0x00090064;
constexpr uint32_t FSCTL_GET_NTFS_FILE_RECORD_CODE = 0x00090068;
constexpr uint32_t FSCTL_GET_VOLUME_BITMAP_CODE = 0x0009006F;
constexpr uint32_t FSCTL_GET_RETRIEVAL_POINTERS_CODE = 0x00090073;

constexpr size_t kDevicePathUnits = 102;
constexpr size_t kLabelUnits = 100;

// Head of the process-wide per-volume record; the engines' records extend it.
struct VolumeHandle {
  char16_t driveLetter = 0;                       // 0 when named by a volume GUID path
  char16_t devicePath[kDevicePathUnits] = {};     // "\\.\X:" or "\\?\Volume{...}", no trailing "\"
  char16_t label[kLabelUnits] = {};
  int32_t fileSystemKind = kFsNotUsable;
  std::shared_ptr<VolumeSource> handle;           // null while no volume is open
  uint64_t bytesPerSector = 0;
  uint64_t bytesPerCluster = 0;
  uint64_t sectorsPerCluster = 0;
  uint64_t totalSectors = 0;                      // NTFS only
  uint64_t totalClusters = 0;
  uint64_t dataAreaOffset = 0;                    // FAT only: byte offset of cluster 2

  bool IsOpen() const { return handle != nullptr; }
};

// Reads count × clusterSize bytes from cluster `firstCluster` (relative to
// the data area on FAT volumes, absolute on NTFS). `dest` needs room for the
// data plus one sector; when it is not sector aligned the read lands at the
// next aligned address inside it, moves down, and the sector after the data
// is zeroed.
BOOL DasdReadCluster(const VolumeHandle& volume, uint64_t firstCluster, uint64_t count, void* dest,
                     uint64_t sectorSize, uint64_t clusterSize);
// DasdReadCluster for a recovery: where the read fails, the clusters are
// read one by one and each that cannot be read (a bad sector, a part of a
// container that is cut off or fails its checksum) is filled with `fill`,
// so what the volume still holds around it comes back. The number of
// clusters that could not be read.
uint64_t DasdReadClustersSalvaging(const VolumeHandle& volume, uint64_t firstCluster, uint64_t count, void* dest,
                                   uint64_t sectorSize, uint64_t clusterSize, uint8_t fill);
// Reads count × unitSize bytes at byte firstUnit × unitSize (no data-area
// offset) into a new movable block of that size plus one unit, unlocked.
gmem::Handle DasdReadClusterAlloc(const VolumeHandle& volume, uint64_t firstUnit, uint64_t count, uint64_t unitSize);
// One file-system control request, judged by its final status; warnings
// still report the bytes returned.
BOOL DasdFsControl(VolumeSource* handle, uint32_t code, const void* in, uint32_t inLength, void* out,
                   uint32_t outLength, uint64_t* bytesReturned, void* reserved = nullptr);

// FSCTL_GET_RETRIEVAL_POINTERS on a file or folder of the volume (`path`
// relative to the volume root), judged like DasdFsControl; a missing object
// sets ERROR_FILE_NOT_FOUND. `fileSize` receives the object's size.
BOOL DasdRetrievalPointers(VolumeSource* handle, TextView path, bool directory, const void* in, uint32_t inLength,
                           void* out, uint32_t outLength, uint64_t* bytesReturned, uint64_t* fileSize);
// Maps a final control-request status to the BOOL result and last error.
BOOL JudgeControlStatus(NtStatus status, uint64_t information, uint64_t* bytesReturned);

BOOL IsSupportedFileSystem(TextView volumeName);
BOOL GetFileSystemKind(TextView volumeName, int32_t& kind, char16_t* label100);

// Opening rules shared by both engines' setups: resolves `volumeName` ("C:",
// or a volume GUID path) to the device path and drive letter of `volume`.
BOOL ResolveVolumeDevicePath(TextView volumeName, VolumeHandle& volume);
// True when the volume's root path reports a network drive.
bool IsRemoteVolume(TextView volumeName);
// Opens the device path of `volume` into its handle.
BOOL OpenVolumeHandle(VolumeHandle& volume, bool writeAccess);

}  // namespace rv
