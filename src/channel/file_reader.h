// Reading a found file without recovering it: the engines make these
// readers (each over its own recovery code) and the front ends read
// through them, a file manager's view of a mount or the window's preview.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace rv {

// A stretch of clusters a found file's bytes are read from: `count`
// clusters from `cluster` (numbered as the file system numbers them: FAT
// and exFAT from 2, NTFS from 0) hold the file's bytes from `fileOffset`.
struct ClusterRun {
  uint64_t fileOffset = 0;
  uint64_t cluster = 0;
  uint64_t count = 0;
};

// Bytes [fileOffset, fileOffset + length) of a found file that are on the
// volume from byte `volumeOffset`.
struct StoredPiece {
  uint64_t fileOffset = 0;
  uint64_t volumeOffset = 0;
  uint64_t length = 0;
};

// Bytes [fileOffset, fileOffset + length) of a found file that read as
// zeros whatever the volume holds there: a sparse file's holes, and the
// bytes past its valid data length (NTFS's initialized size, exFAT's valid
// data length), which were never written.
struct ZeroSpan {
  uint64_t fileOffset = 0;
  uint64_t length = 0;
};

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
  // The clusters the bytes are read from, in file order, as the recovery
  // reads them (guessed ones included); holes and resident data are not
  // in them. Empty where the reader does not know.
  virtual std::vector<ClusterRun> ClusterRuns() const { return {}; }
  // The stretches that read as zeros (see ZeroSpan), in file order. They
  // may overlap ClusterRuns(): the clusters past the valid data length are
  // the file's, but what they hold is not its bytes.
  virtual std::vector<ZeroSpan> ZeroSpans() const { return {}; }
  // Data kept in the file's own record (NTFS resident data): where on the
  // volume its bytes are, in file order. Empty for other data, or where the
  // record's place is not known.
  virtual std::vector<StoredPiece> ResidentPieces() const { return {}; }
};

// A reader over a recovery's own pieces: the file is made piece by piece
// on a fixed grid (the chunks or compression units its recovery writes),
// and the piece made last is kept, so reads in small steps make each piece
// once.
class GridFileReader : public FoundFileReader {
 public:
  uint64_t Size() const override { return size_; }
  bool ReadAt(uint64_t offset, uint8_t* dest, size_t length, size_t& got) override;

 protected:
  GridFileReader(uint64_t size, uint64_t grid) : size_(size), grid_(grid == 0 ? 1 : grid) {}
  // For readers that learn their grid while they are made.
  void Regrid(uint64_t grid) {
    grid_ = grid == 0 ? 1 : grid;
    piece_ = nullptr;
  }
  // The bytes of the piece at `start` (on the grid), `length` of them (the
  // last piece may be short); null on a read error.
  virtual const uint8_t* MakePiece(uint64_t start, uint64_t length) = 0;
  uint64_t size_;

 private:
  uint64_t grid_;
  const uint8_t* piece_ = nullptr;
  uint64_t pieceStart_ = 0;
};

}  // namespace rv
