// A file or block device opened read-only, read at explicit offsets: what
// an image file or a disk holding a volume is read through.
#pragma once
#include <atomic>
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
  // ReadAt for bytes read once, front to back, by a pass over the whole
  // volume: what the system's cache holds is copied from it, the rest is
  // read past the cache (O_DIRECT), so that a pass over a volume larger
  // than memory neither evicts the cache nor pays for filling it. Reads
  // through the cache where the offset, length or buffer is not
  // kDirectAlignment-aligned or the file system refuses direct reads.
  bool ReadOnceAt(uint64_t offset, void* buffer, uint32_t length) const;
  static constexpr uint32_t kDirectAlignment = 4096;
  // Tells the system these bytes will be read soon, so that their reads
  // can overlap others (POSIX_FADV_WILLNEED); nothing on Windows.
  void WillRead(uint64_t offset, uint64_t length) const;

 private:
  void Close();
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
  // The same file opened for direct reads (-1 when it cannot be), and
  // whether one has been refused, when every read goes through the cache.
  int directFd_ = -1;
  mutable std::atomic<bool> directRefused_{false};
#endif
  uint64_t size_ = 0;
  uint32_t deviceSector_ = 0;
};

}  // namespace rv::fs
