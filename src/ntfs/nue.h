// The NTFS engine: per-volume record, setup and the two shells.
#pragma once
#include "channel/packet.h"
#include "platform/gmem.h"
#include "volume/dasd.h"

namespace rv {

struct NueVolumeData : VolumeHandle {
  uint64_t usedClusters = 0;
  uint64_t usedBytes = 0;
  uint64_t freeBytes = 0;
  uint64_t bitmapBitCount = 0;
  uint64_t halfClusterCount = 0;
  uint64_t mftStartCluster = 0;
  uint64_t mftMirrorStartCluster = 0;
  uint64_t mftZoneStart = 0;
  uint64_t mftZoneEnd = 0;
  uint64_t mftByteOffset = 0;
  uint64_t bytesPerFileRecord = 0;
  uint64_t clustersPerFileRecord = 0;
  uint64_t mftRecordCount = 0;
  uint64_t currentRecordNumber = 0;
};

// The process-wide NTFS volume record.
NueVolumeData& TheNueVolume();

BOOL SetupNueVolumeDataStructures(TextView volumeName, NueVolumeData& volume, BOOL force);
BOOL GetNtfsVolumeData(NueVolumeData& volume);
int FreeNueVolumeDataStructures(NueVolumeData& volume);

namespace NueDel {
BOOL GetDeletedFileHeadersShell(const RequestPacket& packet);
}
namespace NueUdel {
BOOL UndeleteFileShell(const RequestPacket& packet);
}

}  // namespace rv
