// The scanners of old records on volumes formatted over a full file system
// (tests/images/make-lost-images.py: ntfs-3g then mkntfs -Q, mtools then
// mkfs.fat, exfat-fuse then mkfs.exfat): every file whose old record
// survived is found under its name and folder and recovered byte for byte;
// damaged records end cleanly.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "channel/messages.h"
#include "format/ntfs_format.h"
#include "lost/lost_recover.h"
#include "lost/lost_scan.h"
#include "ntfs/nue.h"
#include "platform/text.h"
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
  std::fprintf(stderr, "DIAG %s found %zu listed %zu torn %llu\n", image.c_str(), found, scan.files.size(), (unsigned long long)scan.counts.recordsTorn);
  for (const auto& f : scan.files) if (getenv("DIAGALL")) std::fprintf(stderr, "  %s %llu\n", Utf8(f.FullPath()).c_str(), (unsigned long long)f.size);
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
  if (CheckImage("fat32-reformatted.img", 200, false) == 0) GTEST_SKIP() << "fat32-reformatted.img not unpacked";
}

TEST(LostRecords, ReformattedExfatGivesBackTheOldFiles) {
  if (CheckImage("exfat-reformatted.img", 200, false) == 0) GTEST_SKIP() << "exfat-reformatted.img not unpacked";
}

}  // namespace
}  // namespace rv::test
