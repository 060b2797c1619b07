#include <cstring>

#include "ntfs/nue.h"
#include "platform/text.h"
#include "volume/diaglog.h"
#include "volume/ondisk.h"

namespace rv {

NueVolumeData& TheNueVolume() {
  static NueVolumeData volume;
  return volume;
}

BOOL GetNtfsVolumeData(NueVolumeData& volume) {
  volume.handle.reset();
  int32_t kind = kFsNotUsable;
  if (!GetFileSystemKind(Text(volume.devicePath), kind, volume.label)) {
    ErrorRecord("NtfsSubs", 2395);
    return kFalse;
  }
  volume.fileSystemKind = kind;
  if (kind != kFsNtfs) return kFalse;
  if (!OpenVolumeHandle(volume, true)) {
    ErrorRecord("NtfsSubs", 2419);
    return kFalse;
  }
  const FsFacts& facts = volume.handle->OnDisk().Facts();
  volume.bytesPerSector = facts.bytesPerSector;
  volume.bytesPerCluster = facts.bytesPerCluster;
  volume.totalSectors = facts.totalSectors;
  volume.totalClusters = facts.totalClusters;
  if (volume.bytesPerSector == 0) {
    ErrorRecord("NtfsSubs", 2444);
    return kFalse;
  }
  volume.sectorsPerCluster = volume.bytesPerCluster / volume.bytesPerSector;
  return kTrue;
}

int FreeNueVolumeDataStructures(NueVolumeData& volume) {
  volume = NueVolumeData{};
  return 0;
}

BOOL SetupNueVolumeDataStructures(TextView volumeName, NueVolumeData& volume, BOOL force) {
  if (!force && volume.devicePath[0] != 0 && EqualsIgnoreCase(volumeName, Text(volume.devicePath))) return kTrue;
  if (IsRemoteVolume(volumeName)) {
    FreeNueVolumeDataStructures(volume);
    return kFalse;
  }
  if (volume.devicePath[0] != 0) FreeNueVolumeDataStructures(volume);
  if (!ResolveVolumeDevicePath(volumeName, volume) || !GetNtfsVolumeData(volume)) {
    FreeNueVolumeDataStructures(volume);
    return kFalse;
  }
  TraceEvent("NueRtns::SetupNueVolumeDataStructures", 0, -1, nullptr);
  return kTrue;
}

}  // namespace rv
