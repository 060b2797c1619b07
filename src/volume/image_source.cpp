// Volumes inside image files and block devices, opened read-only.
#include "platform/lasterror.h"
#include "platform/rawfile.h"
#include "platform/text.h"
#include "volume/source.h"

namespace rv {
namespace {

class ImageSource final : public VolumeSource {
 public:
  ImageSource(fs::RawReader reader, Text path, uint64_t base, uint64_t length, uint32_t sector)
      : reader_(std::move(reader)), path_(std::move(path)), base_(base), length_(length), sector_(sector) {}
  uint64_t SizeBytes() const override { return length_; }
  uint32_t SectorSize() const override { return sector_; }
  Text Describe() const override { return path_; }
  bool MayChange() const override { return device_; }
  void SetDevice() { device_ = true; }
  void SetSectorSize(uint32_t s) {
    sector_ = s;
    length_ = length_ / s * s;
  }
  bool ReadUnchecked(uint64_t offset, void* buffer, uint32_t length) {
    return reader_.ReadAt(base_ + offset, buffer, length);
  }
  void Prefetch(uint64_t offset, uint64_t length) override {
    if (offset < length_) reader_.WillRead(base_ + offset, length < length_ - offset ? length : length_ - offset);
  }

 protected:
  bool ReadRaw(uint64_t offset, void* buffer, uint32_t length) override {
    return reader_.ReadAt(base_ + offset, buffer, length);
  }
  bool ReadRawOnce(uint64_t offset, void* buffer, uint32_t length) override {
    return reader_.ReadOnceAt(base_ + offset, buffer, length);
  }

 private:
  fs::RawReader reader_;
  Text path_;
  uint64_t base_;
  uint64_t length_;
  uint32_t sector_;
  bool device_ = false;
};

}  // namespace

std::shared_ptr<VolumeSource> OpenImageSource(TextView path, uint64_t offset, uint64_t length, uint32_t& error) {
  fs::RawReader reader = fs::RawReader::Open(path, error);
  if (!reader.Valid()) return nullptr;
  const uint64_t total = reader.SizeBytes();
  const uint32_t deviceSector = reader.DeviceSectorSize();
  if (offset > total) {
    error = kErrorInvalidParameter;
    return nullptr;
  }
  const uint64_t avail = total - offset;
  if (length == 0 || length > avail) length = avail;
  auto src = std::make_shared<ImageSource>(std::move(reader), Text(path), offset, length, 512);
  if (deviceSector != 0) {
    // A block device knows its logical sector size (512 or 4096).
    src->SetSectorSize(deviceSector);
    src->SetDevice();
  } else {
    // An image file: the boot sector says which sector size it was made for.
    uint8_t first[512] = {};
    if (length >= 512 && src->ReadUnchecked(0, first, 512)) src->SetSectorSize(SectorSizeFromBootSector(first));
  }
  return src;
}

}  // namespace rv
