#include "carve/recover_carved.h"

#include <algorithm>
#include <vector>

#include "carve/aligned_buffer.h"
#include "channel/outfile.h"

namespace rv::carve {

namespace {
constexpr size_t kCopyBytes = 1 << 20;

class CarvedFileReader final : public FoundFileReader {
 public:
  CarvedFileReader(VolumeSource& source, const CarvedFile& file)
      : bytes_(source, file.offset, file.length), length_(file.length) {}
  uint64_t Size() const override { return length_; }
  bool ReadAt(uint64_t offset, uint8_t* dest, size_t length, size_t& got) override {
    got = 0;
    if (offset >= length_) return true;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length, length_ - offset));
    if (!bytes_.ReadAt(offset, dest, n)) return false;
    got = n;
    return true;
  }

 private:
  VolumeBytes bytes_;
  uint64_t length_;
};
}  // namespace

CarvedWrite WriteCarvedFile(VolumeSource& source, const CarvedFile& file, TextView folder, TextView name,
                            Text& output, const std::atomic<bool>* stop, uint64_t modificationTime) {
  output.clear();
  OutputFile out;
  if (out.Create(folder, SafeOutputName(name)) != kOutputCreated) return CarvedWrite::NotCreated;
  VolumeBytes bytes(source, file.offset, file.length);
  AlignedBuffer buffer(kCopyBytes);
  for (uint64_t done = 0; done < file.length;) {
    if (stop && stop->load()) return CarvedWrite::Stopped;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(buffer.size(), file.length - done));
    if (!bytes.ReadAt(done, buffer.data(), n)) return CarvedWrite::ReadFailed;
    if (!out.WriteAt(done, buffer.data(), static_cast<uint32_t>(n)))
      return out.DestinationFull() ? CarvedWrite::DestinationFull : CarvedWrite::WriteFailed;
    done += n;
  }
  if (modificationTime != 0) out.SetModificationTime(modificationTime);
  if (out.Commit(output) != kOutputCreated)
    return out.DestinationFull() ? CarvedWrite::DestinationFull : CarvedWrite::WriteFailed;
  return CarvedWrite::Written;
}

std::unique_ptr<FoundFileReader> OpenCarvedReader(VolumeSource& source, const CarvedFile& file) {
  return std::make_unique<CarvedFileReader>(source, file);
}

}  // namespace rv::carve
