// The buffers of the file-system control requests the engines make, as the
// system lays them out. The volume layer writes them when it answers from
// the volume itself; the engines read them whoever answered.
#pragma once
#include <cstdint>

namespace rv::fsctl {

// FSCTL_GET_NTFS_VOLUME_DATA: NTFS_VOLUME_DATA_BUFFER, 96 bytes.
namespace volume_data {
constexpr uint32_t kBytes = 96;
constexpr uint32_t kSerialNumber = 0;            // u64
constexpr uint32_t kTotalSectors = 8;            // u64
constexpr uint32_t kTotalClusters = 16;          // u64
constexpr uint32_t kFreeClusters = 24;           // u64
constexpr uint32_t kBytesPerSector = 40;         // u32
constexpr uint32_t kBytesPerCluster = 44;        // u32
constexpr uint32_t kBytesPerFileRecord = 48;     // u32
constexpr uint32_t kClustersPerFileRecord = 52;  // u32
constexpr uint32_t kMftValidDataLength = 56;     // u64
constexpr uint32_t kMftStartLcn = 64;            // u64
constexpr uint32_t kMft2StartLcn = 72;           // u64
constexpr uint32_t kMftZoneStart = 80;           // u64
constexpr uint32_t kMftZoneEnd = 88;             // u64
}  // namespace volume_data

// FSCTL_GET_NTFS_FILE_RECORD: NTFS_FILE_RECORD_OUTPUT_BUFFER.
namespace file_record {
constexpr uint32_t kFileReference = 0;  // u64: record number | sequence << 48
constexpr uint32_t kRecordLength = 8;   // u32
constexpr uint32_t kHeaderBytes = 12;   // the record follows
}  // namespace file_record

// FSCTL_GET_VOLUME_BITMAP (input STARTING_LCN_INPUT_BUFFER, 8 bytes):
// VOLUME_BITMAP_BUFFER.
namespace bitmap {
constexpr uint32_t kStartingLcn = 0;  // u64, rounded down to a multiple of 8
constexpr uint32_t kBitmapSize = 8;   // u64, clusters from the starting LCN
constexpr uint32_t kHeaderBytes = 16;  // the bits follow, LCN order, 1 = in use
}  // namespace bitmap

// FSCTL_GET_RETRIEVAL_POINTERS (input STARTING_VCN_INPUT_BUFFER, 8 bytes):
// RETRIEVAL_POINTERS_BUFFER.
namespace retrieval {
constexpr uint32_t kExtentCount = 0;   // u32 (then 4 bytes of padding)
constexpr uint32_t kStartingVcn = 8;   // u64
constexpr uint32_t kHeaderBytes = 16;  // the extents follow
constexpr uint32_t kExtentBytes = 16;  // NextVcn u64, Lcn u64
constexpr uint32_t kNextVcn = 0;
constexpr uint32_t kLcn = 8;
}  // namespace retrieval

constexpr uint32_t kStartingInputBytes = 8;

}  // namespace rv::fsctl
