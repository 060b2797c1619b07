#include "lost/lost_recover.h"

#include <algorithm>
#include <cstring>
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

LostRecovery RecoverNtfsRecord(VolumeSource& source, NueVolumeData& volume, const LostFile& file, const Text& folder) {
  LostRecovery result;
  result.code = kResultNotRecovered;
  if (file.source != LostSource::NtfsRecord || volume.bytesPerFileRecord == 0) return result;
  // The record is read again where the scan found it: the scan keeps
  // what it learned of each record, not the record.
  std::vector<uint8_t> record(static_cast<size_t>(volume.bytesPerFileRecord));
  if (!source.ReadBytes(file.recordOffset, record.data(), record.size()) || !ntfs::ApplyRecordFixups(record))
    return result;
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

// Consecutive clusters from the first, "*" over those in use now, zeros
// past the valid data length.
LostRecovery RecoverFromFirstCluster(VolumeSource& source, const LostFile& file, const Text& folder) {
  LostRecovery result;
  result.code = kResultNotRecovered;
  ClusterAllocation clusters(source);
  std::string why;
  if (!clusters.Load(why) || clusters.BytesPerCluster() == 0) return result;
  const uint64_t bpc = clusters.BytesPerCluster();
  const uint64_t count = (file.size + bpc - 1) / bpc;
  if (count > 0 && file.firstCluster < 2) return result;
  result.guessed = count > 1 && !(file.source == LostSource::ExfatSet && file.noFatChain);
  OutputFile out;
  if (out.Create(folder, file.name) != kOutputCreated) return result;
  const uint64_t chunkClusters = std::max<uint64_t>(1, kChunkBytes / bpc);
  std::vector<uint8_t> buffer(static_cast<size_t>(chunkClusters * bpc));
  bool anyFree = false, anyInUse = false;
  for (uint64_t done = 0; done < count;) {
    const uint64_t n = std::min(chunkClusters, count - done);
    for (uint64_t k = 0; k < n;) {
      // A stretch of clusters all free, or all in use, read or filled at once.
      const uint64_t c = file.firstCluster + done + k;
      const bool used = clusters.InUse(c);
      uint64_t run = 1;
      while (k + run < n && clusters.InUse(c + run) == used) ++run;
      uint8_t* at = buffer.data() + k * bpc;
      if (used || !source.ReadBytes(clusters.Base() + (c - 2) * bpc, at, static_cast<size_t>(run * bpc))) {
        std::memset(at, kInUseFill, static_cast<size_t>(run * bpc));
        anyInUse = true;
      } else {
        anyFree = true;
        result.clusters.push_back({(done + k) * bpc, c, run});
      }
      k += run;
    }
    const uint64_t offset = done * bpc;
    const uint64_t length = std::min(n * bpc, file.size - offset);
    if (file.validSize < offset + length) {
      const uint64_t keep = file.validSize > offset ? file.validSize - offset : 0;
      std::memset(buffer.data() + keep, 0, static_cast<size_t>(length - keep));
    }
    if (!out.WriteAt(offset, buffer.data(), static_cast<uint32_t>(length))) {
      result.code = out.DestinationFull() ? kResultDestinationTooSmall : kResultNotRecovered;
      return result;
    }
    done += n;
  }
  // Every cluster is another file's now: nothing of this one is left.
  if (count > 0 && !anyFree) return result;
  if (!out.SetSize(file.size)) return result;
  out.SetModificationTime(file.modified);
  if (out.Commit(result.output) != kOutputCreated) {
    result.output.clear();
    return result;
  }
  result.code = anyInUse ? kResultPartlyInUse : kResultRecovered;
  if (file.validSize < file.size) result.zeros.push_back({file.validSize, file.size - file.validSize});
  result.placed = true;
  return result;
}

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

}  // namespace rv::lost
