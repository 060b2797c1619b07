// Recovery destination rules and the search panel's criteria block.
#include <gtest/gtest.h>

#include "channel/destination.h"
#include "shell/two_pane/criteria.h"

namespace rv {
namespace {

std::vector<DestinationVolume> Machine() {
  return {{u"Volume{11111111-2222-3333-4444-555555555555}\\", u'D', u"D:", true},
          {u"Volume{aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee}\\", 0, u"\\Device\\HarddiskVolume3", true}};
}

TEST(Destination, RecycleFoldersAndRecoveryBinsAreRefusedInAnyCase) {
  auto v = Machine();
  for (const char16_t* path : {u"D:\\Recycled\\x\\", u"D:\\RECYCLER\\S-1-5\\", u"d:\\$recycle.bin\\",
                               u"D:\\$Recycle.Bin\\x\\", u"D:\\RecoveryBin\\", u"D:\\recyclerfolder\\",
                               u"Volume{11111111-2222-3333-4444-555555555555}\\Recycled\\",
                               u"\\Device\\HarddiskVolume3\\RECYCLED\\y\\"}) {
    DestinationVerdict d = CheckDestination(path, v, false);
    EXPECT_EQ(d.refusal, DestinationRefusal::RecycleFolder) << std::char_traits<char16_t>::length(path);
  }
}

TEST(Destination, AcceptedPathsResolveToTheVolumeName) {
  auto v = Machine();
  DestinationVerdict d = CheckDestination(u"D:\\Data\\x\\", v, false);
  ASSERT_TRUE(d.Accepted());
  EXPECT_EQ(d.resolved, u"Volume{11111111-2222-3333-4444-555555555555}\\Data\\x\\");
  // Drive letters in either case; the root alone.
  EXPECT_EQ(CheckDestination(u"d:", v, false).resolved, u"Volume{11111111-2222-3333-4444-555555555555}\\");
  // By volume name (any case) and by display path (one separator skipped).
  EXPECT_EQ(CheckDestination(u"volume{11111111-2222-3333-4444-555555555555}\\Out\\", v, false).resolved,
            u"Volume{11111111-2222-3333-4444-555555555555}\\Out\\");
  EXPECT_EQ(CheckDestination(u"\\Device\\HarddiskVolume3\\Out\\", v, false).resolved,
            u"Volume{aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee}\\Out\\");
  // A folder merely containing a recycle name further down is fine.
  EXPECT_TRUE(CheckDestination(u"D:\\Data\\Recycled\\", v, false).Accepted());
}

TEST(Destination, UnknownVolumesAreRefusedUnlessAnyDestinationIsAllowed) {
  auto v = Machine();
  EXPECT_EQ(CheckDestination(u"Q:\\Out\\", v, false).refusal, DestinationRefusal::NoVolume);
  EXPECT_EQ(CheckDestination(u"\\\\server\\share\\", v, false).refusal, DestinationRefusal::NoVolume);
  EXPECT_EQ(CheckDestination(u"Volume{99999999-2222-3333-4444-555555555555}\\x\\", v, false).refusal,
            DestinationRefusal::NoVolume);
  EXPECT_EQ(CheckDestination(u"D:\\Out\\", {}, false).refusal, DestinationRefusal::NoVolume);
  // "D:Out" (relative to D's current folder) is not "D:" followed by a
  // separator or the end, and a display path must end where a folder does.
  EXPECT_EQ(CheckDestination(u"D:Out", v, false).refusal, DestinationRefusal::NoVolume);
  EXPECT_EQ(CheckDestination(u"\\Device\\HarddiskVolume31\\x", v, false).refusal, DestinationRefusal::NoVolume);
  EXPECT_TRUE(CheckDestination(u"D:\\Recycled\\x\\", v, true).Accepted());
  EXPECT_EQ(CheckDestination(u"D:\\Recycled\\x\\", v, true).resolved,
            u"Volume{11111111-2222-3333-4444-555555555555}\\Recycled\\x\\");
  EXPECT_TRUE(CheckDestination(u"Q:\\Out\\", v, true).Accepted());
  EXPECT_STRNE(DestinationRefusalText(DestinationRefusal::NoVolume), "");
  EXPECT_STRNE(DestinationRefusalText(DestinationRefusal::RecycleFolder), "");
}

}  // namespace

namespace shell {
namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> b) { return std::vector<uint8_t>(b.begin(), b.end()); }

std::vector<uint8_t> Utf16z(const char* s) {
  std::vector<uint8_t> out;
  for (; *s; ++s) {
    out.push_back(static_cast<uint8_t>(*s));
    out.push_back(0);
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

TEST(SearchCriteria, BlockLayoutByteForByte) {
  SearchCriteria c;
  c.dateFlags = kDateOn | kDateKindBit | kDateRange;
  c.firstTime = 0x0123456789ABCDEFull;
  c.secondTime = 0x1122334455667788ull;
  c.nameFlags = kNameGiven | kFolderGiven | kSubfolders;
  c.pattern = u"*.doc";
  c.folder = u"\\Docs\\";
  c.ownerFlags = kOwnerGiven | kDeleterGiven;
  c.owner = u"ann";
  c.deleter = u"bo";
  std::vector<uint8_t> want = Bytes({
      0, 0, 0, 0,                                      // size, below
      7, 0, 0, 0,                                      // date flags
      0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01,  // first
      0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11,  // second
      7, 0, 0, 0,                                      // name flags
      48, 0, 0, 0,                                     // pattern at 48
      60, 0, 0, 0,                                     // folder at 48 + 12
      3, 0, 0, 0,                                      // owner flags
      74, 0, 0, 0,                                     // owner at 60 + 14
      82, 0, 0, 0,                                     // deleter at 74 + 8
  });
  for (const char* s : {"*.doc", "\\Docs\\", "ann", "bo"}) {
    auto u = Utf16z(s);
    want.insert(want.end(), u.begin(), u.end());
  }
  want[0] = static_cast<uint8_t>(want.size());
  EXPECT_EQ(want.size(), 48u + 12 + 14 + 8 + 6);
  EXPECT_EQ(BuildCriteriaBlock(c), want);
}

TEST(SearchCriteria, AbsentStringsHaveOffsetZeroAndFollowEachOther) {
  SearchCriteria c;
  c.nameFlags = kFolderGiven;
  c.folder = u"C:\\";
  c.pattern = u"ignored";
  c.ownerFlags = kDeleterGiven;
  c.deleter = u"x";
  auto b = BuildCriteriaBlock(c);
  ASSERT_EQ(b.size(), 48u + 8 + 4);
  EXPECT_EQ(b[0], 60);
  EXPECT_EQ(b[28], 0);   // no pattern
  EXPECT_EQ(b[32], 48);  // the folder comes first
  EXPECT_EQ(b[40], 0);
  EXPECT_EQ(b[44], 56);
  // Nothing at all: 48 zero-filled bytes but the size.
  auto empty = BuildCriteriaBlock(SearchCriteria{});
  std::vector<uint8_t> want(48, 0);
  want[0] = 48;
  EXPECT_EQ(empty, want);
}

TEST(SearchCriteria, ShortForm) {
  SearchCriteria c;
  c.nameFlags = kSubfolders | kFolderGiven;
  c.folder = u"D:\\";
  std::vector<uint8_t> want = Bytes({1, 0, 0, 0, 0, 0});  // flag, empty pattern
  auto f = Utf16z("D:\\");
  want.insert(want.end(), f.begin(), f.end());
  EXPECT_EQ(BuildShortCriteria(c), want);
  c.nameFlags = kNameGiven;
  c.pattern = u"a";
  EXPECT_EQ(BuildShortCriteria(c), Bytes({0, 0, 0, 0, 'a', 0, 0, 0, 0, 0}));
}

TEST(SearchCriteria, ReadingRules) {
  EXPECT_FALSE(PatternGiven(u""));
  EXPECT_FALSE(PatternGiven(u"*"));
  EXPECT_FALSE(PatternGiven(u"*.*"));
  EXPECT_TRUE(PatternGiven(u"*.doc"));
  EXPECT_FALSE(FolderGiven(u""));
  EXPECT_FALSE(FolderGiven(u"*"));
  EXPECT_TRUE(FolderGiven(u"C:\\Docs"));
  EXPECT_EQ(WithTrailingSeparator(u"C:\\Docs"), u"C:\\Docs\\");
  EXPECT_EQ(WithTrailingSeparator(u"C:\\Docs\\"), u"C:\\Docs\\");
}

// 2024-03-15 14:30:00 as a FILETIME.
constexpr uint64_t kNoon = 133549866000000000ull;

TEST(SearchCriteria, DateArithmeticInFiletimeUnits) {
  const uint64_t midnight = kNoon - (14 * 3600 + 30 * 60) * 10000000ull;
  EXPECT_EQ(StartOfDay(kNoon), midnight);
  // The last 1 day: yesterday at 00:00:00.000.
  EXPECT_EQ(LastDaysStart(kNoon, 1), midnight - kFiletimeDay);
  EXPECT_EQ(LastDaysStart(kNoon, 10000), midnight - 10000 * kFiletimeDay);
  // Later date in the first picker: still earliest start, latest end.
  TimeRange r = DaysBetween(kNoon, kNoon - 3 * kFiletimeDay + 5);
  EXPECT_EQ(r.first, midnight - 3 * kFiletimeDay);
  EXPECT_EQ(r.second, midnight + kFiletimeDay - 10000);  // 23:59:59.999
  TimeRange same = DaysBetween(kNoon, kNoon);
  EXPECT_EQ(same.first, midnight);
  EXPECT_EQ(same.second - same.first, kFiletimeDay - 10000);
}

}  // namespace
}  // namespace shell
}  // namespace rv
