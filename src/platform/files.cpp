#include "platform/files.h"

#include <atomic>
#include <vector>

#include "platform/lasterror.h"
#include "platform/text.h"

#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>
#else
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#endif

namespace rv::fs {

namespace {
std::atomic<uint32_t> g_failFlushes{0};
}  // namespace

void FailFlushesForTesting(uint32_t error) { g_failFlushes.store(error); }

#ifdef _WIN32

namespace {
// Paths past MAX_PATH work only in the extended-length form "\\?\C:\..."
// (or "\\?\UNC\server\share\..."), which the system takes literally:
// separators must be backslashes. CreateDirectoryW's limit is 248.
std::wstring W(TextView p) {
  std::wstring w(p.begin(), p.end());
  if (w.size() < 248 || w.rfind(L"\\\\?\\", 0) == 0) return w;
  for (auto& c : w)
    if (c == L'/') c = L'\\';
  if (w.size() >= 3 && w[1] == L':' && w[2] == L'\\') return L"\\\\?\\" + w;
  if (w.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + w.substr(2);
  return w;
}
}  // namespace

PathKind GetPathKind(TextView path) {
  DWORD a = GetFileAttributesW(W(path).c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return PathKind::Missing;
  return (a & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::Folder : PathKind::File;
}

bool CreateFolder(TextView path) { return CreateDirectoryW(W(path).c_str(), nullptr) != 0; }

bool NameExists(TextView path) {
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(W(path).c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return false;
  FindClose(h);
  return true;
}

bool DiskFreeBytes(TextView root, uint64_t& freeBytes) {
  ULARGE_INTEGER avail, total, totalFree;
  if (!GetDiskFreeSpaceExW(W(root).c_str(), &avail, &total, &totalFree)) return false;
  freeBytes = totalFree.QuadPart;
  return true;
}

bool CopySecurityDescriptor(TextView path, const uint8_t* descriptor, size_t size) {
  if (size < 20) return false;
  std::vector<uint8_t> copy(descriptor, descriptor + size);
  const uint16_t control = static_cast<uint16_t>(copy[2] | (copy[3] << 8));
  const std::wstring name = W(path);
  PSECURITY_DESCRIPTOR p = copy.data();
  if (!SetFileSecurityW(name.c_str(), OWNER_SECURITY_INFORMATION, p)) return false;
  if (!SetFileSecurityW(name.c_str(), GROUP_SECURITY_INFORMATION, p)) return false;
  if ((control & SE_SACL_PRESENT) && !SetFileSecurityW(name.c_str(), SACL_SECURITY_INFORMATION, p)) return false;
  if (control & SE_DACL_PRESENT) return SetFileSecurityW(name.c_str(), DACL_SECURITY_INFORMATION, p) != 0;
  return true;
}

bool RemoveFile(TextView path) { return DeleteFileW(W(path).c_str()) != 0; }

bool RemoveFolder(TextView path) { return RemoveDirectoryW(W(path).c_str()) != 0; }

// Windows flushes a volume only through a handle to the volume itself,
// which needs administrator rights: files are flushed one by one there.
bool FlushFileSystemOf(TextView) {
  SetLastErrorCode(kErrorNotSupported);
  return false;
}

bool RenameNoReplace(TextView from, TextView to) {
  // Without MOVEFILE_REPLACE_EXISTING an existing target fails the move.
  if (MoveFileExW(W(from).c_str(), W(to).c_str(), MOVEFILE_WRITE_THROUGH)) return true;
  const DWORD e = GetLastError();
  if (e == ERROR_ALREADY_EXISTS || e == ERROR_FILE_EXISTS) SetLastErrorCode(kErrorFileExists);
  return false;
}

bool NameFitsFileSystem(TextView name) { return name.size() <= 255; }

Text AbsoluteFolderPath(const std::string& typed) {
  Text t = FromUtf8(typed);
  for (auto& c : t)
    if (c == u'/') c = u'\\';
  if (t.empty()) return t;
  std::wstring w(t.begin(), t.end());
  DWORD n = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
  if (n == 0) return t;
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(w.c_str(), n, full.data(), nullptr);
  if (n == 0 || n >= full.size()) return t;
  full.resize(n);
  return Text(full.begin(), full.end());
}

File::~File() { Close(); }
File::File(File&& o) noexcept : handle_(o.handle_) { o.handle_ = nullptr; }
File& File::operator=(File&& o) noexcept {
  if (this != &o) { Close(); handle_ = o.handle_; o.handle_ = nullptr; }
  return *this;
}

File File::CreateNew(TextView path, bool writeThrough) {
  File f;
  HANDLE h = CreateFileW(W(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         CREATE_NEW, writeThrough ? FILE_FLAG_WRITE_THROUGH : FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE) f.handle_ = h;
  return f;
}

File File::OpenAlways(TextView path) {
  File f;
  HANDLE h = CreateFileW(W(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE) f.handle_ = h;
  return f;
}

bool File::Valid() const { return handle_ != nullptr; }

bool File::WriteAt(uint64_t offset, const void* data, uint32_t length) {
  if (!handle_) { SetLastErrorCode(kErrorInvalidHandle); return false; }
  OVERLAPPED ov{};
  ov.Offset = static_cast<DWORD>(offset);
  ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD written = 0;
  if (!WriteFile(static_cast<HANDLE>(handle_), data, length, &written, &ov)) return false;
  if (written != length) { SetLastErrorCode(kErrorDiskFull); return false; }
  return true;
}

bool File::Size(uint64_t& size) const {
  LARGE_INTEGER li;
  if (!handle_ || !GetFileSizeEx(static_cast<HANDLE>(handle_), &li)) return false;
  size = static_cast<uint64_t>(li.QuadPart);
  return true;
}

bool File::SetSize(uint64_t size) {
  if (!handle_) { SetLastErrorCode(kErrorInvalidHandle); return false; }
  HANDLE h = static_cast<HANDLE>(handle_);
  LARGE_INTEGER now;
  if (!GetFileSizeEx(h, &now)) return false;
  if (static_cast<uint64_t>(now.QuadPart) == size) return true;
  // Best effort: file systems without sparse files extend with zeros.
  DWORD got = 0;
  DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &got, nullptr);
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(size);
  return SetFilePointerEx(h, to, nullptr, FILE_BEGIN) && SetEndOfFile(h);
}

bool File::SetModificationTime(uint64_t fileTime) {
  if (!handle_) { SetLastErrorCode(kErrorInvalidHandle); return false; }
  FILETIME ft{static_cast<DWORD>(fileTime), static_cast<DWORD>(fileTime >> 32)};
  return SetFileTime(static_cast<HANDLE>(handle_), nullptr, nullptr, &ft) != 0;
}

bool File::FlushAndClose() {
  if (!handle_) { SetLastErrorCode(kErrorInvalidHandle); return false; }
  bool ok = FlushFileBuffers(static_cast<HANDLE>(handle_)) != 0;
  const DWORD flushError = GetLastError();
  if (!Close()) return false;
  if (!ok) SetLastErrorCode(flushError);
  if (const uint32_t injected = g_failFlushes.load()) {
    SetLastErrorCode(injected);
    return false;
  }
  return ok;
}

bool File::Close() {
  if (!handle_) return true;
  BOOL ok = CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
  return ok != 0;
}

namespace {
// One component of a name inside a folder: never a separator, "." or "..".
bool ComponentName(TextView name) {
  if (name.empty() || name == u"." || name == u".." || name.find(u'\\') != TextView::npos ||
      name.find(u'/') != TextView::npos || name.find(u'\0') != TextView::npos) {
    SetLastErrorCode(kErrorInvalidName);
    return false;
  }
  return true;
}
}  // namespace

Folder::~Folder() {
  if (handle_) CloseHandle(static_cast<HANDLE>(handle_));
}
Folder::Folder(Folder&& o) noexcept : path_(std::move(o.path_)), device_(o.device_), handle_(o.handle_) {
  o.handle_ = nullptr;
}
Folder& Folder::operator=(Folder&& o) noexcept {
  if (this != &o) {
    if (handle_) CloseHandle(static_cast<HANDLE>(handle_));
    path_ = std::move(o.path_);
    device_ = o.device_;
    handle_ = o.handle_;
    o.handle_ = nullptr;
  }
  return *this;
}

bool Folder::Valid() const { return handle_ != nullptr; }

Folder Folder::OpenHandle(TextView path, bool refuseReparsePoint) {
  Folder f;
  // No delete sharing: while the handle is open the folder can be neither
  // renamed nor removed, so its path keeps leading to it.
  HANDLE h = CreateFileW(W(path).c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | (refuseReparsePoint ? FILE_FLAG_OPEN_REPARSE_POINT : 0), nullptr);
  if (h == INVALID_HANDLE_VALUE) return f;
  BY_HANDLE_FILE_INFORMATION info;
  uint32_t refusal = 0;
  if (!GetFileInformationByHandle(h, &info)) refusal = GetLastError();
  else if (refuseReparsePoint && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) refusal = kErrorStoppedOnLink;
  else if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) refusal = kErrorNotAFolder;
  if (refusal != 0) {
    CloseHandle(h);
    SetLastErrorCode(refusal);
    return f;
  }
  f.handle_ = h;
  f.path_ = Text(path);
  while (f.path_.size() > 3 && f.path_.back() == u'\\') f.path_.pop_back();
  return f;
}

// The destination as the user named it may be a junction or a mounted
// folder; the folders below it are ours and must be plain folders.
Folder Folder::Open(TextView path) { return OpenHandle(path, false); }

std::wstring Folder::Child(TextView name) const { return W(path_ + u"\\" + Text(name)); }

Folder Folder::OpenChild(TextView name) const {
  if (!handle_ || !ComponentName(name)) return Folder();
  return OpenHandle(path_ + u"\\" + Text(name), true);
}

bool Folder::MakeChild(TextView name) const {
  return handle_ && ComponentName(name) && CreateDirectoryW(Child(name).c_str(), nullptr) != 0;
}

PathKind Folder::KindOf(TextView name) const {
  if (!handle_ || !ComponentName(name)) return PathKind::Missing;
  const DWORD a = GetFileAttributesW(Child(name).c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return PathKind::Missing;
  return (a & FILE_ATTRIBUTE_DIRECTORY) && !(a & FILE_ATTRIBUTE_REPARSE_POINT) ? PathKind::Folder : PathKind::File;
}

File Folder::CreateNewFile(TextView name) const {
  if (!handle_ || !ComponentName(name)) return File();
  return File::CreateNew(path_ + u"\\" + Text(name), false);
}

bool Folder::RenameNoReplace(TextView from, TextView to) const {
  if (!handle_ || !ComponentName(from) || !ComponentName(to)) return false;
  return fs::RenameNoReplace(path_ + u"\\" + Text(from), path_ + u"\\" + Text(to));
}

bool Folder::RemoveFile(TextView name) const {
  return handle_ && ComponentName(name) && DeleteFileW(Child(name).c_str()) != 0;
}

bool Folder::RemoveChild(TextView name) const {
  return handle_ && ComponentName(name) && RemoveDirectoryW(Child(name).c_str()) != 0;
}

bool Folder::FlushFileSystem() const { return FlushFileSystemOf(path_); }

#else

namespace {
uint32_t ErrnoToWin32(int e) {
  switch (e) {
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case ELOOP: return kErrorStoppedOnLink;
    case EACCES: case EPERM: case EROFS: return kErrorAccessDenied;
    case EEXIST: return kErrorFileExists;
    case ENOSPC: case EDQUOT: return kErrorDiskFull;
    case ENAMETOOLONG: case EILSEQ: case EINVAL: return kErrorInvalidName;
    case ENOMEM: return kErrorNotEnoughMemory;
    case EIO: return kErrorReadFault;
    default: return kErrorInvalidFunction;
  }
}
void SetFromErrno() { SetLastErrorCode(ErrnoToWin32(errno)); }
}  // namespace

std::string NativePath(TextView path) {
  std::string s = ToUtf8(path);
  for (auto& c : s)
    if (c == '\\') c = '/';
  return s;
}

PathKind GetPathKind(TextView path) {
  struct stat st;
  if (::stat(NativePath(path).c_str(), &st) != 0) { SetFromErrno(); return PathKind::Missing; }
  return S_ISDIR(st.st_mode) ? PathKind::Folder : PathKind::File;
}

bool CreateFolder(TextView path) {
  if (::mkdir(NativePath(path).c_str(), 0777) != 0) { SetFromErrno(); return false; }
  return true;
}

bool NameExists(TextView path) {
  struct stat st;
  return ::lstat(NativePath(path).c_str(), &st) == 0;
}

bool DiskFreeBytes(TextView root, uint64_t& freeBytes) {
  struct statvfs sv;
  if (::statvfs(NativePath(root).c_str(), &sv) != 0) { SetFromErrno(); return false; }
  freeBytes = static_cast<uint64_t>(sv.f_bavail) * sv.f_frsize;
  return true;
}

bool CopySecurityDescriptor(TextView, const uint8_t*, size_t) { return false; }

bool RemoveFile(TextView path) {
  if (::unlink(NativePath(path).c_str()) != 0) { SetFromErrno(); return false; }
  return true;
}

bool FlushFileSystemOf(TextView folder) {
  const int fd = ::open(NativePath(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) { SetFromErrno(); return false; }
  // syncfs reports write-back errors met since this descriptor was opened
  // (Linux 5.8 on); fsync of the folder alone would miss the files' data.
  bool ok = ::syncfs(fd) == 0;
  if (!ok) SetFromErrno();
  ::close(fd);
  if (const uint32_t injected = g_failFlushes.load()) {
    SetLastErrorCode(injected);
    return false;
  }
  return ok;
}

bool RemoveFolder(TextView path) {
  if (::rmdir(NativePath(path).c_str()) != 0) { SetFromErrno(); return false; }
  return true;
}

bool RenameNoReplace(TextView from, TextView to) {
  // Both names are in one folder: renamed through it.
  const size_t slash = from.rfind(u'\\');
  if (slash == TextView::npos || to.rfind(u'\\') != slash || to.substr(0, slash) != from.substr(0, slash)) {
    SetLastErrorCode(kErrorInvalidParameter);
    return false;
  }
  const Folder folder = Folder::Open(slash == 0 ? TextView(u"\\") : from.substr(0, slash));
  return folder.Valid() && folder.RenameNoReplace(from.substr(slash + 1), to.substr(slash + 1));
}

bool NameFitsFileSystem(TextView name) { return ToUtf8(name).size() <= 255; }

Text AbsoluteFolderPath(const std::string& typed) {
  std::string abs = typed;
  if (!abs.empty() && abs[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd)) abs = std::string(cwd) + "/" + typed;
  }
  Text t = FromUtf8(abs);
  for (auto& c : t)
    if (c == u'/') c = u'\\';
  return t;
}

File::~File() { Close(); }
File::File(File&& o) noexcept : fd_(o.fd_), sync_(o.sync_) { o.fd_ = -1; }
File& File::operator=(File&& o) noexcept {
  if (this != &o) { Close(); fd_ = o.fd_; sync_ = o.sync_; o.fd_ = -1; }
  return *this;
}

File File::CreateNew(TextView path, bool writeThrough) {
  File f;
  // O_EXCL with O_NOFOLLOW semantics: an existing name, even a dangling
  // symbolic link, is never opened or replaced.
  int fd = ::open(NativePath(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) { SetFromErrno(); return f; }
  f.fd_ = fd;
  // Write-through is honoured by flushing once at close; syncing every chunk
  // would cost more than the volume read it follows.
  f.sync_ = writeThrough;
  return f;
}

File File::OpenAlways(TextView path) {
  File f;
  int fd = ::open(NativePath(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) { SetFromErrno(); return f; }
  f.fd_ = fd;
  return f;
}

bool File::Valid() const { return fd_ >= 0; }

bool File::WriteAt(uint64_t offset, const void* data, uint32_t length) {
  if (fd_ < 0) { SetLastErrorCode(kErrorInvalidHandle); return false; }
  const char* p = static_cast<const char*>(data);
  uint32_t done = 0;
  while (done < length) {
    ssize_t n = ::pwrite(fd_, p + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      SetFromErrno();
      return false;
    }
    if (n == 0) { SetLastErrorCode(kErrorDiskFull); return false; }
    done += static_cast<uint32_t>(n);
  }
  return true;
}

bool File::Size(uint64_t& size) const {
  struct stat st;
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return false;
  size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool File::SetSize(uint64_t size) {
  if (fd_ < 0) { SetLastErrorCode(kErrorInvalidHandle); return false; }
  if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) { SetFromErrno(); return false; }
  return true;
}

bool File::SetModificationTime(uint64_t fileTime) {
  if (fd_ < 0) { SetLastErrorCode(kErrorInvalidHandle); return false; }
  int64_t ticks = static_cast<int64_t>(fileTime) - 116444736000000000LL;
  struct timespec ts[2];
  ts[0].tv_sec = 0;
  ts[0].tv_nsec = UTIME_OMIT;
  ts[1].tv_sec = ticks / 10000000;
  ts[1].tv_nsec = (ticks % 10000000) * 100;
  if (ts[1].tv_nsec < 0) { ts[1].tv_nsec += 1000000000; ts[1].tv_sec -= 1; }
  if (::futimens(fd_, ts) != 0) { SetFromErrno(); return false; }
  return true;
}

bool File::FlushAndClose() {
  if (fd_ < 0) { SetLastErrorCode(kErrorInvalidHandle); return false; }
  // Delayed allocation and network file systems report a full disk or an
  // I/O error only here or at close.
  bool ok = ::fsync(fd_) == 0;
  if (!ok) SetFromErrno();
  const int rc = ::close(fd_);
  fd_ = -1;
  if (rc != 0 && ok) { SetFromErrno(); ok = false; }
  if (const uint32_t injected = g_failFlushes.load()) {
    SetLastErrorCode(injected);
    return false;
  }
  return ok;
}

bool File::Close() {
  if (fd_ < 0) return true;
  bool ok = true;
  if (sync_ && ::fdatasync(fd_) != 0) ok = false;
  if (::close(fd_) != 0) ok = false;
  fd_ = -1;
  return ok;
}

namespace {
// One component of a name inside a folder: never a separator, "." or "..".
bool ComponentName(TextView name, std::string& out) {
  out = ToUtf8(name);
  if (out.empty() || out == "." || out == ".." || out.find('/') != std::string::npos ||
      out.find('\0') != std::string::npos) {
    SetLastErrorCode(kErrorInvalidName);
    return false;
  }
  return true;
}
}  // namespace

Folder::~Folder() {
  if (fd_ >= 0) ::close(fd_);
}
Folder::Folder(Folder&& o) noexcept : path_(std::move(o.path_)), device_(o.device_), fd_(o.fd_) { o.fd_ = -1; }
Folder& Folder::operator=(Folder&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    path_ = std::move(o.path_);
    device_ = o.device_;
    fd_ = o.fd_;
    o.fd_ = -1;
  }
  return *this;
}

bool Folder::Valid() const { return fd_ >= 0; }

Folder Folder::Open(TextView path) {
  Folder f;
  const int fd = ::open(NativePath(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    SetFromErrno();
    return f;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    SetFromErrno();
    ::close(fd);
    return f;
  }
  f.fd_ = fd;
  f.device_ = st.st_dev;
  f.path_ = Text(path);
  while (f.path_.size() > 1 && f.path_.back() == u'\\') f.path_.pop_back();
  return f;
}

Folder Folder::OpenChild(TextView name) const {
  Folder f;
  std::string n;
  if (fd_ < 0 || !ComponentName(name, n)) return f;
  const int fd = ::openat(fd_, n.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    const int e = errno;
    struct stat st;
    // O_NOFOLLOW with O_DIRECTORY gives ELOOP or ENOTDIR for a link: ask.
    if ((e == ELOOP || e == ENOTDIR) && ::fstatat(fd_, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
      SetLastErrorCode(S_ISLNK(st.st_mode) ? kErrorStoppedOnLink : kErrorNotAFolder);
    else
      SetLastErrorCode(ErrnoToWin32(e));
    return f;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    SetFromErrno();
    ::close(fd);
    return f;
  }
  f.fd_ = fd;
  f.device_ = st.st_dev;
  f.path_ = path_ + u"\\" + Text(name);
  return f;
}

namespace {

// `call(folder, name)` on one component name below an open folder: false
// (with the error) for a closed folder, a name that is no single
// component, or a failed call.
template <class Call>
bool AtComponent(int folder, TextView name, Call call) {
  std::string n;
  if (folder < 0 || !ComponentName(name, n)) return false;
  if (call(folder, n.c_str()) != 0) { SetFromErrno(); return false; }
  return true;
}

}  // namespace

bool Folder::MakeChild(TextView name) const {
  return AtComponent(fd_, name, [](int at, const char* n) { return ::mkdirat(at, n, 0777); });
}

PathKind Folder::KindOf(TextView name) const {
  std::string n;
  struct stat st;
  if (fd_ < 0 || !ComponentName(name, n)) return PathKind::Missing;
  if (::fstatat(fd_, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) { SetFromErrno(); return PathKind::Missing; }
  return S_ISDIR(st.st_mode) ? PathKind::Folder : PathKind::File;
}

File Folder::CreateNewFile(TextView name) const {
  File f;
  std::string n;
  if (fd_ < 0 || !ComponentName(name, n)) return f;
  // O_EXCL: an existing name, even a dangling link, is never opened.
  const int fd = ::openat(fd_, n.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) { SetFromErrno(); return f; }
  f.fd_ = fd;
  return f;
}

bool Folder::RenameNoReplace(TextView from, TextView to) const {
  std::string a, b;
  if (fd_ < 0 || !ComponentName(from, a) || !ComponentName(to, b)) return false;
  // A hard link never replaces its target; the temporary name goes after.
  if (::linkat(fd_, a.c_str(), fd_, b.c_str(), 0) == 0) {
    ::unlinkat(fd_, a.c_str(), 0);
    return true;
  }
  if (errno == EEXIST) { SetFromErrno(); return false; }
  // File systems without hard links (FAT, exFAT, many FUSE drivers).
#ifdef RENAME_NOREPLACE
  if (::renameat2(fd_, a.c_str(), fd_, b.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) { SetFromErrno(); return false; }
#endif
  // Last resort where neither exists: look, then rename. Only a writer
  // racing us into this very folder could slip in between.
  struct stat st;
  if (::fstatat(fd_, b.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) { SetLastErrorCode(kErrorFileExists); return false; }
  if (::renameat(fd_, a.c_str(), fd_, b.c_str()) != 0) { SetFromErrno(); return false; }
  return true;
}

bool Folder::RemoveFile(TextView name) const {
  return AtComponent(fd_, name, [](int at, const char* n) { return ::unlinkat(at, n, 0); });
}

bool Folder::RemoveChild(TextView name) const {
  return AtComponent(fd_, name, [](int at, const char* n) { return ::unlinkat(at, n, AT_REMOVEDIR); });
}

bool Folder::FlushFileSystem() const {
  if (fd_ < 0) { SetLastErrorCode(kErrorInvalidHandle); return false; }
  // syncfs reports write-back errors met since this descriptor was opened
  // (Linux 5.8 on); fsync of the folder alone would miss the files' data.
  bool ok = ::syncfs(fd_) == 0;
  if (!ok) SetFromErrno();
  if (const uint32_t injected = g_failFlushes.load()) {
    SetLastErrorCode(injected);
    return false;
  }
  return ok;
}

#endif

}  // namespace rv::fs
