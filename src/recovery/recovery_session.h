// One recovery, as both front ends run it: the destination checked by
// every rule and made before the first file, the files grouped by folder
// when the volume's folders are kept and split into requests that fit a
// packet, each request run through the engine's row, every result matched
// to the file it answers for, the flush batch finished, and one outcome
// reported per file. The command line and the window program only say
// what comes back; a later caller (the deep scan, a per-file report) hooks
// in through the file list and the per-file callback.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "channel/outfile.h"
#include "channel/packet.h"
#include "channel/receiver.h"
#include "engines/engines.h"
#include "platform/types.h"

namespace rv {

// Why a destination is refused, in the order the rules are applied.
enum class DestinationProblem {
  None,
  Empty,             // nothing was typed
  OnSearchedVolume,  // recovered files could overwrite the clusters being recovered
  RecycleFolder,     // a recycle folder or recovery bin, which the system empties
  CannotCreate,      // missing and cannot be made
  NotWritable,       // exists (or was made) but no file can be written into it
};

struct DestinationCheck {
  DestinationProblem problem = DestinationProblem::None;
  std::string why;  // OnSearchedVolume: how the two name one volume
  bool Accepted() const { return problem == DestinationProblem::None; }
};

// The rules that need nothing made: empty, on the searched volume
// (`searchedVolume`: the image, device or root the search read; empty when
// unknown), in a recycle folder or recovery bin.
DestinationCheck CheckDestinationRules(const std::string& destination, const std::string& searchedVolume);

// Why a file was not answered by the engine.
enum class Unanswered {
  No,            // the engine answered
  Interrupted,   // the recovery stopped before this file
  NoResult,      // the engine gave no result for it
  NotFramed,     // its request could not be framed (longer than a packet holds)
};

struct FileRecovery {
  size_t index = 0;  // into the files given to Run
  UndeleteOutcome result;  // code 778 when not answered
  Unanswered unanswered = Unanswered::No;
  // The file came back with its clusters after the first guessed.
  bool guessed = false;
  // Written, but every byte written is zero although the file is not empty:
  // the device discarded its clusters once they were freed.
  bool zeroed = false;
  bool Written() const;
};

struct RecoveryOptions {
  bool keepFolders = false;
  // Collisions counted before the extension (the command line) or after
  // the name (the window program).
  bool counterBeforeExtension = false;
  // One flush of the destination's file system for the whole recovery
  // (POSIX): each file keeps its temporary name until then.
  bool flushOnce = false;
  // Largest payload one request may have; lowered only by tests.
  size_t maxPayload = kMaxPayloadLength;
  // The searched volume's root, to tell a guessed FAT recovery by the
  // cluster size.
  Text searchedRoot;
  // Set by whoever stops the recovery (Ctrl-C, Cancel): no further request
  // is started.
  const std::atomic<bool>* stop = nullptr;
  // Sees every output file's bytes as they are written (the report).
  OutputObserver* observer = nullptr;
  // Folders this session made are taken back when no file was written into
  // them; off when another step writes into the destination afterwards.
  bool takeBackEmpty = true;
};

struct RecoveryEvents {
  // Counted from 1 over the whole recovery.
  std::function<void(size_t started, size_t total, const Text& name)> onFileStarted;
  std::function<void(uint32_t percent, const Text& name)> onProgress;
  std::function<void(size_t pending)> onFlushing;
  // The engine's result for file `index` has arrived (its bytes are the
  // ones the observer saw last).
  std::function<void(size_t index)> onResult;
  // Every file asked, in order, once its outcome is final (after the flush).
  std::function<void(const FileRecovery&)> onFile;
};

struct RecoveryReport {
  std::vector<FileRecovery> files;
  // The engine's refusal of a request (its message box), when it gave one:
  // no further request was made.
  MessageBoxText refusal;
  bool Refused() const { return !refusal.text.empty(); }
  size_t whole = 0, partly = 0, zeroed = 0, failed = 0;
};

class RecoverySession {
 public:
  RecoverySession(const EngineRow& engine, std::string destination, RecoveryOptions options);
  ~RecoverySession();
  RecoverySession(const RecoverySession&) = delete;
  RecoverySession& operator=(const RecoverySession&) = delete;

  // Makes the destination (with its parents) where missing and tries
  // writing into it; a refused destination leaves no folder behind.
  DestinationCheck Prepare();
  // Recovers the files into the prepared destination. Folders this session
  // made are taken back when no file was written into them.
  RecoveryReport Run(const std::vector<FoundFile>& files, const RecoveryEvents& events);
  const Text& Destination() const { return destination_; }
  // The destination, opened once by Prepare: every folder and file below it
  // is made through it.
  OutputDestination& Output() { return output_; }

 private:
  void TakeBackIfEmpty();
  const EngineRow& engine_;
  std::string typed_;
  Text destination_;
  RecoveryOptions options_;
  std::vector<Text> made_;
  OutputDestination output_;
};

// The files of `members` (indexes into `files`) split into requests whose
// payload, built by the engine's row for `into`, stays within `maxPayload`.
// A file whose request alone passes the limit is returned in `unframed`.
std::vector<std::vector<size_t>> SplitIntoRequests(const EngineRow& engine, TextView into,
                                                   const std::vector<FoundFile>& files,
                                                   const std::vector<size_t>& members, size_t maxPayload,
                                                   std::vector<size_t>& unframed);

}  // namespace rv
