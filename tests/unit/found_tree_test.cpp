// The tree a mount shows: files in their folders, names a POSIX path can
// hold, two deleted files of one name both listed.
#include <gtest/gtest.h>

#include "mount/tree.h"

namespace rv {
namespace {

FoundFile File(const char16_t* folder, const char16_t* name) {
  FoundFile f;
  f.folder = folder;
  f.name = name;
  return f;
}

TEST(FoundTree, FilesSitInTheirFoldersAndTakenNamesAreCounted) {
  FoundTree t;
  t.Add(File(u"\\a\\b\\", u"x.txt"));
  t.Add(File(u"\\a\\b\\", u"x.txt"));
  t.Add(File(u"\\a\\b\\", u"x.txt:ads"));
  t.Add(File(u"\\$Orphan\\", u"y"));
  t.Add(File(u"\\", u".."));
  t.Add(File(u"\\a\\", u"s/l"));
  t.AddAt("$Carved/jpg", File(u"", u"f0001.jpg"));
  uint32_t n = 0;
  for (const char* path : {"/", "/a/b/x.txt", "/a/b/x;1.txt", "/a/b/x.txt:ads", "/$Orphan/y", "/_..", "/a/s_l",
                           "/$Carved/jpg/f0001.jpg"})
    EXPECT_TRUE(t.Find(path, n)) << path;
  EXPECT_FALSE(t.Find("/a/b/x;2.txt", n));
  EXPECT_FALSE(t.Find("/a/b/x.txt/more", n));
  ASSERT_TRUE(t.Find("/a/b/x;1.txt", n));
  EXPECT_EQ(t.nodes[n].file, 1u);
  ASSERT_TRUE(t.Find("/a", n));
  EXPECT_TRUE(t.nodes[n].folder);
  EXPECT_EQ(t.nodes[n].children.size(), 2u);  // b and s_l
  EXPECT_EQ(t.nodes[0].children.size(), 4u);  // a, $Orphan, _.., $Carved
}

TEST(FoundTree, TimesAsPosixSecondsWithTheirFraction) {
  FoundFile f;
  f.timeKind = FoundTimeKind::FileTimeUtc;
  PosixTime t;
  ASSERT_TRUE(FoundFileTime(f, 116444736000000000ull + 15 * 10000000ull + 1234567, t));
  EXPECT_EQ(t.seconds, 15);
  EXPECT_EQ(t.nanoseconds, 123456700u);
  EXPECT_FALSE(FoundFileTime(f, 0, t));
  f.timeKind = FoundTimeKind::None;
  EXPECT_FALSE(FoundFileTime(f, 12345, t));
}

}  // namespace
}  // namespace rv
