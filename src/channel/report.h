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

#include "channel/outfile.h"
#include "channel/receiver.h"
#include "platform/digest.h"

namespace rv {

enum class ReportFormat { Csv, Dfxml, Sha256Sums };
// By the name's extension (any case): ".xml" DFXML, ".sha256" the
// checksum list, anything else CSV.
ReportFormat ReportFormatFor(const std::string& path);

struct ReportHeader {
  std::string volume;        // as the user named it
  std::string volumeSha256;  // of the image file; empty for a device
  std::string fileSystem;
  std::string tool;          // "retriva 0.1 (revision)"
  std::string commandLine;
  std::string started, ended;  // ISO 8601, UTC
};

struct ReportedFile {
  std::string path;  // inside the volume
  std::string id;    // as `recover --id` takes it
  FoundFile found;   // size and times as the search listed them
  uint32_t code = 0;
  std::string output;  // empty when nothing was written
  std::string md5, sha256;  // of the bytes written; empty when none
  uint64_t written = 0;     // bytes of the output
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
