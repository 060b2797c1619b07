// The FAT layout (boot sector, FAT position, data area, root directory),
// entry names and paths, listing compaction and the display formatters.
#include <cstring>
#include <vector>

#include "fat/fue.h"
#include "format/fat_entry.h"
#include "platform/lasterror.h"
#include "platform/system.h"
#include "platform/text.h"
#include "volume/diaglog.h"
#include "format/le.h"

namespace rv {

using fat::kEntryBytes;
using fat::kDeletedMark;
using fat::kAttrLongName;
using fat::kAttrDirectory;
using fat::kAttrVolumeLabel;
namespace {

constexpr const char* kModule = "FastFat2";

// Directory entries: format/fat_entry.h.
// Long-name entry (32 bytes): 0x00 sequence byte (0x40 flag = last entry of
// the set), 0x01 five UTF-16 units, 0x0B attribute 0x0F, 0x0E six units,
// 0x1C two units.
constexpr size_t kLongNameUnits = 13;
constexpr size_t kLongNameOffsets[kLongNameUnits] = {0x01, 0x03, 0x05, 0x07, 0x09, 0x0E, 0x10,
                                                     0x12, 0x14, 0x16, 0x18, 0x1C, 0x1E};

// OEM code page 437, bytes 0x80-0xFF.
constexpr char16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

// Byte 12 of a short entry: lower-case flags of the base name and extension.
constexpr size_t kCaseFlags = 0x0C;
constexpr uint8_t kLowerBase = 0x08;
constexpr uint8_t kLowerExt = 0x10;

// The lower case of the capitals a code page 437 short name can hold
// (Latin, Latin-1 and the Greek capitals of the code page).
char16_t LowerChar(char16_t c) {
  if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 0x20);
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 0x20);
  if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return static_cast<char16_t>(c + 0x20);
  return c;
}

char16_t ShortNameChar(uint8_t b, bool lower) {
  const char16_t c = Cp437Char(b);
  return lower ? LowerChar(c) : c;
}

Text GroupedDecimal(uint64_t v) {
  const Text digits = DecimalText(v);
  Text out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) out.push_back(u',');
    out.push_back(digits[i]);
  }
  return out;
}

bool FreeBootAndFail(gmem::Handle& boot, void*& address, int site) {
  if (site) ErrorRecord(kModule, site);
  FreeGlobalBlock(&boot, &address);
  return false;
}

}  // namespace

char16_t Cp437Char(uint8_t b) { return b < 0x80 ? static_cast<char16_t>(b) : kCp437High[b - 0x80]; }

bool IsPlausibleFileEntry(const uint8_t* entry, const FueVolumeData& v) {
  Bytes e(entry, kEntryBytes);
  // Name bytes: a short name never holds bytes below 0x20; the first byte
  // may be 0x05 (a name starting with 0xE5) or the deleted mark.
  for (size_t i = 0; i < 11; ++i)
    if (e[i] < 0x20 && !(i == 0 && e[i] == 0x05)) return false;
  // Date 0 is "none"; any other must name a real day.
  const uint16_t date = fat::EntryDate(entry), time = fat::EntryTime(entry);
  if (date != 0) {
    const unsigned year = 1980 + (date >> 9), month = (date >> 5) & 0x0F, day = date & 0x1F;
    static const unsigned kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1] || (month == 2 && day == 29 && !leap))
      return false;
  }
  if ((time >> 11) > 23 || ((time >> 5) & 0x3F) > 59 || (time & 0x1F) > 29) return false;
  // The file's clusters, counted from its first, must fit the volume.
  const uint64_t size = fat::EntrySize(entry);
  const int64_t lcn = EntryStartLcn(entry, v.fileSystemKind);
  if (size != 0 && lcn != kNoClusterLcn && v.bytesPerCluster != 0) {
    if (lcn < 0 || static_cast<uint64_t>(lcn) >= v.totalClusters) return false;
    if ((size + v.bytesPerCluster - 1) / v.bytesPerCluster > v.totalClusters - static_cast<uint64_t>(lcn))
      return false;
  }
  return true;
}

int64_t EntryStartLcn(const uint8_t* entry, int32_t kind) {
  const uint64_t cluster = fat::EntryFirstCluster(entry, kind == kFsFat32);
  if (cluster == 0) return kNoClusterLcn;
  return static_cast<int64_t>(cluster) - 2;
}

DirectoryWalk& TheDirectoryWalk() {
  static DirectoryWalk walk;
  return walk;
}

void ClearDirectoryWalk(DirectoryWalk& walk) {
  for (int i = 0; i < kWalkLevels; ++i) {
    WalkLevel& l = walk.levels[i];
    if (l.buffer) {
      // Only the current level's block is locked.
      if (i == walk.depth && walk.begin) gmem::Unlock(l.buffer);
      gmem::Free(l.buffer);
    }
    l = WalkLevel{};
  }
  const int64_t g16 = walk.repeatGuard16, g32 = walk.repeatGuard32;
  walk = DirectoryWalk{};
  walk.repeatGuard16 = g16;
  walk.repeatGuard32 = g32;
}

// ---- Layout ----------------------------------------------------------------------

BOOL LoadFatLayout(FueVolumeData& v) {
  if (v.bytesPerSector == 0 || v.bytesPerCluster == 0 || !v.handle) {
    SetLastErrorCode(kErrorInvalidParameter);
    ErrorRecord(kModule, 121);
    return kFalse;
  }
  gmem::Handle boot = DasdReadClusterAlloc(v, 0, 1, v.bytesPerSector);
  const gmem::ScopedBlock bootOwner(boot);
  if (!boot) {
    ErrorRecord(kModule, 124);
    return kFalse;
  }
  void* bootAddress = gmem::Lock(boot);
  if (!bootAddress) return FreeBootAndFail(boot, bootAddress, 126);
  v.fatTable.reset();
  // The layout comes from the boot sector itself: where the FAT in use and
  // the data area lie, and how wide the FAT's entries are. The width must
  // be the one the volume reports (FAT12 is not served).
  if (!fat::ParseBootSector(static_cast<const uint8_t*>(bootAddress), static_cast<size_t>(v.bytesPerSector),
                            v.handle->SizeBytes(), v.boot) ||
      v.boot.fatBits != (v.fileSystemKind == kFsFat32 ? 32 : 16)) {
    v.boot = fat::BootSector{};
    SetLastErrorCode(kErrorUnrecognizedVolume);
    return FreeBootAndFail(boot, bootAddress, 171);
  }
  const uint64_t bps = v.boot.bytesPerSector;
  v.dataAreaOffset = bps * v.boot.firstDataSector;
  // The data area must begin inside the volume.
  if (v.dataAreaOffset >= v.handle->SizeBytes()) {
    SetLastErrorCode(kErrorInvalidData);
    return FreeBootAndFail(boot, bootAddress, 171);
  }

  DirectoryWalk& walk = TheDirectoryWalk();
  ClearDirectoryWalk(walk);
  walk.phase = WalkPhase::Files;
  WalkLevel& root = walk.levels[0];
  if (v.fileSystemKind == kFsFat16) {
    root.buffer = DasdReadClusterAlloc(v, v.boot.firstRootSector, v.boot.rootDirSectors, bps);
    if (!root.buffer) return FreeBootAndFail(boot, bootAddress, 211);
    walk.begin = static_cast<uint8_t*>(gmem::Lock(root.buffer));
    if (!walk.begin) {
      ClearDirectoryWalk(walk);
      return FreeBootAndFail(boot, bootAddress, 214);
    }
    root.dlcn = kNoClusterLcn;
  } else {
    v.pathString = Text(v.devicePath) + u"\\";
    v.directoryMode = 1;
    if (!OpenRunSource(v)) return FreeBootAndFail(boot, bootAddress, 225);
    if (!QueryRetrievalRunList(v)) return FreeBootAndFail(boot, bootAddress, 228);
    // A FAT32 root holds at most 65,536 entries (2 MiB); a longer chain is corrupt.
    const uint64_t bytes = v.bytesPerCluster * v.clusterCount;
    if (v.clusterCount > (2u << 20) / v.bytesPerCluster + 1) {
      SetLastErrorCode(kErrorInvalidData);
      return FreeBootAndFail(boot, bootAddress, 245);
    }
    void* address = nullptr;
    if (!AllocGlobalBlock(static_cast<uint32_t>(bytes + bps), &root.buffer, &address)) {
      ClearDirectoryWalk(walk);
      return FreeBootAndFail(boot, bootAddress, 0);
    }
    walk.begin = static_cast<uint8_t*>(address);
    root.dlcn = v.runCount ? v.RunLcn(0) : kNoClusterLcn;
    uint64_t read = 0;
    if (!ReadRunListClusters(v, walk.begin, v.clusterCount, read)) {
      ClearDirectoryWalk(walk);
      return FreeBootAndFail(boot, bootAddress, 245);
    }
  }
  walk.end = gmem::Size(root.buffer);
  walk.pos = 0;
  if (v.driveLetter) {
    root.name = Text(1, v.driveLetter) + u":\\";
  } else {
    root.name = Text(v.devicePath) + u"\\";
  }
  FreeGlobalBlock(&boot, &bootAddress);
  return kTrue;
}

// ---- Names -----------------------------------------------------------------------

BOOL BuildEntryName(const uint8_t* begin, size_t pos, Text& name) {
  name.clear();
  const uint8_t* e = begin + pos;
  if (pos >= kEntryBytes && begin[pos - kEntryBytes + fat::kEntryAttributes] == kAttrLongName) {
    // Long name: the entries just before the short entry, last part first
    // on disk, so the walk goes backwards collecting the parts in order.
    Text collected;
    size_t q = pos - kEntryBytes;
    for (;;) {
      Bytes l(begin + q, kEntryBytes);
      for (size_t off : kLongNameOffsets) collected.push_back(static_cast<char16_t>(le16(l, off)));
      if ((l[0] & 0xF0) == 0x40) break;
      if (collected.size() >= kMaxPathChars) break;
      if (q < kEntryBytes || begin[q - kEntryBytes + fat::kEntryAttributes] != kAttrLongName) break;
      q -= kEntryBytes;
    }
    const size_t nul = collected.find(u'\0');
    if (nul != Text::npos) collected.resize(nul);
    if (collected.size() > kMaxPathChars) collected.resize(kMaxPathChars);
    name = collected;
  } else {
    // Byte 12 bits 3 and 4: the base name, the extension is shown in lower
    // case (a short name is stored upper-case; Windows writes these flags
    // for names such as "readme.txt" instead of a long name).
    const bool lowerBase = (e[kCaseFlags] & kLowerBase) != 0, lowerExt = (e[kCaseFlags] & kLowerExt) != 0;
    for (int i = 0; i < 8; ++i) {
      const uint8_t c = e[i];
      if (c == ' ') continue;
      if (c == kDeletedMark) {
        name.push_back(u'~');
      } else if (i == 0 && c == 0x05) {
        name.push_back(ShortNameChar(kDeletedMark, lowerBase));  // a real 0xE5 first byte is stored as 0x05
      } else {
        name.push_back(ShortNameChar(c, lowerBase));
      }
    }
    if (e[8] != ' ') {
      name.push_back(u'.');
      for (int i = 8; i < 11; ++i)
        if (e[i] != ' ') name.push_back(ShortNameChar(e[i], lowerExt));
    }
  }
  return name.empty() ? kFalse : kTrue;
}

BOOL BuildEntryPath(const DirectoryWalk& walk, FueVolumeData& v) {
  Text path;
  for (int i = 0; i < kWalkLevels && !walk.levels[i].name.empty(); ++i) path += walk.levels[i].name;
  Text name;
  if (walk.begin && InBounds(walk.end, walk.pos, kEntryBytes) && BuildEntryName(walk.begin, walk.pos, name))
    path += name;
  v.pathString = path;
  return kTrue;
}

BOOL CompactDirectoryBuffer(DirectoryWalk& walk, uint32_t keep) {
  if (!walk.begin) return kTrue;
  uint8_t* base = walk.begin;
  std::vector<uint8_t> held;
  size_t w = 0, r = 0;
  bool terminated = false;
  for (; InBounds(walk.end, r, kEntryBytes); r += kEntryBytes) {
    const uint8_t* e = base + r;
    if (e[0] == 0) {
      terminated = true;
      break;
    }
    const uint8_t attr = e[fat::kEntryAttributes];
    const bool deleted = e[0] == kDeletedMark;
    if ((keep & (4 | 8)) == 0 && deleted) continue;
    if (attr == kAttrLongName) {
      held.insert(held.end(), e, e + kEntryBytes);
      continue;
    }
    bool kept = false;
    if ((attr & kAttrDirectory) && (keep & 1) && e[0] != '.') {
      kept = true;
    } else if ((attr & (kAttrVolumeLabel | kAttrDirectory)) == 0 && (keep & (2 | 8))) {
      if ((keep & 2) && (keep & 8)) kept = true;
      else if (keep & 2) kept = !deleted;
      else kept = deleted;
    }
    if (kept) {
      uint8_t entry[kEntryBytes];
      std::memcpy(entry, e, kEntryBytes);
      if (!held.empty()) std::memmove(base + w, held.data(), held.size());
      w += held.size();
      std::memcpy(base + w, entry, kEntryBytes);
      w += kEntryBytes;
    }
    held.clear();
  }
  // The terminating entry follows the kept ones; what lay between is cleared.
  const size_t stop = terminated ? r + kEntryBytes : r;
  if (w < stop) std::memset(base + w, 0, stop - w);
  walk.pos = 0;
  if (walk.depth == 0) walk.rootAltered = true;
  return kTrue;
}

// ---- Display formatters -----------------------------------------------------------

BOOL FormatFileTimeText(uint64_t fileTime, Text& out) {
  CalendarTime t;
  if (!FileTimeToUtc(fileTime, t)) return kFalse;
  const int hour12 = t.hour % 12 == 0 ? 12 : t.hour % 12;
  out = DecimalText(static_cast<uint64_t>(t.month)) + u"/" + DecimalText(static_cast<uint64_t>(t.day)) + u"/" +
        DecimalText(static_cast<uint64_t>(t.year)) + u" " + DecimalText(static_cast<uint64_t>(hour12)) + u":" +
        PaddedDecimal(static_cast<uint64_t>(t.minute), 2) + (t.hour < 12 ? u" AM" : u" PM");
  return kTrue;
}

BOOL FormatSizeKbText(uint64_t bytes, Text& out) {
  const uint64_t kb = bytes / 1024 + (bytes % 1024 != 0 ? 1 : 0);
  out = GroupedDecimal(kb) + u"KB";
  return kTrue;
}

}  // namespace rv
