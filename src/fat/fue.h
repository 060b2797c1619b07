// The FAT engine: per-volume record, setup and the two shells.
#pragma once
#include "channel/packet.h"
#include "platform/gmem.h"
#include "volume/dasd.h"

namespace rv {

struct FueVolumeData : VolumeHandle {
  uint64_t usedClusters = 0;
};

// The process-wide FAT volume record.
FueVolumeData& TheFueVolume();

BOOL SetupFueVolumeDataStructures(TextView volumeName, FueVolumeData& volume, BOOL force);
BOOL OpenFueVolume(FueVolumeData& volume);
void ReleaseFueVolumeData(FueVolumeData& volume);

namespace FueDel {
BOOL GetDeletedFileHeadersShell(const RequestPacket& packet);
}
namespace FueUdel {
BOOL UndeleteFileShell(const RequestPacket& packet);
}

}  // namespace rv
