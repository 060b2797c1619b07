// The deep scan's rows for streams and containers whose end is found by
// walking them (MP3, FLAC, Matroska, gzip, RAR, PSD, a multi-picture
// JPEG), on the encoders' samples of tests/images/make-carve-samples.sh
// changed the way real volumes change them: damaged bytes, members
// following one another, sizes a live recorder leaves unknown.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <random>
#include <string>

#include "carve/formats.h"
#include "test_support.h"

namespace rv::carve {
namespace {

std::vector<uint8_t> Sample(const char* name) {
  const std::string path = test::ImagePath(std::string("carve/") + name);
  return path.empty() ? std::vector<uint8_t>{} : test::ReadFileBytes(path);
}

const FormatRow& Row(const char* name) {
  const FormatRow* row = FormatFor(name);
  if (!row) ADD_FAILURE() << "no row " << name;
  return row ? *row : Formats()[0];
}

Measure MeasureBytes(const char* row, const std::vector<uint8_t>& bytes, uint64_t limit = UINT64_MAX) {
  MemorySource source(bytes);
  return MeasureCandidate(Row(row), source, limit);
}

void AppendRandom(std::vector<uint8_t>& bytes, size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  for (size_t i = 0; i < n; ++i) bytes.push_back(static_cast<uint8_t>(rng()));
}

#define SAMPLE_OR_SKIP(var, name)                                \
  const std::vector<uint8_t> var = Sample(name);                 \
  if (var.empty()) GTEST_SKIP() << "carve samples not unpacked"

TEST(CarveStreams, EverySignatureOfEveryRowBeforeRandomOrZeroBytesIsNoFile) {
  for (const FormatRow& row : Formats()) {
    for (const Signature& sig : row.signatures) {
      SCOPED_TRACE(std::string(row.name) + " signature of " + std::to_string(sig.bytes.size()) + " bytes");
      for (uint32_t seed = 1; seed <= 3; ++seed) {
        std::vector<uint8_t> bytes;
        AppendRandom(bytes, 64 * 1024, seed * 77);
        std::memcpy(bytes.data() + sig.offset, sig.bytes.data(), sig.bytes.size());
        EXPECT_NE(MeasureBytes(row.name, bytes).verdict, Verdict::Whole) << "seed " << seed;
      }
      std::vector<uint8_t> zeros(64 * 1024, 0);
      std::memcpy(zeros.data() + sig.offset, sig.bytes.data(), sig.bytes.size());
      EXPECT_NE(MeasureBytes(row.name, zeros).verdict, Verdict::Whole) << "zeros";
    }
  }
}

TEST(CarveStreams, AnMp3WithoutItsTagNeedsManyFramesInARow) {
  SAMPLE_OR_SKIP(bare, "bare.mp3");
  ASSERT_EQ(bare[0], 0xFF);
  EXPECT_EQ(MeasureBytes("MP3", bare).verdict, Verdict::Whole);
  // A few hundred bytes hold fewer than 16 frames: a bare frame sync that
  // far is not taken for a file, not even a truncated one.
  EXPECT_EQ(MeasureBytes("MP3", bare, 300).verdict, Verdict::NotThisFormat);
  // With its ID3v2 tag the start is certain: cut short, it is truncated.
  SAMPLE_OR_SKIP(tagged, "tone.mp3");
  const Measure m = MeasureBytes("MP3", tagged, 700);
  EXPECT_EQ(m.verdict, Verdict::Truncated);
  EXPECT_TRUE(m.ranOut);
}

TEST(CarveStreams, AnApeTagWithoutItsHeaderIsWalkedToItsFooter) {
  SAMPLE_OR_SKIP(gain, "gain.mp3");
  // mp3gain's tag (header, items, footer) before the ID3v1 tag; taggers
  // that write the footer alone leave the items right after the frames.
  size_t header = 0;
  for (size_t i = 0; i + 8 <= gain.size() && !header; ++i)
    if (std::memcmp(gain.data() + i, "APETAGEX", 8) == 0) header = i;
  ASSERT_GT(header, 0u);
  std::vector<uint8_t> footerOnly(gain.begin(), gain.begin() + header);
  footerOnly.insert(footerOnly.end(), gain.begin() + header + 32, gain.end());
  const size_t footer = footerOnly.size() - 128 - 32;
  ASSERT_EQ(std::memcmp(footerOnly.data() + footer, "APETAGEX", 8), 0);
  footerOnly[footer + 23] &= 0x7F;  // no header
  Measure m = MeasureBytes("MP3", footerOnly);
  EXPECT_EQ(m.verdict, Verdict::Whole);
  EXPECT_EQ(m.length, footerOnly.size());
  // A footer whose size does not reach back to the frames is no tag: the
  // file ends with its frames.
  footerOnly[footer + 12] ^= 0x04;
  m = MeasureBytes("MP3", footerOnly);
  EXPECT_EQ(m.verdict, Verdict::Whole);
  EXPECT_EQ(m.length, header);
}

TEST(CarveStreams, AnId3TagBeforeFlacIsLeftToTheFlacRow) {
  SAMPLE_OR_SKIP(flac, "id3.flac");
  ASSERT_EQ(std::memcmp(flac.data(), "ID3", 3), 0);
  EXPECT_EQ(MeasureBytes("MP3", flac).verdict, Verdict::NotThisFormat);
  EXPECT_TRUE(SignatureMatches(Row("FLAC"), flac));
}

TEST(CarveStreams, FlacFrameDamageEndsTheStreamBeforeThatFrame) {
  SAMPLE_OR_SKIP(flac, "stereo.flac");
  std::vector<uint8_t> damaged = flac;
  const size_t at = flac.size() / 2;
  damaged[at] ^= 0x10;
  const Measure m = MeasureBytes("FLAC", damaged);
  EXPECT_EQ(m.verdict, Verdict::Truncated);
  EXPECT_FALSE(m.ranOut);
  EXPECT_LE(m.validUpTo, at);
  EXPECT_GT(m.validUpTo, 42u);  // signature and STREAMINFO, then whole frames
  // The bytes ending where that frame begins: short of STREAMINFO's total
  // samples, so cut off, not whole.
  const Measure cut = MeasureBytes("FLAC", flac, m.validUpTo);
  EXPECT_EQ(cut.verdict, Verdict::Truncated);
  EXPECT_TRUE(cut.ranOut);
  EXPECT_EQ(cut.validUpTo, m.validUpTo);
}

// Element ids and sizes of an EBML stream, as the test needs them.
struct Element {
  size_t at, sizeAt, sizeBytes, dataAt;
  uint64_t size;
  uint32_t id;
};

Element ElementAt(const std::vector<uint8_t>& b, size_t at) {
  Element e{at, 0, 0, 0, 0, 0};
  const int idBytes = std::countl_zero(b[at]) + 1;
  for (int i = 0; i < idBytes; ++i) e.id = (e.id << 8) | b[at + i];
  e.sizeAt = at + idBytes;
  e.sizeBytes = std::countl_zero(b[e.sizeAt]) + 1;
  e.size = b[e.sizeAt] & (0xFF >> e.sizeBytes);
  for (size_t i = 1; i < e.sizeBytes; ++i) e.size = (e.size << 8) | b[e.sizeAt + i];
  e.dataAt = e.sizeAt + e.sizeBytes;
  return e;
}

void MakeSizeUnknown(std::vector<uint8_t>& b, const Element& e) {
  b[e.sizeAt] = static_cast<uint8_t>(0xFF >> (e.sizeBytes - 1));
  std::fill(b.begin() + e.sizeAt + 1, b.begin() + e.dataAt, 0xFF);
}

TEST(CarveStreams, MatroskaOfUnknownSizeIsWalkedThroughItsClusters) {
  SAMPLE_OR_SKIP(mkv, "clip.mkv");
  // As a live recorder leaves it: the segment and every cluster of unknown
  // size, the clusters' blocks walked to the next top-level element.
  std::vector<uint8_t> live = mkv;
  const Element header = ElementAt(live, 0);
  const Element segment = ElementAt(live, header.dataAt + header.size);
  ASSERT_EQ(segment.id, 0x18538067u);
  ASSERT_EQ(segment.dataAt + segment.size, mkv.size());
  int clusters = 0;
  for (size_t at = segment.dataAt; at < live.size();) {
    const Element e = ElementAt(mkv, at);
    if (e.id == 0x1F43B675) {
      MakeSizeUnknown(live, e);
      ++clusters;
    }
    at = e.dataAt + e.size;
  }
  ASSERT_GT(clusters, 0);
  MakeSizeUnknown(live, segment);
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    std::vector<uint8_t> followed = live;
    AppendRandom(followed, 20000, seed);
    const Measure m = MeasureBytes("Matroska", followed);
    EXPECT_EQ(m.verdict, Verdict::Whole) << "seed " << seed;
    EXPECT_EQ(m.length, mkv.size()) << "seed " << seed;
  }
  // The known size says where the file ends even when a cluster is
  // damaged inside: a size that runs past the segment breaks it there.
  std::vector<uint8_t> damaged = mkv;
  const Element first = ElementAt(damaged, segment.dataAt);
  damaged[first.sizeAt + first.sizeBytes - 1] ^= 0x40;
  EXPECT_EQ(MeasureBytes("Matroska", damaged).verdict, Verdict::Truncated);
}

TEST(CarveStreams, GzipMembersInARowAreOneFileAndTheirCrcIsChecked) {
  SAMPLE_OR_SKIP(gz, "notes.txt.gz");
  std::vector<uint8_t> two = gz;
  two.insert(two.end(), gz.begin(), gz.end());
  const size_t both = two.size();
  AppendRandom(two, 5000, 3);
  Measure m = MeasureBytes("GZIP", two);
  EXPECT_EQ(m.verdict, Verdict::Whole);
  EXPECT_EQ(m.length, both);

  // A second member whose CRC fails is not part of the file.
  two.resize(both);
  two[both - 8] ^= 1;
  m = MeasureBytes("GZIP", two);
  EXPECT_EQ(m.verdict, Verdict::Whole);
  EXPECT_EQ(m.length, gz.size());

  // One changed byte inside the deflate data: the stream breaks, or its
  // CRC-32 no longer matches the trailer.
  std::vector<uint8_t> damaged = gz;
  damaged[gz.size() / 2] ^= 0x08;
  EXPECT_NE(MeasureBytes("GZIP", damaged).verdict, Verdict::Whole);
  // A stored length that is not the data's.
  damaged = gz;
  damaged[gz.size() - 1] ^= 0x01;
  EXPECT_NE(MeasureBytes("GZIP", damaged).verdict, Verdict::Whole);
}

TEST(CarveStreams, RarBlockHeadersAreCheckedByTheirCrc) {
  for (const char* name : {"archive.rar", "winrar4.rar"}) {
    SCOPED_TRACE(name);
    SAMPLE_OR_SKIP(rar, name);
    // A byte of the last block header (the end of archive) changed.
    std::vector<uint8_t> damaged = rar;
    damaged[rar.size() - 3] ^= 0x01;
    const Measure m = MeasureBytes("RAR", damaged);
    EXPECT_EQ(m.verdict, Verdict::Truncated);
    EXPECT_FALSE(m.ranOut);
    EXPECT_GT(m.validUpTo, rar.size() / 2);  // the file blocks before it still check out
    EXPECT_LT(m.validUpTo, rar.size());
  }
}

TEST(CarveStreams, RarWithEncryptedHeadersEndsAtItsEncryptionHeader) {
  SAMPLE_OR_SKIP(rar, "secret.rar");
  // Signature, then the encryption header (CRC, size, 33 bytes); the
  // headers after it give no sizes without the password.
  const Measure m = MeasureBytes("RAR", rar);
  EXPECT_EQ(m.verdict, Verdict::Truncated);
  EXPECT_FALSE(m.ranOut);
  EXPECT_EQ(m.validUpTo, 8u + 4 + 1 + rar[12]);
}

TEST(CarveStreams, PsdImageDataMeasuredWhateverTheLayerSection) {
  SAMPLE_OR_SKIP(psd, "photo.psd");
  // The layer section's length overstated: the image data is not where
  // the file says, so its end cannot be trusted.
  std::vector<uint8_t> damaged = psd;
  const size_t colorAt = 26, resourcesAt = colorAt + 4 + ((psd[26] << 24) | (psd[27] << 16) | (psd[28] << 8) | psd[29]);
  const size_t layersAt =
      resourcesAt + 4 +
      ((psd[resourcesAt] << 24) | (psd[resourcesAt + 1] << 16) | (psd[resourcesAt + 2] << 8) | psd[resourcesAt + 3]);
  damaged[layersAt] = 0x7F;
  EXPECT_NE(MeasureBytes("PSD", damaged).verdict, Verdict::Whole);
}

TEST(CarveStreams, AMultiPictureJpegWhoseLaterImageIsOverwrittenKeepsItsFirst) {
  SAMPLE_OR_SKIP(mpf, "mpf.jpg");
  size_t second = 0;
  for (size_t i = 3; i + 3 < mpf.size(); ++i)
    if (mpf[i] == 0xFF && mpf[i + 1] == 0xD8 && mpf[i + 2] == 0xFF) second = i;
  ASSERT_GT(second, 0u);
  // The first image's EOI is not the file's end.
  ASSERT_EQ(mpf[second - 2], 0xFF);
  ASSERT_EQ(mpf[second - 1], 0xD9);
  std::vector<uint8_t> overwritten(mpf.begin(), mpf.begin() + second);
  AppendRandom(overwritten, mpf.size() - second, 11);
  const Measure m = MeasureBytes("JPEG", overwritten);
  EXPECT_EQ(m.verdict, Verdict::Truncated);
  EXPECT_FALSE(m.ranOut);
  EXPECT_EQ(m.validUpTo, second);
}

}  // namespace
}  // namespace rv::carve
