// exFAT recovery: the entry set is found again by its folder's first
// cluster, entry index and path, and the file's clusters are planned
// (consecutive without a FAT chain; the chain while it is intact and free;
// else the free clusters after the first, a guess). Clusters in use again
// are written as '*'; bytes past the valid data length are zeros.
#include <algorithm>
#include <cstring>
#include <memory>

#include "channel/file_reader.h"
#include "channel/messages.h"
#include "channel/outfile.h"
#include "channel/shells.h"
#include "exfat/xue.h"
#include "platform/system.h"
#include "platform/text.h"
#include "volume/diaglog.h"

namespace rv::XueUdel {
namespace {

using namespace exfat;

constexpr uint32_t kReadWriteFailed = 71;
constexpr uint32_t kStopped = 73;
constexpr uint32_t kNotFound = 75;
constexpr uint32_t kCopiedWhole = 76;
constexpr uint32_t kCopiedPartly = 77;
constexpr uint32_t kNothingLeft = 78;
constexpr uint32_t kDestinationFull = 85;
constexpr uint32_t kChunk = 1u << 20;

uint32_t ResultCode(uint32_t engineResult) {
  if (engineResult == kCopiedWhole) return kResultRecovered;
  if (engineResult == kCopiedPartly) return kResultPartlyInUse;
  if (engineResult == kDestinationFull) return kResultDestinationTooSmall;
  return kResultNotRecovered;
}

// The set's modification time as a FILETIME: exact when its UTC offset is
// valid, else read as local time (to the 10 ms the set keeps).
uint64_t ModificationFileTime(const EntrySet& s) {
  uint64_t ft = 0;
  if (TimestampToUtcFileTime(s.modified, s.modified10ms, s.modifiedUtcOffset, ft)) return ft;
  TimestampParts p;
  if (!DecodeTimestamp(s.modified, s.modified10ms, p)) return 0;
  CalendarTime t;
  t.year = p.year;
  t.month = p.month;
  t.day = p.day;
  t.hour = p.hour;
  t.minute = p.minute;
  t.second = p.second;
  if (!LocalToFileTime(t, ft)) return 0;
  return ft + uint64_t{p.milliseconds} * 10000u;
}

struct Copy {
  bool inUse = false;
  bool anyData = false;  // some byte came from the volume, or is a zero past the valid length
};

// Fills chunk bytes [offset, offset + length) of the file.
bool FillChunk(XueVolume& v, const ClusterPlan& plan, uint64_t validLength, uint64_t offset, uint32_t length,
               uint8_t* chunk, Copy& copy) {
  const uint64_t bpc = v.boot.bytesPerCluster, bps = v.boot.bytesPerSector;
  uint32_t done = 0;
  while (done < length) {
    const uint64_t at = offset + done;
    if (at >= validLength) {
      std::memset(chunk + done, 0, length - done);
      copy.anyData = true;
      return true;
    }
    const uint64_t index = at / bpc, within = at % bpc;
    uint64_t piece = std::min<uint64_t>(length - done, bpc - within);
    piece = std::min(piece, validLength - at);
    const uint32_t c = index < plan.clusters.size() ? plan.clusters[static_cast<size_t>(index)] : 0;
    if (c == 0) {
      std::memset(chunk + done, '*', static_cast<size_t>(piece));
      copy.inUse = true;
    } else {
      // Consecutive clusters of the plan join the same read.
      uint64_t span = piece;
      for (uint64_t k = index + 1; done + span < length && at + span < validLength && k < plan.clusters.size() &&
                                   plan.clusters[static_cast<size_t>(k)] == c + (k - index);
           ++k)
        span += std::min<uint64_t>({bpc, length - done - span, validLength - at - span});
      piece = span;
      // Whole sectors: the tail of the last sector lands in the chunk's
      // slack and is overwritten by what follows.
      const uint64_t rounded = (piece + bps - 1) / bps * bps;
      if (ReadHeap(*v.source, v.boot, c, within, chunk + done, static_cast<uint32_t>(rounded))) {
        copy.anyData = true;
      } else {
        // Cluster by cluster: one the volume cannot give (a bad sector, a
        // part of a container cut off) is '*', as one in use now.
        for (uint64_t got = 0; got < piece;) {
          const uint64_t k = index + (within + got) / bpc, in = (within + got) % bpc;
          const uint64_t n = std::min(piece - got, bpc - in);
          const uint32_t cluster = plan.clusters[static_cast<size_t>(k)];
          const uint32_t whole = static_cast<uint32_t>((n + bps - 1) / bps * bps);
          if (ReadHeap(*v.source, v.boot, cluster, in, chunk + done + got, whole)) {
            copy.anyData = true;
          } else {
            std::memset(chunk + done + got, '*', static_cast<size_t>(n));
            copy.inUse = true;
          }
          got += n;
        }
      }
    }
    done += static_cast<uint32_t>(piece);
  }
  return true;
}

// What a recovery of a set reads: its size (cut at the cluster heap: no
// file holds more), its valid length and its clusters.
struct FilePlan {
  uint64_t size = 0;
  uint64_t validLength = 0;
  bool cut = false;
  ClusterPlan clusters;
};

bool PlanFile(XueVolume& v, const EntrySet& s, FilePlan& plan) {
  const uint64_t heapBytes = uint64_t{v.boot.clusterCount} * v.boot.bytesPerCluster;
  plan.cut = s.dataLength > heapBytes;
  plan.size = std::min(s.dataLength, heapBytes);
  plan.validLength = std::min(s.validDataLength, plan.size);
  return PlanClusters(v, s.firstCluster, plan.validLength, s.NoFatChain(), true, plan.clusters, SetAge(s));
}

uint32_t CopyFile(XueVolume& v, const EntrySet& s, TextView destination, Text& outputPath, bool& guessed) {
  FilePlan filePlan;
  if (!PlanFile(v, s, filePlan)) return kReadWriteFailed;
  const ClusterPlan& plan = filePlan.clusters;
  const uint64_t size = filePlan.size, validLength = filePlan.validLength;
  const bool cut = filePlan.cut;
  guessed = plan.guessed;
  // The chunk keeps a sector of slack for a read rounded up to whole sectors.
  std::vector<uint8_t> chunk(kChunk + v.boot.bytesPerSector);
  OutputFile file;
  if (file.Create(destination, s.name) != kOutputCreated) return kNothingLeft;
  Copy copy;
  uint32_t result = kCopiedWhole;
  uint64_t posted = 0;
  for (uint64_t offset = 0; offset < size; offset += kChunk) {
    if (g_exfatRunState.load() == kEngineStopRequested) return kStopped;
    const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(kChunk, size - offset));
    if (!FillChunk(v, plan, validLength, offset, length, chunk.data(), copy)) return kReadWriteFailed;
    if (!file.WriteAt(offset, chunk.data(), length)) return file.DestinationFull() ? kDestinationFull : kReadWriteFailed;
    const uint64_t percent = offset * 100 / size;
    if (percent >= posted + 10) {
      posted = percent;
      PostUndeleteProgress(static_cast<uint32_t>(percent), s.name);
    }
  }
  // Every cluster taken by other files: '*' throughout is not a recovery.
  if (size > 0 && !copy.anyData) return kNothingLeft;
  if (copy.inUse || plan.cut || cut) result = kCopiedPartly;
  if (plan.byFormat) NoteClustersByFormat();
  file.SetModificationTime(ModificationFileTime(s));
  if (file.Commit(outputPath) != kOutputCreated) return file.DestinationFull() ? kDestinationFull : kReadWriteFailed;
  return result;
}

// Reads a file through the recovery's own chunk step, keeping the last
// chunk made (reads in small steps read each chunk once).
class ExfatFileReader final : public GridFileReader {
 public:
  ExfatFileReader(XueVolume& v, FilePlan plan)
      : GridFileReader(plan.size, kChunk), v_(v), plan_(std::move(plan)), chunk_(kChunk + v.boot.bytesPerSector) {}
  bool Guessed() const override { return plan_.clusters.guessed; }
  // The plan's clusters (0 where one is in use now) joined into runs.
  std::vector<ClusterRun> ClusterRuns() const override {
    std::vector<ClusterRun> runs;
    const uint64_t bpc = v_.boot.bytesPerCluster;
    const std::vector<uint32_t>& c = plan_.clusters.clusters;
    for (size_t i = 0; i < c.size(); ++i) {
      if (c[i] == 0) continue;
      if (!runs.empty() && runs.back().fileOffset + runs.back().count * bpc == i * bpc &&
          runs.back().cluster + runs.back().count == c[i])
        ++runs.back().count;
      else
        runs.push_back({i * bpc, c[i], 1});
    }
    return runs;
  }
  // Past the valid data length the file reads as zeros; its clusters there
  // are not in the plan.
  std::vector<ZeroSpan> ZeroSpans() const override {
    if (plan_.validLength >= plan_.size) return {};
    return {{plan_.validLength, plan_.size - plan_.validLength}};
  }

 private:
  const uint8_t* MakePiece(uint64_t start, uint64_t length) override {
    Copy copy;
    return FillChunk(v_, plan_.clusters, plan_.validLength, start, static_cast<uint32_t>(length), chunk_.data(), copy)
               ? chunk_.data()
               : nullptr;
  }
  XueVolume& v_;
  FilePlan plan_;
  std::vector<uint8_t> chunk_;
};

}  // namespace

std::unique_ptr<FoundFileReader> OpenReader(const FatUndeleteRecord& record) {
  XueVolume& v = TheXueVolume();
  if (!v.IsSetUp()) return nullptr;
  EntrySet set;
  bool inDeleted = false;
  FilePlan plan;
  if (!FindXueFile(v, record.dlcn, record.entryIndex, record.path, set, inDeleted) || !PlanFile(v, set, plan))
    return nullptr;
  return std::make_unique<ExfatFileReader>(v, std::move(plan));
}

bool RecoverablePercent(uint32_t locator, uint32_t entryIndex, TextView fullPath, uint32_t& percent) {
  XueVolume& v = TheXueVolume();
  EntrySet set;
  bool inDeleted = false;
  if (!FindXueFile(v, locator, entryIndex, fullPath, set, inDeleted)) return false;
  percent = RecoverablePercentOf(v, set);
  return true;
}

BOOL UndeleteFileShell(const RequestPacket& packet) {
  UndeleteShellSteps steps;
  steps.runState = &g_exfatRunState;
  steps.traceName = "XueUdel::UndeleteFileShell";
  steps.recoverAll = [](const uint8_t* payload, uint32_t length, uint32_t first, const Text& destination) {
    std::vector<FatUndeleteRecord> records;
    ParseFatUndeleteRecords(payload, length, first, records);
    XueVolume& v = TheXueVolume();
    // The recovery works on the volume the search set up.
    if (!v.IsSetUp()) return records.empty();
    // Each folder is read once for all its files, and no longer kept after.
    v.ForgetListings();
    struct Forget {
      XueVolume& v;
      ~Forget() { v.ForgetListings(); }
    } forget{v};
    for (const auto& r : records) {
      PostUndeleteFileStarted(0, r.path);
      Text output;
      EntrySet set;
      bool inDeleted = false, guessed = false;
      uint32_t result = kNotFound;
      if (FindXueFile(v, r.dlcn, r.entryIndex, r.path, set, inDeleted)) {
        PostUndeleteProgress(0, set.name);
        result = CopyFile(v, set, destination, output, guessed);
        PostUndeleteProgress(100, set.name);
      }
      TraceEvent("XueUdel::UndeleteFileShell", 0, -1, nullptr);
      if (result == kStopped) break;
      const uint32_t code = ResultCode(result);
      const bool written = code == kResultRecovered || code == kResultPartlyInUse;
      PostExfatUndeleteResult(code, written && guessed, r.path, written ? output : Text());
    }
    return true;
  };
  return RunUndeleteShell(packet, steps);
}

}  // namespace rv::XueUdel
