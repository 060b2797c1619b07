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
// Sets the last-modification time (FILETIME) of an existing file.
bool SetModificationTime(TextView path, uint64_t fileTime);

#ifndef _WIN32
std::string NativePath(TextView path);
#endif

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
