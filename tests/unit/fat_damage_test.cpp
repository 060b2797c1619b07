// The FAT engine on copies of the test volumes with one structure damaged:
// looping chains, directories that contain themselves or an ancestor,
// long-name runs out of order, sizes beyond the volume, trees deeper than
// the walk, truncated volumes. Every search must end, and nothing crashes.
#include <gtest/gtest.h>

#include <cstring>

#include "channel/messages.h"
#include "format/fat_boot.h"
#include "fat/fue.h"
#include "fat_support.h"
#include "ntfs_test_support.h"
#include "platform/text.h"
#include "format/le.h"
#include "volume/osvolume.h"

namespace rv {
namespace {

struct Image {
  std::vector<uint8_t> bytes;
  fat::BootSector boot;
  uint64_t bpc = 0;

  bool Load(const std::string& name) {
    const std::string path = test::ImagePath(name);
    if (path.empty()) return false;
    bytes = test::ReadFileBytes(path);
    return fat::ParseBootSector(bytes.data(), bytes.size(), bytes.size(), boot) &&
           (bpc = static_cast<uint64_t>(boot.bytesPerSector) * boot.sectorsPerCluster) != 0;
  }
  uint64_t ClusterOffset(uint64_t cluster) const {
    return (boot.firstDataSector + (cluster - 2) * boot.sectorsPerCluster) * boot.bytesPerSector;
  }
  uint64_t RootOffset() const {
    return boot.fatBits == 32 ? ClusterOffset(boot.rootCluster) : boot.firstRootSector * boot.bytesPerSector;
  }
  uint64_t RootBytes() const { return boot.fatBits == 32 ? bpc : boot.rootDirSectors * boot.bytesPerSector; }
  void SetFat(uint64_t cluster, uint32_t value) {
    for (uint32_t copy = 0; copy < boot.fatCount; ++copy) {
      const uint64_t base = (boot.firstFatSector + static_cast<uint64_t>(copy) * boot.sectorsPerFat) * boot.bytesPerSector;
      MutableBytes b(bytes.data(), bytes.size());
      if (boot.fatBits == 32) put32(b, base + cluster * 4, value);
      else put16(b, base + cluster * 2, static_cast<uint16_t>(value));
    }
  }
  uint32_t EntryCluster(uint64_t entryOffset) const {
    Bytes b(bytes.data(), bytes.size());
    uint32_t c = le16(b, entryOffset + 0x1A);
    if (boot.fatBits == 32) c |= static_cast<uint32_t>(le16(b, entryOffset + 0x14)) << 16;
    return c;
  }
  void SetEntryCluster(uint64_t entryOffset, uint32_t cluster) {
    MutableBytes b(bytes.data(), bytes.size());
    put16(b, entryOffset + 0x1A, static_cast<uint16_t>(cluster));
    if (boot.fatBits == 32) put16(b, entryOffset + 0x14, static_cast<uint16_t>(cluster >> 16));
  }
  // The first short entry in a listing whose name field starts with `prefix`.
  uint64_t FindEntry(uint64_t listing, uint64_t length, const char* prefix) const {
    const size_t n = std::strlen(prefix);
    for (uint64_t off = listing; off + 32 <= listing + length; off += 32) {
      if (bytes[off] == 0) break;
      if (bytes[off + 0x0B] != 0x0F && std::memcmp(&bytes[off], prefix, n) == 0) return off;
    }
    return 0;
  }
  uint64_t DirectoryOf(uint64_t entryOffset) const { return ClusterOffset(EntryCluster(entryOffset)); }
};

size_t CountUnder(const std::vector<test::FatFound>& found, const Text& folder) {
  size_t n = 0;
  for (const auto& f : found) n += f.path.find(folder) != Text::npos;
  return n;
}

// A folder whose one cluster points to itself is read up to the loop: it
// lists what the intact volume lists there.
TEST(FatDamage, LoopingChainOfALiveDirectoryIsReadUpToTheLoop) {
  Image img;
  if (!img.Load("fat16-2k.img")) GTEST_SKIP() << "fat16-2k.img not unpacked";
  size_t intact = 0;
  {
    test::AttachedVolume volume(MakeMemorySource(img.bytes));
    intact = CountUnder(test::RunFatSearch(volume.Root()).found, u"\\Documents\\");
  }
  ASSERT_GT(intact, 0u);
  const uint64_t docs = img.FindEntry(img.RootOffset(), img.RootBytes(), "DOCUME~");
  ASSERT_NE(docs, 0u);
  const uint32_t c = img.EntryCluster(docs);
  img.SetFat(c, c);
  test::AttachedVolume volume(MakeMemorySource(img.bytes));
  auto run = test::RunFatSearch(volume.Root());
  EXPECT_EQ(run.Count(CM_SEARCH_FINISHED), 1u);
  EXPECT_EQ(CountUnder(run.found, u"\\Documents\\"), intact);
  EXPECT_EQ(CountUnder(run.found, u"\\Old\\"), 5u);
}

// A root entry count that does not fill its last sector still takes that
// whole sector: the data area starts after it, as on the unchanged volume,
// and the search finds the same files.
TEST(FatDamage, RootEntryCountThatDoesNotFillItsLastSectorKeepsTheDataArea) {
  Image img;
  if (!img.Load("fat16-2k.img")) GTEST_SKIP() << "fat16-2k.img not unpacked";
  std::vector<Text> before, after;
  {
    test::AttachedVolume volume(MakeMemorySource(img.bytes));
    for (const auto& f : test::RunFatSearch(volume.Root()).found) before.push_back(f.path.substr(f.path.find(u'}')));
  }
  ASSERT_FALSE(before.empty());
  MutableBytes b(img.bytes.data(), img.bytes.size());
  put16(b, 0x11, static_cast<uint16_t>(img.boot.rootEntryCount - 8));  // half a sector short
  {
    test::AttachedVolume volume(MakeMemorySource(img.bytes));
    for (const auto& f : test::RunFatSearch(volume.Root()).found) after.push_back(f.path.substr(f.path.find(u'}')));
  }
  EXPECT_EQ(after, before);
}

// A FAT32 root whose chain loops back is read up to the loop, like any
// folder: the volume is searched, not refused.
TEST(FatDamage, LoopingFat32RootChainIsReadUpToTheLoop) {
  Image img;
  if (!img.Load("fat32-4k.img")) GTEST_SKIP() << "fat32-4k.img not unpacked";
  size_t intact = 0;
  {
    test::AttachedVolume volume(MakeMemorySource(img.bytes));
    intact = test::RunFatSearch(volume.Root()).found.size();
  }
  ASSERT_GT(intact, 0u);
  img.SetFat(img.boot.rootCluster, img.boot.rootCluster);
  test::AttachedVolume volume(MakeMemorySource(img.bytes));
  auto run = test::RunFatSearch(volume.Root());
  EXPECT_EQ(run.Count(CM_SHOW_MESSAGE), 0u);
  EXPECT_EQ(run.Count(CM_SEARCH_FINISHED), 1u);
  EXPECT_EQ(run.found.size(), intact);
}

TEST(FatDamage, DirectoriesThatContainThemselvesOrAnAncestorAreNotEntered) {
  for (const char* name : {"fat16-2k.img", "fat32-512.img"}) {
    SCOPED_TRACE(name);
    Image img;
    if (!img.Load(name)) continue;
    const uint64_t docs = img.FindEntry(img.RootOffset(), img.RootBytes(), "DOCUME~");
    ASSERT_NE(docs, 0u);
    const uint64_t docsDir = img.DirectoryOf(docs);
    const uint64_t projects = img.FindEntry(docsDir, img.bpc, "PROJECTS");
    ASSERT_NE(projects, 0u);
    // \Documents\Projects is \Documents itself.
    img.SetEntryCluster(projects, img.EntryCluster(docs));
    // \Old\L1 (deleted) is \Old.
    const uint64_t old = img.FindEntry(img.RootOffset(), img.RootBytes(), "\xE5LD");
    ASSERT_NE(old, 0u);
    const uint64_t l1 = img.FindEntry(img.DirectoryOf(old), img.bpc, "\xE5" "1 ");
    ASSERT_NE(l1, 0u);
    img.SetEntryCluster(l1, img.EntryCluster(old));
    // \Later is the root (cluster 0 on FAT16, the root cluster on FAT32).
    const uint64_t later = img.FindEntry(img.RootOffset(), img.RootBytes(), "LATER");
    ASSERT_NE(later, 0u);
    img.SetEntryCluster(later, img.boot.fatBits == 32 ? img.boot.rootCluster : 0);

    test::AttachedVolume volume(MakeMemorySource(img.bytes));
    auto run = test::RunFatSearch(volume.Root());
    EXPECT_EQ(run.Count(CM_SEARCH_FINISHED), 1u);
    EXPECT_EQ(CountUnder(run.found, u"\\Projects\\"), 0u);
    EXPECT_EQ(CountUnder(run.found, u"\\Documents\\"), 1u);
    EXPECT_EQ(CountUnder(run.found, u"\\Old\\~1\\"), 0u);
    EXPECT_EQ(CountUnder(run.found, u"\\Old\\"), 1u);
    EXPECT_EQ(CountUnder(run.found, u"\\Later\\"), 0u);
  }
}

TEST(FatDamage, LongNameRunsOutOfOrderStillEndCleanly) {
  Image img;
  if (!img.Load("fat16-2k.img")) GTEST_SKIP() << "fat16-2k.img not unpacked";
  test::AttachedVolume intact(MakeMemorySource(img.bytes));
  const size_t expected = test::RunFatSearch(intact.Root()).found.size();
  uint8_t seq = 0x41;
  for (uint64_t off = img.RootOffset(); off + 32 <= img.RootOffset() + img.RootBytes(); off += 32) {
    if (img.bytes[off] == 0) break;
    if (img.bytes[off + 0x0B] == 0x0F) img.bytes[off] = seq = static_cast<uint8_t>(seq * 7 + 3);
  }
  test::AttachedVolume volume(MakeMemorySource(img.bytes));
  auto run = test::RunFatSearch(volume.Root());
  EXPECT_EQ(run.Count(CM_SEARCH_FINISHED), 1u);
  EXPECT_EQ(run.found.size(), expected);
  for (const auto& f : run.found) EXPECT_LT(f.path.size(), 260u);
}

// A deleted entry whose size runs past the volume from its first cluster
// cannot be a file: the search leaves it out, and asking for it by its
// locator recovers nothing.
TEST(FatDamage, SizeBeyondTheVolumeIsNoFile) {
  Image img;
  if (!img.Load("fat16-2k.img")) GTEST_SKIP() << "fat16-2k.img not unpacked";
  test::FatFound photo;
  {
    test::AttachedVolume intact(MakeMemorySource(img.bytes));
    for (const auto& f : test::RunFatSearch(intact.Root()).found)
      if (f.path.ends_with(u"\\photo-deleted.jpg")) photo = f;
  }
  ASSERT_EQ(photo.locator, kRootDlcn);
  const uint64_t entry = img.RootOffset() + photo.index * 32ull;
  const uint32_t first = img.EntryCluster(entry);
  // The largest size that still fits from the first cluster on is a file.
  const uint32_t fits = static_cast<uint32_t>((img.boot.clusterCount - (first - 2)) * img.bpc);
  put32(MutableBytes(img.bytes.data(), img.bytes.size()), entry + 0x1C, fits);
  {
    test::AttachedVolume volume(MakeMemorySource(img.bytes));
    EXPECT_EQ(test::RunFatSearch(volume.Root(), u"photo*").found.size(), 1u);
  }
  put32(MutableBytes(img.bytes.data(), img.bytes.size()), entry + 0x1C, fits + 1);
  test::AttachedVolume volume(MakeMemorySource(img.bytes));
  auto run = test::RunFatSearch(volume.Root(), u"photo*");
  EXPECT_TRUE(run.found.empty());
  EXPECT_EQ(FueDel::EntriesNotFilesOfLastSearch(), 1u);
  photo.path = volume.name + photo.path.substr(photo.path.find(u"}\\") + 1);
  test::TempDir dir;
  auto undo = test::RunFatUndelete(dir.EnginePath(), {photo});
  ASSERT_EQ(undo.outcomes.size(), 1u);
  EXPECT_EQ(undo.outcomes[0].code, kResultNotRecovered);
}

TEST(FatDamage, TruncatedCopiesEndCleanly) {
  for (const char* name : {"fat16-2k.img", "fat32-512.img", "fat16-4kn.img"}) {
    Image img;
    if (!img.Load(name)) continue;
    for (double part : {0.02, 0.3, 0.6}) {
      SCOPED_TRACE(std::string(name) + " " + std::to_string(part));
      std::vector<uint8_t> cut(img.bytes.begin(), img.bytes.begin() + static_cast<long>(img.bytes.size() * part));
      test::AttachedVolume volume(MakeMemorySource(cut, img.boot.bytesPerSector));
      auto run = test::RunFatSearch(volume.Root());
      EXPECT_EQ(run.Count(CM_SEARCH_FINISHED), 1u);
      test::TempDir dir;
      auto undo = test::RunFatUndelete(dir.EnginePath(), run.found);
      EXPECT_LE(undo.outcomes.size(), run.found.size());
    }
  }
}

// 140 nested live directories named "D", each holding a deleted file, below
// a root entry "D", on a volume with the drive letter Q: the paths stay
// below 260 characters down to level 127, and the walk has 128 levels.
TEST(FatDamage, TreeDeeperThanTheWalkStopsAtLevel127) {
  Image img;
  if (!img.Load("fat16-2k.img")) GTEST_SKIP() << "fat16-2k.img not unpacked";
  const uint32_t base = 7000, count = 140;
  auto putEntry = [&](uint64_t off, const char* name11, uint8_t attr, uint32_t cluster, uint32_t size) {
    std::memcpy(&img.bytes[off], name11, 11);
    img.bytes[off + 0x0B] = attr;
    img.SetEntryCluster(off, cluster);
    put32(MutableBytes(img.bytes.data(), img.bytes.size()), off + 0x1C, size);
  };
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t c = base + i;
    const uint64_t dir = img.ClusterOffset(c);
    std::memset(&img.bytes[dir], 0, img.bpc);
    putEntry(dir, ".          ", 0x10, c, 0);
    putEntry(dir + 32, "..         ", 0x10, i == 0 ? 0 : c - 1, 0);
    putEntry(dir + 64, "\xE5          ", 0x20, 0, 0);
    img.bytes[dir + 65] = 'F';
    if (i + 1 < count) putEntry(dir + 96, "D          ", 0x10, c + 1, 0);
    img.SetFat(c, 0xFFFF);
  }
  uint64_t slot = img.RootOffset();
  while (img.bytes[slot] != 0) slot += 32;
  putEntry(slot, "D          ", 0x10, base, 0);

  auto source = MakeMemorySource(img.bytes);
  const Text name = AttachVolume(source, u'Q');
  auto run = test::RunFatSearch(u"Q:\\", u"~F");
  EXPECT_EQ(run.Count(CM_SEARCH_FINISHED), 1u);
  size_t deepest = 0;
  for (const auto& f : run.found) deepest = std::max<size_t>(deepest, std::count(f.path.begin(), f.path.end(), u'\\'));
  EXPECT_EQ(run.found.size(), 127u);
  EXPECT_EQ(deepest, 128u);  // the file of level 127: "Q:" + 127 × "\D" + "\~F"
  FreeFueVolumeDataStructures(TheFueVolume());
  DetachVolume(name);
}

// A live folder whose chain the active FAT marks free (a damaged table) is
// read through the other FAT copy, or, when both are broken, from its first
// cluster on: its deleted files are listed and come back whole.
TEST(FatDamage, LiveFolderMarkedFreeInTheFatIsReadThroughTheOtherCopyOrItsClusters) {
  Image img;
  if (!img.Load("fat32-512.img")) GTEST_SKIP() << "fat32-512.img not unpacked";
  ASSERT_EQ(img.boot.fatCount, 2u);
  const nlohmann::json image = test::ManifestImage("fat32-512.img");
  const Text folder = u"\\Documents\\Projects\\";
  uint32_t lcn = 0;
  {
    test::AttachedVolume volume(MakeMemorySource(img.bytes));
    for (const auto& f : test::RunFatSearch(volume.Root()).found)
      if (f.path.substr(0, f.path.rfind(u'\\') + 1) == volume.name + folder) lcn = f.locator;
  }
  ASSERT_NE(lcn, 0u);
  std::vector<uint64_t> chain;
  for (uint64_t c = lcn + 2; c >= 2 && c < 0x0FFFFFF8 && chain.size() < 64;
       c = le32(Bytes(img.bytes.data(), img.bytes.size()), img.boot.firstFatSector * img.boot.bytesPerSector + c * 4) &
           0x0FFFFFFF)
    chain.push_back(c);
  auto freeInCopy = [&](std::vector<uint8_t>& bytes, uint32_t copy) {
    const uint64_t base = (img.boot.firstFatSector + uint64_t{copy} * img.boot.sectorsPerFat) * img.boot.bytesPerSector;
    for (uint64_t c : chain) put32(MutableBytes(bytes.data(), bytes.size()), base + c * 4, 0);
  };
  std::vector<uint8_t> firstBroken = img.bytes, bothBroken = img.bytes;
  freeInCopy(firstBroken, 0);
  freeInCopy(bothBroken, 0);
  freeInCopy(bothBroken, 1);
  for (std::vector<uint8_t>* bytes : {&firstBroken, &bothBroken}) {
    SCOPED_TRACE(bytes == &firstBroken ? "copy 1 broken" : "both copies broken");
    test::AttachedVolume volume(MakeMemorySource(*bytes));
    const auto search = test::RunFatSearch(volume.Root());
    size_t checked = 0;
    for (const auto& d : image["deleted"]) {
      const Text path = test::ExpectedFatPath(image, d);
      if (path.substr(0, path.rfind(u'\\') + 1) != folder) continue;
      std::vector<test::FatFound> one;
      for (const auto& f : search.found)
        if (f.path == volume.name + path) one.push_back(f);
      ASSERT_EQ(one.size(), 1u) << ToUtf8(path);
      test::TempDir dir;
      const auto undo = test::RunFatUndelete(dir.EnginePath(), one);
      ASSERT_EQ(undo.outcomes.size(), 1u);
      EXPECT_EQ(undo.outcomes[0].code, kResultRecovered);
      Text out = undo.outcomes[0].output;
      for (auto& c : out)
        if (c == u'\\') c = u'/';
      EXPECT_EQ(test::ReadFileBytes(ToUtf8(out)), test::OriginalBytes(d));
      ++checked;
    }
    EXPECT_GT(checked, 0u);
  }
}

}  // namespace
}  // namespace rv
