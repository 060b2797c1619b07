// What Windows answers for a mounted FAT volume, computed from the boot
// sector and the FAT: file-system name ("FAT" for 12- and 16-bit FATs,
// "FAT32"), label (the root directory's volume-label entry), geometry and
// free clusters, the volume bitmap and the retrieval pointers of folders.
#include <cstring>
#include <memory>

#include "format/fat_boot.h"
#include "format/fsctl.h"
#include "format/fat_entry.h"
#include "volume/fat_table.h"
#include "platform/lasterror.h"
#include "volume/dasd.h"
#include "format/le.h"
#include "volume/ondisk.h"

namespace rv {
namespace {


// STARTING_LCN_INPUT_BUFFER / STARTING_VCN_INPUT_BUFFER: one signed 64-bit value.
constexpr uint32_t kStartingInputBytes = fsctl::kStartingInputBytes;
// VOLUME_BITMAP_BUFFER: 0 StartingLcn (8), 8 BitmapSize in clusters (8), 16 bitmap bytes.
constexpr uint32_t kBitmapHeaderBytes = fsctl::bitmap::kHeaderBytes;
// RETRIEVAL_POINTERS_BUFFER: 0 ExtentCount (4), 4 pad (4), 8 StartingVcn (8),
// 16 extents of {NextVcn (8), Lcn (8)}.
constexpr uint32_t kRetrievalHeaderBytes = fsctl::retrieval::kHeaderBytes;
constexpr uint32_t kExtentBytes = fsctl::retrieval::kExtentBytes;

using Extent = fat::ClusterExtent;

class FatOnDisk final : public OnDiskFs {
 public:
  FatOnDisk(VolumeSource& source, const fat::BootSector& boot) : source_(source), boot_(boot) {
    facts_.family = FsFamily::Fat;
    facts_.fileSystemName = boot.fatBits == 32 ? u"FAT32" : u"FAT";
    facts_.bytesPerSector = boot.bytesPerSector;
    facts_.sectorsPerCluster = boot.sectorsPerCluster;
    facts_.bytesPerCluster = static_cast<uint64_t>(boot.bytesPerSector) * boot.sectorsPerCluster;
    facts_.totalClusters = boot.clusterCount;
    facts_.totalSectors = boot.totalSectors;
    facts_.fatBits = boot.fatBits;
    facts_.clusterAreaEndBytes =
        (boot.firstDataSector + boot.clusterCount * boot.sectorsPerCluster) * boot.bytesPerSector;
    facts_.label = ReadLabel();
  }
  bool Recognised() const override { return true; }
  const FsFacts& Facts() const override { return facts_; }

  NtStatus FsControl(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength,
                     uint64_t& information) override {
    information = 0;
    if (code == FSCTL_GET_VOLUME_BITMAP_CODE) return VolumeBitmap(in, inLength, out, outLength, information);
    return kStatusInvalidDeviceRequest;
  }

  NtStatus RetrievalPointers(TextView path, bool, const void* in, uint32_t inLength, void* out, uint32_t outLength,
                             uint64_t& information, uint64_t& fileSize) override {
    information = 0;
    fileSize = 0;
    if (!in || inLength < kStartingInputBytes) return kStatusInvalidParameter;
    int64_t startVcn = static_cast<int64_t>(le64(Bytes(static_cast<const uint8_t*>(in), inLength), 0));
    if (startVcn < 0) return kStatusInvalidParameter;
    // Only the root folder is looked up; it has no clusters of its own on
    // FAT12/16, where it lies between the FATs and the data area.
    if (!(path.empty() || path == u"\\")) return kStatusObjectNameNotFound;
    if (boot_.fatBits != 32) return kStatusInvalidParameter;
    std::vector<Extent> extents;
    // A folder holds at most 65,536 entries of 32 bytes.
    const uint64_t most = (65536ull * 32) / facts_.bytesPerCluster + 1;
    NtStatus chain = ChainExtents(boot_.rootCluster, extents, most);
    if (chain != kStatusSuccess) return chain;
    return WriteRetrievalPointers(extents, static_cast<uint64_t>(startVcn), out, outLength, information);
  }

  bool FreeClusters(uint64_t& freeClusters) override {
    if (freeKnown_) {
      freeClusters = free_;
      return true;
    }
    fat::FatTable table(source_, boot_);
    uint64_t count = 0;
    for (uint64_t c = 2; c < boot_.clusterCount + 2; ++c) {
      uint32_t v = 0;
      if (!table.Entry(c, v)) return false;
      if (v == 0) ++count;
    }
    free_ = count;
    freeKnown_ = true;
    freeClusters = count;
    return true;
  }

 private:
  NtStatus ChainExtents(uint64_t first, std::vector<Extent>& extents, uint64_t maxClusters) {
    fat::FatTable table(source_, boot_);
    switch (fat::ChainExtents(table, first, extents, maxClusters)) {
      // A root whose chain loops is read up to the loop, as a folder is.
      case fat::ChainStatus::Ok: case fat::ChainStatus::Looped: return kStatusSuccess;
      case fat::ChainStatus::ReadFailed: return kStatusDeviceDataError;
      default: return kStatusFileCorruptError;
    }
  }

  static NtStatus WriteRetrievalPointers(const std::vector<Extent>& extents, uint64_t startVcn, void* out,
                                         uint32_t outLength, uint64_t& information) {
    if (extents.empty()) return kStatusEndOfFile;
    if (!out || outLength < kRetrievalHeaderBytes + kExtentBytes) return kStatusBufferTooSmall;
    // Skip the extents that end at or before the starting VCN.
    size_t first = 0;
    uint64_t vcn = 0;
    while (first < extents.size() && vcn + extents[first].clusters <= startVcn) vcn += extents[first++].clusters;
    if (first == extents.size()) return kStatusEndOfFile;
    MutableBytes o(static_cast<uint8_t*>(out), outLength);
    const uint64_t room = (outLength - kRetrievalHeaderBytes) / kExtentBytes;
    const uint64_t wanted = extents.size() - first;
    const uint64_t n = wanted < room ? wanted : room;
    put32(o, fsctl::retrieval::kExtentCount, static_cast<uint32_t>(n));
    put32(o, fsctl::retrieval::kExtentCount + 4, 0);
    put64(o, fsctl::retrieval::kStartingVcn, startVcn);
    // The first extent returned starts at the starting VCN.
    uint64_t lcnShift = startVcn - vcn;
    for (uint64_t i = 0; i < n; ++i) {
      const Extent& e = extents[first + i];
      vcn += e.clusters;
      const uint64_t at = kRetrievalHeaderBytes + i * kExtentBytes;
      put64(o, at + fsctl::retrieval::kNextVcn, vcn);
      put64(o, at + fsctl::retrieval::kLcn, e.lcn + (i == 0 ? lcnShift : 0));
    }
    information = kRetrievalHeaderBytes + n * kExtentBytes;
    return n < wanted ? kStatusBufferOverflow : kStatusSuccess;
  }

  // FSCTL_GET_VOLUME_BITMAP from the FAT: bit i of the bitmap is LCN
  // start + i; free entries are 0 bits. The starting LCN is rounded down to
  // a multiple of 8 as Windows does.
  NtStatus VolumeBitmap(const void* in, uint32_t inLength, void* out, uint32_t outLength, uint64_t& information) {
    if (!in || inLength < kStartingInputBytes) return kStatusInvalidParameter;
    if (!out || outLength < kBitmapHeaderBytes) return kStatusBufferTooSmall;
    int64_t start = static_cast<int64_t>(le64(Bytes(static_cast<const uint8_t*>(in), inLength), 0));
    const uint64_t total = boot_.clusterCount;
    if (start < 0 || static_cast<uint64_t>(start) >= total) return kStatusInvalidParameter;
    const uint64_t first = static_cast<uint64_t>(start) & ~7ull;
    const uint64_t bits = total - first;
    const uint64_t wantedBytes = (bits + 7) / 8;
    const uint64_t roomBytes = outLength - kBitmapHeaderBytes;
    const uint64_t bytes = wantedBytes < roomBytes ? wantedBytes : roomBytes;
    MutableBytes o(static_cast<uint8_t*>(out), outLength);
    put64(o, fsctl::bitmap::kStartingLcn, first);
    put64(o, fsctl::bitmap::kBitmapSize, bits);
    uint8_t* map = static_cast<uint8_t*>(out) + kBitmapHeaderBytes;
    std::memset(map, 0, static_cast<size_t>(bytes));
    fat::FatTable table(source_, boot_);
    const uint64_t coveredBits = bytes * 8 < bits ? bytes * 8 : bits;
    for (uint64_t i = 0; i < coveredBits; ++i) {
      uint32_t v = 0;
      if (!table.Entry(first + i + 2, v)) return kStatusDeviceDataError;
      if (v != 0) map[i / 8] = static_cast<uint8_t>(map[i / 8] | (1u << (i % 8)));
    }
    information = kBitmapHeaderBytes + bytes;
    return bytes < wantedBytes ? kStatusBufferOverflow : kStatusSuccess;
  }

  // The label Windows reports is the root directory's volume-label entry
  // (attribute 0x08 without the long-name pattern 0x0F), not the copy in
  // the boot sector, which format tools leave behind on relabel.
  Text ReadLabel() {
    const uint64_t bpc = facts_.bytesPerCluster;
    std::vector<uint8_t> dir;
    if (boot_.fatBits != 32) {
      dir.resize(static_cast<size_t>(boot_.rootDirSectors * boot_.bytesPerSector));
      if (!source_.ReadBytes(boot_.firstRootSector * boot_.bytesPerSector, dir.data(), dir.size())) return {};
      return LabelIn(dir);
    }
    fat::FatTable table(source_, boot_);
    uint64_t cluster = boot_.rootCluster;
    dir.resize(static_cast<size_t>(bpc));
    // Bounded walk: a looping root chain ends after the cluster count.
    for (uint64_t steps = 0; steps <= boot_.clusterCount && cluster >= 2 && cluster < boot_.clusterCount + 2;
         ++steps) {
      uint64_t offset = (boot_.firstDataSector + (cluster - 2) * boot_.sectorsPerCluster) * boot_.bytesPerSector;
      if (!source_.ReadBytes(offset, dir.data(), dir.size())) return {};
      bool end = false;
      Text label = LabelIn(dir, &end);
      if (!label.empty() || end) return label;
      uint32_t next = 0;
      if (!table.Entry(cluster, next) || table.IsEndOfChain(next)) break;
      cluster = next;
    }
    return {};
  }

  static Text LabelIn(const std::vector<uint8_t>& dir, bool* end = nullptr) {
    for (size_t off = 0; off + 32 <= dir.size(); off += 32) {
      const uint8_t* e = dir.data() + off;
      if (e[0] == 0) {
        if (end) *end = true;
        return {};
      }
      if (e[0] == fat::kDeletedMark || e[fat::kEntryAttributes] == fat::kAttrLongName ||
          (e[fat::kEntryAttributes] & fat::kAttrVolumeLabel) == 0)
        continue;
      Text t;
      for (int i = 0; i < 11; ++i) t.push_back(e[i] < 0x80 ? e[i] : u'?');
      while (!t.empty() && t.back() == u' ') t.pop_back();
      return t;
    }
    return {};
  }

  VolumeSource& source_;
  fat::BootSector boot_;
  FsFacts facts_;
  bool freeKnown_ = false;
  uint64_t free_ = 0;
};

}  // namespace

std::unique_ptr<OnDiskFs> MakeFatOnDisk(VolumeSource& source, const uint8_t* bootSector, size_t length) {
  fat::BootSector boot;
  if (!fat::ParseBootSector(bootSector, length, source.SizeBytes(), boot)) return nullptr;
  return std::make_unique<FatOnDisk>(source, boot);
}

}  // namespace rv
