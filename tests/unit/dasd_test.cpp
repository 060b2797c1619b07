// Raw volume access: cluster reads, alignment, control-request status
// mapping, file-system probes and the diagnostic log.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "carve/aligned_buffer.h"
#include "platform/lasterror.h"
#include "platform/text.h"
#include "test_support.h"
#include "volume/dasd.h"
#include "volume/diaglog.h"
#include "format/le.h"
#include "volume/ondisk.h"
#include "volume/osvolume.h"

namespace rv {
namespace {

// A minimal FAT16 boot sector with `clusters` data clusters of one sector.
std::vector<uint8_t> FatVolume(uint32_t clusters, uint32_t bps = 512) {
  const uint32_t reserved = 1, fats = 2, rootEntries = 512;
  const uint32_t rootSectors = rootEntries * 32 / bps;
  const uint32_t fatSectors = ((clusters + 2) * 2 + bps - 1) / bps;
  const uint32_t total = reserved + fats * fatSectors + rootSectors + clusters;
  std::vector<uint8_t> v(static_cast<size_t>(total) * bps, 0);
  MutableBytes b(v.data(), v.size());
  b[0] = 0xEB; b[1] = 0x3C; b[2] = 0x90;
  std::memcpy(&v[3], "MSWIN4.1", 8);
  put16(b, 0x0B, static_cast<uint16_t>(bps));
  b[0x0D] = 1;
  put16(b, 0x0E, reserved);
  b[0x10] = fats;
  put16(b, 0x11, rootEntries);
  if (total < 65536) put16(b, 0x13, static_cast<uint16_t>(total)); else put32(b, 0x20, total);
  b[0x15] = 0xF8;
  put16(b, 0x16, static_cast<uint16_t>(fatSectors));
  std::memcpy(&v[0x2B], "TESTLABEL  ", 11);
  put16(b, 510, 0xAA55);
  // Mark a few data clusters so reads have something to find.
  for (uint32_t c = 0; c < 4 && c < clusters; ++c)
    std::memset(&v[(reserved + fats * fatSectors + rootSectors + c) * bps], 0x41 + c, bps);
  return v;
}

struct Attached {
  explicit Attached(std::vector<uint8_t> bytes, uint32_t sector = 0) {
    name = AttachVolume(MakeMemorySource(std::move(bytes), sector));
  }
  ~Attached() { DetachVolume(name); }
  Text name;
};

TEST(DasdReadCluster, ZeroClustersFailsWithoutTouchingTheVolume) {
  VolumeHandle v;
  v.handle = MakeMemorySource(FatVolume(5000));
  uint8_t buf[1024];
  std::memset(buf, 0x77, sizeof buf);
  EXPECT_FALSE(DasdReadCluster(v, 0, 0, buf, 512, 512));
  EXPECT_EQ(buf[0], 0x77);
}

TEST(DasdReadCluster, FatClusterZeroIsFirstDataClusterNtfsClusterZeroIsBoot) {
  VolumeHandle v;
  auto bytes = FatVolume(5000);
  v.handle = MakeMemorySource(bytes);
  v.fileSystemKind = kFsFat16;
  const auto& facts = v.handle->OnDisk().Facts();
  ASSERT_EQ(facts.fileSystemName, u"FAT");
  v.dataAreaOffset = (1 + 2 * 20 + 32) * 512ull;  // reserved + two 20-sector FATs + root
  std::vector<uint8_t> buf(2 * 512);
  ASSERT_TRUE(DasdReadCluster(v, 0, 1, buf.data(), 512, 512));
  EXPECT_EQ(buf[0], 0x41);
  ASSERT_TRUE(DasdReadCluster(v, 1, 1, buf.data(), 512, 512));
  EXPECT_EQ(buf[0], 0x42);
  v.fileSystemKind = kFsNtfs;  // no data-area offset: cluster 0 is the boot sector
  ASSERT_TRUE(DasdReadCluster(v, 0, 1, buf.data(), 512, 512));
  EXPECT_EQ(buf[0], 0xEB);
}

TEST(DasdReadCluster, OddDestinationGetsDataThenOneSectorOfZeros) {
  VolumeHandle v;
  v.handle = MakeMemorySource(FatVolume(5000));
  // 3 sectors of room plus alignment slack; fill with a marker.
  std::vector<uint8_t> raw(4 * 512 + 64, 0x99);
  uintptr_t a = reinterpret_cast<uintptr_t>(raw.data());
  uint8_t* odd = raw.data() + ((512 - a % 512) % 512) + 3;  // 3 bytes past an aligned address
  ASSERT_TRUE(DasdReadCluster(v, 0, 2, odd, 512, 512));
  EXPECT_EQ(odd[0], 0xEB);
  EXPECT_EQ(std::memcmp(odd + 0x2B, "TESTLABEL", 9), 0);
  for (int i = 0; i < 512; ++i) ASSERT_EQ(odd[1024 + i], 0) << i;
}

TEST(DasdReadCluster, ReadPastTheEndFailsAndReportsNoData) {
  VolumeHandle v;
  auto bytes = FatVolume(5000);
  const uint64_t sectors = bytes.size() / 512;
  v.handle = MakeMemorySource(bytes);
  std::vector<uint8_t> buf(4 * 512);
  EXPECT_FALSE(DasdReadCluster(v, sectors - 1, 2, buf.data(), 512, 512));
  EXPECT_TRUE(DasdReadCluster(v, sectors - 2, 2, buf.data(), 512, 512));
  // A cluster number whose byte offset overflows 64 bits is refused.
  EXPECT_FALSE(DasdReadCluster(v, UINT64_MAX / 256, 1, buf.data(), 512, 512));
}

TEST(DasdReadClusterAlloc, BlockHasOneSpareUnitOfZeros) {
  VolumeHandle v;
  v.handle = MakeMemorySource(FatVolume(5000));
  gmem::Handle h = DasdReadClusterAlloc(v, 0, 1, 512);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(gmem::Size(h), 1024u);
  auto* p = static_cast<uint8_t*>(gmem::Lock(h));
  EXPECT_EQ(p[0], 0xEB);
  for (int i = 512; i < 1024; ++i) ASSERT_EQ(p[i], 0);
  gmem::Unlock(h);
  gmem::Free(h);
  EXPECT_EQ(DasdReadClusterAlloc(v, 0, 0, 512), nullptr);
}

TEST(ImageSource, TruncatedImageShortReadIsAFailedRead) {
  test::TempDir tmp;
  auto bytes = FatVolume(5000);
  std::string path = tmp.path() + "/cut.img";
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(bytes.data(), 1, 4096 + 100, f);  // ends inside a sector
  std::fclose(f);
  uint32_t err = 0;
  auto src = OpenImageSource(FromUtf8(path), 0, 0, err);
  ASSERT_NE(src, nullptr);
  EXPECT_EQ(src->SizeBytes(), 4096u);  // whole sectors only
  std::vector<uint8_t> buf(1024, 0xCC);
  EXPECT_TRUE(src->Read(3584, buf.data(), 512));
  EXPECT_FALSE(src->Read(3584, buf.data(), 1024));
  EXPECT_FALSE(src->Read(100, buf.data(), 512));  // misaligned offset
}

#ifndef _WIN32
// Drops the file's pages from the system's cache (they are clean).
void Uncache(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  // Dirty pages (the file was just written) are not dropped: write them
  // back first.
  ::fdatasync(fd);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::close(fd);
}

// How many of the range's pages the system's cache holds.
size_t CachedPages(const std::string& path, uint64_t offset, size_t length) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  void* map = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(offset));
  ::close(fd);
  if (map == MAP_FAILED) return SIZE_MAX;
  std::vector<unsigned char> resident((length + 4095) / 4096);
  ::mincore(map, length, resident.data());
  ::munmap(map, length);
  size_t n = 0;
  for (unsigned char r : resident) n += r & 1;
  return n;
}

// A pass over the whole volume reads what the cache does not hold past it:
// the bytes must be those Read gives wherever the read falls (cached or
// not, a partition at sector 63, a buffer off the page, a tail shorter than
// a page), and a read past the end fails as Read does.
TEST(ImageSource, ReadOnceGivesTheBytesReadGives) {
  test::TempDir tmp;
  const std::string path = tmp.path() + "/pass.img";
  const uint64_t partition = 63 * 512;
  std::vector<uint8_t> bytes(3 * 1024 * 1024 + 1536);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
  // No boot sector: both sources read 512-byte sectors.
  std::memset(bytes.data(), 0, 512);
  std::memset(bytes.data() + partition, 0, 512);
  {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  carve::AlignedBuffer buffer(4 << 20);
  struct Case {
    uint64_t offset;
    uint32_t length;
    size_t bufferOffset;
    bool cached;
  };
  const uint64_t tail = bytes.size() / 4096 * 4096;
  for (const uint64_t base : {uint64_t{0}, partition}) {
    uint32_t err = 0;
    auto src = OpenImageSource(FromUtf8(path), base, 0, err);
    ASSERT_NE(src, nullptr);
    const uint64_t size = src->SizeBytes();
    for (const Case c : {Case{0, 1 << 20, 0, false}, Case{0, 1 << 20, 0, true}, Case{1 << 20, 1 << 20, 512, false},
                         Case{tail - 4096 - base, static_cast<uint32_t>(size - (tail - 4096 - base)), 0, false},
                         Case{0, static_cast<uint32_t>(size), 0, false}}) {
      SCOPED_TRACE("base " + std::to_string(base) + ", offset " + std::to_string(c.offset));
      if (!c.cached) Uncache(path);
      std::memset(buffer.data(), 0xCC, buffer.size());
      ASSERT_TRUE(src->ReadOnce(c.offset, buffer.data() + c.bufferOffset, c.length));
      EXPECT_EQ(std::memcmp(buffer.data() + c.bufferOffset, bytes.data() + base + c.offset, c.length), 0);
    }
    EXPECT_FALSE(src->ReadOnce(size - 512, buffer.data(), 1024));
    EXPECT_FALSE(src->ReadOnce(100, buffer.data(), 512));
  }
  // Read past the cache, an aligned read leaves it as it was, where the
  // file system takes direct reads at all.
  const int direct = ::open(path.c_str(), O_RDONLY | O_DIRECT);
  if (direct < 0) GTEST_SKIP() << "the temporary folder's file system takes no direct reads";
  ::close(direct);
  uint32_t err = 0;
  auto src = OpenImageSource(FromUtf8(path), 0, 0, err);
  Uncache(path);
  ASSERT_TRUE(src->ReadOnce(1 << 20, buffer.data(), 1 << 20));
  EXPECT_EQ(CachedPages(path, 1 << 20, 1 << 20), 0u);
  ASSERT_TRUE(src->Read(1 << 20, buffer.data(), 1 << 20));
  EXPECT_EQ(std::memcmp(buffer.data(), bytes.data() + (1 << 20), 1 << 20), 0);
}
#endif

class ControlSource final : public VolumeSource {
 public:
  NtStatus status = kStatusSuccess;
  uint64_t info = 0;
  uint64_t SizeBytes() const override { return 512; }
  uint32_t SectorSize() const override { return 512; }
  Text Describe() const override { return u"ctl"; }
  NtStatus FsControl(uint32_t, const void*, uint32_t, void*, uint32_t, uint64_t& information) override {
    information = info;
    return status;
  }

 protected:
  bool ReadRaw(uint64_t, void*, uint32_t) override { return false; }
};

TEST(DasdFsControl, StatusesMapToLastErrorAndWarningsKeepByteCount) {
  ControlSource s;
  uint64_t got = 0;
  s.info = 40;
  EXPECT_TRUE(DasdFsControl(&s, 1, nullptr, 0, nullptr, 0, &got));
  EXPECT_EQ(got, 40u);
  struct Case { NtStatus st; uint32_t err; bool keepsBytes; };
  for (Case c : {Case{kStatusBufferOverflow, kErrorMoreData, true}, Case{kStatusAlreadyCommitted, kErrorRetry, false},
                 Case{kStatusInvalidParameter, kErrorInvalidParameter, false},
                 Case{kStatusEndOfFile, kErrorHandleEof, false}}) {
    s.status = c.st;
    s.info = 77;
    got = 0;
    SetLastErrorCode(0);
    EXPECT_FALSE(DasdFsControl(&s, 1, nullptr, 0, nullptr, 0, &got));
    EXPECT_EQ(GetLastErrorCode(), c.err);
    EXPECT_EQ(got, c.keepsBytes ? 77u : 0u);
  }
  s.status = 0xC0000001;  // any other status leaves the last error alone
  SetLastErrorCode(1234);
  EXPECT_FALSE(DasdFsControl(&s, 1, nullptr, 0, nullptr, 0, &got));
  EXPECT_EQ(GetLastErrorCode(), 1234u);
}

TEST(FileSystemProbe, Fat12ThresholdIs4087Clusters) {
  Attached small(FatVolume(4086));
  Attached large(FatVolume(4087));
  EXPECT_FALSE(IsSupportedFileSystem(small.name));
  EXPECT_EQ(GetStatusText().substr(0, 35), u"Unsupported file system on volume: ");
  EXPECT_TRUE(IsSupportedFileSystem(large.name));
  int32_t kind = -1;
  char16_t label[100];
  ASSERT_TRUE(GetFileSystemKind(large.name, kind, label));
  EXPECT_EQ(kind, kFsFat16);
}

TEST(FileSystemProbe, DamagedBootSectorIsUnknown) {
  auto bytes = FatVolume(5000);
  bytes[0] = 0;  // no jump instruction
  bytes[0x0B] = 0;
  Attached a(bytes);
  EXPECT_FALSE(IsSupportedFileSystem(a.name));
  int32_t kind = -1;
  char16_t label[100];
  EXPECT_FALSE(GetFileSystemKind(a.name, kind, label));
}

TEST(FileSystemProbe, BootSectorFieldsThatWouldDivideByZeroAreRefused) {
  for (size_t off : {size_t{0x0B}, size_t{0x0D}, size_t{0x0E}, size_t{0x10}, size_t{0x16}}) {
    auto bytes = FatVolume(5000);
    bytes[off] = 0;
    bytes[off + (off == 0x0D || off == 0x10 ? 0 : 1)] = 0;
    Attached a(bytes);
    EXPECT_FALSE(IsSupportedFileSystem(a.name)) << off;
  }
}

TEST(FileSystemProbe, FourKSectorsComeFromTheBootSector) {
  auto src = MakeMemorySource(FatVolume(5000, 4096));
  EXPECT_EQ(src->SectorSize(), 4096u);
  EXPECT_EQ(src->OnDisk().Facts().bytesPerSector, 4096u);
}

TEST(OpeningRules, DriveNamesAndGuidPaths) {
  Attached a(FatVolume(5000));
  VolumeHandle v;
  ASSERT_TRUE(ResolveVolumeDevicePath(a.name + u"\\", v));
  EXPECT_EQ(Text(v.devicePath), a.name);  // trailing backslash removed
  EXPECT_EQ(v.driveLetter, 0);
  VolumeHandle d;
  ASSERT_TRUE(ResolveVolumeDevicePath(u"Q:", d));
  EXPECT_EQ(d.driveLetter, u'Q');
  ASSERT_TRUE(OpenVolumeHandle(v, false));
  EXPECT_TRUE(v.IsOpen());
}

TEST(OpeningRules, AttachedDriveLetterResolvesToItsGuidName) {
  auto src = MakeMemorySource(FatVolume(5000));
  Text name = AttachVolume(src, u'R');
  VolumeHandle v;
  ASSERT_TRUE(ResolveVolumeDevicePath(u"R:", v));
  EXPECT_TRUE(EqualsIgnoreCase(Text(v.devicePath), name));
  EXPECT_EQ(v.driveLetter, u'R');
  DetachVolume(name);
}

class DiagnosticLogTest : public ::testing::Test {
 protected:
  void TearDown() override { DisableDiagnosticLog(); }
  std::u16string ReadUtf16(const std::string& path) {
    auto b = test::ReadFileBytes(path);
    std::u16string s;
    for (size_t i = 0; i + 1 < b.size(); i += 2) s.push_back(static_cast<char16_t>(b[i] | (b[i + 1] << 8)));
    return s;
  }
};

TEST_F(DiagnosticLogTest, DisabledWritesNothing) {
  test::TempDir tmp;
  EXPECT_TRUE(StartDiagnosticLog(u"Retriva", tmp.EnginePath() + u"\\x.log"));
  EXPECT_EQ(WriteLogRecord(u"hello", kNoStatus, nullptr), 0u);
  EXPECT_FALSE(std::filesystem::exists(tmp.path() + "/x.log"));
}

TEST_F(DiagnosticLogTest, RecordLayout) {
  test::TempDir tmp;
  EnableDiagnosticLog(tmp.EnginePath() + u"\\r.log", u"start-param");
  SetLastErrorCode(5);
  ErrorRecord("DasdRead", 234, "Sat Oct 25 13:43:22 2003");
  EXPECT_EQ(GetLastErrorCode(), 5u);  // preserved for the caller
  WriteLogRecord(u"no status", kNoStatus, nullptr);
  WriteLogRecord(u"facility 8", 0x80070005u, nullptr);  // facility 7: logged whole (no text: lost)
  WriteLogRecord(u"windows facility", 0x00080005u, nullptr);
  std::u16string log = ReadUtf16(tmp.path() + "/r.log");
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.find(u'\xFEFF'), std::u16string::npos);
  EXPECT_NE(log.find(u"    Message   : INITIALIZE A NEW LOGGER" + std::u16string(81, u'-') + u"\r\n"),
            std::u16string::npos);
  EXPECT_NE(log.find(u"    Parameter : start-param\r\n"), std::u16string::npos);
  EXPECT_NE(log.find(u"    Message   : Error in file DasdRead line 234\r\n"), std::u16string::npos);
#ifdef _WIN32
  // The text is the system's own (Wine words it "Access denied.").
  EXPECT_NE(log.find(u".\r\n - Error #5\r\n"), std::u16string::npos);
#else
  EXPECT_NE(log.find(u"Access is denied.\r\n - Error #5\r\n"), std::u16string::npos);
#endif
  EXPECT_NE(log.find(u"    Parameter : Compiled Sat Oct 25 13:43:22 2003\r\n"), std::u16string::npos);
  EXPECT_NE(log.find(u"    Message   : no status\r\n    Status    : \r\n"), std::u16string::npos);
  // The facility-8 code is looked up by its low word.
  size_t w = log.find(u"windows facility");
  ASSERT_NE(w, std::u16string::npos);
  EXPECT_NE(log.find(u" - Error #5\r\n", w), std::u16string::npos);
  EXPECT_NE(log.find(u" : Thread# = "), std::u16string::npos);
}

}  // namespace
}  // namespace rv
