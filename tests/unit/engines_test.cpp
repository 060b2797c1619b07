// The engine table: which engine serves a file-system name, and the
// undelete requests its rows build from found files.
#include <gtest/gtest.h>

#include <cstring>

#include "engines/engines.h"
#include "format/le.h"

namespace rv {
namespace {

TEST(EngineTable, FileSystemNamesPickTheirEngine) {
  ASSERT_NE(EngineForFileSystem(u"NTFS"), nullptr);
  EXPECT_STREQ(EngineForFileSystem(u"NTFS")->name, "NTFS");
  EXPECT_STREQ(EngineForFileSystem(u"FAT")->name, "FAT");
  EXPECT_STREQ(EngineForFileSystem(u"FAT32")->name, "FAT");
  EXPECT_STREQ(EngineForFileSystem(u"exFAT")->name, "exFAT");
  // Refused: FAT12 reports "FAT12"; the rest have no engine.
  for (const char16_t* none : {u"FAT12", u"EXFAT", u"ReFS", u"", u"ntfs"}) EXPECT_EQ(EngineForFileSystem(none), nullptr);
  for (const EngineRow* row : AllEngines())
    EXPECT_EQ(EngineForFileSystem(row->serves(u"NTFS") ? u"NTFS" : row->serves(u"exFAT") ? u"exFAT" : u"FAT"), row);
}

TEST(EngineTable, UndeleteRequestsCarryEachFileAsItsEngineNamesIt) {
  FoundFile file, stream;
  file.locator = 70;
  file.second = kNtfsFileItself;
  stream.locator = 70;
  stream.second = 2;
  const auto ntfs = EngineForFileSystem(u"NTFS")->undeleteRequest(u"D:\\out", {file, stream});
  // Destination, then record u32 + stream u16 + 2 zero bytes per file, then -1.
  const size_t at = 2 * (std::strlen("D:\\out") + 1);
  Bytes b(ntfs.data(), ntfs.size());
  ASSERT_GE(ntfs.size(), at + 20);
  EXPECT_EQ(le32(b, at), 70u);
  EXPECT_EQ(le16(b, at + 4), 0u);
  EXPECT_EQ(le32(b, at + 8), 70u);
  EXPECT_EQ(le16(b, at + 12), 2u);
  EXPECT_EQ(le32(b, at + 16), 0xFFFFFFFFu);
  UndeleteOutcome r;
  r.record = 70;
  EXPECT_TRUE(EngineForFileSystem(u"NTFS")->resultIsFor(file, r));
  FoundFile fat;
  fat.locator = 0x7FFFFFFF;
  fat.second = 3;
  fat.path = u"X:\\a.txt";
  const auto request = EngineForFileSystem(u"FAT")->undeleteRequest(u"D:\\out", {fat});
  Bytes f(request.data(), request.size());
  EXPECT_EQ(le32(f, at), 0x7FFFFFFFu);
  EXPECT_EQ(le32(f, at + 4), 3u);
  r.source = fat.path;
  EXPECT_TRUE(EngineForFileSystem(u"FAT")->resultIsFor(fat, r));
}

}  // namespace
}  // namespace rv
