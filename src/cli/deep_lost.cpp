#include "cli/deep_lost.h"

#include <cctype>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "channel/messages.h"
#include "channel/outfile.h"
#include "cli/deep_rows.h"
#include "cli/terminal.h"
#include "cli/text_columns.h"
#include "lost/lost_recover.h"
#include "ntfs/nue.h"
#include "platform/files.h"
#include "platform/system.h"
#include "platform/text.h"

namespace rv::cli {
namespace {

const char* SourceText(lost::LostSource s) { return lost::FoundInText(s); }

// "2024-03-01T14:30:05Z", empty for no time.
std::string IsoTime(uint64_t fileTime) {
  CalendarTime t;
  if (fileTime == 0 || !FileTimeToUtc(fileTime, t)) return "";
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", t.year, t.month, t.day, t.hour, t.minute, t.second);
  return text;
}

std::string FolderText(const lost::LostFile& f) { return ToUtf8(f.folder) + "\\"; }

// The name's extension in lower case ("jpeg" as "jpg", as --types reads it).
std::string ExtensionOf(const lost::LostFile& f) {
  const std::string name = ToUtf8(f.name);
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos) return "";
  std::string ext = name.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == "jpeg") ext = "jpg";
  if (ext == "tiff") ext = "tif";
  return ext;
}

// The size filters, and --types by the name's extension.
bool Wanted(const lost::LostFile& f, const SearchArgs& args) {
  if (!args.filters.PassesSize(f.size)) return false;
  if (args.deepTypes.empty()) return true;
  const std::string ext = ExtensionOf(f);
  for (const std::string& t : args.deepTypes)
    if (t == ext) return true;
  return false;
}

std::string Row(const std::string& name, const std::string& size, const std::string& time, const std::string& found,
                const std::string& folder, const std::string& id) {
  std::string row = PadToWidth(name, 40) + " " + std::string(size.size() < 12 ? 12 - size.size() : 0, ' ') + size +
                    "  " + PadToWidth(time, 20) + " " + PadToWidth(found, 16) + " " + PadToWidth(folder, 30) + " " + id;
  while (!row.empty() && row.back() == ' ') row.pop_back();
  return row + "\n";
}

void PrintOne(const SearchArgs& args, const lost::LostFile& f, bool first) {
  DeepRow row;
  row.name = ToUtf8(f.name);
  row.folder = FolderText(f);
  row.size = f.size;
  row.modified = IsoTime(f.modified);
  row.locator = f.firstCluster;
  row.recoverable = f.source == lost::LostSource::NtfsIndex ? 0 : 100;
  // "format" says where the old record was found.
  row.format = SourceText(f.source);
  row.extension = ExtensionOf(f);
  row.offset = f.recordOffset;
  row.id = LostId(f);
  row.csvModified = row.modified;
  row.bodyNote = "old record";
  row.bodyMtime = f.modified ? FileTimeToUnix(f.modified) : 0;
  if (PrintDeepRow(args, row)) return;
  if (first) WriteText(stdout, Row("OLD FILE", "SIZE", "MODIFIED", "FOUND IN", "FOLDER", "ID"));
  WriteText(stdout, Row(ForTerminal(row.name), args.human ? HumanSize(f.size) : std::to_string(f.size), row.modified,
                        row.format, ForTerminal(row.folder), row.id));
}

}  // namespace

bool IsLostId(const std::string& id) { return id.rfind(kLostIdPrefix, 0) == 0; }

std::string OutputPathText(const Text& enginePath) {
#ifdef _WIN32
  return ToUtf8(enginePath);
#else
  return fs::NativePath(enginePath);
#endif
}

size_t PrintLostFiles(const SearchArgs& args, const std::vector<lost::LostFile>& files) {
  size_t count = 0;
  for (const lost::LostFile& f : files) {
    if (!Wanted(f, args)) continue;
    PrintOne(args, f, count == 0);
    ++count;
  }
  const bool machine = args.json || args.csv || args.bodyfile;
  if (!machine && !args.quiet)
    std::printf("%zu file%s of an old file system found by their records.\n", count, count == 1 ? "" : "s");
  return count;
}

size_t RecoverLostFiles(const RecoverArgs& args, const OpenedVolume& v, const std::vector<lost::LostFile>& files,
                        const Text& dest, OutputDestination& destination, const std::set<std::string>& ids,
                        std::set<std::string>& matched, RecoverReport* report) {
  if (!v.source) return 0;
  // NTFS records are written by the NTFS engine's writers, over its own
  // volume record.
  NueVolumeData* ntfs = nullptr;
  bool ntfsOpen = false;
  for (const lost::LostFile& f : files)
    if (f.source == lost::LostSource::NtfsRecord && !ntfsOpen) {
      ntfsOpen = SetupNueVolumeDataStructures(v.volumeName, TheNueVolume(), kTrue) != kFalse;
      if (ntfsOpen) ntfs = &TheNueVolume();
      break;
    }
  // Each file flushed and named as it is written: its line shows its final name.
  OutputOptions outputOptions;
  outputOptions.counterBeforeExtension = true;
  outputOptions.destination = &destination;
  if (report) outputOptions.observer = report->Observer();
  ScopedOutputOptions scope(outputOptions);
  size_t failed = 0;
  const lost::LostClaims claims(files);
  for (const lost::LostFile& f : files) {
    const std::string id = LostId(f);
    if (!ids.empty() && !ids.count(id)) continue;
    if (ids.empty() && !Wanted(f, args.search)) continue;
    matched.insert(id);
    Text folder = dest;
    const std::string source = FolderText(f) + ToUtf8(f.name);
    lost::LostRecovery r;
    r.code = kResultNotRecovered;
    NotRecoveredReason why = NotRecoveredReason::FolderNotMade;
    if (!args.keepFolders || destination.MakeKeptFolder(f.folder + u"\\", folder, why))
      r = lost::RecoverLostFile(*v.source, ntfs, f, folder, &claims);
    const bool ok = r.code == kResultRecovered || r.code == kResultPartlyInUse;
    failed += !ok;
    const std::string output = r.output.empty() ? std::string() : OutputPathText(r.output);
    if (report)
      report->AddDeepFile(LostReportRow(f, source, id, r, report->Placement()), ok ? output : std::string(),
                          report->TakeDigests());
    if (!ok) WriteText(stderr, "retriva: " + ForTerminal(source) + ": not recovered\n");
    if (args.search.json) {
      nlohmann::ordered_json j = RecoveredJson(f.firstCluster, r.code, source, output, f.size);
      j["contiguous_guess"] = r.guessed;
      j["format"] = SourceText(f.source);
      j["truncated"] = false;
      j["id"] = id;
      const std::string text = JsonLine(j);
      std::fwrite(text.data(), 1, text.size(), stdout);
    } else if (!args.search.quiet && ok) {
      WriteText(stdout, std::to_string(r.code) + " " + id + " " + ForTerminal(source) + " -> " + ForTerminal(output) +
                            (r.guessed ? " (clusters after the first guessed)" : "") +
                            (r.byFormat ? " (clusters placed by its format)" : "") + "\n");
    }
  }
  if (ntfsOpen) FreeNueVolumeDataStructures(TheNueVolume());
  return failed;
}

}  // namespace rv::cli
