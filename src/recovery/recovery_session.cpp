#include "recovery/recovery_session.h"

#include <map>
#include <memory>

#include "channel/destination.h"
#include "channel/messages.h"
#include "channel/outfile.h"
#include "platform/files.h"
#include "platform/samevolume.h"
#include "platform/text.h"
#include "volume/osvolume.h"

namespace rv {

bool FileRecovery::Written() const {
  return result.code == kResultRecovered || result.code == kResultPartlyInUse;
}

DestinationCheck CheckDestinationRules(const std::string& destination, const std::string& searchedVolume) {
  DestinationCheck check;
  if (destination.empty()) {
    check.problem = DestinationProblem::Empty;
    return check;
  }
  if (!searchedVolume.empty() && DestinationIsOnVolume(destination, searchedVolume, check.why)) {
    check.problem = DestinationProblem::OnSearchedVolume;
    return check;
  }
  check.why.clear();
  std::u16string inside;
  if (PathInsideVolume(destination, inside) && BeginsWithRecycleFolder(inside))
    check.problem = DestinationProblem::RecycleFolder;
  return check;
}

std::vector<std::vector<size_t>> SplitIntoRequests(const EngineRow& engine, TextView into,
                                                   const std::vector<FoundFile>& files,
                                                   const std::vector<size_t>& members, size_t maxPayload,
                                                   std::vector<size_t>& unframed) {
  // A request is the destination, one record per file and an end mark, so
  // its length is that of the empty request plus each file's record.
  const size_t base = engine.undeleteRequest(into, {}).size();
  std::vector<std::vector<size_t>> requests;
  size_t length = base;
  for (size_t i : members) {
    const size_t record = engine.undeleteRequest(into, {files[i]}).size() - base;
    if (base > maxPayload || record > maxPayload - base) {
      unframed.push_back(i);
      continue;
    }
    if (requests.empty() || record > maxPayload - length) {
      requests.emplace_back();
      length = base;
    }
    requests.back().push_back(i);
    length += record;
  }
  return requests;
}

RecoverySession::RecoverySession(const EngineRow& engine, std::string destination, RecoveryOptions options)
    : engine_(engine), typed_(std::move(destination)), options_(std::move(options)) {}

RecoverySession::~RecoverySession() = default;

DestinationCheck RecoverySession::Prepare() {
  DestinationCheck check;
  if (typed_.empty()) {
    check.problem = DestinationProblem::Empty;
    return check;
  }
  destination_ = fs::AbsoluteFolderPath(typed_);
  // Opened once: every folder and file of the recovery is made through it.
  if (!output_.Open(destination_, &made_)) {
    TakeBackIfEmpty();
    check.problem = DestinationProblem::CannotCreate;
    return check;
  }
  OutputOptions probing;
  probing.destination = &output_;
  ScopedOutputOptions scope(probing);
  OutputFile probe;
  if (probe.Create(destination_, u"probe") != kOutputCreated) {
    probe.Discard();
    TakeBackIfEmpty();
    check.problem = DestinationProblem::NotWritable;
  }
  return check;
}

void RecoverySession::TakeBackIfEmpty() {
  // Handles closed first: Win32 removes no folder that is open.
  output_.Close();
  // Only folders this session made, innermost first; one that holds
  // anything (a kept folder, another writer's file) stays.
  for (auto it = made_.rbegin(); it != made_.rend(); ++it) fs::RemoveFolder(*it);
  made_.clear();
}

namespace {

bool Stopped(const RecoveryOptions& options) { return options.stop && options.stop->load(); }

// Results of one request matched to the files it asked for, in order: a
// file's streams answer in request order, so the first file not yet
// answered that the result is for takes it.
class ResultMatcher {
 public:
  ResultMatcher(const EngineRow& engine, const std::vector<FoundFile>& files, std::vector<FileRecovery>& out,
                std::function<void(size_t)> onAnswer)
      : engine_(engine), files_(files), out_(out), onAnswer_(std::move(onAnswer)) {}
  void Ask(const std::vector<size_t>& request) { request_ = &request; }
  void Take(const UndeleteOutcome& r) {
    for (size_t i : *request_) {
      FileRecovery& f = out_[i];
      if (f.unanswered != Unanswered::NoResult || !engine_.resultIsFor(files_[i], r)) continue;
      f.result = r;
      f.unanswered = Unanswered::No;
      if (onAnswer_) onAnswer_(i);
      return;
    }
  }

 private:
  const EngineRow& engine_;
  const std::vector<FoundFile>& files_;
  std::vector<FileRecovery>& out_;
  std::function<void(size_t)> onAnswer_;
  const std::vector<size_t>* request_ = nullptr;
};

// Flat: one group for every file. Keeping folders: one group per folder of
// the volume, in the order the files were found.
std::vector<std::pair<Text, std::vector<size_t>>> GroupByFolder(const std::vector<FoundFile>& files, bool keep) {
  std::vector<std::pair<Text, std::vector<size_t>>> groups;
  std::map<Text, size_t> at;
  for (size_t i = 0; i < files.size(); ++i) {
    const Text key = keep ? files[i].folder : Text();
    auto [it, added] = at.emplace(key, groups.size());
    if (added) groups.push_back({key, {}});
    groups[it->second].second.push_back(i);
  }
  return groups;
}

// Files the batch did not give the name their result promised.
void ApplyBatchNames(const std::map<Text, CommitBatch::Named>& named, std::vector<FileRecovery>& out) {
  if (named.empty()) return;
  for (auto& f : out) {
    if (f.unanswered != Unanswered::No || f.result.output.empty()) continue;
    const auto it = named.find(f.result.output);
    if (it == named.end()) continue;
    if (it->second.final.empty()) {
      f.result.code = it->second.full ? kResultDestinationTooSmall : kResultNotRecovered;
      f.result.reason = it->second.reason;
      f.result.zeroed = false;
      f.result.output.clear();
    } else {
      f.result.output = it->second.final;
    }
  }
}

}  // namespace

RecoveryReport RecoverySession::Run(const std::vector<FoundFile>& files, const RecoveryEvents& events) {
  RecoveryReport report;
  report.files.resize(files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    report.files[i].index = i;
    report.files[i].unanswered = Unanswered::NoResult;
  }
  ResultMatcher matcher(engine_, files, report.files, events.onResult);
  ReceiverEvents ev;
  size_t started = 0;
  ev.onFileStarted = [&](uint32_t, const Text& name) {
    ++started;
    if (events.onFileStarted) events.onFileStarted(started, files.size(), name);
  };
  ev.onUndeleteProgress = [&](uint32_t percent, const Text& name) {
    if (events.onProgress) events.onProgress(percent, name);
  };
  ev.onResult = [&](const UndeleteOutcome& r) { matcher.Take(r); };
  ev.onShowMessage = [&](const MessageBoxText& m) { report.refusal = m; };
  MessageReceiver receiver(ev, u"");

  OutputOptions output;
  output.counterBeforeExtension = options_.counterBeforeExtension;
  NameCounters counters;
  output.counters = &counters;
  output.observer = options_.observer;
  output.destination = &output_;
  std::unique_ptr<CommitBatch> batch;
  if (options_.flushOnce) {
    batch = std::make_unique<CommitBatch>();
    output.batch = batch.get();
  }
  {
    ScopedOutputOptions scope(output);
    for (auto& [folder, members] : GroupByFolder(files, options_.keepFolders)) {
      if (Stopped(options_) || report.Refused()) break;
      Text into = destination_;
      NotRecoveredReason why = NotRecoveredReason::FolderNotMade;
      if (options_.keepFolders && !output_.MakeKeptFolder(folder, into, why)) {
        for (size_t i : members) {
          report.files[i].result = {kResultNotRecovered, files[i].locator, files[i].path, Text(), false, why};
          report.files[i].unanswered = Unanswered::No;
        }
        continue;
      }
      std::vector<size_t> unframed;
      for (const auto& request : SplitIntoRequests(engine_, into, files, members, options_.maxPayload, unframed)) {
        if (Stopped(options_) || report.Refused()) break;
        std::vector<FoundFile> asked;
        for (size_t i : request) asked.push_back(files[i]);
        const std::vector<uint8_t> payload = engine_.undeleteRequest(into, asked);
        if (payload.size() > options_.maxPayload) {
          unframed.insert(unframed.end(), request.begin(), request.end());
          continue;
        }
        matcher.Ask(request);
        RunEngineUndelete(engine_, payload, receiver);
      }
      for (size_t i : unframed) report.files[i].unanswered = Unanswered::NotFramed;
    }
  }
  if (batch) {
    // Files finished before a stop are whole: they are kept too.
    if (batch->Pending() != 0 && events.onFlushing) events.onFlushing(batch->Pending());
    ApplyBatchNames(batch->Finish(), report.files);
  }

  // A deleted FAT file has lost its chain: a file of more than one cluster
  // comes back from the clusters guessed to follow its first one (the
  // result code only tells free from reused clusters).
  DiskFreeSpace space;
  const uint64_t clusterBytes =
      engine_.guessesClusters && !options_.searchedRoot.empty() && QueryDiskFreeSpace(options_.searchedRoot, space)
          ? uint64_t{space.bytesPerSector} * space.sectorsPerCluster
          : 0;
  bool anyWritten = false;
  for (size_t i = 0; i < files.size(); ++i) {
    FileRecovery& f = report.files[i];
    if (f.unanswered == Unanswered::NoResult && Stopped(options_)) f.unanswered = Unanswered::Interrupted;
    if (f.unanswered != Unanswered::No) f.result = {kResultNotRecovered, files[i].locator, files[i].path, Text()};
    const bool written = f.unanswered == Unanswered::No && f.Written();
    anyWritten = anyWritten || written;
    f.guessed = engine_.resultGuessed ? written && engine_.resultGuessed(f.result)
                                      : written && clusterBytes != 0 && files[i].size > clusterBytes &&
                                            !f.result.byFormat;
    f.zeroed = written && f.result.zeroed;
    if (f.zeroed) ++report.zeroed;
    else if (f.result.code == kResultRecovered) ++report.whole;
    else if (f.result.code == kResultPartlyInUse) ++report.partly;
    else ++report.failed;
    if (events.onFile) events.onFile(f);
  }
  if (!anyWritten && options_.takeBackEmpty) TakeBackIfEmpty();
  return report;
}

}  // namespace rv
