// Where a recovered file's bytes lie on the volume, as the report's DFXML
// byte_runs give them: clusters into byte offsets, cut at the size, holes
// and the never-written tail as fill runs, and resident data in the pieces
// its record keeps on disk.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "channel/report.h"
#include "format/le.h"
#include "format/ntfs_format.h"

namespace rv {
namespace {

// A FAT volume: 4 KiB clusters, cluster 2 at byte 0x10000.
VolumePlacement Fat() { return {4096, 0x10000, 2, 0}; }

bool Same(const ByteRun& r, uint64_t fileOffset, uint64_t fsOffset, uint64_t length, bool zeros) {
  return r.fileOffset == fileOffset && r.fsOffset == fsOffset && r.length == length && r.zeros == zeros;
}

TEST(ByteRuns, ClustersBecomeOffsetsCutAtTheSize) {
  // Two pieces; the last cluster's slack past 10000 bytes is not the file's.
  const auto runs = ByteRunsOf(Fat(), {{0, 5, 2}, {8192, 20, 1}}, {}, 10000);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_TRUE(Same(runs[0], 0, 0x10000 + 3 * 4096, 8192, false));
  EXPECT_TRUE(Same(runs[1], 8192, 0x10000 + 18 * 4096, 10000 - 8192, false));
  // Runs past the size, or below the first data cluster, give nothing.
  EXPECT_TRUE(ByteRunsOf(Fat(), {{12288, 30, 1}, {0, 1, 1}}, {}, 10000).empty());
  // No placement, no runs.
  EXPECT_TRUE(ByteRunsOf(VolumePlacement{}, {{0, 5, 2}}, {}, 8192).empty());
}

TEST(ByteRuns, ClustersThatFollowOnTheVolumeAreOneRun) {
  const auto runs = ByteRunsOf(Fat(), {{0, 5, 1}, {4096, 6, 1}, {8192, 9, 1}}, {}, 12288);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_TRUE(Same(runs[0], 0, 0x10000 + 3 * 4096, 8192, false));
  EXPECT_TRUE(Same(runs[1], 8192, 0x10000 + 7 * 4096, 4096, false));
}

TEST(ByteRuns, HolesAndTheTailPastTheValidLengthAreFillRuns) {
  // NTFS (cluster 0 at byte 0): clusters 100-101, a hole of two clusters,
  // clusters 200-203; valid data ends 1000 bytes into cluster 202, so the
  // rest reads as zeros although the clusters are the file's.
  const VolumePlacement ntfs{4096, 0, 0, 0};
  const uint64_t size = 8 * 4096, valid = 6 * 4096 + 1000;
  const auto runs =
      ByteRunsOf(ntfs, {{0, 100, 2}, {4 * 4096, 200, 4}}, {{2 * 4096, 2 * 4096}, {valid, size - valid}}, size);
  ASSERT_EQ(runs.size(), 4u);
  EXPECT_TRUE(Same(runs[0], 0, 100 * 4096, 8192, false));
  EXPECT_TRUE(Same(runs[1], 8192, 0, 8192, true));
  EXPECT_TRUE(Same(runs[2], 4 * 4096, 200 * 4096, valid - 4 * 4096, false));
  EXPECT_TRUE(Same(runs[3], valid, 0, size - valid, true));
  // Overlapping or out-of-order spans, and spans past the size, are joined
  // and cut.
  const auto joined = ByteRunsOf(ntfs, {}, {{500, 100}, {0, 550}, {900, 5000}}, 1000);
  ASSERT_EQ(joined.size(), 2u);
  EXPECT_TRUE(Same(joined[0], 0, 0, 600, true));
  EXPECT_TRUE(Same(joined[1], 900, 0, 100, true));
}

TEST(ByteRuns, BogusCountsDoNotOverflow) {
  // A run claiming 2^62 clusters of 64 KiB: its bytes stop at the size.
  const VolumePlacement big{65536, 0, 0, 0};
  const auto runs = ByteRunsOf(big, {{0, 1, uint64_t{1} << 62}}, {{100, UINT64_MAX}}, 4096);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_TRUE(Same(runs[0], 0, 65536, 100, false));
  EXPECT_TRUE(Same(runs[1], 100, 0, 4096 - 100, true));
}

// A fixed-up 1 KiB FILE record: the update sequence array at 0x30 (number,
// then the saved last word of each of the two strides).
std::vector<uint8_t> Record() {
  std::vector<uint8_t> r(1024, 0);
  put32(MutableBytes(r.data(), r.size()), 0, ntfs::kFileSignature);
  put16(MutableBytes(r.data(), r.size()), ntfs::kRecUsaOffset, 0x30);
  put16(MutableBytes(r.data(), r.size()), ntfs::kRecUsaCount, 3);
  return r;
}

TEST(ByteRuns, ResidentDataSkipsTheWordsTheUpdateSequenceKeeps) {
  const std::vector<uint8_t> r = Record();
  const Bytes record(r.data(), r.size());
  // A value from 0x118 for 300 bytes runs over the first stride's last
  // word (510-511): those two bytes are stored at 0x32.
  const auto pieces = ntfs::StoredPiecesOf(record, 0x118, 300);
  ASSERT_EQ(pieces.size(), 3u);
  EXPECT_EQ(pieces[0].offsetInSpan, 0u);
  EXPECT_EQ(pieces[0].offsetInRecord, 0x118u);
  EXPECT_EQ(pieces[0].length, 510u - 0x118);
  EXPECT_EQ(pieces[1].offsetInSpan, 510u - 0x118);
  EXPECT_EQ(pieces[1].offsetInRecord, 0x32u);
  EXPECT_EQ(pieces[1].length, 2u);
  EXPECT_EQ(pieces[2].offsetInRecord, 512u);
  EXPECT_EQ(pieces[2].length, 0x118u + 300 - 512);
  // Starting on the word's second byte; ending on the second stride's word.
  const auto split = ntfs::StoredPiecesOf(record, 511, 513);
  ASSERT_EQ(split.size(), 3u);
  EXPECT_EQ(split[0].offsetInRecord, 0x33u);
  EXPECT_EQ(split[1].offsetInRecord, 512u);
  EXPECT_EQ(split[1].length, 510u);
  EXPECT_EQ(split[2].offsetInRecord, 0x34u);
  EXPECT_EQ(split[2].length, 2u);
  // A value inside one stride is one piece; one past the record none.
  EXPECT_EQ(ntfs::StoredPiecesOf(record, 0x118, 100).size(), 1u);
  EXPECT_TRUE(ntfs::StoredPiecesOf(record, 1000, 100).empty());
}

}  // namespace
}  // namespace rv
