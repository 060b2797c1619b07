// The recovery session both front ends run: requests split under the
// packet's payload limit, a recovery split into many requests giving the
// same files and bytes as one request, the destination's rules, and the
// filters every front end lists files by.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "channel/messages.h"
#include "engines/engines.h"
#include "fat_support.h"
#include "platform/files.h"
#include "platform/text.h"
#include "volume/osvolume.h"
#include "recovery/filters.h"
#include "recovery/recovery_report.h"
#include "recovery/recovery_session.h"
#include "test_support.h"

namespace rv {
namespace {

std::vector<FoundFile> SyntheticFatFiles(size_t count, size_t nameUnits) {
  std::vector<FoundFile> files(count);
  for (size_t i = 0; i < count; ++i) {
    files[i].locator = static_cast<uint32_t>(2 + i / 100);
    files[i].second = static_cast<uint32_t>(i % 100);
    files[i].folder = u"\\";
    files[i].name = FromUtf8(std::to_string(i)) + Text(nameUnits, u'n');
    files[i].path = u"X:\\" + files[i].name;
  }
  return files;
}

// Every file once, in order; every request within the limit when built.
void ExpectCoveredInOrder(const EngineRow& engine, const std::vector<FoundFile>& files,
                          const std::vector<std::vector<size_t>>& requests, size_t limit) {
  size_t next = 0;
  for (const auto& r : requests) {
    ASSERT_FALSE(r.empty());
    std::vector<FoundFile> asked;
    for (size_t i : r) {
      ASSERT_EQ(i, next++);
      asked.push_back(files[i]);
    }
    EXPECT_LE(engine.undeleteRequest(u"D:\\out", asked).size(), limit);
  }
  EXPECT_EQ(next, files.size());
}

TEST(RecoverySession, RequestsSplitUnderThePayloadLimit) {
  // 70,000 FAT files with 120-unit paths: about 17.4 MB as one request,
  // past the 24-bit payload length a packet can carry.
  const EngineRow& fat = *EngineForFileSystem(u"FAT");
  const auto files = SyntheticFatFiles(70000, 115);
  std::vector<size_t> all(files.size());
  for (size_t i = 0; i < all.size(); ++i) all[i] = i;
  ASSERT_GT(fat.undeleteRequest(u"D:\\out", files).size(), size_t{kMaxPayloadLength});
  std::vector<size_t> unframed;
  const auto requests = SplitIntoRequests(fat, u"D:\\out", files, all, kMaxPayloadLength, unframed);
  EXPECT_TRUE(unframed.empty());
  EXPECT_EQ(requests.size(), 2u);
  ExpectCoveredInOrder(fat, files, requests, kMaxPayloadLength);

  // NTFS records are 8 bytes each: a small limit cuts them exactly.
  const EngineRow& ntfs = *EngineForFileSystem(u"NTFS");
  const size_t base = ntfs.undeleteRequest(u"D:\\out", {}).size();
  std::vector<FoundFile> records(10);
  for (size_t i = 0; i < records.size(); ++i) records[i].locator = static_cast<uint32_t>(40 + i), records[i].second = kNtfsFileItself;
  std::vector<size_t> ten(10);
  for (size_t i = 0; i < 10; ++i) ten[i] = i;
  const auto cut = SplitIntoRequests(ntfs, u"D:\\out", records, ten, base + 3 * 8, unframed);
  EXPECT_EQ(cut.size(), 4u);  // 3 + 3 + 3 + 1
  ExpectCoveredInOrder(ntfs, records, cut, base + 3 * 8);

  // A file whose record alone passes the limit is set apart, the rest go on.
  auto mixed = SyntheticFatFiles(3, 4);
  mixed[1].path = u"X:\\" + Text(400, u'l');
  const size_t limit = fat.undeleteRequest(u"D:\\out", {mixed[0], mixed[2]}).size();
  const auto parted = SplitIntoRequests(fat, u"D:\\out", mixed, {0, 1, 2}, limit, unframed);
  ASSERT_EQ(unframed, std::vector<size_t>{1});
  ASSERT_EQ(parted.size(), 1u);
  EXPECT_EQ(parted[0], (std::vector<size_t>{0, 2}));
}

struct Found {
  std::vector<FoundFile> files;
  Text root;
};

Found SearchImage(const test::AttachedVolume& volume, const EngineRow& engine) {
  Found out;
  out.root = volume.Root();
  ReceiverEvents ev;
  ev.onFound = [&](FoundFile& f) { out.files.push_back(f); };
  MessageReceiver receiver(ev, volume.name);
  SearchRequestFields request;
  request.includeSubfolders = 1;
  request.pattern = u"*";
  request.folder = u"\\";
  request.volumeRoot = out.root;
  RunEngineSearch(engine, request, receiver);
  return out;
}

RecoveryReport Recover(const EngineRow& engine, const Found& found, const std::string& into, size_t maxPayload,
                       bool keepFolders) {
  RecoveryOptions options;
  options.maxPayload = maxPayload;
  options.keepFolders = keepFolders;
  options.counterBeforeExtension = true;
  options.searchedRoot = found.root;
  RecoverySession session(engine, into, options);
  EXPECT_TRUE(session.Prepare().Accepted());
  RecoveryEvents ev;
  size_t last = 0;
  // Each request counts its files from the start of the whole recovery.
  ev.onFileStarted = [&](size_t started, size_t, const Text&) { last = started; };
  RecoveryReport report = session.Run(found.files, ev);
  EXPECT_EQ(last, found.files.size());
  return report;
}

// Room for the destination, its deepest kept folder and two of the longest records.
size_t TwoRecordsLimit(const EngineRow& engine, const std::vector<FoundFile>& files, const std::string& into) {
  const Text dest = fs::AbsoluteFolderPath(into);
  const size_t base = engine.undeleteRequest(dest, {}).size();
  size_t record = 0, folder = 0;
  for (const auto& f : files) {
    record = std::max(record, engine.undeleteRequest(dest, {f}).size() - base);
    folder = std::max(folder, f.folder.size());
  }
  return base + 2 * (folder + 1) + 2 * record;
}

std::string Native(const Text& output) {
  std::string s = ToUtf8(output);
#ifndef _WIN32
  for (auto& c : s)
    if (c == '\\') c = '/';
#endif
  return s;
}

// One request, or requests of a file or two each: the same result per file
// and the same bytes, flat and with the volume's folders kept.
TEST(RecoverySession, ManyRequestsRecoverWhatOneDoes) {
  int seen = 0;
  for (const char* name : {"fat16-2k.img", "ntfs-4k.img", "exfat-4k.img"}) {
    const std::string path = test::ImagePath(name);
    if (path.empty()) continue;
    ++seen;
    SCOPED_TRACE(name);
    test::AttachedVolume volume(test::ImageSource(path));
    Text fsName, label;
    ASSERT_TRUE(QueryVolumeInformation(volume.Root(), fsName, label));
    const EngineRow* engine = EngineForFileSystem(fsName);
    ASSERT_NE(engine, nullptr);
    const Found found = SearchImage(volume, *engine);
    ASSERT_GE(found.files.size(), 3u);
    for (bool keep : {false, true}) {
      SCOPED_TRACE(keep ? "kept folders" : "flat");
      test::TempDir one, many;
      const size_t small = TwoRecordsLimit(*engine, found.files, many.path() + "/r");
      std::vector<size_t> all(found.files.size()), unframed;
      for (size_t i = 0; i < all.size(); ++i) all[i] = i;
      ASSERT_GT(SplitIntoRequests(*engine, fs::AbsoluteFolderPath(many.path() + "/r"), found.files, all, small, unframed)
                    .size(),
                2u);
      const RecoveryReport a = Recover(*engine, found, one.path() + "/r", kMaxPayloadLength, keep);
      const RecoveryReport b = Recover(*engine, found, many.path() + "/r", small, keep);
      ASSERT_EQ(a.files.size(), b.files.size());
      EXPECT_GT(a.whole, 0u);
      EXPECT_EQ(a.whole, b.whole);
      EXPECT_EQ(a.partly, b.partly);
      for (size_t i = 0; i < a.files.size(); ++i) {
        SCOPED_TRACE(ToUtf8(found.files[i].path));
        EXPECT_EQ(b.files[i].unanswered, Unanswered::No);
        EXPECT_EQ(a.files[i].result.code, b.files[i].result.code);
        EXPECT_EQ(a.files[i].guessed, b.files[i].guessed);
        if (!a.files[i].Written()) continue;
        const std::string pa = Native(a.files[i].result.output), pb = Native(b.files[i].result.output);
        EXPECT_EQ(pa.substr(one.path().size()), pb.substr(many.path().size()));
        EXPECT_EQ(test::ReadFileBytes(pa), test::ReadFileBytes(pb));
      }
    }
    engine->release();
  }
  if (!seen) GTEST_SKIP() << "no test images unpacked";
}

TEST(RecoverySession, DestinationRulesAndTakingBack) {
  EXPECT_EQ(CheckDestinationRules("", "").problem, DestinationProblem::Empty);
  test::TempDir dir;
  EXPECT_TRUE(CheckDestinationRules(dir.path(), "").Accepted());
#ifdef _WIN32
  for (const char* bin : {"C:\\$Recycle.Bin", "c:\\recycler\\S-1-5", "C:\\RECYCLED\\x", "C:\\RecoveryBin"})
    EXPECT_EQ(CheckDestinationRules(bin, "").problem, DestinationProblem::RecycleFolder) << bin;
#endif
  // A destination made for a recovery that wrote nothing is taken back,
  // parents included; one that existed stays.
  const std::string made = dir.path() + "/a/b";
  RecoverySession session(*EngineForFileSystem(u"NTFS"), made, {});
  ASSERT_TRUE(session.Prepare().Accepted());
  ASSERT_TRUE(std::filesystem::is_directory(made));
  const RecoveryReport report = session.Run({}, {});
  EXPECT_TRUE(report.files.empty());
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/a"));
  EXPECT_TRUE(std::filesystem::is_directory(dir.path()));
}

// Time bounds: the lower one included, the upper one excluded; a file
// without a time, or without a known share, passes no bound on it.
TEST(FileFilters, BoundsAndUnknownValues) {
  FoundFile f;
  f.size = 1000;
  f.timeKind = FoundTimeKind::FileTimeUtc;
  f.timeValue = 5000;
  f.recoverable = -1;
  FileFilters none;
  EXPECT_FALSE(none.Any());
  EXPECT_TRUE(none.Passes(f));
  EXPECT_FALSE(none.NeedsRecoverableShare(false));

  FileFilters time;
  time.modifiedFrom = 5000;
  time.modifiedUntil = 5001;
  EXPECT_TRUE(time.Passes(f));
  time.modifiedUntil = 5000;
  EXPECT_FALSE(time.Passes(f));
  FileFilters skipped;
  skipped.timeUnmatchable = true;
  EXPECT_TRUE(skipped.Any());
  EXPECT_FALSE(skipped.Passes(f));
  FoundFile timeless = f;
  timeless.timeKind = FoundTimeKind::None;
  time.modifiedUntil.reset();
  EXPECT_FALSE(time.Passes(timeless));

  FileFilters share;
  share.minRecoverable = 50;
  EXPECT_TRUE(share.NeedsRecoverableShare(false));
  EXPECT_FALSE(share.Passes(f));
  f.recoverable = 50;
  EXPECT_TRUE(share.Passes(f));

  FileFilters size;
  size.minSize = 1000;
  size.maxSize = 1000;
  EXPECT_TRUE(size.Passes(f));
  EXPECT_FALSE(size.PassesSize(1001));
  EXPECT_FALSE(size.PassesSize(999));
}

// A report written beside the recovered files never replaces one: the
// second takes a counted name that keeps its extension.
TEST(RecoveryReportFile, WrittenBesideWithoutReplacing) {
  test::TempDir dir;
  OutputDestination destination;
  Text written;
  EXPECT_FALSE(WriteNewFileIn(destination, u"Report.csv", "x", written));
  ASSERT_TRUE(destination.Open(dir.EnginePath()));
  ASSERT_TRUE(WriteNewFileIn(destination, u"Report.csv", "first\n", written));
  ASSERT_TRUE(WriteNewFileIn(destination, u"Report.csv", "second\n", written));
  EXPECT_EQ(written.substr(written.rfind(u'\\') + 1), u"Report;1.csv");
  const auto text = [&](const char* name) {
    const std::vector<uint8_t> b = test::ReadFileBytes(dir.path() + "/" + name);
    return std::string(b.begin(), b.end());
  };
  EXPECT_EQ(text("Report.csv"), "first\n");
  EXPECT_EQ(text("Report;1.csv"), "second\n");
}

}  // namespace
}  // namespace rv
