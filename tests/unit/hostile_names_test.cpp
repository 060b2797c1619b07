// Deleted files whose names on disk are hostile as output names (".",
// "..", "\", "/", ":", control characters, device names, 255 CJK units,
// lone surrogates, "..\x", "../../x", two names that make the same output
// name), on volumes made by ntfs-3g and mtools. Every recovery writes new
// regular files directly inside the destination: nothing outside it
// changes, nothing already there is overwritten, and every output holds
// the original bytes of the file it was recovered from.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "channel/messages.h"
#include "channel/packet.h"
#include "channel/receiver.h"
#include "fat/fue.h"
#include "fat_support.h"
#include "ntfs/nue.h"
#include "ntfs_test_support.h"
#include "platform/text.h"
#include "format/le.h"
#include "volume/osvolume.h"

namespace rv {
namespace {

namespace stdfs = std::filesystem;

struct HostileFile {
  std::string kase;
  Text name;  // the units on disk
  uint32_t mft = 0;
  std::vector<uint8_t> original;
};

Text UnitsFromHex(const std::string& hex) {
  Text out;
  for (size_t i = 0; i + 4 <= hex.size(); i += 4) {
    const unsigned lo = std::stoul(hex.substr(i, 2), nullptr, 16), hi = std::stoul(hex.substr(i + 2, 2), nullptr, 16);
    out.push_back(static_cast<char16_t>(lo | hi << 8));
  }
  return out;
}

std::vector<HostileFile> ManifestFiles(const nlohmann::json& image) {
  std::vector<HostileFile> out;
  if (!image.contains("deleted")) return out;
  for (const auto& d : image["deleted"]) {
    HostileFile f;
    f.kase = d.value("case", "");
    f.name = UnitsFromHex(d.value("name_utf16", ""));
    if (d.contains("mft_record") && d["mft_record"].is_number()) f.mft = d["mft_record"].get<uint32_t>();
    test::OriginalBytes(d, f.original);
    out.push_back(f);
  }
  return out;
}

// One found file as the engines list it, and one recovery outcome.
struct Listed {
  uint32_t locator = 0;
  uint32_t index = 0;
  Text path;
};
struct Outcome {
  uint32_t code = 0;
  uint32_t record = 0;
  Text source;
  Text output;
};

Text PayloadText(const std::vector<uint8_t>& p, size_t& at) {
  Text t;
  for (; at + 1 < p.size(); at += 2) {
    const char16_t c = static_cast<char16_t>(p[at] | p[at + 1] << 8);
    if (c == 0) break;
    t.push_back(c);
  }
  at += 2;
  return t;
}

// The two engines behind one face: search the whole volume, recover a
// selection of what it listed.
class EngineVolume {
 public:
  virtual ~EngineVolume() = default;
  virtual std::vector<Listed> Search() = 0;
  virtual std::vector<Outcome> Recover(const Text& destination, const std::vector<Listed>& files) = 0;
  // What the search lists for a file of the manifest, or null.
  virtual const Listed* Find(const std::vector<Listed>& listed, const HostileFile& f) const = 0;
  // The request for a file the search did not list (NTFS: its record).
  virtual bool Requestable(const HostileFile& f, Listed& out) const = 0;
  // The path the search lists for a file of the root folder.
  virtual Text ExpectedPath(const HostileFile& f) const = 0;
};

class NtfsVolume : public EngineVolume {
 public:
  NtfsVolume(const std::string& path, char16_t driveLetter) {
    uint32_t err = 0;
    name_ = AttachVolume(OpenImageSource(FromUtf8(path), 0, 0, err), driveLetter);
    prefix_ = driveLetter ? Text(1, driveLetter) + u":" : name_;
    root_ = driveLetter ? prefix_ + u"\\" : name_ + u"\\";
  }
  ~NtfsVolume() override {
    FreeNueVolumeDataStructures(TheNueVolume());
    DetachVolume(name_);
  }
  std::vector<Listed> Search() override {
    SearchRequestFields req{1, u"", u"\\", root_};
    test::MessageRecorder rec;
    NueDel::GetDeletedFileHeadersShell(RequestPacket::Wrap(BuildSearchRequest(req)));
    std::vector<Listed> out;
    for (const auto& m : rec.messages) {
      if (m.id != CM_FILE_FOUND) continue;
      FoundFile decoded;
      if (!DecodeFoundFile(m.payload.data(), m.payload.size(), u"", decoded)) continue;
      Listed l;
      l.locator = decoded.locator;
      l.path = decoded.path;  // in full, however long
      out.push_back(l);
    }
    return out;
  }
  std::vector<Outcome> Recover(const Text& destination, const std::vector<Listed>& files) override {
    std::vector<int32_t> records;
    for (const auto& f : files) records.push_back(static_cast<int32_t>(f.locator));
    test::MessageRecorder rec;
    NueUdel::UndeleteFileShell(RequestPacket::Wrap(BuildNtfsUndeleteRequest(destination, records)));
    return Outcomes(rec.messages);
  }
  const Listed* Find(const std::vector<Listed>& listed, const HostileFile& f) const override {
    for (const auto& l : listed)
      if (l.locator == f.mft) return &l;
    return nullptr;
  }
  bool Requestable(const HostileFile& f, Listed& out) const override {
    out = Listed{f.mft, 0, {}};
    return true;
  }
  // The listed path: the volume prefix, the root folder and the name (a
  // payload text ends at a NUL unit of the name; "\" would read as a
  // folder and is listed as "_").
  Text ExpectedPath(const HostileFile& f) const override {
    Text name = f.name.substr(0, f.name.find(u'\0'));
    for (auto& c : name)
      if (c == u'\\') c = u'_';
    return prefix_ + u"\\" + name;
  }

  static std::vector<Outcome> Outcomes(const std::vector<test::Posted>& messages) {
    std::vector<Outcome> out;
    for (const auto& m : messages) {
      if (m.id != CM_UNDELETE_RESULT) continue;
      Bytes b(m.payload.data(), m.payload.size());
      Outcome o;
      o.code = le32(b, 0);
      o.record = le32(b, 4);
      size_t at = 8;
      o.source = PayloadText(m.payload, at);
      o.output = PayloadText(m.payload, at);
      if (at + 4 < m.payload.size()) {
        o.source = PayloadText(m.payload, at);
        o.output = PayloadText(m.payload, at);
      }
      out.push_back(o);
    }
    return out;
  }

 private:
  Text name_, prefix_, root_;
};

class FatVolume : public EngineVolume {
 public:
  FatVolume(const std::string& path, char16_t driveLetter) {
    name_ = AttachVolume(test::ImageSource(path), driveLetter);
    prefix_ = driveLetter ? Text(1, driveLetter) + u":" : name_;
  }
  ~FatVolume() override {
    FreeFueVolumeDataStructures(TheFueVolume());
    DetachVolume(name_);
  }
  std::vector<Listed> Search() override {
    std::vector<Listed> out;
    for (const auto& f : test::RunFatSearch(prefix_ + u"\\").found) out.push_back({f.locator, f.index, f.path});
    return out;
  }
  std::vector<Outcome> Recover(const Text& destination, const std::vector<Listed>& files) override {
    std::vector<test::FatFound> found;
    for (const auto& f : files) {
      test::FatFound ff;
      ff.locator = f.locator;
      ff.index = f.index;
      ff.path = f.path;
      found.push_back(ff);
    }
    std::vector<Outcome> out;
    for (const auto& o : test::RunFatUndelete(destination, found).outcomes) out.push_back({o.code, 0, o.source, o.output});
    return out;
  }
  const Listed* Find(const std::vector<Listed>& listed, const HostileFile& f) const override {
    for (const auto& l : listed)
      if (l.path == ExpectedPath(f)) return &l;
    return nullptr;
  }
  bool Requestable(const HostileFile&, Listed&) const override { return false; }
  Text ExpectedPath(const HostileFile& f) const override { return prefix_ + u"\\" + f.name; }

 private:
  Text name_, prefix_;
};

// ---- The destination and everything around it ------------------------------------

// base/a/b/dest is the destination; "..", "../../x" and the like would land
// in base/a/b or base/a, so a walk of base sees any escape. Files outside
// the destination and files put into it beforehand must stay as they were.
// Paths to and from UTF-8 text: a narrow path string on Windows would go
// through the ANSI code page and garble names like 255 × "日".
std::string U8(const stdfs::path& p) {
  const std::u8string s = p.u8string();
  return std::string(s.begin(), s.end());
}
stdfs::path FromU8(const std::string& s) { return stdfs::path(std::u8string(s.begin(), s.end())); }
// One spelling per path, whichever separators the system's listing used.
std::string Key(const stdfs::path& p) {
  const std::u8string s = p.lexically_normal().generic_u8string();
  return std::string(s.begin(), s.end());
}

class Destination {
 public:
  Destination() {
    dest_ = stdfs::path(base_.path()) / "a" / "b" / "dest";
    stdfs::create_directories(dest_);
    Put(stdfs::path(base_.path()) / "a" / "b" / "keep", "outside, next to the destination");
    Put(stdfs::path(base_.path()) / "a" / "keep", "outside, two levels up");
    Put(stdfs::path(base_.path()) / "a" / "x", "where ../../x would land");
  }
  // Engine form of the destination ("\" separators).
  Text EnginePath() const {
    Text t = FromUtf8(U8(dest_));
    for (auto& c : t)
      if (c == u'/') c = u'\\';
    return t;
  }
  const stdfs::path& dest() const { return dest_; }
  void Put(const stdfs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
  }
  // Every entry under base: kind and bytes.
  std::map<std::string, std::string> Snapshot() const {
    std::map<std::string, std::string> out;
    for (auto it = stdfs::recursive_directory_iterator(base_.path()); it != stdfs::recursive_directory_iterator();
         ++it) {
      const auto st = it->symlink_status();
      std::string what = stdfs::is_symlink(st) ? "link" : stdfs::is_directory(st) ? "dir" : "file:";
      if (stdfs::is_regular_file(st)) {
        const auto bytes = test::ReadFileBytes(U8(it->path()));
        what.append(bytes.begin(), bytes.end());
      }
      out[Key(it->path())] = what;
    }
    return out;
  }

 private:
  test::TempDir base_;
  stdfs::path dest_;
};

stdfs::path NativeOutput(const Text& output) {
  std::string s = ToUtf8(output);
  for (auto& c : s)
    if (c == '\\') c = '/';
  return FromU8(s);
}

// Checks one recovery into `d` against the snapshot taken just before it:
// nothing outside the destination changed, nothing in it was replaced,
// every new entry is a regular file directly inside it, their number is the
// number of files recovered, and each output holds `originals[i]` for the
// i-th outcome. Returns the new outputs.
std::set<std::string> CheckRecovery(const Destination& d, const std::map<std::string, std::string>& before,
                                    const std::vector<Outcome>& outcomes,
                                    const std::vector<const std::vector<uint8_t>*>& originals) {
  const auto after = d.Snapshot();
  const stdfs::path dest = stdfs::canonical(d.dest());
  for (const auto& [path, what] : before) {
    auto it = after.find(path);
    EXPECT_TRUE(it != after.end() && it->second == what) << path << " changed or vanished";
  }
  std::set<std::string> fresh;
  for (const auto& [path, what] : after) {
    if (before.count(path)) continue;
    EXPECT_EQ(Key(FromU8(path).parent_path()), Key(d.dest())) << path << " is not directly in the destination";
    EXPECT_EQ(what.rfind("file:", 0), 0u) << path << " is not a regular file";
    fresh.insert(path);
  }
  size_t recovered = 0;
  EXPECT_EQ(outcomes.size(), originals.size());
  for (size_t i = 0; i < outcomes.size() && i < originals.size(); ++i) {
    const Outcome& o = outcomes[i];
    SCOPED_TRACE(ToUtf8(o.source));
    if (o.code != kResultRecovered && o.code != kResultPartlyInUse) {
      EXPECT_TRUE(o.output.empty());
      continue;
    }
    ++recovered;
    EXPECT_EQ(o.code, kResultRecovered);
    const stdfs::path out = NativeOutput(o.output);
    EXPECT_EQ(stdfs::weakly_canonical(out).parent_path(), dest) << out;
    EXPECT_TRUE(fresh.count(Key(out))) << out << " is not a new file of the destination; new files: "
                                        << ::testing::PrintToString(fresh);
    EXPECT_TRUE(test::ReadFileBytes(U8(out)) == *originals[i]) << out;
  }
  EXPECT_EQ(fresh.size(), recovered);
  return fresh;
}

// ---- One test per hostile name, on both engines ----------------------------------

struct HostileCase {
  const char* image;
  const char* kase;
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.image << " " << c.kase; }

std::string CaseName(const testing::TestParamInfo<HostileCase>& info) {
  const std::string image = info.param.image;
  std::string n = image.substr(0, image.find('-')) + "_" + info.param.kase;
  for (auto& c : n)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return n;
}

class HostileName : public testing::TestWithParam<HostileCase> {
 protected:
  void SetUp() override {
    test::UseUtc();
    path_ = test::ImagePath(GetParam().image);
    if (path_.empty()) GTEST_SKIP() << GetParam().image << " not unpacked";
    for (const auto& f : ManifestFiles(test::ManifestImage(GetParam().image)))
      if (f.kase == GetParam().kase) file_ = f;
    ASSERT_FALSE(file_.kase.empty()) << "case missing from the manifest";
    ASSERT_FALSE(file_.original.empty());
  }
  bool Ntfs() const { return std::string(GetParam().image).rfind("ntfs", 0) == 0; }
  // Behind a drive letter: the 255-unit name fits a 260-unit path there,
  // not after a volume GUID name.
  std::unique_ptr<EngineVolume> Open() {
    if (Ntfs()) return std::make_unique<NtfsVolume>(path_, u'R');
    return std::make_unique<FatVolume>(path_, u'R');
  }
  std::string path_;
  HostileFile file_;
};

// The search lists the file under its own name in the root folder, and it
// comes back as one new file inside the destination with its bytes; a
// second recovery into a destination that already holds a file of that
// output name leaves that file alone and writes under another name.
TEST_P(HostileName, RecoveredInsideTheDestinationNeverOverwriting) {
  auto volume = Open();
  const auto listed = volume->Search();
  const Listed* l = volume->Find(listed, file_);
  Listed request;
  ASSERT_NE(l, nullptr) << "not listed";
  EXPECT_EQ(l->path, volume->ExpectedPath(file_));
  request = *l;

  Destination first;
  auto before = first.Snapshot();
  auto outcomes = volume->Recover(first.EnginePath(), {request});
  ASSERT_EQ(outcomes.size(), 1u);
  const auto outputs = CheckRecovery(first, before, outcomes, {&file_.original});
  ASSERT_EQ(outputs.size(), 1u);
  const std::string outName = U8(FromU8(*outputs.begin()).filename());
  EXPECT_FALSE(outName.empty());
  EXPECT_NE(outName, ".");
  EXPECT_NE(outName, "..");

  // The same output name already taken in the destination.
  Destination second;
  second.Put(second.dest() / FromU8(outName), "was here before the recovery");
  before = second.Snapshot();
  outcomes = volume->Recover(second.EnginePath(), {request});
  ASSERT_EQ(outcomes.size(), 1u);
  const auto again = CheckRecovery(second, before, outcomes, {&file_.original});
  ASSERT_EQ(again.size(), 1u);
  EXPECT_NE(U8(FromU8(*again.begin()).filename()), outName);
}

std::vector<HostileCase> Cases(const char* image, bool fat) {
  static const char* kCases[] = {"dotdot",          "dot",          "backslash",        "slash",
                                 "colon",           "control-01",   "control-tab",      "control-newline",
                                 "control-nul",     "device-con",   "device-nul",       "device-com1",
                                 "device-aux-ext",  "device-con-blank", "long-cjk",     "lone-high",
                                 "lone-low",        "dotdot-backslash", "dotdot-slash", "same-a",
                                 "same-b",          "short-name"};
  std::vector<HostileCase> out;
  for (const char* c : kCases) {
    const std::string k = c;
    // FAT long names end at NUL; NTFS has no 8.3-only names here, and FAT's
    // holds a control byte: a damaged entry, no file (HostileVolume checks it is left out).
    if (k == "short-name" || (fat && k == "control-nul")) continue;
    out.push_back({image, c});
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(Ntfs, HostileName, testing::ValuesIn(Cases("ntfs-names.img", false)), CaseName);
INSTANTIATE_TEST_SUITE_P(Fat, HostileName, testing::ValuesIn(Cases("fat16-names.img", true)), CaseName);

// ---- Whole volumes ---------------------------------------------------------------

class HostileVolume : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    test::UseUtc();
    path_ = test::ImagePath(GetParam());
    if (path_.empty()) GTEST_SKIP() << GetParam() << " not unpacked";
    files_ = ManifestFiles(test::ManifestImage(GetParam()));
    ASSERT_FALSE(files_.empty());
  }
  std::unique_ptr<EngineVolume> Open(char16_t driveLetter = u'R') {
    if (std::string(GetParam()).rfind("ntfs", 0) == 0) return std::make_unique<NtfsVolume>(path_, driveLetter);
    return std::make_unique<FatVolume>(path_, driveLetter);
  }
  const HostileFile& File(const std::string& kase) const {
    for (const auto& f : files_)
      if (f.kase == kase) return f;
    static const HostileFile none;
    return none;
  }
  std::string path_;
  std::vector<HostileFile> files_;
};

// Two different deleted files whose names make the same output name: the
// second gets a name of its own and the first keeps its bytes.
TEST_P(HostileVolume, TwoNamesMakingTheSameOutputNameBothSurvive) {
  auto volume = Open();
  const auto listed = volume->Search();
  const HostileFile& a = File("same-a");
  const HostileFile& b = File("same-b");
  const Listed* la = volume->Find(listed, a);
  const Listed* lb = volume->Find(listed, b);
  ASSERT_NE(la, nullptr);
  ASSERT_NE(lb, nullptr);
  ASSERT_NE(a.original, b.original);
  Destination d;
  const auto before = d.Snapshot();
  const auto outcomes = volume->Recover(d.EnginePath(), {*la, *lb});
  const auto outputs = CheckRecovery(d, before, outcomes, {&a.original, &b.original});
  ASSERT_EQ(outputs.size(), 2u);
  EXPECT_NE(outcomes[0].output, outcomes[1].output);
}

// Everything the search lists, recovered in one request, first into an
// empty destination and then again into the same one: one new file per
// recovered file each time, each with the bytes of its own original.
TEST_P(HostileVolume, EveryListedFileRecoveredTwiceIntoOneDestination) {
  auto volume = Open();
  const auto listed = volume->Search();
  std::vector<Listed> chosen;
  std::vector<const std::vector<uint8_t>*> originals;
  for (const auto& f : files_) {
    if (const Listed* l = volume->Find(listed, f)) {
      chosen.push_back(*l);
      originals.push_back(&f.original);
    }
  }
  EXPECT_EQ(chosen.size(), listed.size()) << "the search listed a file the manifest does not know";
  Destination d;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    const auto before = d.Snapshot();
    const auto outcomes = volume->Recover(d.EnginePath(), chosen);
    const auto outputs = CheckRecovery(d, before, outcomes, originals);
    EXPECT_EQ(outputs.size(), chosen.size());
  }
}

// Every file is listed in the root folder under its own name, behind a
// drive letter and behind a volume GUID name alike: a name holding ":" or
// "}" does not throw off the NTFS folder path that the next file of the
// folder reuses, a path of 260 units or more is listed all the same, and
// NTFS lists a name holding "\" with "_" in its place.
TEST_P(HostileVolume, EveryFileIsListedInTheRootUnderItsName) {
  for (char16_t letter : {u'R', char16_t(0)}) {
    SCOPED_TRACE(letter ? "drive letter" : "volume name");
    auto volume = Open(letter);
    const auto listed = volume->Search();
    size_t expected = 0;
    for (const auto& f : files_) {
      SCOPED_TRACE(f.kase);
      // A short name holding a control byte is a damaged entry, not a file.
      if (f.kase == "short-name") {
        EXPECT_EQ(volume->Find(listed, f), nullptr);
        continue;
      }
      const Listed* l = volume->Find(listed, f);
      ++expected;
      EXPECT_NE(l, nullptr) << "not listed";
    }
    EXPECT_EQ(listed.size(), expected);
  }
}

INSTANTIATE_TEST_SUITE_P(Images, HostileVolume, testing::Values("ntfs-names.img", "fat16-names.img"),
                         [](const testing::TestParamInfo<const char*>& i) {
                           const std::string image = i.param;
                           return image.substr(0, image.find('-'));
                         });

}  // namespace
}  // namespace rv
