// NTFS recovery against the test images: recovered bytes equal the
// originals where no cluster was reused, and carry "*" exactly over the
// reused clusters otherwise; the LZNT1 decoder on inline streams.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "channel/packet.h"
#include "format/lznt1.h"
#include "ntfs/nue.h"
#include "fat_support.h"
#include "ntfs_test_support.h"
#include "platform/files.h"
#include "platform/text.h"
#include "format/le.h"
#include "volume/osvolume.h"

namespace rv {
namespace {

struct Result {
  uint32_t code;
  Text source, output;
};

std::map<uint32_t, Result> Results(const test::MessageRecorder& rec) {
  std::map<uint32_t, Result> out;
  for (const auto& m : rec.messages) {
    if (m.id != CM_UNDELETE_RESULT) continue;
    Bytes b(m.payload.data(), m.payload.size());
    Result r{le32(b, 0), {}, {}};
    size_t at = 8;
    for (Text* t : {&r.source, &r.output}) {
      for (; at + 1 < m.payload.size() && le16(b, at) != 0; at += 2) t->push_back(le16(b, at));
      at += 2;
    }
    out[le32(b, 4)] = r;
  }
  return out;
}

std::string NativeOutput(const Text& output) {
  std::string s = ToUtf8(output);
  for (auto& c : s)
    if (c == '\\') c = '/';
  return s;
}

// Every deleted file whose record is still free, recovered from each image.
TEST(NtfsUndelete, RecoveredBytesMatchTheOriginals) {
  int seen = 0;
  for (const auto& name : test::NtfsImageNames()) {
    std::string path = test::ImagePath(name);
    if (path.empty()) continue;
    ++seen;
    SCOPED_TRACE(name);
    uint32_t err = 0;
    auto source = OpenImageSource(FromUtf8(path), 0, 0, err);
    Text vol = AttachVolume(source);
    ASSERT_TRUE(SetupNueVolumeDataStructures(vol, TheNueVolume(), kTrue));
    auto image = test::ManifestImage(name);
    std::vector<int32_t> records;
    for (const auto& d : image["deleted"]) records.push_back(d["mft_record"].get<int32_t>());
    test::TempDir dir;
    test::MessageRecorder rec;
    RequestPacket packet = RequestPacket::Wrap(BuildNtfsUndeleteRequest(dir.EnginePath(), records));
    ASSERT_TRUE(NueUdel::UndeleteFileShell(packet));
    auto results = Results(rec);
    EXPECT_EQ(rec.Count(CM_UNDELETE_FILE_STARTED), records.size());
    EXPECT_EQ(rec.messages.back().id, CM_UNDELETE_REPORT);
    for (const auto& d : image["deleted"]) {
      const std::string p = d["path"].get<std::string>();
      SCOPED_TRACE(p);
      auto it = results.find(d["mft_record"].get<uint32_t>());
      ASSERT_NE(it, results.end());
      const Result& r = it->second;
      // Clusters that another deleted file wrote over are free again and
      // read back as that file's bytes: nothing to compare.
      if (d.value("overwritten", false)) continue;
      if (test::EveryClusterReused(d)) {
        // "*" throughout would be no recovery: nothing is left behind.
        EXPECT_EQ(r.code, kResultNotRecovered);
        EXPECT_TRUE(r.output.empty());
        continue;
      }
      std::vector<uint8_t> original;
      ASSERT_TRUE(test::OriginalBytes(d, original));
      const bool reused = d.value("reused", false);
      ASSERT_EQ(r.code, reused ? kResultPartlyInUse : kResultRecovered);
      std::vector<uint8_t> got = test::ReadFileBytes(NativeOutput(r.output));
      ASSERT_EQ(got.size(), original.size());
      if (!reused) {
        EXPECT_TRUE(got == original);
        continue;
      }
      // "*" over exactly the reused clusters, the original elsewhere.
      const uint64_t bpc = image["cluster_size"].get<uint64_t>();
      std::vector<bool> reusedByte(got.size(), false);
      uint64_t vcn = 0;
      for (const auto& run : d["clusters"]) {
        const int64_t lcn = run[0].get<int64_t>();
        const uint64_t n = run[1].get<uint64_t>();
        for (const auto& ru : d["reused_clusters"])
          for (uint64_t c = 0; c < n; ++c) {
            const uint64_t l = static_cast<uint64_t>(lcn) + c;
            if (lcn >= 0 && l >= ru[0].get<uint64_t>() && l < ru[0].get<uint64_t>() + ru[1].get<uint64_t>())
              for (uint64_t b = (vcn + c) * bpc; b < (vcn + c + 1) * bpc && b < got.size(); ++b) reusedByte[b] = true;
          }
        vcn += n;
      }
      for (size_t i = 0; i < got.size(); ++i) {
        if (reusedByte[i]) ASSERT_EQ(got[i], '*') << "byte " << i;
        else ASSERT_EQ(got[i], original[i]) << "byte " << i;
      }
    }
    DetachVolume(vol);
    FreeNueVolumeDataStructures(TheNueVolume());
  }
  if (!seen) GTEST_SKIP() << "no NTFS test images unpacked";
}

TEST(NtfsUndelete, RecordInUseIsNotRecovered) {
  std::string path = test::ImagePath("ntfs-4k.img");
  if (path.empty()) GTEST_SKIP() << "ntfs-4k.img not unpacked";
  uint32_t err = 0;
  Text vol = AttachVolume(OpenImageSource(FromUtf8(path), 0, 0, err));
  ASSERT_TRUE(SetupNueVolumeDataStructures(vol, TheNueVolume(), kTrue));
  test::TempDir dir;
  test::MessageRecorder rec;
  RequestPacket packet = RequestPacket::Wrap(BuildNtfsUndeleteRequest(dir.EnginePath(), {5, 100000}));
  NueUdel::UndeleteFileShell(packet);
  auto results = Results(rec);
  ASSERT_EQ(results.size(), 2u);
  for (const auto& [n, r] : results) {
    EXPECT_EQ(r.code, kResultNotRecovered);
    EXPECT_TRUE(r.output.empty());
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  DetachVolume(vol);
  FreeNueVolumeDataStructures(TheNueVolume());
}

TEST(Lznt1, LiteralsBackReferencesAndStoredChunks) {
  // "abcabcabcabc": 3 literals, then a reference of offset 3, length 9.
  // Token: 4 offset bits while 3 bytes are produced: (3-1) << 12 | (9-3).
  std::vector<uint8_t> stream = {0, 0, 0x08, 'a', 'b', 'c', 0x06, 0x20};
  const uint16_t header = 0xB000 | static_cast<uint16_t>(stream.size() - 2 - 1);
  stream[0] = static_cast<uint8_t>(header);
  stream[1] = static_cast<uint8_t>(header >> 8);
  std::vector<uint8_t> out(64, 0xEE);
  size_t produced = 0;
  ASSERT_TRUE(ntfs::Lznt1Decompress(Bytes(stream.data(), stream.size()), MutableBytes(out.data(), out.size()),
                                    produced));
  ASSERT_EQ(produced, 12u);
  EXPECT_EQ(std::string(out.begin(), out.begin() + 12), "abcabcabcabc");
  // A reference reaching before the chunk start is refused.
  std::vector<uint8_t> bad = stream;
  bad[7] = 0x50;
  EXPECT_FALSE(ntfs::Lznt1Decompress(Bytes(bad.data(), bad.size()), MutableBytes(out.data(), out.size()), produced));
  // A chunk longer than the input, and a bad signature.
  std::vector<uint8_t> cut = {0xFF, 0xBF, 1, 2, 3};
  EXPECT_FALSE(ntfs::Lznt1Decompress(Bytes(cut.data(), cut.size()), MutableBytes(out.data(), out.size()), produced));
  std::vector<uint8_t> sig = {0x02, 0x80, 0, 'a', 'b'};
  EXPECT_FALSE(ntfs::Lznt1Decompress(Bytes(sig.data(), sig.size()), MutableBytes(out.data(), out.size()), produced));
  // Output that does not fit is refused rather than written past the end.
  std::vector<uint8_t> small(5);
  EXPECT_FALSE(ntfs::Lznt1Decompress(Bytes(stream.data(), stream.size()), MutableBytes(small.data(), small.size()),
                                     produced));
}

}  // namespace
}  // namespace rv

namespace rv {
namespace {

// Progress of one file starts at 0, rises by at least 10 and ends at 100;
// recovering the same file twice gives the ";0" name the second time.
TEST(NtfsUndelete, ProgressAndCollisionNames) {
  std::string path = test::ImagePath("ntfs-4k.img");
  if (path.empty()) GTEST_SKIP() << "ntfs-4k.img not unpacked";
  uint32_t err = 0;
  Text vol = AttachVolume(OpenImageSource(FromUtf8(path), 0, 0, err));
  ASSERT_TRUE(SetupNueVolumeDataStructures(vol, TheNueVolume(), kTrue));
  test::TempDir dir;
  test::MessageRecorder rec;
  // Record 79 is photo-deleted.jpg, 150 KiB in three 64 KiB chunks.
  RequestPacket packet = RequestPacket::Wrap(BuildNtfsUndeleteRequest(dir.EnginePath(), {79, 79}));
  NueUdel::UndeleteFileShell(packet);
  std::vector<uint32_t> percents;
  std::vector<Text> outputs;
  for (const auto& m : rec.messages) {
    if (m.id == CM_UNDELETE_PROGRESS && percents.size() < 5) percents.push_back(le32(Bytes(m.payload.data(), 4), 0));
  }
  for (const auto& [n, r] : Results(rec)) outputs.push_back(r.output);
  ASSERT_GE(percents.size(), 3u);
  EXPECT_EQ(percents.front(), 0u);
  EXPECT_EQ(percents[1], 42u);  // the chunk at 64 KiB of 150 KiB
  EXPECT_EQ(percents[2], 85u);
  EXPECT_EQ(percents[3], 100u);
  EXPECT_TRUE(std::filesystem::exists(dir.path() + "/photo-deleted.jpg"));
  EXPECT_TRUE(std::filesystem::exists(dir.path() + "/photo-deleted.jpg;0"));
  DetachVolume(vol);
  FreeNueVolumeDataStructures(TheNueVolume());
}

}  // namespace
}  // namespace rv

namespace rv {
namespace {

// A recovery that ends before its file is complete leaves no file that looks
// recovered: stopped in the middle of a file, or failing at the final flush
// (a full disk reported late is 785, an I/O error 778).
TEST(NtfsUndelete, UnfinishedFilesLeaveNothingBehind) {
  const std::string path = test::ImagePath("ntfs-4k.img");
  if (path.empty()) GTEST_SKIP() << "ntfs-4k.img not unpacked";
  auto image = test::ManifestImage("ntfs-4k.img");
  int32_t photo = -1;
  for (const auto& d : image["deleted"])
    if (d["path"] == "\\photo-deleted.jpg") photo = d["mft_record"].get<int32_t>();
  ASSERT_GT(photo, 0);
  uint32_t err = 0;
  const Text vol = AttachVolume(OpenImageSource(FromUtf8(path), 0, 0, err));
  ASSERT_TRUE(SetupNueVolumeDataStructures(vol, TheNueVolume(), kTrue));
  auto filesIn = [](const std::string& dir) {
    size_t n = 0;
    for (auto& e : std::filesystem::recursive_directory_iterator(dir)) n += e.is_regular_file() ? 1 : 0;
    return n;
  };
  {
    // The photo is 150 KiB: the stop comes after its first 64 KiB chunk.
    test::TempDir dir;
    std::vector<uint32_t> codes;
    CallbackSink sink([&](uint32_t id, const std::vector<uint8_t>& p) {
      if (id == CM_UNDELETE_PROGRESS && p.size() >= 4 && le32(Bytes(p), 0) > 0 && le32(Bytes(p), 0) < 100)
        g_ntfsRunState.store(kEngineStopRequested);
      if (id == CM_UNDELETE_RESULT) codes.push_back(le32(Bytes(p), 0));
    });
    SetMessageSink(&sink);
    NueUdel::UndeleteFileShell(RequestPacket::Wrap(BuildNtfsUndeleteRequest(dir.EnginePath(), {photo})));
    SetMessageSink(nullptr);
    EXPECT_TRUE(codes.empty());
    EXPECT_EQ(filesIn(dir.path()), 0u);
  }
  for (uint32_t error : {kErrorDiskFull, kErrorReadFault}) {
    test::TempDir dir;
    test::MessageRecorder rec;
    fs::FailFlushesForTesting(error);
    NueUdel::UndeleteFileShell(RequestPacket::Wrap(BuildNtfsUndeleteRequest(dir.EnginePath(), {photo})));
    fs::FailFlushesForTesting(0);
    auto results = Results(rec);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results.begin()->second.code, error == kErrorDiskFull ? kResultDestinationTooSmall : kResultNotRecovered);
    EXPECT_TRUE(results.begin()->second.output.empty());
    EXPECT_EQ(filesIn(dir.path()), 0u);
  }
  DetachVolume(vol);
  FreeNueVolumeDataStructures(TheNueVolume());
}

}  // namespace
}  // namespace rv
