#include "lost/lost_scan.h"

#include <algorithm>

#include "format/exfat_format.h"
#include "format/fat_boot.h"
#include "format/ntfs_boot.h"
#include "format/ntfs_format.h"
#include "platform/text.h"
#include "volume/exfat_volume.h"
#include "volume/fat_table.h"

namespace rv::lost {
namespace {

constexpr uint32_t kPassBytes = 1u << 20;
constexpr size_t kBootBytes = 4096;

// The current MFT's byte ranges, from the runs of record 0's $DATA. An
// MFT whose first record cannot be read leaves only its first record out.
std::vector<ByteRange> CurrentMftRanges(VolumeSource& source, const ntfs::BootSector& boot) {
  const uint64_t start = boot.mftLcn * boot.bytesPerCluster;
  std::vector<ByteRange> ranges{{start, start + boot.bytesPerFileRecord}};
  std::vector<uint8_t> record(boot.bytesPerFileRecord);
  if (!source.ReadBytes(start, record.data(), record.size()) || !ntfs::ApplyRecordFixups(record)) return ranges;
  const ntfs::AttributeWalk walk(Bytes(record.data(), record.size()));
  const size_t data = walk.Find(ntfs::kTypeData);
  if (data == walk.size() || !walk[data].nonResident) return ranges;
  std::vector<ntfs::Run> runs;
  ntfs::DecodeMappingPairs(ntfs::AttributeBytes(walk.record(), walk[data]), boot.totalClusters, runs);
  for (const ntfs::Run& r : runs)
    if (r.lcn >= 0)
      ranges.push_back({static_cast<uint64_t>(r.lcn) * boot.bytesPerCluster,
                        (static_cast<uint64_t>(r.lcn) + r.length) * boot.bytesPerCluster});
  return ranges;
}

}  // namespace

bool LostRecordScan::Open(VolumeSource& source, std::string& why) {
  uint8_t boot[kBootBytes] = {};
  const size_t length = static_cast<size_t>(std::min<uint64_t>(kBootBytes, source.SizeBytes()));
  if (length < 512 || !source.ReadBytes(0, boot, length)) {
    why = "the boot sector cannot be read";
    return false;
  }
  const FsFacts& facts = source.OnDisk().Facts();
  family_ = facts.family;
  if (family_ == FsFamily::Ntfs) {
    ntfs::BootSector b;
    if (!ntfs::ParseBootSector(boot, length, b)) return why = "the NTFS boot sector is damaged", false;
    NtfsScanGeometry g = GeometryOf(b);
    g.currentMft = CurrentMftRanges(source, b);
    bytesPerCluster_ = b.bytesPerCluster;
    ntfs_ = std::make_unique<NtfsRecordScanner>(std::move(g));
    return true;
  }
  if (family_ == FsFamily::Fat) {
    fat::BootSector b;
    if (!fat::ParseBootSector(boot, length, source.SizeBytes(), b) || b.fatBits == 12)
      return why = "the FAT boot sector is damaged or names FAT12", false;
    FatScanGeometry g;
    g.bytesPerCluster = uint64_t{b.bytesPerSector} * b.sectorsPerCluster;
    g.dataAreaOffset = b.firstDataSector * b.bytesPerSector;
    g.clusterCount = b.clusterCount;
    g.fat32 = b.fatBits == 32;
    g.rootCluster = g.fat32 ? b.rootCluster : 0;
    bytesPerCluster_ = g.bytesPerCluster;
    clusterBase_ = g.dataAreaOffset;
    fat_ = std::make_unique<FatFolderScanner>(g);
    return true;
  }
  if (family_ == FsFamily::Exfat) {
    exfat::BootSector b;
    if (exfat::ParseBootSector(boot, length, b) != exfat::BootProblem::None)
      return why = "the exFAT boot sector is damaged", false;
    ExfatScanGeometry g;
    g.bytesPerCluster = b.bytesPerCluster;
    g.heapOffset = b.clusterHeapOffset * b.bytesPerSector;
    g.clusterCount = b.clusterCount;
    bytesPerCluster_ = g.bytesPerCluster;
    clusterBase_ = g.heapOffset;
    exfat_ = std::make_unique<ExfatSetScanner>(g);
    return true;
  }
  why = "the volume holds no NTFS, FAT or exFAT file system";
  return false;
}

void LostRecordScan::Feed(uint64_t offset, Bytes block) {
  if (ntfs_) ntfs_->Feed(offset, block);
  if (fat_) fat_->Feed(offset, block);
  if (exfat_) exfat_->Feed(offset, block);
}

std::vector<LostFile> LostRecordScan::Finish() {
  if (ntfs_) return ntfs_->Finish();
  if (fat_) return fat_->Finish();
  if (exfat_) return exfat_->Finish();
  return {};
}

LostCounts LostRecordScan::Counts() const {
  if (ntfs_) return ntfs_->Counts();
  if (fat_) return fat_->Counts();
  if (exfat_) return exfat_->Counts();
  return {};
}

struct ClusterAllocation::Tables {
  fat::BootSector fatBoot;
  std::unique_ptr<fat::FatTable> fat;
  exfat::BootSector exfatBoot;
  exfat::AllocationBitmap bitmap;
};

ClusterAllocation::ClusterAllocation(VolumeSource& source) : source_(source), tables_(std::make_unique<Tables>()) {}
ClusterAllocation::~ClusterAllocation() = default;

bool ClusterAllocation::Load(std::string& why) {
  family_ = source_.OnDisk().Facts().family;
  if (family_ == FsFamily::Fat) {
    uint8_t boot[512];
    fat::BootSector& b = tables_->fatBoot;
    if (!source_.ReadBytes(0, boot, sizeof boot) || !fat::ParseBootSector(boot, sizeof boot, source_.SizeBytes(), b))
      return why = "the FAT boot sector cannot be read", false;
    bytesPerCluster_ = uint64_t{b.bytesPerSector} * b.sectorsPerCluster;
    base_ = b.firstDataSector * b.bytesPerSector;
    count_ = b.clusterCount;
    tables_->fat = std::make_unique<fat::FatTable>(source_, b);
    return true;
  }
  if (family_ == FsFamily::Exfat) {
    exfat::RootFacts root;
    exfat::BootSector& b = tables_->exfatBoot;
    if (!exfat::ReadBootRegion(source_, b, why)) return false;
    if (!exfat::ReadRootFacts(source_, b, root)) return why = "the exFAT root folder cannot be read", false;
    bytesPerCluster_ = b.bytesPerCluster;
    base_ = b.clusterHeapOffset * b.bytesPerSector;
    count_ = b.clusterCount;
    return tables_->bitmap.Load(source_, b, root, why);
  }
  return true;
}

bool ClusterAllocation::InUse(uint64_t cluster) {
  if (family_ == FsFamily::Ntfs) return false;
  if (cluster < 2 || cluster - 2 >= count_) return true;
  if (tables_->fat) {
    uint32_t value = 0;
    return !tables_->fat->Entry(cluster, value) || value != 0;
  }
  return family_ != FsFamily::Exfat || tables_->bitmap.InUse(cluster);
}

bool ScanVolumeForLostFiles(VolumeSource& source, std::vector<LostFile>& files, LostCounts& counts, std::string& why) {
  LostRecordScan scan;
  if (!scan.Open(source, why)) return false;
  ClusterAllocation allocation(source);
  if (!allocation.Load(why)) return false;
  const uint64_t size = source.SizeBytes(), cluster = std::max<uint64_t>(scan.BytesPerCluster(), 1);
  const uint64_t base = scan.ClusterBase();
  std::vector<uint8_t> block(kPassBytes);
  for (uint64_t offset = 0; offset < size;) {
    const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(kPassBytes, size - offset));
    if (!source.ReadBytes(offset, block.data(), length)) {
      why = "the volume cannot be read at byte " + std::to_string(offset);
      return false;
    }
    // Hand on the stretches of free clusters (and what lies before the
    // first cluster, where none is allocated by the table).
    uint64_t from = offset;
    for (uint64_t at = offset; at < offset + length;) {
      uint64_t next = at < base ? std::min<uint64_t>(base, offset + length) : (at - base) / cluster * cluster + base + cluster;
      next = std::min<uint64_t>(next, offset + length);
      const bool used = at >= base && scan.Family() != FsFamily::Ntfs && allocation.InUse((at - base) / cluster + 2);
      if (used) {
        if (at > from) scan.Feed(from, Bytes(block.data() + (from - offset), static_cast<size_t>(at - from)));
        from = next;
      }
      at = next;
    }
    if (offset + length > from)
      scan.Feed(from, Bytes(block.data() + (from - offset), static_cast<size_t>(offset + length - from)));
    offset += length;
  }
  files = scan.Finish();
  counts = scan.Counts();
  return true;
}

}  // namespace rv::lost
