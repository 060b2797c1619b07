// Read errors in the MFT: a sector that cannot be read costs the records in
// it and nothing else. A file whose folder record is unreadable is listed
// and recovered under "\$Orphan"; the records that share the unreadable
// record's 64 KiB of MFT are still found.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "channel/packet.h"
#include "format/ntfs_boot.h"
#include "ntfs/nue.h"
#include "ntfs_test_support.h"
#include "platform/text.h"
#include "format/le.h"
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

Text PathOf(const test::Posted& m, size_t prefix) {
  uint32_t at = 12;
  Text time, path;
  ReadPayloadText(m.payload.data(), static_cast<uint32_t>(m.payload.size()), at, time);
  ReadPayloadText(m.payload.data(), static_cast<uint32_t>(m.payload.size()), at, path);
  return path.substr(prefix);
}

// ntfs-4k.img: c.txt (record 85) lies in the deleted folder Deeper, whose
// record is made unreadable; b.bin (84) lies in Sub, Deeper's parent.
TEST(NtfsReadError, UnreadableFolderRecordLeavesItsFileUnderOrphanAndNothingElseLost) {
  test::UseUtc();
  const std::string image = test::ImagePath("ntfs-4k.img");
  if (image.empty()) GTEST_SKIP() << "ntfs-4k.img not unpacked";
  std::vector<uint8_t> bytes = test::ReadFileBytes(image);
  ntfs::BootSector boot;
  ASSERT_TRUE(ntfs::ParseBootSector(bytes.data(), 512, boot));
  auto recordAt = [&](uint64_t n) { return boot.mftLcn * boot.bytesPerCluster + n * boot.bytesPerFileRecord; };
  std::vector<uint8_t> c(bytes.begin() + recordAt(85), bytes.begin() + recordAt(86));
  ASSERT_TRUE(ntfs::ApplyRecordFixups(MutableBytes(c.data(), c.size())));
  uint64_t deeper = 0;
  Text name;
  BOOL found = kFalse;
  ASSERT_TRUE(GetRecordFileName(TheNueVolume(), Bytes(c.data(), c.size()), name, deeper, found));
  ASSERT_EQ(name, u"c.txt");

  auto source = std::make_shared<FailingSource>(bytes, recordAt(deeper), recordAt(deeper) + 512);
  const Text vol = AttachVolume(source);
  std::map<uint32_t, Text> listed;
  {
    test::MessageRecorder rec;
    SearchRequestFields req{1, u"", u"\\", vol + u"\\"};
    NueDel::GetDeletedFileHeadersShell(RequestPacket::Wrap(BuildSearchRequest(req)));
    for (const auto& m : rec.messages)
      if (m.id == CM_FILE_FOUND && le32(Bytes(m.payload.data(), 8), 4) == kNtfsFileItself)
        listed[le32(Bytes(m.payload.data(), 4), 0)] = PathOf(m, vol.size());
  }
  EXPECT_EQ(listed[85], u"\\$Orphan\\c.txt");
  EXPECT_EQ(listed[86], u"\\$Orphan\\empty.txt");
  EXPECT_EQ(listed[84], u"\\OldFolder\\Sub\\b.bin");
  // Every other deleted file of the manifest, in the same 64 KiB of MFT.
  const auto manifest = test::ManifestImage("ntfs-4k.img");
  for (const auto& d : manifest["deleted"]) {
    const uint32_t n = d["mft_record"].get<uint32_t>();
    EXPECT_EQ(listed.count(n), 1u) << d["path"].get<std::string>();
  }

  // Recovery names the file by its place and brings back its bytes.
  test::TempDir dir;
  test::MessageRecorder rec;
  NueUdel::UndeleteFileShell(RequestPacket::Wrap(BuildNtfsUndeleteRequest(dir.EnginePath(), {85, 84})));
  std::vector<std::pair<uint32_t, Text>> results;
  for (const auto& m : rec.messages) {
    if (m.id != CM_UNDELETE_RESULT) continue;
    uint32_t at = 8;
    Text src;
    ReadPayloadText(m.payload.data(), static_cast<uint32_t>(m.payload.size()), at, src);
    results.push_back({le32(Bytes(m.payload.data(), 4), 0), src.substr(vol.size())});
  }
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0], std::make_pair(kResultRecovered, Text(u"\\$Orphan\\c.txt")));
  EXPECT_EQ(results[1], std::make_pair(kResultRecovered, Text(u"\\OldFolder\\Sub\\b.bin")));
  for (const auto& d : manifest["deleted"]) {
    if (d["mft_record"] != 85) continue;
    std::vector<uint8_t> original;
    ASSERT_TRUE(test::OriginalBytes(d, original));
    EXPECT_EQ(test::ReadFileBytes(dir.path() + "/c.txt"), original);
  }
  DetachVolume(vol);
  FreeNueVolumeDataStructures(TheNueVolume());
}

}  // namespace
}  // namespace rv
