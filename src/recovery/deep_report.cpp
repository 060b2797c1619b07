#include "recovery/deep_report.h"

namespace rv {

std::string LostId(const lost::LostFile& f) { return std::string(kLostIdPrefix) + std::to_string(f.recordOffset); }

ReportedFile CarvedReportRow(const carve::CarvedFile& f, const FoundFile* entry, const std::string& source,
                             const std::string& id, uint32_t code) {
  ReportedFile row;
  if (entry) row.found = *entry;
  row.found.size = f.length;
  row.path = source;
  row.id = id;
  row.code = code;
  row.runs.push_back({0, f.offset, f.length, false});
  row.runsKnown = true;
  return row;
}

ReportedFile LostReportRow(const lost::LostFile& f, const std::string& source, const std::string& id,
                           const lost::LostRecovery& r, const VolumePlacement& placement) {
  ReportedFile row;
  if (!r.resident.empty())
    row.runs = ResidentByteRuns(r.resident);
  else
    row.runs = ByteRunsOf(placement, r.clusters, r.zeros, f.size);
  row.runsKnown = r.placed && placement.bytesPerCluster != 0;
  row.path = source;
  row.id = id;
  row.found.size = f.size;
  row.found.timeKind = FoundTimeKind::FileTimeUtc;
  row.found.timeValue = f.modified;
  row.code = r.code;
  return row;
}

}  // namespace rv
