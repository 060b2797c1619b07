// The deep scan: one sequential pass over a volume looking for files by
// their format where files start (cluster boundaries of the file system
// found, sector boundaries where there is none), in the clusters the file
// system shows free, measured by the format table (carve/formats.h).
//
// The scan reads the volume once, front to back, in blocks of kBlockBytes
// aligned to pages; a candidate is measured through a BoundedReader
// over the volume from its start, and the scan then resumes after what the
// file was found to hold, so a photo's clusters are read once by its
// validator and never searched for starts. Memory is the block, the
// validator's window and a window of the allocation bitmap, whatever the
// volume's size.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "carve/formats.h"
#include "platform/types.h"
#include "volume/ondisk.h"
#include "volume/source.h"

namespace rv::carve {

// Where files may start on the volume.
struct VolumeLayout {
  FsFamily family = FsFamily::Unknown;  // Unknown: no file system, sectors
  uint64_t unitBytes = 0;        // the cluster size; the sector size without a file system
  uint64_t firstUnitOffset = 0;  // byte offset of unit 0 (FAT's data area, exFAT's cluster heap; 0 on NTFS)
  uint64_t unitCount = 0;
  // The number the file system gives unit 0 (2 on FAT and exFAT, 0 on NTFS
  // and for sectors): names and locators use the file system's numbers.
  uint64_t firstUnitNumber = 0;

  uint64_t UnitOffset(uint64_t unit) const { return firstUnitOffset + unit * unitBytes; }
};

// The layout of the file system on `source`, or of its sectors when none
// is recognised. False (with `why`) only for a volume too damaged to tell.
bool ReadLayout(VolumeSource& source, VolumeLayout& out, std::string& why);

// A deleted file another search lists (the engines', or old records found
// in free space): where it starts and how many clusters from there it
// accounts for. A carved file starting at `firstCluster` is that file and
// takes its name and folder; the clusters after the first are not searched
// for starts.
struct KnownFile {
  uint64_t firstCluster = 0;  // as the file system numbers it
  uint64_t clusters = 0;
  Text name;    // the file's name
  Text folder;  // "\a\b\"
  uint64_t tag = 0;  // the caller's own reference, handed back
};

struct CarvedFile {
  uint64_t offset = 0;   // byte offset of its first byte on the volume
  uint64_t cluster = 0;  // the cluster (sector without a file system) it starts at, as numbered on the volume
  uint64_t length = 0;   // bytes it holds: its whole length, or the valid part of a truncated one
  const FormatRow* row = nullptr;
  const char* extension = nullptr;
  bool truncated = false;          // the start is certain, the end is not: `length` is the valid part
  const KnownFile* known = nullptr;  // the deleted file it is, when one starts there
};

// "f0001234.jpg": the cluster (or sector) the file starts at, and its
// extension, as carvers name what they find.
std::string CarvedName(const CarvedFile& f);
// What `--id` takes for a carved file: "deep:<cluster>".
std::string CarvedId(const CarvedFile& f);
constexpr std::string_view kCarvedIdPrefix = "deep:";

struct ScanOptions {
  // Extensions to keep ("jpg", "docx"); empty: every format.
  std::vector<std::string> types;
  std::vector<KnownFile> known;
  // Called after every block with the bytes of the scanned range passed.
  std::function<void(uint64_t done, uint64_t total)> progress;
  const std::atomic<bool>* stop = nullptr;
  // Handed each stretch of free clusters the pass reads, in volume order:
  // the scanners of old records (src/lost) ride on the same reads.
  std::function<void(uint64_t offset, std::span<const uint8_t> bytes)> freeBytes;
  // The files found are read again right after the pass (recovered or
  // mounted): the pass reads through the system's cache, which keeps them.
  // Otherwise it reads what the cache does not hold past it
  // (VolumeSource::ReadOnce), as a pass over a volume larger than memory
  // should.
  bool keepInCache = false;
};

enum class ScanStatus { Done, Stopped, ReadFailed };

// A truncated file is kept only when this much of it is valid: less is a
// header whose body is gone.
constexpr uint64_t kMinTruncatedBytes = 4096;
constexpr uint32_t kBlockBytes = 4u << 20;

// Runs the scan; `found` sees each carved file in volume order. On
// ReadFailed `error` names the place that could not be read.
ScanStatus DeepScan(VolumeSource& source, const VolumeLayout& layout, const ScanOptions& options,
                    const std::function<void(const CarvedFile&)>& found, std::string& error);

// The volume's bytes from `start` for `length` bytes, as a ByteSource: what
// the measure functions and the recovery of a carved file read.
class VolumeBytes : public ByteSource {
 public:
  VolumeBytes(VolumeSource& source, uint64_t start, uint64_t length) : source_(source), start_(start), length_(length) {}
  uint64_t Size() const override { return length_; }
  bool ReadAt(uint64_t offset, uint8_t* out, size_t length) override;

 private:
  VolumeSource& source_;
  uint64_t start_, length_;
};

}  // namespace rv::carve
