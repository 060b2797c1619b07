// Fragment reassembly over a volume in memory: a PNG (its chunks' CRCs tell
// a wrong cluster) split around other bytes is put back together; hostile
// questions (bogus sizes, no free clusters, reads that fail, a first cluster
// past the volume) end with "cannot decide", never a read out of bounds.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "carve/reassemble.h"

namespace rv {
namespace {

constexpr uint64_t kCluster = 512;

// A PNG of several IDAT chunks of made-up pixels (the CRCs are real).
std::vector<uint8_t> MakePng(size_t idatChunks) {
  auto crc = [](const uint8_t* p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
      c ^= p[i];
      for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    return ~c;
  };
  std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  auto chunk = [&](const char* type, const std::vector<uint8_t>& data) {
    const uint32_t n = static_cast<uint32_t>(data.size());
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(n >> s));
    const size_t at = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    const uint32_t c = crc(out.data() + at, n + 4);
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(c >> s));
  };
  chunk("IHDR", {0, 0, 0, 16, 0, 0, 0, 16, 8, 2, 0, 0, 0});
  uint32_t seed = 7;
  for (size_t i = 0; i < idatChunks; ++i) {
    std::vector<uint8_t> data(300);
    for (auto& b : data) b = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
    chunk("IDAT", data);
  }
  chunk("IEND", {});
  return out;
}

struct MemoryVolume {
  std::vector<uint8_t> bytes;
  std::vector<bool> inUse;
  bool failReads = false;
  explicit MemoryVolume(uint64_t clusters) : bytes(clusters * kCluster, 'x'), inUse(clusters, false) {}
  void Put(uint64_t lcn, const uint8_t* p, size_t n) { std::memcpy(bytes.data() + lcn * kCluster, p, n); }
  ClusterLayoutQuestion Question(uint64_t first, uint64_t size) {
    ClusterLayoutQuestion q;
    q.size = size;
    q.bytesPerCluster = kCluster;
    q.clusterCount = inUse.size();
    q.firstLcn = first;
    q.usable = [this](uint64_t lcn) { return lcn < inUse.size() && !inUse[lcn]; };
    q.read = [this](uint64_t lcn, uint64_t count, uint8_t* out) {
      if (failReads || lcn >= inUse.size() || count > inUse.size() - lcn) return false;
      std::memcpy(out, bytes.data() + lcn * kCluster, count * kCluster);
      return true;
    };
    return q;
  }
};

// Writes `file` from `first`, jumping `gaps` (lcn, length) on the way.
void Scatter(MemoryVolume& v, const std::vector<uint8_t>& file, uint64_t first,
             const std::vector<std::pair<uint64_t, uint64_t>>& gaps) {
  uint64_t lcn = first;
  for (size_t off = 0; off < file.size(); off += kCluster, ++lcn) {
    for (const auto& g : gaps)
      if (lcn == g.first) lcn += g.second;
    v.Put(lcn, file.data() + off, std::min<size_t>(kCluster, file.size() - off));
  }
}

std::vector<uint8_t> Gather(const MemoryVolume& v, const std::vector<LcnRun>& runs, size_t size) {
  std::vector<uint8_t> out;
  for (const auto& r : runs)
    out.insert(out.end(), v.bytes.begin() + r.lcn * kCluster, v.bytes.begin() + (r.lcn + r.count) * kCluster);
  out.resize(std::min(out.size(), size));
  return out;
}

TEST(Reassemble, PiecesAroundFreeGapsFoundByTheFormat) {
  const auto png = MakePng(12);  // about 8 clusters
  for (const auto& gaps : std::vector<std::vector<std::pair<uint64_t, uint64_t>>>{
           {}, {{13, 3}}, {{12, 5}, {16, 2}}, {{11, 1}, {14, 4}, {17, 2}}}) {
    SCOPED_TRACE(gaps.size() + 1);
    MemoryVolume v(64);
    Scatter(v, png, 10, gaps);
    std::vector<LcnRun> runs;
    ASSERT_TRUE(carve::ChooseClustersByContent(v.Question(10, png.size()), runs));
    EXPECT_EQ(Gather(v, runs, png.size()), png);
  }
}

TEST(Reassemble, HintedSpansAndLiveClustersPassedOver) {
  const auto png = MakePng(12);
  MemoryVolume v(64);
  Scatter(v, png, 10, {{12, 3}, {17, 1}});
  v.inUse[17] = true;  // live: never taken
  auto q = v.Question(10, png.size());
  q.hints = {{12, 3}};
  std::vector<LcnRun> runs;
  ASSERT_TRUE(carve::ChooseClustersByContent(q, runs));
  EXPECT_EQ(Gather(v, runs, png.size()), png);
}

TEST(Reassemble, HostileQuestionsCannotDecide) {
  const auto png = MakePng(12);
  std::vector<LcnRun> runs;
  {
    MemoryVolume v(64);  // no free cluster after the first
    Scatter(v, png, 10, {});
    for (size_t i = 11; i < v.inUse.size(); ++i) v.inUse[i] = true;
    EXPECT_FALSE(carve::ChooseClustersByContent(v.Question(10, png.size()), runs));
  }
  {
    MemoryVolume v(64);
    Scatter(v, png, 10, {});
    EXPECT_FALSE(carve::ChooseClustersByContent(v.Question(10, 0xFFFFFFFFull), runs));  // size past the volume
    EXPECT_FALSE(carve::ChooseClustersByContent(v.Question(64, png.size()), runs));     // first cluster past it
    EXPECT_FALSE(carve::ChooseClustersByContent(v.Question(63, png.size()), runs));     // runs off its end
    auto q = v.Question(10, png.size());
    q.hints = {{11, UINT64_MAX}, {12, 0}, {UINT64_MAX, 5}};  // bogus spans
    q.guess = {{10, 2}, {UINT64_MAX - 1, 1}};                // and a guess off the volume
    runs.clear();
    EXPECT_TRUE(carve::ChooseClustersByContent(q, runs));
    EXPECT_EQ(Gather(v, runs, png.size()), png);
    v.failReads = true;
    EXPECT_FALSE(carve::ChooseClustersByContent(v.Question(10, png.size()), runs));
  }
  {
    MemoryVolume v(64);  // not a known format: the guess stands
    EXPECT_FALSE(carve::ChooseClustersByContent(v.Question(10, 4000), runs));
  }
  {
    MemoryVolume v(4096);  // a broken file over a big free area ends within its bounds
    auto broken = png;
    broken[2000] ^= 0xFF;
    Scatter(v, broken, 10, {});
    EXPECT_FALSE(carve::ChooseClustersByContent(v.Question(10, broken.size()), runs));
  }
}

}  // namespace
}  // namespace rv
