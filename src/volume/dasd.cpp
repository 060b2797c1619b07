#include "volume/dasd.h"

#include <cstring>

#include "format/fat_boot.h"
#include "platform/lasterror.h"
#include "platform/system.h"
#include "platform/text.h"
#include "volume/diaglog.h"
#include "volume/osvolume.h"
#include "volume/readable.h"

namespace rv {
namespace {

constexpr const char* kModule = "DasdRead";

Text RootPathOf(TextView volumeName) { return Text(volumeName) + u"\\"; }

// Largest multiple of the sector size not above the address, plus a sector.
uint8_t* AlignedTarget(uint8_t* dest, uint64_t sectorSize, bool& moved) {
  uintptr_t a = reinterpret_cast<uintptr_t>(dest);
  moved = sectorSize != 0 && a % sectorSize != 0;
  if (!moved) return dest;
  return reinterpret_cast<uint8_t*>(a - a % sectorSize + sectorSize);
}

}  // namespace

BOOL DasdReadCluster(const VolumeHandle& volume, uint64_t firstCluster, uint64_t count, void* dest,
                     uint64_t sectorSize, uint64_t clusterSize) {
  const uint64_t bytes = count * clusterSize;
  if (bytes == 0 || (clusterSize != 0 && bytes / clusterSize != count)) {
    ErrorRecord(kModule, 234);
    return kFalse;
  }
  if (!volume.handle) {
    SetLastErrorCode(kErrorInvalidHandle);
    return kFalse;
  }
  // Reads above 4 GiB were never supported; refuse rather than truncate.
  if (bytes > UINT32_MAX) {
    SetLastErrorCode(kErrorInvalidParameter);
    return kFalse;
  }
  uint64_t offset = firstCluster * clusterSize;
  if (firstCluster != 0 && offset / firstCluster != clusterSize) {
    SetLastErrorCode(kErrorInvalidParameter);
    return kFalse;
  }
  if (volume.fileSystemKind == kFsFat16 || volume.fileSystemKind == kFsFat32) offset += volume.dataAreaOffset;
  bool moved = false;
  uint8_t* target = AlignedTarget(static_cast<uint8_t*>(dest), sectorSize, moved);
  if (!volume.handle->Read(offset, target, static_cast<uint32_t>(bytes))) return kFalse;
  if (moved) {
    std::memmove(dest, target, static_cast<size_t>(bytes));
    std::memset(static_cast<uint8_t*>(dest) + bytes, 0, static_cast<size_t>(sectorSize));
  }
  return kTrue;
}

uint64_t DasdReadClustersSalvaging(const VolumeHandle& volume, uint64_t firstCluster, uint64_t count, void* dest,
                                   uint64_t sectorSize, uint64_t clusterSize, uint8_t fill) {
  return ReadClustersSalvaging(count, clusterSize, static_cast<uint8_t*>(dest), fill,
                               [&](uint64_t first, uint64_t n, uint8_t* at) {
                                 return DasdReadCluster(volume, firstCluster + first, n, at, sectorSize, clusterSize) != 0;
                               });
}

gmem::Handle DasdReadClusterAlloc(const VolumeHandle& volume, uint64_t firstUnit, uint64_t count, uint64_t unitSize) {
  const uint64_t bytes = count * unitSize;
  if (bytes == 0 || bytes / unitSize != count) {
    ErrorRecord(kModule, 76);
    return nullptr;
  }
  if (bytes > UINT32_MAX - unitSize || !volume.handle) {
    SetLastErrorCode(kErrorInvalidParameter);
    ErrorRecord(kModule, 82);
    return nullptr;
  }
  gmem::Handle block = nullptr;
  void* address = nullptr;
  if (!AllocGlobalBlock(static_cast<uint32_t>(bytes + unitSize), &block, &address)) {
    ErrorRecord(kModule, 82);
    FreeGlobalBlock(&block, &address);
    return nullptr;
  }
  bool moved = false;
  auto* base = static_cast<uint8_t*>(address);
  uint8_t* target = AlignedTarget(base, unitSize, moved);
  if (!volume.handle->Read(firstUnit * unitSize, target, static_cast<uint32_t>(bytes))) {
    ErrorRecord(kModule, 94);
    FreeGlobalBlock(&block, &address);
    return nullptr;
  }
  if (moved) {
    std::memmove(base, target, static_cast<size_t>(bytes));
    std::memset(base + bytes, 0, static_cast<size_t>(unitSize));
  }
  gmem::Unlock(block);
  return block;
}

BOOL DasdFsControl(VolumeSource* handle, uint32_t code, const void* in, uint32_t inLength, void* out,
                   uint32_t outLength, uint64_t* bytesReturned, void*) {
  if (!handle) {
    SetLastErrorCode(kErrorInvalidHandle);
    return kFalse;
  }
  uint64_t information = 0;
  NtStatus status = handle->FsControl(code, in, inLength, out, outLength, information);
  return JudgeControlStatus(status, information, bytesReturned);
}

BOOL DasdRetrievalPointers(VolumeSource* handle, TextView path, bool directory, const void* in, uint32_t inLength,
                           void* out, uint32_t outLength, uint64_t* bytesReturned, uint64_t* fileSize) {
  if (!handle) {
    SetLastErrorCode(kErrorInvalidHandle);
    return kFalse;
  }
  uint64_t information = 0, size = 0;
  NtStatus status = handle->RetrievalPointers(path, directory, in, inLength, out, outLength, information, size);
  if (fileSize) *fileSize = size;
  if (status == kStatusObjectNameNotFound) {
    SetLastErrorCode(kErrorFileNotFound);
    return kFalse;
  }
  return JudgeControlStatus(status, information, bytesReturned);
}

BOOL JudgeControlStatus(NtStatus status, uint64_t information, uint64_t* bytesReturned) {
  if ((status & 0x80000000u) == 0) {
    if (bytesReturned) *bytesReturned = information;
    return kTrue;
  }
  // Warnings (severity 2) still carry the bytes returned; errors (3) do not.
  if ((status & 0xC0000000u) != 0xC0000000u && bytesReturned) *bytesReturned = information;
  switch (status) {
    case kStatusBufferOverflow: SetLastErrorCode(kErrorMoreData); break;
    case kStatusAlreadyCommitted: SetLastErrorCode(kErrorRetry); break;
    case kStatusInvalidParameter: SetLastErrorCode(kErrorInvalidParameter); break;
    case kStatusEndOfFile: SetLastErrorCode(kErrorHandleEof); break;
    default: break;
  }
  return kFalse;
}

BOOL GetFileSystemKind(TextView volumeName, int32_t& kind, char16_t* label100) {
  Text fsName, label;
  if (!QueryVolumeInformation(RootPathOf(volumeName), fsName, label)) {
    ErrorRecord("FsSubs", 186);
    return kFalse;
  }
  fsName = fsName.substr(0, 14);
  if (label100) CopyToBuffer(label100, kLabelUnits, label);
  if (fsName == u"NTFS") kind = kFsNtfs;
  else if (fsName == u"FAT") kind = kFsFat16;
  else if (fsName == u"FAT32") kind = kFsFat32;
  else if (fsName == u"exFAT") kind = kFsExfat;
  else kind = kFsNotUsable;
  return kTrue;
}

BOOL IsSupportedFileSystem(TextView volumeName) {
  Text root = RootPathOf(volumeName);
  Text fsName, label;
  bool ok = QueryVolumeInformation(root, fsName, label) != 0;
  if (ok) {
    fsName = fsName.substr(0, 14);
    if (fsName == u"FAT" || fsName == u"FAT32") {
      // The check `info` makes: a 12-bit FAT, or a geometry FAT does not allow.
      DiskFreeSpace space;
      if (!QueryDiskFreeSpace(root, space)) return kFalse;
      if (fat::FatSearchRefusal(space.bytesPerSector, uint64_t{space.bytesPerSector} * space.sectorsPerCluster,
                                space.totalClusters))
        fsName = u"FAT12";
    }
    if (fsName == u"NTFS" || fsName == u"FAT" || fsName == u"FAT32" || fsName == u"exFAT") return kTrue;
  }
  Text status = u"Unsupported file system on volume: ";
  status.push_back(volumeName.empty() ? u'?' : volumeName[0]);
  SetStatusText(status);
  return kFalse;
}

bool IsRemoteVolume(TextView volumeName) { return QueryDriveType(RootPathOf(volumeName)) == kDriveRemote; }

BOOL ResolveVolumeDevicePath(TextView volumeName, VolumeHandle& volume) {
  Text name(volumeName);
  if (!name.empty() && name.back() == u'\\') name.pop_back();
  volume.driveLetter = 0;
  volume.devicePath[0] = 0;
  const bool hasDriveColon = name.size() >= 2 && name.find(u':') != Text::npos && name.find(u':') > 0;
  if (hasDriveColon) {
    const size_t colon = name.find(u':');
    volume.driveLetter = name[colon - 1];
    Text letterPath(1, volume.driveLetter);
    letterPath += u":";
    if (OsMajorVersion() == 4) {
      CopyToBuffer(volume.devicePath, kDevicePathUnits, u"\\\\.\\" + letterPath);
      return kTrue;
    }
    Text guid;
    if (QueryVolumeNameForMountPoint(letterPath + u"\\", guid)) {
      if (!guid.empty() && guid.back() == u'\\') guid.pop_back();
      CopyToBuffer(volume.devicePath, kDevicePathUnits, guid);
      return kTrue;
    }
    // Wine, and volumes without a GUID name, cannot resolve the mount point:
    // the drive device name opens the same volume.
    CopyToBuffer(volume.devicePath, kDevicePathUnits, u"\\\\.\\" + letterPath);
    return kTrue;
  }
  if (OsMajorVersion() == 4 || name.empty() || name.size() >= kDevicePathUnits) {
    SetLastErrorCode(kErrorInvalidName);
    return kFalse;
  }
  CopyToBuffer(volume.devicePath, kDevicePathUnits, name);
  return kTrue;
}

BOOL OpenVolumeHandle(VolumeHandle& volume, bool writeAccess) {
  volume.handle = OpenVolumeDevice(Text(volume.devicePath), writeAccess);
  return volume.handle ? kTrue : kFalse;
}

}  // namespace rv
