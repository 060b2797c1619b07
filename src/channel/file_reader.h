// Reading a found file without recovering it: the engines make these
// readers (each over its own recovery code) and the front ends read
// through them, a file manager's view of a mount or the window's preview.
#pragma once
#include <cstddef>
#include <cstdint>

namespace rv {

// A found file's bytes, read into memory exactly as a recovery would write
// them: holes and the never-written tail as zeros, compressed data
// decompressed, '*' where a cluster is in use now, FAT's guessed clusters
// as undelete guesses them. Nothing is written anywhere. Made by the
// engine that listed the file, after its search, on the volume that search
// set up; reads go through that engine's process-wide volume record, so
// callers hold the engine table's EngineLock() around every call
// (ReadFoundFileRange does).
class FoundFileReader {
 public:
  virtual ~FoundFileReader() = default;
  // The bytes a recovery writes: the file's size, cut where it runs past
  // the volume.
  virtual uint64_t Size() const = 0;
  // Bytes [offset, offset + length) into `dest`, cut at Size(); `got` the
  // count. False when the volume could not be read.
  virtual bool ReadAt(uint64_t offset, uint8_t* dest, size_t length, size_t& got) = 0;
  // The clusters after the first are a guess (a FAT chain that is gone).
  virtual bool Guessed() const { return false; }
};

}  // namespace rv
