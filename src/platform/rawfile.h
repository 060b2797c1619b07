// A file or block device opened read-only, read at explicit offsets: what
// an image file or a disk holding a volume is read through.
#pragma once
#include <cstdint>

#include "platform/types.h"

namespace rv::fs {

class RawReader {
 public:
  RawReader() = default;
  ~RawReader();
  RawReader(const RawReader&) = delete;
  RawReader& operator=(const RawReader&) = delete;
  RawReader(RawReader&& o) noexcept;
  RawReader& operator=(RawReader&& o) noexcept;

  // Opens a regular file or a block device (on Windows, anything that is a
  // disk file). A FIFO, socket, terminal or other character device, or a
  // folder, is refused with kErrorNotSupported before a byte is read; a
  // FIFO without a writer does not block the open.
  static RawReader Open(TextView path, uint32_t& error);

  bool Valid() const;
  // The file's length, or the device's size.
  uint64_t SizeBytes() const { return size_; }
  // A device's logical sector size; 0 for a file, which has none.
  uint32_t DeviceSectorSize() const { return deviceSector_; }
  // Reads exactly `length` bytes at `offset`. A short read (the end of a
  // truncated image, a failing device) is a failed read, with
  // kErrorHandleEof; an I/O error sets kErrorCrc.
  bool ReadAt(uint64_t offset, void* buffer, uint32_t length) const;
  // Tells the system these bytes will be read soon, so that their reads
  // can overlap others (POSIX_FADV_WILLNEED); nothing on Windows.
  void WillRead(uint64_t offset, uint64_t length) const;

 private:
  void Close();
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
  uint64_t size_ = 0;
  uint32_t deviceSector_ = 0;
};

}  // namespace rv::fs
