// Reading found files into memory through the engine table: every deleted
// file of the test volumes, read in odd-sized pieces at odd offsets (and
// from several threads at once), gives exactly the bytes `recover` writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "engines/engines.h"
#include "platform/files.h"
#include "platform/text.h"
#include "test_support.h"
#include "volume/source.h"
#include "volume/osvolume.h"

namespace rv {
namespace {

struct SearchedImage {
  explicit SearchedImage(const std::string& path) {
    uint32_t err = 0;
    name = AttachVolume(OpenImageSource(FromUtf8(path), 0, 0, err));
    Text fs, label;
    if (!QueryVolumeInformation(name + u"\\", fs, label)) return;
    engine = EngineForFileSystem(fs);
    if (!engine) return;
    ReceiverEvents ev;
    ev.onFound = [&](FoundFile& f) { found.push_back(f); };
    MessageReceiver receiver(ev, name);
    SearchRequestFields req{1, u"*", u"\\", name + u"\\"};
    searched = RunEngineSearch(*engine, req, receiver);
  }
  ~SearchedImage() {
    if (engine) engine->release();
    DetachVolume(name);
  }
  // Each found file recovered on its own, by index in `found`: the output
  // path, empty where nothing was written.
  std::vector<std::string> RecoverEach(const test::TempDir& dir) {
    std::vector<std::string> outputs;
    for (const auto& f : found) {
      std::string output;
      ReceiverEvents ev;
      ev.onResult = [&](const UndeleteOutcome& r) {
#ifdef _WIN32
        if (engine->resultIsFor(f, r) && !r.output.empty()) output = ToUtf8(r.output);
#else
        if (engine->resultIsFor(f, r) && !r.output.empty()) output = fs::NativePath(r.output);
#endif
      };
      MessageReceiver receiver(ev, u"");
      RunEngineUndelete(*engine, engine->undeleteRequest(dir.EnginePath(), {f}), receiver);
      outputs.push_back(output);
    }
    return outputs;
  }
  Text name;
  const EngineRow* engine = nullptr;
  std::vector<FoundFile> found;
  bool searched = false;
};

// The whole file read in pieces of the sizes given, in turn.
std::vector<uint8_t> ReadInPieces(FoundFileReader& reader, const std::vector<size_t>& pieces) {
  std::vector<uint8_t> bytes(static_cast<size_t>(reader.Size()) + 100, 0xEE);
  uint64_t at = 0;
  for (size_t i = 0; at < reader.Size(); ++i) {
    size_t got = 0;
    const size_t want = pieces[i % pieces.size()];
    EXPECT_TRUE(ReadFoundFileRange(reader, at, bytes.data() + at, want, got));
    EXPECT_EQ(got, std::min<uint64_t>(want, reader.Size() - at));
    if (got == 0) break;
    at += got;
  }
  size_t got = 1;
  EXPECT_TRUE(ReadFoundFileRange(reader, reader.Size(), bytes.data(), 10, got));
  EXPECT_EQ(got, 0u);
  bytes.resize(static_cast<size_t>(reader.Size()));
  return bytes;
}

void CheckImage(const char* image) {
  const std::string path = test::ImagePath(image);
  if (path.empty()) GTEST_SKIP() << image << " not unpacked";
  SearchedImage s(path);
  ASSERT_NE(s.engine, nullptr) << image;
  ASSERT_TRUE(s.searched) << image;
  ASSERT_FALSE(s.found.empty()) << image;
  test::TempDir dir;
  const auto outputs = s.RecoverEach(dir);
  size_t compared = 0;
  for (size_t i = 0; i < s.found.size(); ++i) {
    if (outputs[i].empty()) continue;
    SCOPED_TRACE(std::string(image) + " " + ToUtf8(s.found[i].path));
    const std::vector<uint8_t> written = test::ReadFileBytes(outputs[i]);
    auto reader = OpenFoundFile(*s.engine, s.found[i]);
    ASSERT_NE(reader, nullptr);
    ASSERT_EQ(reader->Size(), written.size());
    EXPECT_TRUE(ReadInPieces(*reader, {4093, 1, 65537, 7, 131071, 512}) == written);
    EXPECT_TRUE(ReadInPieces(*reader, {1 << 20}) == written);
    // Odd offsets, backwards through the file.
    for (uint64_t at = written.size(); at > 0;) {
      at = at > 9973 ? at - 9973 : 0;
      std::vector<uint8_t> piece(3001);
      size_t got = 0;
      ASSERT_TRUE(ReadFoundFileRange(*reader, at, piece.data(), piece.size(), got));
      ASSERT_EQ(got, std::min<uint64_t>(piece.size(), written.size() - at));
      EXPECT_TRUE(std::equal(piece.begin(), piece.begin() + got, written.begin() + at)) << "at " << at;
    }
    ++compared;
  }
  EXPECT_GT(compared, 5u) << image;
}

TEST(FoundFileReader, NtfsFilesReadAsRecoveryWritesThem) {
  for (const char* image : {"ntfs-512.img", "ntfs-4k.img", "ntfs-64k.img", "ntfs-names.img", "ntfs-lost.img"})
    CheckImage(image);
}

TEST(FoundFileReader, FatFilesReadAsRecoveryWritesThem) {
  for (const char* image : {"fat16-2k.img", "fat32-4k.img", "fat32-32k.img", "fat16-lost.img", "fat32-lost.img"})
    CheckImage(image);
}

TEST(FoundFileReader, ExfatFilesReadAsRecoveryWritesThem) {
  for (const char* image : {"exfat-512.img", "exfat-4k.img", "exfat-128k.img", "exfat-32m.img"}) CheckImage(image);
}

// Readers of different files, read from four threads at once, each get
// their own file's bytes: the engine lock serializes the engine calls.
TEST(FoundFileReader, ParallelReadersGetTheirOwnBytes) {
  const std::string path = test::ImagePath("ntfs-4k.img");
  if (path.empty()) GTEST_SKIP() << "ntfs-4k.img not unpacked";
  SearchedImage s(path);
  ASSERT_TRUE(s.searched);
  std::vector<std::unique_ptr<FoundFileReader>> readers;
  std::vector<std::vector<uint8_t>> expected;
  for (const auto& f : s.found) {
    auto r = OpenFoundFile(*s.engine, f);
    if (!r || r->Size() < 10000) continue;
    expected.push_back(ReadInPieces(*r, {1 << 20}));
    readers.push_back(std::move(r));
  }
  ASSERT_GE(readers.size(), 2u);
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int round = 0; round < 5; ++round)
        for (size_t i = 0; i < readers.size(); ++i) {
          const size_t k = (i + t) % readers.size();
          std::vector<uint8_t> bytes(static_cast<size_t>(readers[k]->Size()));
          for (uint64_t at = 0; at < bytes.size();) {
            size_t got = 0;
            if (!ReadFoundFileRange(*readers[k], at, bytes.data() + at, 4096 + 7 * t, got) || got == 0) break;
            at += got;
          }
          mismatches[t] += bytes != expected[k];
        }
    });
  for (auto& th : threads) th.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

}  // namespace
}  // namespace rv
