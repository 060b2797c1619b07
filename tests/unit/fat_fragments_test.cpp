// Deleted FAT files whose chains are gone, on fat16-fragments.img (mtools):
// photos written into the holes of older deleted files, over their first
// clusters or around live files, and JPEG, PNG, PDF and ZIP files the
// allocator split into 2, 3 and 4 pieces around fillers that were deleted
// afterwards. Their formats place their clusters: every one comes back
// byte-exact, and is not reported as guessed.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

#include "channel/messages.h"
#include "channel/report.h"
#include "fat/fue.h"
#include "fat_support.h"
#include "platform/text.h"
#include "volume/cluster_layout.h"

namespace rv {
namespace {

class FatFragments : public testing::Test {
 protected:
  void SetUp() override {
    const std::string path = test::ImagePath("fat16-fragments.img");
    if (path.empty()) GTEST_SKIP() << "fat16-fragments.img not unpacked";
    std::ifstream f(test::ImagesDir() + "/fragment-manifest.json");
    manifest_ = nlohmann::json::parse(f);
    volume_ = std::make_unique<test::AttachedVolume>(test::ImageSource(path));
    search_ = test::RunFatSearch(volume_->Root());
  }
  void TearDown() override { volume_.reset(); }

  // The found file of a manifest path: a deleted short name shows '~' first.
  const test::FatFound* Found(const nlohmann::json& d) const {
    Text want = FromUtf8(d["path"].get<std::string>());
    want[want.rfind(u'\\') + 1] = u'~';
    for (const auto& f : search_.found)
      if (f.path.size() >= want.size() && f.path.substr(f.path.size() - want.size()) == want &&
          f.size == d["size"].get<uint32_t>())
        return &f;
    return nullptr;
  }
  // How many of the folder's files come back whole; each one must.
  size_t Whole(const char* folder, bool expectAll) {
    size_t whole = 0, checked = 0;
    for (const auto& d : manifest_["files"]) {
      const std::string p = d["path"];
      if (p.rfind(folder, 0) != 0) continue;
      SCOPED_TRACE(p);
      const test::FatFound* f = Found(d);
      EXPECT_NE(f, nullptr);
      if (!f) continue;
      test::TempDir dir;
      auto run = test::RunFatUndelete(dir.EnginePath(), {*f});
      EXPECT_EQ(run.outcomes.size(), 1u);
      if (run.outcomes.size() != 1) continue;
      Text out = run.outcomes[0].output;
      for (auto& c : out)
        if (c == u'\\') c = u'/';
      const bool same = !out.empty() && test::ReadFileBytes(ToUtf8(out)) == test::OriginalBytes(d);
      if (expectAll) {
        EXPECT_EQ(run.outcomes[0].code, kResultRecovered);
        EXPECT_TRUE(same);
        // Its clusters are known, not guessed: the result says so.
        EXPECT_TRUE(run.outcomes[0].byFormat);
      }
      if (!TheClusterLayoutCheck()) EXPECT_FALSE(run.outcomes[0].byFormat);
      whole += same;
      ++checked;
    }
    EXPECT_GT(checked, 0u);
    return whole;
  }
  void ExpectWhole(const char* folder) { Whole(folder, true); }

  nlohmann::json manifest_;
  std::unique_ptr<test::AttachedVolume> volume_;
  test::FatSearchRun search_;
};

// Photos written where older files had been deleted: some contiguous over
// those files' first clusters (the guess would pass over them and shift the
// rest), some around the live files between the holes.
TEST_F(FatFragments, PhotosInTheHolesOfOlderFilesComeBackWhole) { ExpectWhole("\\DCIM\\"); }

// Files in two, three and four pieces whose gaps are free now.
TEST_F(FatFragments, FilesInUpToFourPiecesComeBackWhole) {
  size_t pieces4 = 0;
  for (const auto& d : manifest_["files"]) pieces4 += d["path"].get<std::string>().rfind("\\FRAG\\", 0) == 0 && d["pieces"] == 4;
  EXPECT_EQ(pieces4, 2u);
  ExpectWhole("\\FRAG\\");
}

// Without the content check the guess alone gets most of them wrong: it
// passes over the older files' first clusters and stops at the live ones.
TEST_F(FatFragments, TheGuessAloneLosesThem) {
  const ClusterLayoutCheck installed = TheClusterLayoutCheck();
  ASSERT_NE(installed, nullptr);
  SetClusterLayoutCheck(nullptr);
  const size_t photos = Whole("\\DCIM\\", false), pieces = Whole("\\FRAG\\", false);
  SetClusterLayoutCheck(installed);
  EXPECT_LT(photos, 9u);
  EXPECT_EQ(pieces, 0u);
}

// fat16-overlap.img (mtools): OLD.TXT deleted, SMALL.TXT and NEW.TXT (in
// another folder)
// written into its place and deleted too, so NEW.TXT starts at OLD.TXT's
// third cluster. Text: only the entries' ages tell whose clusters they are.
TEST(FatOverlap, AnOlderFileDoesNotRunIntoANewerOne) {
  const std::string path = test::ImagePath("fat16-overlap.img");
  if (path.empty()) GTEST_SKIP() << "fat16-overlap.img not unpacked";
  std::ifstream f(test::ImagesDir() + "/overlap-manifest.json");
  const nlohmann::json manifest = nlohmann::json::parse(f);
  test::AttachedVolume volume(test::ImageSource(path));
  const test::FatSearchRun search = test::RunFatSearch(volume.Root());
  for (const auto& d : manifest["files"]) {
    const std::string p = d["path"];
    SCOPED_TRACE(p);
    Text want = FromUtf8(p);
    want[want.rfind(u'\\') + 1] = u'~';
    const test::FatFound* found = nullptr;
    for (const auto& x : search.found)
      if (x.path.size() >= want.size() && x.path.substr(x.path.size() - want.size()) == want) found = &x;
    ASSERT_NE(found, nullptr);
    test::TempDir dir;
    auto run = test::RunFatUndelete(dir.EnginePath(), {*found});
    ASSERT_EQ(run.outcomes.size(), 1u);
    Text out = run.outcomes[0].output;
    for (auto& c : out)
      if (c == u'\\') c = u'/';
    std::string hex;
    const bool same = !out.empty() && FileSha256(ToUtf8(out), hex) && hex == d["sha256"];
    if (p == "\\OLD\\OLD.TXT") {
      // Its first two clusters hold SMALL.TXT now and the rest NEW.TXT:
      // not whole, and NEW.TXT's clusters are not passed off as its own.
      EXPECT_EQ(run.outcomes[0].code, kResultPartlyInUse);
      EXPECT_FALSE(same);
    } else {
      EXPECT_EQ(run.outcomes[0].code, kResultRecovered);
      EXPECT_TRUE(same);
    }
  }
}

}  // namespace
}  // namespace rv
