// Damaged copies of an NTFS test image, made in memory one fault at a time:
// the search and the recovery must neither crash nor hang, the damaged
// record is left out, and the rest of the volume is still found.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "channel/packet.h"
#include "format/ntfs_boot.h"
#include "format/ntfs_format.h"
#include "ntfs/nue.h"
#include "ntfs_test_support.h"
#include "platform/text.h"
#include "format/le.h"
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
    paths.clear();
    for (const auto& m : rec.messages) {
      if (m.id != CM_FILE_FOUND) continue;
      const uint32_t record = le32(Bytes(m.payload.data(), 4), 0);
      found.insert(record);
      // Time text, then the path after the volume name.
      uint32_t at = 12;
      Text time, path;
      ReadPayloadText(m.payload.data(), static_cast<uint32_t>(m.payload.size()), at, time);
      ReadPayloadText(m.payload.data(), static_cast<uint32_t>(m.payload.size()), at, path);
      paths[record] = path.substr(vol.size());
    }
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
  std::map<uint32_t, Text> paths;  // of the last search, inside the volume
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

// Parents that loop cannot be placed: the files are listed under
// "\$Orphan" with the folders climbed before the loop closed, and a file
// placed after them does not borrow their folder.
TEST_F(DamagedImage, ParentChainThatLoopsIsListedUnderOrphan) {
  const uint64_t deeper = ParentOf(85), sub = ParentOf(deeper);
  ASSERT_NE(sub, ntfs::kRootFolderRecord);
  // Sub's parent becomes Deeper: Deeper -> Sub -> Deeper -> ...
  const auto fn = Find(sub, ntfs::kTypeFileName);
  auto r = Record(sub);
  const size_t value = le16(Bytes(r.data(), r.size()), fn.offset + ntfs::kAttrValueOffset);
  put32(Raw(), RecordOffset(sub) + fn.offset + value, static_cast<uint32_t>(deeper));
  auto found = Search();
  EXPECT_EQ(paths[83], u"\\OldFolder\\a.txt");
  EXPECT_EQ(paths[84], u"\\$Orphan\\Deeper\\Sub\\b.bin");
  // Deeper was placed with b.bin: its files follow it.
  EXPECT_EQ(paths[85], u"\\$Orphan\\Deeper\\c.txt");
  EXPECT_EQ(paths[86], u"\\$Orphan\\Deeper\\empty.txt");
  EXPECT_EQ(paths[77], u"\\notes-deleted.txt");
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

// A base record whose attribute list ends exactly at the end of its buffer:
// the first entry names the $MFT's own $DATA (record 0) under a one-letter
// name, the second claims the same type and name length but puts its name
// far past its 26 bytes. The extents end at the damaged entry without its
// name being read (a read past the list is what the ASan build sees), and
// the run table holds the $MFT's runs once.
TEST_F(DamagedImage, ListEntryWhoseNameLiesPastTheListEndsTheExtents) {
  Text vol = AttachVolume(MakeMemorySource(bytes));
  ASSERT_TRUE(SetupNueVolumeDataStructures(vol, TheNueVolume(), kTrue));
  NueVolumeData& v = TheNueVolume();
  const ntfs::Attribute mftData = Find(0, ntfs::kTypeData);
  const ntfs::Attribute si = Find(5, ntfs::kTypeStandardInformation);
  std::vector<uint8_t> root = Record(5);
  Bytes siValue = ntfs::ResidentValue(Bytes(root.data(), root.size()), si);

  std::vector<uint8_t> list(32 + 26, 0);
  MutableBytes l(list.data(), list.size());
  put32(l, ntfs::kAleType, ntfs::kTypeData);
  put16(l, ntfs::kAleLength, 32);
  l[ntfs::kAleNameLength] = 1;
  l[ntfs::kAleNameOffset] = 26;
  put16(l, ntfs::kAleAttributeId, mftData.id);
  put16(l, 26, u'X');
  put32(l, 32 + ntfs::kAleType, ntfs::kTypeData);
  put16(l, 32 + ntfs::kAleLength, 26);
  l[32 + ntfs::kAleNameLength] = 1;
  l[32 + ntfs::kAleNameOffset] = 200;  // name outside the entry and the list
  put16(l, 32 + ntfs::kAleAttributeId, mftData.id);

  std::vector<uint8_t> record(static_cast<size_t>(v.bytesPerFileRecord), 0);
  MutableBytes r(record.data(), record.size());
  put32(r, 0, ntfs::kFileSignature);
  put16(r, ntfs::kRecFirstAttribute, 56);
  const size_t siLength = 24 + (siValue.size() + 7) / 8 * 8;
  put32(r, 56, ntfs::kTypeStandardInformation);
  put32(r, 60, static_cast<uint32_t>(siLength));
  put32(r, 56 + ntfs::kAttrValueLength, static_cast<uint32_t>(siValue.size()));
  put16(r, 56 + ntfs::kAttrValueOffset, 24);
  std::copy(siValue.begin(), siValue.end(), record.begin() + 56 + 24);
  const size_t listAt = record.size() - 24 - list.size();
  const size_t gap = listAt - (56 + siLength);
  put32(r, 56 + siLength, 0x40);  // filler up to the list
  put32(r, 56 + siLength + 4, static_cast<uint32_t>(gap));
  put16(r, 56 + siLength + ntfs::kAttrValueOffset, 24);
  put32(r, listAt, ntfs::kTypeAttributeList);
  put32(r, listAt + 4, static_cast<uint32_t>(24 + list.size()));
  put32(r, listAt + ntfs::kAttrValueLength, static_cast<uint32_t>(list.size()));
  put16(r, listAt + ntfs::kAttrValueOffset, 24);
  std::copy(list.begin(), list.end(), record.begin() + listAt + 24);

  ASSERT_TRUE(BuildRunTable(v, false, record.data()));
  RunGroupView group;
  ASSERT_TRUE(FirstRunGroup(v, group));
  std::vector<uint8_t> mft = Record(0);
  std::vector<ntfs::Run> runs;
  ASSERT_TRUE(ntfs::DecodeMappingPairs(ntfs::AttributeBytes(Bytes(mft.data(), mft.size()), mftData), 0, runs));
  uint64_t want = 0, have = 0;
  for (const auto& x : runs) want += x.length;
  for (const auto& x : group.runs) have += x.length;
  EXPECT_EQ(have, want);
  DetachVolume(vol);
  FreeNueVolumeDataStructures(v);
}

TEST(AttributeListEntry, LengthAndNameMustLieInsideTheList) {
  std::vector<uint8_t> list(64, 0);
  MutableBytes l(list.data(), list.size());
  put32(l, 0, ntfs::kTypeData);
  put16(l, 4, 32);
  l[6] = 2;
  l[7] = 26;
  put64(l, 16, (uint64_t{3} << 48) | 70);
  put16(l, 24, 5);
  ntfs::ListEntry e;
  ASSERT_EQ(ntfs::ParseListEntry(Bytes(list.data(), list.size()), 0, e), ntfs::ListEntryStatus::Ok);
  EXPECT_EQ(e.length, 32u);
  EXPECT_EQ(e.reference & ntfs::kRecordNumberMask, 70u);
  EXPECT_EQ(e.attributeId, 5u);
  EXPECT_EQ(ntfs::ParseListEntry(Bytes(list.data(), list.size()), 32, e), ntfs::ListEntryStatus::End);  // type 0
  EXPECT_EQ(ntfs::ParseListEntry(Bytes(list.data(), list.size()), 40, e), ntfs::ListEntryStatus::End);  // no room
  l[7] = 30;  // two name units from 30: past the 32-byte entry
  EXPECT_EQ(ntfs::ParseListEntry(Bytes(list.data(), list.size()), 0, e), ntfs::ListEntryStatus::BadName);
  l[7] = 26;
  put16(l, 4, 20);  // shorter than the fixed part
  EXPECT_EQ(ntfs::ParseListEntry(Bytes(list.data(), list.size()), 0, e), ntfs::ListEntryStatus::BadLength);
  put16(l, 4, 72);  // past the list
  EXPECT_EQ(ntfs::ParseListEntry(Bytes(list.data(), list.size()), 0, e), ntfs::ListEntryStatus::BadLength);
}

TEST(FileNameValue, NameMustLieInsideTheValue) {
  std::vector<uint8_t> value(66 + 6, 0);
  MutableBytes b(value.data(), value.size());
  put64(b, ntfs::kFnParent, (uint64_t{1} << 48) | 5);
  b[ntfs::kFnNameLength] = 3;
  b[ntfs::kFnNamespace] = 1;
  put16(b, 66, u'a');
  put16(b, 68, u'b');
  put16(b, 70, u'c');
  ntfs::FileName fn;
  ASSERT_TRUE(ntfs::ParseFileName(Bytes(value.data(), value.size()), fn));
  EXPECT_EQ(fn.name, u"abc");
  EXPECT_EQ(fn.parent & ntfs::kRecordNumberMask, 5u);
  EXPECT_FALSE(ntfs::ParseFileName(Bytes(value.data(), value.size() - 1), fn));  // last unit cut
  EXPECT_FALSE(ntfs::ParseFileName(Bytes(value.data(), 65), fn));                // fixed part cut
  b[ntfs::kFnNameLength] = 0;
  ASSERT_TRUE(ntfs::ParseFileName(Bytes(value.data(), value.size()), fn));  // an empty name is the lister's to name
  EXPECT_TRUE(fn.name.empty());
}

}  // namespace
}  // namespace rv
