// The report of a recovery, for an examiner to file and anyone to check:
// per file its path on the volume, id, size, times, result code, output
// path and the MD5 and SHA-256 of the bytes written, hashed as they are
// written (the report observes the output files; nothing is read back).
// CSV, DFXML (by a ".xml" name) or the `sha256sum -c` form (".sha256").
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "channel/file_reader.h"
#include "channel/outfile.h"
#include "channel/receiver.h"
#include "platform/digest.h"

namespace rv {

enum class ReportFormat { Csv, Dfxml, Sha256Sums };
// By the name's extension (any case): ".xml" DFXML, ".sha256" the
// checksum list, anything else CSV.
ReportFormat ReportFormatFor(const std::string& path);

// Where the searched volume's clusters lie, to give a file's clusters as
// byte offsets: of the file system (fs_offset) and of the image it was
// read from (img_offset, past the partition's start).
struct VolumePlacement {
  uint64_t bytesPerCluster = 0;     // 0: unknown, no byte runs
  uint64_t firstClusterOffset = 0;  // volume byte offset of the first data cluster
  uint64_t firstClusterNumber = 0;  // its number: 2 on FAT and exFAT, 0 on NTFS
  uint64_t offsetInImage = 0;       // the volume's first byte in the image (--partition, --offset)
};

// One stretch of a file's bytes (DFXML's byte_run): `length` bytes from
// `fileOffset` are on the volume at `fsOffset`, or, with `zeros`, read as
// zeros and are stored nowhere (a hole, or past the valid data length).
// `resident`: the bytes are kept in the file's own record (NTFS).
struct ByteRun {
  uint64_t fileOffset = 0;
  uint64_t fsOffset = 0;
  uint64_t length = 0;
  bool zeros = false;
  bool resident = false;
};

// A found file's byte runs in file order, from the clusters its reader
// reads and the spans that read as zeros, cut at `size`: the last cluster's
// slack is not the file's, and a cluster past the valid data length holds
// no byte of it. Empty when `placement` is unknown.
std::vector<ByteRun> ByteRunsOf(const VolumePlacement& placement, const std::vector<ClusterRun>& clusters,
                                const std::vector<ZeroSpan>& zeros, uint64_t size);

// Resident data's pieces as byte runs of type "resident".
std::vector<ByteRun> ResidentByteRuns(const std::vector<StoredPiece>& pieces);
// The byte runs of the file `reader` reads: its resident data where its
// record holds it, else ByteRunsOf its clusters. `known` is false where
// the reader cannot say (compressed data, a record whose place is not known,
// every cluster taken since).
std::vector<ByteRun> ReaderByteRuns(const VolumePlacement& placement, const FoundFileReader& reader, bool& known);

struct ReportHeader {
  std::string volume;        // as the user named it
  std::string volumeSha256;  // of the image file; empty for a device
  std::string fileSystem;
  std::string tool;          // "retriva 0.1 (revision)"
  std::string commandLine;
  std::string started, ended;  // ISO 8601, UTC
  VolumePlacement placement;
};

struct ReportedFile {
  std::string path;  // inside the volume
  std::string id;    // as `recover --id` takes it
  FoundFile found;   // size and times as the search listed them
  uint32_t code = 0;
  std::string output;  // empty when nothing was written
  std::string md5, sha256;  // of the bytes written; empty when none
  uint64_t written = 0;     // bytes of the output
  // Where its bytes lie on the volume; `runsKnown` false where that is not
  // known (resident or compressed NTFS data, records of an old file system).
  std::vector<ByteRun> runs;
  bool runsKnown = false;
};

// The digests of each output file as the engine writes it. Gaps (holes)
// are hashed as the zeros they read as; a write that goes back over bytes
// already hashed leaves that file without digests.
class DigestingObserver : public OutputObserver {
 public:
  void Began() override;
  void Wrote(uint64_t offset, const void* data, size_t length) override;
  void Sized(uint64_t size) override;
  void Committed(const Text& outputName) override;
  struct Digests {
    std::string md5, sha256;
    uint64_t bytes = 0;
  };
  // The digests of the file committed last, once (empty after).
  Digests TakeCommitted();

 private:
  void Zeros(uint64_t to);
  Md5 md5_;
  Sha256 sha256_;
  uint64_t at_ = 0;
  bool valid_ = false;
  Digests committed_;
};

// The report in `format` into `out`.
std::string ReportText(ReportFormat format, const ReportHeader& header, const std::vector<ReportedFile>& files);
// SHA-256 of a whole file (the searched image); false when it cannot be read.
bool FileSha256(const std::string& path, std::string& hex);
// Now, UTC, ISO 8601 to the second with "Z".
std::string UtcNowText();

}  // namespace rv
