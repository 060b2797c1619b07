// A Windows volume device opened raw. The operating system answers first;
// where it cannot (and always under Wine, whose answers for a drive mapped
// to an image are wrong or missing) the on-disk layer answers.
#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>

#include <cstring>

#include "platform/lasterror.h"
#include "platform/system.h"
#include "platform/winapi.h"
#include "volume/osvolume.h"

namespace rv {
namespace {

using NtFsControlFileFn = LONG(NTAPI*)(HANDLE, HANDLE, void*, void*, void*, ULONG, void*, ULONG, void*, ULONG);
using NtWaitForSingleObjectFn = LONG(NTAPI*)(HANDLE, BOOLEAN, PLARGE_INTEGER);
struct IoStatusBlock {
  union {
    LONG Status;
    void* Pointer;
  };
  ULONG_PTR Information;
};

class Win32Device final : public VolumeSource {
 public:
  Win32Device(HANDLE h, Text name, Text root, uint64_t size, uint32_t sector)
      : h_(h), name_(std::move(name)), root_(std::move(root)), size_(size), sector_(sector) {}
  ~Win32Device() override { CloseHandle(h_); }
  uint64_t SizeBytes() const override { return size_; }
  uint32_t SectorSize() const override { return sector_; }
  Text Describe() const override { return name_; }
  bool MayChange() const override { return true; }

  bool VolumeInformation(Text& fileSystemName, Text& label) override {
    if (!RunningUnderWine()) {
      std::wstring r(root_.begin(), root_.end());
      wchar_t fs[15] = {}, lab[100] = {};
      if (GetVolumeInformationW(r.c_str(), lab, 100, nullptr, nullptr, nullptr, fs, 15)) {
        fileSystemName.assign(fs, fs + wcslen(fs));
        label.assign(lab, lab + wcslen(lab));
        return true;
      }
    }
    return VolumeSource::VolumeInformation(fileSystemName, label);
  }

  NtStatus FsControl(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength,
                     uint64_t& information) override {
    information = 0;
    if (!RunningUnderWine()) {
      static auto ntFsControlFile = win::ProcAddress<NtFsControlFileFn>(L"ntdll.dll", "NtFsControlFile");
      static auto ntWait = win::ProcAddress<NtWaitForSingleObjectFn>(L"ntdll.dll", "NtWaitForSingleObject");
      if (ntFsControlFile && ntWait) {
        IoStatusBlock iosb{};
        LONG status = ntFsControlFile(h_, nullptr, nullptr, nullptr, &iosb, code, const_cast<void*>(in), inLength,
                                      out, outLength);
        if (static_cast<NtStatus>(status) == kStatusPending) {
          LONG w = ntWait(h_, FALSE, nullptr);
          status = w < 0 ? w : iosb.Status;
        }
        NtStatus s = static_cast<NtStatus>(status);
        if (s != kStatusInvalidDeviceRequest && s != kStatusNotSupported) {
          information = iosb.Information;
          return s;
        }
      }
    }
    return VolumeSource::FsControl(code, in, inLength, out, outLength, information);
  }

 protected:
  bool ReadRaw(uint64_t offset, void* buffer, uint32_t length) override {
    // FILE_FLAG_NO_BUFFERING needs a sector-aligned buffer address as well;
    // callers that pass an unaligned one go through a bounce buffer.
    if (reinterpret_cast<uintptr_t>(buffer) % sector_ != 0) {
      void* bounce = VirtualAlloc(nullptr, length, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
      if (!bounce) return false;
      bool ok = ReadAligned(offset, bounce, length);
      if (ok) std::memcpy(buffer, bounce, length);
      VirtualFree(bounce, 0, MEM_RELEASE);
      return ok;
    }
    return ReadAligned(offset, buffer, length);
  }

 private:
  bool ReadAligned(uint64_t offset, void* buffer, uint32_t length) {
    OVERLAPPED ov{};
    ov.Offset = static_cast<DWORD>(offset);
    ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(h_, buffer, length, &got, &ov)) return false;
    if (got != length) {
      SetLastErrorCode(kErrorHandleEof);
      return false;
    }
    return true;
  }

  HANDLE h_;
  Text name_, root_;
  uint64_t size_;
  uint32_t sector_;
};

// Size a boot sector claims for its volume: NTFS keeps a backup boot sector
// one sector past its total; FAT counts every sector.
uint64_t ClaimedVolumeBytes(const uint8_t* boot, uint32_t sector) {
  auto le = [&](int off, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | boot[off + i];
    return v;
  };
  if (std::memcmp(boot + 3, "NTFS    ", 8) == 0) return (le(0x28, 8) + 1) * sector;
  uint64_t total = le(0x13, 2);
  if (total == 0) total = le(0x20, 4);
  return total * sector;
}

}  // namespace

std::shared_ptr<VolumeSource> OpenWin32VolumeDevice(TextView devicePath, bool writeAccess, Text rootPath) {
  std::wstring dev(devicePath.begin(), devicePath.end());
  DWORD access = GENERIC_READ | (writeAccess ? GENERIC_WRITE : 0);
  HANDLE h = CreateFileW(dev.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_NO_BUFFERING | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE && writeAccess) {
    // Read-only media and Wine's mapped images refuse write access; the
    // engines never write, and the control requests fall back to the disk.
    h = CreateFileW(dev.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_NO_BUFFERING | FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  uint64_t size = 0;
  uint32_t sector = 512;
  DWORD got = 0;
  GET_LENGTH_INFORMATION li;
  if (DeviceIoControl(h, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &li, sizeof li, &got, nullptr)) {
    size = static_cast<uint64_t>(li.Length.QuadPart);
  } else {
    LARGE_INTEGER fs;
    if (GetFileSizeEx(h, &fs)) size = static_cast<uint64_t>(fs.QuadPart);
  }
  DISK_GEOMETRY g;
  if (DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &g, sizeof g, &got, nullptr) &&
      g.BytesPerSector >= 512)
    sector = g.BytesPerSector;
  if (size == 0 || sector == 512) {
    // Wine gives neither length nor geometry for a mapped image: the boot
    // sector tells the sector size, and the size it claims stands in for the
    // device length (reads past the real end still fail as short reads).
    auto* first = static_cast<uint8_t*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    OVERLAPPED ov{};
    DWORD n = 0;
    if (first && ReadFile(h, first, 4096, &n, &ov) && n >= 512) {
      sector = SectorSizeFromBootSector(first);
      if (size == 0) size = ClaimedVolumeBytes(first, sector);
    }
    if (first) VirtualFree(first, 0, MEM_RELEASE);
  }
  auto src = std::make_shared<Win32Device>(h, Text(devicePath), std::move(rootPath), size, sector);
  return src;
}

}  // namespace rv
#endif
