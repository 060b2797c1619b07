// The deep scan's pass over the volume.
#include "carve/scan.h"

#include "carve/aligned_buffer.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "format/exfat_format.h"
#include "format/fat_boot.h"
#include "format/fsctl.h"
#include "format/le.h"
#include "volume/dasd.h"
#include "volume/exfat_volume.h"

namespace rv::carve {

namespace {

// The longest signature plus its offset: what a cluster's head must show.
constexpr size_t kHeadBytes = 32;
// Bitmap bytes asked of the file system at a time (4 Mi clusters).
constexpr uint32_t kBitmapWindowBytes = 512 * 1024;

bool FatLayout(const uint8_t* boot, size_t n, uint64_t volumeBytes, VolumeLayout& out) {
  fat::BootSector b;
  if (!fat::ParseBootSector(boot, n, volumeBytes, b)) return false;
  out.unitBytes = uint64_t(b.bytesPerSector) * b.sectorsPerCluster;
  out.firstUnitOffset = b.firstDataSector * b.bytesPerSector;
  out.unitCount = b.clusterCount;
  out.firstUnitNumber = 2;
  return true;
}

bool ExfatLayout(const uint8_t* boot, size_t n, VolumeLayout& out) {
  exfat::BootSector b;
  if (exfat::ParseBootSector(boot, n, b) != exfat::BootProblem::None) return false;
  out.unitBytes = b.bytesPerCluster;
  out.firstUnitOffset = b.clusterHeapOffset * b.bytesPerSector;
  out.unitCount = b.clusterCount;
  out.firstUnitNumber = exfat::kFirstCluster;
  return true;
}

// Which clusters the file system shows free, looked up in clusters that
// rise as the scan goes: FAT and NTFS answer the volume-bitmap request a
// window at a time; exFAT's allocation bitmap is read once (one bit per
// cluster). Without a file system every sector is free. Where the bitmap
// cannot be read, clusters count as free: scanning too much finds no file
// that is not there, scanning too little loses one.
class FreeMap {
 public:
  FreeMap(VolumeSource& source, const VolumeLayout& layout) : source_(source), layout_(layout) {
    if (layout.family == FsFamily::Exfat) LoadExfat();
  }

  bool Free(uint64_t unit) {
    switch (layout_.family) {
      case FsFamily::Unknown: return true;
      case FsFamily::Exfat: return !exfatLoaded_ || !exfat_.InUse(unit + exfat::kFirstCluster);
      default: break;
    }
    if (unit < windowFirst_ || unit - windowFirst_ >= windowUnits_) LoadWindow(unit);
    if (windowUnits_ == 0) return true;
    const uint64_t i = unit - windowFirst_;
    return !((window_[kHeader + i / 8] >> (i % 8)) & 1);
  }

 private:
  static constexpr uint32_t kHeader = fsctl::bitmap::kHeaderBytes;

  void LoadExfat() {
    std::vector<uint8_t> boot(source_.SectorSize());
    exfat::BootSector b;
    exfat::RootFacts root;
    std::string why;
    if (!source_.ReadBytes(0, boot.data(), boot.size()) ||
        exfat::ParseBootSector(boot.data(), boot.size(), b) != exfat::BootProblem::None ||
        !exfat::ReadRootFacts(source_, b, root))
      return;
    exfatLoaded_ = exfat_.Load(source_, b, root, why);
  }

  void LoadWindow(uint64_t unit) {
    window_.resize(kHeader + kBitmapWindowBytes);
    windowFirst_ = unit & ~7ull;
    windowUnits_ = 0;
    uint8_t in[fsctl::kStartingInputBytes];
    put64(MutableBytes(in, sizeof in), 0, windowFirst_);
    uint64_t information = 0;
    const NtStatus status = source_.FsControl(FSCTL_GET_VOLUME_BITMAP_CODE, in, sizeof in, window_.data(),
                                              static_cast<uint32_t>(window_.size()), information);
    if ((status != kStatusSuccess && status != kStatusBufferOverflow) || information < kHeader) return;
    const Bytes header(window_.data(), kHeader);
    const uint64_t first = le64(header, fsctl::bitmap::kStartingLcn);
    const uint64_t bits = le64(header, fsctl::bitmap::kBitmapSize);
    if (first != windowFirst_) return;
    windowUnits_ = std::min<uint64_t>(bits, (information - kHeader) * 8);
  }

  VolumeSource& source_;
  const VolumeLayout& layout_;
  std::vector<uint8_t> window_;
  uint64_t windowFirst_ = 0, windowUnits_ = 0;
  exfat::AllocationBitmap exfat_;
  bool exfatLoaded_ = false;
};

// The known files in cluster order, walked as the scan's cluster rises:
// which one starts at a cluster, and whether a cluster lies inside one.
class KnownFiles {
 public:
  KnownFiles(const std::vector<KnownFile>& files, const VolumeLayout& layout) : layout_(layout) {
    for (const KnownFile& f : files)
      if (f.firstCluster >= layout.firstUnitNumber && f.clusters != 0) order_.push_back(&f);
    std::sort(order_.begin(), order_.end(),
              [](const KnownFile* a, const KnownFile* b) { return a->firstCluster < b->firstCluster; });
  }

  // `unit` never falls between calls.
  const KnownFile* StartingAt(uint64_t unit, bool& inside) {
    const uint64_t cluster = unit + layout_.firstUnitNumber;
    const KnownFile* starting = nullptr;
    while (next_ < order_.size() && order_[next_]->firstCluster <= cluster) {
      const KnownFile* f = order_[next_++];
      if (f->firstCluster == cluster && !starting) starting = f;
      coveredUntil_ = std::max(coveredUntil_, f->firstCluster + std::min(f->clusters, UINT64_MAX - f->firstCluster));
    }
    inside = !starting && cluster < coveredUntil_;
    return starting;
  }

 private:
  const VolumeLayout& layout_;
  std::vector<const KnownFile*> order_;
  size_t next_ = 0;
  uint64_t coveredUntil_ = 0;
};

std::vector<const FormatRow*> RowsFor(const std::vector<std::string>& types) {
  std::vector<const FormatRow*> rows;
  for (const FormatRow& row : Formats()) {
    bool wanted = types.empty();
    for (const std::string& t : types) wanted = wanted || RowProduces(row, t);
    if (wanted) rows.push_back(&row);
  }
  return rows;
}

bool TypeWanted(const std::vector<std::string>& types, const char* extension) {
  if (types.empty()) return true;
  const std::string_view ext(extension);
  for (const std::string& t : types) {
    if (t.size() != ext.size()) continue;
    bool same = true;
    for (size_t i = 0; i < t.size() && same; ++i) same = std::tolower(static_cast<unsigned char>(t[i])) == ext[i];
    if (same) return true;
  }
  return false;
}

// The volume's bytes as the scan and the validators read them: one block
// of kBlockBytes from wherever a read first falls outside it, so that the
// pass reads each byte from the volume once, front to back, in large
// aligned reads, whether the scan looks at a cluster's head or a validator
// walks a file. A read that runs on past the block keeps the block's tail
// (moved to its front) and reads only what follows, so no byte is read
// twice where the volume is read past the system's cache. Clusters the
// scan passes over (in use, or inside a file found) are never read.
class BlockCache {
 public:
  BlockCache(VolumeSource& source, uint64_t end, bool keepInCache)
      : source_(source), end_(end), keepInCache_(keepInCache), block_(kBlockBytes) {}

  // `length` (<= kBlockBytes / 2) bytes at volume offset `offset`, valid
  // until the next call; null when they cannot be read.
  const uint8_t* Get(uint64_t offset, size_t length) {
    if (offset >= start_ && offset - start_ <= bytes_ && length <= bytes_ - (offset - start_))
      return block_.data() + (offset - start_);
    // Reads start on a sector, and on a page where the sector is smaller:
    // the kernel copies whole pages fastest, and reads past its cache only
    // whole pages into a page-aligned buffer.
    const uint64_t grain = std::max<uint64_t>(source_.SectorSize(), AlignedBuffer::kAlignment);
    const uint64_t from = offset / grain * grain;
    if (from >= end_ || length > kBlockBytes / 2) return Fail(offset);
    const uint64_t n = std::min<uint64_t>(kBlockBytes, end_ - from);
    // The tail of the block from `from` on, when the read starts inside it
    // and the block ends on the grain: kept, not read again.
    const uint64_t blockEnd = start_ + bytes_;
    const uint64_t kept = from >= start_ && from < blockEnd && blockEnd % grain == 0 ? blockEnd - from : 0;
    if (kept) std::memmove(block_.data(), block_.data() + (from - start_), static_cast<size_t>(kept));
    bytes_ = 0;
    if (n < offset - from + length || !Read(from + kept, block_.data() + kept, static_cast<uint32_t>(n - kept)))
      return Fail(offset);
    start_ = from;
    bytes_ = n;
    return block_.data() + (offset - start_);
  }
  uint64_t FailedAt() const { return failedAt_; }

 private:
  const uint8_t* Fail(uint64_t offset) {
    failedAt_ = offset;
    return nullptr;
  }
  bool Read(uint64_t offset, uint8_t* out, uint32_t length) {
    return keepInCache_ ? source_.Read(offset, out, length) : source_.ReadOnce(offset, out, length);
  }

  VolumeSource& source_;
  uint64_t end_;
  bool keepInCache_;
  AlignedBuffer block_;
  uint64_t start_ = 0, bytes_ = 0, failedAt_ = 0;
};

// A candidate's bytes through the scan's block cache.
class CachedVolumeBytes : public ByteSource {
 public:
  CachedVolumeBytes(BlockCache& cache, uint64_t start, uint64_t size) : cache_(cache), start_(start), size_(size) {}
  uint64_t Size() const override { return size_; }
  bool ReadAt(uint64_t offset, uint8_t* out, size_t length) override {
    if (offset > size_ || length > size_ - offset) return false;
    while (length > 0) {
      const size_t n = std::min<size_t>(length, kBlockBytes / 4);
      const uint8_t* p = cache_.Get(start_ + offset, n);
      if (!p) return false;
      std::memcpy(out, p, n);
      out += n;
      offset += n;
      length -= n;
    }
    return true;
  }

 private:
  BlockCache& cache_;
  uint64_t start_, size_;
};

// A free cluster the scan visits, handed on whole (in pieces the cache
// holds) to whoever rides on the pass; the head the scan reads next is
// then in the cache already.
bool HandFreeUnit(BlockCache& cache, const ScanOptions& options, uint64_t start, uint64_t unitBytes) {
  for (uint64_t done = 0; done < unitBytes;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(unitBytes - done, kBlockBytes / 4));
    const uint8_t* p = cache.Get(start + done, n);
    if (!p) return false;
    options.freeBytes(start + done, std::span<const uint8_t>(p, n));
    done += n;
  }
  return true;
}

ScanStatus ReadFailedAt(std::string& error, uint64_t offset, uint64_t cluster) {
  error = "the volume cannot be read at byte " + std::to_string(offset) + " (scanning at cluster " +
          std::to_string(cluster) + ")";
  return ScanStatus::ReadFailed;
}

}  // namespace

bool ReadLayout(VolumeSource& source, VolumeLayout& out, std::string& why) {
  out = VolumeLayout();
  const uint64_t volumeBytes = source.SizeBytes();
  const uint32_t sector = source.SectorSize();
  if (sector == 0 || volumeBytes < sector) {
    why = "the volume is smaller than one sector";
    return false;
  }
  OnDiskFs& fs = source.OnDisk();
  std::vector<uint8_t> boot(std::max<uint32_t>(sector, 512));
  const bool bootRead = source.ReadBytes(0, boot.data(), boot.size());
  if (fs.Recognised() && bootRead) {
    const FsFacts& facts = fs.Facts();
    out.family = facts.family;
    bool ok = false;
    if (facts.family == FsFamily::Fat) ok = FatLayout(boot.data(), boot.size(), volumeBytes, out);
    if (facts.family == FsFamily::Exfat) ok = ExfatLayout(boot.data(), boot.size(), out);
    if (facts.family == FsFamily::Ntfs && facts.bytesPerCluster != 0) {
      out.unitBytes = facts.bytesPerCluster;
      out.unitCount = facts.totalClusters;
      ok = true;
    }
    if (!ok) out = VolumeLayout();
  }
  if (out.unitBytes == 0) {
    out.family = FsFamily::Unknown;
    out.unitBytes = sector;
    out.unitCount = volumeBytes / sector;
  }
  // An image cut short holds fewer clusters than its file system counts.
  if (out.firstUnitOffset >= volumeBytes) {
    out.unitCount = 0;
  } else {
    out.unitCount = std::min(out.unitCount, (volumeBytes - out.firstUnitOffset) / out.unitBytes);
  }
  return true;
}

std::string CarvedName(const CarvedFile& f) {
  char name[48];
  std::snprintf(name, sizeof name, "f%07llu.%s", static_cast<unsigned long long>(f.cluster), f.extension);
  return name;
}

std::string CarvedId(const CarvedFile& f) { return std::string(kCarvedIdPrefix) + std::to_string(f.cluster); }

bool VolumeBytes::ReadAt(uint64_t offset, uint8_t* out, size_t length) {
  if (offset > length_ || length > length_ - offset) return false;
  const uint64_t at = start_ + offset;
  const uint32_t sector = source_.SectorSize();
  if (sector && at % sector == 0 && length % sector == 0 && length <= UINT32_MAX)
    return source_.Read(at, out, static_cast<uint32_t>(length));
  return source_.ReadBytes(at, out, length);
}

ScanStatus DeepScan(VolumeSource& source, const VolumeLayout& layout, const ScanOptions& options,
                    const std::function<void(const CarvedFile&)>& found, std::string& error) {
  const std::vector<const FormatRow*> rows = RowsFor(options.types);
  if (rows.empty() || layout.unitBytes == 0 || layout.unitCount == 0) return ScanStatus::Done;
  const uint64_t unitBytes = layout.unitBytes;
  const uint64_t dataEnd = layout.UnitOffset(layout.unitCount);
  const uint64_t total = dataEnd - layout.firstUnitOffset;
  const uint64_t progressStep = std::max<uint64_t>(1, kBlockBytes / unitBytes);
  BlockCache cache(source, dataEnd, options.keepInCache);
  AlignedBuffer readerWindow(BoundedReader::kWindow);
  FreeMap free(source, layout);
  KnownFiles known(options.known, layout);

  uint64_t nextProgress = 0;
  for (uint64_t u = 0; u < layout.unitCount;) {
    if (u >= nextProgress) {
      if (options.stop && options.stop->load()) return ScanStatus::Stopped;
      if (options.progress) options.progress(layout.UnitOffset(u) - layout.firstUnitOffset, total);
      nextProgress = u + progressStep;
    }
    if (!free.Free(u)) {
      ++u;
      continue;
    }
    bool insideKnown = false;
    const KnownFile* knownHere = known.StartingAt(u, insideKnown);
    if (insideKnown) {
      ++u;
      continue;
    }
    const uint64_t start = layout.UnitOffset(u);
    if (options.freeBytes && !HandFreeUnit(cache, options, start, unitBytes))
      return ReadFailedAt(error, cache.FailedAt(), u + layout.firstUnitNumber);
    const uint8_t* head = cache.Get(start, static_cast<size_t>(std::min<uint64_t>(unitBytes, kHeadBytes)));
    if (!head) return ReadFailedAt(error, start, u + layout.firstUnitNumber);
    const std::span<const uint8_t> headBytes(head, static_cast<size_t>(std::min<uint64_t>(unitBytes, kHeadBytes)));
    uint64_t next = u + 1;
    for (const FormatRow* row : rows) {
      if (!SignatureMatches(*row, headBytes)) continue;
      CachedVolumeBytes bytesFromHere(cache, start, dataEnd - start);
      BoundedReader reader(bytesFromHere, UINT64_MAX, &readerWindow);
      reader.WalkContentByMarkers();
      const Measure m = MeasureWith(*row, reader);
      if (reader.ReadFailed()) return ReadFailedAt(error, cache.FailedAt(), u + layout.firstUnitNumber);
      const bool whole = m.verdict == Verdict::Whole;
      if (!whole && !(m.verdict == Verdict::Truncated && m.validUpTo >= kMinTruncatedBytes)) continue;
      CarvedFile f;
      f.offset = start;
      f.cluster = u + layout.firstUnitNumber;
      f.length = whole ? m.length : m.validUpTo;
      f.row = row;
      f.extension = ExtensionOf(*row, m);
      f.truncated = !whole;
      f.known = knownHere;
      if (TypeWanted(options.types, f.extension)) found(f);
      // Nothing starts inside a whole file; a truncated one may have been
      // cut by the next file, which starts in its last cluster at the latest.
      next = u + (whole ? (f.length + unitBytes - 1) / unitBytes : std::max<uint64_t>(1, f.length / unitBytes));
      break;
    }
    u = next;
  }
  if (options.progress) options.progress(total, total);
  return ScanStatus::Done;
}

}  // namespace rv::carve
