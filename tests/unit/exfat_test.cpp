// The exFAT format code and engine against volumes made by mkfs.exfat and
// written by exfat-fuse: boot region and entry-set checksums, timestamps,
// cluster plans (NoFatChain runs, intact chains, guesses) and recoveries
// with clusters taken by other files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>
#include <nlohmann/json.hpp>

#include "channel/report.h"
#include "engines/engines.h"
#include "exfat/xue.h"
#include "format/exfat_format.h"
#include "format/le.h"
#include "platform/files.h"
#include "platform/system.h"
#include "platform/text.h"
#include "test_support.h"
#include "volume/osvolume.h"

namespace rv {
namespace {

using namespace exfat;

// An engine output path as this system opens it.
std::string Native(const Text& path) {
#ifdef _WIN32
  return ToUtf8(path);
#else
  return fs::NativePath(path);
#endif
}

std::vector<uint8_t> Image(const std::string& name) {
  const std::string path = test::ImagePath(name);
  return path.empty() ? std::vector<uint8_t>() : test::ReadFileBytes(path);
}

// Byte offset of the deleted file entry whose first name entry starts with `name`.
size_t FindDeletedSet(const std::vector<uint8_t>& img, const std::u16string& name) {
  std::vector<uint8_t> needle = {kTypeDeletedName, 0};
  for (size_t i = 0; i < name.size() && i < kNameUnitsPerEntry; ++i) {
    needle.push_back(static_cast<uint8_t>(name[i]));
    needle.push_back(static_cast<uint8_t>(name[i] >> 8));
  }
  auto it = std::search(img.begin(), img.end(), needle.begin(), needle.end());
  if (it == img.end() || it - img.begin() < 64) return 0;
  return static_cast<size_t>(it - img.begin()) - 64;
}

TEST(ExfatFormat, BootRegionChecksumCoversAllButFlagsAndPercent) {
  for (const char* name : {"exfat-4k.img", "exfat-4kn.img"}) {
    std::vector<uint8_t> img = Image(name);
    if (img.empty()) GTEST_SKIP() << "exFAT images not unpacked";
    BootSector bs;
    ASSERT_EQ(ParseBootSector(img.data(), 512, bs), BootProblem::None) << name;
    EXPECT_EQ(bs.bytesPerSector, std::string(name) == "exfat-4kn.img" ? 4096u : 512u);
    EXPECT_TRUE(BootChecksumMatches(img.data(), bs.bytesPerSector)) << name;
    // Flags and percent-in-use change while the volume is used: not covered.
    img[kBootVolumeFlags] ^= 2;
    img[kBootPercentInUse] = 77;
    EXPECT_TRUE(BootChecksumMatches(img.data(), bs.bytesPerSector));
    // Anything else is, up to the last byte of sector 10.
    img[bs.bytesPerSector * 11 - 1] ^= 1;
    EXPECT_FALSE(BootChecksumMatches(img.data(), bs.bytesPerSector));
  }
}

TEST(ExfatFormat, ImpossibleBootFieldsAreRefused) {
  std::vector<uint8_t> img = Image("exfat-4k.img");
  if (img.empty()) GTEST_SKIP() << "exFAT images not unpacked";
  BootSector bs;
  auto with = [&](size_t at, std::vector<uint8_t> bytes) {
    std::vector<uint8_t> s(img.begin(), img.begin() + 512);
    std::copy(bytes.begin(), bytes.end(), s.begin() + static_cast<long>(at));
    return ParseBootSector(s.data(), s.size(), bs);
  };
  EXPECT_EQ(with(kBootBytesPerSectorShift, {13}), BootProblem::BadFields);     // 8 KiB sectors
  EXPECT_EQ(with(kBootSectorsPerClusterShift, {17}), BootProblem::BadFields);  // 64 MiB clusters
  EXPECT_EQ(with(kBootClusterCount, {0, 0, 0, 0}), BootProblem::BadFields);
  EXPECT_EQ(with(kBootClusterCount, {0, 0, 0, 0x10}), BootProblem::BadFields);  // past the volume and FAT
  EXPECT_EQ(with(kBootClusterHeapOffset, {1, 0, 0, 0}), BootProblem::BadFields);
  EXPECT_EQ(with(kBootRootCluster, {1, 0, 0, 0}), BootProblem::BadFields);
  EXPECT_EQ(with(kBootNumberOfFats, {3}), BootProblem::BadFields);
  EXPECT_EQ(with(20, {1}), BootProblem::BadFields);  // a FAT parameter block where exFAT keeps zeros
  EXPECT_EQ(with(3, {'N'}), BootProblem::NotExfat);
}

TEST(ExfatFormat, DeletedSetsKeepTheChecksumTheyWereWrittenWith) {
  std::vector<uint8_t> img = Image("exfat-4k.img");
  if (img.empty()) GTEST_SKIP() << "exFAT images not unpacked";
  const size_t at = FindDeletedSet(img, u"notes-deleted.txt");
  ASSERT_NE(at, 0u);
  const uint8_t* set = img.data() + at;
  EXPECT_EQ(set[0], kTypeDeletedFile);
  EntrySet s;
  ASSERT_EQ(ParseEntrySet(set, 4096, s), SetProblem::None);
  EXPECT_TRUE(s.deleted);
  EXPECT_TRUE(s.checksumMatches);
  EXPECT_EQ(s.name, u"notes-deleted.txt");
  EXPECT_EQ(s.dataLength, 300u);
  EXPECT_TRUE(s.NoFatChain());
  EXPECT_NE(EntrySetChecksum(set, s.entries, false), le16At(set + kFileSetChecksum));

  // Cut short, mixed in-use state, no name, too few secondaries.
  EXPECT_EQ(ParseEntrySet(set, s.entries * kEntryBytes - 1, s), SetProblem::RunsPastEnd);
  std::vector<uint8_t> copy(set, set + 4096);
  copy[kEntryBytes * 2] |= kInUse;
  EXPECT_EQ(ParseEntrySet(copy.data(), copy.size(), s), SetProblem::MixedState);
  copy.assign(set, set + 4096);
  copy[kEntryBytes + kStreamNameLength] = 0;
  EXPECT_EQ(ParseEntrySet(copy.data(), copy.size(), s), SetProblem::BadName);
  copy.assign(set, set + 4096);
  copy[kEntryBytes + kStreamNameLength] = 40;  // needs three name entries, the set has two
  EXPECT_EQ(ParseEntrySet(copy.data(), copy.size(), s), SetProblem::BadName);
  copy.assign(set, set + 4096);
  copy[kFileSecondaryCount] = 1;
  EXPECT_EQ(ParseEntrySet(copy.data(), copy.size(), s), SetProblem::BadSecondaryCount);
  copy.assign(set, set + 4096);
  copy[kEntryBytes] = kTypeDeletedName;
  EXPECT_EQ(ParseEntrySet(copy.data(), copy.size(), s), SetProblem::NoStream);
  copy.assign(set, set + 4096);
  copy[kFileModified] ^= 1;
  ASSERT_EQ(ParseEntrySet(copy.data(), copy.size(), s), SetProblem::None);
  EXPECT_FALSE(s.checksumMatches);
}

TEST(ExfatFormat, TimestampsWithTenMillisecondsAndUtcOffsets) {
  // 2023-01-01 00:00:00: year 43, month 1, day 1.
  const uint32_t t = (43u << 25) | (1u << 21) | (1u << 16);
  uint64_t ft = 0;
  ASSERT_TRUE(TimestampToUtcFileTime(t, 0, 0x80, ft));
  EXPECT_EQ(ft, UnixToFileTime(1672531200));
  ASSERT_TRUE(TimestampToUtcFileTime(t, 150, 0x80, ft));  // +1.5 s
  EXPECT_EQ(ft, UnixToFileTime(1672531201) + 5000000);
  ASSERT_TRUE(TimestampToUtcFileTime(t, 0, 0x80 | 22, ft));  // +05:30: 22 steps east
  EXPECT_EQ(ft, UnixToFileTime(1672531200 - 19800));
  ASSERT_TRUE(TimestampToUtcFileTime(t, 0, 0x80 | (128 - 32), ft));  // -08:00
  EXPECT_EQ(ft, UnixToFileTime(1672531200 + 28800));
  EXPECT_FALSE(TimestampToUtcFileTime(t, 0, 0x00, ft));                // no offset recorded
  EXPECT_FALSE(TimestampToUtcFileTime((43u << 25) | (13u << 21) | (1u << 16), 0, 0x80, ft));  // month 13
  EXPECT_FALSE(TimestampToUtcFileTime((43u << 25) | (2u << 21) | (30u << 16), 0, 0x80, ft));  // 30 February
  TimestampParts p;
  ASSERT_TRUE(DecodeTimestamp(t | (23u << 11) | (59u << 5) | 29u, 199, p));
  EXPECT_EQ(p.second, 59);
  EXPECT_EQ(p.milliseconds, 990u);
}

// A volume in memory that counts the bytes read from it.
class CountingSource final : public VolumeSource {
 public:
  explicit CountingSource(std::vector<uint8_t> bytes) : inner_(MakeMemorySource(std::move(bytes))) {}
  uint64_t SizeBytes() const override { return inner_->SizeBytes(); }
  uint32_t SectorSize() const override { return inner_->SectorSize(); }
  Text Describe() const override { return u"(counted)"; }
  uint64_t read = 0;

 protected:
  bool ReadRaw(uint64_t offset, void* buffer, uint32_t length) override {
    read += length;
    return inner_->Read(offset, buffer, length);
  }

 private:
  std::shared_ptr<VolumeSource> inner_;
};

// An exFAT image attached as a volume, searched and recovered through the
// engine table as the front ends do.
class ExfatEngine : public ::testing::Test {
 protected:
  void Attach(std::vector<uint8_t> bytes) { Attach(MakeMemorySource(std::move(bytes))); }
  void Attach(std::shared_ptr<VolumeSource> source) {
    name_ = AttachVolume(std::move(source));
    Text fs, label;
    ASSERT_TRUE(QueryVolumeInformation(name_ + u"\\", fs, label));
    engine_ = EngineForFileSystem(fs);
    ASSERT_NE(engine_, nullptr);
    ASSERT_STREQ(engine_->name, "exFAT");
  }
  void TearDown() override {
    if (engine_) engine_->release();
    if (!name_.empty()) DetachVolume(name_);
  }
  std::vector<FoundFile> Search() {
    std::vector<FoundFile> found;
    ReceiverEvents ev;
    ev.onFound = [&](FoundFile& f) {
      uint32_t percent = 0;
      if (engine_->recoverableWhileListed(percent)) f.recoverable = static_cast<int>(percent);
      found.push_back(f);
    };
    MessageReceiver receiver(ev, name_);
    SearchRequestFields req;
    req.includeSubfolders = 1;
    req.pattern = u"*";
    req.folder = u"\\";
    req.volumeRoot = name_ + u"\\";
    EXPECT_TRUE(RunEngineSearch(*engine_, req, receiver));
    return found;
  }
  std::vector<UndeleteOutcome> Recover(const std::vector<FoundFile>& files, const test::TempDir& dir) {
    std::vector<UndeleteOutcome> out;
    ReceiverEvents ev;
    ev.onResult = [&](const UndeleteOutcome& r) { out.push_back(r); };
    MessageReceiver receiver(ev, u"");
    EXPECT_TRUE(RunEngineUndelete(*engine_, engine_->undeleteRequest(dir.EnginePath(), files), receiver));
    return out;
  }
  static const FoundFile* Named(const std::vector<FoundFile>& files, TextView name) {
    for (const auto& f : files)
      if (f.name == name) return &f;
    return nullptr;
  }
  Text name_;
  const EngineRow* engine_ = nullptr;
};

TEST_F(ExfatEngine, ChainsKeptAreFollowedAndChainsLostAreGuessed) {
  std::vector<uint8_t> img = Image("exfat-512.img");
  if (img.empty()) GTEST_SKIP() << "exFAT images not unpacked";
  Attach(img);
  auto found = Search();
  const FoundFile* kept = Named(found, u"frag-kept.bin");
  const FoundFile* lost = Named(found, u"frag-lost.bin");
  ASSERT_TRUE(kept && lost);
  EXPECT_EQ(kept->recoverable, 100);
  EXPECT_EQ(lost->recoverable, 40);  // the two clusters of its gap, then a live spacer

  XueVolume& v = TheXueVolume();
  for (const FoundFile* f : {kept, lost}) {
    EntrySet set;
    bool inDeleted = true;
    ASSERT_TRUE(FindXueFile(v, f->locator, f->second, f->path, set, inDeleted));
    EXPECT_FALSE(inDeleted);
    EXPECT_FALSE(set.NoFatChain());
    ClusterPlan plan;
    ASSERT_TRUE(PlanClusters(v, set.firstCluster, set.dataLength, false, true, plan));
    ASSERT_EQ(plan.clusters.size(), 5u);
    if (f == kept) {
      EXPECT_FALSE(plan.guessed);
      // Two clusters in the gap, three after the last spacer.
      EXPECT_EQ(plan.clusters[1], plan.clusters[0] + 1);
      EXPECT_GT(plan.clusters[2], plan.clusters[1] + 1);
    } else {
      EXPECT_TRUE(plan.guessed);
      EXPECT_EQ(plan.FreeCount(), 2u);
    }
  }
  test::TempDir dir;
  auto results = Recover({*kept, *lost}, dir);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].code, kResultRecovered);
  EXPECT_NE(results[0].record, kResultClustersGuessed);
  EXPECT_EQ(results[1].code, kResultPartlyInUse);
  EXPECT_TRUE(engine_->resultGuessed(results[1]));
  // The guess keeps what the gap held: the file's first two clusters.
  const auto lostBytes = test::ReadFileBytes(Native(results[1].output));
  ASSERT_EQ(lostBytes.size(), 2460u);
  EXPECT_NE(lostBytes[1023], '*');
  EXPECT_EQ(lostBytes[1024], '*');
}

// exfat-fragments.img (make-fragment-images.py): files split by exfat-fuse
// around live fillers written seconds before them, then deleted with the
// fillers; exfat-fuse clears a deleted file's FAT chain. The JPEGs, in 2, 3
// and 4 pieces, come back whole by their content alone; the PNG, PDF and
// ZIP, whose formats cannot vouch for gaps the search picks itself, come
// back whole because the older deleted fillers' spans are offered as the
// gaps they jumped. None is a guess, and each is byte for byte the original.
TEST_F(ExfatEngine, FragmentedDeletedFilesArePlacedByTheirFormatAcrossOlderDeletedFiles) {
  std::vector<uint8_t> img = Image("exfat-fragments.img");
  if (img.empty()) GTEST_SKIP() << "exfat-fragments.img not unpacked";
  std::ifstream m(test::ImagesDir() + "/exfat-fragment-manifest.json");
  const nlohmann::json manifest = nlohmann::json::parse(m);
  Attach(img);
  const auto found = Search();
  std::set<std::string> kinds;
  for (const auto& d : manifest["files"]) {
    const std::string path = d["path"];
    SCOPED_TRACE(path);
    const FoundFile* f = Named(found, FromUtf8(path.substr(1)));
    ASSERT_NE(f, nullptr);
    test::TempDir dir;
    const auto results = Recover({*f}, dir);
    ASSERT_EQ(results.size(), 1u);
    const auto bytes = test::ReadFileBytes(Native(results[0].output));
    const std::string name = d["original"];
    EXPECT_TRUE(bytes == test::ReadFileBytes(test::ImagesDir() + "/" + name.substr(0, name.size() - 4)));
    EXPECT_EQ(results[0].code, kResultRecovered);
    EXPECT_TRUE(results[0].byFormat);
    EXPECT_FALSE(engine_->resultGuessed(results[0]));
    kinds.insert(path.substr(path.size() - 3));
  }
  EXPECT_EQ(kinds, (std::set<std::string>{"JPG", "PNG", "PDF", "ZIP"}));
  EXPECT_EQ(manifest["files"].size(), 6u);
}

// exfat-overlap.img (exfat-fuse): OLD.TXT, contiguous (NoFatChain), was
// deleted; NEW.TXT, written 2 s later, took its first three clusters and
// was deleted too. OLD.TXT's entry still names all eight clusters: the three
// that NEW.TXT was written over are lost, not passed off as OLD.TXT's, and
// the five after them are its own bytes.
TEST_F(ExfatEngine, ClustersANewerDeletedFileWasWrittenOverAreLost) {
  std::vector<uint8_t> img = Image("exfat-overlap.img");
  if (img.empty()) GTEST_SKIP() << "exfat-overlap.img not unpacked";
  std::ifstream m(test::ImagesDir() + "/exfat-overlap-manifest.json");
  const nlohmann::json manifest = nlohmann::json::parse(m);
  const uint64_t bpc = manifest["cluster_bytes"];
  Attach(img);
  const auto found = Search();
  for (const auto& d : manifest["files"]) {
    const std::string path = d["path"];
    SCOPED_TRACE(path);
    const FoundFile* f = Named(found, FromUtf8(path.substr(path.rfind('\\') + 1)));
    ASSERT_NE(f, nullptr);
    test::TempDir dir;
    const auto results = Recover({*f}, dir);
    ASSERT_EQ(results.size(), 1u);
    const auto bytes = test::ReadFileBytes(Native(results[0].output));
    ASSERT_EQ(bytes.size(), d["size"].get<size_t>());
    if (path == "\\NEW\\NEW.TXT") {
      std::string hex;
      EXPECT_EQ(results[0].code, kResultRecovered);
      EXPECT_TRUE(FileSha256(Native(results[0].output), hex) && hex == d["sha256"]);
      continue;
    }
    EXPECT_EQ(results[0].code, kResultPartlyInUse);
    const uint64_t lost = d["overwritten_clusters"].get<uint64_t>() * bpc;
    const auto old = test::ReadFileBytes(test::ImagesDir() + "/exfat-overlap-old.txt");
    ASSERT_EQ(old.size(), bytes.size());
    EXPECT_TRUE(std::all_of(bytes.begin(), bytes.begin() + lost, [](uint8_t c) { return c == '*'; }));
    EXPECT_TRUE(std::equal(bytes.begin() + lost, bytes.end(), old.begin() + lost));
  }
}

// A deleted file in the PNG's first gap that is no older than the PNG (here
// written in the same 2 s) may have been written over the PNG's clusters,
// not around it: its span is no gap to offer, nor its first cluster the
// PNG's. The PNG then cannot be placed by its format and is said to be a
// guess, never placed across the wrong clusters.
TEST_F(ExfatEngine, AGapFileNotOlderThanTheFileIsNoGapToJump) {
  std::vector<uint8_t> img = Image("exfat-fragments.img");
  if (img.empty()) GTEST_SKIP() << "exfat-fragments.img not unpacked";
  std::ifstream m(test::ImagesDir() + "/exfat-fragment-manifest.json");
  const nlohmann::json manifest = nlohmann::json::parse(m);
  uint32_t gap = 0;
  for (const auto& d : manifest["files"])
    if (d["path"] == "\\T4.PNG") gap = d["runs"][0][0].get<uint32_t>() + d["runs"][0][1].get<uint32_t>();
  ASSERT_NE(gap, 0u);
  const size_t png = FindDeletedSet(img, u"T4.PNG");
  ASSERT_NE(png, 0u);
  // The deleted set whose data starts in the gap takes the PNG's times.
  size_t filler = 0;
  for (size_t at = 0; at + 3 * kEntryBytes <= img.size(); at += kEntryBytes)
    if (img[at] == kTypeDeletedFile && img[at + kEntryBytes] == kTypeDeletedStream &&
        le32At(img.data() + at + kEntryBytes + kStreamFirstCluster) == gap)
      filler = at;
  ASSERT_NE(filler, 0u);
  std::memcpy(img.data() + filler + kFileCreated, img.data() + png + kFileCreated, kFileCreatedUtcOffset - kFileCreated);
  const size_t entries = 1 + size_t{img[filler + kFileSecondaryCount]};
  const uint16_t sum = EntrySetChecksum(img.data() + filler, entries, true);
  img[filler + kFileSetChecksum] = static_cast<uint8_t>(sum);
  img[filler + kFileSetChecksum + 1] = static_cast<uint8_t>(sum >> 8);
  EntrySet patched;
  ASSERT_EQ(ParseEntrySet(img.data() + filler, img.size() - filler, patched), SetProblem::None);
  ASSERT_TRUE(patched.checksumMatches);
  Attach(img);
  const auto found = Search();
  const FoundFile* f = Named(found, u"T4.PNG");
  ASSERT_NE(f, nullptr);
  test::TempDir dir;
  const auto results = Recover({*f}, dir);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_FALSE(results[0].byFormat);
  EXPECT_TRUE(engine_->resultGuessed(results[0]));
}

TEST_F(ExfatEngine, ClustersTakenAgainAreStarsAndBytesPastTheValidLengthAreZeros) {
  std::vector<uint8_t> img = Image("exfat-4k.img");
  if (img.empty()) GTEST_SKIP() << "exFAT images not unpacked";
  BootSector bs;
  ASSERT_EQ(ParseBootSector(img.data(), 512, bs), BootProblem::None);
  const size_t at = FindDeletedSet(img, u"photo-deleted.jpg");
  ASSERT_NE(at, 0u);
  EntrySet photo;
  ASSERT_EQ(ParseEntrySet(img.data() + at, 4096, photo), SetProblem::None);
  ASSERT_TRUE(photo.NoFatChain());
  RootFacts root;
  {
    auto src = MakeMemorySource(img);
    ASSERT_TRUE(ReadRootFacts(*src, bs, root));
  }
  const uint64_t bitmapAt = bs.ClusterOffset(root.bitmapCluster);
  // Another file has taken the photo's third cluster.
  const uint32_t third = photo.firstCluster + 2 - kFirstCluster;
  img[bitmapAt + third / 8] |= static_cast<uint8_t>(1u << (third % 8));
  Attach(img);
  auto found = Search();
  const FoundFile* f = Named(found, u"photo-deleted.jpg");
  ASSERT_TRUE(f);
  EXPECT_EQ(f->recoverable, 97);  // 37 of 38 clusters
  test::TempDir dir;
  auto results = Recover({*f}, dir);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].code, kResultPartlyInUse);
  const auto bytes = test::ReadFileBytes(Native(results[0].output));
  ASSERT_EQ(bytes.size(), 153600u);
  EXPECT_NE(bytes[8191], '*');
  EXPECT_TRUE(std::all_of(bytes.begin() + 8192, bytes.begin() + 12288, [](uint8_t b) { return b == '*'; }));
  EXPECT_NE(bytes[12288], '*');
}

TEST_F(ExfatEngine, BytesPastTheValidDataLengthAreZeros) {
  std::vector<uint8_t> img = Image("exfat-4k.img");
  if (img.empty()) GTEST_SKIP() << "exFAT images not unpacked";
  const size_t at = FindDeletedSet(img, u"photo-deleted.jpg");
  ASSERT_NE(at, 0u);
  put64At(img.data() + at + kEntryBytes + kStreamValidDataLength, 5000);
  const uint16_t sum = EntrySetChecksum(img.data() + at, 1 + img[at + kFileSecondaryCount], true);
  img[at + kFileSetChecksum] = static_cast<uint8_t>(sum);
  img[at + kFileSetChecksum + 1] = static_cast<uint8_t>(sum >> 8);
  Attach(img);
  auto found = Search();
  const FoundFile* f = Named(found, u"photo-deleted.jpg");
  ASSERT_TRUE(f);
  test::TempDir dir;
  auto results = Recover({*f}, dir);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].code, kResultRecovered);
  const auto bytes = test::ReadFileBytes(Native(results[0].output));
  ASSERT_EQ(bytes.size(), 153600u);
  EXPECT_NE(bytes[4999], 0);
  EXPECT_TRUE(std::all_of(bytes.begin() + 5000, bytes.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(ExfatEngine, AVolumeWithoutItsBitmapIsRefusedBySetup) {
  std::vector<uint8_t> img = Image("exfat-4k.img");
  if (img.empty()) GTEST_SKIP() << "exFAT images not unpacked";
  BootSector bs;
  ASSERT_EQ(ParseBootSector(img.data(), 512, bs), BootProblem::None);
  // The root's bitmap entry loses its in-use bit.
  const uint64_t rootAt = bs.ClusterOffset(bs.rootCluster);
  for (uint64_t p = rootAt; p < rootAt + bs.bytesPerCluster; p += kEntryBytes)
    if (img[p] == kTypeBitmap) img[p] = 0x01;
  Attach(img);
  bool refused = false;
  ReceiverEvents ev;
  ev.onShowMessage = [&](const MessageBoxText&) { refused = true; };
  MessageReceiver r2(ev, name_);
  SearchRequestFields req;
  req.includeSubfolders = 1;
  req.pattern = u"*";
  req.folder = u"\\";
  req.volumeRoot = name_ + u"\\";
  RunEngineSearch(*engine_, req, r2);
  EXPECT_TRUE(refused);
}

// exfat-reused.img: 40 deleted folders under \Many whose sizes claim 1 TiB
// over clusters of old text (no end-of-directory entry), \Open deleted as a
// folder deleted while open leaves it (every cluster still in use).
TEST_F(ExfatEngine, DeletedFoldersEndAtTheFirstClusterWithoutEntrySets) {
  std::vector<uint8_t> img = Image("exfat-reused.img");
  if (img.empty()) GTEST_SKIP() << "exFAT images not unpacked";
  const uint64_t size = img.size();
  auto counted = std::make_shared<CountingSource>(std::move(img));
  Attach(counted);
  auto found = Search();
  size_t many = 0, open = 0;
  for (const auto& f : found) {
    many += f.folder.substr(0, 6) == u"\\Many\\";
    open += f.folder == u"\\Open\\";
  }
  EXPECT_EQ(many, 40u);
  EXPECT_EQ(open, 400u);
  // Each folder cluster is read about once (the bitmap, FAT blocks and
  // folders come to half a MiB): read up to their claimed sizes, the 40
  // folders would read the old data after them 40 times (42 MiB).
  EXPECT_LT(counted->read, size / 4) << counted->read;
}

TEST_F(ExfatEngine, ARecoveryReadsEachFolderOnce) {
  std::vector<uint8_t> img = Image("exfat-reused.img");
  if (img.empty()) GTEST_SKIP() << "exFAT images not unpacked";
  auto counted = std::make_shared<CountingSource>(std::move(img));
  Attach(counted);
  std::vector<FoundFile> open;
  for (const auto& f : Search())
    if (f.folder == u"\\Open\\") open.push_back(f);
  ASSERT_EQ(open.size(), 400u);
  // The first 40 (one cluster each) and the last 10, whose second cluster is
  // in use again.
  open.erase(open.begin() + 40, open.end() - 10);
  uint64_t clusters = 0;
  for (const auto& f : open) clusters += (f.size + 4095) / 4096;
  counted->read = 0;
  test::TempDir dir;
  auto results = Recover(open, dir);
  ASSERT_EQ(results.size(), 50u);
  // The files' clusters and the folder's 13 once: read once per file, the
  // folder alone would come to 50 x 13 clusters.
  EXPECT_LT(counted->read, (clusters + 2 * 13) * 4096) << counted->read;
  size_t starred = 0;
  for (const auto& r : results) starred += r.code == kResultPartlyInUse;
  EXPECT_EQ(starred, 10u);
}

TEST(ExfatNames, AStoredNulIsListedAsTheSymbolForNul) {
  EXPECT_EQ(ListedName(Text(u"x\0y.txt", 7)), u"x\u2400y.txt");
  EXPECT_EQ(ListedName(u"plain"), u"plain");
}

}  // namespace
}  // namespace rv
