#include "cli/deep.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "carve/formats.h"
#include "carve/recover_carved.h"
#include "carve/scan.h"
#include "channel/messages.h"
#include "channel/outfile.h"
#include "cli/deep_lost.h"
#include "cli/deep_rows.h"
#include "cli/terminal.h"
#include "cli/text_columns.h"
#include "platform/files.h"
#include "platform/system.h"
#include "platform/text.h"

namespace rv::cli {

const char* const kDeepCsvHeader = "name,folder,size,modified,created,changed,accessed,id,recoverable,format,offset,truncated\n";

namespace {

// Ctrl-C during the scan: it stops between clusters, keeping what it found.
std::atomic<bool> g_stopScan{false};
void StopScan() { g_stopScan.store(true); }

class InterruptScope {
 public:
  InterruptScope() {
    g_stopScan.store(false);
    OnInterrupt(StopScan);
  }
  ~InterruptScope() { OnInterrupt(nullptr); }
};

// "Deep scan: 1.2G of 2.0G read, 350M/s, 0:04 left".
class ScanProgress {
 public:
  void operator()(uint64_t done, uint64_t total) {
    const auto now = std::chrono::steady_clock::now();
    if (now - shown_ < std::chrono::milliseconds(200) && done != total) return;
    shown_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? done / seconds : 0;
    std::string line = "Deep scan: " + HumanSize(done) + " of " + HumanSize(total) + " read";
    if (rate > 0) {
      const uint64_t left = static_cast<uint64_t>((total - done) / rate);
      char tail[64];
      std::snprintf(tail, sizeof tail, ", %s/s, %llu:%02llu left", HumanSize(static_cast<uint64_t>(rate)).c_str(),
                    static_cast<unsigned long long>(left / 60), static_cast<unsigned long long>(left % 60));
      line += tail;
    }
    ProgressLine::Get().Show(line);
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now(), shown_{};
};

struct ScanSetup {
  carve::VolumeLayout layout;
  carve::ScanOptions options;
};

bool PrepareScan(const SearchArgs& args, const OpenedVolume& v, ScanSetup& setup) {
  std::string why;
  if (!v.source) {
    Refuse(v.display + ": --deep reads the volume raw: give an image or a device");
    return false;
  }
  if (!carve::ReadLayout(*v.source, setup.layout, why)) {
    Refuse(v.display + ": " + why);
    return false;
  }
  setup.options.types = args.deepTypes;
  setup.options.stop = &g_stopScan;
  return true;
}

// Where the file is on the volume, for rows and sources: its own folder
// and name when a deleted entry names it, else carved/<ext>/f<cluster>.
std::string CarvedFolder(const carve::CarvedFile& f) {
  return f.known ? ToUtf8(f.known->folder) : std::string("\\carved\\") + f.extension + "\\";
}
std::string CarvedFileName(const carve::CarvedFile& f) {
  return f.known ? ToUtf8(f.known->name) : carve::CarvedName(f);
}

nlohmann::ordered_json CarvedJsonTail(const carve::CarvedFile& f) {
  nlohmann::ordered_json j;
  j["carved"] = true;
  j["format"] = f.row->name;
  j["extension"] = f.extension;
  j["offset"] = f.offset;
  j["truncated"] = f.truncated;
  j["id"] = carve::CarvedId(f);
  return j;
}

std::string CarvedRow(const std::string& name, const std::string& size, const std::string& format,
                      const std::string& offset, const std::string& folder, const std::string& id) {
  std::string row = PadToWidth(name, 40) + " " + std::string(size.size() < 12 ? 12 - size.size() : 0, ' ') + size +
                    "  " + PadToWidth(format, 16) + " " +
                    std::string(offset.size() < 14 ? 14 - offset.size() : 0, ' ') + offset + "  " +
                    PadToWidth(folder, 30) + " " + id;
  while (!row.empty() && row.back() == ' ') row.pop_back();
  return row + "\n";
}

std::string FormatText(const carve::CarvedFile& f) {
  return std::string(f.extension) + (f.truncated ? " truncated" : "");
}

void PrintCarved(const SearchArgs& args, const carve::CarvedFile& f, const FoundFile* entry, size_t count) {
  DeepRow row;
  row.name = CarvedFileName(f);
  row.folder = CarvedFolder(f);
  row.size = f.length;
  // The deleted entry it is keeps the file's time.
  char iso[32];
  const size_t isoLength = entry ? ModifiedIsoText(entry->timeKind, entry->timeValue, iso) : 0;
  row.time = entry ? ToUtf8(entry->time) : std::string();
  row.modified.assign(iso, isoLength);
  row.locator = f.cluster;
  row.carved = true;
  row.format = f.row->name;
  row.extension = f.extension;
  row.offset = f.offset;
  row.truncated = f.truncated;
  row.id = carve::CarvedId(f);
  row.csvRecoverable = "100";
  row.bodyNote = "carved";
  if (PrintDeepRow(args, row)) return;
  ProgressLine::Get().Clear();
  if (count == 0) WriteText(stdout, CarvedRow("CARVED", "SIZE", "FORMAT", "OFFSET", "FOLDER", "ID"));
  WriteText(stdout, CarvedRow(ForTerminal(row.name), args.human ? HumanSize(f.length) : std::to_string(f.length),
                              FormatText(f), std::to_string(f.offset), ForTerminal(row.folder), row.id));
}

int ScanFailed(const OpenedVolume& v, carve::ScanStatus status, const std::string& error) {
  ProgressLine::Get().Clear();
  if (status == carve::ScanStatus::ReadFailed) {
    std::fflush(stdout);
    std::fprintf(stderr, "retriva: %s: deep scan stopped: %s\n", v.display.c_str(), error.c_str());
    return kExitSomeFailed;
  }
  if (status == carve::ScanStatus::Stopped) {
    std::fflush(stdout);
    std::fprintf(stderr, "retriva: interrupted\n");
    return kExitSomeFailed;
  }
  return kExitOk;
}

}  // namespace

bool ParseTypes(const std::string& list, std::vector<std::string>& types, std::string& bad) {
  size_t from = 0;
  while (from <= list.size()) {
    const size_t comma = std::min(list.find(',', from), list.size());
    std::string t = list.substr(from, comma - from);
    for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (t == "jpeg") t = "jpg";
    if (t == "tiff") t = "tif";
    if (!t.empty()) {
      if (!carve::FormatFor(t)) {
        bad = t;
        return false;
      }
      types.push_back(t);
    }
    from = comma + 1;
  }
  return true;
}

bool PassesSizeFilters(const carve::CarvedFile& f, const Filters& filters) { return filters.PassesSize(f.length); }

bool IsCarvedId(const std::string& id) { return id.rfind(carve::kCarvedIdPrefix, 0) == 0; }

std::vector<FoundFile> DeepPass::KeptAsListed(const std::vector<FoundFile>& found) const {
  std::vector<FoundFile> kept;
  for (size_t i = 0; i < found.size(); ++i)
    if (i >= replaced.size() || !replaced[i]) kept.push_back(found[i]);
  return kept;
}

const FoundFile* DeepPass::EntryOf(const carve::CarvedFile& f) const {
  if (!f.known) return nullptr;
  const auto it = entries.find(f.known->tag);
  return it == entries.end() ? nullptr : &it->second;
}

bool RunDeepPass(const SearchArgs& args, const OpenedVolume& v, Engine engine, const std::vector<FoundFile>& found,
                 bool readNext, DeepPass& out) {
  ScanSetup setup;
  if (!PrepareScan(args, v, setup)) return false;
  setup.options.keepInCache = readNext;
  ScanProgress progress;
  if (!args.quiet && IsTerminal(stderr)) setup.options.progress = std::ref(progress);
  // Where each deleted file's data starts, and the clusters from there it
  // accounts for, as its engine would read them to recover it.
  out.replaced.assign(found.size(), false);
  std::vector<bool> guessed(found.size(), false);
  for (size_t i = 0; engine && i < found.size(); ++i) {
    const std::unique_ptr<FoundFileReader> reader = OpenFoundFile(*engine, found[i]);
    if (!reader) continue;
    const std::vector<ClusterRun> runs = reader->ClusterRuns();
    if (runs.empty() || runs.front().fileOffset != 0) continue;
    guessed[i] = reader->Guessed();
    setup.options.known.push_back({runs.front().cluster, runs.front().count, found[i].name, found[i].folder, i});
  }
  // The old file system's records are read on the same pass; the carved
  // files wait for them, since one that starts where an old file does is
  // that file.
  LostOnPass lost(*v.source);
  lost.Attach(setup.options);
  std::vector<carve::CarvedFile> carved;
  {
    InterruptScope interrupt;
    out.status = carve::DeepScan(*v.source, setup.layout, setup.options,
                                 [&](const carve::CarvedFile& f) { carved.push_back(f); }, out.error);
  }
  ProgressLine::Get().Clear();
  out.lost = lost.Files();
  for (const carve::CarvedFile& f : carved) {
    if (lost.StartsAt(f.cluster)) {
      out.ofOldFiles.push_back(f);
      continue;
    }
    if (f.known) {
      // The deleted file keeps its own row unless its engine would only
      // guess past its first cluster and the format vouches for the bytes
      // at the size its entry gives.
      const size_t i = static_cast<size_t>(f.known->tag);
      if (f.truncated || f.length != found[i].size || !guessed[i]) continue;
      out.replaced[i] = true;
      out.entries.emplace(i, found[i]);
    }
    out.carved.push_back(f);
  }
  // Moving the vector keeps its elements where they are: the carved files'
  // `known` stay valid.
  out.known = std::move(setup.options.known);
  return true;
}

int ListCarvedFiles(const SearchArgs& args, const OpenedVolume& v, const DeepPass& pass) {
  size_t count = 0, truncated = 0;
  uint64_t total = 0;
  PrintLostFiles(args, pass.lost);
  for (const carve::CarvedFile& f : pass.carved) {
    if (!PassesSizeFilters(f, args.filters)) continue;
    PrintCarved(args, f, pass.EntryOf(f), count);
    ++count;
    truncated += f.truncated;
    total += f.length;
  }
  const bool machine = args.json || args.csv || args.bodyfile;
  if (!machine && !args.quiet) {
    if (count == 0) WriteText(stdout, CarvedRow("CARVED", "SIZE", "FORMAT", "OFFSET", "FOLDER", "ID"));
    std::printf("%zu carved file%s found by their format (%zu truncated), %llu bytes%s in all.\n", count,
                count == 1 ? "" : "s", truncated, static_cast<unsigned long long>(total),
                args.human ? (" (" + HumanSize(total) + ")").c_str() : "");
  }
  std::fflush(stdout);
  return ScanFailed(v, pass.status, pass.error);
}

int RecoverCarvedFiles(const RecoverArgs& args, const OpenedVolume& v, const Text& dest,
                       OutputDestination& destination, const std::set<std::string>& ids, const DeepPass& pass,
                       RecoverReport* report) {
  struct Written {
    std::string id, source, format;
    carve::CarvedFile file;
    uint32_t code = kResultNotRecovered;
    Text output;
    DigestingObserver::Digests digests;
  };
  std::vector<Written> results;
  std::set<std::string> matched;
  OutputOptions outputOptions;
  outputOptions.counterBeforeExtension = true;
  outputOptions.destination = &destination;
  if (report) outputOptions.observer = report->Observer();
#ifndef _WIN32
  CommitBatch batch;
  outputOptions.batch = &batch;
#endif
  // Ctrl-C stops the writing, keeping what was written.
  InterruptScope interrupt;
  // The old file system's files first, under their names.
  std::set<std::string> lostMatched;
  const size_t lostFailed = pass.status == carve::ScanStatus::Stopped
                                ? 0
                                : RecoverLostFiles(args, v, pass.lost, dest, destination, ids, lostMatched, report);
  {
    ScopedOutputOptions scope(outputOptions);
    for (const carve::CarvedFile& f : pass.carved) {
      if (g_stopScan.load() || pass.status == carve::ScanStatus::Stopped) break;
      const std::string id = carve::CarvedId(f);
      if (!ids.empty() && !ids.count(id)) continue;
      if (ids.empty() && !args.search.filters.PassesSize(f.length)) continue;
      matched.insert(id);
      Written w{id, CarvedFolder(f) + CarvedFileName(f), f.row->name, f, kResultNotRecovered, Text(), {}};
      // Folders are made through the destination's handle, never by path.
      Text folder = dest;
      NotRecoveredReason why = NotRecoveredReason::FolderNotMade;
      bool placed = true;
      if (!f.known)
        placed = destination.MakeKeptFolder(u"\\carved\\" + FromUtf8(f.extension) + u"\\", folder, why) != nullptr;
      else if (args.keepFolders)
        placed = destination.MakeKeptFolder(f.known->folder, folder, why) != nullptr;
      if (placed) {
        const FoundFile* entry = pass.EntryOf(f);
        uint64_t modified = 0;
        if (entry && !FoundTimeToFileTime(entry->timeKind, entry->timeValue, modified)) modified = 0;
        const carve::CarvedWrite r = carve::WriteCarvedFile(*v.source, f, folder, FromUtf8(CarvedFileName(f)),
                                                            w.output, &g_stopScan, modified);
        w.code = r == carve::CarvedWrite::Written           ? kResultRecovered
                 : r == carve::CarvedWrite::DestinationFull ? kResultDestinationTooSmall
                                                           : kResultNotRecovered;
        if (report) w.digests = report->TakeDigests();
        if (r == carve::CarvedWrite::Stopped) break;
      }
      results.push_back(std::move(w));
    }
  }
#ifndef _WIN32
  const auto named = batch.Finish();
  for (Written& w : results) {
    const auto it = w.output.empty() ? named.end() : named.find(w.output);
    if (it == named.end()) continue;
    w.output = it->second.final;
    if (w.output.empty()) w.code = it->second.full ? kResultDestinationTooSmall : kResultNotRecovered;
  }
#endif
  size_t recovered = 0, truncated = 0, failed = 0;
  for (const Written& w : results) {
    const bool ok = w.code == kResultRecovered;
    recovered += ok;
    truncated += ok && w.file.truncated;
    failed += !ok;
    const std::string output = w.output.empty() ? std::string() : OutputPathText(w.output);
    if (report) report->AddDeepFile(CarvedReportRow(w.file, pass.EntryOf(w.file), w.source, w.id, w.code), ok ? output : std::string(),
                                    w.digests);
    if (!ok) WriteText(stderr, "retriva: " + ForTerminal(w.source) + ": not recovered\n");
    if (args.search.json) {
      nlohmann::ordered_json j = RecoveredJson(w.file.cluster, w.code, w.source, output, w.file.length);
      j.update(CarvedJsonTail(w.file));
      const std::string text = JsonLine(j);
      std::fwrite(text.data(), 1, text.size(), stdout);
    } else if (!args.search.quiet && ok) {
      WriteText(stdout, std::to_string(w.code) + " " + w.id + " " + ForTerminal(w.source) + " -> " +
                            ForTerminal(output) + " (" + w.format + ", " + std::to_string(w.file.length) + " bytes" +
                            (w.file.truncated ? ", truncated: its end is not certain" : "") + ")\n");
    }
  }
  failed += lostFailed;
  for (const std::string& id : ids) {
    if (matched.count(id) || lostMatched.count(id)) continue;
    WriteText(stderr, "retriva: " + id + ": the deep scan found no file starting there\n");
    ++failed;
  }
  if (!args.search.json && !args.search.quiet)
    std::printf("Deep scan: %zu carved file(s) recovered (%zu truncated), %zu not recovered.\n", recovered, truncated,
                failed);
  std::fflush(stdout);
  const int scan = ScanFailed(v, pass.status, pass.error);
  return scan != kExitOk ? scan : failed ? kExitSomeFailed : kExitOk;
}

}  // namespace rv::cli
