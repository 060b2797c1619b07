#include "platform/rawfile.h"

#include <string>
#include <vector>

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
#include <sys/mman.h>
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
    directFd_ = o.directFd_;
    o.directFd_ = -1;
    directRefused_.store(o.directRefused_.load());
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

bool RawReader::ReadOnceAt(uint64_t offset, void* buffer, uint32_t length) const {
  return ReadAt(offset, buffer, length);
}

void RawReader::WillRead(uint64_t, uint64_t) const {}

#else

bool RawReader::Valid() const { return fd_ >= 0; }

void RawReader::Close() {
  if (fd_ >= 0) ::close(fd_);
  if (directFd_ >= 0) ::close(directFd_);
  fd_ = directFd_ = -1;
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
#ifdef O_DIRECT
  // Through the descriptor already open, so that both read the same file
  // even if the path has been replaced since.
  r.directFd_ = ::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC | O_DIRECT);
#endif
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

namespace {

// Whether the system's cache holds every page of the range: mincore over a
// mapping that is never touched, so nothing is read. (A read with
// RWF_NOWAIT would tell too, but starts the readahead of what is missing.)
bool AllCached(int fd, uint64_t offset, uint32_t length) {
  const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  const uint64_t start = offset / page * page;
  const size_t span = static_cast<size_t>(offset + length - start);
  void* map = ::mmap(nullptr, span, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(start));
  if (map == MAP_FAILED) return false;
  std::vector<unsigned char> resident((span + page - 1) / page);
  bool all = ::mincore(map, span, resident.data()) == 0;
  for (size_t i = 0; all && i < resident.size(); ++i) all = resident[i] & 1;
  ::munmap(map, span);
  return all;
}

bool Aligned(uint64_t v) { return v % RawReader::kDirectAlignment == 0; }

}  // namespace

bool RawReader::ReadOnceAt(uint64_t offset, void* buffer, uint32_t length) const {
  auto* p = static_cast<uint8_t*>(buffer);
  if (directFd_ < 0 || directRefused_.load() || length == 0 || !Aligned(offset) || !Aligned(length) ||
      !Aligned(reinterpret_cast<uintptr_t>(p)) || AllCached(fd_, offset, length))
    return ReadAt(offset, buffer, length);
  uint32_t done = 0;
  while (done < length) {
    const ssize_t got = ::pread(directFd_, p + done, length - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EINVAL) {
      // The file system takes no direct reads (or not at this alignment):
      // through the cache from now on.
      directRefused_.store(true);
      break;
    }
    if (got <= 0) break;
    done += static_cast<uint32_t>(got);
    if (!Aligned(static_cast<uint64_t>(got))) break;
  }
  // After an error, or a short read at the end of the file: ReadAt reads
  // the rest, or says why it cannot.
  return done == length || ReadAt(offset + done, p + done, length - done);
}

void RawReader::WillRead(uint64_t offset, uint64_t length) const {
  if (fd_ >= 0) ::posix_fadvise(fd_, static_cast<off_t>(offset), static_cast<off_t>(length), POSIX_FADV_WILLNEED);
}

#endif

}  // namespace rv::fs
