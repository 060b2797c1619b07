// FAT reading: FAT entries one cluster-sized block at a time, cluster chains
// turned into run lists, and the retrieval runs of an object that the file
// system reports.
#include <cstring>
#include <vector>

#include "fat/fat_fatblock.h"
#include "format/fsctl.h"
#include "fat/fue.h"
#include "platform/lasterror.h"
#include "platform/text.h"
#include "volume/diaglog.h"
#include "format/le.h"

namespace rv {
namespace {

constexpr const char* kModule = "FatSubs";
constexpr uint32_t kLastErrorBadStartVcn = 0x20000001;
// Retrieval replies are asked for with 256 extents first, doubled on
// ERROR_MORE_DATA, up to this many.
constexpr uint32_t kMaxRetrievalExtents = 1u << 20;
// A folder holds at most 65,536 entries of 32 bytes.
constexpr uint64_t kMaxDirectoryBytes = 65536ull * 32;

MutableBytes RunListBytes(FueVolumeData& v) {
  return MutableBytes(static_cast<uint8_t*>(v.runListAddress), v.runListAddress ? v.runListCapacity : 0);
}

void ClearRunListHeaders(FueVolumeData& v) {
  MutableBytes b = RunListBytes(v);
  const size_t n = b.size() < kRunListHeaderBytes ? b.size() : kRunListHeaderBytes;
  if (n) std::memset(b.data(), 0, n);
}

void ZeroRunList(FueVolumeData& v) {
  MutableBytes b = RunListBytes(v);
  if (!b.empty()) std::memset(b.data(), 0, b.size());
}

void WriteRunListHeaders(FueVolumeData& v, uint64_t runs) {
  MutableBytes b = RunListBytes(v);
  put64(b, 0, 0);
  put32(b, 8, 1);
  put32(b, 12, 1);
  put64(b, 16, runs - 1);
  put64(b, 24, 0);
  put64(b, 32, runs);
  put64(b, 40, runs - 1);
}

void WriteRun(FueVolumeData& v, uint64_t i, int64_t lcn, uint64_t clusters) {
  MutableBytes b = RunListBytes(v);
  put64(b, kRunListHeaderBytes + i * kRunBytes, static_cast<uint64_t>(lcn));
  put64(b, kRunListHeaderBytes + i * kRunBytes + 8, clusters);
}

bool EnsureRunListCapacity(FueVolumeData& v, uint64_t runs) {
  const uint64_t need = kRunListHeaderBytes + kRunBytes * runs;
  if (need <= v.runListCapacity && v.runListAddress) return true;
  if (need > UINT32_MAX) {
    SetLastErrorCode(kErrorNotEnoughMemory);
    return false;
  }
  if (!AllocGlobalBlock(static_cast<uint32_t>(need), &v.runList, &v.runListAddress)) {
    v.runListAddress = nullptr;
    v.runListCapacity = 0;
    return false;
  }
  v.runListCapacity = need;
  return true;
}

// A stretch of consecutive clusters of a chain being measured.
struct ChainRun {
  uint64_t first;
  uint64_t count;
};

bool InChain(const std::vector<ChainRun>& runs, uint64_t cluster) {
  for (const ChainRun& r : runs)
    if (cluster >= r.first && cluster - r.first < r.count) return true;
  return false;
}

// The chain meets a free entry, leaves the volume or is too long for what it
// is: no readable runs.
BOOL BrokenChain(FueVolumeData& v, uint64_t clustersSeen) {
  ZeroRunList(v);
  v.dataSize = 0;
  v.runCount = 0;
  v.clusterCount = clustersSeen;
  return kTrue;
}

// The path string names an object of this volume: the device path or
// "X:" followed by the path inside the volume.
Text PathInsideVolume(const FueVolumeData& v) {
  const Text& p = v.pathString;
  const Text device(v.devicePath);
  if (!device.empty() && p.size() >= device.size() && EqualsIgnoreCase(TextView(p).substr(0, device.size()), device))
    return p.substr(device.size());
  if (v.driveLetter && p.size() >= 2 && p[1] == u':' && UpcaseChar(p[0]) == UpcaseChar(v.driveLetter))
    return p.substr(2);
  return p;
}

}  // namespace

int64_t FueVolumeData::RunLcn(uint64_t i) const {
  Bytes b(static_cast<const uint8_t*>(runListAddress), runListAddress ? runListCapacity : 0);
  return static_cast<int64_t>(le64(b, kRunListHeaderBytes + i * kRunBytes));
}

uint64_t FueVolumeData::RunClusters(uint64_t i) const {
  Bytes b(static_cast<const uint8_t*>(runListAddress), runListAddress ? runListCapacity : 0);
  return le64(b, kRunListHeaderBytes + i * kRunBytes + 8);
}

// ---- FAT blocks ----------------------------------------------------------------

FatBlockCache::FatBlockCache(const FueVolumeData& volume) : volume_(volume) {}

FatBlockCache::~FatBlockCache() { Release(); }

void FatBlockCache::Release() {
  FreeGlobalBlock(&block_, &address_);
  blockNumber_ = UINT64_MAX;
}

uint32_t FatBlockCache::EntriesPerBlock() const {
  if (volume_.fileSystemKind == kFsFat16) return static_cast<uint32_t>(volume_.bytesPerCluster / 2);
  if (volume_.fileSystemKind == kFsFat32) return static_cast<uint32_t>(volume_.bytesPerCluster / 4);
  return 0;
}

bool FatBlockCache::IsEndOfChain(uint32_t value) const {
  return volume_.fileSystemKind == kFsFat16 ? value >= 0xFFF8 : value >= 0x0FFFFFF8;
}

FatBlockCache::Result FatBlockCache::Entry(uint64_t cluster, uint32_t& value) {
  const uint32_t e = EntriesPerBlock();
  if (e == 0 || volume_.bytesPerSector == 0) return Result::ReadFailed;
  const uint64_t number = cluster / e;
  if (number != blockNumber_) {
    Release();
    const uint64_t first = volume_.fatByteOffset / volume_.bytesPerSector + number * volume_.sectorsPerCluster;
    block_ = DasdReadClusterAlloc(volume_, first, volume_.sectorsPerCluster, volume_.bytesPerSector);
    if (!block_) return Result::ReadFailed;
    address_ = gmem::Lock(block_);
    if (!address_) {
      Release();
      return Result::LockFailed;
    }
    blockNumber_ = number;
  }
  Bytes b(static_cast<const uint8_t*>(address_), static_cast<size_t>(volume_.bytesPerCluster));
  const size_t index = static_cast<size_t>(cluster % e);
  value = volume_.fileSystemKind == kFsFat16 ? le16(b, index * 2) : (le32(b, index * 4) & 0x0FFFFFFF);
  return Result::Ok;
}

// ---- Chains --------------------------------------------------------------------

void SetSingleRunList(FueVolumeData& v, int64_t lcn) {
  ClearRunListHeaders(v);
  WriteRunListHeaders(v, 1);
  WriteRun(v, 0, lcn, 1);
  MutableBytes b = RunListBytes(v);
  put64(b, 48, v.bytesPerCluster);
  put64(b, 56, v.bytesPerCluster);
  v.runCount = 1;
  v.clusterCount = 1;
  v.dataSize = v.bytesPerCluster;
  v.fragmented = 0;
}

BOOL FatChainToRunList(FueVolumeData& v) {
  ClearRunListHeaders(v);
  v.runCount = 0;
  v.clusterCount = 0;
  v.fragmented = 0;
  if (v.startLcn == kNoClusterLcn) {
    ZeroRunList(v);
    v.dataSize = 0;
    return kTrue;
  }
  FatBlockCache fat(v);
  const uint32_t e = fat.EntriesPerBlock();
  if (v.fileSystemKind != kFsFat16 && v.fileSystemKind != kFsFat32) {
    ErrorRecord(kModule, 496);
    return kFalse;
  }
  if (e == 0) {
    ErrorRecord(kModule, 499);
    return kFalse;
  }
  // Every cluster of a sound chain is a data cluster (2 .. total + 1).
  const uint64_t last = v.totalClusters + 1;
  const uint64_t start = static_cast<uint64_t>(v.startLcn) + 2;
  if (v.startLcn < 0 || start > last) return BrokenChain(v, 0);
  // A folder holds at most 65,536 entries: a longer chain is no folder's.
  const uint64_t most = v.directoryMode ? kMaxDirectoryBytes / v.bytesPerCluster + 1 : v.totalClusters;

  // First pass: measure. A chain that names one of its own clusters again
  // loops; it is taken up to there, each cluster once (what a disk check
  // leaves of it), so a folder whose chain loops still shows its entries.
  std::vector<ChainRun> seen;
  uint64_t c = start, fragments = 1, clusters = 0;
  for (;;) {
    uint32_t next = 0;
    auto r = fat.Entry(c, next);
    if (r != FatBlockCache::Result::Ok) {
      ErrorRecord(kModule, r == FatBlockCache::Result::ReadFailed ? 525 : 526);
      return kFalse;
    }
    ++clusters;
    if (!seen.empty() && seen.back().first + seen.back().count == c) ++seen.back().count;
    else seen.push_back({c, 1});
    if (next == 0 || clusters > most) return BrokenChain(v, clusters);
    if (fat.IsEndOfChain(next)) break;
    if (next < 2 || next > last) return BrokenChain(v, clusters);
    if (InChain(seen, next)) break;
    if (next != c + 1) ++fragments;
    c = next;
  }

  if (!EnsureRunListCapacity(v, fragments)) {
    ErrorRecord(kModule, 583);
    return kFalse;
  }
  // Second pass: record the runs.
  WriteRunListHeaders(v, fragments);
  uint64_t run = 0, runStart = start;
  c = start;
  for (uint64_t steps = 0; steps < clusters; ++steps) {
    uint32_t next = 0;
    auto r = fat.Entry(c, next);
    if (r != FatBlockCache::Result::Ok) {
      ErrorRecord(kModule, r == FatBlockCache::Result::ReadFailed ? 646 : 647);
      return kFalse;
    }
    // The last cluster measured closes the last run, even where a loop
    // goes on to the cluster after it.
    const bool lastCluster = steps + 1 == clusters;
    if (next == c + 1 && !fat.IsEndOfChain(next) && !lastCluster) {
      c = next;
      continue;
    }
    WriteRun(v, run, static_cast<int64_t>(runStart - 2), c - runStart + 1);
    ++run;
    if (lastCluster || fat.IsEndOfChain(next) || run >= fragments || next < 2 || next > last) break;
    runStart = next;
    c = next;
  }
  if (run != fragments) return BrokenChain(v, clusters);  // the FAT changed between the passes
  v.runCount = fragments;
  v.clusterCount = clusters;
  if (v.directoryMode) v.dataSize = v.bytesPerCluster * clusters;
  v.fragmented = fragments > 1 ? 1 : 0;
  MutableBytes b = RunListBytes(v);
  put64(b, 48, v.bytesPerCluster * clusters);
  put64(b, 56, v.dataSize);
  return kTrue;
}

// ---- Retrieval runs --------------------------------------------------------------

BOOL OpenRunSource(FueVolumeData& v) {
  v.runSourceOpen = false;
  v.runSourcePath.clear();
  const Text inside = PathInsideVolume(v);
  uint8_t in[8] = {};
  uint8_t probe[32] = {};
  uint64_t size = 0;
  if (!DasdRetrievalPointers(v.handle.get(), inside, v.directoryMode != 0, in, sizeof in, probe, sizeof probe,
                             nullptr, &size)) {
    // The object exists when the reply only ran out of room or it has no clusters.
    const uint32_t err = GetLastErrorCode();
    if (err != kErrorMoreData && err != kErrorHandleEof) return kFalse;
  }
  v.runSourcePath = inside;
  v.runSourceDirectory = v.directoryMode != 0;
  v.runSourceOpen = true;
  v.dataSize = size;
  v.runCount = size != 0 ? 1 : 0;
  return kTrue;
}

BOOL QueryRetrievalRunList(FueVolumeData& v) {
  ClearRunListHeaders(v);
  v.runCount = 0;
  v.clusterCount = 0;
  v.dataSize = 0;
  v.fragmented = 0;
  if (!v.runSourceOpen) {
    SetLastErrorCode(kErrorInvalidHandle);
    ErrorRecord(kModule, 279);
    return kFalse;
  }
  gmem::Handle reply = nullptr;
  void* address = nullptr;
  uint64_t extents = 0;
  bool empty = false;
  for (uint32_t entries = 256;; entries *= 2) {
    const uint32_t bytes = (entries + 2) * 16;
    if (!AllocGlobalBlock(bytes, &reply, &address)) {
      ErrorRecord(kModule, 257);
      return kFalse;
    }
    uint8_t in[8] = {};
    uint64_t returned = 0;
    if (DasdRetrievalPointers(v.handle.get(), v.runSourcePath, v.runSourceDirectory, in, sizeof in, address, bytes,
                              &returned, nullptr))
      break;
    const uint32_t err = GetLastErrorCode();
    if (err == kErrorMoreData && entries < kMaxRetrievalExtents) continue;
    if (err == kErrorHandleEof) {
      ZeroRunList(v);
      empty = true;
      break;
    }
    ErrorRecord(kModule, 279);
    FreeGlobalBlock(&reply, &address);
    return kFalse;
  }
  Bytes r(static_cast<const uint8_t*>(address), gmem::Size(reply));
  if (!empty) {
    if (le64(r, fsctl::retrieval::kStartingVcn) != 0) {
      FreeGlobalBlock(&reply, &address);
      SetLastErrorCode(kLastErrorBadStartVcn);
      return kFalse;
    }
    extents = le32(r, fsctl::retrieval::kExtentCount);
    // The reply cannot hold more extents than its buffer.
    if (!InBounds(r.size(), 16, extents * 16)) extents = (r.size() - 16) / 16;
  }
  if (extents > 0) {
    if (!EnsureRunListCapacity(v, extents)) {
      ErrorRecord(kModule, 317);
      FreeGlobalBlock(&reply, &address);
      return kFalse;
    }
    WriteRunListHeaders(v, extents);
    uint64_t previousNextVcn = 0, clusters = 0;
    for (uint64_t i = 0; i < extents; ++i) {
      const uint64_t at = fsctl::retrieval::kHeaderBytes + i * fsctl::retrieval::kExtentBytes;
      const uint64_t nextVcn = le64(r, at + fsctl::retrieval::kNextVcn);
      const int64_t lcn = static_cast<int64_t>(le64(r, at + fsctl::retrieval::kLcn));
      // Next VCNs only grow; an extent that does not is a corrupt reply.
      if (nextVcn <= previousNextVcn || lcn < 0) {
        ErrorRecord(kModule, 376);
        FreeGlobalBlock(&reply, &address);
        return kFalse;
      }
      WriteRun(v, i, lcn, nextVcn - previousNextVcn);
      clusters += nextVcn - previousNextVcn;
      previousNextVcn = nextVcn;
    }
    v.clusterCount = clusters;
    v.runCount = extents;
    v.startLcn = v.RunLcn(0);
    v.dataSize = v.bytesPerCluster * clusters;
    if (!v.directoryMode) {
      uint64_t size = 0;
      uint8_t in[8] = {}, probe[32] = {};
      if (!DasdRetrievalPointers(v.handle.get(), v.runSourcePath, false, in, sizeof in, probe, sizeof probe, nullptr,
                                 &size) &&
          GetLastErrorCode() != kErrorMoreData) {
        ErrorRecord(kModule, 368);
        FreeGlobalBlock(&reply, &address);
        return kFalse;
      }
      v.dataSize = size;
    }
    MutableBytes b = RunListBytes(v);
    put64(b, 48, v.bytesPerCluster * clusters);
    put64(b, 56, v.dataSize);
    // Normalise: merge runs that continue the run before them; count the
    // places where a run does not start where the previous one ended.
    uint64_t kept = 1, breaks = 0;
    int64_t lowest = v.RunLcn(0);
    for (uint64_t i = 1; i < extents; ++i) {
      const int64_t lcn = v.RunLcn(i);
      const uint64_t count = v.RunClusters(i);
      const int64_t prevLcn = v.RunLcn(kept - 1);
      const uint64_t prevCount = v.RunClusters(kept - 1);
      if (lcn == prevLcn + static_cast<int64_t>(prevCount)) {
        WriteRun(v, kept - 1, prevLcn, prevCount + count);
        continue;
      }
      ++breaks;
      if (lcn < lowest) lowest = lcn;
      WriteRun(v, kept++, lcn, count);
    }
    v.runCount = kept;
    put64(b, 32, kept);
    put64(b, 16, breaks);
    put64(b, 40, breaks);
    v.fragmented = breaks != 0 ? 1 : 0;
    v.startLcn = lowest;
  }
  FreeGlobalBlock(&reply, &address);
  return kTrue;
}

}  // namespace rv
