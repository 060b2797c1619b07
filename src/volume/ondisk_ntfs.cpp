// What Windows answers for a mounted NTFS volume, computed from the boot
// sector and the MFT's own records: the volume data, single file records
// (the nearest record in use at or below the one asked for) and the
// cluster allocation bitmap. The $MFT may be fragmented and may carry an
// attribute list; its records are always mapped through its own runs.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "format/ntfs_boot.h"
#include "format/fsctl.h"
#include "format/ntfs_format.h"
#include "platform/lasterror.h"
#include "volume/dasd.h"
#include "format/le.h"
#include "volume/ondisk.h"

namespace rv {
namespace {

using ntfs::Attribute;
using ntfs::Run;

constexpr NtStatus kStatusFileCorrupt = 0xC0000102;

// NTFS_VOLUME_DATA_BUFFER, 96 bytes:
//   0 VolumeSerialNumber, 8 NumberSectors, 16 TotalClusters, 24 FreeClusters,
//  32 TotalReserved, 40 BytesPerSector (4), 44 BytesPerCluster (4),
//  48 BytesPerFileRecordSegment (4), 52 ClustersPerFileRecordSegment (4),
//  56 MftValidDataLength, 64 MftStartLcn, 72 Mft2StartLcn, 80 MftZoneStart,
//  88 MftZoneEnd
constexpr uint32_t kVolumeDataBytes = fsctl::volume_data::kBytes;
// NTFS_FILE_RECORD_OUTPUT_BUFFER: 0 FileReferenceNumber, 8 FileRecordLength,
// 12 FileRecordBuffer.
constexpr uint32_t kFileRecordHeaderBytes = fsctl::file_record::kHeaderBytes;
// VOLUME_BITMAP_BUFFER: 0 StartingLcn, 8 BitmapSize (clusters), 16 Buffer.
constexpr uint32_t kBitmapHeaderBytes = fsctl::bitmap::kHeaderBytes;

// Whole value of one attribute: resident bytes, or its runs and sizes.
struct AttributeValue {
  bool found = false;
  bool resident = false;
  std::vector<uint8_t> bytes;
  std::vector<Run> runs;
  uint64_t dataSize = 0;
  uint64_t initializedSize = 0;
  uint64_t allocatedSize = 0;
};

class NtfsOnDisk final : public OnDiskFs {
 public:
  NtfsOnDisk(VolumeSource& source, const ntfs::BootSector& boot) : source_(source), boot_(boot) {
    facts_.family = FsFamily::Ntfs;
    facts_.fileSystemName = u"NTFS";
    facts_.bytesPerSector = boot.bytesPerSector;
    facts_.sectorsPerCluster = static_cast<uint32_t>(boot.sectorsPerCluster);
    facts_.bytesPerCluster = boot.bytesPerCluster;
    facts_.totalClusters = boot.totalClusters;
    facts_.totalSectors = boot.totalSectors;
    LoadMft();
    facts_.label = ReadLabel();
  }
  bool Recognised() const override { return true; }
  const FsFacts& Facts() const override { return facts_; }

  bool FreeClusters(uint64_t& freeClusters) override {
    std::lock_guard<std::mutex> lock(mutex_);
    return CountFreeClusters(freeClusters);
  }

  NtStatus FsControl(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength,
                     uint64_t& information) override {
    std::lock_guard<std::mutex> lock(mutex_);
    information = 0;
    // The bitmap bytes kept for a run of file-record requests are let go by
    // any other request: a search starts with the volume data, so no
    // search sees the bits an earlier one read.
    if (code != FSCTL_GET_NTFS_FILE_RECORD_CODE) bitmapChunkAt_ = kNoChunk;
    switch (code) {
      case FSCTL_GET_NTFS_VOLUME_DATA_CODE: return VolumeData(out, outLength, information);
      case FSCTL_GET_NTFS_FILE_RECORD_CODE: return FileRecord(in, inLength, out, outLength, information);
      case FSCTL_GET_VOLUME_BITMAP_CODE: return VolumeBitmap(in, inLength, out, outLength, information);
      default: return OnDiskFs::FsControl(code, in, inLength, out, outLength, information);
    }
  }

 private:
  // Clear bits of $Bitmap (record 6) over the clusters of the volume.
  bool CountFreeClusters(uint64_t& freeClusters) {
    AttributeValue bitmap;
    if (!mftOk_ || !ReadAttributeOfRecord(ntfs::kMftRecordBitmap, ntfs::kTypeData, bitmap)) {
      SetLastErrorCode(kErrorInvalidData);
      return false;
    }
    // $Bitmap is never sparse, and it must cover the clusters the boot
    // sector claims; a damaged one that does neither would otherwise have us
    // count gigabytes of holes.
    for (const auto& run : bitmap.runs) {
      if (run.lcn < 0) {
        SetLastErrorCode(kErrorInvalidData);
        return false;
      }
    }
    const uint64_t total = boot_.totalClusters;
    const uint64_t bitmapBytes = (total + 7) / 8;
    if (bitmap.dataSize < bitmapBytes && !bitmap.resident) {
      SetLastErrorCode(kErrorInvalidData);
      return false;
    }
    uint64_t used = 0;
    std::vector<uint8_t> chunk;
    for (uint64_t byte = 0; byte < bitmapBytes; byte += 65536) {
      const uint64_t n = std::min<uint64_t>(65536, bitmapBytes - byte);
      chunk.assign(static_cast<size_t>(n), 0);
      if (!ReadValueBytes(bitmap, byte, chunk.data(), n)) {
        SetLastErrorCode(kErrorReadFault);
        return false;
      }
      // Bits past the last cluster in the final byte do not count.
      if (byte + n == bitmapBytes && total % 8 != 0) chunk[static_cast<size_t>(n - 1)] &= (1u << (total % 8)) - 1;
      for (uint64_t i = 0; i < n; ++i) used += static_cast<uint64_t>(__builtin_popcount(chunk[i]));
    }
    freeClusters = total - used;
    return true;
  }

  // ---- Reading through runs -------------------------------------------------
  // Bytes [offset, offset + length) of a run list; holes read as zeros.
  bool ReadRunBytes(const std::vector<Run>& runs, uint64_t offset, uint8_t* out, uint64_t length) {
    const uint64_t bpc = boot_.bytesPerCluster;
    while (length > 0) {
      size_t index = 0;
      uint64_t within = 0;
      if (!ntfs::FindRunOfVcn(runs, offset / bpc, index, within)) return false;
      const uint64_t inCluster = offset % bpc;
      const uint64_t avail = (runs[index].length - within) * bpc - inCluster;
      const uint64_t n = std::min(avail, length);
      if (runs[index].lcn < 0) {
        std::memset(out, 0, static_cast<size_t>(n));
      } else {
        const uint64_t at = (static_cast<uint64_t>(runs[index].lcn) + within) * bpc + inCluster;
        if (!source_.ReadBytes(at, out, static_cast<size_t>(n))) return false;
      }
      out += n;
      offset += n;
      length -= n;
    }
    return true;
  }

  // Bytes of an attribute value; bytes past the data size read as zeros.
  bool ReadValueBytes(const AttributeValue& v, uint64_t offset, uint8_t* out, uint64_t length) {
    std::memset(out, 0, static_cast<size_t>(length));
    if (offset >= v.dataSize) return true;
    const uint64_t n = std::min(length, v.dataSize - offset);
    if (v.resident) {
      if (!InBounds(v.bytes.size(), offset, n)) return false;
      std::memcpy(out, v.bytes.data() + offset, static_cast<size_t>(n));
      return true;
    }
    return ReadRunBytes(v.runs, offset, out, n);
  }

  // Raw MFT record `number`, fixed up; false when it cannot be read or its
  // update sequence is damaged.
  bool ReadMftRecord(uint64_t number, std::vector<uint8_t>& record) {
    const uint64_t size = boot_.bytesPerFileRecord;
    record.assign(static_cast<size_t>(size), 0);
    if (number > UINT64_MAX / size) return false;
    if (!ReadRunBytes(mftRuns_, number * size, record.data(), size)) return false;
    return ntfs::ApplyRecordFixups(MutableBytes(record.data(), record.size()));
  }

  // ---- Attributes, following attribute lists ---------------------------------
  // Adds one extent of the unnamed attribute `type` to `v`.
  void TakeExtent(Bytes record, const Attribute& a, AttributeValue& v, bool first) {
    Bytes attr = ntfs::AttributeBytes(record, a);
    if (!a.nonResident) {
      if (first) {
        Bytes value = ntfs::ResidentValue(record, a);
        v.resident = true;
        v.bytes.assign(value.begin(), value.end());
        v.dataSize = v.initializedSize = v.allocatedSize = value.size();
      }
      return;
    }
    if (first) {
      v.allocatedSize = le64(attr, ntfs::kAttrAllocatedSize);
      v.dataSize = le64(attr, ntfs::kAttrDataSize);
      v.initializedSize = le64(attr, ntfs::kAttrInitializedSize);
    }
    ntfs::DecodeMappingPairs(attr, boot_.totalClusters, v.runs);
  }

  Bytes AttributeListValue(Bytes record, const Attribute& a, std::vector<uint8_t>& storage) {
    if (!a.nonResident) return ntfs::ResidentValue(record, a);
    AttributeValue list;
    TakeExtent(record, a, list, true);
    // Attribute lists are small; a huge size is damage.
    if (list.dataSize > (1u << 20)) return {};
    storage.assign(static_cast<size_t>(list.dataSize), 0);
    if (!ReadValueBytes(list, 0, storage.data(), storage.size())) return {};
    return Bytes(storage.data(), storage.size());
  }

  // The unnamed attribute `type` of a base record, with all its extents.
  // While the $MFT's own $DATA is collected, every extent found extends
  // mftRuns_ at once, so the next extension record can be reached.
  bool CollectAttribute(Bytes record, uint32_t type, AttributeValue& v, bool growMftRuns) {
    Attribute a;
    bool have = ntfs::FirstAttributeOf(record, a);
    const Attribute* list = nullptr;
    Attribute listAttr;
    for (Attribute x = a; have; have = ntfs::NextAttributeOf(record, x, x)) {
      if (x.type == ntfs::kTypeAttributeList) {
        listAttr = x;
        list = &listAttr;
      }
      if (x.type == type && x.nameLength == 0) {
        TakeExtent(record, x, v, !v.found);
        v.found = true;
        if (growMftRuns) mftRuns_ = v.runs;
      }
    }
    if (!list || !v.found || v.resident) return v.found;
    std::vector<uint8_t> storage;
    Bytes entries = AttributeListValue(record, *list, storage);
    std::vector<uint8_t> ext;
    // Each entry is at least 26 bytes, so the walk ends; the count of
    // extension records read is bounded as well.
    size_t pos = 0, reads = 0;
    while (InBounds(entries.size(), pos, ntfs::kAleMinBytes) && reads < 4096) {
      const uint32_t etype = le32(entries, pos + ntfs::kAleType);
      const uint16_t elen = le16(entries, pos + ntfs::kAleLength);
      if (etype == 0 || elen < ntfs::kAleMinBytes || !InBounds(entries.size(), pos, elen)) break;
      const uint64_t ref = le64(entries, pos + ntfs::kAleReference) & ntfs::kRecordNumberMask;
      const uint64_t lowestVcn = le64(entries, pos + ntfs::kAleLowestVcn);
      if (etype == type && le8(entries, pos + ntfs::kAleNameLength) == 0 && lowestVcn != 0 && ref != 0) {
        ++reads;
        if (ReadMftRecord(ref, ext)) {
          Bytes er(ext.data(), ext.size());
          const uint16_t id = le16(entries, pos + ntfs::kAleAttributeId);
          Attribute y;
          for (bool h = ntfs::FirstAttributeOf(er, y); h; h = ntfs::NextAttributeOf(er, y, y)) {
            if (y.type == type && y.id == id && y.nonResident) {
              ntfs::DecodeMappingPairs(ntfs::AttributeBytes(er, y), boot_.totalClusters, v.runs);
              if (growMftRuns) mftRuns_ = v.runs;
              break;
            }
          }
        }
      }
      pos += elen;
    }
    return true;
  }

  bool ReadAttributeOfRecord(uint64_t number, uint32_t type, AttributeValue& v) {
    std::vector<uint8_t> record;
    if (!ReadMftRecord(number, record)) return false;
    return CollectAttribute(Bytes(record.data(), record.size()), type, v, false);
  }

  // Record 0 read where the boot sector says the MFT starts; its runs then
  // map every other record.
  void LoadMft() {
    const uint64_t size = boot_.bytesPerFileRecord;
    std::vector<uint8_t> record(static_cast<size_t>(size));
    if (!source_.ReadBytes(boot_.mftLcn * boot_.bytesPerCluster, record.data(), record.size())) return;
    if (!ntfs::ApplyRecordFixups(MutableBytes(record.data(), record.size()))) return;
    const uint64_t clusters = (size + boot_.bytesPerCluster - 1) / boot_.bytesPerCluster;
    mftRuns_ = {Run{static_cast<int64_t>(boot_.mftLcn), clusters}};
    Bytes r(record.data(), record.size());
    if (!CollectAttribute(r, ntfs::kTypeData, mftData_, true) || mftData_.resident || mftRuns_.empty()) return;
    mftRuns_ = mftData_.runs;
    if (!CollectAttribute(r, ntfs::kTypeBitmap, mftBitmap_, false)) return;
    recordCount_ = mftData_.initializedSize / size;
    mftOk_ = recordCount_ > 0;
  }

  Text ReadLabel() {
    AttributeValue name;
    if (!mftOk_ || !ReadAttributeOfRecord(ntfs::kMftRecordVolume, ntfs::kTypeVolumeName, name) || !name.resident) return {};
    Text t;
    for (size_t i = 0; i + 1 < name.bytes.size(); i += 2)
      t.push_back(static_cast<char16_t>(name.bytes[i] | (name.bytes[i + 1] << 8)));
    return t;
  }

  // ---- The three control requests ----------------------------------------------
  NtStatus VolumeData(void* out, uint32_t outLength, uint64_t& information) {
    if (!out || outLength < kVolumeDataBytes) return kStatusBufferTooSmall;
    if (!mftOk_) return kStatusFileCorrupt;
    uint64_t freeClusters = 0;
    if (!CountFreeClusters(freeClusters)) return kStatusFileCorrupt;
    MutableBytes b(static_cast<uint8_t*>(out), kVolumeDataBytes);
    std::memset(out, 0, kVolumeDataBytes);
    const uint64_t bpc = boot_.bytesPerCluster, total = boot_.totalClusters;
    namespace vd = fsctl::volume_data;
    put64(b, vd::kSerialNumber, boot_.serialNumber);
    put64(b, vd::kTotalSectors, boot_.totalSectors);
    put64(b, vd::kTotalClusters, total);
    put64(b, vd::kFreeClusters, freeClusters);
    put32(b, vd::kBytesPerSector, boot_.bytesPerSector);
    put32(b, vd::kBytesPerCluster, static_cast<uint32_t>(bpc));
    put32(b, vd::kBytesPerFileRecord, boot_.bytesPerFileRecord);
    put32(b, vd::kClustersPerFileRecord,
          static_cast<uint32_t>(boot_.bytesPerFileRecord >= bpc ? boot_.bytesPerFileRecord / bpc : 0));
    put64(b, vd::kMftValidDataLength, mftData_.initializedSize);
    put64(b, vd::kMftStartLcn, boot_.mftLcn);
    put64(b, vd::kMft2StartLcn, boot_.mftMirrLcn);
    // The reserved zone follows the MFT's first run and covers an eighth of
    // the volume, as the file system lays it out on a fresh volume.
    const uint64_t zoneStart = std::min<uint64_t>(boot_.mftLcn + mftRuns_.front().length, total - 1);
    put64(b, vd::kMftZoneStart, zoneStart);
    put64(b, vd::kMftZoneEnd, std::min<uint64_t>(zoneStart + total / 8, total - 1));
    information = kVolumeDataBytes;
    return kStatusSuccess;
  }

  // A search asks for the record of every folder it places, scattered over
  // the MFT; the bitmap is read a chunk at a time (4 KiB of bits, 32,768
  // records) and the last chunk kept, so most of those asks read only the
  // record.
  bool RecordInUse(uint64_t number, bool& inUse) {
    const uint64_t at = number / 8 / kBitmapChunkBytes * kBitmapChunkBytes;
    if (at != bitmapChunkAt_) {
      bitmapChunkAt_ = kNoChunk;
      if (!ReadValueBytes(mftBitmap_, at, bitmapChunk_, kBitmapChunkBytes)) {
        // A bad sector elsewhere in the chunk: the byte alone may still read.
        uint8_t byte = 0;
        if (!ReadValueBytes(mftBitmap_, number / 8, &byte, 1)) return false;
        inUse = (byte >> (number % 8)) & 1;
        return true;
      }
      bitmapChunkAt_ = at;
    }
    inUse = (bitmapChunk_[number / 8 - at] >> (number % 8)) & 1;
    return true;
  }

  NtStatus FileRecord(const void* in, uint32_t inLength, void* out, uint32_t outLength, uint64_t& information) {
    if (!in || inLength < 8) return kStatusInvalidParameter;
    const uint32_t size = boot_.bytesPerFileRecord;
    if (!out || outLength < kFileRecordHeaderBytes + size) return kStatusBufferTooSmall;
    if (!mftOk_) return kStatusFileCorrupt;
    uint64_t number = le64(Bytes(static_cast<const uint8_t*>(in), 8), 0) & ntfs::kRecordNumberMask;
    if (number >= recordCount_) number = recordCount_ - 1;
    // The nearest record in use at or below the one asked for, by the
    // $MFT:$BITMAP; records 0-15 are always in use, so the walk is short
    // unless the bitmap is damaged, and then it ends at 0.
    for (;;) {
      bool inUse = false;
      if (!RecordInUse(number, inUse)) return kStatusDeviceDataError;
      if (inUse) break;
      if (number == 0) return kStatusInvalidParameter;
      --number;
    }
    std::vector<uint8_t> record;
    if (!ReadMftRecord(number, record)) return kStatusFileCorrupt;
    MutableBytes o(static_cast<uint8_t*>(out), outLength);
    const uint64_t sequence = le16(Bytes(record.data(), record.size()), ntfs::kRecSequence);
    put64(o, fsctl::file_record::kFileReference, number | (sequence << 48));
    put32(o, fsctl::file_record::kRecordLength, size);
    std::memcpy(o.data() + kFileRecordHeaderBytes, record.data(), size);
    information = kFileRecordHeaderBytes + size;
    return kStatusSuccess;
  }

  NtStatus VolumeBitmap(const void* in, uint32_t inLength, void* out, uint32_t outLength, uint64_t& information) {
    if (!in || inLength < 8) return kStatusInvalidParameter;
    if (!out || outLength < kBitmapHeaderBytes) return kStatusBufferTooSmall;
    const int64_t asked = static_cast<int64_t>(le64(Bytes(static_cast<const uint8_t*>(in), 8), 0));
    const uint64_t total = boot_.totalClusters;
    if (asked < 0 || static_cast<uint64_t>(asked) >= total) return kStatusInvalidParameter;
    AttributeValue bitmap;
    if (!mftOk_ || !ReadAttributeOfRecord(ntfs::kMftRecordBitmap, ntfs::kTypeData, bitmap)) return kStatusFileCorrupt;
    const uint64_t start = static_cast<uint64_t>(asked) & ~uint64_t{7};
    const uint64_t clusters = total - start;
    const uint64_t needed = (clusters + 7) / 8;
    const uint64_t room = outLength - kBitmapHeaderBytes;
    const uint64_t n = std::min(needed, room);
    MutableBytes o(static_cast<uint8_t*>(out), outLength);
    put64(o, fsctl::bitmap::kStartingLcn, start);
    put64(o, fsctl::bitmap::kBitmapSize, clusters);
    uint8_t* bits = o.data() + kBitmapHeaderBytes;
    if (!ReadValueBytes(bitmap, start / 8, bits, n)) return kStatusDeviceDataError;
    // Bits past the last cluster are not part of the answer.
    if (n == needed && clusters % 8 != 0) bits[n - 1] &= static_cast<uint8_t>((1u << (clusters % 8)) - 1);
    information = kBitmapHeaderBytes + n;
    return n < needed ? kStatusBufferOverflow : kStatusSuccess;
  }

  VolumeSource& source_;
  ntfs::BootSector boot_;
  FsFacts facts_;
  std::mutex mutex_;
  bool mftOk_ = false;
  std::vector<Run> mftRuns_;
  AttributeValue mftData_;
  AttributeValue mftBitmap_;
  uint64_t recordCount_ = 0;
  static constexpr uint64_t kBitmapChunkBytes = 4096;
  static constexpr uint64_t kNoChunk = UINT64_MAX;
  uint8_t bitmapChunk_[kBitmapChunkBytes] = {};
  uint64_t bitmapChunkAt_ = kNoChunk;  // byte offset of the chunk held, or kNoChunk
};

}  // namespace

std::unique_ptr<OnDiskFs> MakeNtfsOnDisk(VolumeSource& source, const uint8_t* bootSector, size_t length) {
  ntfs::BootSector boot;
  if (!ntfs::ParseBootSector(bootSector, length, boot)) return nullptr;
  return std::make_unique<NtfsOnDisk>(source, boot);
}

}  // namespace rv
