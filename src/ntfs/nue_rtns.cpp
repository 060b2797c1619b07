// NTFS volume setup and teardown, the list of clusters holding the MFT, the
// $MFT bitmap, the raw record window, and the rebuilding of a record's
// folder path.
#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "ntfs/nue.h"
#include "format/fsctl.h"
#include "platform/lasterror.h"
#include "platform/system.h"
#include "platform/text.h"
#include "volume/diaglog.h"

namespace rv {
namespace {

constexpr const char* kSubs = "NtfsSubs";
// Longer than any path NTFS allows, and deeper than any real tree: a
// parent chain that goes on is damage.
constexpr size_t kMaxPathUnits = 32767;
constexpr size_t kMaxFolderDepth = 1024;
// Where files go whose folder cannot be placed.
constexpr const char16_t* kOrphanFolder = u"\\$Orphan";

uint8_t* AlignUp(uint8_t* p, uint64_t alignment) {
  const uintptr_t a = reinterpret_cast<uintptr_t>(p);
  return reinterpret_cast<uint8_t*>((a + alignment - 1) / alignment * alignment);
}

void ClampMftZone(NueVolumeData& v) {
  const uint64_t last = v.totalClusters - 1;
  if (v.mftZoneStart > last) v.mftZoneStart = last;
  if (v.mftZoneEnd < v.mftZoneStart) v.mftZoneEnd = v.mftZoneStart;
  if (v.mftZoneEnd > last) v.mftZoneEnd = last;
}

bool AllocateBuffers(NueVolumeData& v) {
  const uint32_t withSector = static_cast<uint32_t>(kWindowBytes + v.bytesPerSector);
  if (!AllocGlobalBlock(withSector, &v.transferBlock, nullptr)) return false;
  void* address = nullptr;
  if (!AllocGlobalBlock(kRunTableInitialBytes, &v.runTable, &address)) {
    v.runTableCapacity = 0;
    return false;
  }
  v.runTableAddress = static_cast<uint8_t*>(address);
  v.runTableCapacity = kRunTableInitialBytes;
  v.runAreaSize = 4096 * 16;
  if (v.bitmapBitCount / 8 + 24 > UINT32_MAX) return false;
  v.volumeBitmapSize = static_cast<uint32_t>(v.bitmapBitCount / 8 + 24);
  if (!AllocGlobalBlock(v.volumeBitmapSize, &v.volumeBitmap, nullptr)) return false;
  address = nullptr;
  if (!AllocGlobalBlock(withSector, &v.windowBlock, &address)) return false;
  v.windowAddress = static_cast<uint8_t*>(address);
  v.recordBuffer = AlignUp(v.windowAddress, v.bytesPerSector);
  return true;
}

// Runs of the unnamed $DATA of system record `number`; false when the
// record does not come back as asked or has no runs.
bool SystemFileRuns(NueVolumeData& v, uint64_t number, RunGroupView& group, int siteRead, int siteRuns,
                    int siteOrdinal, int siteEmpty, std::vector<uint8_t>& record) {
  record.assign(static_cast<size_t>(v.bytesPerFileRecord), 0);
  uint64_t got = number;
  if (!ReadFileRecord(v, got, record.data(), record.size()) || got != number) {
    ErrorRecord(kSubs, siteRead);
    return false;
  }
  v.currentRecordNumber = number;
  if (!GetAttributeRuns(v, u"", ntfs::kTypeData, record.data()) || !FirstRunGroup(v, group)) {
    ErrorRecord(kSubs, siteRuns);
    return false;
  }
  if (group.ordinal != 0) {
    ErrorRecord(kSubs, siteOrdinal);
    return false;
  }
  if (group.runs.empty() || group.runs[0].lcn < 0) {
    ErrorRecord(kSubs, siteEmpty);
    return false;
  }
  return true;
}

bool RecordInUse(const NueVolumeData& v, const uint8_t* bitmap, uint64_t n) {
  // Records past the bitmap have no "free" bit to show.
  if (n / 8 >= v.mftBitmapBytes) return true;
  return (bitmap[n / 8] >> (n % 8)) & 1;
}

// After a failed read of `length` bytes at volume byte `byte`: the same
// bytes a record (or a sector, when larger) at a time, so one unreadable
// sector costs the records in it, not the whole window. What cannot be read
// is left zero, and fails its fixups. True when any piece was read.
bool ReadPieceByPiece(NueVolumeData& v, uint64_t byte, uint64_t length, uint8_t* dest) {
  const uint64_t piece = std::max<uint64_t>(v.bytesPerFileRecord, v.bytesPerSector);
  bool any = false;
  for (uint64_t done = 0; done < length; done += piece) {
    const uint64_t n = std::min(piece, length - done);
    const bool read = (byte + done) % v.bytesPerSector == 0 && n % v.bytesPerSector == 0 &&
                      DasdReadCluster(v, (byte + done) / v.bytesPerSector, n / v.bytesPerSector, dest + done,
                                      v.bytesPerSector, v.bytesPerSector);
    if (!read) std::memset(dest + done, 0, static_cast<size_t>(n));
    any |= read;
  }
  return any;
}

// Reads the 64 KiB of MFT from virtual byte `start` into the window, piece
// by piece along the MFT runs. Pieces that cannot be read stay zero, so the
// records in them fail their fixups; false when nothing could be read.
// The $MFT's runs from the volume record's run table.
void MftRunList(const NueVolumeData& v, std::vector<ntfs::Run>& list) {
  list.clear();
  Bytes raw(v.mftRunsAddress, v.mftRunCount * kRunEntryBytes);
  for (uint32_t i = 0; i < v.mftRunCount; ++i)
    list.push_back({static_cast<int64_t>(le64(raw, kRunEntryBytes * i + runtable::kRunLcn)),
                    le64(raw, kRunEntryBytes * i + runtable::kRunLength)});
}

bool FillWindow(NueVolumeData& v, uint64_t start) {
  // Every byte of the window is written below, read or zeroed, so the
  // window is not cleared first: the scan refills it 16 times per MiB.
  thread_local std::vector<ntfs::Run> list;
  MftRunList(v, list);
  const uint64_t bpc = v.bytesPerCluster;
  // Clusters above 64 KiB are read in 64 KiB units; the window never
  // crosses such a cluster, because it starts at a 64 KiB boundary.
  const uint64_t unit = std::min<uint64_t>(bpc, kWindowBytes);
  bool any = false;
  for (uint64_t done = 0; done < kWindowBytes;) {
    const uint64_t pos = start + done;
    size_t index = 0;
    uint64_t within = 0;
    if (!ntfs::FindRunOfVcn(list, pos / bpc, index, within)) {
      // Past the MFT's clusters.
      std::memset(v.recordBuffer + done, 0, static_cast<size_t>(kWindowBytes - done));
      break;
    }
    const uint64_t inCluster = pos % bpc;
    const uint64_t avail = (list[index].length - within) * bpc - inCluster;
    const uint64_t n = std::min<uint64_t>(avail, kWindowBytes - done);
    bool read = false;
    if (list[index].lcn >= 0) {
      const uint64_t byte = (static_cast<uint64_t>(list[index].lcn) + within) * bpc + inCluster;
      read = DasdReadCluster(v, byte / unit, n / unit, v.recordBuffer + done, v.bytesPerSector, unit);
      if (!read) read = ReadPieceByPiece(v, byte, n, v.recordBuffer + done);
    } else {
      // A hole leaves zeros.
      std::memset(v.recordBuffer + done, 0, static_cast<size_t>(n));
    }
    any |= read;
    done += n;
  }
  return any;
}

}  // namespace

NueVolumeData& TheNueVolume() {
  static NueVolumeData volume;
  return volume;
}

BOOL GetNtfsVolumeData(NueVolumeData& v) {
  v.handle.reset();
  int32_t kind = kFsNotUsable;
  if (!GetFileSystemKind(Text(v.devicePath), kind, v.label)) {
    ErrorRecord(kSubs, 2395);
    return kFalse;
  }
  v.fileSystemKind = kind;
  if (kind != kFsNtfs) return kFalse;
  if (!OpenVolumeHandle(v, true)) {
    ErrorRecord(kSubs, 2419);
    return kFalse;
  }
  // NTFS_VOLUME_DATA_BUFFER; offsets as declared by the on-disk layer.
  uint8_t data[96] = {};
  uint64_t returned = 0;
  if (!DasdFsControl(v.handle.get(), FSCTL_GET_NTFS_VOLUME_DATA_CODE, nullptr, 0, data, sizeof data, &returned)) {
    ErrorRecord(kSubs, 2429);
    return kFalse;
  }
  Bytes b(data, sizeof data);
  namespace vd = fsctl::volume_data;
  v.totalSectors = le64(b, vd::kTotalSectors);
  v.totalClusters = le64(b, vd::kTotalClusters);
  const uint64_t freeClusters = le64(b, vd::kFreeClusters);
  v.bytesPerSector = le32(b, vd::kBytesPerSector);
  v.bytesPerCluster = le32(b, vd::kBytesPerCluster);
  v.bytesPerFileRecord = le32(b, vd::kBytesPerFileRecord);
  v.clustersPerFileRecord = le32(b, vd::kClustersPerFileRecord);
  const uint64_t mftValid = le64(b, vd::kMftValidDataLength);
  v.mftStartCluster = le64(b, vd::kMftStartLcn);
  v.mftMirrorStartCluster = le64(b, vd::kMft2StartLcn);
  v.mftZoneStart = le64(b, vd::kMftZoneStart);
  v.mftZoneEnd = le64(b, vd::kMftZoneEnd);
  if (v.bytesPerSector == 0) {
    ErrorRecord(kSubs, 2444);
    return kFalse;
  }
  if (v.bytesPerFileRecord == 0) {
    ErrorRecord(kSubs, 2445);
    return kFalse;
  }
  if (v.bytesPerCluster < v.bytesPerSector || v.bytesPerCluster % v.bytesPerSector != 0 || v.totalClusters == 0 ||
      freeClusters > v.totalClusters || v.bytesPerFileRecord > kWindowBytes ||
      v.totalClusters > UINT64_MAX / v.bytesPerCluster) {
    SetLastErrorCode(kErrorInvalidData);
    ErrorRecord(kSubs, 2445);
    return kFalse;
  }
  ClampMftZone(v);
  v.freeBytes = freeClusters * v.bytesPerCluster;
  v.usedBytes = v.totalClusters * v.bytesPerCluster - v.freeBytes;
  v.usedClusters = v.totalClusters - freeClusters;
  v.sectorsPerCluster = v.bytesPerCluster / v.bytesPerSector;
  v.mftByteOffset = v.bytesPerCluster * v.mftStartCluster;
  v.mftRecordCount = mftValid / v.bytesPerFileRecord;
  v.currentRecordNumber = v.mftRecordCount;
  v.halfClusterCount = v.totalClusters / 2;
  v.bitmapBitCount = ((v.totalClusters + 31) / 32 + 1) * 32;
  return kTrue;
}

int FreeNueVolumeDataStructures(NueVolumeData& v) {
  FreeGlobalBlock(&v.transferBlock, nullptr);
  FreeGlobalBlock(&v.windowBlock, reinterpret_cast<void**>(&v.windowAddress));
  FreeGlobalBlock(&v.mftRuns, reinterpret_cast<void**>(&v.mftRunsAddress));
  FreeGlobalBlock(&v.volumeBitmap, nullptr);
  FreeGlobalBlock(&v.mftBitmap, nullptr);
  FreeGlobalBlock(&v.runTable, reinterpret_cast<void**>(&v.runTableAddress));
  v.handle.reset();
  v = NueVolumeData{};
  return 0;
}

BOOL SetupNueVolumeDataStructures(TextView volumeName, NueVolumeData& v, BOOL force) {
  if (!force && v.devicePath[0] != 0 && EqualsIgnoreCase(volumeName, Text(v.devicePath))) return kTrue;
  const bool ok = !IsRemoteVolume(volumeName) && (v.devicePath[0] == 0 || FreeNueVolumeDataStructures(v) == 0) &&
                  ResolveVolumeDevicePath(volumeName, v) && (EmptyRawWindow(v), GetNtfsVolumeData(v)) &&
                  AllocateBuffers(v) && BuildMftRunTable(v);
  if (!ok) {
    FreeNueVolumeDataStructures(v);
    return kFalse;
  }
  TraceEvent("NueRtns::SetupNueVolumeDataStructures", 0, -1, nullptr);
  return kTrue;
}

BOOL BuildMftRunTable(NueVolumeData& v) {
  std::vector<uint8_t> record;
  RunGroupView mirror, upcase, mft;
  if (!SystemFileRuns(v, 1, mirror, 3472, 3475, 3479, 3481, record)) return kFalse;
  if (!SystemFileRuns(v, 10, upcase, 3491, 3494, 3498, 3500, record)) return kFalse;
  if (!SystemFileRuns(v, 0, mft, 3510, 3514, 3518, 3520, record)) return kFalse;
  v.mftDataSize = mft.dataSize;
  const uint64_t claimed = mft.dataSize / v.bytesPerFileRecord;
  v.mftRecordsNeverWritten = claimed > v.mftRecordCount ? claimed - v.mftRecordCount : 0;
  uint64_t mapped = 0;
  for (const auto& r : mft.runs) mapped += r.length;
  // A valid data length beyond the clusters the $MFT owns is damage: the
  // scan stops at the last record that has clusters.
  const uint64_t mappedRecords = mapped * v.bytesPerCluster / v.bytesPerFileRecord;
  if (v.mftRecordCount > mappedRecords) v.mftRecordCount = mappedRecords;
  // The clusters from the start of the $MFTMirr data to the end of the first
  // $UpCase run follow the $MFT's own runs; the scan limit stays the valid
  // data length, so no record number is ever mapped into them.
  const uint64_t m = static_cast<uint64_t>(mirror.runs[0].lcn);
  const uint64_t upEnd = static_cast<uint64_t>(upcase.runs[0].lcn) + upcase.runs[0].length;
  if (upEnd > m) mft.runs.push_back({static_cast<int64_t>(m), upEnd - m});
  v.mftRunCount = static_cast<uint32_t>(mft.runs.size());
  void* address = nullptr;
  if (!AllocGlobalBlock(v.mftRunCount * kRunEntryBytes, &v.mftRuns, &address)) {
    ErrorRecord(kSubs, 3530);
    return kFalse;
  }
  v.mftRunsAddress = static_cast<uint8_t*>(address);
  MutableBytes out(v.mftRunsAddress, v.mftRunCount * kRunEntryBytes);
  for (uint32_t i = 0; i < v.mftRunCount; ++i) {
    put64(out, kRunEntryBytes * i + runtable::kRunLcn, static_cast<uint64_t>(mft.runs[i].lcn));
    put64(out, kRunEntryBytes * i + runtable::kRunLength, mft.runs[i].length);
  }
  return kTrue;
}

BOOL LoadMftBitmap(NueVolumeData& v) {
  std::vector<uint8_t> record(static_cast<size_t>(v.bytesPerFileRecord));
  uint64_t number = 0;
  if (!ReadFileRecord(v, number, record.data(), record.size())) {
    ErrorRecord(kSubs, 3745);
    return kFalse;
  }
  if (number != 0) {
    ErrorRecord(kSubs, 3748);
    return kFalse;
  }
  Bytes r(record.data(), record.size());
  std::vector<uint8_t> bits;
  ntfs::Attribute a;
  bool resident = false;
  for (bool have = ntfs::FirstAttributeOf(r, a); have; have = ntfs::NextAttributeOf(r, a, a))
    if (a.type == ntfs::kTypeBitmap && a.nameLength == 0) {
      resident = !a.nonResident;
      break;
    }
  if (resident) {
    // A small MFT may keep its bitmap inside record 0.
    Bytes value = ntfs::ResidentValue(r, a);
    bits.assign(value.begin(), value.end());
  } else {
    v.currentRecordNumber = 0;
    RunGroupView group;
    if (!GetAttributeRuns(v, u"", ntfs::kTypeBitmap, record.data()) || !FirstRunGroup(v, group)) {
      ErrorRecord(kSubs, 3751);
      return kFalse;
    }
    // Only the bits of the records the scan reads are loaded: a bitmap
    // that claims more (with an $MFT whose data runs past its initialized
    // size) holds nothing about records that were never written.
    const uint64_t needed = ((v.mftRecordCount + 7) / 8 + v.bytesPerCluster - 1) / v.bytesPerCluster;
    const uint64_t clusters = std::min(v.totalRunClusters, std::max<uint64_t>(needed, 1));
    if (clusters == 0 || clusters > UINT32_MAX / v.bytesPerCluster) {
      ErrorRecord(kSubs, 3754);
      return kFalse;
    }
    bits.assign(static_cast<size_t>((clusters + 1) * v.bytesPerCluster), 0);
    uint8_t* at = bits.data();
    uint64_t left = clusters;
    for (const auto& run : group.runs) {
      if (left == 0) break;
      const uint64_t n = std::min(run.length, left);
      if (run.lcn >= 0 &&
          !DasdReadCluster(v, static_cast<uint64_t>(run.lcn), n, at, v.bytesPerSector, v.bytesPerCluster)) {
        ErrorRecord(kSubs, 3774);
        return kFalse;
      }
      at += n * v.bytesPerCluster;
      left -= n;
    }
    bits.resize(static_cast<size_t>(clusters * v.bytesPerCluster));
  }
  void* address = nullptr;
  if (bits.empty() || bits.size() > UINT32_MAX || !AllocGlobalBlock(static_cast<uint32_t>(bits.size()), &v.mftBitmap, &address)) {
    ErrorRecord(kSubs, 3754);
    return kFalse;
  }
  std::memcpy(address, bits.data(), bits.size());
  v.mftBitmapBytes = bits.size();
  uint64_t inUse = 0;
  for (uint64_t i = 0; i < v.mftRecordCount / 8 && i < bits.size(); ++i) inUse += __builtin_popcount(bits[i]);
  v.recordsInUse = inUse;
  gmem::Unlock(v.mftBitmap);
  return kTrue;
}

BOOL ReadNextFreeFileRecord(NueVolumeData& v, uint64_t& number, uint8_t*& record) {
  record = nullptr;
  const uint8_t* bitmap = v.mftBitmap ? static_cast<const uint8_t*>(gmem::Lock(v.mftBitmap)) : nullptr;
  if (!bitmap || !v.mftRunsAddress || !v.recordBuffer) {
    if (bitmap) gmem::Unlock(v.mftBitmap);
    return kFalse;
  }
  while (number < v.mftRecordCount && RecordInUse(v, bitmap, number)) ++number;
  gmem::Unlock(v.mftBitmap);
  if (number >= v.mftRecordCount) {
    number = v.mftRecordCount;
    return kTrue;
  }
  const uint64_t size = v.bytesPerFileRecord;
  if (size == 0 || size > kWindowBytes || v.bytesPerCluster == 0) return kFalse;
  if (!(number >= v.windowFirst && number < v.windowEnd)) {
    const uint64_t perWindow = kWindowBytes / size;
    uint64_t start;
    if (v.bytesPerCluster > kWindowBytes) {
      start = number / perWindow * perWindow;
    } else if (v.clustersPerFileRecord != 0) {
      start = number;
    } else {
      const uint64_t perCluster = v.bytesPerCluster / size;
      if (perCluster == 0) return kFalse;
      start = number / perCluster * perCluster;
    }
    EmptyRawWindow(v);
    if (!FillWindow(v, start * size)) return kFalse;
    v.windowFirst = start;
    v.windowEnd = start + perWindow;
  }
  record = v.recordBuffer + (number - v.windowFirst) * size;
  return ApplyFixups(record, size);
}

bool RecordVolumeOffset(const NueVolumeData& v, uint64_t number, uint64_t& offset) {
  const uint64_t bpc = v.bytesPerCluster, size = v.bytesPerFileRecord;
  if (!v.mftRunsAddress || bpc == 0 || size == 0 || number >= v.mftRecordCount) return false;
  std::vector<ntfs::Run> list;
  MftRunList(v, list);
  const uint64_t pos = number * size;
  size_t index = 0;
  uint64_t within = 0;
  if (!ntfs::FindRunOfVcn(list, pos / bpc, index, within) || list[index].lcn < 0) return false;
  const uint64_t inCluster = pos % bpc;
  if ((list[index].length - within) * bpc - inCluster < size) return false;
  offset = (static_cast<uint64_t>(list[index].lcn) + within) * bpc + inCluster;
  return true;
}

BOOL BuildRecordPath(NueVolumeData& v, Bytes record) {
  const ntfs::AttributeWalk walk(record);
  return BuildRecordPath(v, walk);
}

BOOL BuildRecordPath(NueVolumeData& v, const ntfs::AttributeWalk& record) {
  // Kept between records, as the search names one file per deleted record.
  thread_local Text name;
  uint64_t parent = 0;
  uint16_t parentSequence = 0;
  BOOL found = kFalse;
  if (!GetRecordFileName(v, record, name, parent, parentSequence, found) || !found) return kFalse;
  v.currentFileName = name;
  const uint64_t parentReference = parent | uint64_t{parentSequence} << ntfs::kReferenceSequenceShift;
  if (parentReference == v.lastParent && !v.currentFullPath.empty()) {
    // Files of one folder follow each other in the MFT: the folder is the
    // one the last file was placed in, only the name changes.
    const size_t slash = v.currentFullPath.rfind(u'\\');
    if (slash == Text::npos) return kFalse;
    v.currentFullPath.resize(slash + 1);
    v.currentFullPath += name;
    return kTrue;
  }
  // Until this folder is placed, no later file may take the shortcut above
  // with the path of another folder.
  v.lastParent = UINT64_MAX;
  v.currentFullPath.clear();
  Text folder;
  if (parent != ntfs::kRootFolderRecord) {
    if (v.folderPaths.size() != NueVolumeData::kFolderSlots) v.folderPaths.assign(NueVolumeData::kFolderSlots, {});
    auto slotOf = [&](uint64_t record) -> NueVolumeData::FolderSlot& {
      return v.folderPaths[record % NueVolumeData::kFolderSlots];
    };
    // The folders climbed, from the parent up, with their names and the
    // sequence numbers their records hold.
    struct Climbed {
      uint64_t record;
      uint16_t sequence;
      bool inUse;
      Text name;
    };
    std::vector<Climbed> climbed;
    std::vector<uint8_t> block(static_cast<size_t>(v.bytesPerFileRecord));
    std::unordered_set<uint64_t> visited;
    uint64_t current = parent;
    uint16_t expected = parentSequence;
    size_t units = 0;
    // A folder that cannot be placed (its record unreadable, now a file,
    // reused since, out of range, or the parents loop) leaves the folders
    // climbed so far, which are trusted, under one folder that says their
    // place is unknown.
    bool orphan = false;
    while (current != ntfs::kRootFolderRecord) {
      const NueVolumeData::FolderSlot& known = slotOf(current);
      if (known.record == current && ntfs::SequenceNames(known.sequence, known.inUse, expected)) {
        folder = known.path;
        break;
      }
      if (!visited.insert(current).second || visited.size() > kMaxFolderDepth || units > kMaxPathUnits) {
        orphan = true;
        break;
      }
      uint64_t got = current;
      Bytes folderRecord;
      if (ReadFileRecord(v, got, block.data(), block.size()) && got == current) {
        folderRecord = Bytes(block.data(), block.size());
      } else {
        // A deleted folder: its record is free and read raw.
        uint8_t* raw = nullptr;
        got = current;
        if (!ReadNextFreeFileRecord(v, got, raw) || got != current || !raw) {
          orphan = true;
          break;
        }
        std::memcpy(block.data(), raw, block.size());
        folderRecord = Bytes(block.data(), block.size());
      }
      const uint16_t flags = le16(folderRecord, ntfs::kRecFlags);
      const uint16_t sequence = le16(folderRecord, ntfs::kRecSequence);
      const bool inUse = (flags & ntfs::kRecInUse) != 0;
      if (!(flags & ntfs::kRecDirectory) || !ntfs::SequenceNames(sequence, inUse, expected)) {
        orphan = true;
        break;
      }
      Text folderName;
      uint64_t next = 0;
      uint16_t nextSequence = 0;
      BOOL ok = kFalse;
      const ntfs::AttributeWalk folderWalk(folderRecord);
      if (!GetRecordFileName(v, folderWalk, folderName, next, nextSequence, ok) || !ok) {
        orphan = true;
        break;
      }
      units += folderName.size() + 1;
      climbed.push_back({current, sequence, inUse, std::move(folderName)});
      current = next;
      expected = nextSequence;
    }
    if (orphan) folder = kOrphanFolder;
    // Down again from the highest folder climbed, each placed as it is
    // reached.
    for (size_t i = climbed.size(); i-- > 0;) {
      folder += u"\\";
      folder += climbed[i].name;
      NueVolumeData::FolderSlot& slot = slotOf(climbed[i].record);
      slot.record = climbed[i].record;
      slot.sequence = climbed[i].sequence;
      slot.inUse = climbed[i].inUse;
      slot.path = folder;
    }
  }
  if (folder.empty() || folder.back() != u'\\') folder += u"\\";
  Text prefix;
  if (v.driveLetter) {
    prefix.push_back(v.driveLetter);
    prefix += u":";
  } else {
    prefix = Text(v.devicePath);
  }
  v.currentFolderPath = folder;
  v.currentFullPath = prefix + folder + name;
  v.lastParent = parentReference;
  return kTrue;
}

uint32_t ExamineRecord(NueVolumeData& v, Bytes record, RecordExamination& out) {
  const uint16_t flags = le16(record, ntfs::kRecFlags);
  if (flags & ntfs::kRecInUse) return kExamineInUse;
  const ntfs::AttributeWalk walk(record);
  // Windows keeps the link count of a deleted record; ntfs-3g and the Linux
  // drivers zero it. A record without links is nameless only when it also
  // holds no $FILE_NAME.
  if (le16(record, ntfs::kRecLinkCount) == 0 && walk.Find(ntfs::kTypeFileName) == walk.size()) return kExamineNameless;
  if (flags & ntfs::kRecDirectory) return kExamineDirectory;
  uint32_t status = 0;
  if (!ClassifyFileRecord(v, walk, out.modificationTime, status) || (status != 1 && status != 2)) return kExamineDamaged;
  out.dataKind = status;
  // The classification found a resident $STANDARD_INFORMATION; its value
  // holds the four times from its start.
  const size_t si = walk.Find(ntfs::kTypeStandardInformation);
  if (si < walk.size() && !walk[si].nonResident) {
    const Bytes value = ntfs::ResidentValue(record, walk[si]);
    if (value.size() >= ntfs::kSiAccessTime + 8) {
      out.times.created = le64(value, ntfs::kSiCreationTime);
      out.times.changed = le64(value, ntfs::kSiChangeTime);
      out.times.accessed = le64(value, ntfs::kSiAccessTime);
    }
  }
  const uint64_t dataSize = v.dataSize;
  if (!BuildRecordPath(v, walk)) return kExamineNoPath;
  v.dataSize = dataSize;
  v.listedDataKind = status;
  return 0;
}

}  // namespace rv
