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
};

}  // namespace rv::fs
