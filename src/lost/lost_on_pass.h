// The scanners of old records riding on the deep scan's pass: every free
// stretch the pass reads is fed to them, and once it is over they give the
// files of the old file system and where their data starts. A carved file
// that starts at the first cluster of such a file is that file, not a
// second one.
#pragma once
#include <cstdint>
#include <set>
#include <vector>

#include "carve/scan.h"
#include "lost/lost_file.h"
#include "lost/lost_scan.h"
#include "volume/source.h"

namespace rv::lost {

// Where the old file was found: "old MFT record", "old FAT folder", ...
const char* FoundInText(LostSource source);

class LostOnPass {
 public:
  // Off (lists nothing) when the volume holds no file system to scan.
  explicit LostOnPass(VolumeSource& source);
  void Attach(carve::ScanOptions& options);
  // After the pass: the files found (the scan is finished once).
  const std::vector<LostFile>& Files();
  // Whether an old file's data starts at `cluster` (numbered as the file
  // system numbers clusters).
  bool StartsAt(uint64_t cluster);

 private:
  LostRecordScan scan_;
  bool on_ = false, finished_ = false;
  std::vector<LostFile> files_;
  std::set<uint64_t> starts_;
};

}  // namespace rv::lost
