// The deep scan's format table against files made by real encoders
// (tests/images/make-carve-samples.sh): each measures whole to its exact
// length, also with other bytes after it; a cut-off copy is truncated; a
// damaged one breaks where the damage is; random bytes behind a signature
// are no file.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "carve/formats.h"
#include "test_support.h"

namespace rv::carve {
namespace {

struct Sample {
  const char* file;
  const char* row;        // the row's name
  const char* extension;  // what the measure names it
};

constexpr Sample kSamples[] = {
    {"photo.jpg", "JPEG", "jpg"},         {"progressive.jpg", "JPEG", "jpg"},   {"restart.jpg", "JPEG", "jpg"},
    {"exif.jpg", "JPEG", "jpg"},          {"mpf.jpg", "JPEG", "jpg"},           {"photo.png", "PNG", "png"},
    {"photo.gif", "GIF", "gif"},          {"photo.bmp", "BMP", "bmp"},          {"photo.tif", "TIFF", "tif"},
    {"doc.pdf", "PDF", "pdf"},            {"tone.wav", "RIFF", "wav"},          {"tone.ogg", "Ogg", "ogg"},
    {"report.docx", "ZIP", "docx"},       {"sheet.xlsx", "ZIP", "xlsx"},        {"notes.odt", "ZIP", "odt"},
    {"plain.zip", "ZIP", "zip"},          {"data.sqlite", "SQLite", "sqlite"},  {"tone.mp3", "MP3", "mp3"},
    {"bare.mp3", "MP3", "mp3"},           {"gain.mp3", "MP3", "mp3"},           {"ape.mp3", "MP3", "mp3"},
    {"tone.flac", "FLAC", "flac"},        {"stereo.flac", "FLAC", "flac"},      {"id3.flac", "FLAC", "flac"},
    {"clip.mkv", "Matroska", "mkv"},      {"clip.webm", "Matroska", "webm"},    {"notes.txt.gz", "GZIP", "gz"},
    {"noise.bin.gz", "GZIP", "gz"},       {"short.gz", "GZIP", "gz"},           {"log.txt.gz", "GZIP", "gz"},
    {"archive.rar", "RAR", "rar"},        {"winrar4.rar", "RAR", "rar"},        {"photo.psd", "PSD", "psd"},
    {"raw.psd", "PSD", "psd"},            {"large.psb", "PSD", "psb"},
};

std::vector<uint8_t> SampleBytes(const char* name) {
  const std::string path = test::ImagePath(std::string("carve/") + name);
  return path.empty() ? std::vector<uint8_t>{} : test::ReadFileBytes(path);
}

const FormatRow& Row(const char* name) {
  for (const FormatRow& row : Formats())
    if (std::string(row.name) == name) return row;
  ADD_FAILURE() << "no row " << name;
  return Formats()[0];
}

Measure MeasureBytes(const FormatRow& row, const std::vector<uint8_t>& bytes, uint64_t limit = UINT64_MAX) {
  MemorySource source(bytes);
  return MeasureCandidate(row, source, limit);
}

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

TEST(CarveFormats, RealFilesMeasureWholeToTheirLengthWithOtherBytesAfterThem) {
  for (const Sample& s : kSamples) {
    SCOPED_TRACE(s.file);
    std::vector<uint8_t> bytes = SampleBytes(s.file);
    if (bytes.empty()) GTEST_SKIP() << "carve samples not unpacked";
    const FormatRow& row = Row(s.row);
    EXPECT_TRUE(SignatureMatches(row, bytes));
    Measure m = MeasureBytes(row, bytes);
    EXPECT_EQ(m.verdict, Verdict::Whole);
    EXPECT_EQ(m.length, bytes.size());
    EXPECT_EQ(m.validUpTo, bytes.size());
    EXPECT_STREQ(ExtensionOf(row, m), s.extension);
    // As on a volume: the cluster's slack and the next file follow.
    const size_t size = bytes.size();
    for (uint8_t b : RandomBytes(70000, 5)) bytes.push_back(b);
    m = MeasureBytes(row, bytes);
    EXPECT_EQ(m.verdict, Verdict::Whole);
    EXPECT_EQ(m.length, size);
  }
}

TEST(CarveFormats, AFileCutShortIsTruncatedNeverWhole) {
  for (const Sample& s : kSamples) {
    SCOPED_TRACE(s.file);
    const std::vector<uint8_t> bytes = SampleBytes(s.file);
    if (bytes.empty()) GTEST_SKIP() << "carve samples not unpacked";
    const FormatRow& row = Row(s.row);
    for (uint64_t cut : {bytes.size() * 3 / 4, bytes.size() - 1}) {
      const Measure m = MeasureBytes(row, bytes, cut);
      EXPECT_LE(m.validUpTo, cut);
      // The end-of-line after a PDF's last "%%EOF" is optional.
      if (std::string(s.row) == "PDF" && cut == bytes.size() - 1) continue;
      EXPECT_NE(m.verdict, Verdict::Whole) << "cut at " << cut;
      if (m.verdict == Verdict::Truncated) {
        EXPECT_TRUE(m.ranOut);
      }
    }
  }
}

TEST(CarveFormats, DamageInsideTheStructureBreaksItThere) {
  // A JPEG whose second half is overwritten by another file's bytes, as on
  // a card where the photo's clusters were reused.
  std::vector<uint8_t> jpeg = SampleBytes("restart.jpg");
  if (jpeg.empty()) GTEST_SKIP() << "carve samples not unpacked";
  const size_t half = jpeg.size() / 2;
  const std::vector<uint8_t> noise = RandomBytes(jpeg.size() - half, 9);
  std::copy(noise.begin(), noise.end(), jpeg.begin() + half);
  Measure m = MeasureBytes(Row("JPEG"), jpeg);
  EXPECT_EQ(m.verdict, Verdict::Truncated);
  EXPECT_FALSE(m.ranOut);
  EXPECT_GE(m.validUpTo + 4096, half);  // found within a few restart intervals
  EXPECT_LE(m.validUpTo, half + 4096);

  // A PNG with one byte of its image data changed: the IDAT CRC fails.
  std::vector<uint8_t> png = SampleBytes("photo.png");
  const size_t at = png.size() / 2;
  png[at] ^= 0x40;
  m = MeasureBytes(Row("PNG"), png);
  EXPECT_EQ(m.verdict, Verdict::Truncated);
  EXPECT_LE(m.validUpTo, at);
  EXPECT_GE(m.validUpTo, 33u);  // signature and IHDR stay valid

  // A ZIP whose central directory is overwritten: no end record.
  std::vector<uint8_t> zip = SampleBytes("report.docx");
  const size_t central = zip.size() - 22 - 150;
  std::fill(zip.begin() + central, zip.end(), 0);
  m = MeasureBytes(Row("ZIP"), zip);
  EXPECT_EQ(m.verdict, Verdict::Truncated);
  EXPECT_STREQ(ExtensionOf(Row("ZIP"), m), "docx");
}

TEST(CarveFormats, SequentialJpegScansAreDecodedSoOtherBytesWithoutMarkersShow) {
  // Every byte checked by what it holds: decoded JPEG scans, PNG CRCs;
  // a progressive JPEG (walked by markers) and a PDF (offsets) are not.
  const std::pair<const char*, bool> kChecked[] = {{"photo.jpg", true},  {"restart.jpg", true}, {"exif.jpg", true},
                                                   {"progressive.jpg", false}, {"photo.png", true}, {"doc.pdf", false},
                                                   {"notes.txt.gz", true}};
  for (const auto& [file, checked] : kChecked) {
    SCOPED_TRACE(file);
    const std::vector<uint8_t> bytes = SampleBytes(file);
    if (bytes.empty()) GTEST_SKIP() << "carve samples not unpacked";
    const FormatRow* row = FormatFor(std::string(file).substr(std::string(file).rfind('.') + 1));
    ASSERT_NE(row, nullptr);
    const Measure m = MeasureBytes(*row, bytes);
    EXPECT_EQ(m.verdict, Verdict::Whole);
    EXPECT_EQ(m.contentChecked, checked);
  }
  // Text in place of a cluster of entropy-coded data (as a file written
  // into a photo's gap leaves it): no FF byte, so no marker is wrong, but
  // the blocks stop decoding soon after it starts.
  for (const char* file : {"photo.jpg", "restart.jpg"}) {
    SCOPED_TRACE(file);
    std::vector<uint8_t> jpeg = SampleBytes(file);
    const size_t at = jpeg.size() / 2;
    ASSERT_GT(jpeg.size(), at + 2048);
    const std::string line = "00000123 the quick brown fox jumps over the lazy dog\n";
    for (size_t i = 0; i < 2048; ++i) jpeg[at + i] = static_cast<uint8_t>(line[i % line.size()]);
    const Measure m = MeasureBytes(Row("JPEG"), jpeg);
    EXPECT_EQ(m.verdict, Verdict::Truncated);
    EXPECT_GE(m.validUpTo + 64, at);
    EXPECT_LE(m.validUpTo, at + 2048 + 2048);
  }
}

TEST(CarveFormats, TheExifThumbnailStaysInsideItsPhoto) {
  const std::vector<uint8_t> bytes = SampleBytes("exif.jpg");
  if (bytes.empty()) GTEST_SKIP() << "carve samples not unpacked";
  // The thumbnail's own SOI and EOI lie inside the photo.
  size_t inner = 0;
  for (size_t i = 3; i + 2 < bytes.size(); ++i)
    if (bytes[i] == 0xFF && bytes[i + 1] == 0xD8 && bytes[i + 2] == 0xFF) inner = inner ? inner : i;
  ASSERT_GT(inner, 0u);
  const Measure m = MeasureBytes(Row("JPEG"), bytes);
  EXPECT_EQ(m.verdict, Verdict::Whole);
  EXPECT_EQ(m.length, bytes.size());
}

TEST(CarveFormats, RandomBytesBehindASignatureAreNoFile) {
  for (const FormatRow& row : Formats()) {
    SCOPED_TRACE(row.name);
    for (uint32_t seed = 1; seed <= 8; ++seed) {
      std::vector<uint8_t> bytes = RandomBytes(256 * 1024, seed);
      const Signature& sig = row.signatures[0];
      std::memcpy(bytes.data() + sig.offset, sig.bytes.data(), sig.bytes.size());
      const Measure m = MeasureBytes(row, bytes);
      EXPECT_NE(m.verdict, Verdict::Whole) << "seed " << seed;
    }
  }
}

TEST(CarveFormats, IsoMediaBoxWalk) {
  // ftyp, moov (holding mvhd), mdat, then slack: the file is the three boxes.
  std::vector<uint8_t> f;
  auto box = [&](const char* type, size_t payload) {
    const uint32_t size = static_cast<uint32_t>(8 + payload);
    for (int s = 24; s >= 0; s -= 8) f.push_back(static_cast<uint8_t>(size >> s));
    f.insert(f.end(), type, type + 4);
    f.insert(f.end(), payload, 0x11);
  };
  box("ftyp", 12);
  std::memcpy(f.data() + 8, "isom", 4);
  box("moov", 100);
  box("mdat", 5000);
  const size_t length = f.size();
  f.insert(f.end(), 3000, 0);
  const FormatRow& row = Row("ISO base media");
  Measure m = MeasureBytes(row, f);
  EXPECT_EQ(m.verdict, Verdict::Whole);
  EXPECT_EQ(m.length, length);
  EXPECT_STREQ(ExtensionOf(row, m), "mp4");
  std::memcpy(f.data() + 8, "qt  ", 4);
  EXPECT_STREQ(ExtensionOf(row, MeasureBytes(row, f)), "mov");
  // The mdat cut off: truncated where the mdat starts.
  m = MeasureBytes(row, f, length - 100);
  EXPECT_EQ(m.verdict, Verdict::Truncated);
  EXPECT_TRUE(m.ranOut);
  EXPECT_EQ(m.validUpTo, 20u + 108u);
}

TEST(CarveFormats, TableLookups) {
  EXPECT_STREQ(FormatFor("docx")->name, "ZIP");
  EXPECT_STREQ(FormatFor("JPEG")->name, "JPEG");
  EXPECT_STREQ(FormatFor("Jpg")->name, "JPEG");
  EXPECT_STREQ(FormatFor("wav")->name, "RIFF");
  EXPECT_EQ(FormatFor("exe"), nullptr);
}

}  // namespace
}  // namespace rv::carve
