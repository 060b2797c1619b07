// The FAT engine against the volumes made by mkfs.fat and mtools: every
// deleted file of the manifest is found with its folder, name, size and
// time, and recovered with its original bytes where its clusters are free.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "channel/messages.h"
#include "channel/strings.h"
#include "fat/fue.h"
#include "fat_support.h"
#include "platform/text.h"
#include "format/le.h"

namespace rv {
namespace {

using test::FatFound;

const FatFound* FindByPath(const std::vector<FatFound>& found, const Text& path) {
  for (const auto& f : found)
    if (f.path == path) return &f;
  return nullptr;
}

// A deleted file whose clusters a later file (deleted too) wrote over: the
// clusters are free again but no longer hold its bytes.
bool OverwrittenLater(const nlohmann::json& deleted, size_t index) {
  for (size_t j = index + 1; j < deleted.size(); ++j)
    for (const auto& a : deleted[index]["clusters"])
      for (const auto& b : deleted[j]["clusters"]) {
        const uint64_t a0 = a[0], a1 = a0 + a[1].get<uint64_t>(), b0 = b[0], b1 = b0 + b[1].get<uint64_t>();
        if (a0 < b1 && b0 < a1) return true;
      }
  return false;
}

Text PrefixOf(const Text& root) { return root.substr(0, root.size() - 1); }

std::vector<uint8_t> ReadOutput(const Text& enginePath) {
  Text p = enginePath;
  for (auto& c : p)
    if (c == u'\\') c = u'/';
  return test::ReadFileBytes(ToUtf8(p));
}

TEST(FatImages, EveryDeletedFileIsFoundWithFolderNameSizeAndTime) {
  auto images = test::FatImages(false);
  if (images.empty()) GTEST_SKIP() << "no FAT16/FAT32 images unpacked";
  for (const auto& img : images) {
    SCOPED_TRACE(img["name"].get<std::string>());
    test::AttachedVolume volume(test::ImageSource(test::ImagePath(img["name"])));
    auto run = test::RunFatSearch(volume.Root());
    EXPECT_EQ(run.result, kTrue);
    EXPECT_EQ(run.Count(CM_SEARCH_STARTED), 1u);
    EXPECT_EQ(run.Count(CM_SEARCH_FINISHED), 1u);
    EXPECT_EQ(run.Count(CM_SHOW_MESSAGE), 0u);
    EXPECT_EQ(run.found.size(), img["deleted"].size());
    for (const auto& d : img["deleted"]) {
      const Text expected = PrefixOf(volume.Root()) + test::ExpectedFatPath(img, d);
      SCOPED_TRACE(ToUtf8(expected));
      const FatFound* f = FindByPath(run.found, expected);
      ASSERT_NE(f, nullptr);
      EXPECT_EQ(f->size, d["size"].get<uint32_t>());
      EXPECT_EQ(f->time, test::ExpectedFatTime(d["mtime"]));
      bool inDeletedFolder = false;
      for (const auto& k : d["kinds"]) inDeletedFolder |= k == "in-deleted-folder";
      EXPECT_EQ((f->locator & kDeletedDirFlag) != 0, inDeletedFolder);
      const bool inRoot = std::count(expected.begin() + static_cast<long>(volume.name.size()), expected.end(), u'\\') == 1;
      if (inRoot) {
        EXPECT_EQ(f->locator, kRootDlcn);
      }
    }
  }
}

TEST(FatImages, RecoveryGivesOriginalBytesAndStarsFromTheFirstReusedCluster) {
  auto images = test::FatImages(false);
  if (images.empty()) GTEST_SKIP() << "no FAT16/FAT32 images unpacked";
  for (const auto& img : images) {
    SCOPED_TRACE(img["name"].get<std::string>());
    test::AttachedVolume volume(test::ImageSource(test::ImagePath(img["name"])));
    auto search = test::RunFatSearch(volume.Root());
    test::TempDir dir;
    auto undo = test::RunFatUndelete(dir.EnginePath(), search.found);
    EXPECT_EQ(undo.result, kTrue);
    ASSERT_EQ(undo.outcomes.size(), search.found.size());
    const uint64_t clusterSize = img["cluster_size"];
    const auto& all = img["deleted"];
    for (size_t di = 0; di < all.size(); ++di) {
      const auto& d = all[di];
      const Text expected = PrefixOf(volume.Root()) + test::ExpectedFatPath(img, d);
      SCOPED_TRACE(ToUtf8(expected));
      const test::FatUndeleteOutcome* o = nullptr;
      for (const auto& x : undo.outcomes)
        if (x.source == expected) o = &x;
      ASSERT_NE(o, nullptr);
      bool fragmented = false;
      for (const auto& k : d["kinds"]) fragmented |= k == "fragmented";
      if (test::EveryClusterReused(d) && !OverwrittenLater(all, di)) {
        // "*" throughout would be no recovery: nothing is left behind.
        EXPECT_EQ(o->code, kResultNotRecovered);
        EXPECT_TRUE(o->output.empty());
        continue;
      }
      const std::vector<uint8_t> original = test::OriginalBytes(d);
      ASSERT_EQ(original.size(), d["size"].get<size_t>());
      const std::vector<uint8_t> out = ReadOutput(o->output);
      ASSERT_EQ(out.size(), original.size());
      if (OverwrittenLater(all, di)) continue;
      if (fragmented) {
        // Only the first fragment follows the first cluster on disk.
        const size_t first = static_cast<size_t>(d["clusters"][0][1].get<uint64_t>() * clusterSize);
        EXPECT_TRUE(std::equal(original.begin(), original.begin() + static_cast<long>(std::min(first, out.size())),
                               out.begin()));
        continue;
      }
      size_t clean = original.size();
      if (d.value("reused", false)) {
        const uint64_t firstCluster = d["clusters"][0][0];
        uint64_t firstReused = UINT64_MAX;
        for (const auto& r : d["reused_clusters"]) firstReused = std::min<uint64_t>(firstReused, r[0]);
        clean = static_cast<size_t>(std::min<uint64_t>((firstReused - firstCluster) * clusterSize, original.size()));
        EXPECT_EQ(o->code, kResultPartlyInUse);
      } else {
        EXPECT_EQ(o->code, kResultRecovered);
      }
      EXPECT_TRUE(std::equal(original.begin(), original.begin() + static_cast<long>(clean), out.begin()));
      for (size_t i = clean; i < out.size(); ++i) {
        if (out[i] != '*') {
          ADD_FAILURE() << "byte " << i << " is not '*'";
          break;
        }
      }
    }
  }
}

TEST(FatImages, FolderAndPatternFilterTheReports) {
  auto images = test::FatImages(false);
  if (images.empty()) GTEST_SKIP() << "no FAT16/FAT32 images unpacked";
  test::AttachedVolume volume(test::ImageSource(test::ImagePath(images[0]["name"])));
  auto rootOnly = test::RunFatSearch(volume.Root(), u"", u"\\", false);
  for (const auto& f : rootOnly.found) EXPECT_EQ(f.locator, kRootDlcn) << ToUtf8(f.path);
  EXPECT_FALSE(rootOnly.found.empty());
  auto txt = test::RunFatSearch(volume.Root(), u"*.txt", u"\\Old\\", true);
  EXPECT_FALSE(txt.found.empty());
  for (const auto& f : txt.found) {
    EXPECT_NE(f.path.find(u"\\Old\\"), Text::npos);
    EXPECT_TRUE(Upcase(f.path).ends_with(u".TXT"));
  }
}

TEST(FatImages, Fat12IsRefusedWithText72) {
  const std::string path = test::ImagePath("fat12.img");
  if (path.empty()) GTEST_SKIP() << "fat12.img not unpacked";
  test::AttachedVolume volume(test::ImageSource(path));
  auto run = test::RunFatSearch(volume.Root());
  EXPECT_EQ(run.result, kFalse);
  EXPECT_TRUE(run.found.empty());
  ASSERT_EQ(run.Count(CM_SHOW_MESSAGE), 1u);
  for (const auto& m : run.messages) {
    if (m.id != CM_SHOW_MESSAGE) continue;
    size_t n = 0;
    Text text;
    while (n + 1 < m.payload.size() && (m.payload[n] | m.payload[n + 1])) {
      text.push_back(static_cast<char16_t>(m.payload[n] | (m.payload[n + 1] << 8)));
      n += 2;
    }
    EXPECT_EQ(text, LoadResourceString(72));
  }
  EXPECT_EQ(run.Count(CM_SEARCH_FINISHED), 1u);
}

TEST(FatImages, DamagedImagesEndCleanly) {
  for (const auto& img : test::FatImages(true)) {
    if (!img.contains("damaged") || img["damaged"].is_null()) continue;
    SCOPED_TRACE(img["name"].get<std::string>());
    test::AttachedVolume volume(test::ImageSource(test::ImagePath(img["name"])));
    auto run = test::RunFatSearch(volume.Root());
    EXPECT_EQ(run.Count(CM_SEARCH_FINISHED), 1u);
    test::TempDir dir;
    auto undo = test::RunFatUndelete(dir.EnginePath(), run.found);
    EXPECT_EQ(undo.outcomes.size(), run.found.size());
  }
}

TEST(FatImages, RootReloadedAfterAStoppedSearch) {
  auto images = test::FatImages(false);
  if (images.empty()) GTEST_SKIP() << "no FAT16/FAT32 images unpacked";
  test::AttachedVolume volume(test::ImageSource(test::ImagePath(images[0]["name"])));
  auto full = test::RunFatSearch(volume.Root());
  ASSERT_FALSE(full.found.empty());
  // A search stopped inside a subdirectory leaves a compacted root behind.
  SearchRequestFields f;
  f.includeSubfolders = 1;
  f.folder = u"\\";
  f.volumeRoot = volume.Root();
  RequestPacket packet = RequestPacket::Wrap(BuildSearchRequest(f));
  ASSERT_TRUE(SetupFueVolumeDataStructures(volume.name, TheFueVolume(), kTrue));
  for (int i = 0; i < 8; ++i) {
    FoundEntry e;
    ASSERT_TRUE(FindNextDeletedEntry(e));
  }
  EXPECT_TRUE(TheDirectoryWalk().rootAltered);
  std::vector<FatFound> rootFiles;
  for (const auto& x : full.found)
    if (x.locator == kRootDlcn) rootFiles.push_back(x);
  test::TempDir dir;
  auto undo = test::RunFatUndelete(dir.EnginePath(), rootFiles);
  ASSERT_EQ(undo.outcomes.size(), rootFiles.size());
  // Every file comes back but the one whose clusters all belong to another.
  for (const auto& o : undo.outcomes) {
    if (ToUtf8(o.source).find("victim-deleted.bin") != std::string::npos) continue;
    EXPECT_NE(o.code, kResultNotRecovered) << ToUtf8(o.source);
  }
}

TEST(FatImages, StopRequestsEndTheSearchAndTheRecovery) {
  auto images = test::FatImages(false);
  if (images.empty()) GTEST_SKIP() << "no FAT16/FAT32 images unpacked";
  test::AttachedVolume volume(test::ImageSource(test::ImagePath(images[0]["name"])));
  auto full = test::RunFatSearch(volume.Root());
  ASSERT_GT(full.found.size(), 2u);

  std::vector<uint32_t> ids;
  CallbackSink stopOnFirstFind([&](uint32_t id, const std::vector<uint8_t>&) {
    ids.push_back(id);
    if (id == CM_FILE_FOUND) g_fatRunState.store(kEngineStopRequested);
  });
  SetMessageSink(&stopOnFirstFind);
  SearchRequestFields f;
  f.includeSubfolders = 1;
  f.folder = u"\\";
  f.volumeRoot = volume.Root();
  FueDel::GetDeletedFileHeadersShell(RequestPacket::Wrap(BuildSearchRequest(f)));
  SetMessageSink(nullptr);
  EXPECT_EQ(std::count(ids.begin(), ids.end(), CM_FILE_FOUND), 1);
  EXPECT_EQ(ids.back(), CM_SEARCH_FINISHED);
  EXPECT_EQ(g_fatRunState.load(), kEngineIdle);

  std::vector<FatFound> nonEmpty;
  for (const auto& x : full.found)
    if (x.size > 0) nonEmpty.push_back(x);
  std::vector<FatUndeleteRecord> records;
  for (const auto& x : nonEmpty) records.push_back({x.locator, x.index, x.path});
  test::TempDir dir;
  ids.clear();
  CallbackSink stopOnFirstFile([&](uint32_t id, const std::vector<uint8_t>&) {
    ids.push_back(id);
    if (id == CM_UNDELETE_FILE_STARTED) g_fatRunState.store(kEngineStopRequested);
  });
  SetMessageSink(&stopOnFirstFile);
  FueUdel::UndeleteFileShell(RequestPacket::Wrap(BuildFatUndeleteRequest(dir.EnginePath(), records)));
  SetMessageSink(nullptr);
  EXPECT_EQ(std::count(ids.begin(), ids.end(), CM_UNDELETE_FILE_STARTED), 1);
  EXPECT_EQ(std::count(ids.begin(), ids.end(), CM_UNDELETE_RESULT), 0);
  EXPECT_EQ(std::count(ids.begin(), ids.end(), CM_UNDELETE_FINISHED), 1);
  EXPECT_EQ(ids.back(), CM_UNDELETE_REPORT);
}

TEST(FatImages, Fat32ReadsTheActiveFatOnlyWithMirroringOff) {
  const std::string path = test::ImagePath("fat32-512.img");
  if (path.empty()) GTEST_SKIP() << "fat32-512.img not unpacked";
  std::vector<uint8_t> bytes = test::ReadFileBytes(path);
  MutableBytes b(bytes.data(), bytes.size());
  const uint64_t bps = le16(b, 0x0B), reserved = le16(b, 0x0E), perFat = le32(b, 0x24);
  const uint64_t spc = b[0x0D], rootCluster = le32(b, 0x2C);
  const uint64_t data = (reserved + 2 * perFat) * bps;
  // \Documents from the root listing; its FAT entry is freed in the second copy only.
  const uint64_t root = data + (rootCluster - 2) * spc * bps;
  uint32_t docs = 0;
  for (uint64_t off = root; off < root + spc * bps && bytes[off]; off += 32)
    if (std::memcmp(&bytes[off], "DOCUME~", 7) == 0) docs = le16(b, off + 0x1A) | (le16(b, off + 0x14) << 16);
  ASSERT_NE(docs, 0u);
  put32(b, (reserved + perFat) * bps + docs * 4ull, 0);
  auto count = [&](uint16_t flags) {
    put16(b, 0x28, flags);
    test::AttachedVolume volume(MakeMemorySource(bytes));
    size_t n = 0;
    for (const auto& f : test::RunFatSearch(volume.Root()).found) n += f.path.find(u"\\Documents\\") != Text::npos;
    return n;
  };
  EXPECT_EQ(count(0x0001), 2u);  // mirroring on: the first copy whatever the active number says
  // Mirroring off, FAT 2 (copy index 1) active: the chain meets a free entry
  // there, and the folder is read through the first copy, which holds it whole.
  EXPECT_EQ(count(0x0081), 2u);
}

}  // namespace
}  // namespace rv
