// Files on the destination side (recovered output, the diagnostic log).
// Paths are UTF-16 with "\" as separator everywhere in the core; on POSIX the
// layer turns them into UTF-8 with "/" only at the system call.
#pragma once
#include <cstdint>
#include <string>

#include "platform/types.h"

namespace rv::fs {

enum class PathKind { Missing, File, Folder };

PathKind GetPathKind(TextView path);   // GetFileAttributesW
bool CreateFolder(TextView path);      // CreateDirectoryW, default security
bool NameExists(TextView path);        // FindFirstFileW finds something
// GetDiskFreeSpaceExW: bytes free to the caller on the volume of `root`.
bool DiskFreeBytes(TextView root, uint64_t& freeBytes);
// Gives a file the owner, group, SACL (when the descriptor's control says
// it holds one) and DACL of a self-relative security descriptor, each
// while the one before succeeded (SetFileSecurityW). Windows only; POSIX
// files keep what the destination gives them.
bool CopySecurityDescriptor(TextView path, const uint8_t* descriptor, size_t size);
// Removes a file or an empty folder; false when it could not be removed.
bool RemoveFile(TextView path);
bool RemoveFolder(TextView path);
// Gives the file `from` the name `to` in the same folder without ever
// replacing anything at `to` (kErrorFileExists when the name is taken).
bool RenameNoReplace(TextView from, TextView to);
// Longest single name the destination's file systems take: 255 UTF-16
// units on Windows, 255 UTF-8 bytes on POSIX.
bool NameFitsFileSystem(TextView name);
// The folder a user typed as an absolute path with "\" separators:
// relative names are taken from the current folder, "/" becomes "\".
Text AbsoluteFolderPath(const std::string& typed);

#ifndef _WIN32
std::string NativePath(TextView path);
#endif

// Flushes every file written on the file system that holds `folder` to its
// device (syncfs): one flush for a batch of files closed unflushed. False
// when the flush failed or the system has no such call.
bool FlushFileSystemOf(TextView folder);

// Test seam: while set (non-zero), every FlushAndClose fails with this
// error after closing, as a full disk or an I/O error found at the final
// flush would.
void FailFlushesForTesting(uint32_t error);

// A file opened for writing at explicit offsets; closed by its destructor.
class File {
 public:
  File() = default;
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& o) noexcept;
  File& operator=(File&& o) noexcept;

  // CREATE_NEW: fails with kErrorFileExists when the name is taken, never
  // replaces anything.
  static File CreateNew(TextView path, bool writeThrough);
  // OPEN_ALWAYS, for appending to the diagnostic log.
  static File OpenAlways(TextView path);

  bool Valid() const;
  bool WriteAt(uint64_t offset, const void* data, uint32_t length);
  bool Size(uint64_t& size) const;
  // Sets the last-modification time (FILETIME) through the open handle, so
  // the time lands on this file whatever its name comes to mean.
  bool SetModificationTime(uint64_t fileTime);
  // Sets the file's length; bytes never written read as zeros. On Windows
  // the file is made sparse first, so a length past the written data
  // allocates nothing; POSIX files are sparse wherever nothing was written.
  bool SetSize(uint64_t size);
  // Flushes the file's bytes to the device and closes it: true only when
  // both succeeded (a full disk or an I/O error may first show here).
  bool FlushAndClose();
  bool Close();

 private:
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
  bool sync_ = false;
#endif
  friend class Folder;
};

// A folder held open. Names inside it are made, opened, renamed and
// removed through the handle and never through a link or reparse point, so
// whatever later happens to the path that led here (a parent renamed, or
// swapped for a link to somewhere else), nothing lands outside the folder.
// On Linux every call is relative to the folder's descriptor (openat,
// mkdirat, renameat2, unlinkat). Win32 creates files only by path, so
// there the handle is held without delete sharing: while it is open the
// folder can be neither renamed nor removed, and its path keeps naming it.
// Names are single components (no separator); a name holding one fails.
class Folder {
 public:
  Folder() = default;
  ~Folder();
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  Folder(Folder&& o) noexcept;
  Folder& operator=(Folder&& o) noexcept;

  // The folder a user named: links on the way to it are followed, once.
  static Folder Open(TextView path);
  // A folder inside this one. A link or reparse point in its place fails
  // with kErrorStoppedOnLink, anything else that is not a folder with
  // kErrorNotAFolder.
  Folder OpenChild(TextView name) const;
  bool MakeChild(TextView name) const;
  // What the name holds, not following a link: a link is a File (a name
  // taken by something that is not a folder).
  PathKind KindOf(TextView name) const;
  bool Exists(TextView name) const { return KindOf(name) != PathKind::Missing; }
  // A new file, never replacing anything nor opening through a link.
  File CreateNewFile(TextView name) const;
  // `from` takes the name `to`, both in this folder, never replacing
  // anything at `to` (kErrorFileExists when the name is taken).
  bool RenameNoReplace(TextView from, TextView to) const;
  bool RemoveFile(TextView name) const;
  bool RemoveChild(TextView name) const;
  // syncfs of the folder's file system (false on Windows, as
  // FlushFileSystemOf).
  bool FlushFileSystem() const;
  // Which file system holds the folder (POSIX st_dev; 0 on Windows).
  uint64_t Device() const { return device_; }

  bool Valid() const;
  // The folder's path as reports show it.
  const Text& Path() const { return path_; }

 private:
  Text path_;
  uint64_t device_ = 0;
#ifdef _WIN32
  void* handle_ = nullptr;
  static Folder OpenHandle(TextView path, bool refuseReparsePoint);
  std::wstring Child(TextView name) const;
#else
  int fd_ = -1;
#endif
};

}  // namespace rv::fs
