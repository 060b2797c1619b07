// Output files: destination folders, collision suffixes, and names from the
// volume that must never leave the destination folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "channel/outfile.h"
#include "channel/packet.h"
#include "platform/text.h"
#include "test_support.h"

namespace rv {
namespace {

namespace fsys = std::filesystem;

TEST(OutputFile, CollisionsGetCountedSuffixesAndNothingIsReplaced) {
  test::TempDir tmp;
  const Text folder = tmp.EnginePath();
  Text out;
  for (const char16_t* want : {u"report.doc", u"report.doc;0", u"report.doc;1"}) {
    fs::File f;
    ASSERT_EQ(CreateOutputFile(f, folder, u"report.doc", out), kOutputCreated);
    EXPECT_EQ(out, folder + u"\\" + want);
    ASSERT_TRUE(f.WriteAt(0, "x", 1));
  }
  EXPECT_EQ(fsys::file_size(tmp.path() + "/report.doc"), 1u);
}

TEST(OutputFile, OtherFailuresDoNotTryFurtherSuffixes) {
  test::TempDir tmp;
  fs::File f;
  Text out;
  EXPECT_EQ(CreateOutputFile(f, tmp.EnginePath() + u"\\missing-folder", u"a.txt", out), kOutputNotCreated);
  EXPECT_FALSE(fsys::exists(tmp.path() + "/missing-folder"));
}

TEST(Destination, MissingParentsAreCreatedAndTrailingBackslashIgnored) {
  test::TempDir tmp;
  Text dest = tmp.EnginePath() + u"\\a\\b\\c\\";
  auto payload = BuildNtfsUndeleteRequest(dest, {20});
  Text folder;
  uint32_t first = 0;
  ASSERT_TRUE(CheckDestination(payload.data(), payload.size(), folder, first));
  EXPECT_EQ(folder, tmp.EnginePath() + u"\\a\\b\\c");
  EXPECT_TRUE(fsys::is_directory(tmp.path() + "/a/b/c"));
  EXPECT_EQ(first, 2 * (dest.size() + 1));
}

TEST(Destination, AFileInTheWayRefusesTheRequest) {
  test::TempDir tmp;
  std::ofstream(tmp.path() + "/file") << "x";
  auto payload = BuildNtfsUndeleteRequest(tmp.EnginePath() + u"\\file", {20});
  Text folder;
  uint32_t first = 0;
  EXPECT_FALSE(CheckDestination(payload.data(), payload.size(), folder, first));
  auto longPayload = BuildNtfsUndeleteRequest(tmp.EnginePath() + u"\\" + Text(300, u'd'), {20});
  EXPECT_FALSE(CheckDestination(longPayload.data(), longPayload.size(), folder, first));
}

TEST(SafeOutputName, HostileNamesStayInsideTheFolder) {
  struct Case { Text in, out; };
  const Case cases[] = {
      {u"..", u"._"},
      {u".", u"_"},
      {u"..\\x", u".._x"},
      {u"../../etc/passwd", u".._.._etc_passwd"},
      {u"a:b", u"a_b"},
      {u"C:\\Windows", u"C__Windows"},
      {u"tab\there", u"tab_here"},
      {u"new\nline", u"new_line"},
      {u"CON", u"_CON"},
      {u"nul.txt", u"_nul.txt"},
      {u"com1", u"_com1"},
      {u"LPT9.log", u"_LPT9.log"},
      {u"console", u"console"},
      {u"trailing. ", u"trailing._"},
      {u"", u"_"},
      {u"q?*<>|\"", u"q______"},
      {Text(u"x\xD800y"), u"x_y"},      // unpaired high surrogate
      {Text(u"\xDC00"), u"_"},          // unpaired low surrogate
      {Text(u"\xD83D\xDE00.png"), Text(u"\xD83D\xDE00.png")},  // a real pair stays
  };
  for (const auto& c : cases) EXPECT_EQ(SafeOutputName(c.in), c.out) << ToUtf8(c.in);
}

TEST(SafeOutputName, LongNamesAreShortenedKeepingTheExtension) {
  Text name(300, u'\x65E5');  // 3 UTF-8 bytes each
  name += u".txt";
  Text safe = SafeOutputName(name);
#ifdef _WIN32
  EXPECT_LE(safe.size(), 249u);  // Windows counts UTF-16 units
#else
  EXPECT_LE(ToUtf8(safe).size(), 249u);
#endif
  EXPECT_EQ(safe.substr(safe.size() - 4), u".txt");
}

TEST(SafeOutputName, CreatedFilesLandInsideTheDestination) {
  test::TempDir tmp;
  fsys::create_directory(tmp.path() + "/dest");
  for (Text hostile : {Text(u".."), Text(u"..\\..\\evil"), Text(u"../evil"), Text(u"/abs"), Text(u"\x01\x02")}) {
    fs::File f;
    Text out;
    ASSERT_EQ(CreateOutputFile(f, tmp.EnginePath() + u"\\dest", hostile, out), kOutputCreated) << ToUtf8(hostile);
  }
  size_t inside = 0;
  for (auto& e : fsys::recursive_directory_iterator(tmp.path())) {
    if (e.is_regular_file()) {
      EXPECT_EQ(e.path().parent_path(), fsys::path(tmp.path() + "/dest")) << e.path();
      ++inside;
    }
  }
  EXPECT_EQ(inside, 5u);
}

}  // namespace
}  // namespace rv

namespace rv {
namespace {

TEST(OutputFile, PathsLongerThan260CharactersAndNonAsciiFolders) {
  test::TempDir tmp;
  Text folder = tmp.EnginePath() + u"\\r\u00E9cup\u00E9r\u00E9-\u65E5\u672C";
  while (folder.size() < 300) folder += u"\\" + Text(40, u'd');
  auto payload = BuildNtfsUndeleteRequest(folder, {20});
  Text checked;
  uint32_t first = 0;
  ASSERT_TRUE(CheckDestination(payload.data(), payload.size(), checked, first));
  fs::File f;
  Text out;
  ASSERT_EQ(CreateOutputFile(f, checked, u"\u00E9t\u00E9.txt", out), kOutputCreated);
  ASSERT_TRUE(f.WriteAt(0, "abc", 3));
  f.Close();
  EXPECT_GT(out.size(), 300u);
  EXPECT_EQ(fs::GetPathKind(out), fs::PathKind::File);
  EXPECT_TRUE(fs::NameExists(out));
}

}  // namespace
}  // namespace rv
