// recover --report FILE: the core's report of a recovery, fed from the
// recovery's results (see channel/report.h).
#pragma once
#include <map>
#include <string>
#include <vector>

#include "channel/report.h"
#include "cli/commands.h"
#include "cli/session.h"

namespace rv::cli {

class RecoverReport {
 public:
  // Notes the start time and hashes the image (not a device).
  RecoverReport(const RecoverArgs& args, const OpenedVolume& v, const std::string& fileSystem);
  OutputObserver* Observer() { return &observer_; }
  // The result of file `index` of the recovery has arrived: its output's
  // digests are the ones just committed.
  void ResultArrived(size_t index) { digests_[index] = observer_.TakeCommitted(); }
  // Writes the report once the results are final; false (said on stderr)
  // when the file cannot be written.
  bool Write(Engine engine, const std::vector<FoundFile>& chosen, const std::vector<UndeleteOutcome>& results,
             const std::vector<bool>& answered);

 private:
  std::string path_;
  ReportHeader header_;
  DigestingObserver observer_;
  std::map<size_t, DigestingObserver::Digests> digests_;
};

}  // namespace rv::cli
