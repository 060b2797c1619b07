// FAT directory entries, names, listing compaction, the filter, and the
// on-disk answers (retrieval pointers, volume bitmap), on small inline
// listings and on the test volumes.
#include <gtest/gtest.h>

#include <cstring>

#include "channel/filter.h"
#include "fat/fue.h"
#include "fat_support.h"
#include "platform/system.h"
#include "platform/text.h"
#include "volume/dasd.h"
#include "format/le.h"
#include "volume/ondisk.h"

namespace rv {
namespace {

struct Listing {
  std::vector<uint8_t> bytes;
  void Short(const char* name11, uint8_t attr = 0x20) {
    uint8_t e[32] = {};
    std::memcpy(e, name11, 11);
    e[0x0B] = attr;
    bytes.insert(bytes.end(), e, e + 32);
  }
  // One long-name entry with sequence byte `seq` holding up to 13 units of `part`.
  void Long(uint8_t seq, std::u16string_view part) {
    uint8_t e[32] = {};
    e[0] = seq;
    e[0x0B] = 0x0F;
    static const size_t offs[13] = {1, 3, 5, 7, 9, 0x0E, 0x10, 0x12, 0x14, 0x16, 0x18, 0x1C, 0x1E};
    for (size_t i = 0; i < 13; ++i) {
      char16_t c = i < part.size() ? part[i] : (i == part.size() ? 0 : 0xFFFF);
      e[offs[i]] = static_cast<uint8_t>(c);
      e[offs[i] + 1] = static_cast<uint8_t>(c >> 8);
    }
    bytes.insert(bytes.end(), e, e + 32);
  }
  void End() { bytes.resize(bytes.size() + 512, 0); }
  Text NameAt(size_t index) {
    Text n;
    BuildEntryName(bytes.data(), index * 32, n);
    return n;
  }
};

TEST(FatEntryName, ShortNamesSkipBlanksAndMarkDeletedBytes) {
  Listing l;
  l.Short("\xE5" "ABC    TXT");
  l.Short("A B        ");
  l.Short("\x90" "CAFE   TXT");
  l.Short("\x05" "X      A  ");
  l.End();
  EXPECT_EQ(l.NameAt(0), u"~ABC.TXT");
  EXPECT_EQ(l.NameAt(1), u"AB");
  EXPECT_EQ(l.NameAt(2), u"\u00C9CAFE.TXT");  // code page 437
  EXPECT_EQ(l.NameAt(3), u"\u03C3X.A");       // 0x05 stands for a first byte 0xE5
}

TEST(FatEntryName, LongNamesRunBackwardsToTheLastEntryFlag) {
  Listing l;
  l.Long(0x42, u"ijklm");
  l.Long(0x01, u"abcdefgh.txt!");  // exactly 13 units, no NUL
  l.Short("ABCDEF~1TXT");
  l.Long(0x41, u"0123456789abc");  // exactly 13, the 0x40 flag ends it
  l.Short("0123456~1   ");
  l.End();
  EXPECT_EQ(l.NameAt(2), u"abcdefgh.txt!ijklm");
  EXPECT_EQ(l.NameAt(4), u"0123456789abc");
  // A long-name entry at the start belongs to the entry after it; the first
  // entry itself has no long name and reads as a short one.
  EXPECT_EQ(l.NameAt(0).find(u"ijklm"), Text::npos);
}

TEST(FatEntryName, DeletedLongNamesStopAtTheNeighbouringShortEntry) {
  Listing l;
  l.Short("OTHER   TXT");
  l.Long(0xE5, u"e.txt");
  l.Long(0xE5, u"a very long n");
  l.Short("\xE5VERYL~1TXT");
  l.End();
  EXPECT_EQ(l.NameAt(3), u"a very long ne.txt");
}

TEST(FatEntryName, TwentyOneLongEntriesGiveTheFirst260Characters) {
  Listing l;
  for (int i = 21; i >= 1; --i) l.Long(static_cast<uint8_t>(i), u"ABCDEFGHIJKLM");
  l.Short("ABCDEF~1   ");
  l.End();
  EXPECT_EQ(l.NameAt(21).size(), 260u);
}

TEST(FatCompaction, KeepsSubdirectoriesWithTheirLongNamesOrNothing) {
  DirectoryWalk& w = TheDirectoryWalk();
  Listing l;
  l.Short(".          ", 0x10);
  l.Short("..         ", 0x10);
  l.Long(0x41, u"Live dir");
  l.Short("LIVEDI~1   ", 0x10);
  l.Short("FILE    TXT");
  l.Long(0xE5, u"gone");
  l.Short("\xE5ONE       ", 0x10);
  l.Short("\xE5" "ELFILE TXT");
  l.End();
  w.depth = 1;
  w.begin = l.bytes.data();
  w.end = l.bytes.size();
  w.pos = 64;
  CompactDirectoryBuffer(w, 5);
  EXPECT_EQ(w.pos, 0u);
  EXPECT_EQ(l.NameAt(1), u"Live dir");
  EXPECT_EQ(l.NameAt(3), u"gone");
  EXPECT_EQ(l.bytes[4 * 32], 0);
  CompactDirectoryBuffer(w, 0);
  EXPECT_EQ(l.bytes[0], 0);

  Listing files;
  files.Short("A       TXT");
  files.Short("\xE5       TXT");
  files.End();
  w.begin = files.bytes.data();
  w.end = files.bytes.size();
  CompactDirectoryBuffer(w, 5);
  EXPECT_EQ(files.bytes[0], 0);
  w = DirectoryWalk{};
}

TEST(FatPaths, SplitDriveAndVolumeGuidForms) {
  char16_t drive = 0;
  Text folder, name;
  SplitFullPath(u"C:\\a\\b\\f.txt", drive, folder, name);
  EXPECT_EQ(drive, u'C');
  EXPECT_EQ(folder, u"\\a\\b\\");
  EXPECT_EQ(name, u"f.txt");
  SplitFullPath(u"\\\\?\\Volume{1234}\\f.txt", drive, folder, name);
  EXPECT_EQ(folder, u"\\");
  EXPECT_EQ(name, u"f.txt");
  SplitFullPath(u"C:", drive, folder, name);
  EXPECT_EQ(name, u"");
}

TEST(FatFormat, SizeInKilobytesAndTime) {
  Text t;
  FormatSizeKbText(1536000, t);
  EXPECT_EQ(t, u"1,500KB");
  FormatSizeKbText(0, t);
  EXPECT_EQ(t, u"0KB");
  FormatSizeKbText(1, t);
  EXPECT_EQ(t, u"1KB");
  // 2023-01-31 14:05 UTC
  ASSERT_TRUE(FormatFileTimeText(UnixToFileTime(1675173900), t));
  EXPECT_EQ(t, u"1/31/2023 2:05 PM");
}

TEST(FatEntry, StartLcnByKind) {
  uint8_t e[32] = {};
  put16(MutableBytes(e, 32), 0x1A, 5);
  put16(MutableBytes(e, 32), 0x14, 1);
  EXPECT_EQ(EntryStartLcn(e, kFsFat16), 3);
  EXPECT_EQ(EntryStartLcn(e, kFsFat32), 0x10005 - 2);
  std::memset(e, 0, 32);
  EXPECT_EQ(EntryStartLcn(e, kFsFat32), kNoClusterLcn);
}

TEST(FatOnDisk, RootRetrievalPointersInWindowsLayout) {
  const std::string path = test::ImagePath("fat32-512.img");
  if (path.empty()) GTEST_SKIP() << "fat32-512.img not unpacked";
  auto source = test::ImageSource(path);
  uint8_t in[8] = {};
  uint8_t out[4128] = {};
  uint64_t info = 0, size = 0;
  ASSERT_EQ(source->RetrievalPointers(u"\\", true, in, 8, out, sizeof out, info, size), kStatusSuccess);
  Bytes b(out, sizeof out);
  const uint32_t n = le32(b, 0);
  ASSERT_GE(n, 1u);
  EXPECT_EQ(info, 16u + 16u * n);
  EXPECT_EQ(le64(b, 8), 0u);
  EXPECT_EQ(le64(b, 24), 0u);  // the root starts at cluster 2: LCN 0
  // Too small for one extent; room for one of several gives MORE_DATA.
  EXPECT_EQ(source->RetrievalPointers(u"\\", true, in, 8, out, 16, info, size), kStatusBufferTooSmall);
  if (n > 1) {
    EXPECT_EQ(source->RetrievalPointers(u"\\", true, in, 8, out, 32, info, size), kStatusBufferOverflow);
  }
  put64(MutableBytes(in, 8), 0, le64(b, 16 + 16 * (n - 1)));
  EXPECT_EQ(source->RetrievalPointers(u"\\", true, in, 8, out, sizeof out, info, size), kStatusEndOfFile);
  EXPECT_EQ(source->RetrievalPointers(u"\\nothere", false, in, 8, out, sizeof out, info, size),
            kStatusObjectNameNotFound);
}

TEST(FatOnDisk, VolumeBitmapAgreesWithTheFreeClusterCount) {
  for (const auto& img : test::FatImages(false)) {
    SCOPED_TRACE(img["name"].get<std::string>());
    auto source = test::ImageSource(test::ImagePath(img["name"]));
    DiskFreeSpace space;
    ASSERT_TRUE(source->QueryDiskFreeSpace(space));
    std::vector<uint8_t> out(16 + (space.totalClusters + 7) / 8);
    uint8_t in[8] = {};
    uint64_t info = 0;
    ASSERT_EQ(source->FsControl(FSCTL_GET_VOLUME_BITMAP_CODE, in, 8, out.data(), static_cast<uint32_t>(out.size()), info),
              kStatusSuccess);
    Bytes b(out);
    EXPECT_EQ(le64(b, 8), space.totalClusters);
    uint64_t zeros = 0;
    for (uint64_t i = 0; i < space.totalClusters; ++i) zeros += ((out[16 + i / 8] >> (i % 8)) & 1) == 0;
    EXPECT_EQ(zeros, space.freeClusters);
    EXPECT_EQ(source->FsControl(FSCTL_GET_VOLUME_BITMAP_CODE, in, 8, out.data(), 20, info), kStatusBufferOverflow);
    EXPECT_EQ(info, 20u);
  }
}

TEST(FatChains, RunsFromTheFat) {
  const std::string path = test::ImagePath("fat16-2k.img");
  if (path.empty()) GTEST_SKIP() << "fat16-2k.img not unpacked";
  std::vector<uint8_t> bytes = test::ReadFileBytes(path);
  // FAT16 entries in both copies (reserved sectors from the boot sector).
  Bytes boot(bytes.data(), 512);
  const uint64_t fat0 = le16(boot, 0x0E) * 512ull, perFat = le16(boot, 0x16) * 512ull;
  auto set = [&](uint32_t c, uint16_t v) {
    for (int copy = 0; copy < 2; ++copy) put16(MutableBytes(bytes.data(), bytes.size()), fat0 + copy * perFat + c * 2, v);
  };
  set(7000, 7001); set(7001, 7002); set(7002, 0xFFFF);                      // contiguous
  set(7100, 7102); set(7102, 7104); set(7104, 0xFFF8);                      // interleaved
  set(7200, 7201);                                                          // runs into a free entry
  set(7300, 9000);                                                          // leaves the volume
  set(7400, 7401); set(7401, 7400);                                         // loops
  set(7503, 7501); set(7501, 7502); set(7502, 7503);                        // loops to the cluster after the last
  test::AttachedVolume volume(MakeMemorySource(bytes));
  FueVolumeData& v = TheFueVolume();
  ASSERT_TRUE(SetupFueVolumeDataStructures(volume.name, v, kTrue));
  v.startLcn = 6998;
  ASSERT_TRUE(FatChainToRunList(v));
  EXPECT_EQ(v.runCount, 1u);
  EXPECT_EQ(v.RunLcn(0), 6998);
  EXPECT_EQ(v.RunClusters(0), 3u);
  v.startLcn = 7098;
  ASSERT_TRUE(FatChainToRunList(v));
  ASSERT_EQ(v.runCount, 3u);
  EXPECT_EQ(v.RunLcn(2), 7102);
  EXPECT_EQ(v.fragmented, 1u);
  for (int64_t start : {7198, 7298}) {
    v.startLcn = start;
    ASSERT_TRUE(FatChainToRunList(v));
    EXPECT_EQ(v.runCount, 0u) << start;
  }
  // A loop is taken up to where it returns: each cluster once.
  v.startLcn = 7398;
  ASSERT_TRUE(FatChainToRunList(v));
  ASSERT_EQ(v.runCount, 1u);
  EXPECT_EQ(v.RunLcn(0), 7398);
  EXPECT_EQ(v.RunClusters(0), 2u);
  // ... also where it returns to the cluster after the last one taken.
  v.startLcn = 7501;
  ASSERT_TRUE(FatChainToRunList(v));
  ASSERT_EQ(v.runCount, 2u);
  EXPECT_EQ(v.RunLcn(0), 7501);
  EXPECT_EQ(v.RunLcn(1), 7499);
  EXPECT_EQ(v.RunClusters(1), 2u);
  v.startLcn = kNoClusterLcn;
  ASSERT_TRUE(FatChainToRunList(v));
  EXPECT_EQ(v.runCount, 0u);
  EXPECT_EQ(v.clusterCount, 0u);
}

TEST(FatUndelete, EntryLookupRefusesWrongIndexNameOrLiveEntry) {
  const std::string path = test::ImagePath("fat16-2k.img");
  if (path.empty()) GTEST_SKIP() << "fat16-2k.img not unpacked";
  test::AttachedVolume volume(test::ImageSource(path));
  auto run = test::RunFatSearch(volume.Root());
  ASSERT_FALSE(run.found.empty());
  ASSERT_TRUE(SetupFueVolumeDataStructures(volume.name, TheFueVolume(), kTrue));
  const auto& f = run.found[0];
  const Text name = f.path.substr(f.path.rfind(u'\\') + 1);
  uint8_t e[32];
  EXPECT_TRUE(FueUdel::FindEntryByIndex(f.locator, f.index, name, e));
  EXPECT_FALSE(FueUdel::FindEntryByIndex(f.locator, f.index, u"other.txt", e));
  EXPECT_FALSE(FueUdel::FindEntryByIndex(f.locator, 100000, name, e));
  EXPECT_FALSE(FueUdel::FindEntryByIndex(f.locator, 0x80000000u, name, e));
  EXPECT_FALSE(FueUdel::FindEntryByIndex(12345678, f.index, name, e));
  test::TempDir dir;
  std::vector<test::FatFound> bad = {f};
  bad[0].index += 1;
  auto undo = test::RunFatUndelete(dir.EnginePath(), bad);
  ASSERT_EQ(undo.outcomes.size(), 1u);
  EXPECT_EQ(undo.outcomes[0].code, kResultNotRecovered);
  EXPECT_TRUE(undo.outcomes[0].output.empty());
}

}  // namespace
}  // namespace rv
