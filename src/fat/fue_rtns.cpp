#include "fat/fue.h"
#include "platform/text.h"
#include "volume/diaglog.h"

namespace rv {

FueVolumeData& TheFueVolume() {
  static FueVolumeData volume;
  return volume;
}

void ReleaseFueVolumeData(FueVolumeData& volume) { volume = FueVolumeData{}; }

BOOL OpenFueVolume(FueVolumeData& volume) {
  volume.handle.reset();
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
  volume.usedClusters = size.totalAllocationUnits - size.availableAllocationUnits;
  return kTrue;
}

BOOL SetupFueVolumeDataStructures(TextView volumeName, FueVolumeData& volume, BOOL) {
  if (IsRemoteVolume(volumeName)) {
    ReleaseFueVolumeData(volume);
    return kFalse;
  }
  if (volume.devicePath[0] != 0) ReleaseFueVolumeData(volume);
  if (!ResolveVolumeDevicePath(volumeName, volume)) {
    ReleaseFueVolumeData(volume);
    return kFalse;
  }
  if (!OpenFueVolume(volume)) {
    ErrorRecord("FueRtns", 203);
    ReleaseFueVolumeData(volume);
    return kFalse;
  }
  if (volume.totalClusters < 4087) {
    Text status = u"Drive ";
    status.push_back(volume.driveLetter ? volume.driveLetter : u'?');
    status += u": has a 12-bit FAT.";
    SetStatusText(status);
    ReleaseFueVolumeData(volume);
    return kFalse;
  }
  TraceEvent("FueRtns::SetupFueVolumeDataStructures", 0, -1, nullptr);
  return kTrue;
}

}  // namespace rv
