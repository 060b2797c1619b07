#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <set>

#include "channel/destination.h"
#include "channel/messages.h"
#include "channel/outfile.h"
#include "channel/packet.h"
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
#include "volume/osvolume.h"

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
// device behind an attached source, or the OS volume itself on Windows.
bool DestinationIsOnVolume(const std::string& destination, const OpenedVolume& v, std::string& why) {
  if (v.source) return rv::DestinationIsOnVolume(destination, ToUtf8(v.source->Describe()), why);
#ifdef _WIN32
  return rv::DestinationIsOnVolume(destination, ToUtf8(v.root), why);
#else
  return false;
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

int RunRecover(const RecoverArgs& args) {
  if (args.toStdout) {
    if (args.ids.size() != 1 || !args.destination.empty() || args.keepFolders || args.search.json) {
      Refuse("--stdout: give exactly one --id, and neither --to, --keep-folders nor --json");
      return kExitRefused;
    }
  } else if (args.destination.empty()) {
    Refuse("--to: the destination folder is empty");
    return kExitRefused;
  }
  Engine engine;
  auto v = OpenForEngine(args.search.volume, engine, args.search.deep && !args.toStdout);
  if (!v) return kExitRefused;

  std::string why;
  if (!args.toStdout && DestinationIsOnVolume(args.destination, *v, why)) {
    Refuse(args.destination + ": " + why + "; recovering there would overwrite the data being recovered");
    return kExitRefused;
  }
  // Recycle folders and recovery bins belong to the system, which empties them.
  std::u16string inside;
  if (!args.toStdout && PathInsideVolume(args.destination, inside) && BeginsWithRecycleFolder(inside)) {
    Refuse(args.destination + ": " + DestinationRefusalText(DestinationRefusal::RecycleFolder));
    return kExitRefused;
  }
  const Text dest = args.toStdout ? Text() : fs::AbsoluteFolderPath(args.destination);

  std::vector<FoundFile> found;
  std::string refusal;
  auto keep = [&](const FoundFile& f) { found.push_back(f); };
  if (engine && !SearchFound(args.search, engine, *v, false, refusal, keep)) {
    Refuse(args.search.volume.volume + ": " + refusal);
    return kExitRefused;
  }
  std::vector<FoundFile> chosen;
  // --deep: ids of carved files are the deep scan's to match.
  std::set<std::string> carvedIds;
  std::vector<std::string> engineIds;
  for (const auto& id : args.ids) {
    if (args.search.deep && (IsCarvedId(id) || IsLostId(id))) carvedIds.insert(id);
    else engineIds.push_back(id);
  }
  if (args.ids.empty()) {
    chosen = found;
  } else if (engineIds.empty()) {
  } else {
    // Every id must name a deleted file the search lists: a typo or a live
    // record is an error, not an empty recovery.
    std::set<std::string> asked(engineIds.begin(), engineIds.end());
    std::set<std::string> matched;
    for (const auto& f : found) {
      const std::string id = LocatorText(f, engine);
      if (asked.count(id)) {
        chosen.push_back(f);
        matched.insert(id);
      }
    }
    std::string missing;
    for (const auto& id : engineIds)
      if (!matched.count(id) && missing.find(" " + id + ",") == std::string::npos) missing += " " + id + ",";
    if (!missing.empty()) {
      missing.pop_back();
      Refuse(args.search.volume.volume + ": no deleted file with id" + missing +
             (args.search.filters.Any() ? " that passes the filters" : ""));
      return kExitRefused;
    }
  }

  if (args.toStdout && chosen.empty()) {
    Refuse("--stdout: give the id of a deleted file the search lists");
    return kExitRefused;
  }
  if (args.toStdout) return RecoverToStdout(args, engine, chosen.front());
  std::unique_ptr<RecoverReport> report;
  if (!args.report.empty()) {
    if (DestinationIsOnVolume(args.report, *v, why)) {
      Refuse(args.report + ": " + why + "; the report must go to another volume");
      return kExitRefused;
    }
    // A volume without a file system (--deep) has no engine to name.
    report = std::make_unique<RecoverReport>(args, *v, engine ? std::string(engine->name) : std::string());
  }

  // The destination is made (and its writability tried) before the first
  // file; a refused destination leaves no folder behind.
  // Opened once: every file and folder is made through it.
  std::vector<Text> made;
  OutputDestination destination;
  if (!destination.Open(dest, &made)) {
    for (auto it = made.rbegin(); it != made.rend(); ++it) fs::RemoveFolder(*it);
    Refuse(args.destination + ": does not exist and cannot be created");
    return kExitRefused;
  }
  {
    OutputFile probe;
    ScopedOutputOptions probing({false, nullptr, nullptr, nullptr, &destination});
    if (probe.Create(dest, u"probe") != kOutputCreated) {
      probe.Discard();
      destination.Close();
      for (auto it = made.rbegin(); it != made.rend(); ++it) fs::RemoveFolder(*it);
      Refuse(args.destination + ": cannot write into this folder");
      return kExitRefused;
    }
  }

  // --deep: the scan comes first, since a carved file that is one of the
  // deleted files is recovered once, as the carved file under its name.
  DeepPass deep;
  const bool deepWanted = args.search.deep && (args.ids.empty() || !carvedIds.empty());
  if (deepWanted) {
    if (!RunDeepPass(args.search, *v, engine, found, deep)) return kExitRefused;
    if (deep.status == carve::ScanStatus::Stopped) {
      std::fprintf(stderr, "retriva: interrupted\n");
      return kExitSomeFailed;
    }
    if (args.ids.empty()) chosen = deep.KeptAsListed(found);
  }

  // Results in the order of the files asked; a file the engine gave no
  // result for stays at 0.
  std::vector<UndeleteOutcome> results(chosen.size());
  std::vector<bool> answered(chosen.size(), false);
  EngineEvents ev;
  const bool progress = IsTerminal(stderr);
  size_t started = 0;
  ev.onFileStarted = [&](uint32_t, const Text&) { ++started; };
  ev.onUndeleteProgress = [&](uint32_t percent, const Text& name) {
    if (!progress) return;
    char head[64];
    std::snprintf(head, sizeof head, "Recovering %zu/%zu %3u%% ", started, chosen.size(), percent);
    ProgressLine::Get().Show(head + ToUtf8(name));
  };
  // The files of one request; results match them within it.
  std::vector<size_t> group;
  ev.onResult = [&](const UndeleteOutcome& r) {
    // NTFS results name their record; FAT results their path.
    for (size_t i : group) {
      if (answered[i]) continue;
      if (!engine->resultIsFor(chosen[i], r)) continue;
      results[i] = r;
      answered[i] = true;
      if (report) report->ResultArrived(i);
      return;
    }
  };
  ev.onShowMessage = [&](const MessageBoxText& m) { refusal = ToUtf8(m.text); };
  OutputOptions options;
  options.counterBeforeExtension = true;
  if (report) options.observer = report->Observer();
  options.destination = &destination;
#ifndef _WIN32
  // One flush of the destination's file system for the whole recovery
  // instead of one per file: each file keeps its temporary name until the
  // flush has put every byte on the device.
  CommitBatch batch;
  options.batch = &batch;
#endif
  g_interrupted.store(false);
  OnInterrupt(StopRecovery);
  {
    ScopedOutputOptions scope(options);
    // Flat: one request for every file. Keeping folders: one request per
    // folder of the volume, into that folder made again under the
    // destination, in the order the files were found.
    std::vector<std::pair<Text, std::vector<size_t>>> byFolder;
    std::map<Text, size_t> folderIndex;
    for (size_t i = 0; i < chosen.size(); ++i) {
      const Text key = args.keepFolders ? chosen[i].folder : Text();
      auto [it, added] = folderIndex.emplace(key, byFolder.size());
      if (added) byFolder.push_back({key, {}});
      byFolder[it->second].second.push_back(i);
    }
    for (auto& [folder, members] : byFolder) {
      if (g_interrupted.load() || !refusal.empty()) break;
      Text into = dest;
      NotRecoveredReason why = NotRecoveredReason::FolderNotMade;
      if (args.keepFolders && !destination.MakeKeptFolder(folder, into, why)) {
        for (size_t i : members) {
          results[i] = {kResultNotRecovered, chosen[i].locator, chosen[i].path, Text(), false, why};
          answered[i] = true;
        }
        continue;
      }
      group = members;
      std::vector<FoundFile> files;
      for (size_t i : members) files.push_back(chosen[i]);
      RunEngineUndelete(engine, engine->undeleteRequest(into, files), ev);
    }
  }
#ifndef _WIN32
  // Files finished before a stop are whole: they are kept too.
  if (batch.Pending() != 0) {
    if (progress) ProgressLine::Get().Show("Flushing " + std::to_string(batch.Pending()) + " files to the destination...");
  }
  {
    // Files that did not get the name their result promised.
    const auto named = batch.Finish();
    for (size_t i = 0; i < chosen.size() && !named.empty(); ++i) {
      auto& r = results[i];
      if (!answered[i] || r.output.empty()) continue;
      const auto it = named.find(r.output);
      if (it == named.end()) continue;
      if (it->second.final.empty()) {
        r.code = it->second.full ? kResultDestinationTooSmall : kResultNotRecovered;
        r.reason = it->second.reason;
        r.zeroed = false;
        r.output.clear();
      } else {
        r.output = it->second.final;
      }
    }
  }
#endif
  OnInterrupt(nullptr);
  ProgressLine::Get().Clear();
  if (!refusal.empty()) {
    Refuse(args.destination + ": " + refusal);
    return kExitRefused;
  }

  if (report && !report->Write(engine, chosen, results, answered)) return kExitSomeFailed;
  const Text attached = v->source ? v->volumeName : Text();
  // A deleted FAT file has lost its chain: a file of more than one cluster
  // comes back from the clusters guessed to follow its first one, and its
  // result says so (the result code only tells free from reused clusters).
  DiskFreeSpace space;
  const uint64_t clusterBytes = engine && engine->guessesClusters && QueryDiskFreeSpace(v->root, space)
                                    ? uint64_t{space.bytesPerSector} * space.sectorsPerCluster
                                    : 0;
  size_t whole = 0, partly = 0, zeroed = 0, failed = 0;
  for (size_t i = 0; i < chosen.size(); ++i) {
    const auto& r = results[i];
    const std::string source = answered[i] ? SourceText(r.source, attached) : SourceText(chosen[i].path, attached);
    const uint32_t code = answered[i] ? r.code : kResultNotRecovered;
    const bool isZeroed = answered[i] && r.zeroed && (code == kResultRecovered || code == kResultPartlyInUse);
    if (isZeroed) ++zeroed;
    else if (code == kResultRecovered) ++whole;
    else if (code == kResultPartlyInUse) ++partly;
    else ++failed;
    if (code != kResultRecovered && code != kResultPartlyInUse) {
      const std::string why = answered[i] ? NotRecoveredReasonText(r.reason) : "";
      const std::string reason = !answered[i] ? (g_interrupted.load() ? "interrupted before this file"
                                                                       : "the engine gave no result for it")
                               : code == kResultDestinationTooSmall ? "the destination has too little free space"
                               : why.empty() ? "not recovered"
                                             : "not recovered: " + why;
      WriteText(stderr, "retriva: " + ForTerminal(source) + ": " + reason + "\n");
    } else if (isZeroed && !args.search.quiet) {
      WriteText(stderr, "retriva: " + ForTerminal(source) + ": " + kZeroedWarning + "\n");
    }
    if (!answered[i]) continue;
    const bool written = code == kResultRecovered || code == kResultPartlyInUse;
    const bool guess = engine->resultGuessed ? written && engine->resultGuessed(r)
                                             : written && clusterBytes != 0 && chosen[i].size > clusterBytes;
    if (args.search.json) {
      // Keys in the documented order; no output file is null, not "".
      nlohmann::ordered_json j;
      j["locator"] = chosen[i].locator;
      j["index"] = HasIndex(chosen[i], engine) ? nlohmann::ordered_json(chosen[i].second) : nlohmann::ordered_json(nullptr);
      j["code"] = r.code;
      j["source"] = source;
      j["output"] = r.output.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(OutputPathText(r.output));
      if (engine->guessesClusters || engine->resultGuessed) j["contiguous_guess"] = guess;
      j["zeroed"] = isZeroed;
      const std::string text = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
      std::fwrite(text.data(), 1, text.size(), stdout);
    } else if (!args.search.quiet) {
      WriteText(stdout, std::to_string(r.code) + " " + ForTerminal(source) + " -> " +
                            ForTerminal(OutputPathText(r.output)) +
                            (guess ? " (guessed: clusters taken as following the first)" : "") + "\n");
    }
  }
  if (!args.search.json && !args.search.quiet && (engine || !args.search.deep)) {
    std::printf("%zu recovered, %zu partly overwritten (\"*\" in place of clusters now in use), %zu zeroed, "
                "%zu not recovered, of %zu file(s).\n",
                whole, partly, zeroed, failed, chosen.size());
    std::fflush(stdout);
  }
  if (g_interrupted.load()) std::fprintf(stderr, "retriva: interrupted\n");
  const int status = failed == 0 && zeroed == 0 && !g_interrupted.load() ? kExitOk : kExitSomeFailed;
  // --deep: the files found by their format, after the deleted ones.
  if (deepWanted && !g_interrupted.load())
    return std::max(status, RecoverCarvedFiles(args, *v, dest, destination, carvedIds, deep));
  return status;
}

}  // namespace rv::cli
