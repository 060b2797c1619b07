#include "platform/rawfile.h"

#include <string>

#include "platform/lasterror.h"
#include "platform/text.h"

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

namespace rv::fs {

RawReader::~RawReader() { Close(); }

RawReader::RawReader(RawReader&& o) noexcept { *this = std::move(o); }

RawReader& RawReader::operator=(RawReader&& o) noexcept {
  if (this != &o) {
    Close();
#ifdef _WIN32
    handle_ = o.handle_;
    o.handle_ = nullptr;
#else
    fd_ = o.fd_;
    o.fd_ = -1;
#endif
    size_ = o.size_;
    deviceSector_ = o.deviceSector_;
  }
  return *this;
}

#ifdef _WIN32

bool RawReader::Valid() const { return handle_ != nullptr; }

void RawReader::Close() {
  if (handle_) CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
}

RawReader RawReader::Open(TextView path, uint32_t& error) {
  error = 0;
  RawReader r;
  std::wstring w(path.begin(), path.end());
  HANDLE native = CreateFileW(w.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (native == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return r;
  }
  // Pipes and character devices (a console, COM1) hold no volume.
  if (GetFileType(native) != FILE_TYPE_DISK) {
    CloseHandle(native);
    error = kErrorNotSupported;
    return r;
  }
  r.handle_ = native;
  GET_LENGTH_INFORMATION li;
  DWORD got = 0;
  LARGE_INTEGER size;
  if (DeviceIoControl(native, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &li, sizeof li, &got, nullptr)) {
    r.size_ = static_cast<uint64_t>(li.Length.QuadPart);
    DISK_GEOMETRY g;
    if (DeviceIoControl(native, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &g, sizeof g, &got, nullptr))
      r.deviceSector_ = g.BytesPerSector;
  } else if (GetFileSizeEx(native, &size)) {
    r.size_ = static_cast<uint64_t>(size.QuadPart);
  }
  return r;
}

bool RawReader::ReadAt(uint64_t offset, void* buffer, uint32_t length) const {
  auto* p = static_cast<uint8_t*>(buffer);
  uint32_t done = 0;
  while (done < length) {
    OVERLAPPED ov{};
    ov.Offset = static_cast<DWORD>(offset + done);
    ov.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
    DWORD got = 0;
    if (!ReadFile(static_cast<HANDLE>(handle_), p + done, length - done, &got, &ov)) return false;
    if (got == 0) {
      SetLastErrorCode(kErrorHandleEof);
      return false;
    }
    done += got;
  }
  return true;
}

void RawReader::WillRead(uint64_t, uint64_t) const {}

#else

bool RawReader::Valid() const { return fd_ >= 0; }

void RawReader::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

RawReader RawReader::Open(TextView path, uint32_t& error) {
  error = 0;
  RawReader r;
  const std::string native = ToUtf8(path);
  // O_NONBLOCK: opening a FIFO without a writer would otherwise wait for ever.
  const int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    error = errno == ENOENT ? kErrorFileNotFound : errno == EACCES ? kErrorAccessDenied
          : errno == ENXIO ? kErrorNotSupported : kErrorInvalidFunction;
    return r;
  }
  r.fd_ = fd;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) {
    r.Close();
    error = kErrorNotSupported;
    return r;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  if (S_ISBLK(st.st_mode)) {
    uint64_t bytes = 0;
    int sector = 0;
    if (::ioctl(fd, BLKGETSIZE64, &bytes) == 0) r.size_ = bytes;
    if (::ioctl(fd, BLKSSZGET, &sector) == 0 && sector > 0) r.deviceSector_ = static_cast<uint32_t>(sector);
  } else {
    r.size_ = static_cast<uint64_t>(st.st_size);
  }
  return r;
}

bool RawReader::ReadAt(uint64_t offset, void* buffer, uint32_t length) const {
  auto* p = static_cast<uint8_t*>(buffer);
  uint32_t done = 0;
  while (done < length) {
    const ssize_t got = ::pread(fd_, p + done, length - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      SetLastErrorCode(errno == EIO ? kErrorCrc : kErrorReadFault);
      return false;
    }
    if (got == 0) {
      SetLastErrorCode(kErrorHandleEof);
      return false;
    }
    done += static_cast<uint32_t>(got);
  }
  return true;
}

void RawReader::WillRead(uint64_t offset, uint64_t length) const {
  if (fd_ >= 0) ::posix_fadvise(fd_, static_cast<off_t>(offset), static_cast<off_t>(length), POSIX_FADV_WILLNEED);
}

#endif

}  // namespace rv::fs
