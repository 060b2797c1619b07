// retriva: find deleted files on NTFS, FAT16, FAT32 and exFAT volumes and recover
// them into another folder. Never writes to the volume it searches.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/deep.h"
#include "cli/terminal.h"
#include "platform/system.h"
#include "retriva_version.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

void AddVolumeOptions(CLI::App* cmd, rv::cli::VolumeArgs& v) {
  cmd->add_option("VOLUME", v.volume, "Image file or block device (on Windows also C: or \\\\?\\Volume{...})")
      ->required();
  auto* part = cmd->add_option("--partition", v.partition, "Work on partition N of a whole-disk image or device");
  auto* off = cmd->add_option("--offset", v.offset, "Work on the volume that starts at this byte offset");
  part->excludes(off);
}

// The filters as typed; checked and turned into values after parsing.
struct TypedFilters {
  std::string minSize, maxSize, after, before;
  int minRecoverable = -1;
};

void AddFilterOptions(CLI::App* cmd, TypedFilters& t) {
  cmd->add_option("--min-size", t.minSize, "Only files of at least this size (bytes, or with K, M, G, T: 10K, 1.5M)");
  cmd->add_option("--max-size", t.maxSize, "Only files of at most this size");
  cmd->add_option("--modified-after", t.after,
                  "Only files modified at or after this time: 2024-03-01, 2024-03-01T14:30 (local time; add Z for UTC)");
  cmd->add_option("--modified-before", t.before, "Only files modified before this time");
  cmd->add_option("--min-recoverable", t.minRecoverable,
                  "Only files of which at least PERCENT of the clusters are still free")
      ->check(CLI::Range(0, 100));
}

// A date bound as the FILETIME it names: UTC as given, a local time by the
// machine's time zone; false when the clock skips that local time.
bool BoundFileTime(const rv::cli::TypedTime& b, uint64_t& fileTime) {
  if (b.utc) {
    fileTime = rv::UnixToFileTime(rv::cli::UnixSecondsOfUtc(b));
    return true;
  }
  return rv::LocalToFileTime({b.year, b.month, b.day, b.hour, b.minute, b.second}, fileTime);
}

// False, after saying why on stderr, when a filter is not understood.
bool ResolveFilters(const TypedFilters& t, rv::cli::Filters& f) {
  auto bad = [](const char* option, const std::string& value, const char* what) {
    std::fprintf(stderr, "retriva: %s: '%s' is not %s\n", option, rv::cli::ForTerminal(value).c_str(), what);
    return false;
  };
  uint64_t bytes = 0, bound = 0;
  rv::cli::TypedTime when;
  const char* kSize = "a size (a number of bytes, or with K, M, G or T: 10K, 1.5M)";
  const char* kDate = "a date (YYYY-MM-DD, YYYY-MM-DDTHH:MM or YYYY-MM-DDTHH:MM:SS, Z for UTC)";
  if (!t.minSize.empty()) {
    if (!rv::cli::ParseSize(t.minSize, bytes)) return bad("--min-size", t.minSize, kSize);
    f.minSize = bytes;
  }
  if (!t.maxSize.empty()) {
    if (!rv::cli::ParseSize(t.maxSize, bytes)) return bad("--max-size", t.maxSize, kSize);
    f.maxSize = bytes;
  }
  if (!t.after.empty()) {
    if (!rv::cli::ParseIsoTime(t.after, when)) return bad("--modified-after", t.after, kDate);
    if (BoundFileTime(when, bound)) f.modifiedFrom = bound;
    else f.timeUnmatchable = true;
  }
  if (!t.before.empty()) {
    if (!rv::cli::ParseIsoTime(t.before, when)) return bad("--modified-before", t.before, kDate);
    if (BoundFileTime(when, bound)) f.modifiedUntil = bound;
    else f.timeUnmatchable = true;
  }
  if (t.minRecoverable >= 0) f.minRecoverable = t.minRecoverable;
  return true;
}

void AddSearchOptions(CLI::App* cmd, rv::cli::SearchArgs& s) {
  AddVolumeOptions(cmd, s.volume);
  cmd->add_option("--pattern", s.pattern, "File-name pattern with * and ? (default: every name)");
  cmd->add_option("--folder", s.folder, "Folder inside the volume, e.g. \\Users\\me (default: the whole volume)");
  cmd->add_flag("--no-subfolders", s.noSubfolders, "Only files directly in --folder");
  cmd->add_flag("--json", s.json, "One JSON object per line");
  auto* verbose = cmd->add_flag("-v,--verbose", s.verbose, "Say on stderr what the search passed over and why");
  auto* quiet = cmd->add_flag("-q,--quiet", s.quiet, "No progress, summary or warnings: rows and errors only");
  verbose->excludes(quiet);
  cmd->add_flag("--deep", s.deep,
                "Also read every free cluster for files by their format (photos, documents, ...), after the deleted "
                "files the volume lists; works on volumes without a file system too");
  cmd->add_option("--types", s.deepTypesText,
                  "With --deep: only these formats, by extension (jpg,png,gif,bmp,tif,cr2,nef,pdf,zip,docx,xlsx,pptx,"
                  "odt,wav,avi,webp,mp4,mov,sqlite,7z,ogg,mp3,flac,mkv,webm,gz,rar,psd)");
}

// Texts of --help. Every subcommand's help ends with its examples; the
// program's own with the exit codes and the result codes as well, which
// the manual page takes from it.
constexpr const char* kExitCodes =
    "Exit codes:\n"
    "  0  done: every file asked for was recovered (a search: the volume was read)\n"
    "  1  some file was not recovered (each named on stderr with its reason), or Ctrl-C stopped the recovery;\n"
    "     a search: some folder could not be read from the volume (each named on stderr)\n"
    "  2  usage error, or the volume or destination was refused (a one-line reason on stderr)\n";
constexpr const char* kResultCodes =
    "Result codes (recover, first column and the JSON \"code\"):\n"
    "  776  recovered\n"
    "  777  recovered, with \"*\" in place of clusters other files have taken since\n"
    "  778  not recovered (no byte of it is left, or it could not be read or written)\n"
    "  785  not recovered: the destination has too little free space\n";
constexpr const char* kInfoExamples =
    "Examples:\n"
    "  retriva info disk.img\n"
    "  retriva info --partition 2 --json disk.img\n";
constexpr const char* kSearchExamples =
    "Examples:\n"
    "  retriva search /dev/sdb1\n"
    "  retriva search disk.img --partition 2 --pattern '*.jpg' --folder 'Users/me/Pictures' -h\n"
    "  retriva search usb.img --min-size 1M --modified-after 2024-03-01 --min-recoverable 100\n"
    "  retriva search usb.img --bodyfile > body.txt && mactime -b body.txt\n"
    "  retriva search formatted-card.img --deep --types jpg,cr2,mp4\n";
constexpr const char* kRecoverExamples =
    "Examples:\n"
    "  retriva recover /dev/sdb1 --to /mnt/usb/rescued --keep-folders\n"
    "  retriva recover usb.img --to rescued --pattern '*.docx' --modified-after 2024-01-01\n"
    "  retriva recover usb.img --id 1234 --stdout | less\n"
    "  retriva recover formatted-card.img --deep --to /mnt/usb/rescued\n";

// "retriva serach": a word that is neither a command nor an option is
// named as an unknown command, with the nearest command when one is close.
size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = up;
    }
  }
  return row[b.size()];
}

bool RefuseUnknownCommand(int argc, char** argv) {
  if (argc < 2 || argv[1][0] == '-') return false;
  const std::string word = argv[1];
  static const char* const kCommands[] = {"info", "search", "recover", "mount"};
  std::string nearest;
  for (const char* c : kCommands) {
    if (word == c) return false;
    if (EditDistance(word, c) <= 2) nearest = c;
  }
  std::fprintf(stderr, "retriva: unknown command '%s'%s%s%s\nUsage: retriva info|search|recover ... (retriva --help)\n",
               rv::cli::ForTerminal(word).c_str(), nearest.empty() ? "" : "; did you mean '",
               nearest.c_str(), nearest.empty() ? "" : "'?");
  return true;
}

std::string VersionText() {
  return std::string("retriva ") + RETRIVA_VERSION + (std::string(RETRIVA_REVISION).empty() ? "" : " (" RETRIVA_REVISION ")");
}

int Run(int argc, char** argv) {
  // A search lists a line per deleted file, often hundreds of thousands:
  // to a pipe or a file they leave in 64 KiB writes rather than the 4 KiB
  // the C library picks. A terminal keeps its line buffering.
  static char outBuffer[1 << 16];
  if (!rv::cli::IsTerminal(stdout)) std::setvbuf(stdout, outBuffer, _IOFBF, sizeof outBuffer);
  if (RefuseUnknownCommand(argc, argv)) return rv::cli::kExitRefused;
  // The name, not the path it was started by, heads the usage line.
  CLI::App app{"retriva: find and recover deleted files on NTFS, FAT16, FAT32 and exFAT volumes.\n"
               "The searched volume is only read, never written.",
               "retriva"};
  app.require_subcommand(1);
  app.set_version_flag("--version", VersionText(), "Print the version and the source revision");
  app.set_help_all_flag("--help-all", "Print this help and every command's help");
  app.footer(std::string("Run 'retriva COMMAND --help' for a command's options.\n\n") + kSearchExamples + "\n" +
             kRecoverExamples + "\n" + kExitCodes + "\n" + kResultCodes);

  rv::cli::VolumeArgs infoArgs;
  bool infoJson = false;
  auto* info = app.add_subcommand("info", "Describe a volume, or list the partitions of a whole disk");
  AddVolumeOptions(info, infoArgs);
  info->add_flag("--json", infoJson, "Print one JSON object");
  info->footer(std::string(kInfoExamples) + "\n" + kExitCodes);

  rv::cli::SearchArgs searchArgs;
  TypedFilters searchFilters, recoverFilters;
  auto* search = app.add_subcommand("search", "List the deleted files a volume still describes");
  // -h is for sizes, as in ls, df and du; --help stays help.
  search->set_help_flag("--help", "Print this help and exit");
  search->add_flag("-h,--human-readable", searchArgs.human, "Sizes as 1.5K, 23M, 4.0G (powers of 1024)");
  search->footer(std::string(kSearchExamples) + "\n" + kExitCodes);
  AddSearchOptions(search, searchArgs);
  AddFilterOptions(search, searchFilters);
  auto* body = search->add_flag("--bodyfile", searchArgs.bodyfile,
                                "Print the TSK body-file format (MD5|name|inode|mode|UID|GID|size|atime|mtime|ctime|crtime) "
                                "with every time the volume keeps, for mactime");
  auto* csv = search->add_flag("--csv", searchArgs.csv, "Print a CSV table with a header line, for spreadsheets");
  body->excludes(csv);
  body->excludes("--json");
  csv->excludes("--json");

  rv::cli::RecoverArgs recoverArgs;
  auto* recover = app.add_subcommand(
      "recover",
      "Recover deleted files into a folder on another volume");
  recover->set_help_flag("--help", "Print this help and exit");
  recover->footer(std::string("Each recovered file gets the deleted file's last-modification time. Existing files are "
                              "never replaced: a name that is taken gets a counter before its extension (x;1.txt, "
                              "x;2.txt).\n\n") +
                  kRecoverExamples + "\n" + kExitCodes + "\n" + kResultCodes);
  AddSearchOptions(recover, recoverArgs.search);
  AddFilterOptions(recover, recoverFilters);
  recover->add_option("--to", recoverArgs.destination, "Destination folder (created if missing); required unless --stdout");
  recover->add_flag("--stdout", recoverArgs.toStdout,
                    "Write the one file named by --id to standard output (for pipes) instead of a folder");
  recover->add_flag("--keep-folders", recoverArgs.keepFolders,
                    "Recreate the volume's folders under the destination (each folder name made safe) instead of "
                    "putting every file directly into it");
  recover->add_option("--id", recoverArgs.ids,
                      "Recover only these files: an NTFS MFT record number (RECORD:INDEX for a named stream), or LOCATOR:INDEX on FAT (as search prints); with --deep also deep:CLUSTER for a carved file");

  recover->add_option("--report", recoverArgs.report,
                      "Write a report of the recovery: per file its path, id, size, times, result, output and the MD5 "
                      "and SHA-256 of the bytes written; CSV, DFXML for a .xml name (with where each file's bytes lie in the "
                      "image, its byte_runs), sha256sum -c lines for .sha256");
  for (int i = 0; i < argc; ++i) recoverArgs.commandLine += (i ? " " : "") + std::string(argv[i]);

  rv::cli::MountArgs mountArgs;
  TypedFilters mountFilters;
  auto* mount = app.add_subcommand("mount", "Show the deleted files as a read-only file system (Linux, FUSE)");
  mount->footer(std::string(
      "Files read as a recovery would write them, on demand; folders as on the volume. Extended attributes "
      "user.retriva.recoverable, user.retriva.guessed and user.retriva.id tell each file's condition and id. Stays "
      "in the foreground until Ctrl-C or 'fusermount3 -u MOUNTPOINT' unless --daemon is given.\n\n"
      "Examples:\n  retriva mount usb.img /mnt/deleted\n  retriva mount --partition 2 disk.img ~/deleted -d\n"));
  AddVolumeOptions(mount, mountArgs.search.volume);
  mount->add_option("MOUNTPOINT", mountArgs.mountPoint, "Empty folder to mount at (on another volume)")->required();
  mount->add_option("--pattern", mountArgs.search.pattern, "File-name pattern with * and ? (default: every name)");
  mount->add_option("--folder", mountArgs.search.folder, "Folder inside the volume (default: the whole volume)");
  mount->add_flag("--no-subfolders", mountArgs.search.noSubfolders, "Only files directly in --folder");
  AddFilterOptions(mount, mountFilters);
  mount->add_flag("-d,--daemon", mountArgs.daemon, "Detach once mounted");
  mount->add_flag("--deep", mountArgs.search.deep,
                  "Also read every free cluster for files by their format: shown under $Carved/<ext>/, or where the "
                  "deleted entry they are names them");
  mount->add_option("--types", mountArgs.search.deepTypesText, "With --deep: only these formats, by extension");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? 0 : rv::cli::kExitRefused;
  }
  rv::cli::ProgressLine::Get().SetQuiet(*search ? searchArgs.quiet : recoverArgs.search.quiet);
  if (*search && !ResolveFilters(searchFilters, searchArgs.filters)) return rv::cli::kExitRefused;
  if (*recover && !ResolveFilters(recoverFilters, recoverArgs.search.filters)) return rv::cli::kExitRefused;
  for (rv::cli::SearchArgs* s : {&searchArgs, &recoverArgs.search, &mountArgs.search}) {
    std::string bad;
    if (!rv::cli::ParseTypes(s->deepTypesText, s->deepTypes, bad)) {
      std::fprintf(stderr, "retriva: --types: '%s' is no format the deep scan knows\n", bad.c_str());
      return rv::cli::kExitRefused;
    }
    if (!s->deepTypesText.empty() && !s->deep) {
      std::fprintf(stderr, "retriva: --types needs --deep\n");
      return rv::cli::kExitRefused;
    }
  }
  if (*recover && !recoverArgs.toStdout && recoverArgs.destination.empty() &&
      recover->count("--to") == 0) {
    std::fprintf(stderr, "retriva: recover: --to DIR is required (or --stdout with one --id)\n");
    return rv::cli::kExitRefused;
  }
  if (*mount && !ResolveFilters(mountFilters, mountArgs.search.filters)) return rv::cli::kExitRefused;
  if (*mount) {
    mountArgs.search.quiet = true;
    return rv::cli::RunMount(mountArgs);
  }
  if (*info) return rv::cli::RunInfo(infoArgs, infoJson);
  if (*search) return rv::cli::RunSearch(searchArgs);
  if (*recover) return rv::cli::RunRecover(recoverArgs);
  return rv::cli::kExitRefused;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** wargv) {
  SetConsoleOutputCP(CP_UTF8);
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    int n = WideCharToMultiByte(CP_UTF8, 0, wargv[i], -1, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, wargv[i], -1, s.data(), n, nullptr, nullptr);
    args.push_back(std::move(s));
  }
  std::vector<char*> argv;
  for (auto& s : args) argv.push_back(s.data());
  return Run(argc, argv.data());
}
#else
int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  return Run(argc, argv);
}
#endif
