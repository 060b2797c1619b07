// recover --report FILE: the core's report of a recovery, written where
// the option says (see recovery/recovery_report.h).
#pragma once
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/session.h"
#include "recovery/recovery_report.h"

namespace rv::cli {

class RecoverReport {
 public:
  // Notes the start time and hashes the image (not a device).
  RecoverReport(const RecoverArgs& args, const OpenedVolume& v, const std::string& fileSystem);
  OutputObserver* Observer() { return report_.Observer(); }
  void ResultArrived(size_t index) { report_.ResultArrived(index); }
  // Before the recovery: where the chosen files' bytes lie, for DFXML.
  void NoteByteRuns(Engine engine, const std::vector<FoundFile>& chosen);
  // How the volume's clusters lie, for byte runs.
  const VolumePlacement& Placement() const { return report_.Header().placement; }
  // The digests of the file the deep scan wrote last, once.
  DigestingObserver::Digests TakeDigests() { return report_.TakeDigests(); }
  // A file the deep scan wrote (a carved file, an old record's) or failed
  // to: `output` empty when none was written, `digests` its bytes'.
  void AddDeepFile(ReportedFile file, const std::string& output, const DigestingObserver::Digests& digests);
  // Writes the report once the results are final; false (said on stderr)
  // when the file cannot be written.
  bool Write(Engine engine, const std::vector<FoundFile>& chosen, const RecoveryReport& done);

 private:
  static ReportHeader HeaderOf(const RecoverArgs& args, const OpenedVolume& v, const std::string& fileSystem);
  std::string path_;
  RecoveryReportFile report_;
};

}  // namespace rv::cli
