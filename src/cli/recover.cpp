#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <set>

#include "channel/packet.h"
#include "cli/commands.h"
#include "cli/session.h"
#include "platform/files.h"
#include "platform/text.h"

namespace rv::cli {

std::unique_ptr<OpenedVolume> OpenForEngine(const VolumeArgs& args, Engine& engine);
bool CollectFound(const SearchArgs& args, Engine engine, const OpenedVolume& v, std::vector<FoundFile>& found,
                  std::string& refusal, const std::function<void(const FoundFile&)>& each);
std::string LocatorText(const FoundFile& f, Engine engine);

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

}  // namespace

int RunRecover(const RecoverArgs& args) {
  Engine engine;
  auto v = OpenForEngine(args.search.volume, engine);
  if (!v) return kExitRefused;
  std::vector<FoundFile> found;
  std::string refusal;
  if (!CollectFound(args.search, engine, *v, found, refusal, nullptr)) {
    Refuse(args.search.volume.volume + ": " + refusal);
    return kExitRefused;
  }
  std::set<std::string> ids(args.ids.begin(), args.ids.end());
  std::vector<FoundFile> chosen;
  for (const auto& f : found)
    if (ids.empty() || ids.count(LocatorText(f, engine))) chosen.push_back(f);

  const Text dest = DestinationPath(args.destination);
  std::vector<uint8_t> payload;
  if (engine == Engine::Ntfs) {
    std::vector<int32_t> records;
    for (const auto& f : chosen) records.push_back(static_cast<int32_t>(f.locator));
    payload = BuildNtfsUndeleteRequest(dest, records);
  } else {
    std::vector<FatUndeleteRecord> records;
    for (const auto& f : chosen) records.push_back({f.locator, f.second, f.path});
    payload = BuildFatUndeleteRequest(dest, records);
  }
  std::vector<UndeleteOutcome> results;
  EngineEvents ev;
  ev.onResult = [&](const UndeleteOutcome& r) { results.push_back(r); };
  ev.onShowMessage = [&](const Text& t) { refusal = ToUtf8(t); };
  RunEngineUndelete(engine, payload, ev);
  if (!refusal.empty()) {
    Refuse(args.destination + ": " + refusal);
    return kExitRefused;
  }
  bool allGood = true;
  for (size_t i = 0; i < results.size(); ++i) {
    const auto& r = results[i];
    if (r.code != 776 && r.code != 777) allGood = false;
    if (args.search.json) {
      nlohmann::json j;
      j["locator"] = i < chosen.size() ? chosen[i].locator : r.record;
      j["index"] = engine == Engine::Fat && i < chosen.size() ? nlohmann::json(chosen[i].second) : nlohmann::json(nullptr);
      j["code"] = r.code;
      j["source"] = ToUtf8(r.source);
      j["output"] = ToUtf8(r.output);
      std::cout << j.dump() << "\n";
    } else {
      std::printf("%u %s -> %s\n", r.code, ToUtf8(r.source).c_str(), ToUtf8(r.output).c_str());
    }
  }
  if (results.size() < chosen.size()) allGood = false;
  if (!args.search.json) std::printf("%zu of %zu file(s) recovered.\n", results.size(), chosen.size());
  return allGood ? kExitOk : kExitSomeFailed;
}

}  // namespace rv::cli
