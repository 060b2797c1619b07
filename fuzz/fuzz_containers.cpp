// Image containers (E01, VHD, VHDX, VMDK, QCOW2) with damaged bytes: opening
// one through its library ends in a disk or a refusal, and every read of
// the disk, its partition table and its slices either succeeds or fails,
// never faults or reads past what it was given.
//
// The libraries are Debian's shared builds, not compiled with coverage, so
// libFuzzer sees only our side and mutates blindly within the containers;
// the seeds (containers made by qemu-img and ewfacquire from a small disk,
// see fuzz/make-container-seeds.sh) keep the inputs close to real ones. The
// libraries open files by name, so each input is written to a file first.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/text.h"
#include "volume/container.h"
#include "volume/ondisk.h"
#include "volume/partition.h"

namespace {

// Sectors read at most per input: enough to pass every kind of block the
// seeds hold, few enough to keep each run short.
constexpr uint64_t kReadBytes = 4u << 20;
constexpr uint32_t kReadPiece = 64u << 10;

std::string InputPath() {
  const char* dir = std::getenv("TMPDIR");
  // The extension lets libewf take the file for the first segment of a set.
  return std::string(dir && *dir ? dir : "/tmp") + "/retriva-fuzz-container-" + std::to_string(getpid()) + ".E01";
}

void ReadEverything(rv::VolumeSource& source) {
  if (source.SectorSize() == 0 || source.SizeBytes() % source.SectorSize() != 0) __builtin_trap();
  std::vector<uint8_t> buffer(kReadPiece);
  const uint64_t end = source.SizeBytes() < kReadBytes ? source.SizeBytes() : kReadBytes;
  for (uint64_t at = 0; at + source.SectorSize() <= end; at += kReadPiece) {
    uint64_t n = end - at < kReadPiece ? end - at : kReadPiece;
    n -= n % source.SectorSize();
    if (n) source.Read(at, buffer.data(), static_cast<uint32_t>(n));
  }
  // Past the end: refused by the source, not handed to the library.
  if (source.Read(source.SizeBytes(), buffer.data(), source.SectorSize())) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = InputPath();
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  const bool written = std::fwrite(data, 1, size, f) == size;
  std::fclose(f);
  if (!written) return 0;
  const rv::Text name = rv::FromUtf8(path);
  const rv::ImageFormat format = rv::DetectImageFormat(name);
  if (format == rv::ImageFormat::Raw || !rv::ImageFormatBuiltIn(format)) return 0;
  std::string error;
  auto disk = rv::OpenContainerDisk(name, format, error);
  if (!disk) {
    if (error.empty()) __builtin_trap();  // a refusal always says why
    return 0;
  }
  if (rv::SourceImageFormat(*disk) != format) __builtin_trap();
  ReadEverything(*disk);
  const rv::PartitionTable table = rv::ReadPartitionTable(*disk);
  disk->OnDisk().Recognised();
  for (const auto& p : table.partitions) {
    if (auto slice = rv::ContainerSlice(*disk, p.startBytes, p.sizeBytes)) {
      if (slice->SizeBytes() > disk->SizeBytes()) __builtin_trap();
      ReadEverything(*slice);
      slice->OnDisk().Recognised();
    }
  }
  return 0;
}
