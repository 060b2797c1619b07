// The report of one recovery (CSV, DFXML or sha256sum lines; see
// channel/report.h), fed by the recovery session as it writes: the
// observer hashes each output file on its way to the destination, and the
// report is made once the session's outcomes are final. The command line
// writes it where --report says; the window program beside the recovered
// files.
#pragma once
#include <map>
#include <string>
#include <vector>

#include "channel/outfile.h"
#include "channel/report.h"
#include "engines/engines.h"
#include "recovery/recovery_session.h"

namespace rv {

// What `retriva recover --id` takes for a found file: "RECORD" on NTFS
// ("RECORD:STREAM" for a named data stream), "LOCATOR:INDEX" on FAT and
// exFAT.
std::string FoundFileId(const FoundFile& f, const EngineRow* engine);
// Whether the file has an index: the FAT entry index, or the number of an
// NTFS named data stream.
bool FoundFileHasIndex(const FoundFile& f, const EngineRow* engine);

class RecoveryReportFile {
 public:
  // `header` names the volume, its file system, the tool and the command
  // line; the start time is now.
  explicit RecoveryReportFile(ReportHeader header);
  // For RecoveryOptions::observer.
  OutputObserver* Observer() { return &observer_; }
  // For RecoveryEvents::onResult: the result of file `index` has arrived,
  // so the digests committed last are its output's.
  void ResultArrived(size_t index) { digests_[index] = observer_.TakeCommitted(); }
  // Before the recovery, while the engine still knows the volume as its
  // search left it: where the bytes of each of `files` lie (DFXML's
  // byte_runs), as the engine's reader of the file reads them.
  void NoteByteRuns(const EngineRow& engine, const std::vector<FoundFile>& files);
  // The digests of the file written last outside the session (a carved
  // file), once.
  DigestingObserver::Digests TakeDigests() { return observer_.TakeCommitted(); }
  // A file recovered outside the session (a deep-scan file), reported
  // after the session's: written as `output` (empty when it was not), with
  // the digests taken when it was written.
  void Add(ReportedFile file, const std::string& output, const DigestingObserver::Digests& digests);
  const ReportHeader& Header() const { return header_; }
  // The report of `files` as the session `done` left them, then the files
  // added; the end time is now.
  std::string Text(ReportFormat format, const EngineRow* engine, const std::vector<FoundFile>& files,
                   const RecoveryReport& done);

 private:
  struct Runs {
    std::vector<ByteRun> runs;
    bool known = false;
  };
  ReportHeader header_;
  DigestingObserver observer_;
  std::map<size_t, DigestingObserver::Digests> digests_;
  std::map<size_t, Runs> runs_;
  std::vector<ReportedFile> added_;
};

// `text` as a new file `name` in the open destination, never replacing a
// file (counted before the extension, as "Report;1.csv"); `written` gets
// its path. False when it cannot be written.
bool WriteNewFileIn(OutputDestination& destination, TextView name, const std::string& text, rv::Text& written);

}  // namespace rv
