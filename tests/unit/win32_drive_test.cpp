// Volumes behind drive letters on Windows: the raw device, the file-system
// probes and the geometry must be the volume's own, even where the system's
// answers are wrong (Wine reports "NTFS" and an empty label for every drive
// mapped to an image, and the free space of the host folder behind it).
//
// tests/win32-drive-test.sh maps volume images to drive letters inside the
// Wine prefix and names them, with what each one holds, in a JSON file whose
// path is in RETRIVA_WIN32_DRIVES. Without it these tests skip.
#ifdef _WIN32
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/system.h"
#include "platform/text.h"
#include "platform/winapi.h"
#include "test_support.h"
#include "volume/dasd.h"
#include "volume/diaglog.h"
#include "format/le.h"
#include "volume/ondisk.h"
#include "volume/osvolume.h"

namespace rv {
namespace {

struct MappedDrive {
  char16_t letter = 0;
  std::string fs;  // NTFS, FAT12, FAT16, FAT32, exFAT
  std::string label;
  uint64_t clusterCount = 0;
  uint32_t sectorSize = 0;
  uint64_t clusterSize = 0;
  std::string image;  // the image file, as a Windows path

  Text Name() const { return Text(1, letter) + u":"; }
  Text Root() const { return Name() + u"\\"; }
  std::wstring Device() const { return std::wstring(L"\\\\.\\") + static_cast<wchar_t>(letter) + L":"; }
  int32_t Kind() const {
    if (fs == "NTFS") return kFsNtfs;
    if (fs == "FAT32") return kFsFat32;
    if (fs == "exFAT") return kFsExfat;
    return kFsFat16;  // FAT12 and FAT16 both report "FAT"
  }
};

std::vector<MappedDrive> LoadMappedDrives() {
  std::vector<MappedDrive> drives;
  const char* list = std::getenv("RETRIVA_WIN32_DRIVES");
  if (!list || !*list) return drives;
  std::ifstream in(list);
  nlohmann::json j = nlohmann::json::parse(in, nullptr, false);
  if (j.is_discarded() || !j.contains("drives")) return drives;
  for (const auto& d : j["drives"]) {
    MappedDrive m;
    m.letter = static_cast<char16_t>(std::toupper(static_cast<unsigned char>(d.value("letter", "?")[0])));
    m.fs = d.value("fs", "");
    m.label = d.value("label", "");
    m.clusterCount = d.value("cluster_count", uint64_t{0});
    m.sectorSize = d.value("sector_size", 0u);
    m.clusterSize = d.value("cluster_size", uint64_t{0});
    m.image = d.value("image", "");
    drives.push_back(m);
  }
  return drives;
}

class Win32Drive : public ::testing::Test {
 protected:
  void SetUp() override {
    drives_ = LoadMappedDrives();
    if (drives_.empty()) GTEST_SKIP() << "no drive letters mapped (run tests/win32-drive-test.sh)";
  }
  std::vector<MappedDrive> drives_;
};

std::vector<uint8_t> ImageBytes(const std::string& path, uint64_t offset, size_t length) {
  std::ifstream f(path, std::ios::binary);
  std::vector<uint8_t> b(length);
  f.seekg(static_cast<std::streamoff>(offset));
  f.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(length));
  b.resize(static_cast<size_t>(f.gcount()));
  return b;
}

// A sector-aligned buffer, as FILE_FLAG_NO_BUFFERING requires.
struct AlignedBuffer {
  explicit AlignedBuffer(size_t n)
      : size(n), data(static_cast<uint8_t*>(VirtualAlloc(nullptr, n, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE))) {}
  ~AlignedBuffer() { VirtualFree(data, 0, MEM_RELEASE); }
  size_t size;
  uint8_t* data;
};

TEST_F(Win32Drive, RawDeviceReadsTheImageSectors) {
  for (const auto& d : drives_) {
    SCOPED_TRACE(d.image);
    HANDLE h = CreateFileW(d.Device().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_NO_BUFFERING | FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    AlignedBuffer buf(8192);
    // The boot sector and a run of sectors further in, at explicit offsets.
    for (uint64_t offset : {uint64_t{0}, uint64_t{d.sectorSize} * 33}) {
      OVERLAPPED ov{};
      ov.Offset = static_cast<DWORD>(offset);
      ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
      DWORD got = 0;
      ASSERT_TRUE(ReadFile(h, buf.data, 4096, &got, &ov)) << "error " << GetLastError();
      ASSERT_EQ(got, 4096u);
      auto expected = ImageBytes(d.image, offset, 4096);
      ASSERT_EQ(expected.size(), 4096u);
      EXPECT_EQ(std::memcmp(buf.data, expected.data(), 4096), 0) << "at offset " << offset;
    }
    CloseHandle(h);
  }
}

TEST_F(Win32Drive, EngineOpensTheDriveDeviceRaw) {
  for (const auto& d : drives_) {
    SCOPED_TRACE(d.image);
    VolumeHandle v;
    ASSERT_TRUE(ResolveVolumeDevicePath(d.Name(), v));
    EXPECT_EQ(v.driveLetter, d.letter);
    Text device(v.devicePath);
    if (RunningUnderWine()) {
      // Wine has no GUID names for mapped drives: the drive device stands in.
      EXPECT_EQ(device, Text(u"\\\\.\\") + d.Name());
    }
    ASSERT_TRUE(OpenVolumeHandle(v, d.fs == "NTFS")) << "error " << GetLastError();
    EXPECT_EQ(v.handle->SectorSize(), d.sectorSize);
    EXPECT_EQ(v.handle->Describe(), device);
    const FsFacts& facts = v.handle->OnDisk().Facts();
    EXPECT_EQ(facts.totalClusters, d.clusterCount);
    EXPECT_EQ(facts.bytesPerCluster, d.clusterSize);

    // Cluster 0 of an NTFS volume is its boot sector; on FAT the data area
    // comes first, so only NTFS is checked against the image here.
    if (d.fs == "NTFS") {
      v.fileSystemKind = kFsNtfs;
      std::vector<uint8_t> buf(d.clusterSize + d.sectorSize + 1);
      uint8_t* odd = buf.data() + 1;  // an unaligned destination
      ASSERT_TRUE(DasdReadCluster(v, 0, 1, odd, d.sectorSize, d.clusterSize));
      auto expected = ImageBytes(d.image, 0, d.clusterSize);
      EXPECT_EQ(std::memcmp(odd, expected.data(), expected.size()), 0);
    }
  }
}

TEST_F(Win32Drive, FileSystemKindAndLabelAreTheVolumes) {
  for (const auto& d : drives_) {
    SCOPED_TRACE(d.image);
    int32_t kind = -1;
    char16_t label[kLabelUnits] = {};
    ASSERT_TRUE(GetFileSystemKind(d.Name(), kind, label));
    EXPECT_EQ(kind, d.Kind());
    EXPECT_EQ(ToUtf8(Text(label)), d.label);
  }
}

TEST_F(Win32Drive, OnlyFat12IsRefused) {
  for (const auto& d : drives_) {
    SCOPED_TRACE(d.image);
    SetStatusText(u"");
    if (d.fs == "FAT12") {
      EXPECT_FALSE(IsSupportedFileSystem(d.Name()));
      EXPECT_EQ(GetStatusText(), Text(u"Unsupported file system on volume: ") + d.letter);
    } else {
      EXPECT_TRUE(IsSupportedFileSystem(d.Name()));
      EXPECT_EQ(GetStatusText(), u"");
    }
  }
}

TEST_F(Win32Drive, FatGeometryIsTheVolumesNotTheHosts) {
  for (const auto& d : drives_) {
    if (d.fs == "NTFS") continue;
    SCOPED_TRACE(d.image);
    DiskFreeSpace space;
    ASSERT_TRUE(QueryDiskFreeSpace(d.Root(), space));
    EXPECT_EQ(space.totalClusters, d.clusterCount);
    EXPECT_EQ(space.bytesPerSector, d.sectorSize);
    EXPECT_EQ(uint64_t{space.sectorsPerCluster} * space.bytesPerSector, d.clusterSize);
    EXPECT_LE(space.freeClusters, space.totalClusters);
  }
}

TEST_F(Win32Drive, NtfsVolumeDataComesFromTheDisk) {
  bool sawNtfs = false;
  for (const auto& d : drives_) {
    if (d.fs != "NTFS") continue;
    sawNtfs = true;
    SCOPED_TRACE(d.image);
    VolumeHandle v;
    ASSERT_TRUE(ResolveVolumeDevicePath(d.Name(), v));
    ASSERT_TRUE(OpenVolumeHandle(v, true));
    uint8_t data[96] = {};
    uint64_t returned = 0;
    if (!DasdFsControl(v.handle.get(), FSCTL_GET_NTFS_VOLUME_DATA_CODE, nullptr, 0, data, sizeof data, &returned)) {
      GTEST_SKIP() << "FSCTL_GET_NTFS_VOLUME_DATA is not answered from the disk yet";
    }
    EXPECT_EQ(returned, 96u);
    Bytes b(data, sizeof data);
    EXPECT_EQ(le64(b, 16), d.clusterCount);  // TotalClusters
    EXPECT_EQ(le32(b, 40), d.sectorSize);    // BytesPerSector
    EXPECT_EQ(le32(b, 44), d.clusterSize);   // BytesPerCluster
  }
  if (!sawNtfs) GTEST_SKIP() << "no NTFS drive mapped";
}

}  // namespace
}  // namespace rv
#endif
