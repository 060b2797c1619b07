// Damaged copies of an NTFS test image, made in memory one fault at a time:
// the search and the recovery must neither crash nor hang, the damaged
// record is left out, and the rest of the volume is still found.
#include <gtest/gtest.h>

#include <set>

#include "channel/packet.h"
#include "ntfs/ntfs_boot.h"
#include "ntfs/ntfs_format.h"
#include "ntfs/nue.h"
#include "ntfs_test_support.h"
#include "platform/text.h"
#include "volume/le.h"
#include "volume/osvolume.h"

namespace rv {
namespace {

class DamagedImage : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string path = test::ImagePath("ntfs-4k.img");
    if (path.empty()) GTEST_SKIP() << "ntfs-4k.img not unpacked";
    bytes = test::ReadFileBytes(path);
    ASSERT_TRUE(ntfs::ParseBootSector(bytes.data(), 512, boot));
  }

  size_t RecordOffset(uint64_t n) const { return boot.mftLcn * boot.bytesPerCluster + n * boot.bytesPerFileRecord; }
  // A fixed-up copy of record n, to find field offsets in.
  std::vector<uint8_t> Record(uint64_t n) const {
    std::vector<uint8_t> r(bytes.begin() + RecordOffset(n), bytes.begin() + RecordOffset(n) + boot.bytesPerFileRecord);
    EXPECT_TRUE(ntfs::ApplyRecordFixups(MutableBytes(r.data(), r.size())));
    return r;
  }
  ntfs::Attribute Find(uint64_t n, uint32_t type) const {
    auto r = Record(n);
    Bytes b(r.data(), r.size());
    ntfs::Attribute a;
    for (bool h = ntfs::FirstAttributeOf(b, a); h; h = ntfs::NextAttributeOf(b, a, a))
      if (a.type == type) return a;
    ADD_FAILURE() << "record " << n << " has no attribute " << type;
    return a;
  }
  uint64_t ParentOf(uint64_t n) const {
    auto r = Record(n);
    ntfs::Attribute a = Find(n, ntfs::kTypeFileName);
    return le64(ntfs::ResidentValue(Bytes(r.data(), r.size()), a), 0) & 0xFFFFFFFF;
  }
  MutableBytes Raw() { return MutableBytes(bytes.data(), bytes.size()); }

  // Search of the damaged copy: the records listed.
  std::set<uint32_t> Search() {
    Text vol = AttachVolume(MakeMemorySource(bytes));
    test::MessageRecorder rec;
    SearchRequestFields req{1, u"", u"\\", vol + u"\\"};
    RequestPacket packet = RequestPacket::Wrap(BuildSearchRequest(req));
    NueDel::GetDeletedFileHeadersShell(packet);
    std::set<uint32_t> found;
    for (const auto& m : rec.messages)
      if (m.id == CM_FILE_FOUND) found.insert(le32(Bytes(m.payload.data(), 4), 0));
    EXPECT_EQ(rec.messages.back().id, CM_SEARCH_FINISHED);
    // Recovering everything listed must be as harmless.
    test::TempDir dir;
    std::vector<int32_t> records(found.begin(), found.end());
    RequestPacket undelete = RequestPacket::Wrap(BuildNtfsUndeleteRequest(dir.EnginePath(), records));
    NueUdel::UndeleteFileShell(undelete);
    DetachVolume(vol);
    FreeNueVolumeDataStructures(TheNueVolume());
    return found;
  }

  std::vector<uint8_t> bytes;
  ntfs::BootSector boot;
};

// Records of the manifest: 77 resident, 79 non-resident, 84 and 85 in a
// deleted folder tree.
TEST_F(DamagedImage, CorruptFixupsSkipTheRecord) {
  put16(Raw(), RecordOffset(77) + 510, 0x1234);
  auto found = Search();
  EXPECT_EQ(found.count(77), 0u);
  EXPECT_EQ(found.count(79), 1u);
  // An update sequence array that reaches past the record is refused too.
  put16(Raw(), RecordOffset(79) + 4, 0x3F0);
  EXPECT_EQ(Search().count(79), 0u);
}

TEST_F(DamagedImage, BogusAttributeLengthsEndTheWalk) {
  const auto data = Find(79, ntfs::kTypeData);
  put32(Raw(), RecordOffset(79) + data.offset + 4, 0);
  const auto si = Find(81, ntfs::kTypeStandardInformation);
  put32(Raw(), RecordOffset(81) + si.offset + 4, 0xFFFFFFF0);
  auto found = Search();
  EXPECT_EQ(found.count(81), 0u);
  EXPECT_EQ(found.count(77), 1u);
}

TEST_F(DamagedImage, RunListRunningOffTheAttributeIsCutShort) {
  const auto data = Find(84, ntfs::kTypeData);
  const size_t attr = RecordOffset(84) + data.offset;
  // The mapping pairs start at the attribute's last byte with a header that
  // promises 8 + 8 more bytes.
  put16(Raw(), attr + ntfs::kAttrMappingPairs, static_cast<uint16_t>(data.length - 1));
  Raw()[attr + data.length - 1] = 0x88;
  auto found = Search();
  EXPECT_EQ(found.count(77), 1u);
  // A run pointing past the end of the volume is cut as well.
  const auto data2 = Find(85, ntfs::kTypeData);
  const size_t attr2 = RecordOffset(85) + data2.offset;
  const size_t pairs = attr2 + le16(Bytes(bytes.data(), bytes.size()), attr2 + ntfs::kAttrMappingPairs);
  Raw()[pairs] = 0x41;
  Raw()[pairs + 1] = 1;
  put32(Raw(), pairs + 2, 0x7FFFFFF0);
  Raw()[pairs + 6] = 0;
  EXPECT_EQ(Search().count(77), 1u);
}

TEST_F(DamagedImage, ParentChainThatLoopsFailsThePath) {
  const uint64_t deeper = ParentOf(85), sub = ParentOf(deeper);
  ASSERT_NE(sub, ntfs::kRootFolderRecord);
  // Sub's parent becomes Deeper: Deeper -> Sub -> Deeper -> ...
  const auto fn = Find(sub, ntfs::kTypeFileName);
  auto r = Record(sub);
  const size_t value = le16(Bytes(r.data(), r.size()), fn.offset + ntfs::kAttrValueOffset);
  put32(Raw(), RecordOffset(sub) + fn.offset + value, static_cast<uint32_t>(deeper));
  auto found = Search();
  EXPECT_EQ(found.count(85), 0u);
  EXPECT_EQ(found.count(84), 0u);  // Sub is in the loop too
  // Its sibling cannot be placed either: it must not borrow the folder of
  // the file listed before it (83, in OldFolder).
  EXPECT_EQ(found.count(86), 0u);
  EXPECT_EQ(found.count(83), 1u);
  EXPECT_EQ(found.count(77), 1u);
}

TEST_F(DamagedImage, MftRecordCountFarBeyondTheImage) {
  const auto data = Find(0, ntfs::kTypeData);
  const size_t attr = RecordOffset(0) + data.offset;
  put64(Raw(), attr + ntfs::kAttrDataSize, 1ull << 40);
  put64(Raw(), attr + ntfs::kAttrInitializedSize, 1ull << 40);
  auto found = Search();
  EXPECT_EQ(found.count(77), 1u);
  EXPECT_EQ(found.count(99), 1u);
}

// Record 96 is comp-deleted.txt: one compression unit stored in clusters
// 2668-2670. A broken chunk header makes the unit fail, and a file whose
// units all fail is not reported as recovered.
TEST_F(DamagedImage, CompressedUnitThatDoesNotDecompressIsAFailure) {
  const size_t at = 2668 * boot.bytesPerCluster;
  ASSERT_EQ(le16(Bytes(bytes.data(), bytes.size()), at) & 0x7000, 0x3000) << "not an LZNT1 chunk";
  put16(Raw(), at, 0x8FFF);  // signature bits 0: not a chunk
  Text vol = AttachVolume(MakeMemorySource(bytes));
  ASSERT_TRUE(SetupNueVolumeDataStructures(vol, TheNueVolume(), kTrue));
  test::TempDir dir;
  test::MessageRecorder rec;
  RequestPacket packet = RequestPacket::Wrap(BuildNtfsUndeleteRequest(dir.EnginePath(), {96}));
  NueUdel::UndeleteFileShell(packet);
  bool seen = false;
  for (const auto& m : rec.messages)
    if (m.id == CM_UNDELETE_RESULT) {
      seen = true;
      EXPECT_EQ(le32(Bytes(m.payload.data(), 4), 0), kResultNotRecovered);
    }
  EXPECT_TRUE(seen);
  DetachVolume(vol);
  FreeNueVolumeDataStructures(TheNueVolume());
}

TEST(ApplyRecordFixups, ValidatesTheUpdateSequence) {
  std::vector<uint8_t> r(1024, 0);
  MutableBytes b(r.data(), r.size());
  put32(b, 0, ntfs::kFileSignature);
  put16(b, 4, 48);
  put16(b, 6, 3);
  put16(b, 48, 0x0007);
  put16(b, 50, 0xAAAA);
  put16(b, 52, 0xBBBB);
  put16(b, 510, 7);
  put16(b, 1022, 7);
  std::vector<uint8_t> copy = r;
  ASSERT_TRUE(ntfs::ApplyRecordFixups(b));
  EXPECT_EQ(le16(b, 510), 0xAAAA);
  EXPECT_EQ(le16(b, 1022), 0xBBBB);
  EXPECT_TRUE(ntfs::ApplyRecordFixups(b));  // already applied: unchanged
  EXPECT_EQ(le16(b, 1022), 0xBBBB);
  r = copy;
  put16(b, 1022, 9);
  EXPECT_FALSE(ntfs::ApplyRecordFixups(b));
  r = copy;
  put16(b, 6, 4);  // one entry more than the record has strides
  EXPECT_FALSE(ntfs::ApplyRecordFixups(b));
  r = copy;
  put16(b, 4, 508);  // array running into the protected word
  EXPECT_FALSE(ntfs::ApplyRecordFixups(b));
  r = copy;
  put32(b, 0, 0x44414142);  // "BAAD"
  EXPECT_FALSE(ntfs::ApplyRecordFixups(b));
}

TEST(DecodeMappingPairs, RunsHolesAndDamage) {
  // Attribute with mapping pairs at 64: 0x21 0x18 0x34 0x56 -> 24 clusters
  // at 0x5634; 0x11 0x10 0xF0 -> 16 clusters 16 back; 0x01 0x05 -> hole.
  std::vector<uint8_t> attr(80, 0);
  MutableBytes a(attr.data(), attr.size());
  put16(a, ntfs::kAttrMappingPairs, 64);
  const uint8_t pairs[] = {0x21, 0x18, 0x34, 0x56, 0x11, 0x10, 0xF0, 0x01, 0x05, 0x00};
  std::copy(std::begin(pairs), std::end(pairs), attr.begin() + 64);
  std::vector<ntfs::Run> runs;
  ASSERT_TRUE(ntfs::DecodeMappingPairs(Bytes(attr.data(), attr.size()), 0, runs));
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_EQ(runs[0].lcn, 0x5634);
  EXPECT_EQ(runs[0].length, 24u);
  EXPECT_EQ(runs[1].lcn, 0x5634 - 16);
  EXPECT_EQ(runs[2].lcn, -1);
  EXPECT_EQ(runs[2].length, 5u);
  runs.clear();
  EXPECT_FALSE(ntfs::DecodeMappingPairs(Bytes(attr.data(), attr.size()), 0x5000, runs));  // outside the volume
  EXPECT_TRUE(runs.empty());
  runs.clear();
  EXPECT_FALSE(ntfs::DecodeMappingPairs(Bytes(attr.data(), 70), 0, runs));  // runs off the attribute
  EXPECT_EQ(runs.size(), 1u);
  attr[64] = 0x20;  // zero length field
  runs.clear();
  EXPECT_FALSE(ntfs::DecodeMappingPairs(Bytes(attr.data(), attr.size()), 0, runs));
}

}  // namespace
}  // namespace rv
