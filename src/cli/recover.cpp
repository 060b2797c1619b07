#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <ctime>
#include <set>
#ifdef _WIN32
#include <windows.h>
#endif

#include "channel/packet.h"
#include "cli/commands.h"
#include "cli/search_steps.h"
#include "platform/files.h"
#include "platform/samevolume.h"
#include "platform/system.h"
#include "platform/text.h"

namespace rv::cli {

namespace {

// The destination as the engines want it: an absolute path with "\"
// separators.
Text DestinationPath(const std::string& typed) {
#ifdef _WIN32
  return FromUtf8(typed);
#else
  std::string abs = typed;
  if (abs.empty() || abs[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd)) abs = std::string(cwd) + "/" + typed;
  }
  Text t = FromUtf8(abs);
  for (auto& c : t)
    if (c == u'/') c = u'\\';
  return t;
#endif
}

// The header's time text ("MM/DD/YYYY HH:MM", local time) as a FILETIME.
bool TimeTextToFileTime(const Text& t, uint64_t& fileTime) {
  int mo = 0, d = 0, y = 0, h = 0, mi = 0;
  if (std::sscanf(ToUtf8(t).c_str(), "%d/%d/%d %d:%d", &mo, &d, &y, &h, &mi) != 5 || y < 1601 || mo < 1 || d < 1)
    return false;
#ifdef _WIN32
  SYSTEMTIME local{static_cast<WORD>(y), static_cast<WORD>(mo), 0, static_cast<WORD>(d), static_cast<WORD>(h),
                   static_cast<WORD>(mi), 0, 0};
  SYSTEMTIME utc;
  FILETIME ft;
  if (!TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) || !SystemTimeToFileTime(&utc, &ft)) return false;
  fileTime = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
#else
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_isdst = -1;
  std::time_t secs = std::mktime(&tm);
  if (secs == static_cast<std::time_t>(-1)) return false;
  fileTime = UnixToFileTime(secs);
#endif
  return true;
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
  Engine engine;
  auto v = OpenForEngine(args.search.volume, engine);
  if (!v) return kExitRefused;
  std::vector<FoundFile> found;
  std::string refusal;
  auto keep = [&](const FoundFile& f) { found.push_back(f); };
  if (!SearchFound(args.search, engine, *v, false, refusal, keep)) {
    Refuse(args.search.volume.volume + ": " + refusal);
    return kExitRefused;
  }
  std::set<std::string> ids(args.ids.begin(), args.ids.end());
  std::vector<FoundFile> chosen;
  for (const auto& f : found)
    if (ids.empty() || ids.count(LocatorText(f, engine))) chosen.push_back(f);

  std::string why;
  if (v->source && DestinationIsOnVolume(args.destination, ToUtf8(v->source->Describe()), why)) {
    Refuse(args.destination + ": " + why + "; recovering there would overwrite the data being recovered");
    return kExitRefused;
  }
#ifdef _WIN32
  if (!v->source && DestinationIsOnVolume(args.destination, args.search.volume.volume, why)) {
    Refuse(args.destination + ": " + why + "; recovering there would overwrite the data being recovered");
    return kExitRefused;
  }
#endif
  const Text dest = DestinationPath(args.destination);
  std::vector<uint8_t> payload;
  if (engine == Engine::Ntfs) {
    std::vector<NtfsUndeleteRecord> records;
    for (const auto& f : chosen)
      records.push_back({static_cast<int32_t>(f.locator), static_cast<uint16_t>(HasIndex(f, engine) ? f.second : 0)});
    payload = BuildNtfsStreamUndeleteRequest(dest, records);
  } else {
    std::vector<FatUndeleteRecord> records;
    for (const auto& f : chosen) records.push_back({f.locator, f.second, f.path});
    payload = BuildFatUndeleteRequest(dest, records);
  }
  std::vector<UndeleteOutcome> results;
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
    // The recovered file keeps the deleted file's modification time.
    size_t i = results.size();
    uint64_t ft = 0;
    if (!r.output.empty() && i < chosen.size() && TimeTextToFileTime(chosen[i].time, ft))
      fs::SetModificationTime(r.output, ft);
    results.push_back(r);
  };
  ev.onShowMessage = [&](const Text& t) { refusal = ToUtf8(t); };
  RunEngineUndelete(engine, payload, ev);
  if (progress) std::fprintf(stderr, "\r\x1b[K");
  if (!refusal.empty()) {
    Refuse(args.destination + ": " + refusal);
    return kExitRefused;
  }
  const Text attached = v->source ? v->volumeName : Text();
  bool allGood = true;
  for (size_t i = 0; i < results.size(); ++i) {
    const auto& r = results[i];
    if (r.code != 776 && r.code != 777) allGood = false;
    if (args.search.json) {
      nlohmann::json j;
      j["locator"] = i < chosen.size() ? chosen[i].locator : r.record;
      j["index"] = i < chosen.size() && HasIndex(chosen[i], engine) ? nlohmann::json(chosen[i].second) : nlohmann::json(nullptr);
      j["code"] = r.code;
      j["source"] = SourceText(r.source, attached);
      j["output"] = NativeOutput(r.output);
      std::cout << j.dump() << "\n";
    } else {
      std::printf("%u %s -> %s\n", r.code, ForTerminal(SourceText(r.source, attached)).c_str(),
                  ForTerminal(NativeOutput(r.output)).c_str());
    }
  }
  if (results.size() < chosen.size()) allGood = false;
  if (!args.search.json) std::printf("%zu of %zu file(s) recovered.\n", results.size(), chosen.size());
  return allGood ? kExitOk : kExitSomeFailed;
}

}  // namespace rv::cli
