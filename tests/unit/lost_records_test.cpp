// The scanners of old records on volumes formatted over a full file system
// (tests/images/make-lost-images.py: ntfs-3g then mkntfs -Q, mtools then
// mkfs.fat, exfat-fuse then mkfs.exfat): every file whose old record
// survived is found under its name and folder and recovered byte for byte;
// damaged records end cleanly.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "channel/messages.h"
#include "engines/engines.h"
#include "format/exfat_format.h"
#include "format/ntfs_format.h"
#include "lost/lost_recover.h"
#include "lost/lost_scan.h"
#include "ntfs/nue.h"
#include "platform/text.h"
#include "fat_support.h"
#include "test_support.h"
#include "volume/osvolume.h"

namespace rv::test {
namespace {

struct Original {
  std::string path;
  uint64_t size = 0;
  std::string seed;
};

std::vector<Original> OriginalsOf(const std::string& image) {
  std::ifstream f(ImagesDir() + "/lost-manifest.json");
  std::vector<Original> out;
  if (!f) return out;
  const nlohmann::json m = nlohmann::json::parse(f, nullptr, false);
  if (m.is_discarded()) return out;
  for (const auto& e : m["files"])
    if (e.value("image", "") == image) out.push_back({e["path"], e["size"], e["seed"]});
  return out;
}

// The bytes make-lost-images.py wrote: 64-byte lines holding the seed's
// FNV-1a hash and the line's offset.
std::vector<uint8_t> ContentOf(const std::string& seed, uint64_t size) {
  uint32_t h = 0x811C9DC5u;
  for (unsigned char c : seed) h = (h ^ c) * 0x01000193u;
  std::string out;
  char line[128];
  for (uint64_t off = 0; out.size() < size; off += 64) {
    std::snprintf(line, sizeof line, "%08x %010llu lorem ipsum dolor sit amet, consectetur adipiscing", h,
                  static_cast<unsigned long long>(off));
    out.append(line, 63);
    out.push_back('\n');
  }
  out.resize(size);
  return {out.begin(), out.end()};
}

std::string Utf8(const Text& t) { return ToUtf8(t); }

// An output path in the engines' "\" form, as this system names it.
std::string NativeOutput(const Text& output) {
  std::string s = ToUtf8(output);
#ifndef _WIN32
  for (auto& c : s)
    if (c == '\\') c = '/';
#endif
  return s;
}

// Whether a file was listed where it belongs: under its own path, or with
// the folders that could be placed below a lost one: under $Orphan where
// the lost folder's place is unknown, and as "Folder<cluster>" where its
// name is gone (FAT's ".." still says where it was).
bool ListedWhereItBelongs(const lost::LostFile& f, const std::string& original) {
  std::string listed = Utf8(f.FullPath());
  if (listed == original) return true;
  const std::string orphan = "\\$Orphan", unnamed = "\\Folder";
  bool lost = false;
  if (listed.compare(0, orphan.size(), orphan) == 0) {
    listed = listed.substr(orphan.size());
    lost = true;
  }
  if (listed.compare(0, unnamed.size(), unnamed) == 0 && listed.find('\\', 1) != std::string::npos) {
    listed = listed.substr(listed.find('\\', 1));
    lost = true;
  }
  return lost && original.size() >= listed.size() &&
         original.compare(original.size() - listed.size(), listed.size(), listed) == 0;
}

struct ScanResult {
  std::vector<lost::LostFile> files;
  lost::LostCounts counts;
};

ScanResult Scan(VolumeSource& source) {
  ScanResult r;
  std::string why;
  EXPECT_TRUE(lost::ScanVolumeForLostFiles(source, r.files, r.counts, why)) << why;
  return r;
}

// Every original found by name, listed where it belongs, with its size;
// then each recovered and compared. Returns how many were found.
size_t CheckImage(const std::string& image, size_t atLeast, bool ntfs) {
  const std::string path = ImagePath(image);
  if (path.empty()) return 0;
  uint32_t err = 0;
  auto source = OpenImageSource(FromUtf8(path), 0, 0, err);
  EXPECT_TRUE(source) << image;
  if (!source) return 0;
  const ScanResult scan = Scan(*source);
  std::map<std::string, const lost::LostFile*> byName;
  for (const auto& f : scan.files) byName[Utf8(f.name)] = &f;
  // Nothing is listed twice.
  std::set<std::string> paths;
  for (const auto& f : scan.files) EXPECT_TRUE(paths.insert(Utf8(f.FullPath())).second) << Utf8(f.FullPath());

  NueVolumeData* volume = nullptr;
  if (ntfs) {
    const Text name = AttachVolume(source);
    EXPECT_TRUE(SetupNueVolumeDataStructures(name, TheNueVolume(), kTrue));
    volume = &TheNueVolume();
  }
  TempDir out;
  size_t found = 0;
  for (const Original& o : OriginalsOf(image)) {
    const std::string name = o.path.substr(o.path.rfind('\\') + 1);
    auto it = byName.find(name);
    if (it == byName.end()) continue;
    ++found;
    const lost::LostFile& f = *it->second;
    EXPECT_TRUE(ListedWhereItBelongs(f, o.path)) << Utf8(f.FullPath()) << " for " << o.path;
    EXPECT_EQ(f.size, o.size) << o.path;
    const lost::LostRecovery r = lost::RecoverLostFile(*source, volume, f, out.EnginePath());
    EXPECT_EQ(r.code, kResultRecovered) << o.path;
    EXPECT_TRUE(ReadFileBytes(NativeOutput(r.output)) == ContentOf(o.seed, o.size)) << o.path;
  }
  if (ntfs) FreeNueVolumeDataStructures(TheNueVolume());
  EXPECT_GE(found, atLeast) << image << ": " << scan.files.size() << " listed";
  return found;
}

TEST(LostRecords, QuickFormattedNtfsGivesBackTheOldFiles) {
  // mkntfs -Q wrote a new MFT over the first records of the old one; the
  // rest of the 240 files keep their records.
  if (CheckImage("ntfs-reformatted.img", 150, true) == 0) GTEST_SKIP() << "ntfs-reformatted.img not unpacked";
}

TEST(LostRecords, ReformattedFat32GivesBackTheOldFiles) {
  // mkfs.fat cleared the root folder: the top folders' names are gone,
  // everything below them is found.
  if (CheckImage("fat32-reformatted.img", 240, false) == 0) GTEST_SKIP() << "fat32-reformatted.img not unpacked";
}

TEST(LostRecords, ReformattedExfatGivesBackTheOldFiles) {
  if (CheckImage("exfat-reformatted.img", 200, false) == 0) GTEST_SKIP() << "exfat-reformatted.img not unpacked";
}

// fat16-formatted.img (make-fragment-images.py): photos and documents in
// one to four pieces around live fillers, then the card formatted again
// over them. Their chains went with the old FAT: their formats place the
// clusters after the first, and each comes back under its folder whole,
// not as a guess; a text file, which no format can place, stays a guess.
TEST(LostRecords, FormattedCardGivesBackFragmentedFilesPlacedByTheirFormat) {
  const std::string path = ImagePath("fat16-formatted.img");
  if (path.empty()) GTEST_SKIP() << "fat16-formatted.img not unpacked";
  std::ifstream m(ImagesDir() + "/formatted-manifest.json");
  const nlohmann::json manifest = nlohmann::json::parse(m);
  uint32_t err = 0;
  auto source = OpenImageSource(FromUtf8(path), 0, 0, err);
  ASSERT_TRUE(source);
  const ScanResult scan = Scan(*source);
  const lost::LostClaims claims(scan.files);
  std::map<std::string, const lost::LostFile*> byName;
  for (const auto& f : scan.files) byName[Utf8(f.name)] = &f;
  TempDir out;
  size_t pieces = 0;
  for (const auto& d : manifest["files"]) {
    const std::string original = d["path"];
    SCOPED_TRACE(original);
    const auto it = byName.find(original.substr(original.rfind('\\') + 1));
    ASSERT_NE(it, byName.end());
    const lost::LostFile& f = *it->second;
    EXPECT_TRUE(ListedWhereItBelongs(f, original)) << Utf8(f.FullPath());
    const std::vector<uint8_t> bytes = OriginalBytes(d);
    const lost::LostRecovery r = lost::RecoverLostFile(*source, nullptr, f, out.EnginePath(), &claims);
    EXPECT_EQ(r.code, kResultRecovered);
    EXPECT_TRUE(ReadFileBytes(NativeOutput(r.output)) == bytes);
    EXPECT_TRUE(r.byFormat);
    EXPECT_FALSE(r.guessed);
    // Read in place (a mount's view), the same bytes.
    const auto reader = lost::OpenLostReader(*source, nullptr, f, &claims);
    ASSERT_TRUE(reader);
    EXPECT_FALSE(reader->Guessed());
    std::vector<uint8_t> read(bytes.size());
    size_t got = 0;
    EXPECT_TRUE(ReadFoundFileRange(*reader, 0, read.data(), read.size(), got));
    EXPECT_TRUE(got == read.size() && read == bytes);
    pieces = std::max<size_t>(pieces, d["pieces"].get<size_t>());
  }
  EXPECT_EQ(pieces, 4u);
  const auto filler = byName.find("F2_0.TXT");
  ASSERT_NE(filler, byName.end());
  const lost::LostRecovery r = lost::RecoverLostFile(*source, nullptr, *filler->second, out.EnginePath(), &claims);
  EXPECT_EQ(r.code, kResultRecovered);
  EXPECT_TRUE(r.guessed);
  EXPECT_FALSE(r.byFormat);
}

// ---- Damaged old records -------------------------------------------------

std::vector<uint8_t> ImageBytes(const std::string& image) {
  const std::string path = ImagePath(image);
  return path.empty() ? std::vector<uint8_t>() : ReadFileBytes(path);
}

ScanResult ScanBytes(std::vector<uint8_t> bytes) {
  auto source = MakeMemorySource(std::move(bytes));
  return Scan(*source);
}

const lost::LostFile* Named(const ScanResult& r, const std::string& name) {
  for (const auto& f : r.files)
    if (Utf8(f.name) == name) return &f;
  return nullptr;
}

// Offset of the old FILE record whose preferred name is `name`, and the
// offset of its $FILE_NAME value inside the record.
bool FindOldRecord(const std::vector<uint8_t>& image, const std::string& name, size_t& record, size_t& fileName) {
  for (size_t at = 0; at + 1024 <= image.size(); at += 512) {
    if (le32(Bytes(image.data() + at, 4), 0) != ntfs::kFileSignature) continue;
    std::vector<uint8_t> r(image.begin() + at, image.begin() + at + 1024);
    if (!ntfs::ApplyRecordFixups(r)) continue;
    const ntfs::AttributeWalk walk(Bytes(r.data(), r.size()));
    for (size_t i = walk.Find(ntfs::kTypeFileName); i < walk.size(); i = walk.Find(ntfs::kTypeFileName, i + 1)) {
      const Bytes value = ntfs::ResidentValue(walk.record(), walk[i]);
      ntfs::FileName fn;
      if (ntfs::ParseFileName(value, fn) && Utf8(fn.name) == name) {
        record = at;
        fileName = static_cast<size_t>(value.data() - r.data());
        return true;
      }
    }
  }
  return false;
}

TEST(LostRecordsDamaged, NtfsTornRecordsLoopsAndHugeSizesEndCleanly) {
  std::vector<uint8_t> image = ImageBytes("ntfs-reformatted.img");
  if (image.empty()) GTEST_SKIP() << "ntfs-reformatted.img not unpacked";
  size_t torn = 0, tornName = 0, documents = 0, documentsName = 0, reports = 0, reportsName = 0, big = 0, bigName = 0;
  ASSERT_TRUE(FindOldRecord(image, "IMG_1009.JPG", torn, tornName));
  ASSERT_TRUE(FindOldRecord(image, "Documents", documents, documentsName));
  ASSERT_TRUE(FindOldRecord(image, "Reports 1", reports, reportsName));
  ASSERT_TRUE(FindOldRecord(image, "Report number 013.docx", big, bigName));
  // A torn write: the second sector's last word no longer matches the
  // update sequence number.
  image[torn + 1022] ^= 0xFF;
  // "Documents" made a child of its own child "Reports 1": a 2-cycle.
  const uint64_t reportsNumber = le32(Bytes(image.data() + reports, 1024), 44);
  const uint16_t reportsSequence = le16(Bytes(image.data() + reports, 1024), ntfs::kRecSequence);
  put64(MutableBytes(image.data() + documents + documentsName, 8), 0,
        reportsNumber | uint64_t{reportsSequence} << ntfs::kReferenceSequenceShift);
  // A $DATA whose allocated size no volume holds.
  {
    std::vector<uint8_t> r(image.begin() + big, image.begin() + big + 1024);
    ASSERT_TRUE(ntfs::ApplyRecordFixups(r));
    const ntfs::AttributeWalk walk(Bytes(r.data(), r.size()));
    const size_t data = walk.Find(ntfs::kTypeData);
    ASSERT_LT(data, walk.size());
    ASSERT_TRUE(walk[data].nonResident);
    put64(MutableBytes(image.data() + big + walk[data].offset, 64), ntfs::kAttrAllocatedSize, uint64_t{1} << 62);
  }
  const ScanResult r = ScanBytes(image);
  EXPECT_GE(r.counts.recordsTorn, 1u);
  EXPECT_GE(r.counts.recordsInconsistent, 1u);
  // Their records are left out; the old folder's index still names them.
  for (const char* name : {"IMG_1009.JPG", "Report number 013.docx"}) {
    const lost::LostFile* f = Named(r, name);
    ASSERT_NE(f, nullptr) << name;
    EXPECT_EQ(f->source, lost::LostSource::NtfsIndex) << name;
  }
  // The loop cannot reach the root: its files go under $Orphan with the
  // folders of the loop placed below it, once each.
  const lost::LostFile* inLoop = Named(r, "Report number 001.docx");
  ASSERT_NE(inLoop, nullptr);
  EXPECT_EQ(Utf8(inLoop->folder), "\\$Orphan\\Documents\\Reports 1");
  EXPECT_NE(Named(r, "IMG_1000.JPG"), nullptr);  // the rest is untouched
}

TEST(LostRecordsDamaged, FatFolderThatIsItsOwnParentAndExfatBadChecksum) {
  std::vector<uint8_t> fat = ImageBytes("fat32-reformatted.img");
  std::vector<uint8_t> exfat = ImageBytes("exfat-reformatted.img");
  if (fat.empty() || exfat.empty()) GTEST_SKIP() << "reformatted FAT32 / exFAT images not unpacked";
  // Every old folder's ".." names the folder itself.
  size_t loops = 0;
  for (size_t at = 0; at + 64 <= fat.size(); at += 512)
    if (std::memcmp(fat.data() + at, ".          ", 11) == 0 && std::memcmp(fat.data() + at + 32, "..         ", 11) == 0) {
      std::memcpy(fat.data() + at + 32 + 0x14, fat.data() + at + 0x14, 2);
      std::memcpy(fat.data() + at + 32 + 0x1A, fat.data() + at + 0x1A, 2);
      ++loops;
    }
  ASSERT_GT(loops, 2u);
  const ScanResult f = ScanBytes(fat);
  // The folders cannot be placed: their files go under $Orphan.
  size_t orphans = 0;
  for (const auto& file : f.files) orphans += Utf8(file.folder).rfind("\\$Orphan\\", 0) == 0;
  EXPECT_EQ(orphans, f.files.size());
  EXPECT_GE(f.files.size(), 230u);
  // One exFAT set's checksum broken: that set, and only it, is left out.
  size_t broken = 0;
  for (size_t at = 0; at + 96 <= exfat.size(); at += 32)
    if (exfat[at] == 0x85 || exfat[at] == 0x05) {
      exfat::EntrySet s;
      if (exfat::ParseEntrySet(exfat.data() + at, 96 * 8, s) == exfat::SetProblem::None && s.checksumMatches &&
          ToUtf8(s.name) == "IMG_1000.JPG") {
        exfat[at + exfat::kFileSetChecksum] ^= 0x5A;
        ++broken;
      }
    }
  ASSERT_EQ(broken, 1u);
  const ScanResult e = ScanBytes(exfat);
  EXPECT_EQ(Named(e, "IMG_1000.JPG"), nullptr);
  EXPECT_GE(e.counts.recordsTorn, 1u);
  EXPECT_NE(Named(e, "IMG_1003.JPG"), nullptr);
}

}  // namespace
}  // namespace rv::test
