#include <charconv>
#include <cstdio>
#include <iostream>

#include "cli/commands.h"
#include "cli/search_steps.h"
#include "ntfs/nue.h"
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

// A JSON string literal of the text as UTF-8 (the escapes RFC 8259 requires;
// unpaired surrogates become U+FFFD, as everywhere text leaves as UTF-8).
void AppendJsonString(std::string& out, TextView text) {
  static const char kHex[] = "0123456789abcdef";
  const size_t start = out.size();
  out.resize(start + 6 * text.size() + 2);  // the longest form of any unit: \u00XX
  char* p = out.data() + start;
  *p++ = '"';
  for (size_t i = 0; i < text.size(); ++i) {
    const uint32_t c = text[i];
    if (c == u'"' || c == u'\\') {
      *p++ = '\\';
      *p++ = static_cast<char>(c);
    } else if (c == u'\n' || c == u'\r' || c == u'\t') {
      *p++ = '\\';
      *p++ = c == u'\n' ? 'n' : c == u'\r' ? 'r' : 't';
    } else if (c < 0x20) {
      *p++ = '\\';
      *p++ = 'u';
      *p++ = '0';
      *p++ = '0';
      *p++ = kHex[c >> 4];
      *p++ = kHex[c & 15];
    } else if (c < 0x80) {
      *p++ = static_cast<char>(c);
    } else {
      p = PutUtf8(text, i, p);
    }
  }
  *p++ = '"';
  out.resize(static_cast<size_t>(p - out.data()));
}

void AppendNumber(std::string& out, uint64_t v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

}  // namespace

// One line of `search --json`, into `out`; written by hand because a search
// may list hundreds of thousands of files. The keys and their order are a
// contract.
void FoundFileJsonLine(const FoundFile& f, Engine engine, std::string& out) {
  out.assign("{\"name\":");
  AppendJsonString(out, f.name);
  out += ",\"folder\":";
  AppendJsonString(out, f.folder);
  out += ",\"size\":";
  AppendNumber(out, f.size);
  out += ",\"time\":";
  AppendJsonString(out, f.time);
  out += ",\"locator\":";
  AppendNumber(out, f.locator);
  out += ",\"index\":";
  if (engine == Engine::Fat) AppendNumber(out, f.second);
  else out += "null";
  out += ",\"recoverable\":";
  if (f.recoverable >= 0) AppendNumber(out, static_cast<uint64_t>(f.recoverable));
  else out += "null";
  out += "}\n";
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

bool SearchFound(const SearchArgs& args, Engine engine, const OpenedVolume& v, bool estimate, std::string& refusal,
                 const std::function<void(const FoundFile&)>& each) {
  const bool progress = isatty(fileno(stderr)) != 0;
  EngineEvents ev;
  // The NTFS engine is asked while it still holds the listed file's runs,
  // so files stream out as they are found. The FAT estimate looks the entry
  // up again, which the running directory walk cannot share: those files
  // are estimated once the walk is over.
  std::vector<FoundFile> later;
  ev.onFound = [&](FoundFile& f) {
    if (!estimate) return each(f);
    if (engine == Engine::Ntfs) {
      uint32_t percent = 0;
      if (NueUdel::RecoverablePercentOfListed(percent)) f.recoverable = static_cast<int>(percent);
      return each(f);
    }
    later.push_back(f);
  };
  ev.onSearchProgress = [&](uint32_t percent, const Text& text) {
    if (progress) std::fprintf(stderr, "\rSearching... %3u%% %s\x1b[K", percent, ForTerminal(ToUtf8(text)).c_str());
  };
  ev.onShowMessage = [&](const Text& t) { refusal = ToUtf8(t); };
  RunEngineSearch(engine, v, FromUtf8(args.pattern), NormaliseFolder(args.folder), !args.noSubfolders, ev);
  if (progress) std::fprintf(stderr, "\r\x1b[K");
  // How much of each file the volume still holds, told before any recovery.
  for (auto& f : later) {
    uint32_t percent = 0;
    if (EstimateRecoverable(engine, f, percent)) f.recoverable = static_cast<int>(percent);
    each(f);
  }
  return refusal.empty();
}

int RunSearch(const SearchArgs& args) {
  Engine engine;
  auto v = OpenForEngine(args.volume, engine);
  if (!v) return kExitRefused;
  std::string refusal;
  size_t count = 0;
  uint64_t total = 0;
  std::string line;
  auto header = [] {
    std::printf("%-40s %12s  %-16s %5s  %-30s %s\n", "NAME", "SIZE", "MODIFIED", "FREE", "FOLDER", "LOCATOR");
  };
  auto print = [&](const FoundFile& f) {
    if (args.json) {
      FoundFileJsonLine(f, engine, line);
      std::fwrite(line.data(), 1, line.size(), stdout);
      return;
    }
    if (count == 0) header();
    std::string free = f.recoverable >= 0 ? std::to_string(f.recoverable) + "%" : "?";
    std::printf("%-40s %12u  %-16s %5s  %-30s %s\n", ForTerminal(ToUtf8(f.name)).c_str(), f.size,
                ForTerminal(ToUtf8(f.time)).c_str(), free.c_str(), ForTerminal(ToUtf8(f.folder)).c_str(),
                LocatorText(f, engine).c_str());
    ++count;
    total += f.size;
  };
  if (!SearchFound(args, engine, *v, true, refusal, print)) {
    Refuse(args.volume.volume + ": " + refusal);
    return kExitRefused;
  }
  if (!args.json) {
    if (count == 0) header();
    std::printf("%zu deleted file%s found, %llu bytes in all.\n", count, count == 1 ? "" : "s",
                static_cast<unsigned long long>(total));
  }
  return kExitOk;
}

}  // namespace rv::cli
