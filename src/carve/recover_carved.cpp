#include "carve/recover_carved.h"

#include <algorithm>
#include <vector>

#include "carve/aligned_buffer.h"
#include "channel/outfile.h"

namespace rv::carve {

namespace {
constexpr size_t kCopyBytes = 1 << 20;
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

}  // namespace rv::carve
