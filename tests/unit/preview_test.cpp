// A found file's kind from its first bytes: pictures made by real encoders
// (the deep scan's samples), text in UTF-8 and UTF-16 with and without a
// mark, and what is neither; the text shown and the hex dump; and the
// first bytes read through the engine as a recovery would write them.
#include <gtest/gtest.h>

#include <string>

#include "platform/text.h"
#include "preview/preview.h"
#include "test_support.h"
#include "volume/osvolume.h"
#include "volume/source.h"

namespace rv::preview {
namespace {

Kind KindOf(const std::string& bytes) {
  return Classify(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

Kind KindOfSample(const std::string& name) {
  const std::vector<uint8_t> b = test::ReadFileBytes(test::ImagePath("carve/" + name));
  EXPECT_FALSE(b.empty()) << name;
  return Classify(b.data(), std::min<size_t>(b.size(), 4096));
}

TEST(Preview, KindsOfRealFiles) {
  EXPECT_EQ(KindOfSample("photo.jpg"), Kind::Jpeg);
  EXPECT_EQ(KindOfSample("exif.jpg"), Kind::Jpeg);
  EXPECT_EQ(KindOfSample("photo.png"), Kind::Png);
  EXPECT_EQ(KindOfSample("photo.gif"), Kind::Gif);
  EXPECT_EQ(KindOfSample("photo.bmp"), Kind::Bmp);
  // Documents, archives and sound are shown as bytes, not as text.
  for (const char* name : {"plain.zip", "report.docx", "tone.wav", "data.sqlite", "photo.tif"})
    EXPECT_EQ(KindOfSample(name), Kind::Binary) << name;
}

TEST(Preview, TextInItsEncodings) {
  EXPECT_EQ(KindOf(""), Kind::Empty);
  EXPECT_EQ(KindOf("Dear Ann,\r\nthe minutes of Monday.\n\tItem 1"), Kind::Utf8Text);
  EXPECT_EQ(KindOf("caf\xC3\xA9 \xE2\x82\xAC 12"), Kind::Utf8Text);
  // A sequence cut by the end of what was read is still text.
  EXPECT_EQ(KindOf("abc caf\xC3"), Kind::Utf8Text);
  EXPECT_EQ(KindOf(std::string("\xFF\xFE" "a\0b\0", 6)), Kind::Utf16LeText);
  EXPECT_EQ(KindOf(std::string("h\0e\0l\0l\0o\0 \0", 12)), Kind::Utf16LeText);
  EXPECT_EQ(KindOf(std::string("\0h\0e\0l\0l\0o", 10)), Kind::Utf16BeText);
  // NULs and control bytes among letters: binary.
  EXPECT_EQ(KindOf(std::string("MZ\x90\0\x03\0\0\0\x04\0\0\0\xFF\xFF\0\0", 16)), Kind::Binary);
  EXPECT_EQ(KindOf("BM not a bitmap at all"), Kind::Utf8Text);

  const std::string utf8 = "\xEF\xBB\xBFl1\nl2\r\nbad\xFF!\x01";
  const Text shown = TextOf(Kind::Utf8Text, reinterpret_cast<const uint8_t*>(utf8.data()), utf8.size());
  EXPECT_EQ(shown, u"l1\r\nl2\r\nbad\uFFFD!\uFFFD");
  const std::string pair("\x3D\xD8\x00\xDE" "a\0" "\x3D\xD8", 8);  // U+1F600, 'a', a cut pair
  EXPECT_EQ(TextOf(Kind::Utf16LeText, reinterpret_cast<const uint8_t*>(pair.data()), pair.size()), u"\U0001F600a");
}

TEST(Preview, HexDumpLines) {
  std::string bytes = "JFIF";
  bytes += std::string("\0\x01\x7F", 3);
  for (int i = 0; i < 10; ++i) bytes += static_cast<char>('a' + i);
  const std::string dump = HexDump(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  EXPECT_EQ(dump,
            "00000000  4a 46 49 46 00 01 7f 61  62 63 64 65 66 67 68 69  |JFIF...abcdefghi|\n"
            "00000010  6a                                                |j|\n");
  EXPECT_EQ(HexDump(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), 4),
            "00000000  4a 46 49 46                                       |JFIF|\n");
}

// The first bytes as the engine's reader gives them, for every deleted file
// of a FAT volume, cut at the limit asked.
// A test image attached as a volume, and every deleted file its engine
// lists; detached when the object goes.
struct SearchedImage {
  Text name;
  const EngineRow* engine = nullptr;
  std::vector<FoundFile> found;

  explicit SearchedImage(const char* image) {
    uint32_t err = 0;
    name = AttachVolume(OpenImageSource(FromUtf8(test::ImagePath(image)), 0, 0, err));
    Text fsName, label;
    if (!QueryVolumeInformation(name + u"\\", fsName, label)) return;
    engine = EngineForFileSystem(fsName);
    if (!engine) return;
    ReceiverEvents ev;
    ev.onFound = [&](FoundFile& f) { found.push_back(f); };
    MessageReceiver receiver(ev, name);
    if (!RunEngineSearch(*engine, {1, u"*", u"\\", name + u"\\"}, receiver)) found.clear();
  }
  ~SearchedImage() {
    if (engine) engine->release();
    DetachVolume(name);
  }
};

TEST(Preview, FirstBytesThroughTheEngine) {
  SearchedImage volume("fat16-2k.img");
  ASSERT_NE(volume.engine, nullptr);
  const EngineRow* engine = volume.engine;
  ASSERT_FALSE(volume.found.empty());
  for (const FoundFile& f : volume.found) {
    std::vector<uint8_t> start, whole;
    ASSERT_TRUE(ReadStart(*engine, f, 1000, start));
    ASSERT_TRUE(ReadStart(*engine, f, SIZE_MAX, whole));
    EXPECT_EQ(start.size(), std::min<size_t>(1000, whole.size()));
    EXPECT_TRUE(std::equal(start.begin(), start.end(), whole.begin()));
  }
}

TEST(Preview, InUseFillAndZeros) {
  std::string text(600, 'a');
  text.replace(10, kInUseRun - 1, kInUseRun - 1, '*');
  const auto* b = reinterpret_cast<const uint8_t*>(text.data());
  EXPECT_FALSE(HasInUseFill(b, text.size()));
  text[10 + kInUseRun - 1] = '*';
  EXPECT_TRUE(HasInUseFill(b, text.size()));
  const uint8_t zeros[3] = {};
  EXPECT_TRUE(AllZero(zeros, 3));
  EXPECT_FALSE(AllZero(zeros, 0));  // nothing read is not "zeroed"
}

// The files of a volume as the preview reads them: a file whose clusters
// were cleared after its deletion (40,000 bytes: the whole file is read to
// tell), a text file kept, on a card a JPEG read whole for its decoder, and
// a file partly overwritten since, its lost clusters read as '*'.
TEST(Preview, ReadPreviewThroughTheEngine) {
  struct Want {
    const char* image;
    std::u16string name;
    Kind kind;
    uint64_t size;
    bool zeroed;
    bool inUse;
  };
  const Want wants[] = {{"fat16-zeroed.img", u"TRIMMED.BIN", Kind::Binary, 40000, true, false},
                        {"fat16-zeroed.img", u"KEPT.TXT", Kind::Utf8Text, 3000, false, false},
                        {"deep-fat16-deleted.img", u"img_0001.jpg", Kind::Jpeg, 5134, false, false},
                        // Its clusters after the first were taken by a newer file.
                        {"fat16-2k.img", u"victim-deleted.bin", Kind::Utf8Text, 6096, false, true}};
  for (const Want& want : wants) {
    SCOPED_TRACE(want.image);
    SearchedImage volume(want.image);
    ASSERT_NE(volume.engine, nullptr);
    const EngineRow* engine = volume.engine;
    bool seen = false;
    for (const FoundFile& f : volume.found) {
      // A deleted FAT entry has lost its first character.
      if (f.name.size() != want.name.size() || f.name.substr(1) != want.name.substr(1)) continue;
      seen = true;
      Preview p;
      ASSERT_TRUE(ReadPreview(*engine, f, [] { return false; }, p));
      EXPECT_EQ(p.kind, want.kind);
      EXPECT_EQ(p.size, want.size);
      EXPECT_EQ(p.zeroed, want.zeroed);
      EXPECT_EQ(p.inUseFill, want.inUse);
      if (want.kind == Kind::Jpeg) EXPECT_EQ(p.bytes.size(), want.size);
      if (want.kind == Kind::Utf8Text) EXPECT_EQ(p.bytes.size(), want.size);
      // A cancelled read says so and gives nothing to show.
      EXPECT_FALSE(ReadPreview(*engine, f, [] { return true; }, p));
    }
    EXPECT_TRUE(seen);
  }
}

}  // namespace
}  // namespace rv::preview
