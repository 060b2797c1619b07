#include "recovery/truncation.h"

#include "volume/ondisk.h"

namespace rv {

Truncation CheckTruncation(VolumeSource* source, const std::string& display, std::string& text) {
  if (!source || !source->OnDisk().Recognised()) return Truncation::None;
  const FsFacts& facts = source->OnDisk().Facts();
  const uint64_t claimed = facts.totalSectors * facts.bytesPerSector, actual = source->SizeBytes();
  if (claimed <= actual || actual == 0) return Truncation::None;
  // NTFS says nothing here of where its clusters end: every missing byte counts.
  const bool tailOnly =
      (facts.family == FsFamily::Fat || facts.family == FsFamily::Exfat) && facts.clusterAreaEndBytes <= actual;
  if (tailOnly) {
    text = display + ": the image is " + std::to_string(claimed - actual) +
           " bytes shorter than the file system describes, all past its last cluster: every cluster is read";
    return Truncation::TailOnly;
  }
  text = display + ": the volume is truncated: the file system describes " + std::to_string(claimed) +
         " bytes, the image holds " + std::to_string(actual);
  return Truncation::ClustersCut;
}

}  // namespace rv
