#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <algorithm>
#include <atomic>
#include <memory>
#include <set>

#include "channel/destination.h"
#include "channel/messages.h"
#include "channel/outfile.h"
#include "cli/commands.h"
#include "cli/deep.h"
#include "cli/deep_lost.h"
#include "cli/recover_report.h"
#include "cli/search_steps.h"
#include "cli/terminal.h"
#include "platform/files.h"
#include "platform/samevolume.h"
#include "platform/system.h"
#include "platform/text.h"
#include "recovery/recovery_session.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace rv::cli {

namespace {

// A file recovered whose every byte is zero: its clusters read back as
// zeros because the device discarded them once they were freed.
constexpr const char* kZeroedWarning =
    "recovered but zeroed: every byte read back is zero (the device discarded the freed clusters: TRIM or "
    "thin provisioning)";

// Ctrl-C during a recovery: the engine is asked to stop between chunks; the
// file it is writing is removed and the summary so far is printed.
std::atomic<bool> g_interrupted{false};
void StopRecovery() {
  g_interrupted.store(true);
  StopEngines();
}

// The searched volume as the same-volume check names it: the image file or
// device behind an attached source, or the OS volume itself on Windows;
// empty where it cannot be told.
std::string SearchedVolumeName(const OpenedVolume& v) {
  if (v.source) return ToUtf8(v.source->Describe());
#ifdef _WIN32
  return ToUtf8(v.root);
#else
  return "";
#endif
}

// Source names of attached images start with their internal volume GUID
// name, which means nothing to a user: show the path inside the volume.
std::string SourceText(const Text& source, const Text& attachedName) {
  if (!attachedName.empty() && source.size() >= attachedName.size() &&
      EqualsIgnoreCase(TextView(source).substr(0, attachedName.size()), attachedName))
    return ToUtf8(TextView(source).substr(attachedName.size()));
  return ToUtf8(source);
}

}  // namespace

// --stdout: the one chosen file's bytes to standard output, in order, as a
// pipe takes them. Nothing is written to any folder; results go to stderr.
int RecoverToStdout(const RecoverArgs& args, Engine engine, const FoundFile& file) {
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  std::fflush(stdout);
  OutputOptions options;
  options.stream = [](const void* data, size_t length) {
    return std::fwrite(data, 1, length, stdout) == length;
  };
  UndeleteOutcome result;
  bool answered = false;
  std::string refusal;
  EngineEvents ev;
  ev.onResult = [&](const UndeleteOutcome& r) {
    if (!answered && engine->resultIsFor(file, r)) {
      result = r;
      answered = true;
    }
  };
  ev.onShowMessage = [&](const MessageBoxText& m) { refusal = ToUtf8(m.text); };
  g_interrupted.store(false);
  OnInterrupt(StopRecovery);
  {
    ScopedOutputOptions scope(options);
    // The engine's request names a folder that exists; nothing is made in it.
    RunEngineUndelete(engine, engine->undeleteRequest(fs::AbsoluteFolderPath("."), {file}), ev);
  }
  OnInterrupt(nullptr);
  const bool flushed = std::fflush(stdout) == 0 && !std::ferror(stdout);
  if (!refusal.empty()) {
    Refuse(refusal);
    return kExitRefused;
  }
  const std::string source = ToUtf8(file.folder + file.name);
  if (!answered || (result.code != kResultRecovered && result.code != kResultPartlyInUse) || !flushed) {
    std::fprintf(stderr, "retriva: %s: %s\n", ForTerminal(source).c_str(),
                 !flushed ? "standard output could not be written"
                 : g_interrupted.load() ? "interrupted" : "not recovered (the bytes written so far are incomplete)");
    return kExitSomeFailed;
  }
  if (result.code == kResultPartlyInUse)
    std::fprintf(stderr, "retriva: %s: partly overwritten (\"*\" in place of clusters now in use)\n",
                 ForTerminal(source).c_str());
  if (result.zeroed) {
    std::fprintf(stderr, "retriva: %s: %s\n", ForTerminal(source).c_str(), kZeroedWarning);
    return kExitSomeFailed;
  }
  return kExitOk;
}

namespace {

// The files `ids` names, in the order found (every file without --id);
// every id must name a deleted file the search lists: a typo or a live
// record is an error, not an empty recovery. False after the refusal.
bool ChooseFiles(const RecoverArgs& args, const std::vector<std::string>& ids, Engine engine,
                 std::vector<FoundFile> found, std::vector<FoundFile>& chosen) {
  if (args.ids.empty()) {
    chosen = std::move(found);
    return true;
  }
  std::set<std::string> asked(ids.begin(), ids.end());
  std::set<std::string> matched;
  for (auto& f : found) {
    const std::string id = LocatorText(f, engine);
    if (asked.count(id)) {
      chosen.push_back(std::move(f));
      matched.insert(id);
    }
  }
  std::string missing;
  for (const auto& id : ids)
    if (!matched.count(id) && missing.find(" " + id + ",") == std::string::npos) missing += " " + id + ",";
  if (missing.empty()) return true;
  missing.pop_back();
  Refuse(args.search.volume.volume + ": no deleted file with id" + missing +
         (args.search.filters.Any() ? " that passes the filters" : ""));
  return false;
}

// The one-line refusal of a destination rule, as the command line words it.
std::string DestinationRefusal(const DestinationCheck& check) {
  switch (check.problem) {
    case DestinationProblem::Empty: return "--to: the destination folder is empty";
    case DestinationProblem::OnSearchedVolume:
      return ": " + check.why + "; recovering there would overwrite the data being recovered";
    case DestinationProblem::RecycleFolder:
      return std::string(": ") + DestinationRefusalText(rv::DestinationRefusal::RecycleFolder);
    case DestinationProblem::CannotCreate: return ": does not exist and cannot be created";
    case DestinationProblem::NotWritable: return ": cannot write into this folder";
    case DestinationProblem::None: break;
  }
  return "";
}

bool RefuseDestination(const RecoverArgs& args, const DestinationCheck& check) {
  if (check.Accepted()) return false;
  const std::string text = DestinationRefusal(check);
  Refuse(check.problem == DestinationProblem::Empty ? text : args.destination + text);
  return true;
}

std::string UnwrittenReason(const FileRecovery& f) {
  switch (f.unanswered) {
    case Unanswered::Interrupted: return "interrupted before this file";
    case Unanswered::NoResult: return "the engine gave no result for it";
    case Unanswered::NotFramed: return "not recovered: its request is longer than an engine request can hold";
    default: break;
  }
  if (f.result.code == kResultDestinationTooSmall) return "the destination has too little free space";
  const std::string why = NotRecoveredReasonText(f.result.reason);
  return why.empty() ? "not recovered" : "not recovered: " + why;
}

// One file's line (or JSON object) and, when it was not written, its reason on stderr.
void ReportFile(const RecoverArgs& args, Engine engine, const FoundFile& file, const FileRecovery& f,
                const Text& attached) {
  const auto& r = f.result;
  const std::string source = SourceText(r.source, attached);
  if (!f.Written()) WriteText(stderr, "retriva: " + ForTerminal(source) + ": " + UnwrittenReason(f) + "\n");
  else if (f.zeroed && !args.search.quiet)
    WriteText(stderr, "retriva: " + ForTerminal(source) + ": " + kZeroedWarning + "\n");
  if (f.unanswered != Unanswered::No) return;
  if (args.search.json) {
    // Keys in the documented order; no output file is null, not "".
    nlohmann::ordered_json j;
    j["locator"] = file.locator;
    j["index"] = HasIndex(file, engine) ? nlohmann::ordered_json(file.second) : nlohmann::ordered_json(nullptr);
    j["code"] = r.code;
    j["source"] = source;
    j["output"] = r.output.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(OutputPathText(r.output));
    if (engine->guessesClusters || engine->resultGuessed) j["contiguous_guess"] = f.guessed;
    j["zeroed"] = f.zeroed;
    const std::string text = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
  } else if (!args.search.quiet) {
    WriteText(stdout, std::to_string(r.code) + " " + ForTerminal(source) + " -> " + ForTerminal(OutputPathText(r.output)) +
                          (f.guessed ? " (guessed: clusters taken as following the first)" : "") + "\n");
  }
}

RecoveryEvents ProgressEvents() {
  RecoveryEvents ev;
  if (!IsTerminal(stderr)) return ev;
  auto started = std::make_shared<std::pair<size_t, size_t>>(0, 0);
  ev.onFileStarted = [started](size_t n, size_t total, const Text&) { *started = {n, total}; };
  ev.onProgress = [started](uint32_t percent, const Text& name) {
    char head[64];
    std::snprintf(head, sizeof head, "Recovering %zu/%zu %3u%% ", started->first, started->second, percent);
    ProgressLine::Get().Show(head + ToUtf8(name));
  };
  ev.onFlushing = [](size_t pending) {
    ProgressLine::Get().Show("Flushing " + std::to_string(pending) + " files to the destination...");
  };
  return ev;
}

}  // namespace

namespace {

// --deep: ids of carved files and of old records are the deep scan's to
// match; the rest name files the engine's search lists.
void SplitIds(const RecoverArgs& args, std::set<std::string>& deepIds, std::vector<std::string>& engineIds) {
  for (const auto& id : args.ids) {
    if (args.search.deep && (IsCarvedId(id) || IsLostId(id))) deepIds.insert(id);
    else engineIds.push_back(id);
  }
}

// --report FILE: refused on the searched volume, as a destination is.
bool OpenReport(const RecoverArgs& args, const OpenedVolume& v, Engine engine, std::unique_ptr<RecoverReport>& report) {
  std::string why;
  const std::string searched = SearchedVolumeName(v);
  if (!searched.empty() && rv::DestinationIsOnVolume(args.report, searched, why)) {
    Refuse(args.report + ": " + why + "; the report must go to another volume");
    return false;
  }
  report = std::make_unique<RecoverReport>(args, v, engine ? std::string(engine->name) : std::string());
  return true;
}

RecoveryOptions SessionOptions(const RecoverArgs& args, const OpenedVolume& v, RecoverReport* report) {
  RecoveryOptions options;
  options.keepFolders = args.keepFolders;
  options.counterBeforeExtension = true;
#ifndef _WIN32
  options.flushOnce = true;
#endif
  options.searchedRoot = v.root;
  options.stop = &g_interrupted;
  if (report) options.observer = report->Observer();
  // The deep scan writes into the destination after the deleted files.
  options.takeBackEmpty = !args.search.deep;
  return options;
}

// The per-file lines and the summary; the exit status.
int Conclude(const RecoverArgs& args, Engine engine, const OpenedVolume& v, const std::vector<FoundFile>& chosen,
             const RecoveryReport& done) {
  const Text attached = v.source ? v.volumeName : Text();
  for (const auto& f : done.files) ReportFile(args, engine, chosen[f.index], f, attached);
  if (!args.search.json && !args.search.quiet && (engine || !args.search.deep)) {
    std::printf("%zu recovered, %zu partly overwritten (\"*\" in place of clusters now in use), %zu zeroed, "
                "%zu not recovered, of %zu file(s).\n",
                done.whole, done.partly, done.zeroed, done.failed, chosen.size());
    std::fflush(stdout);
  }
  if (g_interrupted.load()) std::fprintf(stderr, "retriva: interrupted\n");
  return done.failed == 0 && done.zeroed == 0 && !g_interrupted.load() ? kExitOk : kExitSomeFailed;
}

}  // namespace

int RunRecover(const RecoverArgs& args) {
  if (args.toStdout) {
    if (args.ids.size() != 1 || !args.destination.empty() || args.keepFolders || args.search.json) {
      Refuse("--stdout: give exactly one --id, and neither --to, --keep-folders nor --json");
      return kExitRefused;
    }
  } else if (args.destination.empty()) {
    RefuseDestination(args, {DestinationProblem::Empty, ""});
    return kExitRefused;
  }
  Engine engine;
  auto v = OpenForEngine(args.search.volume, engine, args.search.deep && !args.toStdout);
  if (!v) return kExitRefused;
  if (!args.toStdout && RefuseDestination(args, CheckDestinationRules(args.destination, SearchedVolumeName(*v))))
    return kExitRefused;

  std::set<std::string> deepIds;
  std::vector<std::string> engineIds;
  SplitIds(args, deepIds, engineIds);
  std::vector<FoundFile> found, chosen;
  std::string refusal;
  if (engine && !SearchFound(args.search, engine, *v, false, refusal, [&](const FoundFile& f) { found.push_back(f); })) {
    Refuse(args.search.volume.volume + ": " + refusal);
    return kExitRefused;
  }
  if (!ChooseFiles(args, engineIds, engine, found, chosen)) return kExitRefused;
  if (args.toStdout) {
    if (!chosen.empty()) return RecoverToStdout(args, engine, chosen.front());
    Refuse("--stdout: give the id of a deleted file the search lists");
    return kExitRefused;
  }
  std::unique_ptr<RecoverReport> report;
  if (!args.report.empty() && !OpenReport(args, *v, engine, report)) return kExitRefused;

  RecoverySession session(engine ? *engine : FallbackEngine(), args.destination,
                          SessionOptions(args, *v, report.get()));
  if (RefuseDestination(args, session.Prepare())) return kExitRefused;
  // --deep: the scan comes first, since a carved file that is one of the
  // deleted files is recovered once, as the carved file under its name.
  DeepPass deep;
  const bool deepWanted = args.search.deep && (args.ids.empty() || !deepIds.empty());
  if (deepWanted) {
    if (!RunDeepPass(args.search, *v, engine, found, true, deep)) return kExitRefused;
    if (deep.status == carve::ScanStatus::Stopped) {
      std::fprintf(stderr, "retriva: interrupted\n");
      return kExitSomeFailed;
    }
    if (args.ids.empty()) chosen = deep.KeptAsListed(found);
  }
  g_interrupted.store(false);
  OnInterrupt(StopRecovery);
  RecoveryEvents events = ProgressEvents();
  if (report) {
    report->NoteByteRuns(engine, chosen);
    events.onResult = [&](size_t i) { report->ResultArrived(i); };
  }
  const RecoveryReport done = session.Run(chosen, events);
  OnInterrupt(nullptr);
  ProgressLine::Get().Clear();
  if (done.Refused()) {
    Refuse(args.destination + ": " + ToUtf8(done.refusal.text));
    return kExitRefused;
  }
  int status = Conclude(args, engine, *v, chosen, done);
  // --deep: the files found by their format, after the deleted ones.
  if (deepWanted && !g_interrupted.load())
    status = std::max(status, RecoverCarvedFiles(args, *v, session.Destination(), session.Output(), deepIds, deep,
                                                 report.get()));
  if (report && !report->Write(engine, chosen, done)) status = std::max(status, kExitSomeFailed);
  // Folders the search could not read: their files were not recovered.
  return std::max(status, SayUnreadable(args.search));
}

}  // namespace rv::cli
