#include "lost/lost_recover.h"

#include <algorithm>
#include <cstdint>
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
#include "volume/cluster_layout.h"

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

// What reading an old file's clusters met.
struct PlacedRead {
  bool anyFree = false, anyInUse = false;
  std::vector<ClusterRun> clusters;  // the stretches read
};

// Where an old FAT or exFAT file's clusters are: stretches of consecutive
// clusters in file order, as many clusters as its size needs.
struct Placement {
  struct Stretch {
    uint64_t cluster = 0, count = 0;
  };
  std::vector<Stretch> stretches;
  bool guessed = false;   // consecutive from the first, with no chain to say so
  bool byFormat = false;  // chosen by the file's format
};

// Bytes [offset, offset + length) of a file read over its placement into
// `buffer` (room for the whole clusters they touch; `offset` on a cluster
// boundary): read where free, "*" over clusters in use now or unreadable,
// zeros past the valid data length.
void FillPlaced(VolumeSource& source, ClusterAllocation& clusters, const Placement& placement, const LostFile& file,
                uint64_t offset, uint64_t length, uint8_t* buffer, PlacedRead& read) {
  const uint64_t bpc = clusters.BytesPerCluster();
  const uint64_t first = offset / bpc, n = (length + bpc - 1) / bpc;
  uint64_t k = 0, at = 0;  // clusters filled; the file's cluster where the stretch starts
  for (const Placement::Stretch& s : placement.stretches) {
    for (; k < n && first + k < at + s.count;) {
      // A stretch of clusters all free, or all in use, read or filled at once.
      const uint64_t c = s.cluster + (first + k - at);
      const uint64_t left = std::min(n - k, at + s.count - (first + k));
      const bool used = clusters.InUse(c);
      uint64_t run = 1;
      while (run < left && clusters.InUse(c + run) == used) ++run;
      uint8_t* dest = buffer + k * bpc;
      if (used || !source.ReadBytes(clusters.Base() + (c - 2) * bpc, dest, static_cast<size_t>(run * bpc))) {
        std::memset(dest, kInUseFill, static_cast<size_t>(run * bpc));
        read.anyInUse = true;
      } else {
        read.anyFree = true;
        read.clusters.push_back({(first + k) * bpc, c, run});
      }
      k += run;
    }
    at += s.count;
    if (k == n) break;
  }
  // Past the placement (never, while it covers the size): nothing to read.
  if (k < n) {
    std::memset(buffer + k * bpc, kInUseFill, static_cast<size_t>((n - k) * bpc));
    read.anyInUse = true;
  }
  if (file.validSize < offset + length) {
    const uint64_t keep = file.validSize > offset ? file.validSize - offset : 0;
    std::memset(buffer + keep, 0, static_cast<size_t>(length - keep));
  }
}

// Whether the file can be read from its first cluster on this volume.
bool CanReadFromFirst(ClusterAllocation& clusters, const LostFile& file) {
  std::string why;
  if (!clusters.Load(why) || clusters.BytesPerCluster() == 0) return false;
  return file.size == 0 || file.firstCluster >= 2;
}

// The clusters after the first as the file's format validates across
// them: free now and not the first of a file the old folders still
// listed, with those files' spans as the gaps most likely jumped. False
// where no check is installed or the content cannot decide.
bool PlaceByFormat(VolumeSource& source, ClusterAllocation& clusters, const LostFile& file, const LostClaims* claims,
                   Placement& placement) {
  const ClusterLayoutCheck check = TheClusterLayoutCheck();
  const uint64_t bpc = clusters.BytesPerCluster(), count = clusters.ClusterCount();
  // Bytes past the valid data length are zeros, not the format's.
  if (!check || file.validSize != file.size || file.firstCluster < 2 || file.firstCluster - 2 >= count) return false;
  const uint64_t needed = (file.size + bpc - 1) / bpc;
  ClusterLayoutQuestion q;
  q.size = file.size;
  q.bytesPerCluster = bpc;
  q.clusterCount = count;
  q.firstLcn = file.firstCluster - 2;
  q.usable = [&clusters, claims, count](uint64_t lcn) {
    return lcn < count && !clusters.InUse(lcn + 2) && !(claims && claims->StartsListedFile(lcn + 2));
  };
  q.read = [&source, &clusters, bpc, count](uint64_t lcn, uint64_t n, uint8_t* out) {
    return lcn < count && n <= count - lcn && n * bpc <= SIZE_MAX &&
           source.ReadBytes(clusters.Base() + lcn * bpc, out, static_cast<size_t>(n * bpc));
  };
  // Today's guess, as far as its clusters are free: where it validates, it stands.
  uint64_t run = 0;
  while (run < needed && q.firstLcn + run < count && (run == 0 || q.usable(q.firstLcn + run))) ++run;
  q.guess.push_back({q.firstLcn, run});
  if (claims) {
    // As far as a layout looks for usable clusters.
    const uint64_t reach = needed * 4 + 4096;
    for (const LostClaims::Listed& l : claims->StartingIn(file.firstCluster + 1, file.firstCluster + 1 + reach))
      if (l.size > 0) q.hints.push_back({l.cluster - 2, (l.size + bpc - 1) / bpc});
  }
  std::vector<LcnRun> runs;
  if (!check(q, runs)) return false;
  placement.stretches.clear();
  for (const LcnRun& r : runs) placement.stretches.push_back({r.lcn + 2, r.count});
  placement.guessed = false;
  placement.byFormat = true;
  return true;
}

// Where the file's clusters are: consecutive from the first, exact for an
// exFAT file without a chain; by its format where that can tell; else
// consecutive, a guess.
Placement PlaceFile(VolumeSource& source, ClusterAllocation& clusters, const LostFile& file, const LostClaims* claims) {
  Placement placement;
  const uint64_t bpc = clusters.BytesPerCluster();
  placement.stretches.push_back({file.firstCluster, (file.size + bpc - 1) / bpc});
  placement.guessed = file.size > bpc && !(file.source == LostSource::ExfatSet && file.noFatChain);
  if (placement.guessed) PlaceByFormat(source, clusters, file, claims, placement);
  return placement;
}

// The file's bytes by its placement, "*" over clusters in use now, zeros
// past the valid data length.
LostRecovery RecoverFromFirstCluster(VolumeSource& source, const LostFile& file, const Text& folder,
                                     const LostClaims* claims) {
  LostRecovery result;
  result.code = kResultNotRecovered;
  ClusterAllocation clusters(source);
  if (!CanReadFromFirst(clusters, file)) return result;
  const uint64_t bpc = clusters.BytesPerCluster();
  const Placement placement = PlaceFile(source, clusters, file, claims);
  result.guessed = placement.guessed;
  result.byFormat = placement.byFormat;
  OutputFile out;
  if (out.Create(folder, file.name) != kOutputCreated) return result;
  const uint64_t chunkBytes = std::max<uint64_t>(1, kChunkBytes / bpc) * bpc;
  std::vector<uint8_t> buffer(static_cast<size_t>(chunkBytes));
  PlacedRead read;
  for (uint64_t offset = 0; offset < file.size; offset += chunkBytes) {
    const uint64_t length = std::min(chunkBytes, file.size - offset);
    FillPlaced(source, clusters, placement, file, offset, length, buffer.data(), read);
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
class PlacedReader final : public GridFileReader {
 public:
  PlacedReader(VolumeSource& source, const LostFile& file)
      : GridFileReader(file.size, 0), source_(source), file_(file), clusters_(source) {}
  // The grid is whole clusters, as FillPlaced reads them.
  bool Load(const LostClaims* claims) {
    if (!CanReadFromFirst(clusters_, file_)) return false;
    const uint64_t bpc = clusters_.BytesPerCluster();
    placement_ = PlaceFile(source_, clusters_, file_, claims);
    const uint64_t chunk = std::max<uint64_t>(1, kChunkBytes / bpc) * bpc;
    buffer_.resize(static_cast<size_t>(chunk));
    Regrid(chunk);
    return true;
  }
  bool Guessed() const override { return placement_.guessed; }

 private:
  const uint8_t* MakePiece(uint64_t start, uint64_t length) override {
    PlacedRead read;
    FillPlaced(source_, clusters_, placement_, file_, start, length, buffer_.data(), read);
    return buffer_.data();
  }
  VolumeSource& source_;
  LostFile file_;
  ClusterAllocation clusters_;
  Placement placement_;
  std::vector<uint8_t> buffer_;
};

}  // namespace

LostClaims::LostClaims(const std::vector<LostFile>& files) {
  for (const LostFile& f : files)
    if (!f.deleted && f.firstCluster >= 2 && (f.source == LostSource::FatEntry || f.source == LostSource::ExfatSet))
      listed_.push_back({f.firstCluster, f.size});
  std::sort(listed_.begin(), listed_.end(), [](const Listed& a, const Listed& b) { return a.cluster < b.cluster; });
}

bool LostClaims::StartsListedFile(uint64_t cluster) const {
  const auto it = std::lower_bound(listed_.begin(), listed_.end(), cluster,
                                   [](const Listed& l, uint64_t c) { return l.cluster < c; });
  return it != listed_.end() && it->cluster == cluster;
}

std::vector<LostClaims::Listed> LostClaims::StartingIn(uint64_t from, uint64_t to) const {
  auto less = [](const Listed& l, uint64_t c) { return l.cluster < c; };
  const auto begin = std::lower_bound(listed_.begin(), listed_.end(), from, less);
  const auto end = std::lower_bound(begin, listed_.end(), to, less);
  return {begin, end};
}

LostRecovery RecoverLostFile(VolumeSource& source, NueVolumeData* ntfs, const LostFile& file, const Text& folder,
                             const LostClaims* claims) {
  switch (file.source) {
    case LostSource::NtfsRecord:
      if (ntfs) return RecoverNtfsRecord(source, *ntfs, file, folder);
      break;
    case LostSource::FatEntry:
    case LostSource::ExfatSet:
      return RecoverFromFirstCluster(source, file, folder, claims);
    case LostSource::NtfsIndex:
      break;  // a name without its record: the data's clusters are unknown
  }
  LostRecovery none;
  none.code = kResultNotRecovered;
  return none;
}

std::unique_ptr<FoundFileReader> OpenLostReader(VolumeSource& source, NueVolumeData* ntfs, const LostFile& file,
                                                const LostClaims* claims) {
  switch (file.source) {
    case LostSource::NtfsRecord: {
      if (!ntfs || ntfs->bytesPerFileRecord == 0) return nullptr;
      const std::vector<uint8_t> record = ReadFoundRecord(source, *ntfs, file);
      if (record.empty()) return nullptr;
      return NueUdel::OpenFoundRecordReader(*ntfs, Bytes(record.data(), record.size()), file.recordOffset);
    }
    case LostSource::FatEntry:
    case LostSource::ExfatSet: {
      auto reader = std::make_unique<PlacedReader>(source, file);
      if (!reader->Load(claims)) return nullptr;
      return reader;
    }
    case LostSource::NtfsIndex:
      break;
  }
  return nullptr;
}

}  // namespace rv::lost
