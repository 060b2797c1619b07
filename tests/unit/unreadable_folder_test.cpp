// A folder whose clusters cannot be read (a bad sector, a container cut
// short): the walk says so through the skip reporter as a read it could
// not make, names the folder, and goes on with the folders beside it.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>

#include "channel/skips.h"
#include "engines/engines.h"
#include "format/exfat_format.h"
#include "format/fat_boot.h"
#include "platform/text.h"
#include "test_support.h"
#include "volume/osvolume.h"
#include "volume/source.h"

namespace rv {
namespace {

// An image in memory whose reads fail wherever they touch [badFrom, badTo).
class FailingSource final : public VolumeSource {
 public:
  FailingSource(std::vector<uint8_t> bytes, uint64_t badFrom, uint64_t badTo)
      : bytes_(std::move(bytes)), badFrom_(badFrom), badTo_(badTo) {}
  uint64_t SizeBytes() const override { return bytes_.size() / 512 * 512; }
  uint32_t SectorSize() const override { return 512; }
  Text Describe() const override { return u"(failing memory)"; }

 protected:
  bool ReadRaw(uint64_t offset, void* buffer, uint32_t length) override {
    if (offset < badTo_ && offset + length > badFrom_) return false;
    std::memcpy(buffer, bytes_.data() + offset, length);
    return true;
  }

 private:
  std::vector<uint8_t> bytes_;
  uint64_t badFrom_, badTo_;
};

struct Listing {
  std::vector<FoundFile> found;
  std::vector<SkippedRecord> unreadable;
};

Listing Search(std::shared_ptr<VolumeSource> source) {
  Listing out;
  const Text name = AttachVolume(std::move(source));
  Text fs, label;
  EXPECT_TRUE(QueryVolumeInformation(name + u"\\", fs, label));
  const EngineRow* engine = EngineForFileSystem(fs);
  EXPECT_NE(engine, nullptr);
  if (!engine) return out;
  const SkipReporter reporter = [&](const SkippedRecord& s) {
    if (s.action == std::string(kCouldNotRead)) out.unreadable.push_back(s);
  };
  SetSkipReporter(&reporter);
  ReceiverEvents ev;
  ev.onFound = [&](FoundFile& f) { out.found.push_back(f); };
  MessageReceiver receiver(ev, name);
  EXPECT_TRUE(RunEngineSearch(*engine, {1, u"*", u"\\", name + u"\\"}, receiver));
  SetSkipReporter(nullptr);
  engine->release();
  DetachVolume(name);
  return out;
}

// The first folder below the root that holds a listed file, made
// unreadable at `offsetOf(its locator)`: one report naming it, and only
// the files in it (and below it) missing.
void ExpectFolderReported(const std::vector<uint8_t>& bytes, const char* kind,
                          const std::function<uint64_t(const FoundFile&)>& offsetOf,
                          const std::function<uint64_t(const FoundFile&)>& whereOf) {
  const Listing whole = Search(std::make_shared<FailingSource>(bytes, 0, 0));
  ASSERT_TRUE(whole.unreadable.empty());
  const FoundFile* inFolder = nullptr;
  for (const FoundFile& f : whole.found)
    if (f.folder != u"\\" && !inFolder) inFolder = &f;
  ASSERT_NE(inFolder, nullptr);
  const uint64_t at = offsetOf(*inFolder);
  const Listing cut = Search(std::make_shared<FailingSource>(bytes, at, at + 512));
  ASSERT_EQ(cut.unreadable.size(), 1u) << ToUtf8(inFolder->folder);
  EXPECT_STREQ(cut.unreadable[0].kind, kind);
  EXPECT_EQ(cut.unreadable[0].where, whereOf(*inFolder));
  const Text folder = inFolder->folder;  // "\\a\\"
  const Text reported = cut.unreadable[0].path;
  const Text bare = folder.substr(0, folder.size() - 1);
  EXPECT_TRUE(reported.size() >= bare.size() && reported.compare(reported.size() - bare.size(), bare.size(), bare) == 0 ||
              reported.size() >= folder.size() && reported.compare(reported.size() - folder.size(), folder.size(), folder) == 0)
      << ToUtf8(reported);
  std::set<Text> missing;
  for (const FoundFile& f : whole.found) missing.insert(f.folder + f.name);
  for (const FoundFile& f : cut.found) missing.erase(f.folder + f.name);
  EXPECT_FALSE(missing.empty());
  for (const Text& p : missing) EXPECT_EQ(p.substr(0, folder.size()), folder) << ToUtf8(p);
}

TEST(UnreadableFolder, ExfatFolderIsReportedAndTheOthersAreStillListed) {
  std::vector<uint8_t> bytes = test::ReadFileBytes(test::ImagePath("exfat-512.img"));
  ASSERT_FALSE(bytes.empty());
  exfat::BootSector boot;
  ASSERT_EQ(exfat::ParseBootSector(bytes.data(), 512, boot), exfat::BootProblem::None);
  // An exFAT file's locator is its folder's first cluster.
  ExpectFolderReported(
      bytes, "exFAT folder", [&](const FoundFile& f) { return boot.ClusterOffset(f.locator); },
      [](const FoundFile& f) { return uint64_t{f.locator}; });
}

TEST(UnreadableFolder, FatFolderIsReportedAndTheOthersAreStillListed) {
  std::vector<uint8_t> bytes = test::ReadFileBytes(test::ImagePath("fat32-512.img"));
  ASSERT_FALSE(bytes.empty());
  fat::BootSector boot;
  ASSERT_TRUE(fat::ParseBootSector(bytes.data(), 512, bytes.size(), boot));
  // A FAT file's locator is its folder's first cluster counted from the
  // data area (the high bit marks a deleted folder).
  const auto lcn = [](const FoundFile& f) { return uint64_t{f.locator & 0x7FFFFFFFu}; };
  ExpectFolderReported(
      bytes, "FAT folder",
      [&](const FoundFile& f) { return (boot.firstDataSector + lcn(f) * boot.sectorsPerCluster) * boot.bytesPerSector; },
      lcn);
}

}  // namespace
}  // namespace rv
