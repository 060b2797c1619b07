// FAT recovery: the entry is found again by its directory locator and
// index, and the file's data is taken from the clusters that follow its
// first cluster (passing over those that are another entry's first cluster:
// they start other files), as long as the FAT still shows them free; from
// the first cluster in use on, the output holds '*' bytes.
#include <algorithm>
#include <cstring>
#include <memory>

#include "channel/file_reader.h"
#include "channel/messages.h"
#include "format/fat_entry.h"
#include "channel/outfile.h"
#include "channel/shells.h"
#include "fat/fue.h"
#include "platform/system.h"
#include "platform/text.h"
#include "volume/diaglog.h"
#include "format/le.h"

namespace rv::FueUdel {

using fat::kEntryBytes;
namespace {

constexpr const char* kModule = "FueFF2";

constexpr uint32_t kReadWriteFailed = 71;
constexpr uint32_t kStopped = 73;
constexpr uint32_t kNotFound = 75;
constexpr uint32_t kCopiedWhole = 76;
constexpr uint32_t kCopiedPartly = 77;
constexpr uint32_t kNoOutput = 78;
constexpr uint32_t kTransferNotLockable = 80;
constexpr uint32_t kDestinationFull = 85;

uint32_t ResultCode(uint32_t engineResult) {
  if (engineResult == kCopiedWhole) return kResultRecovered;
  if (engineResult == kCopiedPartly) return kResultPartlyInUse;
  if (engineResult == kDestinationFull) return kResultDestinationTooSmall;
  return kResultNotRecovered;
}


// The root listing must be in its on-disk state for a lookup by index: a
// finished search freed it, a stopped one may have compacted it.
bool EnsureRootListing() {
  DirectoryWalk& walk = TheDirectoryWalk();
  if (walk.levels[0].buffer && !walk.rootAltered && walk.depth == 0) return true;
  if (!LoadFatLayout(TheFueVolume())) return false;
  walk.entryIndex = 0;
  return true;
}

bool CopyRootListing(gmem::Handle& block, uint64_t& extent) {
  DirectoryWalk& walk = TheDirectoryWalk();
  gmem::Handle root = walk.levels[0].buffer;
  const size_t size = gmem::Size(root);
  if (!root || size == 0) return false;
  void* address = nullptr;
  if (!AllocGlobalBlock(static_cast<uint32_t>(size), &block, &address)) {
    ErrorRecord(kModule, 772);
    return false;
  }
  const bool locked = walk.depth == 0 && walk.begin;
  const void* source = locked ? walk.begin : gmem::Lock(root);
  if (!source) {
    FreeGlobalBlock(&block, &address);
    return false;
  }
  std::memcpy(address, source, size);
  if (!locked) gmem::Unlock(root);
  gmem::Unlock(block);
  extent = size;
  return true;
}

}  // namespace

uint64_t FatEntryFileTime(uint16_t dateWord, uint16_t timeWord) {
  CalendarTime t;
  t.year = 1980 + (dateWord >> 9);
  t.month = (dateWord >> 5) & 15;
  t.day = dateWord & 31;
  t.hour = timeWord >> 11;
  t.minute = (timeWord >> 5) & 63;
  t.second = (timeWord & 31) * 2;
  if (t.month < 1 || t.month > 12 || t.day < 1 || t.hour > 23 || t.minute > 59 || t.second > 59) return 0;
  uint64_t fileTime = 0;
  return LocalToFileTime(t, fileTime) ? fileTime : 0;
}

bool ReadDirectoryByDlcn(uint32_t dlcn, bool deleted, gmem::Handle& block, uint64_t& extent) {
  block = nullptr;
  extent = 0;
  if (dlcn == kRootDlcn) return CopyRootListing(block, extent);
  FueVolumeData& v = TheFueVolume();
  FueBuffers& buffers = TheFueBuffers();
  if (dlcn >= v.totalClusters) return false;
  auto* probe = static_cast<uint8_t*>(gmem::Lock(buffers.cluster));
  if (!probe) return false;
  bool ok = DasdReadCluster(v, dlcn, 1, probe, v.bytesPerSector, v.bytesPerCluster) != 0;
  if (ok && !(probe[0] == '.' && (probe[fat::kEntryAttributes] & 0x10))) {
    ErrorRecord(kModule, 796);
    ok = false;
  }
  void* address = nullptr;
  if (ok && deleted) {
    SetSingleRunList(v, dlcn);
    if (!AllocGlobalBlock(static_cast<uint32_t>(v.bytesPerCluster + v.bytesPerSector), &block, &address)) {
      ErrorRecord(kModule, 814);
      ok = false;
    } else {
      std::memcpy(address, probe, static_cast<size_t>(v.bytesPerCluster));
      extent = 1;
    }
  } else if (ok) {
    v.directoryMode = 1;
    v.startLcn = dlcn;
    const char* how = nullptr;
    if (!LiveDirectoryRunList(v, how)) {
      ErrorRecord(kModule, 826);
      ok = false;
    } else if (v.runCount == 0 || v.clusterCount * v.bytesPerCluster > kMaxDirectoryBytes) {
      ok = false;  // the chain is broken or too long to be a directory
    } else if (!AllocGlobalBlock(static_cast<uint32_t>(v.bytesPerCluster * v.clusterCount + v.bytesPerSector),
                                 &block, &address)) {
      ErrorRecord(kModule, 834);
      ok = false;
    } else {
      uint64_t read = 0;
      ok = ReadRunListClusters(v, static_cast<uint8_t*>(address), v.clusterCount, read);
      extent = read;
    }
  }
  gmem::Unlock(buffers.cluster);
  if (address) gmem::Unlock(block);
  if (!ok) FreeGlobalBlock(&block, nullptr);
  return ok;
}

namespace {

// The deleted file entry at `entryIndex` of the directory `locator` names,
// with its name as the search built it; false when there is none.
bool DeletedEntryAt(uint32_t locator, uint32_t entryIndex, Text& name, uint8_t entry[32]) {
  const bool deleted = (locator & kDeletedDirFlag) != 0;
  const uint32_t dlcn = locator & ~kDeletedDirFlag;
  gmem::Handle block = nullptr;
  uint64_t extent = 0;
  if (!ReadDirectoryByDlcn(dlcn, deleted, block, extent)) return false;
  const gmem::ScopedBlock owner(block);
  auto* listing = static_cast<uint8_t*>(gmem::Lock(block));
  if (!listing) return false;
  const FueVolumeData& v = TheFueVolume();
  const uint64_t bytes = dlcn == kRootDlcn ? extent : extent * v.bytesPerCluster;
  const int64_t entries = static_cast<int64_t>(bytes / kEntryBytes);
  bool found = false;
  if (static_cast<int32_t>(entryIndex) >= 0 && static_cast<int64_t>(entryIndex) < entries &&
      InBounds(gmem::Size(block), static_cast<uint64_t>(entryIndex) * kEntryBytes, kEntryBytes)) {
    const size_t pos = static_cast<size_t>(entryIndex) * kEntryBytes;
    const uint8_t* e = listing + pos;
    const uint8_t attr = e[fat::kEntryAttributes];
    if ((deleted || e[0] == 0xE5) && (attr & 0x18) == 0 && attr != 0x0F && IsPlausibleFileEntry(e, v) &&
        BuildEntryName(listing, pos, name)) {
      std::memcpy(entry, e, kEntryBytes);
      found = true;
    }
  }
  gmem::Unlock(block);
  return found;
}

}  // namespace

bool FindEntryByIndex(uint32_t locator, uint32_t entryIndex, TextView expectedName, uint8_t entry[32]) {
  Text name;
  uint8_t e[32];
  if (!DeletedEntryAt(locator, entryIndex, name, e) || !EqualsIgnoreCase(name, expectedName)) return false;
  std::memcpy(entry, e, sizeof e);
  return true;
}

bool FindEntryForPath(uint32_t locator, uint32_t entryIndex, TextView fullPath, Text& name, uint8_t entry[32]) {
  uint8_t e[32];
  if (!DeletedEntryAt(locator, entryIndex, name, e)) return false;
  // The path ends with "\" and the entry's name; a long name may itself
  // hold a "\", so the text after the path's last "\" is not the name.
  if (fullPath.size() <= name.size() || fullPath[fullPath.size() - name.size() - 1] != u'\\' ||
      !EqualsIgnoreCase(fullPath.substr(fullPath.size() - name.size()), name))
    return false;
  std::memcpy(entry, e, sizeof e);
  return true;
}

namespace {

// Whether a deleted entry newer than `age` starts at one of the LCNs
// [from, to).
bool NewerFileStartsIn(const FueVolumeData& v, uint64_t from, uint64_t to, uint32_t age) {
  // Most steps of a guess pass over nothing.
  if (from >= to) return false;
  auto it = std::lower_bound(v.deletedClaims.begin(), v.deletedClaims.end(), from + 2,
                             [](const FueVolumeData::DeletedClaim& c, uint64_t x) { return c.cluster < x; });
  for (; it != v.deletedClaims.end() && it->cluster < to + 2; ++it)
    if (it->age > age) return true;
  return false;
}

}  // namespace

bool PlanGuessedClusters(int64_t startLcn, uint64_t size, GuessedClusters& plan, uint32_t age) {
  FueVolumeData& v = TheFueVolume();
  plan = GuessedClusters();
  if (!v.handle || v.boot.fatBits == 0 || v.bytesPerCluster == 0) return false;
  const uint64_t bpc = v.bytesPerCluster;
  // A size that reaches past the volume's last cluster is cut there: the
  // file cannot have had more clusters than the volume.
  if (size > 0) {
    if (startLcn < 0 || static_cast<uint64_t>(startLcn) >= v.totalClusters) return false;
    const uint64_t room = (v.totalClusters - static_cast<uint64_t>(startLcn)) * bpc;
    if (size > room) {
      size = room;
      plan.cut = true;
    }
  }
  plan.size = size;
  plan.bytesPerCluster = bpc;
  fat::FatTable& fat = FatOf(v);
  const uint64_t needed = (size + bpc - 1) / bpc;
  // Only data clusters (2 .. total + 1) can be free; past the last one the
  // volume ends.
  uint64_t lcn = static_cast<uint64_t>(startLcn);
  uint64_t passedFrom = lcn;  // [passedFrom, lcn): first clusters the guess passed over
  for (; plan.freeClusters < needed; ++plan.freeClusters) {
    // A newer deleted file starting at a cluster passed over was written
    // after this one was deleted, over what followed it: from there on
    // the clusters are that file's, and this file's are lost.
    if (age != 0 && NewerFileStartsIn(v, passedFrom, lcn, age)) break;
    passedFrom = lcn + 1;
    const uint64_t c = lcn + 2;
    if (c > v.totalClusters + 1) break;
    uint32_t value = 0;
    if (!fat.Entry(c, value)) return false;
    if (value != 0) break;
    if (!plan.runs.empty() && plan.runs.back().lcn + plan.runs.back().count == lcn) ++plan.runs.back().count;
    else plan.runs.push_back({lcn, 1});
    lcn = NextGuessedLcn(v, lcn);
  }
  if (size > 0) ChooseClustersByContent(v, static_cast<uint64_t>(startLcn), age, plan);
  return true;
}

bool ReadGuessedChunk(const GuessedClusters& plan, uint64_t offset, uint32_t byteCount, uint8_t* chunk,
                      uint64_t* unreadable) {
  const FueVolumeData& v = TheFueVolume();
  const uint64_t bpc = plan.bytesPerCluster;
  if (bpc == 0 || offset % bpc != 0) return false;
  const uint64_t first = offset / bpc, count = (byteCount + bpc - 1) / bpc;
  // The plan's runs, from the one holding cluster `first` on.
  uint64_t index = 0, runStart = 0;
  size_t run = 0;
  while (run < plan.runs.size() && runStart + plan.runs[run].count <= first) runStart += plan.runs[run++].count;
  for (index = first; index < first + count && index < plan.freeClusters && run < plan.runs.size();) {
    const uint64_t within = index - runStart;
    const uint64_t n = std::min(plan.runs[run].count - within, first + count - index);
    uint8_t* at = chunk + (index - first) * bpc;
    if (unreadable) *unreadable += DasdReadClustersSalvaging(v, plan.runs[run].lcn + within, n, at, v.bytesPerSector, bpc, '*');
    else if (!DasdReadCluster(v, plan.runs[run].lcn + within, n, at, v.bytesPerSector, bpc)) return false;
    index += n;
    runStart += plan.runs[run++].count;
  }
  // From the first cluster in use on, the file's clusters are lost.
  if (index < first + count) std::memset(chunk + (index - first) * bpc, '*', static_cast<size_t>((first + count - index) * bpc));
  return true;
}

uint32_t CopyDeletedFileData(int64_t startLcn, uint64_t size, TextView fileName, TextView destination,
                             Text& outputPath, uint64_t modificationTime, uint32_t age) {
  const FueVolumeData& v = TheFueVolume();
  FueBuffers& buffers = TheFueBuffers();
  const uint64_t bps = v.bytesPerSector;
  GuessedClusters plan;
  if (!PlanGuessedClusters(startLcn, size, plan, age)) return kReadWriteFailed;
  size = plan.size;
  auto* base = static_cast<uint8_t*>(gmem::Lock(buffers.transfer));
  if (!base || bps == 0) return kTransferNotLockable;
  const uintptr_t a = reinterpret_cast<uintptr_t>(base);
  uint8_t* chunk = (a & (bps - 1)) ? reinterpret_cast<uint8_t*>((a & ~static_cast<uintptr_t>(bps - 1)) + bps) : base;
  OutputFile file;
  if (file.Create(destination, fileName) != kOutputCreated) {
    gmem::Unlock(buffers.transfer);
    return kNoOutput;
  }
  uint32_t result = kCopiedWhole;
  uint64_t offset = 0;
  uint64_t posted = 0;
  uint64_t unreadable = 0;  // free clusters the volume could not give: '*
  const uint32_t chunkBytes = ChunkBytesOf(v);
  while (offset < size) {
    if (g_fatRunState.load() == kEngineStopRequested) {
      result = kStopped;
      break;
    }
    const uint32_t length = static_cast<uint32_t>(size - offset < chunkBytes ? size - offset : chunkBytes);
    if (!ReadGuessedChunk(plan, offset, length, chunk, &unreadable)) {
      result = kReadWriteFailed;
      break;
    }
    if (!file.WriteAt(offset, chunk, length)) {
      result = file.DestinationFull() ? kDestinationFull : kReadWriteFailed;
      break;
    }
    const uint64_t percent = offset * 100 / size;
    if (percent >= posted + 10) {
      posted = percent;
      PostUndeleteProgress(static_cast<uint32_t>(percent), fileName);
    }
    offset += chunkBytes;
  }
  gmem::Unlock(buffers.transfer);
  if (result != kCopiedWhole) return result;
  // Every cluster taken by other files: "*" throughout is not a recovery.
  if (size > 0 && plan.freeClusters <= unreadable) return kReadWriteFailed;
  if (plan.validated) NoteClustersByFormat();
  file.SetModificationTime(modificationTime);
  if (file.Commit(outputPath) != kOutputCreated) return file.DestinationFull() ? kDestinationFull : kReadWriteFailed;
  return plan.InUse() || plan.cut || unreadable != 0 ? kCopiedPartly : kCopiedWhole;
}

namespace {

// Reads a deleted file's guessed clusters through the recovery's own chunk
// step, keeping the last chunk made.
class FatFileReader final : public GridFileReader {
 public:
  FatFileReader(GuessedClusters plan, uint64_t sector, uint32_t chunkBytes)
      : GridFileReader(plan.size, chunkBytes), plan_(std::move(plan)), storage_(chunkBytes + 2 * sector) {
    const uintptr_t a = reinterpret_cast<uintptr_t>(storage_.data());
    chunk_ = storage_.data() + ((sector - a % sector) % sector);
  }
  // A file of more than one cluster: those after the first are guessed,
  // unless its format validated across them.
  bool Guessed() const override { return plan_.size > plan_.bytesPerCluster && !plan_.validated; }
  // The plan's runs in file order; their clusters hold the file's bytes
  // one after another (the plan numbers clusters from the data area's
  // first, the file system from 2).
  std::vector<ClusterRun> ClusterRuns() const override {
    std::vector<ClusterRun> runs;
    uint64_t at = 0;
    for (const GuessedClusters::Run& r : plan_.runs) {
      runs.push_back({at * plan_.bytesPerCluster, r.lcn + 2, r.count});
      at += r.count;
    }
    return runs;
  }

 private:
  const uint8_t* MakePiece(uint64_t start, uint64_t length) override {
    // The bytes a recovery writes: '*' where a cluster cannot be read.
    uint64_t unreadable = 0;
    return ReadGuessedChunk(plan_, start, static_cast<uint32_t>(length), chunk_, &unreadable) ? chunk_ : nullptr;
  }
  GuessedClusters plan_;
  std::vector<uint8_t> storage_;
  uint8_t* chunk_ = nullptr;
};

// The state a lookup by index needs, as the undelete shell sets it up.
bool PrepareForLookups(FueVolumeData& v) {
  if (!v.firstClustersComplete) CollectFirstClusters(v);
  return EnsureRootListing();
}

}  // namespace

std::unique_ptr<FoundFileReader> OpenReader(const FatUndeleteRecord& record) {
  FueVolumeData& v = TheFueVolume();
  if (!v.handle || v.bytesPerCluster == 0 || !PrepareForLookups(v)) return nullptr;
  Text name;
  uint8_t entry[32] = {};
  if (!FindEntryForPath(record.dlcn, record.entryIndex, record.path, name, entry)) return nullptr;
  const int64_t startLcn = static_cast<int64_t>(fat::EntryFirstCluster(entry, v.fileSystemKind == kFsFat32)) - 2;
  GuessedClusters plan;
  if (!PlanGuessedClusters(startLcn, fat::EntrySize(entry), plan, EntryAge(entry))) return nullptr;
  return std::make_unique<FatFileReader>(std::move(plan), v.bytesPerSector, ChunkBytesOf(v));
}

uint32_t RecoverOneFile(const FatUndeleteRecord& record, TextView destination, Text& outputPath) {
  Text name;
  uint8_t entry[32] = {};
  if (!FindEntryForPath(record.dlcn, record.entryIndex, record.path, name, entry)) return kNotFound;
  const FueVolumeData& v = TheFueVolume();
  const uint64_t cluster = fat::EntryFirstCluster(entry, v.fileSystemKind == kFsFat32);
  const int64_t startLcn = static_cast<int64_t>(cluster) - 2;
  const uint64_t size = fat::EntrySize(entry);
  PostUndeleteProgress(0, name);
  const uint32_t result =
      CopyDeletedFileData(startLcn, size, name, destination, outputPath, FatEntryFileTime(fat::EntryDate(entry), fat::EntryTime(entry)),
                          EntryAge(entry));
  PostUndeleteProgress(100, name);
  return result;
}

BOOL UndeleteFileShell(const RequestPacket& packet) {
  UndeleteShellSteps steps;
  steps.runState = &g_fatRunState;
  steps.traceName = "FueUdel::UndeleteFileShell";
  steps.recoverAll = [](const uint8_t* payload, uint32_t length, uint32_t first, const Text& destination) {
    std::vector<FatUndeleteRecord> records;
    ParseFatUndeleteRecords(payload, length, first, records);
    // The clusters of a file are guessed past the first clusters of every
    // other entry: gathered by the search that listed the files, or here.
    FueVolumeData& v = TheFueVolume();
    v.fatTable.reset();
    if (!v.firstClustersComplete && !records.empty()) CollectFirstClusters(v);
    for (const auto& r : records) {
      if (!EnsureRootListing()) return false;
      PostUndeleteFileStarted(0, r.path);
      Text output;
      const uint32_t result = RecoverOneFile(r, destination, output);
      TraceEvent("FueUdel::UndeleteFileShell", 0, -1, nullptr);
      if (result == kStopped) break;
      const uint32_t code = ResultCode(result);
      const bool written = code == kResultRecovered || code == kResultPartlyInUse;
      PostFatUndeleteResult(code, r.path, written ? output : Text());
    }
    return true;
  };
  return RunUndeleteShell(packet, steps);
}

}  // namespace rv::FueUdel
