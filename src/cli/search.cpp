#include <charconv>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <iostream>

#include <nlohmann/json.hpp>

#include "channel/skips.h"
#include "cli/commands.h"
#include "cli/deep.h"
#include "cli/search_steps.h"
#include "cli/terminal.h"
#include "platform/lasterror.h"
#include "platform/system.h"
#include "platform/text.h"
#include "recovery/recovery_report.h"
#include "volume/ondisk.h"


namespace rv::cli {

namespace {

// A JSON string literal of the text as UTF-8 at `p` (the escapes RFC 8259
// requires; unpaired surrogates become U+FFFD, as everywhere text leaves as
// UTF-8). At most 6 bytes per unit plus the quotes; returns the end.
char* PutJsonString(char* p, TextView text) {
  static const char kHex[] = "0123456789abcdef";
  *p++ = '"';
  for (size_t i = 0; i < text.size(); ++i) {
    const uint32_t c = text[i];
    // ASCII from the space up, other than the quote and the backslash,
    // most of any name, goes out as it is.
    if (c - 0x20 < 0x60 && c != u'"' && c != u'\\') {
      *p++ = static_cast<char>(c);
    } else if (c == u'"' || c == u'\\') {
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
    } else {
      p = PutUtf8(text, i, p);
    }
  }
  *p++ = '"';
  return p;
}

template <size_t N>
char* PutLiteral(char* p, const char (&text)[N]) {
  std::memcpy(p, text, N - 1);
  return p + N - 1;
}

char* PutNumber(char* p, uint64_t v) { return std::to_chars(p, p + 20, v).ptr; }

}  // namespace

// One line of `search --json` at the start of `buffer`, which grows as
// needed and is never shrunk, so no line pays for clearing it; returns the
// line's length. Written by hand because a search may list hundreds of
// thousands of files. The keys and their order are a contract.
size_t FoundFileJsonLine(const FoundFile& f, Engine engine, std::string& buffer) {
  // Keys, quotes and four 20-digit numbers take under 256 bytes.
  const size_t bound = 6 * (f.name.size() + f.folder.size() + f.time.size()) + 256;
  if (buffer.size() < bound) buffer.resize(bound);
  char* const start = buffer.data();
  char* p = PutLiteral(start, "{\"name\":");
  p = PutJsonString(p, f.name);
  p = PutLiteral(p, ",\"folder\":");
  p = PutJsonString(p, f.folder);
  p = PutLiteral(p, ",\"size\":");
  p = PutNumber(p, f.size);
  p = PutLiteral(p, ",\"time\":");
  p = PutJsonString(p, f.time);
  p = PutLiteral(p, ",\"modified\":");
  char iso[32];
  if (const size_t n = ModifiedIsoText(f.timeKind, f.timeValue, iso)) {
    *p++ = '"';
    std::memcpy(p, iso, n);
    p += n;
    *p++ = '"';
  } else {
    p = PutLiteral(p, "null");
  }
  p = PutLiteral(p, ",\"locator\":");
  p = PutNumber(p, f.locator);
  p = PutLiteral(p, ",\"index\":");
  p = HasIndex(f, engine) ? PutNumber(p, f.second) : PutLiteral(p, "null");
  p = PutLiteral(p, ",\"recoverable\":");
  p = f.recoverable >= 0 ? PutNumber(p, static_cast<uint64_t>(f.recoverable)) : PutLiteral(p, "null");
  p = PutLiteral(p, "}\n");
  return static_cast<size_t>(p - start);
}

bool HasIndex(const FoundFile& f, Engine engine) { return FoundFileHasIndex(f, engine); }

std::string LocatorText(const FoundFile& f, Engine engine) { return FoundFileId(f, engine); }

// Opens the volume and picks its engine; on refusal prints the reason and
// returns null.
std::unique_ptr<OpenedVolume> OpenForEngine(const VolumeArgs& args, Engine& engine, bool allowNoEngine) {
  engine = nullptr;
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
  SetLastErrorCode(0);
  engine = EngineFor(*v, fsName);
  if (!engine && GetLastErrorCode() == kErrorAccessDenied) {
    Refuse(args.volume + ": " + AccessDeniedText());
    return nullptr;
  }
  if (!engine && allowNoEngine && v->source) return v;
  if (!engine) {
    Refuse(args.volume + ": " + NoFileSystemText(*v));
    return nullptr;
  }
  // The rule info applies: FAT clusters cut off refuse the volume, a missing
  // tail past the last cluster is only said.
  std::string truncation;
  const Truncation t = engine->refusesCutClusters ? CheckTruncation(*v, truncation) : Truncation::None;
  if (t == Truncation::ClustersCut) {
    engine = nullptr;
    Refuse(truncation);
    return nullptr;
  }
  if (t == Truncation::TailOnly) std::fprintf(stderr, "retriva: warning: %s\n", ForTerminal(truncation).c_str());
  WarnOfVolumeNotice(*v);
  return v;
}

namespace {
// Folders and records the last search could not read: all counted, the
// first kMaxKept kept for the JSON stream's closing object.
struct UnreadablePlace {
  std::string kind, folder, why;
  uint64_t where = 0;
};
constexpr size_t kMaxKept = 10000;
uint64_t g_unreadable = 0;
std::vector<UnreadablePlace> g_unreadablePlaces;
}  // namespace

uint64_t UnreadableOfLastSearch() { return g_unreadable; }

int SayUnreadable(const SearchArgs& args) {
  const uint64_t unreadable = g_unreadable;
  if (unreadable == 0) return kExitOk;
  if (args.json) {
    // The stream's last object, only when the listing is known to be short:
    // one line that says so and where, after the files.
    nlohmann::ordered_json j;
    j["unreadable"] = unreadable;
    nlohmann::ordered_json places = nlohmann::ordered_json::array();
    for (const auto& p : g_unreadablePlaces) {
      nlohmann::ordered_json at;
      at["kind"] = p.kind;
      at[p.kind.find("record") != std::string::npos ? "record" : "cluster"] = p.where;
      at["folder"] = p.folder.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(p.folder);
      at["error"] = p.why;
      places.push_back(std::move(at));
    }
    j["unreadable_at"] = std::move(places);
    const std::string text = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }
  if (!args.quiet) {
    std::fflush(stdout);
    std::fprintf(stderr, "retriva: %llu folder%s or record%s could not be read from the volume; files in %s may be missing.\n",
                 static_cast<unsigned long long>(unreadable), unreadable == 1 ? "" : "s", unreadable == 1 ? "" : "s",
                 unreadable == 1 ? "it" : "them");
  }
  return kExitSomeFailed;
}

bool SearchFound(const SearchArgs& args, Engine engine, const OpenedVolume& v, bool estimate, std::string& refusal,
                 const std::function<void(const FoundFile&)>& wanted) {
  const bool progress = IsTerminal(stderr);
  // The user's filters apply after the engine's pattern and folder.
  estimate = args.filters.NeedsRecoverableShare(estimate);
  const auto each = [&](const FoundFile& f) {
    if (args.filters.Passes(f)) wanted(f);
  };
  EngineEvents ev;
  // The NTFS engine is asked while it still holds the listed file's runs,
  // so files stream out as they are found. The FAT estimate looks the entry
  // up again, which the running directory walk cannot share: those files
  // are estimated once the walk is over.
  std::vector<FoundFile> later;
  ev.onFound = [&](FoundFile& f) {
    if (!estimate) return each(f);
    if (engine->recoverableWhileListed) {
      uint32_t percent = 0;
      if (engine->recoverableWhileListed(percent)) f.recoverable = static_cast<int>(percent);
      return each(f);
    }
    later.push_back(f);
  };
  ev.onSearchProgress = [&](uint32_t percent, const Text& text) {
    if (!progress) return;
    char head[32];
    std::snprintf(head, sizeof head, "Searching... %3u%% ", percent);
    ProgressLine::Get().Show(head + ToUtf8(text));
  };
  ev.onShowMessage = [&](const MessageBoxText& m) { refusal = ToUtf8(m.text); };
  // The path inside the volume, without the attached image's device name.
  const auto InsideVolume = [&v](const Text& full) {
    TextView path = full;
    if (path.size() >= v.volumeName.size() && EqualsIgnoreCase(path.substr(0, v.volumeName.size()), v.volumeName))
      path.remove_prefix(v.volumeName.size());
    return path;
  };
  // --verbose: every damaged record or entry passed over, with where it is.
  const SkipReporter skipped = [&](const SkippedRecord& s) {
    std::string where = std::string(s.kind) + " " + std::to_string(s.where);
    if (s.kind == std::string("exFAT entry set"))
      where = "exFAT entry set at entry " + std::to_string(s.index) + " of the folder at cluster " +
              std::to_string(s.where);
    if (s.kind == std::string("FAT folder")) where = "FAT folder at cluster " + std::to_string(s.where + 2);
    if (s.kind == std::string("FAT entry")) where = "FAT entry " + std::to_string(s.index) + " of the folder at cluster " +
                                                   std::to_string(s.where);
    std::string folderPath;
    if (!s.path.empty()) {
      folderPath = ForTerminal(ToUtf8(InsideVolume(s.path)));
      where += " (" + folderPath + ")";
    }
    ProgressLine::Get().Clear();
    const bool unreadable = s.action == std::string(kCouldNotRead);
    if (unreadable) {
      ++g_unreadable;
      if (g_unreadablePlaces.size() < kMaxKept)
        g_unreadablePlaces.push_back({s.kind, ToUtf8(s.path.empty() ? Text() : Text(InsideVolume(s.path))), s.why,
                                      s.kind == std::string("FAT folder") ? s.where + 2 : s.where});
    }
    if (args.verbose) {
      std::fprintf(stderr, "retriva: %s %s: %s\n", s.action, where.c_str(), s.why);
    } else if (unreadable && !args.quiet) {
      // Without --verbose, the folder (or record) by its path alone.
      const std::string named = folderPath.empty() ? std::string(s.kind) + " " + std::to_string(s.where) : folderPath;
      std::fprintf(stderr, "retriva: warning: could not read %s: files in it may be missing\n", named.c_str());
    }
  };
  // Read failures are always said; the rest of what was passed over with --verbose.
  g_unreadable = 0;
  g_unreadablePlaces.clear();
  SetSkipReporter(&skipped);
  RunEngineSearch(engine, v, FromUtf8(args.pattern), NormaliseFolder(args.folder), !args.noSubfolders, ev);
  SetSkipReporter(nullptr);
  ProgressLine::Get().Clear();
  // How much of each file the volume still holds, told before any recovery.
  for (auto& f : later) {
    uint32_t percent = 0;
    if (engine->recoverableAfterSearch && engine->recoverableAfterSearch(f, percent))
      f.recoverable = static_cast<int>(percent);
    each(f);
  }
  return refusal.empty();
}

namespace {

// One table row: name, size, modified, free share, folder, locator, padded
// by the columns each takes on a terminal. When `width` is set and the row
// would pass it, the folder column gives way, its start replaced by "…".
std::string TableRow(const std::string& name, const std::string& size, const std::string& time,
                     const std::string& free, const std::string& folder, const std::string& locator, size_t width) {
  const std::string before = PadToWidth(name, 40) + " " + std::string(size.size() < 12 ? 12 - size.size() : 0, ' ') +
                             size + "  " + PadToWidth(time, 16) + " " +
                             std::string(free.size() < 5 ? 5 - free.size() : 0, ' ') + free + "  ";
  size_t folderColumn = std::max<size_t>(30, DisplayWidth(folder));
  if (width != 0) {
    // One column is left free, as a full line wraps on some terminals.
    const size_t fixed = DisplayWidth(before) + 1 + DisplayWidth(locator);
    const size_t room = width - 1 > fixed ? width - 1 - fixed : 1;
    if (folderColumn > room) folderColumn = std::max<size_t>(room, 1);
  }
  const std::string shown = DisplayWidth(folder) > folderColumn ? ShortenFromStart(folder, folderColumn) : folder;
  std::string row = before + PadToWidth(shown, std::min<size_t>(30, folderColumn)) + " " + locator;
  while (!row.empty() && row.back() == ' ') row.pop_back();
  return row + "\n";
}

// Seconds since 1970 of a found file's time (FAT's local time read in the
// user's zone); 0 where the volume keeps none, as body files write it.
int64_t UnixTime(FoundTimeKind kind, uint64_t value) {
  uint64_t fileTime = 0;
  if (value == 0 || !FoundTimeToFileTime(kind, value, fileTime)) return 0;
  return FileTimeToUnix(fileTime);
}

// Body-file fields are split at "|" and lines at line breaks: a name
// holding either would shift every field after it.
std::string BodyFileText(const std::string& utf8) {
  std::string out = ForTerminal(utf8);
  for (char& c : out)
    if (c == '|') c = '?';
  return out;
}

// One line of the TSK body format (3.x), as `fls -m` writes it for a
// deleted file: no MD5, the path from the volume's root with "/", the
// id as inode, a regular file's mode, no owner.
std::string BodyFileLine(const FoundFile& f, Engine engine) {
  Text path = f.folder + f.name;
  for (auto& c : path)
    if (c == u'\\') c = u'/';
  const FoundTimeKind k = f.timeKind;
  return "0|" + BodyFileText(ToUtf8(path)) + " (deleted)|" + LocatorText(f, engine) + "|r/rrwxrwxrwx|0|0|" +
         std::to_string(f.size) + "|" + std::to_string(UnixTime(k, f.times.accessed)) + "|" +
         std::to_string(UnixTime(k, f.timeValue)) + "|" + std::to_string(UnixTime(k, f.times.changed)) + "|" +
         std::to_string(UnixTime(k, f.times.created)) + "\n";
}

std::string IsoOrEmpty(FoundTimeKind kind, uint64_t value, bool dateOnly = false) {
  char iso[32];
  if (value == 0) return std::string();
  const size_t n = ModifiedIsoText(kind, value, iso);
  return std::string(iso, dateOnly && n >= 10 ? 10 : n);
}

constexpr const char* kCsvHeader = "name,folder,size,modified,created,changed,accessed,id,recoverable\n";

std::string CsvLine(const FoundFile& f, Engine engine) {
  const FoundTimeKind k = f.timeKind;
  // FAT keeps only the date of the last access.
  const bool accessDateOnly = k == FoundTimeKind::FatLocal;
  return CsvField(ToUtf8(f.name)) + "," + CsvField(ToUtf8(f.folder)) + "," + std::to_string(f.size) + "," +
         IsoOrEmpty(k, f.timeValue) + "," + IsoOrEmpty(k, f.times.created) + "," + IsoOrEmpty(k, f.times.changed) +
         "," + IsoOrEmpty(k, f.times.accessed, accessDateOnly) + "," + LocatorText(f, engine) + "," +
         (f.recoverable >= 0 ? std::to_string(f.recoverable) : std::string()) + "\n";
}

}  // namespace

int RunSearch(const SearchArgs& args) {
  Engine engine;
  auto v = OpenForEngine(args.volume, engine, args.deep);
  if (!v) return kExitRefused;
  std::string refusal;
  size_t count = 0;
  uint64_t total = 0;
  std::string line;
  // The table fits a terminal's width by shortening the folder column;
  // to a pipe or a file every row is whole.
  const size_t width = TerminalWidth(stdout);
  auto header = [&] {
    ProgressLine::Get().Clear();
    WriteText(stdout, TableRow("NAME", "SIZE", "MODIFIED", "FREE", "FOLDER", "LOCATOR", width));
  };
  auto print = [&](const FoundFile& f) {
    if (args.json) {
      // The line is built first: building it may move its storage.
      size_t length = FoundFileJsonLine(f, engine, line);
      std::fwrite(line.data(), 1, length, stdout);
      return;
    }
    if (args.bodyfile || args.csv) {
      if (args.csv && count == 0) std::fputs(args.deep ? kDeepCsvHeader : kCsvHeader, stdout);
      std::string text = args.bodyfile ? BodyFileLine(f, engine) : CsvLine(f, engine);
      if (args.csv && args.deep) text.insert(text.size() - 1, kDeepCsvEmptyFields);
      std::fwrite(text.data(), 1, text.size(), stdout);
      ++count;
      return;
    }
    if (count == 0) header();
    ProgressLine::Get().Clear();
    const std::string free = f.recoverable >= 0 ? std::to_string(f.recoverable) + "%" : "?";
    WriteText(stdout, TableRow(ForTerminal(ToUtf8(f.name)), args.human ? HumanSize(f.size) : std::to_string(f.size),
                               ForTerminal(ToUtf8(f.time)), free, ForTerminal(ToUtf8(f.folder)),
                               LocatorText(f, engine), width));
    ++count;
    total += f.size;
  };
  // With --deep the rows wait for the scan, which tells the deleted files
  // that a carved file is (those are listed once, as the carved file).
  std::vector<FoundFile> listed;
  auto each = [&](const FoundFile& f) {
    if (args.deep) listed.push_back(f);
    else print(f);
  };
  if (engine && !SearchFound(args, engine, *v, true, refusal, each)) {
    Refuse(args.volume.volume + ": " + refusal);
    return kExitRefused;
  }
  DeepPass deep;
  if (args.deep) {
    if (!RunDeepPass(args, *v, engine, listed, false, deep)) return kExitRefused;
    for (const FoundFile& f : deep.KeptAsListed(listed)) print(f);
  }
  const bool machine = args.json || args.bodyfile || args.csv;
  if (args.csv && count == 0) std::fputs(args.deep ? kDeepCsvHeader : kCsvHeader, stdout);
  if (!machine && engine) {
    if (count == 0) header();
    if (!args.quiet)
      std::printf("%zu deleted file%s found, %llu bytes%s in all.\n", count, count == 1 ? "" : "s",
                  static_cast<unsigned long long>(total), args.human ? (" (" + HumanSize(total) + ")").c_str() : "");
  }
  // What the search passed over: said when it may have been a file (with the
  // table, or on stderr beside JSON), else with --verbose on stderr.
  const char* why = "";
  bool always = false;
  const uint64_t passed = engine ? engine->passedOverByLastSearch(why, always) : 0;
  if (passed != 0 && (always || args.verbose) && !args.quiet) {
    std::fflush(stdout);
    std::fprintf(always && !machine ? stdout : stderr, "%s%llu %s\n", machine || !always ? "retriva: " : "",
                 static_cast<unsigned long long>(passed), why);
  }
  // Folders or records whose clusters a read could not get: their files
  // may be missing, which the exit status says too.
  if (!args.deep) return SayUnreadable(args);
  const int status = ListCarvedFiles(args, *v, deep);
  return std::max(status, SayUnreadable(args));
}

}  // namespace rv::cli
