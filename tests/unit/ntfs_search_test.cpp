// The NTFS search against the test images: every deleted file of the
// manifest whose record is still free is listed under its full folder path
// with its size and time; damaged copies are skipped without harm.
#include <gtest/gtest.h>

#include <map>

#include "channel/filter.h"
#include "channel/packet.h"
#include "ntfs/nue.h"
#include "ntfs_test_support.h"
#include "platform/text.h"
#include "format/le.h"
#include "volume/osvolume.h"

namespace rv {
namespace {

struct Found {
  uint32_t record;
  uint32_t stream;  // 0xFFFFFFFF for the file, else its named stream's number
  uint32_t size;
  Text time;
  Text path;
};

std::vector<Found> FoundFiles(const test::MessageRecorder& rec) {
  std::vector<Found> out;
  for (const auto& m : rec.messages) {
    if (m.id != CM_FILE_FOUND) continue;
    Bytes b(m.payload.data(), m.payload.size());
    Found f{le32(b, 0), le32(b, 4), le32(b, 8), {}, {}};
    size_t at = 12;
    for (Text* t : {&f.time, &f.path}) {
      for (; at + 1 < m.payload.size() && le16(b, at) != 0; at += 2) t->push_back(le16(b, at));
      at += 2;
    }
    out.push_back(f);
  }
  return out;
}

std::vector<Found> Search(const Text& volumeName, const Text& pattern, const Text& folder, bool sub,
                          test::MessageRecorder& rec) {
  SearchRequestFields req{sub ? 1u : 0u, pattern, folder, volumeName + u"\\"};
  RequestPacket packet = RequestPacket::Wrap(BuildSearchRequest(req));
  NueDel::GetDeletedFileHeadersShell(packet);
  return FoundFiles(rec);
}

// "2023-01-31T10:00:10Z" as the header shows it in UTC: "01/31/2023 10:00".
Text ExpectedTime(const std::string& iso) {
  return FromUtf8(iso.substr(5, 2) + "/" + iso.substr(8, 2) + "/" + iso.substr(0, 4) + " " + iso.substr(11, 5));
}

bool RecordStillFree(VolumeSource& s, uint64_t number) {
  std::vector<uint8_t> out(41440);
  uint64_t info = 0, n = number;
  if (s.FsControl(FSCTL_GET_NTFS_FILE_RECORD_CODE, &n, 8, out.data(), 41440, info) != kStatusSuccess) return false;
  return (le64(Bytes(out.data(), 8), 0) & ntfs::kRecordNumberMask) != number;
}

TEST(NtfsSearch, ListsEveryFreeDeletedFileOfTheManifest) {
  test::UseUtc();
  int seen = 0;
  for (const auto& name : test::NtfsImageNames()) {
    std::string path = test::ImagePath(name);
    if (path.empty()) continue;
    ++seen;
    SCOPED_TRACE(name);
    uint32_t err = 0;
    auto source = OpenImageSource(FromUtf8(path), 0, 0, err);
    ASSERT_TRUE(source);
    Text vol = AttachVolume(source);
    test::MessageRecorder rec;
    auto found = Search(vol, u"", u"\\", true, rec);
    ASSERT_EQ(rec.messages.front().id, CM_SEARCH_STARTED);
    ASSERT_EQ(rec.messages.back().id, CM_SEARCH_FINISHED);
    EXPECT_EQ(rec.Count(CM_SHOW_MESSAGE), 0u);
    std::map<uint32_t, Found> byRecord;
    for (const auto& f : found) {
      EXPECT_GE(f.record, 16u);
      if (f.stream == kNtfsFileItself) byRecord[f.record] = f;
    }
    auto image = test::ManifestImage(name);
    for (const auto& d : image["deleted"]) {
      const uint32_t number = d["mft_record"].get<uint32_t>();
      if (!RecordStillFree(*source, number)) continue;
      SCOPED_TRACE(d["path"].get<std::string>());
      auto it = byRecord.find(number);
      ASSERT_NE(it, byRecord.end());
      // A file with several links is listed under the first name its
      // record holds.
      std::vector<std::string> names{d["path"].get<std::string>()};
      for (const auto& l : d.value("links", nlohmann::json::array())) names.push_back(l.get<std::string>());
      const std::string got = ToUtf8(it->second.path);
      bool known = false;
      for (const auto& n : names) known |= got == ToUtf8(vol) + n;
      EXPECT_TRUE(known) << got;
      EXPECT_EQ(it->second.size, d["size"].get<uint32_t>());
      EXPECT_EQ(ToUtf8(it->second.time), ToUtf8(ExpectedTime(d["mtime"].get<std::string>())));
    }
    // Progress never goes backwards and comes at least 4 percent apart.
    uint32_t last = 0;
    for (const auto& m : rec.messages)
      if (m.id == CM_SEARCH_PROGRESS) {
        uint32_t p = le32(Bytes(m.payload.data(), 4), 0);
        EXPECT_GE(p, last + 4);
        last = p;
      }
    DetachVolume(vol);
    FreeNueVolumeDataStructures(TheNueVolume());
  }
  if (!seen) GTEST_SKIP() << "no NTFS test images unpacked";
}

// Folders placed during one scan serve only that scan: searches of other
// volumes, one after another without teardown, list exactly what each
// volume lists on its own.
TEST(NtfsSearch, FoldersPlacedInOneScanAreNotReusedByTheNext) {
  test::UseUtc();
  auto paths = [](const std::string& name, bool fresh) {
    std::vector<Text> out;
    std::string path = test::ImagePath(name);
    if (path.empty()) return out;
    if (fresh) FreeNueVolumeDataStructures(TheNueVolume());
    uint32_t err = 0;
    auto source = OpenImageSource(FromUtf8(path), 0, 0, err);
    if (!source) return out;
    Text vol = AttachVolume(source);
    test::MessageRecorder rec;
    for (const auto& f : Search(vol, u"", u"\\", true, rec)) out.push_back(f.path.substr(vol.size()));
    DetachVolume(vol);
    return out;
  };
  const std::vector<std::string> names = test::NtfsImageNames();
  if (names.size() < 2 || test::ImagePath(names[0]).empty()) GTEST_SKIP() << "no NTFS test images unpacked";
  std::vector<std::vector<Text>> alone;
  for (const auto& n : names) alone.push_back(paths(n, true));
  for (size_t i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(paths(names[i], false), alone[i]);
  }
  FreeNueVolumeDataStructures(TheNueVolume());
}

TEST(NtfsSearch, FolderAndPatternNarrowTheList) {
  std::string path = test::ImagePath("ntfs-4k.img");
  if (path.empty()) GTEST_SKIP() << "ntfs-4k.img not unpacked";
  uint32_t err = 0;
  auto source = OpenImageSource(FromUtf8(path), 0, 0, err);
  Text vol = AttachVolume(source);
  {
    test::MessageRecorder rec;
    for (const auto& f : Search(vol, u"*.TXT", u"\\OldFolder\\", true, rec)) {
      EXPECT_EQ(ToUtf8(f.path).rfind(ToUtf8(vol) + "\\OldFolder\\", 0), 0u);
      EXPECT_TRUE(WildcardMatch(f.path.substr(f.path.rfind(u'\\') + 1), u"*.txt", false));
    }
    EXPECT_GE(rec.Count(CM_FILE_FOUND), 2u);
  }
  {
    test::MessageRecorder rec;
    for (const auto& f : Search(vol, u"", u"\\", false, rec)) EXPECT_EQ(f.path.rfind(u'\\'), vol.size());
    EXPECT_GE(rec.Count(CM_FILE_FOUND), 3u);
  }
  DetachVolume(vol);
  FreeNueVolumeDataStructures(TheNueVolume());
}

TEST(WildcardMatch, FollowsTheSearchRules) {
  EXPECT_TRUE(WildcardMatch(u"A.TXT", u"*.txt", false));
  EXPECT_TRUE(WildcardMatch(u"abcbc", u"a*c", false));
  EXPECT_TRUE(WildcardMatch(u"ax", u"*?x", false));
  EXPECT_FALSE(WildcardMatch(u"abx", u"*?x", false));
  EXPECT_FALSE(WildcardMatch(u"", u"*", false));
  EXPECT_FALSE(WildcardMatch(u"a", u"", false));
  EXPECT_TRUE(WildcardMatch(u"Report.DOC", u"report.doc", false));
  EXPECT_FALSE(WildcardMatch(u"Report.DOC", u"report.doc", true));
  EXPECT_TRUE(WildcardMatch(u"abc", u"a*", false));
  EXPECT_FALSE(WildcardMatch(u"abc", u"a?", false));
  EXPECT_FALSE(WildcardMatch(u"abc", Text(300, u'*'), false));
}

TEST(FolderFilter, SubfoldersAndRoot) {
  EXPECT_TRUE(FolderFilter(u"\\a\\b\\", u"x", u"\\", u"", true));
  EXPECT_FALSE(FolderFilter(u"\\a\\", u"x", u"\\", u"", false));
  EXPECT_TRUE(FolderFilter(u"\\", u"x", u"\\", u"", false));
  EXPECT_TRUE(FolderFilter(u"\\A\\b\\", u"x", u"\\a\\", u"", true));
  EXPECT_FALSE(FolderFilter(u"\\ab\\", u"x", u"\\a\\", u"", true));
  EXPECT_FALSE(FolderFilter(u"\\a\\b\\", u"x", u"\\a\\", u"", false));
  EXPECT_FALSE(FolderFilter(u"\\", u"x.doc", u"\\", u"*.txt", true));
  EXPECT_TRUE(FolderFilter(u"\\a\\", u"x", u"\\A\\", u"", false));
  EXPECT_FALSE(FolderFilter(u"\\a\\", u"x.doc", u"\\a\\", u"*.txt", true));
}

}  // namespace
}  // namespace rv

namespace rv {
namespace {

// A stop request written while the scan runs ends it before the next
// record: fewer files than a full scan, and the shell still finishes.
TEST(NtfsSearch, StopRequestEndsTheScan) {
  std::string path = test::ImagePath("ntfs-4k.img");
  if (path.empty()) GTEST_SKIP() << "ntfs-4k.img not unpacked";
  uint32_t err = 0;
  Text vol = AttachVolume(OpenImageSource(FromUtf8(path), 0, 0, err));
  size_t full = 0;
  {
    test::MessageRecorder rec;
    full = Search(vol, u"", u"\\", true, rec).size();
  }
  std::vector<uint32_t> ids;
  CallbackSink stopper([&](uint32_t id, const std::vector<uint8_t>&) {
    ids.push_back(id);
    if (id == CM_FILE_FOUND) g_ntfsRunState.store(kEngineStopRequested);
  });
  SetMessageSink(&stopper);
  SearchRequestFields req{1, u"", u"\\", vol + u"\\"};
  RequestPacket packet = RequestPacket::Wrap(BuildSearchRequest(req));
  NueDel::GetDeletedFileHeadersShell(packet);
  SetMessageSink(nullptr);
  size_t found = 0;
  for (uint32_t id : ids) found += id == CM_FILE_FOUND;
  EXPECT_EQ(found, 1u);
  EXPECT_GT(full, 1u);
  EXPECT_EQ(ids.back(), CM_SEARCH_FINISHED);
  EXPECT_EQ(g_ntfsRunState.load(), kEngineIdle);
  DetachVolume(vol);
  FreeNueVolumeDataStructures(TheNueVolume());
}

}  // namespace
}  // namespace rv
