// A volume source answers every question the engines ask of a volume: raw
// sector reads, geometry, the file-system name and label, free space, and the
// file-system control requests. Sources over an image file, a block device or
// memory answer the last group from the volume's own on-disk structures; the
// Windows device source asks the operating system first and falls back to
// the on-disk answer where the system cannot give one (and always under
// Wine, whose answers for a drive mapped to an image are wrong).
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/types.h"

namespace rv {

class OnDiskFs;

// GetDiskFreeSpaceW
struct DiskFreeSpace {
  uint32_t sectorsPerCluster = 0;
  uint32_t bytesPerSector = 0;
  uint64_t freeClusters = 0;
  uint64_t totalClusters = 0;
};

// NtQueryVolumeInformationFile(FileFsSizeInformation)
struct FsSizeInformation {
  uint64_t totalAllocationUnits = 0;
  uint64_t availableAllocationUnits = 0;
  uint32_t sectorsPerAllocationUnit = 0;
  uint32_t bytesPerSector = 0;
};

class VolumeSource {
 public:
  VolumeSource();
  virtual ~VolumeSource();
  VolumeSource(const VolumeSource&) = delete;
  VolumeSource& operator=(const VolumeSource&) = delete;

  // Raw read of whole sectors at a sector-aligned byte offset, as an
  // unbuffered volume handle allows it. A read that is misaligned, runs past
  // the end of the volume or comes back short fails: the buffer then holds
  // nothing the caller may use. Sets the last error on failure.
  bool Read(uint64_t offset, void* buffer, uint32_t length);
  // Read, for bytes read once, front to back, by a pass over the whole
  // volume: a source that can (image files and block devices) reads what
  // the system has not cached past its cache, which the pass would only
  // fill with bytes no one reads again.
  bool ReadOnce(uint64_t offset, void* buffer, uint32_t length);
  // Byte-granular read for the on-disk answer layer: reads the covering
  // sectors and copies the wanted bytes out.
  bool ReadBytes(uint64_t offset, void* buffer, size_t length);

  // Says that these bytes will be read soon, so that a source that can
  // (image files and block devices) has them fetched meanwhile. Nothing is
  // read or checked here.
  virtual void Prefetch(uint64_t offset, uint64_t length) {}

  virtual uint64_t SizeBytes() const = 0;
  virtual uint32_t SectorSize() const = 0;
  // Human-readable name for messages: the image path or device name.
  virtual Text Describe() const = 0;

  // ---- What the operating system answers for a volume -------------------
  virtual bool VolumeInformation(Text& fileSystemName, Text& label);  // GetVolumeInformationW
  virtual bool QueryDiskFreeSpace(DiskFreeSpace& out);                // GetDiskFreeSpaceW
  virtual bool QueryFsSize(FsSizeInformation& out);                   // FileFsSizeInformation
  virtual uint32_t DriveType();                                      // GetDriveTypeW
  // NtFsControlFile on the volume handle: returns the final status and the
  // I/O status block's Information.
  virtual NtStatus FsControl(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength,
                             uint64_t& information);
  // FSCTL_GET_RETRIEVAL_POINTERS on a file or folder of this volume, opened
  // through the file system; `path` is relative to the volume root ("" or
  // "\" is the root folder). `fileSize` receives GetFileSize of the object.
  virtual NtStatus RetrievalPointers(TextView path, bool directory, const void* in, uint32_t inLength, void* out,
                                     uint32_t outLength, uint64_t& information, uint64_t& fileSize);

  // Reads that failed so far (a bad sector, a container chunk failing its
  // checksum or cut off, a range past the end). While it is 0 every read
  // came back whole, so what was not read yet is taken to be readable.
  uint64_t FailedReads() const { return failedReads_.load(std::memory_order_relaxed); }
  // Whether a range not read yet may fail to read: once a read has failed,
  // and always where the source cannot be whole by construction (a sparse
  // container whose file was cut short fails only where a cut grain lies).
  virtual bool MayHoldUnreadable() const { return FailedReads() != 0; }
  // Whether what the volume holds may change between two requests: a
  // device or drive another system may have mounted. An image file or a
  // container is taken to stay as it is while it is searched.
  virtual bool MayChange() const { return false; }

  // The on-disk answer layer, built on first use from the boot sector.
  OnDiskFs& OnDisk();
  // Drops what the on-disk layer learned (the volume changed under us).
  void ForgetOnDisk();

 protected:
  virtual bool ReadRaw(uint64_t offset, void* buffer, uint32_t length) = 0;
  virtual bool ReadRawOnce(uint64_t offset, void* buffer, uint32_t length) { return ReadRaw(offset, buffer, length); }

 private:
  std::atomic<uint64_t> failedReads_{0};
  std::mutex onDiskMutex_;
  std::unique_ptr<OnDiskFs> onDisk_;
};

// A volume inside an image file or a block device, from `offset` for
// `length` bytes (0 = to the end). Opened read-only.
std::shared_ptr<VolumeSource> OpenImageSource(TextView path, uint64_t offset, uint64_t length, uint32_t& error);
// A volume held in memory (tests and fuzzing).
std::shared_ptr<VolumeSource> MakeMemorySource(std::vector<uint8_t> bytes, uint32_t sectorSize = 0);

// Sector size of an image, judged from its boot sector: the bytes-per-sector
// field of an NTFS or FAT boot sector when it is a plausible power of two,
// else 512.
uint32_t SectorSizeFromBootSector(const uint8_t* first512);

}  // namespace rv
