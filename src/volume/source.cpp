#include "volume/source.h"

#include <cstring>

#include "platform/lasterror.h"
#include "format/le.h"
#include "volume/ondisk.h"

namespace rv {

VolumeSource::VolumeSource() = default;
VolumeSource::~VolumeSource() = default;

namespace {
// What Read and ReadOnce accept: whole sectors inside the volume.
bool SectorsInside(const VolumeSource& source, uint64_t offset, uint32_t length) {
  const uint32_t sector = source.SectorSize();
  if (length == 0 || sector == 0 || offset % sector != 0 || length % sector != 0) {
    SetLastErrorCode(kErrorInvalidParameter);
    return false;
  }
  if (!InBounds(source.SizeBytes(), offset, length)) {
    SetLastErrorCode(kErrorSectorNotFound);
    return false;
  }
  return true;
}
}  // namespace

bool VolumeSource::Read(uint64_t offset, void* buffer, uint32_t length) {
  if (SectorsInside(*this, offset, length) && ReadRaw(offset, buffer, length)) return true;
  failedReads_.fetch_add(1, std::memory_order_relaxed);
  return false;
}

bool VolumeSource::ReadOnce(uint64_t offset, void* buffer, uint32_t length) {
  if (SectorsInside(*this, offset, length) && ReadRawOnce(offset, buffer, length)) return true;
  failedReads_.fetch_add(1, std::memory_order_relaxed);
  return false;
}

bool VolumeSource::ReadBytes(uint64_t offset, void* buffer, size_t length) {
  if (length == 0) return true;
  const uint64_t sector = SectorSize();
  if (sector == 0 || !InBounds(SizeBytes(), offset, length)) {
    SetLastErrorCode(kErrorSectorNotFound);
    return false;
  }
  const uint64_t first = offset - offset % sector;
  uint64_t end = offset + length;
  end = (end + sector - 1) / sector * sector;
  if (end > SizeBytes()) end = SizeBytes() / sector * sector;
  if (end < offset + length) {
    SetLastErrorCode(kErrorSectorNotFound);
    return false;
  }
  // Aligned reads straight into the caller's buffer when possible.
  if (first == offset && end == offset + length && length <= UINT32_MAX)
    return Read(offset, buffer, static_cast<uint32_t>(length));
  auto* out = static_cast<uint8_t*>(buffer);
  std::vector<uint8_t> chunk;
  uint64_t pos = first;
  while (pos < end) {
    uint64_t n = end - pos;
    if (n > (1u << 20)) n = 1u << 20;
    chunk.resize(static_cast<size_t>(n));
    if (!Read(pos, chunk.data(), static_cast<uint32_t>(n))) return false;
    uint64_t from = pos < offset ? offset : pos;
    uint64_t to = pos + n < offset + length ? pos + n : offset + length;
    if (from < to) std::memcpy(out + (from - offset), chunk.data() + (from - pos), static_cast<size_t>(to - from));
    pos += n;
  }
  return true;
}

OnDiskFs& VolumeSource::OnDisk() {
  std::lock_guard<std::mutex> lock(onDiskMutex_);
  if (!onDisk_) onDisk_ = MakeOnDiskFs(*this);
  return *onDisk_;
}

void VolumeSource::ForgetOnDisk() {
  std::lock_guard<std::mutex> lock(onDiskMutex_);
  onDisk_.reset();
}

bool VolumeSource::VolumeInformation(Text& fileSystemName, Text& label) {
  OnDiskFs& fs = OnDisk();
  if (!fs.Recognised()) {
    SetLastErrorCode(kErrorUnrecognizedVolume);
    return false;
  }
  fileSystemName = fs.Facts().fileSystemName;
  label = fs.Facts().label;
  return true;
}

bool VolumeSource::QueryDiskFreeSpace(DiskFreeSpace& out) {
  OnDiskFs& fs = OnDisk();
  if (!fs.Recognised()) {
    SetLastErrorCode(kErrorUnrecognizedVolume);
    return false;
  }
  const FsFacts& f = fs.Facts();
  uint64_t freeClusters = 0;
  if (!fs.FreeClusters(freeClusters)) return false;
  out.sectorsPerCluster = f.sectorsPerCluster;
  out.bytesPerSector = f.bytesPerSector;
  out.totalClusters = f.totalClusters;
  out.freeClusters = freeClusters;
  return true;
}

bool VolumeSource::QueryFsSize(FsSizeInformation& out) {
  DiskFreeSpace d;
  if (!QueryDiskFreeSpace(d)) return false;
  out.totalAllocationUnits = d.totalClusters;
  out.availableAllocationUnits = d.freeClusters;
  out.sectorsPerAllocationUnit = d.sectorsPerCluster;
  out.bytesPerSector = d.bytesPerSector;
  return true;
}

uint32_t VolumeSource::DriveType() { return kDriveFixed; }

NtStatus VolumeSource::FsControl(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength,
                                 uint64_t& information) {
  information = 0;
  return OnDisk().FsControl(code, in, inLength, out, outLength, information);
}

NtStatus VolumeSource::RetrievalPointers(TextView path, bool directory, const void* in, uint32_t inLength, void* out,
                                         uint32_t outLength, uint64_t& information, uint64_t& fileSize) {
  information = 0;
  fileSize = 0;
  return OnDisk().RetrievalPointers(path, directory, in, inLength, out, outLength, information, fileSize);
}

uint32_t SectorSizeFromBootSector(const uint8_t* first512) {
  Bytes b(first512, 512);
  uint32_t bps = le16(b, 0x0B);
  // exFAT keeps zeros there and the sector size as a shift at byte 108.
  if (std::memcmp(first512 + 3, "EXFAT   ", 8) == 0)
    return first512[108] >= 9 && first512[108] <= 12 ? 1u << first512[108] : 512;
  const bool ntfs = std::memcmp(first512 + 3, "NTFS    ", 8) == 0;
  const bool fatLike = first512[0] == 0xEB || first512[0] == 0xE9 || le16(b, 510) == 0xAA55;
  if ((ntfs || fatLike) && bps >= 512 && bps <= 4096 && (bps & (bps - 1)) == 0) return bps;
  return 512;
}

namespace {

class MemorySource final : public VolumeSource {
 public:
  MemorySource(std::vector<uint8_t> bytes, uint32_t sectorSize) : bytes_(std::move(bytes)), sector_(sectorSize) {
    if (sector_ == 0) {
      uint8_t first[512] = {};
      std::memcpy(first, bytes_.data(), bytes_.size() < 512 ? bytes_.size() : 512);
      sector_ = SectorSizeFromBootSector(first);
    }
  }
  uint64_t SizeBytes() const override { return bytes_.size() / sector_ * sector_; }
  uint32_t SectorSize() const override { return sector_; }
  Text Describe() const override { return u"(memory)"; }

 protected:
  bool ReadRaw(uint64_t offset, void* buffer, uint32_t length) override {
    std::memcpy(buffer, bytes_.data() + offset, length);
    return true;
  }

 private:
  std::vector<uint8_t> bytes_;
  uint32_t sector_;
};

}  // namespace

std::shared_ptr<VolumeSource> MakeMemorySource(std::vector<uint8_t> bytes, uint32_t sectorSize) {
  return std::make_shared<MemorySource>(std::move(bytes), sectorSize);
}

}  // namespace rv
