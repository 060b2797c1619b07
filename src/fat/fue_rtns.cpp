// FAT volume setup: the raw handle, the geometry the system reports, the
// engine's buffers and the root directory.
#include "fat/fue.h"
#include "platform/lasterror.h"
#include "platform/system.h"
#include "platform/text.h"
#include "volume/diaglog.h"


namespace rv {
namespace {

constexpr uint32_t kRunListInitialBytes = 65536;

// The machine's name in the volume record's 16-unit field.
bool ReadComputerName(char16_t (&out)[16]) {
  Text name;
  if (!ComputerName(name)) return false;
  CopyToBuffer(out, 16, name);
  return true;
}

BOOL FailSetup(FueVolumeData& volume, int site) {
  if (site) ErrorRecord("FueRtns", site);
  FreeFueVolumeDataStructures(volume);
  return kFalse;
}

}  // namespace

FueVolumeData& TheFueVolume() {
  static FueVolumeData volume;
  return volume;
}

FueBuffers& TheFueBuffers() {
  static FueBuffers buffers;
  return buffers;
}

void FreeFueVolumeDataStructures(FueVolumeData& volume) {
  FueBuffers& b = TheFueBuffers();
  FreeGlobalBlock(&b.transfer, nullptr);
  FreeGlobalBlock(&b.cluster, nullptr);
  DirectoryWalk& walk = TheDirectoryWalk();
  ClearDirectoryWalk(walk);
  FreeGlobalBlock(&volume.runList, &volume.runListAddress);
  volume = FueVolumeData{};
}

BOOL OpenFueVolume(FueVolumeData& volume) {
  volume.handle.reset();
  volume.runSourceOpen = false;
  int32_t kind = kFsNotUsable;
  if (!GetFileSystemKind(Text(volume.devicePath), kind, volume.label)) {
    ErrorRecord("FatSubs", 95);
    return kFalse;
  }
  volume.fileSystemKind = kind;
  if (kind != kFsFat16 && kind != kFsFat32) return kFalse;
  if (!OpenVolumeHandle(volume, false)) {
    ErrorRecord("FatSubs", 123);
    return kFalse;
  }
  FsSizeInformation size;
  if (!volume.handle->QueryFsSize(size)) {
    ErrorRecord("FatSubs", 134);
    return kFalse;
  }
  volume.bytesPerSector = size.bytesPerSector;
  volume.sectorsPerCluster = size.sectorsPerAllocationUnit;
  volume.bytesPerCluster = volume.bytesPerSector * volume.sectorsPerCluster;
  volume.totalClusters = size.totalAllocationUnits;
  volume.totalSectors = volume.totalClusters * volume.sectorsPerCluster;
  volume.usedClusters = size.totalAllocationUnits >= size.availableAllocationUnits
                            ? size.totalAllocationUnits - size.availableAllocationUnits
                            : 0;
  volume.fragmented = 0;
  return kTrue;
}

BOOL SetupFueVolumeDataStructures(TextView volumeName, FueVolumeData& volume, BOOL force) {
  DirectoryWalk& walk = TheDirectoryWalk();
  if (!force && volume.devicePath[0] != 0 && EqualsIgnoreCase(volumeName, Text(volume.devicePath))) {
    if (!walk.levels[0].buffer) {
      if (!LoadFatLayout(volume)) return FailSetup(volume, 248);
      walk.entryIndex = 0;
    }
    return kTrue;
  }
  if (IsRemoteVolume(volumeName)) return FailSetup(volume, 0);
  if (volume.devicePath[0] != 0) FreeFueVolumeDataStructures(volume);
  if (!ResolveVolumeDevicePath(volumeName, volume)) return FailSetup(volume, 0);
  if (!OpenFueVolume(volume)) return FailSetup(volume, 203);
  // The check `info` makes. Every sector-aligned transfer needs a sane
  // power-of-two geometry; a cluster larger than 64 KiB makes the chunk.
  const uint64_t bps = volume.bytesPerSector, bpc = volume.bytesPerCluster;
  if (const char* why = fat::FatSearchRefusal(bps, bpc, volume.totalClusters)) {
    SetStatusText(FromUtf8(why));
    return FailSetup(volume, 0);
  }
  FueBuffers& b = TheFueBuffers();
  if (!AllocGlobalBlock(static_cast<uint32_t>(bps + ChunkBytesOf(volume)), &b.transfer, nullptr))
    return FailSetup(volume, 226);
  volume.runListCapacity = kRunListInitialBytes;
  if (!AllocGlobalBlock(kRunListInitialBytes, &volume.runList, &volume.runListAddress)) {
    volume.runListCapacity = 0;
    return FailSetup(volume, 233);
  }
  if (!AllocGlobalBlock(static_cast<uint32_t>(bpc + bps), &b.cluster, nullptr)) return FailSetup(volume, 238);
  if (!ReadComputerName(volume.computerName)) return FailSetup(volume, 241);
  if (!walk.levels[0].buffer) {
    if (!LoadFatLayout(volume)) return FailSetup(volume, 248);
    walk.entryIndex = 0;
  }
  TraceEvent("FueRtns::SetupFueVolumeDataStructures", 0, -1, nullptr);
  return kTrue;
}

}  // namespace rv
