#include "lost/lost_recover.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "channel/freespac.h"
#include "channel/messages.h"
#include "channel/outfile.h"
#include "format/ntfs_format.h"
#include "lost/lost_scan.h"
#include "ntfs/nue.h"

namespace rv::lost {
namespace {

// Clusters read at once: consecutive ones in one read.
constexpr uint64_t kChunkBytes = 1u << 20;

// The record as the scan found it, fixed up; empty when it cannot be read.
std::vector<uint8_t> ReadFoundRecord(VolumeSource& source, const NueVolumeData& volume, const LostFile& file) {
  std::vector<uint8_t> record(static_cast<size_t>(volume.bytesPerFileRecord));
  if (record.empty() || !source.ReadBytes(file.recordOffset, record.data(), record.size()) ||
      !ntfs::ApplyRecordFixups(record))
    record.clear();
  return record;
}

LostRecovery RecoverNtfsRecord(VolumeSource& source, NueVolumeData& volume, const LostFile& file, const Text& folder) {
  LostRecovery result;
  result.code = kResultNotRecovered;
  if (file.source != LostSource::NtfsRecord || volume.bytesPerFileRecord == 0) return result;
  // The record is read again where the scan found it: the scan keeps
  // what it learned of each record, not the record.
  const std::vector<uint8_t> record = ReadFoundRecord(source, volume, file);
  if (record.empty()) return result;
  const Bytes bytes(record.data(), record.size());
  result.code = NueUdel::RecoverFoundRecord(volume, bytes, file.name, file.modified, folder, result.output);
  if (const auto reader = NueUdel::OpenFoundRecordReader(volume, bytes, file.recordOffset)) {
    result.resident = reader->ResidentPieces();
    result.clusters = reader->ClusterRuns();
    result.zeros = reader->ZeroSpans();
    result.placed = reader->Size() == 0 || !result.resident.empty() || !result.clusters.empty() || !result.zeros.empty();
  }
  return result;
}

// What reading an old file's consecutive clusters met.
struct ConsecutiveRead {
  bool anyFree = false, anyInUse = false;
  std::vector<ClusterRun> clusters;  // the stretches read
};

// Bytes [offset, offset + length) of a file read over consecutive clusters
// from its first into `buffer` (room for the whole clusters they touch;
// `offset` on a cluster boundary): read where free, "*" over clusters in
// use now or unreadable, zeros past the valid data length.
void FillConsecutive(VolumeSource& source, ClusterAllocation& clusters, const LostFile& file, uint64_t offset,
                     uint64_t length, uint8_t* buffer, ConsecutiveRead& read) {
  const uint64_t bpc = clusters.BytesPerCluster();
  const uint64_t first = offset / bpc, n = (length + bpc - 1) / bpc;
  for (uint64_t k = 0; k < n;) {
    // A stretch of clusters all free, or all in use, read or filled at once.
    const uint64_t c = file.firstCluster + first + k;
    const bool used = clusters.InUse(c);
    uint64_t run = 1;
    while (k + run < n && clusters.InUse(c + run) == used) ++run;
    uint8_t* at = buffer + k * bpc;
    if (used || !source.ReadBytes(clusters.Base() + (c - 2) * bpc, at, static_cast<size_t>(run * bpc))) {
      std::memset(at, kInUseFill, static_cast<size_t>(run * bpc));
      read.anyInUse = true;
    } else {
      read.anyFree = true;
      read.clusters.push_back({(first + k) * bpc, c, run});
    }
    k += run;
  }
  if (file.validSize < offset + length) {
    const uint64_t keep = file.validSize > offset ? file.validSize - offset : 0;
    std::memset(buffer + keep, 0, static_cast<size_t>(length - keep));
  }
}

// Whether the file can be read from its first cluster on this volume.
bool CanReadConsecutive(ClusterAllocation& clusters, const LostFile& file) {
  std::string why;
  if (!clusters.Load(why) || clusters.BytesPerCluster() == 0) return false;
  return file.size == 0 || file.firstCluster >= 2;
}

// Clusters after the first taken as consecutive without a chain to say so.
bool GuessedConsecutive(const LostFile& file, uint64_t bytesPerCluster) {
  return file.size > bytesPerCluster && !(file.source == LostSource::ExfatSet && file.noFatChain);
}

// Consecutive clusters from the first, "*" over those in use now, zeros
// past the valid data length.
LostRecovery RecoverFromFirstCluster(VolumeSource& source, const LostFile& file, const Text& folder) {
  LostRecovery result;
  result.code = kResultNotRecovered;
  ClusterAllocation clusters(source);
  if (!CanReadConsecutive(clusters, file)) return result;
  const uint64_t bpc = clusters.BytesPerCluster();
  result.guessed = GuessedConsecutive(file, bpc);
  OutputFile out;
  if (out.Create(folder, file.name) != kOutputCreated) return result;
  const uint64_t chunkBytes = std::max<uint64_t>(1, kChunkBytes / bpc) * bpc;
  std::vector<uint8_t> buffer(static_cast<size_t>(chunkBytes));
  ConsecutiveRead read;
  for (uint64_t offset = 0; offset < file.size; offset += chunkBytes) {
    const uint64_t length = std::min(chunkBytes, file.size - offset);
    FillConsecutive(source, clusters, file, offset, length, buffer.data(), read);
    if (!out.WriteAt(offset, buffer.data(), static_cast<uint32_t>(length))) {
      result.code = out.DestinationFull() ? kResultDestinationTooSmall : kResultNotRecovered;
      return result;
    }
  }
  // Every cluster is another file's now: nothing of this one is left.
  if (file.size > 0 && !read.anyFree) return result;
  if (!out.SetSize(file.size)) return result;
  out.SetModificationTime(file.modified);
  if (out.Commit(result.output) != kOutputCreated) {
    result.output.clear();
    return result;
  }
  result.code = read.anyInUse ? kResultPartlyInUse : kResultRecovered;
  result.clusters = std::move(read.clusters);
  if (file.validSize < file.size) result.zeros.push_back({file.validSize, file.size - file.validSize});
  result.placed = true;
  return result;
}

// An old FAT or exFAT file read in place as RecoverFromFirstCluster writes
// it, one chunk at a time.
class ConsecutiveReader final : public GridFileReader {
 public:
  ConsecutiveReader(VolumeSource& source, const LostFile& file)
      : GridFileReader(file.size, 0), source_(source), file_(file), clusters_(source) {}
  // The grid is whole clusters, as FillConsecutive reads them.
  bool Load() {
    if (!CanReadConsecutive(clusters_, file_)) return false;
    const uint64_t bpc = clusters_.BytesPerCluster();
    const uint64_t chunk = std::max<uint64_t>(1, kChunkBytes / bpc) * bpc;
    buffer_.resize(static_cast<size_t>(chunk));
    Regrid(chunk);
    return true;
  }
  bool Guessed() const override { return GuessedConsecutive(file_, clusters_.BytesPerCluster()); }

 private:
  const uint8_t* MakePiece(uint64_t start, uint64_t length) override {
    ConsecutiveRead read;
    FillConsecutive(source_, clusters_, file_, start, length, buffer_.data(), read);
    return buffer_.data();
  }
  VolumeSource& source_;
  LostFile file_;
  ClusterAllocation clusters_;
  std::vector<uint8_t> buffer_;
};

}  // namespace

LostRecovery RecoverLostFile(VolumeSource& source, NueVolumeData* ntfs, const LostFile& file, const Text& folder) {
  switch (file.source) {
    case LostSource::NtfsRecord:
      if (ntfs) return RecoverNtfsRecord(source, *ntfs, file, folder);
      break;
    case LostSource::FatEntry:
    case LostSource::ExfatSet:
      return RecoverFromFirstCluster(source, file, folder);
    case LostSource::NtfsIndex:
      break;  // a name without its record: the data's clusters are unknown
  }
  LostRecovery none;
  none.code = kResultNotRecovered;
  return none;
}

std::unique_ptr<FoundFileReader> OpenLostReader(VolumeSource& source, NueVolumeData* ntfs, const LostFile& file) {
  switch (file.source) {
    case LostSource::NtfsRecord: {
      if (!ntfs || ntfs->bytesPerFileRecord == 0) return nullptr;
      const std::vector<uint8_t> record = ReadFoundRecord(source, *ntfs, file);
      if (record.empty()) return nullptr;
      return NueUdel::OpenFoundRecordReader(*ntfs, Bytes(record.data(), record.size()), file.recordOffset);
    }
    case LostSource::FatEntry:
    case LostSource::ExfatSet: {
      auto reader = std::make_unique<ConsecutiveReader>(source, file);
      if (!reader->Load()) return nullptr;
      return reader;
    }
    case LostSource::NtfsIndex:
      break;
  }
  return nullptr;
}

}  // namespace rv::lost
