#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <atomic>
#include <set>

#include "channel/destination.h"
#include "channel/messages.h"
#include "channel/outfile.h"
#include "channel/packet.h"
#include "cli/commands.h"
#include "cli/search_steps.h"
#include "platform/files.h"
#include "platform/samevolume.h"
#include "platform/system.h"
#include "platform/text.h"
#include "volume/osvolume.h"

namespace rv::cli {

namespace {

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

// Output paths as this system writes them ("/" on POSIX).
std::string NativeOutput(const Text& enginePath) {
#ifdef _WIN32
  return ToUtf8(enginePath);
#else
  return fs::NativePath(enginePath);
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

int RunRecover(const RecoverArgs& args) {
  if (args.destination.empty()) {
    Refuse("--to: the destination folder is empty");
    return kExitRefused;
  }
  Engine engine;
  auto v = OpenForEngine(args.search.volume, engine);
  if (!v) return kExitRefused;

  std::string why;
  if (DestinationIsOnVolume(args.destination, *v, why)) {
    Refuse(args.destination + ": " + why + "; recovering there would overwrite the data being recovered");
    return kExitRefused;
  }
  // Recycle folders and recovery bins belong to the system, which empties them.
  std::u16string inside;
  if (PathInsideVolume(args.destination, inside) && BeginsWithRecycleFolder(inside)) {
    Refuse(args.destination + ": " + DestinationRefusalText(DestinationRefusal::RecycleFolder));
    return kExitRefused;
  }
  const Text dest = fs::AbsoluteFolderPath(args.destination);

  std::vector<FoundFile> found;
  std::string refusal;
  auto keep = [&](const FoundFile& f) { found.push_back(f); };
  if (!SearchFound(args.search, engine, *v, false, refusal, keep)) {
    Refuse(args.search.volume.volume + ": " + refusal);
    return kExitRefused;
  }
  std::vector<FoundFile> chosen;
  if (args.ids.empty()) {
    chosen = found;
  } else {
    // Every id must name a deleted file the search lists: a typo or a live
    // record is an error, not an empty recovery.
    std::set<std::string> asked(args.ids.begin(), args.ids.end());
    std::set<std::string> matched;
    for (const auto& f : found) {
      const std::string id = LocatorText(f, engine);
      if (asked.count(id)) {
        chosen.push_back(f);
        matched.insert(id);
      }
    }
    std::string missing;
    for (const auto& id : args.ids)
      if (!matched.count(id) && missing.find(" " + id + ",") == std::string::npos) missing += " " + id + ",";
    if (!missing.empty()) {
      missing.pop_back();
      Refuse(args.search.volume.volume + ": no deleted file with id" + missing);
      return kExitRefused;
    }
  }

  // The destination is made (and its writability tried) before the first
  // file; a refused destination leaves no folder behind.
  std::vector<Text> made;
  const bool existed = fs::GetPathKind(dest) == fs::PathKind::Folder;
  if (!existed && !CreateFolderPath(dest, &made)) {
    Refuse(args.destination + ": does not exist and cannot be created");
    return kExitRefused;
  }
  {
    OutputFile probe;
    if (probe.Create(dest, u"probe") != kOutputCreated) {
      probe.Discard();
      for (auto it = made.rbegin(); it != made.rend(); ++it) fs::RemoveFolder(*it);
      Refuse(args.destination + ": cannot write into this folder");
      return kExitRefused;
    }
  }

  const std::vector<uint8_t> payload = engine->undeleteRequest(dest, chosen);
  // Results in the order of the files asked; a file the engine gave no
  // result for stays at 0.
  std::vector<UndeleteOutcome> results(chosen.size());
  std::vector<bool> answered(chosen.size(), false);
  EngineEvents ev;
  const bool progress = IsTerminal(stderr);
  size_t started = 0;
  ev.onFileStarted = [&](uint32_t, const Text&) { ++started; };
  ev.onUndeleteProgress = [&](uint32_t percent, const Text& name) {
    if (progress)
      std::fprintf(stderr, "\rRecovering %zu/%zu %3u%% %s\x1b[K", started, chosen.size(), percent,
                   ForTerminal(ToUtf8(name)).c_str());
  };
  ev.onResult = [&](const UndeleteOutcome& r) {
    // NTFS results name their record; FAT results their path.
    for (size_t i = 0; i < chosen.size(); ++i) {
      if (answered[i]) continue;
      if (!engine->resultIsFor(chosen[i], r)) continue;
      results[i] = r;
      answered[i] = true;
      return;
    }
  };
  ev.onShowMessage = [&](const MessageBoxText& m) { refusal = ToUtf8(m.text); };
  g_interrupted.store(false);
  OnInterrupt(StopRecovery);
  RunEngineUndelete(engine, payload, ev);
  OnInterrupt(nullptr);
  if (progress) std::fprintf(stderr, "\r\x1b[K");
  if (!refusal.empty()) {
    Refuse(args.destination + ": " + refusal);
    return kExitRefused;
  }

  const Text attached = v->source ? v->volumeName : Text();
  // A deleted FAT file has lost its chain: a file of more than one cluster
  // comes back from the clusters guessed to follow its first one, and its
  // result says so (the result code only tells free from reused clusters).
  DiskFreeSpace space;
  const uint64_t clusterBytes = engine->guessesClusters && QueryDiskFreeSpace(v->root, space)
                                    ? uint64_t{space.bytesPerSector} * space.sectorsPerCluster
                                    : 0;
  size_t whole = 0, partly = 0, failed = 0;
  for (size_t i = 0; i < chosen.size(); ++i) {
    const auto& r = results[i];
    const std::string source = answered[i] ? SourceText(r.source, attached) : SourceText(chosen[i].path, attached);
    const uint32_t code = answered[i] ? r.code : kResultNotRecovered;
    if (code == kResultRecovered) ++whole;
    else if (code == kResultPartlyInUse) ++partly;
    else ++failed;
    if (code != kResultRecovered && code != kResultPartlyInUse) {
      const char* reason = !answered[i] ? (g_interrupted.load() ? "interrupted before this file"
                                                                 : "the engine gave no result for it")
                         : code == kResultDestinationTooSmall ? "the destination has too little free space"
                                                              : "not recovered";
      std::fprintf(stderr, "retriva: %s: %s\n", ForTerminal(source).c_str(), reason);
    }
    if (!answered[i]) continue;
    const bool guess = (code == kResultRecovered || code == kResultPartlyInUse) && clusterBytes != 0 &&
                       chosen[i].size > clusterBytes;
    if (args.search.json) {
      nlohmann::json j;
      j["locator"] = chosen[i].locator;
      j["index"] = HasIndex(chosen[i], engine) ? nlohmann::json(chosen[i].second) : nlohmann::json(nullptr);
      j["code"] = r.code;
      j["source"] = source;
      j["output"] = NativeOutput(r.output);
      if (engine->guessesClusters) j["contiguous_guess"] = guess;
      std::cout << j.dump() << "\n";
    } else {
      std::printf("%u %s -> %s%s\n", r.code, ForTerminal(source).c_str(), ForTerminal(NativeOutput(r.output)).c_str(),
                  guess ? " (guessed: clusters taken as following the first)" : "");
    }
  }
  if (!args.search.json) {
    std::printf("%zu recovered, %zu partly overwritten (\"*\" in place of clusters now in use), %zu not recovered, "
                "of %zu file(s).\n",
                whole, partly, failed, chosen.size());
    std::fflush(stdout);
  }
  if (g_interrupted.load()) std::fprintf(stderr, "retriva: interrupted\n");
  return failed == 0 && !g_interrupted.load() ? kExitOk : kExitSomeFailed;
}

}  // namespace rv::cli
