// NTFS recovery: each requested record is checked to be still free,
// examined as the search does, and written to a new file from its resident
// value or through its runs, reading only clusters the volume still shows
// free and decompressing compressed units.
#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#include "channel/freespac.h"
#include "channel/messages.h"
#include "channel/outfile.h"
#include "channel/shells.h"
#include "channel/file_reader.h"
#include "format/lznt1.h"
#include "ntfs/nue.h"
#include "platform/files.h"
#include "volume/diaglog.h"


namespace rv {
namespace {

constexpr uint32_t kReadWriteFailed = 71;
constexpr uint32_t kStopped = 73;
constexpr uint32_t kRecordInUse = 75;
constexpr uint32_t kOutputFailed = 78;
constexpr uint32_t kMemory = 80;
constexpr uint32_t kBitmapLoad = 89;
constexpr uint32_t kNotListable = 91;
constexpr uint32_t kChunkBytes = 65536;
// Largest compression unit accepted; NTFS uses 16 clusters of at most 4 KiB.
constexpr uint64_t kMaxUnitBytes = 16u << 20;

// What one file's writers need.
struct FileJob {
  NueVolumeData* v = nullptr;
  std::vector<uint8_t> record;
  std::vector<ntfs::Run> runs;
  uint64_t dataSize = 0;
  uint64_t initializedSize = 0;
  Text fileName;
  Text streamName;  // on disk; empty for the file's own data
  Text outputName;
  uint64_t modificationTime = 0;
  uint32_t inUse = 0;
  // Clusters read from the volume while still free: none means no byte of
  // the file's data came back.
  uint64_t freeRead = 0;
  uint32_t lastPercent = 0;
  bool runsCutShort = false;  // the clusters past the runs were lost to damage
  uint32_t dataKind = 0;      // 1 resident or empty, 2 non-resident
  bool compressed = false;
  uint64_t compressionUnitClusters = 16;
};

// A sector-aligned working buffer with one spare sector.
struct AlignedBuffer {
  explicit AlignedBuffer(uint64_t bytes, uint64_t sector) : storage(static_cast<size_t>(bytes + 2 * sector), 0) {
    const uintptr_t a = reinterpret_cast<uintptr_t>(storage.data());
    data = storage.data() + ((sector - a % sector) % sector);
  }
  std::vector<uint8_t> storage;
  uint8_t* data = nullptr;
};

void PostStep(FileJob& job, uint64_t offset) {
  const uint32_t percent = static_cast<uint32_t>(offset * 100 / job.dataSize);
  if (percent >= job.lastPercent + 10) {
    PostUndeleteProgress(percent, job.fileName);
    job.lastPercent = percent;
  }
}

// Clusters [vcn, vcn + count) of the file into `dest`: holes as zeros,
// clusters past the runs as zeros (as "*" when damage cut the run list
// short: their data is lost), the rest through the free-space check,
// which fetches the bitmap afresh for each stretch it reads.
bool ReadFileClusters(FileJob& job, uint64_t vcn, uint64_t count, uint8_t* dest) {
  NueVolumeData& v = *job.v;
  const uint64_t bpc = v.bytesPerCluster;
  if (job.runsCutShort) {
    uint64_t mapped = 0;
    for (const auto& r : job.runs) mapped += r.length;
    if (vcn + count > mapped) {
      const uint64_t keep = vcn < mapped ? mapped - vcn : 0;  // clusters the runs still map
      std::memset(dest + keep * bpc, kInUseFill, static_cast<size_t>((count - keep) * bpc));
      job.inUse = 1;
      count = keep;
    }
  }
  std::memset(dest, 0, static_cast<size_t>(count * bpc));
  size_t index = 0;
  uint64_t within = 0;
  if (!ntfs::FindRunOfVcn(job.runs, vcn, index, within)) return true;
  for (; count > 0 && index < job.runs.size(); ++index, within = 0) {
    const ntfs::Run& r = job.runs[index];
    const uint64_t n = std::min(count, r.length - within);
    if (r.lcn >= 0) {
      const uint64_t lcn = static_cast<uint64_t>(r.lcn) + within;
      VolumeBitmapSlice bitmap;
      if (!FetchVolumeBitmap(v, lcn, n, bitmap)) return false;
      // A free cluster that cannot be read comes back as '*', as one in use.
      uint64_t unreadable = 0;
      if (!ReadVerifiedClusters(v, bitmap, lcn, n, dest, job.inUse, &unreadable)) return false;
      uint64_t freeRead = 0;
      for (uint64_t k = 0; k < n; ++k) freeRead += bitmap.Allocated(lcn + k) ? 0 : 1;
      job.freeRead += freeRead - std::min(freeRead, unreadable);
    }
    dest += n * bpc;
    count -= n;
  }
  return true;
}

// The first cluster at or after `vcn` that has storage; false when none
// does (the rest of the file is a hole).
bool NextStoredVcn(const FileJob& job, uint64_t vcn, uint64_t& next) {
  uint64_t start = 0;
  for (const auto& r : job.runs) {
    if (r.lcn >= 0 && start + r.length > vcn) {
      next = std::max(start, vcn);
      return true;
    }
    start += r.length;
  }
  return false;
}

// Bytes the output will take on the destination: the stored clusters up to
// the valid data length; holes and the never-written tail stay holes.
uint64_t BytesToWrite(const FileJob& job, uint64_t bytesPerCluster) {
  const uint64_t validClusters = (job.initializedSize + bytesPerCluster - 1) / bytesPerCluster;
  uint64_t vcn = 0, stored = 0;
  for (const auto& r : job.runs) {
    if (vcn >= validClusters) break;
    if (r.lcn >= 0) stored += std::min(r.length, validClusters - vcn);
    vcn += r.length;
  }
  return std::min(stored * bytesPerCluster, job.dataSize);
}

// Bytes at and past the valid data length were never written: zeros.
void ZeroPastInitialized(const FileJob& job, uint64_t offset, uint8_t* data, uint64_t length) {
  if (offset + length <= job.initializedSize) return;
  const uint64_t from = job.initializedSize > offset ? job.initializedSize - offset : 0;
  std::memset(data + from, 0, static_cast<size_t>(length - from));
}

// The deleted file's security descriptor, where the record still holds it
// resident, goes onto the output (Windows).
void CopySecurity(const FileJob& job) {
  Bytes r(job.record.data(), job.record.size());
  ntfs::Attribute a;
  if (!FindAttribute(ntfs::kTypeSecurityDescriptor, job.record.data(), a, job.record.size()) || a.nonResident) return;
  Bytes sd = ntfs::ResidentValue(r, a);
  fs::CopySecurityDescriptor(job.outputName, sd.data(), sd.size());
}

// A write that failed: a full destination is its own result.
uint32_t WriteFailure(const OutputFile& file) {
  return file.DestinationFull() ? kResultDestinationTooSmall : kReadWriteFailed;
}

// The file is complete: it gets its time and its final name, or the result
// becomes the failure that kept it from the destination.
uint32_t Finish(FileJob& job, OutputFile& file, uint32_t result) {
  file.SetModificationTime(job.modificationTime);
  if (file.Commit(job.outputName) != kOutputCreated) return WriteFailure(file);
  return result;
}

// Opens the output; the partial name serves the security copy until the
// file is committed.
bool OpenOutput(FileJob& job, OutputFile& file, const Text& folder) {
  if (file.Create(folder, job.fileName) != kOutputCreated) return false;
  job.outputName = file.PartialName();
  return true;
}

// The resident value of the selected data; empty when the record holds
// none of that name.
Bytes ResidentData(const FileJob& job) {
  Bytes r(job.record.data(), job.record.size());
  ntfs::Attribute a;
  for (bool have = ntfs::FirstAttributeOf(r, a); have; have = ntfs::NextAttributeOf(r, a, a)) {
    if (a.type != ntfs::kTypeData || a.nameLength != job.streamName.size() ||
        ntfs::AttributeName(r, a) != job.streamName)
      continue;
    return ntfs::ResidentValue(r, a);
  }
  return Bytes();
}

uint32_t WriteResident(FileJob& job, const Text& folder) {
  OutputFile file;
  if (!OpenOutput(job, file, folder)) return kOutputFailed;
  Bytes value = ResidentData(job);
  if (!value.empty() && !file.WriteAt(0, value.data(), static_cast<uint32_t>(value.size()))) return WriteFailure(file);
  CopySecurity(job);
  return Finish(job, file, kResultRecovered);
}

// Chunk bytes [offset, offset + length) of non-resident data, `offset` on
// the chunk grid, as the plain writer writes them: holes as zeros, nothing
// read past the valid data length. `hole`: the chunk has no stored cluster
// (a hole, or past the valid data): zeros, which the writer leaves
// unwritten. False on a read error.
bool ReadPlainChunk(FileJob& job, uint64_t offset, uint64_t length, uint8_t* buffer, bool& hole) {
  const uint64_t bpc = job.v->bytesPerCluster;
  // Clusters wholly past the valid data length are not read at all.
  const uint64_t valid = job.initializedSize > offset ? std::min(length, job.initializedSize - offset) : 0;
  const uint64_t vcn = offset / bpc, clusters = (valid + bpc - 1) / bpc;
  uint64_t next = 0;
  hole = !NextStoredVcn(job, vcn, next) || next >= vcn + clusters;
  if (hole) {
    std::memset(buffer, 0, static_cast<size_t>(length));
    return true;
  }
  if (!ReadFileClusters(job, vcn, clusters, buffer)) return false;
  ZeroPastInitialized(job, offset, buffer, length);
  return true;
}

uint64_t PlainChunkBytes(const FileJob& job) { return std::max<uint64_t>(kChunkBytes, job.v->bytesPerCluster); }

// Non-resident data read straight through its runs (holes read as zeros).
uint32_t WritePlain(FileJob& job, const Text& folder) {
  NueVolumeData& v = *job.v;
  const uint64_t bpc = v.bytesPerCluster;
  const uint64_t chunk = PlainChunkBytes(job);
  AlignedBuffer buffer(chunk, v.bytesPerSector);
  OutputFile file;
  if (!OpenOutput(job, file, folder)) return kOutputFailed;
  for (uint64_t offset = 0; offset < job.dataSize; offset += chunk) {
    if (g_ntfsRunState.load() == kEngineStopRequested) return kStopped;
    const uint64_t length = std::min(chunk, job.dataSize - offset);
    bool hole = false;
    if (!ReadPlainChunk(job, offset, length, buffer.data, hole)) return kReadWriteFailed;
    if (hole) {
      // A stretch with no stored cluster is left unwritten: the output
      // keeps it as a hole and reads zeros there. Straight on to the chunk
      // of the next stored cluster: a sparse file may be terabytes of hole.
      uint64_t next = 0;
      if (!NextStoredVcn(job, offset / bpc, next) || next * bpc >= job.initializedSize) break;
      const uint64_t target = next * bpc / chunk * chunk;
      if (target > offset) offset = target - chunk;  // the loop adds one chunk
      PostStep(job, offset);
      continue;
    }
    if (!file.WriteAt(offset, buffer.data, static_cast<uint32_t>(length))) return WriteFailure(file);
    PostStep(job, offset);
  }
  // Every cluster taken by other files: "*" throughout is not a recovery.
  if (job.inUse && job.freeRead == 0) return kReadWriteFailed;
  // Trailing holes: the file still ends at its size.
  if (!file.SetSize(job.dataSize)) return WriteFailure(file);
  CopySecurity(job);
  return Finish(job, file, job.inUse ? kResultPartlyInUse : kResultRecovered);
}

// Clusters of unit [vcn, vcn + unit) that have storage; the runs of a
// compressed attribute are kept as stored, so a unit is either all stored
// (kept raw), none (a hole) or its first clusters (compressed).
uint64_t StoredClustersOfUnit(const FileJob& job, uint64_t vcn, uint64_t unit) {
  uint64_t stored = 0, start = 0;
  for (const auto& r : job.runs) {
    const uint64_t lo = std::max(start, vcn), hi = std::min(start + r.length, vcn + unit);
    if (lo < hi && r.lcn >= 0) stored += hi - lo;
    start += r.length;
    if (start >= vcn + unit) break;
  }
  return stored;
}

// The working buffers of the unit-by-unit reader.
struct UnitBuffers {
  UnitBuffers(uint64_t unit, uint64_t sector) : input(unit, sector), output(static_cast<size_t>(unit)) {}
  AlignedBuffer input;
  std::vector<uint8_t> output;
};

// How one compression unit came back.
enum class UnitOutcome { Hole, Stored, Decompressed, NotDecompressed, ReadFailed };

// Unit bytes [offset, offset + length) (`offset` on the unit grid) into
// `buffers.output`, as the compressed writer writes them: a unit whose
// clusters are all stored is kept raw, one with fewer is decompressed
// (zeros, or '*' where clusters are in use now, when that fails), one with
// none is a hole.
UnitOutcome ReadCompressedUnit(FileJob& job, uint64_t offset, uint64_t length, bool compressed, UnitBuffers& buffers) {
  NueVolumeData& v = *job.v;
  const uint64_t bpc = v.bytesPerCluster;
  const uint64_t unitClusters = job.compressionUnitClusters;
  std::vector<uint8_t>& output = buffers.output;
  const uint64_t vcn = offset / bpc;
  const uint64_t stored = compressed ? StoredClustersOfUnit(job, vcn, unitClusters) : unitClusters;
  if (compressed && stored == 0) {  // a unit that is all hole stays a hole
    std::fill(output.begin(), output.end(), 0);
    return UnitOutcome::Hole;
  }
  const uint32_t inUseBefore = job.inUse;
  job.inUse = 0;
  const bool read = ReadFileClusters(job, vcn, stored == 0 ? unitClusters : stored, buffers.input.data);
  UnitOutcome outcome = read ? UnitOutcome::Stored : UnitOutcome::ReadFailed;
  if (compressed && stored > 0 && stored < unitClusters) {
    size_t produced = 0;
    std::fill(output.begin(), output.end(), 0);
    // Clusters another file holds now make the stream meaningless: the
    // unit is shown as "*" and counts as not decompressed.
    if (read && !job.inUse &&
        ntfs::Lznt1Decompress(Bytes(buffers.input.data, static_cast<size_t>(stored * bpc)),
                              MutableBytes(output.data(), output.size()), produced)) {
      outcome = UnitOutcome::Decompressed;
    } else {
      if (read) outcome = UnitOutcome::NotDecompressed;
      std::fill(output.begin(), output.end(), job.inUse ? kInUseFill : 0);
    }
  } else {
    std::memcpy(output.data(), buffers.input.data, static_cast<size_t>(length));
  }
  job.inUse |= inUseBefore;
  ZeroPastInitialized(job, offset, output.data(), length);
  return outcome;
}

uint32_t WriteCompressedOrSparse(FileJob& job, const Text& folder, bool compressed) {
  NueVolumeData& v = *job.v;
  const uint64_t unit = job.compressionUnitClusters * v.bytesPerCluster;
  if (unit > kMaxUnitBytes) return kMemory;
  UnitBuffers buffers(unit, v.bytesPerSector);
  OutputFile file;
  if (!OpenOutput(job, file, folder)) return kOutputFailed;
  uint32_t status = 0;
  uint64_t decoded = 0, failed = 0;
  for (uint64_t offset = 0; offset < job.dataSize && status == 0; offset += unit) {
    if (g_ntfsRunState.load() == kEngineStopRequested) status = kStopped;
    const uint64_t length = std::min(unit, job.dataSize - offset);
    const UnitOutcome outcome = ReadCompressedUnit(job, offset, length, compressed, buffers);
    if (outcome == UnitOutcome::Hole) {
      PostStep(job, offset);
      continue;
    }
    if (outcome == UnitOutcome::ReadFailed) {
      status = kReadWriteFailed;
      ++failed;
    }
    if (outcome == UnitOutcome::Decompressed) ++decoded;
    if (outcome == UnitOutcome::NotDecompressed) ++failed;
    if (!file.WriteAt(offset, buffers.output.data(), static_cast<uint32_t>(length)) && status == 0)
      status = WriteFailure(file);
    PostStep(job, offset);
  }
  if (failed > 0 && decoded > 0) job.inUse = 1;
  if (failed > 0 && decoded == 0 && status == 0) status = kReadWriteFailed;
  if (status == 0 && job.inUse && job.freeRead == 0) status = kReadWriteFailed;
  if (status == 0 && !file.SetSize(job.dataSize)) status = WriteFailure(file);
  if (status != 0) return status;
  CopySecurity(job);
  return Finish(job, file, job.inUse ? kResultPartlyInUse : kResultRecovered);
}

// Free bytes of the destination's volume are enough for the file.
bool DestinationHasRoom(const Text& folder, uint64_t size) {
  Text dest = folder;
  size_t skip = dest.rfind(u"\\\\?\\", 0) == 0 ? 4 : 0;
  if (dest.find(u'\\', skip) == Text::npos) dest += u"\\";
  Text root = dest.substr(0, dest.find(u'\\', skip) + 1);
#ifndef _WIN32
  // POSIX paths have one root; the folder's own file system is the one
  // that takes the file.
  root = folder;
#endif
  uint64_t freeBytes = 0;
  if (root.size() <= 1 || !fs::DiskFreeBytes(root, freeBytes)) return true;
  return freeBytes >= size;
}

// Takes the data that the record routines selected in the volume record
// (sizes, flags and runs of the file's data or of one stream), of kind 1
// (resident or empty) or 2 (non-resident), into `job`: 0 when it can be
// read, else the engine's reason.
uint32_t TakeSelectedData(FileJob& job, uint32_t dataKind) {
  NueVolumeData& v = *job.v;
  job.dataSize = v.dataSize;
  job.initializedSize = std::min(v.initializedSize, v.dataSize);
  job.runsCutShort = v.dataDamaged == 1;
  job.compressed = v.compressedFlag != 0;
  job.compressionUnitClusters = v.compressionUnitClusters;
  job.dataKind = dataKind;
  // Damage left nothing of the data to read: not recovered, and no file
  // that would pass for it.
  if (v.dataDamaged == 2) return kReadWriteFailed;
  if (dataKind != 1 && dataKind != 2) return kNotListable;
  if (dataKind == 2) {
    RunGroupView group;
    if (!FirstRunGroup(v, group)) return kNotListable;
    job.runs = group.runs;
  }
  if (job.compressed && job.compressionUnitClusters * v.bytesPerCluster > kMaxUnitBytes) return kMemory;
  return 0;
}

// Finds record `number` free again and selects the data a recovery of it
// (or of its stream `stream`, from 1) reads: 0 with `job` ready, else the
// engine's reason. `source` is the file's path inside the volume.
uint32_t PrepareJob(NueVolumeData& v, uint64_t number, uint16_t stream, FileJob& job, Text& source) {
  EmptyRawWindow(v);
  // The volume may have changed since the search: folders are placed anew.
  v.folderPaths.clear();
  v.lastParent = UINT64_MAX;
  if (!LoadMftBitmap(v)) return kBitmapLoad;
  if (!gmem::Lock(v.mftBitmap)) return kMemory;
  gmem::Unlock(v.mftBitmap);
  uint8_t* raw = nullptr;
  uint64_t got = number;
  if (!ReadNextFreeFileRecord(v, got, raw)) return kNotListable;
  if (got != number || !raw) return kRecordInUse;
  job.v = &v;
  job.record.assign(raw, raw + v.bytesPerFileRecord);
  v.currentRecordNumber = number;
  RecordExamination exam;
  if (ExamineRecord(v, Bytes(job.record.data(), job.record.size()), exam) != 0) return kNotListable;
  source = v.currentFullPath;
  job.fileName = v.currentFileName;
  job.modificationTime = exam.modificationTime;
  if (stream != 0) {
    // A named stream: its own data, written under "name:stream" made safe.
    const ntfs::AttributeWalk walk(Bytes(job.record.data(), job.record.size()));
    std::vector<Text> names;
    NamedDataStreams(walk, names);
    uint32_t status = 0;
    if (stream > names.size() || !SelectDataStream(v, walk, stream, status)) return kNotListable;
    exam.dataKind = status;
    job.streamName = names[stream - 1];
    Text shown = job.streamName;
    SafeRecordName(shown);
    job.fileName += u":" + shown;
    source += u":" + shown;
  }
  return TakeSelectedData(job, exam.dataKind);
}

// Writes a prepared file into `folder`.
uint32_t WriteJob(FileJob& job, const Text& folder, Text& outputName) {
  NueVolumeData& v = *job.v;
  // Only the bytes that will be written need room; a compressed file may
  // take up to its whole size once decompressed.
  const uint64_t needed =
      job.dataKind == 2 && !job.compressed ? BytesToWrite(job, v.bytesPerCluster) : job.dataSize;
  if (!DestinationHasRoom(folder, needed)) return kResultDestinationTooSmall;
  PostUndeleteProgress(0, job.fileName);
  uint32_t status;
  if (job.dataKind == 1) status = WriteResident(job, folder);
  // A sparse file that is not compressed reads like a plain one whose holes
  // are zeros; only compression needs the unit-by-unit writer, and large
  // clusters would make 16-cluster units needlessly big.
  else if (!job.compressed) status = WritePlain(job, folder);
  else status = WriteCompressedOrSparse(job, folder, true);
  PostUndeleteProgress(100, job.fileName);
  outputName = job.outputName;
  return status;
}

uint32_t RecoverOneFile(NueVolumeData& v, uint64_t number, uint16_t stream, const Text& folder, Text& source,
                        Text& outputName) {
  FileJob job;
  const uint32_t prepared = PrepareJob(v, number, stream, job, source);
  if (prepared != 0) return prepared;
  return WriteJob(job, folder, outputName);
}

// An engine status as the result code the front ends show.
uint32_t ResultCodeOf(uint32_t status) {
  if (status == kResultRecovered || status == kResultPartlyInUse || status == kResultDestinationTooSmall) return status;
  return kResultNotRecovered;
}

// The grid a prepared file is made on: its compression units, the plain
// writer's chunks, or the resident value as one piece.
uint64_t PieceBytes(const FileJob& job) {
  if (job.dataKind != 2) return job.dataSize;
  return job.compressed ? job.compressionUnitClusters * job.v->bytesPerCluster : PlainChunkBytes(job);
}

// Reads a prepared file through the writers' own chunk and unit steps.
class NtfsFileReader final : public GridFileReader {
 public:
  // `recordOffset`: where the record lies on the volume, when known.
  NtfsFileReader(FileJob job, std::optional<uint64_t> recordOffset)
      : GridFileReader(0, 0), job_(std::move(job)), recordOffset_(recordOffset) {
    // The writer writes a resident value as it is, whatever size the
    // record claims.
    if (job_.dataKind == 1) job_.dataSize = ResidentData(job_).size();
    size_ = job_.dataSize;
    const uint64_t sector = job_.v->bytesPerSector;
    if (job_.dataKind == 2 && job_.compressed)
      units_ = std::make_unique<UnitBuffers>(PieceBytes(job_), sector);
    else if (job_.dataKind == 2)
      chunk_ = std::make_unique<AlignedBuffer>(PieceBytes(job_), sector);
    Regrid(PieceBytes(job_));
  }
  // A plain non-resident file's runs up to its size; a compressed file's
  // clusters hold its units compressed, not its bytes.
  std::vector<ClusterRun> ClusterRuns() const override {
    std::vector<ClusterRun> runs;
    if (job_.dataKind != 2 || job_.compressed) return runs;
    const uint64_t bpc = job_.v->bytesPerCluster;
    uint64_t vcn = 0;
    for (const ntfs::Run& r : job_.runs) {
      if (bpc == 0 || vcn * bpc >= job_.dataSize) break;
      const uint64_t count = std::min(r.length, (job_.dataSize - vcn * bpc + bpc - 1) / bpc);
      if (r.lcn >= 0) runs.push_back({vcn * bpc, static_cast<uint64_t>(r.lcn), count});
      vcn += r.length;
    }
    return runs;
  }
  // The value's bytes in its record as stored on the volume.
  std::vector<StoredPiece> ResidentPieces() const override {
    std::vector<StoredPiece> pieces;
    if (job_.dataKind != 1 || !recordOffset_) return pieces;
    const Bytes record(job_.record.data(), job_.record.size());
    const Bytes value = ResidentData(job_);
    if (value.empty()) return pieces;
    const size_t at = static_cast<size_t>(value.data() - job_.record.data());
    for (const ntfs::StoredRecordPiece& p : ntfs::StoredPiecesOf(record, at, value.size()))
      pieces.push_back({p.offsetInSpan, *recordOffset_ + p.offsetInRecord, p.length});
    return pieces;
  }
  // Sparse runs up to the size, and the stretch past the initialized size.
  std::vector<ZeroSpan> ZeroSpans() const override {
    std::vector<ZeroSpan> spans;
    if (job_.dataKind != 2 || job_.compressed) return spans;
    const uint64_t bpc = job_.v->bytesPerCluster, size = job_.dataSize;
    uint64_t vcn = 0;
    for (const ntfs::Run& r : job_.runs) {
      if (bpc == 0 || vcn * bpc >= job_.initializedSize) break;
      // Compared in clusters, so a bogus run length cannot overflow.
      const uint64_t left = job_.initializedSize - vcn * bpc;
      if (r.lcn < 0) spans.push_back({vcn * bpc, r.length >= (left + bpc - 1) / bpc ? left : r.length * bpc});
      vcn += r.length;
    }
    if (job_.initializedSize < size) spans.push_back({job_.initializedSize, size - job_.initializedSize});
    return spans;
  }

 private:
  const uint8_t* MakePiece(uint64_t start, uint64_t length) override {
    if (job_.dataKind == 1) return ResidentData(job_).data();
    if (units_)
      return ReadCompressedUnit(job_, start, length, true, *units_) == UnitOutcome::ReadFailed ? nullptr
                                                                                               : units_->output.data();
    bool hole = false;
    return ReadPlainChunk(job_, start, length, chunk_->data, hole) ? chunk_->data : nullptr;
  }

  FileJob job_;
  std::optional<uint64_t> recordOffset_;
  std::unique_ptr<AlignedBuffer> chunk_;
  std::unique_ptr<UnitBuffers> units_;
};

}  // namespace

namespace NueUdel {

namespace {

// 0 with `job` ready to write a found record's unnamed $DATA, else the
// engine's reason (kResultNotRecovered where there is none to select).
uint32_t PrepareFoundRecord(NueVolumeData& v, Bytes record, FileJob& job) {
  job.v = &v;
  job.record.assign(record.begin(), record.end());
  const ntfs::AttributeWalk walk(Bytes(job.record.data(), job.record.size()));
  // Only the unnamed $DATA of a base record: an attribute list names
  // extension records of the old MFT, which the current one does not hold.
  uint32_t kind = 0;
  if (!SelectDataStream(v, walk, 0, kind)) return kResultNotRecovered;
  return TakeSelectedData(job, kind);
}

}  // namespace

std::unique_ptr<FoundFileReader> OpenFoundRecordReader(NueVolumeData& v, Bytes record, uint64_t recordOffset) {
  FileJob job;
  if (PrepareFoundRecord(v, record, job) != 0) return nullptr;
  return std::make_unique<NtfsFileReader>(std::move(job), recordOffset);
}

uint32_t RecoverFoundRecord(NueVolumeData& v, Bytes record, const Text& fileName, uint64_t modificationTime,
                            const Text& folder, Text& outputName) {
  outputName.clear();
  FileJob job;
  uint32_t status = PrepareFoundRecord(v, record, job);
  job.fileName = fileName;
  job.modificationTime = modificationTime;
  if (status == 0) status = WriteJob(job, folder, outputName);
  const uint32_t code = ResultCodeOf(status);
  if (code != kResultRecovered && code != kResultPartlyInUse) outputName.clear();
  return code;
}

std::unique_ptr<FoundFileReader> OpenReader(uint32_t record, uint32_t stream) {
  NueVolumeData& v = TheNueVolume();
  if (!v.IsOpen() || record == 0 || stream > 0xFFFF) return nullptr;
  FileJob job;
  Text source;
  if (PrepareJob(v, record, static_cast<uint16_t>(stream), job, source) != 0) return nullptr;
  std::optional<uint64_t> at;
  uint64_t offset = 0;
  if (RecordVolumeOffset(v, record, offset)) at = offset;
  return std::make_unique<NtfsFileReader>(std::move(job), at);
}

BOOL UndeleteFileShell(const RequestPacket& packet) {
  UndeleteShellSteps steps;
  steps.runState = &g_ntfsRunState;
  steps.traceName = "NueUdel::UndeleteFileShell";
  steps.recoverAll = [](const uint8_t* payload, uint32_t length, uint32_t first, const Text& destination) {
    std::vector<NtfsUndeleteRecord> records;
    ParseNtfsUndeleteStreams(payload, length, first, records);
    NueVolumeData& v = TheNueVolume();
    for (const NtfsUndeleteRecord& asked : records) {
      const int32_t r = asked.record;
      if (r <= 0) continue;
      PostUndeleteFileStarted(static_cast<uint32_t>(r), u"");
      Text source, output;
      const uint32_t status = v.IsOpen() ? RecoverOneFile(v, static_cast<uint64_t>(r), asked.stream, destination, source, output)
                                         : kNotListable;
      TraceEvent("NueUdel::UndeleteFileShell", 0, -1, nullptr);
      if (status == kStopped) break;
      uint32_t code = status;
      if (code != kResultRecovered && code != kResultPartlyInUse && code != kResultDestinationTooSmall)
        code = kResultNotRecovered;
      if (code == kResultNotRecovered || code == kResultDestinationTooSmall) output.clear();
      PostNtfsUndeleteResult(code, static_cast<uint32_t>(r), source, output);
    }
    return true;
  };
  return RunUndeleteShell(packet, steps);
}

}  // namespace NueUdel
}  // namespace rv
