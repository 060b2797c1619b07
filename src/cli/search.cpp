#include <cstdio>
#include <iostream>

#include "cli/commands.h"
#include "cli/search_steps.h"
#include "platform/text.h"

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace rv::cli {

namespace {

// A JSON string literal of UTF-8 text (the escapes RFC 8259 requires).
void AppendJsonString(std::string& out, const std::string& s) {
  out.push_back('"');
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out.push_back('"');
}

}  // namespace

// One line of `search --json`; written by hand because a search may list
// hundreds of thousands of files. The keys and their order are a contract.
std::string FoundFileJsonLine(const FoundFile& f, Engine engine) {
  std::string out = "{\"name\":";
  out.reserve(160);
  AppendJsonString(out, ToUtf8(f.name));
  out += ",\"folder\":";
  AppendJsonString(out, ToUtf8(f.folder));
  out += ",\"size\":" + std::to_string(f.size) + ",\"time\":";
  AppendJsonString(out, ToUtf8(f.time));
  out += ",\"locator\":" + std::to_string(f.locator);
  out += ",\"index\":" + (engine == Engine::Fat ? std::to_string(f.second) : std::string("null"));
  out += ",\"recoverable\":" + (f.recoverable >= 0 ? std::to_string(f.recoverable) : std::string("null"));
  out += "}\n";
  return out;
}


std::string LocatorText(const FoundFile& f, Engine engine) {
  if (engine == Engine::Fat) return std::to_string(f.locator) + ":" + std::to_string(f.second);
  return std::to_string(f.locator);
}

// Opens the volume and picks its engine; on refusal prints the reason and
// returns Engine::None.
std::unique_ptr<OpenedVolume> OpenForEngine(const VolumeArgs& args, Engine& engine) {
  engine = Engine::None;
  std::string error;
  auto v = OpenVolumeArg(args, error);
  if (!v) {
    Refuse(error);
    return nullptr;
  }
  if (v->wholeDisk) {
    std::string list;
    for (const auto& p : v->table.partitions) list += " " + std::to_string(p.number) + " (" + p.description + ")";
    Refuse(args.volume + ": a whole disk with " + v->table.scheme + " partitions; choose one with --partition N:" + list);
    return nullptr;
  }
  std::string fsName;
  engine = EngineFor(*v, fsName);
  if (engine == Engine::None) {
    Refuse(args.volume + ": no NTFS, FAT16 or FAT32 file system found (the boot sector is damaged or of another kind)");
    return nullptr;
  }
  return v;
}

bool CollectFound(const SearchArgs& args, Engine engine, const OpenedVolume& v, std::vector<FoundFile>& found,
                  std::string& refusal, const std::function<void(const FoundFile&)>& each) {
  const bool progress = isatty(fileno(stderr)) != 0;
  EngineEvents ev;
  ev.onFound = [&](const FoundFile& f) { found.push_back(f); };
  ev.onSearchProgress = [&](uint32_t percent, const Text& text) {
    if (progress) std::fprintf(stderr, "\rSearching... %3u%% %s\x1b[K", percent, ToUtf8(text).c_str());
  };
  ev.onShowMessage = [&](const Text& t) { refusal = ToUtf8(t); };
  RunEngineSearch(engine, v, FromUtf8(args.pattern), NormaliseFolder(args.folder), !args.noSubfolders, ev);
  if (progress) std::fprintf(stderr, "\r\x1b[K");
  // How much of each file the volume still holds, told before any recovery.
  for (auto& f : found) {
    uint32_t percent = 0;
    if (EstimateRecoverable(engine, f, percent)) f.recoverable = static_cast<int>(percent);
    if (each) each(f);
  }
  return refusal.empty();
}

int RunSearch(const SearchArgs& args) {
  Engine engine;
  auto v = OpenForEngine(args.volume, engine);
  if (!v) return kExitRefused;
  std::vector<FoundFile> found;
  std::string refusal;
  auto printJson = [&](const FoundFile& f) {
    std::string line = FoundFileJsonLine(f, engine);
    std::fwrite(line.data(), 1, line.size(), stdout);
  };
  if (!CollectFound(args, engine, *v, found, refusal, args.json ? printJson : std::function<void(const FoundFile&)>())) {
    Refuse(args.volume.volume + ": " + refusal);
    return kExitRefused;
  }
  if (!args.json) {
    std::printf("%-40s %12s  %-16s %5s  %-30s %s\n", "NAME", "SIZE", "MODIFIED", "FREE", "FOLDER", "LOCATOR");
    uint64_t total = 0;
    for (const auto& f : found) {
      std::string free = f.recoverable >= 0 ? std::to_string(f.recoverable) + "%" : "?";
      std::printf("%-40s %12u  %-16s %5s  %-30s %s\n", ToUtf8(f.name).c_str(), f.size, ToUtf8(f.time).c_str(),
                  free.c_str(), ToUtf8(f.folder).c_str(), LocatorText(f, engine).c_str());
      total += f.size;
    }
    std::printf("%zu deleted file%s found, %llu bytes in all.\n", found.size(), found.size() == 1 ? "" : "s",
                static_cast<unsigned long long>(total));
  }
  return kExitOk;
}

}  // namespace rv::cli
