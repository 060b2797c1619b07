// Output files: destination folders, collision suffixes, and names from the
// volume that must never leave the destination folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "channel/receiver.h"

#include "channel/outfile.h"
#include "channel/packet.h"
#include "platform/system.h"
#include "platform/text.h"
#include "test_support.h"

namespace rv {
namespace {

namespace fsys = std::filesystem;

// Writes one file through OutputFile and names it.
uint32_t WriteOne(TextView folder, TextView name, const std::string& bytes, Text& out) {
  OutputFile f;
  if (f.Create(folder, name) != kOutputCreated) return kOutputNotCreated;
  if (!bytes.empty() && !f.WriteAt(0, bytes.data(), static_cast<uint32_t>(bytes.size()))) return kOutputNotCreated;
  return f.Commit(out);
}

size_t FilesIn(const std::string& dir) {
  size_t n = 0;
  for (auto& e : fsys::recursive_directory_iterator(dir)) n += e.is_regular_file() ? 1 : 0;
  return n;
}

TEST(OutputFile, CollisionsGetCountedSuffixesAndNothingIsReplaced) {
  test::TempDir tmp;
  const Text folder = tmp.EnginePath();
  Text out;
  const char* bytes[] = {"1", "22", "333"};
  int i = 0;
  for (const char16_t* want : {u"report.doc", u"report.doc;0", u"report.doc;1"}) {
    ASSERT_EQ(WriteOne(folder, u"report.doc", bytes[i++], out), kOutputCreated);
    EXPECT_EQ(out, folder + u"\\" + want);
  }
  EXPECT_EQ(fsys::file_size(tmp.path() + "/report.doc"), 1u);
  EXPECT_EQ(fsys::file_size(tmp.path() + "/report.doc;1"), 3u);
  EXPECT_EQ(FilesIn(tmp.path()), 3u);  // no partial file left behind
}

// Files named one by one (the window program's recoveries, Windows' command
// line) start counting after the last counter their name took, and still
// never replace a name another writer took meanwhile.
TEST(OutputFile, CountingStartsAfterTheLastCounterTaken) {
  test::TempDir tmp;
  const Text folder = tmp.EnginePath();
  NameCounters counters;
  OutputOptions options;
  options.counters = &counters;
  ScopedOutputOptions scope(options);
  Text out;
  for (int i = 0; i < 3; ++i) ASSERT_EQ(WriteOne(folder, u"a.txt", "x", out), kOutputCreated);
  EXPECT_EQ(out, folder + u"\\a.txt;1");
  EXPECT_EQ(counters.Next(folder, u"a.txt", false), 3u);
  std::ofstream(tmp.path() + "/a.txt;2") << "taken meanwhile";
  ASSERT_EQ(WriteOne(folder, u"a.txt", "y", out), kOutputCreated);
  EXPECT_EQ(out, folder + u"\\a.txt;3");
  EXPECT_EQ(counters.Next(folder, u"b.txt", false), 0u);  // each name counts on its own
  EXPECT_EQ(FilesIn(tmp.path()), 5u);
}

TEST(OutputFile, OtherFailuresDoNotTryFurtherSuffixes) {
  test::TempDir tmp;
  OutputFile f;
  EXPECT_EQ(f.Create(tmp.EnginePath() + u"\\missing-folder", u"a.txt"), kOutputNotCreated);
  EXPECT_FALSE(fsys::exists(tmp.path() + "/missing-folder"));
}

TEST(OutputFile, NothingUnfinishedKeepsAName) {
  test::TempDir tmp;
  const Text folder = tmp.EnginePath();
  {
    // Abandoned (a read error, a stop): the partial file goes.
    OutputFile f;
    ASSERT_EQ(f.Create(folder, u"half.bin"), kOutputCreated);
    ASSERT_TRUE(f.WriteAt(0, "abc", 3));
    EXPECT_EQ(FilesIn(tmp.path()), 1u);
  }
  EXPECT_EQ(FilesIn(tmp.path()), 0u);
  // A final flush that fails (EIO, or a full disk found late) is no
  // recovery: 78, the full disk told apart, and nothing left.
  for (uint32_t error : {kErrorReadFault, kErrorDiskFull}) {
    fs::FailFlushesForTesting(error);
    OutputFile f;
    ASSERT_EQ(f.Create(folder, u"late.bin"), kOutputCreated);
    ASSERT_TRUE(f.WriteAt(0, "abc", 3));
    Text out;
    EXPECT_EQ(f.Commit(out), kOutputNotCreated);
    fs::FailFlushesForTesting(0);
    EXPECT_EQ(f.DestinationFull(), error == kErrorDiskFull);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(FilesIn(tmp.path()), 0u);
  }
}

TEST(OutputFile, TimeIsSetOnTheFileToTheTick) {
  test::TempDir tmp;
  OutputFile f;
  ASSERT_EQ(f.Create(tmp.EnginePath(), u"t.txt"), kOutputCreated);
  ASSERT_TRUE(f.WriteAt(0, "x", 1));
  // 2023-01-31 10:00:10.1234567 UTC
  const uint64_t when = 133196904101234567ull;
  f.SetModificationTime(when);
  Text out;
  ASSERT_EQ(f.Commit(out), kOutputCreated);
  const auto t = fsys::last_write_time(tmp.path() + "/t.txt");
  const auto unixNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::file_clock::to_sys(t).time_since_epoch())
                          .count();
  const uint64_t got = static_cast<uint64_t>(unixNs / 100) + 116444736000000000ull;
  // Wine keeps whole seconds of the times it is given; Windows and Linux
  // keep the 100 ns ticks.
  if (RunningUnderWine()) EXPECT_EQ(got / 10000000, when / 10000000);
  else EXPECT_EQ(got, when);
}

TEST(Destination, ARefusedPathLeavesNoFolderBehind) {
  test::TempDir tmp;
  // Twenty creatable folders, then a name no file system takes.
  Text dest = tmp.EnginePath() + u"\\top";
  for (int i = 0; i < 20; ++i) dest += u"\\d" + DecimalText(i);
  dest += u"\\" + Text(300, u'n');
  std::vector<Text> made;
  EXPECT_FALSE(CreateFolderPath(dest, &made));
  EXPECT_TRUE(made.empty());
  EXPECT_FALSE(fsys::exists(tmp.path() + "/top"));
#ifndef _WIN32
  // Every name fits but the whole path grows past what the system takes
  // (4096 bytes): creation fails some folders in, and those go again.
  Text deep = tmp.EnginePath() + u"\\deep";
  for (int i = 0; i < 20; ++i) deep += u"\\" + Text(250, static_cast<char16_t>(u'a' + i));
  EXPECT_FALSE(CreateFolderPath(deep, &made));
  EXPECT_FALSE(fsys::exists(tmp.path() + "/deep"));
#endif
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
    Text out;
    ASSERT_EQ(WriteOne(tmp.EnginePath() + u"\\dest", hostile, "x", out), kOutputCreated) << ToUtf8(hostile);
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
  Text out;
  ASSERT_EQ(WriteOne(checked, u"\u00E9t\u00E9.txt", "abc", out), kOutputCreated);
  EXPECT_GT(out.size(), 300u);
  EXPECT_EQ(fs::GetPathKind(out), fs::PathKind::File);
  EXPECT_TRUE(fs::NameExists(out));
}

}  // namespace
}  // namespace rv

namespace rv {
namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(OutputNaming, CountedBeforeTheExtension) {
  EXPECT_EQ(CountedBeforeExtension(u"x.txt", 1), u"x;1.txt");
  EXPECT_EQ(CountedBeforeExtension(u"archive.tar.gz", 2), u"archive.tar;2.gz");
  EXPECT_EQ(CountedBeforeExtension(u"README", 3), u"README;3");
  EXPECT_EQ(CountedBeforeExtension(u".profile", 1), u".profile;1");
  test::TempDir tmp;
  const Text folder = tmp.EnginePath();
  ScopedOutputOptions scope({true, nullptr, nullptr});
  Text out;
  for (const char16_t* want : {u"x.txt", u"x;1.txt", u"x;2.txt"}) {
    ASSERT_EQ(WriteOne(folder, u"x.txt", "b", out), kOutputCreated);
    EXPECT_EQ(out, folder + u"\\" + want);
  }
}

TEST(OutputNaming, KeptFoldersStayInsideTheDestination) {
  test::TempDir tmp;
  const Text dest = tmp.EnginePath();
  Text folder;
  ASSERT_TRUE(CreateKeptFolder(dest, u"\\a\\b\\", folder));
  EXPECT_EQ(folder, dest + u"\\a\\b");
  EXPECT_TRUE(fsys::is_directory(tmp.path() + "/a/b"));
  ASSERT_TRUE(CreateKeptFolder(dest, u"\\..\\..\\x:y\\CON\\", folder));
  EXPECT_EQ(folder, dest + u"\\._\\._\\x_y\\_CON");
  ASSERT_TRUE(CreateKeptFolder(dest, u"\\", folder));
  EXPECT_EQ(folder, dest);
  // A file already holding a folder's name: the folder is counted.
  { std::ofstream(tmp.path() + "/taken") << "file"; }
  ASSERT_TRUE(CreateKeptFolder(dest, u"\\taken\\in\\", folder));
  EXPECT_EQ(folder, dest + u"\\taken;1\\in");
  ASSERT_TRUE(CreateKeptFolder(dest, u"\\taken\\", folder));
  EXPECT_EQ(folder, dest + u"\\taken;1");  // the same folder the next time
  EXPECT_EQ(ReadAll(tmp.path() + "/taken"), "file");
}

#ifndef _WIN32
// The batch's one flush is a Linux file-system flush (syncfs); Windows
// flushes each file on its own.
TEST(CommitBatch, NamesOnlyAfterTheFlushAndNeverReplaces) {
  test::TempDir tmp;
  const Text folder = tmp.EnginePath();
  { std::ofstream(tmp.path() + "/a.txt") << "old"; }
  CommitBatch batch;
  std::vector<Text> promised;
  {
    ScopedOutputOptions scope({true, &batch, nullptr});
    for (const char* bytes : {"one", "two"}) {
      Text out;
      ASSERT_EQ(WriteOne(folder, u"a.txt", bytes, out), kOutputCreated);
      promised.push_back(out);
    }
  }
  EXPECT_EQ(promised[0], folder + u"\\a;1.txt");
  EXPECT_EQ(promised[1], folder + u"\\a;2.txt");
  // Closed under temporary names until the flush: no promised name exists.
  EXPECT_FALSE(fsys::exists(tmp.path() + "/a;1.txt"));
  EXPECT_EQ(FilesIn(tmp.path()), 3u);
  // Another writer takes a promised name meanwhile: the file moves on.
  { std::ofstream(tmp.path() + "/a;2.txt") << "theirs"; }
  const auto named = batch.Finish();
  EXPECT_EQ(batch.Pending(), 0u);
  EXPECT_EQ(named.count(promised[0]), 0u);  // named as promised
  EXPECT_EQ(named.at(promised[1]).final, folder + u"\\a;3.txt");
  EXPECT_EQ(ReadAll(tmp.path() + "/a.txt"), "old");
  EXPECT_EQ(ReadAll(tmp.path() + "/a;1.txt"), "one");
  EXPECT_EQ(ReadAll(tmp.path() + "/a;2.txt"), "theirs");
  EXPECT_EQ(ReadAll(tmp.path() + "/a;3.txt"), "two");
  EXPECT_EQ(FilesIn(tmp.path()), 4u);
}

TEST(CommitBatch, ALargeBatchIsNamedInSteps) {
  test::TempDir tmp;
  const Text folder = tmp.EnginePath();
  constexpr size_t kStep = 64;
  CommitBatch batch(kStep);
  ScopedOutputOptions scope({true, &batch, nullptr});
  Text out;
  for (size_t i = 0; i < kStep; ++i) ASSERT_EQ(WriteOne(folder, u"n.txt", "x", out), kOutputCreated);
  // The batch's bound was reached: all of them flushed and named already.
  EXPECT_EQ(batch.Pending(), 0u);
  EXPECT_TRUE(fsys::exists(tmp.path() + "/n;63.txt"));
  ASSERT_EQ(WriteOne(folder, u"n.txt", "y", out), kOutputCreated);
  EXPECT_EQ(out, folder + u"\\n;64.txt");  // a name on disk is never promised again
  EXPECT_TRUE(batch.Finish().empty());
  EXPECT_EQ(ReadAll(tmp.path() + "/n;64.txt"), "y");
  EXPECT_EQ(FilesIn(tmp.path()), kStep + 1);
}

TEST(CommitBatch, AFailedFlushKeepsNoFileAndAnUnfinishedBatchLeavesNothing) {
  test::TempDir tmp;
  const Text folder = tmp.EnginePath();
  for (uint32_t error : {kErrorReadFault, kErrorDiskFull}) {
    CommitBatch batch;
    Text out;
    {
      ScopedOutputOptions scope({false, &batch, nullptr});
      ASSERT_EQ(WriteOne(folder, u"f.bin", "abc", out), kOutputCreated);
    }
    fs::FailFlushesForTesting(error);
    const auto named = batch.Finish();
    fs::FailFlushesForTesting(0);
    EXPECT_TRUE(named.at(out).final.empty());
    EXPECT_EQ(named.at(out).full, error == kErrorDiskFull);
    EXPECT_EQ(FilesIn(tmp.path()), 0u);
  }
  {
    CommitBatch batch;
    ScopedOutputOptions scope({false, &batch, nullptr});
    Text out;
    ASSERT_EQ(WriteOne(folder, u"g.bin", "abc", out), kOutputCreated);
    EXPECT_EQ(FilesIn(tmp.path()), 1u);
  }  // ended without Finish (an error before it): the temporary file goes
  EXPECT_EQ(FilesIn(tmp.path()), 0u);
}

#endif

// Every byte a recovery writes is zero although the file is not empty (a
// device that discarded the freed clusters): the writer says so, and the
// result carries it in its last 4 bytes without moving any other field.
TEST(OutputFile, AllZeroBytesAreToldApartAndReachTheResult) {
  test::TempDir tmp;
  const std::string zeros(70000, '\0');
  auto write = [&](const std::string& bytes, uint64_t size) {
    OutputFile f;
    EXPECT_EQ(f.Create(tmp.EnginePath(), u"z.bin"), kOutputCreated);
    if (!bytes.empty()) EXPECT_TRUE(f.WriteAt(0, bytes.data(), static_cast<uint32_t>(bytes.size())));
    if (size) EXPECT_TRUE(f.SetSize(size));
    const bool zeroed = f.Zeroed();
    Text out;
    EXPECT_EQ(f.Commit(out), kOutputCreated);
    EXPECT_EQ(TakeOutputDetails().zeroed, zeroed);
    return zeroed;
  };
  EXPECT_TRUE(write(zeros, 0));
  EXPECT_TRUE(write(zeros, 200000));        // a hole after zeros is zeros too
  EXPECT_FALSE(write("", 0));               // an empty file is not zeroed
  EXPECT_FALSE(write(zeros + "*", 0));      // one byte of data (or "*") is enough
  EXPECT_FALSE(write(std::string("\1") + zeros, 0));

  UndeleteOutcome r;
  auto plain = BuildUndeleteResult(776, 5, u"C:\\a", u"D:\\o\\a", ResultDetailsWord({true, {}}));
  EXPECT_EQ(plain.size(), 2u * (4 + 6) + 16);
  ASSERT_TRUE(DecodeUndeleteResult(plain.data(), plain.size(), r));
  EXPECT_TRUE(r.zeroed);
  EXPECT_EQ(r.output, u"D:\\o\\a");
  // A reason with 778; a long path carries the word after its full texts.
  test::MessageRecorder rec;
  NoteOutputDetails({false, NotRecoveredReason::FolderReplaced});
  EXPECT_EQ(PostFatUndeleteResult(kResultNotRecovered, u"X:\\" + Text(400, u'p'), u""), 1);
  EXPECT_EQ(PostFatUndeleteResult(kResultNotRecovered, u"X:\\b", u""), 1);  // the note was taken
  ASSERT_EQ(rec.Count(CM_UNDELETE_RESULT), 2u);
  const auto& first = rec.messages[0].payload;
  ASSERT_TRUE(DecodeUndeleteResult(first.data(), first.size(), r));
  EXPECT_EQ(r.source.size(), 403u);
  EXPECT_EQ(r.reason, NotRecoveredReason::FolderReplaced);
  EXPECT_FALSE(r.zeroed);
  const auto& second = rec.messages[1].payload;
  ASSERT_TRUE(DecodeUndeleteResult(second.data(), second.size(), r));
  EXPECT_EQ(r.reason, NotRecoveredReason::Unknown);
  EXPECT_FALSE(r.byFormat);
  // Clusters chosen by the format: said with a written file, and only once.
  NoteClustersByFormat();
  NoteOutputDetails({true, {}});
  EXPECT_EQ(PostFatUndeleteResult(kResultRecovered, u"X:\\c", u"D:\\o\\c"), 1);
  EXPECT_EQ(PostFatUndeleteResult(kResultRecovered, u"X:\\d", u"D:\\o\\d"), 1);
  NoteClustersByFormat();
  EXPECT_EQ(PostFatUndeleteResult(kResultNotRecovered, u"X:\\e", u""), 1);
  ASSERT_EQ(rec.Count(CM_UNDELETE_RESULT), 5u);
  for (size_t i = 2; i < 5; ++i) {
    const auto& p = rec.messages[i].payload;
    ASSERT_TRUE(DecodeUndeleteResult(p.data(), p.size(), r));
    EXPECT_EQ(r.byFormat, i == 2) << i;
    EXPECT_EQ(r.zeroed, i == 2) << i;
  }
  EXPECT_EQ(ResultDetailsWord({false, {}, true}), kResultByFormatBit);
}

#ifndef _WIN32
// A real race: while files are written into a folder of the destination,
// another thread keeps swapping that folder for a link to a folder outside
// it. Nothing may land in the link's target, no temporary file may stay,
// and every file is either recovered inside the destination or refused
// with its reason.
TEST(OutputDestination, AFolderSwappedForALinkNeverRedirectsTheFiles) {
  for (bool batched : {false, true}) {
    test::TempDir tmp;
    const std::string dest = tmp.path() + "/dest", target = tmp.path() + "/planted";
    fsys::create_directories(dest);
    fsys::create_directories(target);
    OutputDestination d;
    ASSERT_TRUE(d.Open(FromUtf8(tmp.path() + "/dest")));
    CommitBatch batch(64);
    OutputOptions o;
    o.counterBeforeExtension = true;
    o.destination = &d;
    if (batched) o.batch = &batch;
    ScopedOutputOptions scope(o);
    Text sub;
    NotRecoveredReason why;
    ASSERT_TRUE(d.MakeKeptFolder(u"\\sub\\", sub, why));

    std::atomic<bool> stop{false};
    std::atomic<int> swaps{0};
    std::thread attacker([&] {
      while (!stop.load()) {
        std::error_code ec;
        fsys::rename(dest + "/sub", dest + "/sub.real", ec);
        fsys::create_directory_symlink(target, dest + "/sub", ec);
        std::this_thread::yield();
        fsys::remove(dest + "/sub", ec);
        fsys::rename(dest + "/sub.real", dest + "/sub", ec);
        ++swaps;
      }
    });
    size_t recovered = 0, refused = 0;
    for (int i = 0; i < 250; ++i) {
      // Now and then the folder is reached again from the destination by
      // name, through whatever the attacker left there.
      Text folder;
      const Text kept = i % 7 == 0 ? u"\\other\\" : i % 2 ? u"\\sub\\a\\" : u"\\sub\\";
      if (!d.MakeKeptFolder(kept, folder, why)) {
        EXPECT_NE(why, NotRecoveredReason::Unknown);
        ++refused;
        continue;
      }
      Text out;
      const uint32_t code = WriteOne(folder, u"f.txt", "data " + std::to_string(i), out);
      if (code == kOutputCreated) {
        ++recovered;
      } else {
        EXPECT_NE(TakeOutputDetails().reason, NotRecoveredReason::Unknown);
        ++refused;
      }
    }
    stop.store(true);
    attacker.join();
    const auto named = batch.Finish();
    for (const auto& [promised, n] : named)
      if (n.final.empty()) EXPECT_NE(n.reason, NotRecoveredReason::Unknown);
    EXPECT_GT(swaps.load(), 0);
    EXPECT_GT(recovered, 0u);
    EXPECT_EQ(FilesIn(target), 0u) << "batched " << batched;
    for (auto& e : fsys::recursive_directory_iterator(tmp.path()))
      EXPECT_EQ(e.path().filename().string().rfind("~rv", 0), std::string::npos) << e.path();
    // Every file kept is inside the destination.
    size_t inside = 0;
    for (auto& e : fsys::recursive_directory_iterator(dest)) inside += e.is_regular_file() ? 1 : 0;
    size_t lost = 0;
    for (const auto& [promised, n] : named) lost += n.final.empty() ? 1 : 0;
    EXPECT_EQ(inside, recovered - lost) << "recovered " << recovered << " refused " << refused;
  }
}

// A tree hundreds of folders deep is made again one level at a time from
// the level above (no path is looked up whole), and a path that would pass
// the longest one a system takes is refused as such.
TEST(OutputDestination, DeepKeptFoldersAndThePathLimit) {
  test::TempDir tmp;
  OutputDestination d;
  ASSERT_TRUE(d.Open(tmp.EnginePath()));
  OutputOptions o;
  o.destination = &d;
  ScopedOutputOptions scope(o);
  Text volumeFolder = u"\\";
  Text folder;
  NotRecoveredReason why;
  for (int depth = 1; depth <= 600; ++depth) {
    volumeFolder += u"d\\";
    ASSERT_TRUE(d.MakeKeptFolder(volumeFolder, folder, why)) << depth;
  }
  EXPECT_EQ(folder.size(), tmp.EnginePath().size() + 2 * 600);
  Text out;
  ASSERT_EQ(WriteOne(folder, u"deep.txt", "deep", out), kOutputCreated);
  EXPECT_EQ(out, folder + u"\\deep.txt");
  // Back up to a shallow folder and down again: the chain is walked anew.
  ASSERT_TRUE(d.MakeKeptFolder(u"\\d\\d\\x\\", folder, why));
  EXPECT_EQ(folder, tmp.EnginePath() + u"\\d\\d\\x");
  Text longName = u"\\";
  for (int i = 0; i < 200; ++i) longName += Text(200, u'n') + u"\\";
  EXPECT_FALSE(d.MakeKeptFolder(longName, folder, why));
  EXPECT_EQ(why, NotRecoveredReason::PathTooLong);
  EXPECT_STRNE(NotRecoveredReasonText(why), "");
}
#endif

TEST(OutputStream, BytesInOrderWithHolesAsZerosAndNothingOnDisk) {
  test::TempDir tmp;
  std::string sent;
  OutputOptions o;
  o.stream = [&](const void* data, size_t n) {
    sent.append(static_cast<const char*>(data), n);
    return true;
  };
  ScopedOutputOptions scope(o);
  OutputFile f;
  ASSERT_EQ(f.Create(tmp.EnginePath(), u"x.bin"), kOutputCreated);
  ASSERT_TRUE(f.WriteAt(0, "ab", 2));
  ASSERT_TRUE(f.WriteAt(5, "cd", 2));  // a hole of 3
  EXPECT_FALSE(OutputFile().WriteAt(0, "x", 1));
  ASSERT_TRUE(f.SetSize(10));
  Text out;
  EXPECT_EQ(f.Commit(out), kOutputCreated);
  EXPECT_EQ(sent, std::string("ab\0\0\0cd\0\0\0", 10));
  EXPECT_EQ(FilesIn(tmp.path()), 0u);
  // A pipe cannot go back.
  OutputFile g;
  ASSERT_EQ(g.Create(tmp.EnginePath(), u"y.bin"), kOutputCreated);
  ASSERT_TRUE(g.WriteAt(4, "z", 1));
  EXPECT_FALSE(g.WriteAt(0, "z", 1));
}

}  // namespace
}  // namespace rv
