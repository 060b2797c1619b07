#include "lost/lost_on_pass.h"

#include <string>

namespace rv::lost {

const char* FoundInText(LostSource source) {
  switch (source) {
    case LostSource::NtfsRecord: return "old MFT record";
    case LostSource::NtfsIndex: return "old folder index";
    case LostSource::FatEntry: return "old FAT folder";
    case LostSource::ExfatSet: return "old exFAT folder";
  }
  return "";
}

LostOnPass::LostOnPass(VolumeSource& source) {
  std::string why;
  on_ = scan_.Open(source, why);
}

void LostOnPass::Attach(carve::ScanOptions& options) {
  if (!on_) return;
  options.freeBytes = [this](uint64_t offset, std::span<const uint8_t> bytes) { scan_.Feed(offset, bytes); };
}

const std::vector<LostFile>& LostOnPass::Files() {
  if (on_ && !finished_) {
    files_ = scan_.Finish();
    for (const LostFile& f : files_)
      if (f.firstCluster != 0 && f.source != LostSource::NtfsIndex) starts_.insert(f.firstCluster);
    finished_ = true;
  }
  return files_;
}

bool LostOnPass::StartsAt(uint64_t cluster) {
  Files();
  return starts_.count(cluster) != 0;
}

}  // namespace rv::lost
