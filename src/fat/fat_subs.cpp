// FAT reading: FAT entries one cluster-sized block at a time, cluster chains
// turned into run lists, and the retrieval runs of an object that the file
// system reports.
#include <cstring>
#include <vector>

#include "format/fat_entry.h"
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
constexpr uint64_t kEntryBytesOfFat = 32;

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
  put64(b, runlist::kZero, 0);
  put32(b, runlist::kStreamCount, 1);
  put32(b, runlist::kOne, 1);
  put64(b, runlist::kFragments, runs - 1);
  put64(b, runlist::kStreamHeader, 0);
  put64(b, runlist::kRunCount, runs);
  put64(b, runlist::kStreamFragments, runs - 1);
}

void SetRunListSizes(FueVolumeData& v, uint64_t allocatedBytes, uint64_t dataBytes) {
  MutableBytes b = RunListBytes(v);
  put64(b, runlist::kAllocatedBytes, allocatedBytes);
  put64(b, runlist::kDataBytes, dataBytes);
}

void WriteRun(FueVolumeData& v, uint64_t i, int64_t lcn, uint64_t clusters) {
  MutableBytes b = RunListBytes(v);
  put64(b, kRunListHeaderBytes + i * kRunBytes + runlist::kRunLcn, static_cast<uint64_t>(lcn));
  put64(b, kRunListHeaderBytes + i * kRunBytes + runlist::kRunClusters, clusters);
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
  return static_cast<int64_t>(le64(b, kRunListHeaderBytes + i * kRunBytes + runlist::kRunLcn));
}

uint64_t FueVolumeData::RunClusters(uint64_t i) const {
  Bytes b(static_cast<const uint8_t*>(runListAddress), runListAddress ? runListCapacity : 0);
  return le64(b, kRunListHeaderBytes + i * kRunBytes + runlist::kRunClusters);
}

// ---- Chains --------------------------------------------------------------------

void SetSingleRunList(FueVolumeData& v, int64_t lcn) {
  ClearRunListHeaders(v);
  WriteRunListHeaders(v, 1);
  WriteRun(v, 0, lcn, 1);
  SetRunListSizes(v, v.bytesPerCluster, v.bytesPerCluster);
  v.runCount = 1;
  v.clusterCount = 1;
  v.dataSize = v.bytesPerCluster;
  v.fragmented = 0;
}

namespace {

void SetExtentsRunList(FueVolumeData& v, const std::vector<fat::ClusterExtent>& extents) {
  uint64_t clusters = 0;
  WriteRunListHeaders(v, extents.size());
  for (size_t i = 0; i < extents.size(); ++i) {
    WriteRun(v, i, static_cast<int64_t>(extents[i].lcn), extents[i].clusters);
    clusters += extents[i].clusters;
  }
  v.runCount = extents.size();
  v.clusterCount = clusters;
  if (v.directoryMode) v.dataSize = v.bytesPerCluster * clusters;
  v.fragmented = extents.size() > 1 ? 1 : 0;
  SetRunListSizes(v, v.bytesPerCluster * clusters, v.dataSize);
}

// Whether a cluster holds directory entries: every slot before the end mark
// is a long-name entry or a short entry with printable name bytes and no
// reserved attribute bits, and there is at least one. `ends`: the end mark
// is in it, so the folder has no further cluster.
bool HoldsDirectoryEntries(const uint8_t* c, uint64_t bytes, bool& ends) {
  ends = false;
  uint64_t off = 0;
  for (; off + kEntryBytesOfFat <= bytes; off += kEntryBytesOfFat) {
    const uint8_t* e = c + off;
    if (e[0] == 0) {
      ends = true;
      break;
    }
    if (e[fat::kEntryAttributes] == 0x0F) continue;
    if (e[fat::kEntryAttributes] & 0xC0) return false;
    for (int i = 0; i < 11; ++i)
      if (e[i] < 0x20 && !(i == 0 && e[i] == 0x05)) return false;
  }
  return off > 0;
}

}  // namespace

BOOL LiveDirectoryRunList(FueVolumeData& v, const char*& how) {
  how = nullptr;
  if (!FatChainToRunList(v)) return kFalse;
  if (v.runCount != 0 || v.startLcn < 0 || v.startLcn == kNoClusterLcn ||
      static_cast<uint64_t>(v.startLcn) >= v.totalClusters)
    return kTrue;
  // The chain is broken in the active FAT (a damaged table marks the
  // folder's clusters free): another copy may still hold it whole.
  const uint64_t most = kMaxDirectoryBytes / v.bytesPerCluster + 1;
  const uint64_t first = static_cast<uint64_t>(v.startLcn) + 2;
  // Volumes keep two copies (a third is unheard of).
  for (uint32_t copy = 0; copy < v.boot.fatCount && copy < 2; ++copy) {
    if (copy == fat::ActiveFatIndex(v.boot)) continue;
    fat::FatTable table(*v.handle, v.boot, copy);
    std::vector<fat::ClusterExtent> extents;
    const fat::ChainStatus status = fat::ChainExtents(table, first, extents, most);
    if (status != fat::ChainStatus::Ok && status != fat::ChainStatus::Looped) continue;
    if (!EnsureRunListCapacity(v, extents.size())) return kFalse;
    SetExtentsRunList(v, extents);
    how = copy == 0 ? "its chain is broken in the active FAT: read through FAT copy 1"
                    : "its chain is broken in the active FAT: read through FAT copy 2";
    return kTrue;
  }
  // No copy holds it: the clusters from the first on, as long as they hold
  // directory entries (a folder is most often written in one piece).
  std::vector<uint8_t> cluster(static_cast<size_t>(v.bytesPerCluster + v.bytesPerSector));
  uint64_t n = 0;
  for (bool ends = false; !ends && n < most && static_cast<uint64_t>(v.startLcn) + n < v.totalClusters; ++n) {
    if (!DasdReadCluster(v, static_cast<uint64_t>(v.startLcn) + n, 1, cluster.data(), v.bytesPerSector,
                         v.bytesPerCluster) ||
        !HoldsDirectoryEntries(cluster.data(), v.bytesPerCluster, ends))
      break;
  }
  if (n == 0) return kTrue;
  SetExtentsRunList(v, {{static_cast<uint64_t>(v.startLcn), n}});
  how = "its chain is broken in every FAT copy: read from its first cluster on while the clusters hold entries";
  return kTrue;
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
  if (!v.handle || (v.fileSystemKind != kFsFat16 && v.fileSystemKind != kFsFat32)) {
    ErrorRecord(kModule, 496);
    return kFalse;
  }
  if (v.startLcn < 0) return BrokenChain(v, 0);
  // A folder holds at most 65,536 entries: a longer chain is no folder's.
  const uint64_t most = v.directoryMode ? kMaxDirectoryBytes / v.bytesPerCluster + 1 : v.totalClusters;
  // A chain that names one of its own clusters again loops; it is taken up
  // to there, each cluster once (what a disk check leaves of it), so a
  // folder whose chain loops still shows its entries.
  std::vector<fat::ClusterExtent> extents;
  const fat::ChainStatus status =
      fat::ChainExtents(FatOf(v), static_cast<uint64_t>(v.startLcn) + 2, extents, most);
  uint64_t clusters = 0;
  for (const fat::ClusterExtent& e : extents) clusters += e.clusters;
  if (status == fat::ChainStatus::ReadFailed) {
    ErrorRecord(kModule, 525);
    return kFalse;
  }
  if (status == fat::ChainStatus::Corrupt) return BrokenChain(v, clusters);
  if (!EnsureRunListCapacity(v, extents.size())) {
    ErrorRecord(kModule, 583);
    return kFalse;
  }
  SetExtentsRunList(v, extents);
  return kTrue;
}

fat::FatTable& FatOf(FueVolumeData& v) {
  if (!v.fatTable) v.fatTable = std::make_unique<fat::FatTable>(*v.handle, v.boot);
  return *v.fatTable;
}

bool ReadRunListClusters(const FueVolumeData& v, uint8_t* dest, uint64_t capacityClusters, uint64_t& read) {
  read = 0;
  for (uint64_t i = 0; i < v.runCount; ++i) {
    const int64_t lcn = v.RunLcn(i);
    const uint64_t count = v.RunClusters(i);
    if (lcn < 0 || count > capacityClusters - read) return false;
    if (!DasdReadCluster(v, static_cast<uint64_t>(lcn), count, dest + read * v.bytesPerCluster, v.bytesPerSector,
                         v.bytesPerCluster))
      return false;
    read += count;
  }
  return true;
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
  const gmem::ScopedBlock replyOwner(reply);
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
    SetRunListSizes(v, v.bytesPerCluster * clusters, v.dataSize);
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
    MutableBytes b = RunListBytes(v);
    put64(b, runlist::kRunCount, kept);
    put64(b, runlist::kFragments, breaks);
    put64(b, runlist::kStreamFragments, breaks);
    v.fragmented = breaks != 0 ? 1 : 0;
    v.startLcn = lowest;
  }
  FreeGlobalBlock(&reply, &address);
  return kTrue;
}

}  // namespace rv
