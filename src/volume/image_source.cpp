// Volumes inside image files and block devices, opened read-only.
#include <cstring>

#include "platform/lasterror.h"
#include "platform/text.h"
#include "volume/source.h"

#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace rv {
namespace {

class ImageSource final : public VolumeSource {
 public:
#ifdef _WIN32
  using Native = HANDLE;
#else
  using Native = int;
#endif
  ImageSource(Native native, Text path, uint64_t base, uint64_t length, uint32_t sector)
      : native_(native), path_(std::move(path)), base_(base), length_(length), sector_(sector) {}
  ~ImageSource() override {
#ifdef _WIN32
    CloseHandle(native_);
#else
    ::close(native_);
#endif
  }
  uint64_t SizeBytes() const override { return length_; }
  uint32_t SectorSize() const override { return sector_; }
  Text Describe() const override { return path_; }
  void SetSectorSize(uint32_t s) {
    sector_ = s;
    length_ = length_ / s * s;
  }
  bool ReadUnchecked(uint64_t offset, void* buffer, uint32_t length) { return ReadRawAt(base_ + offset, buffer, length); }
  void Prefetch(uint64_t offset, uint64_t length) override {
#ifndef _WIN32
    if (offset < length_)
      ::posix_fadvise(native_, static_cast<off_t>(base_ + offset),
                      static_cast<off_t>(length < length_ - offset ? length : length_ - offset), POSIX_FADV_WILLNEED);
#endif
  }

 protected:
  bool ReadRaw(uint64_t offset, void* buffer, uint32_t length) override {
    return ReadRawAt(base_ + offset, buffer, length);
  }

 private:
  bool ReadRawAt(uint64_t offset, void* buffer, uint32_t length) {
    auto* p = static_cast<uint8_t*>(buffer);
    uint32_t done = 0;
    while (done < length) {
#ifdef _WIN32
      OVERLAPPED ov{};
      ov.Offset = static_cast<DWORD>(offset + done);
      ov.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
      DWORD got = 0;
      if (!ReadFile(native_, p + done, length - done, &got, &ov)) return false;
#else
      ssize_t got = ::pread(native_, p + done, length - done, static_cast<off_t>(offset + done));
      if (got < 0) {
        if (errno == EINTR) continue;
        SetLastErrorCode(errno == EIO ? kErrorCrc : kErrorReadFault);
        return false;
      }
#endif
      if (got == 0) {
        // A short read (truncated image, failing device) is a failed read.
        SetLastErrorCode(kErrorHandleEof);
        return false;
      }
      done += static_cast<uint32_t>(got);
    }
    return true;
  }

  Native native_;
  Text path_;
  uint64_t base_;
  uint64_t length_;
  uint32_t sector_;
};

}  // namespace

std::shared_ptr<VolumeSource> OpenImageSource(TextView path, uint64_t offset, uint64_t length, uint32_t& error) {
  error = 0;
  uint64_t total = 0;
  uint32_t deviceSector = 0;
#ifdef _WIN32
  std::wstring w(path.begin(), path.end());
  HANDLE native = CreateFileW(w.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (native == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return nullptr;
  }
  // Pipes and character devices (a console, COM1) hold no volume.
  if (GetFileType(native) != FILE_TYPE_DISK) {
    CloseHandle(native);
    error = kErrorNotSupported;
    return nullptr;
  }
  LARGE_INTEGER size;
  GET_LENGTH_INFORMATION li;
  DWORD got = 0;
  if (DeviceIoControl(native, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &li, sizeof li, &got, nullptr)) {
    total = static_cast<uint64_t>(li.Length.QuadPart);
    DISK_GEOMETRY g;
    if (DeviceIoControl(native, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &g, sizeof g, &got, nullptr))
      deviceSector = g.BytesPerSector;
  } else if (GetFileSizeEx(native, &size)) {
    total = static_cast<uint64_t>(size.QuadPart);
  }
#else
  std::string native_path = ToUtf8(path);
  // O_NONBLOCK: opening a FIFO without a writer would otherwise wait for
  // ever. Only regular files and block devices hold volumes; the rest (a
  // FIFO, a socket, a terminal or another character device, a folder) is
  // refused before anything is read.
  int native = ::open(native_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (native < 0) {
    error = errno == ENOENT ? kErrorFileNotFound : errno == EACCES ? kErrorAccessDenied
          : errno == ENXIO ? kErrorNotSupported : kErrorInvalidFunction;
    return nullptr;
  }
  struct stat st;
  if (::fstat(native, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) {
    ::close(native);
    error = kErrorNotSupported;
    return nullptr;
  }
  ::fcntl(native, F_SETFL, ::fcntl(native, F_GETFL) & ~O_NONBLOCK);
  {
    if (S_ISBLK(st.st_mode)) {
      uint64_t bytes = 0;
      int ss = 0;
      if (::ioctl(native, BLKGETSIZE64, &bytes) == 0) total = bytes;
      if (::ioctl(native, BLKSSZGET, &ss) == 0 && ss > 0) deviceSector = static_cast<uint32_t>(ss);
    } else if (S_ISREG(st.st_mode)) {
      total = static_cast<uint64_t>(st.st_size);
    }
  }
#endif
  if (offset > total) {
    error = kErrorInvalidParameter;
#ifdef _WIN32
    CloseHandle(native);
#else
    ::close(native);
#endif
    return nullptr;
  }
  uint64_t avail = total - offset;
  if (length == 0 || length > avail) length = avail;
  auto src = std::make_shared<ImageSource>(native, Text(path), offset, length, 512);
  if (deviceSector != 0) {
    // A block device knows its logical sector size (512 or 4096).
    src->SetSectorSize(deviceSector);
  } else {
    // An image file: the boot sector says which sector size it was made for.
    uint8_t first[512] = {};
    if (length >= 512 && src->ReadUnchecked(0, first, 512)) src->SetSectorSize(SectorSizeFromBootSector(first));
  }
  return src;
}

}  // namespace rv
