// The FAT engine on the volumes made to hold what a search must not lose or
// invent (fat16-lost.img, fat32-lost.img): a folder whose chain loops, a
// FAT32 root whose one cluster points to itself, deleted entries that are
// not files, a fragmented deleted file around other files' first clusters,
// and short names with the lower-case flags.
#include <gtest/gtest.h>

#include <algorithm>

#include "channel/messages.h"
#include "fat/fue.h"
#include "fat_support.h"
#include "ntfs_test_support.h"
#include "platform/text.h"

namespace rv {
namespace {

class FatLost : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    path_ = test::ImagePath(GetParam());
    if (path_.empty()) GTEST_SKIP() << GetParam() << " not unpacked";
    image_ = test::ManifestImage(GetParam());
    ASSERT_FALSE(image_.is_null());
    volume_ = std::make_unique<test::AttachedVolume>(test::ImageSource(path_));
    search_ = test::RunFatSearch(volume_->Root());
  }
  void TearDown() override { volume_.reset(); }

  // The path inside the volume, as the search reports it.
  static Text Inside(const test::FatFound& f) { return f.path.substr(f.path.find(u"}\\") + 1); }
  const test::FatFound* Found(const Text& inside) const {
    for (const auto& f : search_.found)
      if (Inside(f) == inside) return &f;
    return nullptr;
  }
  // The manifest's deleted file, by its path as the search shows it.
  const nlohmann::json* Deleted(const std::string& path) const {
    for (const auto& d : image_["deleted"])
      if (d["path"] == path) return &d;
    return nullptr;
  }
  std::vector<uint8_t> Recover(const test::FatFound& f, uint32_t& code) {
    test::TempDir dir;
    auto run = test::RunFatUndelete(dir.EnginePath(), {f});
    code = run.outcomes.empty() ? 0 : run.outcomes[0].code;
    if (run.outcomes.empty() || run.outcomes[0].output.empty()) return {};
    Text out = run.outcomes[0].output;
    for (auto& c : out)
      if (c == u'\\') c = u'/';
    return test::ReadFileBytes(ToUtf8(out));
  }

  std::string path_;
  nlohmann::json image_;
  std::unique_ptr<test::AttachedVolume> volume_;
  test::FatSearchRun search_;
};

// \LOOP's last cluster points back to its first: the folder is read up to
// the loop and every deleted file in its three clusters is listed and comes
// back whole. On FAT32 the root's one cluster also points to itself, which
// must not make the volume refused.
TEST_P(FatLost, FolderWhoseChainLoopsKeepsItsEntries) {
  EXPECT_EQ(search_.Count(CM_SHOW_MESSAGE), 0u);
  EXPECT_EQ(search_.Count(CM_SEARCH_FINISHED), 1u);
  size_t checked = 0;
  for (const auto& d : image_["deleted"]) {
    const std::string p = d["path"];
    if (p.rfind("\\LOOP\\", 0) != 0) continue;
    SCOPED_TRACE(p);
    Text shown = FromUtf8(p);
    shown[6] = u'~';  // a deleted short name has lost its first character
    const test::FatFound* f = Found(shown);
    ASSERT_NE(f, nullptr);
    uint32_t code = 0;
    EXPECT_EQ(Recover(*f, code), test::OriginalBytes(d));
    EXPECT_EQ(code, kResultRecovered);
    ++checked;
  }
  EXPECT_EQ(checked, 14u);
}

// Deleted entries that cannot be files (a long-name entry whose attribute
// byte lost a bit, a short name with a control byte, month 13, a size past
// the volume) are left out and counted; every real deleted file is listed,
// and recovering everything listed gets every file back (no 778).
TEST_P(FatLost, DeletedEntriesThatAreNotFilesAreLeftOut) {
  ASSERT_EQ(image_["not_files"].size(), 4u);
  EXPECT_EQ(FueDel::EntriesNotFilesOfLastSearch(), 4u);
  for (const auto& f : search_.found) {
    SCOPED_TRACE(ToUtf8(f.path));
    EXPECT_NE(f.size, 0xFFFFFFFFu);
    for (char16_t c : Inside(f)) EXPECT_GE(c, 0x20);
  }
  std::vector<Text> damaged;
  for (const auto& f : search_.found)
    if (Inside(f).rfind(u"\\DAMAGED\\", 0) == 0) damaged.push_back(Inside(f));
  std::sort(damaged.begin(), damaged.end());
  EXPECT_EQ(damaged, (std::vector<Text>{u"\\DAMAGED\\damaged-attr-", u"\\DAMAGED\\~FTER.TXT", u"\\DAMAGED\\~OOD.TXT"}));
  EXPECT_EQ(search_.found.size(), image_["deleted"].size());
  test::TempDir dir;
  auto run = test::RunFatUndelete(dir.EnginePath(), search_.found);
  ASSERT_EQ(run.outcomes.size(), search_.found.size());
  for (const auto& o : run.outcomes) EXPECT_NE(o.code, kResultNotRecovered) << ToUtf8(o.source);
}

// Short names written with the lower-case flags of byte 12 (mtools keeps
// "lower.txt" so, as Windows does) are listed and recovered in the case the
// flags give, base name and extension each on its own, and so is the live
// folder they lie in.
TEST_P(FatLost, LowerCaseFlagsGiveTheCaseOfShortNames) {
  for (const char* name : {"~ower.txt", "~PPEXT.txt", "~owbase.TXT"}) {
    SCOPED_TRACE(name);
    const test::FatFound* f = Found(u"\\casedir\\" + FromUtf8(name));
    ASSERT_NE(f, nullptr);
    test::TempDir dir;
    auto run = test::RunFatUndelete(dir.EnginePath(), {*f});
    ASSERT_EQ(run.outcomes.size(), 1u);
    EXPECT_EQ(run.outcomes[0].code, kResultRecovered);
    const Text& out = run.outcomes[0].output;
    EXPECT_EQ(out.substr(out.rfind(u'\\') + 1), FromUtf8(name));
  }
}

// \FRAG\A.BIN (deleted) lies in three clusters around B.BIN (deleted) and
// C.BIN (live), one cluster each. Their first clusters are no part of A:
// the guess passes over them and A comes back whole, whether the search
// gathered the volume's first clusters or the recovery has to.
TEST_P(FatLost, FragmentedFileSkipsOtherEntriesFirstClusters) {
  const nlohmann::json* a = Deleted("\\FRAG\\A.BIN");
  ASSERT_NE(a, nullptr);
  ASSERT_EQ((*a)["clusters"].size(), 3u);
  const test::FatFound* f = nullptr;
  for (const auto& x : search_.found)
    if (Inside(x) == u"\\FRAG\\~.BIN" && x.size == (*a)["size"].get<uint32_t>()) f = &x;
  ASSERT_NE(f, nullptr);
  uint32_t code = 0;
  EXPECT_EQ(Recover(*f, code), test::OriginalBytes(*a));
  EXPECT_EQ(code, kResultRecovered);
  FueVolumeData& v = TheFueVolume();
  v.firstClusters.clear();
  v.firstClustersComplete = false;
  EXPECT_EQ(Recover(*f, code), test::OriginalBytes(*a));
  EXPECT_TRUE(v.firstClustersComplete);
}

INSTANTIATE_TEST_SUITE_P(Volumes, FatLost, testing::Values("fat16-lost.img", "fat32-lost.img"),
                         [](const testing::TestParamInfo<const char*>& i) {
                           std::string n = i.param;
                           return n.substr(0, n.find('-'));
                         });

}  // namespace
}  // namespace rv
