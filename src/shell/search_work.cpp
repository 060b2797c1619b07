#include "shell/search_work.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "carve/formats.h"
#include "lost/lost_on_pass.h"
#include "lost/lost_recover.h"
#include "channel/messages.h"
#include "res/resource.h"
#include "shell/state.h"
#include "volume/dasd.h"
#include "volume/osvolume.h"

namespace rv::shell {
namespace {

std::atomic<uint32_t> g_generation{0};
std::atomic<int> g_jobs{0};  // handed over and not yet done
std::atomic<bool> g_stop{false};

SearchNews NewsOf(uint32_t generation) {
  SearchNews n;
  n.generation = generation;
  return n;
}

std::mutex g_newsLock;
SearchNews g_news;
bool g_newsPosted = false;  // a CMD_SEARCH_NEWS is on its way: no second one

// News is merged under the lock and the window told once per batch.
void Tell(uint32_t generation, const std::function<void(SearchNews&)>& add) {
  bool post = false;
  {
    std::lock_guard<std::mutex> hold(g_newsLock);
    if (g_news.generation != generation) g_news = NewsOf(generation);
    add(g_news);
    post = !g_newsPosted;
    g_newsPosted = true;
  }
  if (post) PostMessageW(Shell().mainWindow, WM_COMMAND, CMD_SEARCH_NEWS, 0);
}

// A found file as the worker keeps it: what opening it needs, and the
// condition learnt while it was listed.
struct Listed {
  FoundFile file;
  FileCondition condition;
};

// Between the engine and the main window: each found file's share is asked
// while the engine still holds it (the only time the NTFS engine can
// answer), and the end of the search is held back until the worker's own
// parts are done.
class WorkSink final : public MessageSink {
 public:
  WorkSink(MessageSink& window, const EngineRow& engine, std::vector<Listed>& listed)
      : window_(window), engine_(engine), listed_(listed) {}
  ~WorkSink() override {
    if (held_) gmem::Free(held_);
  }

  bool Post(uint32_t id, gmem::Handle payload) override {
    if (id == CM_SEARCH_FINISHED && !finished_) {
      finished_ = true;
      held_ = payload;
      return true;
    }
    Listed entry;
    bool found = false;
    if (id == CM_FILE_FOUND && payload) {
      if (const void* bytes = gmem::Lock(payload)) {
        found = DecodeFoundFile(static_cast<const uint8_t*>(bytes), gmem::Size(payload), u"", entry.file);
        gmem::Unlock(payload);
      }
      uint32_t percent = 0;
      if (found && engine_.recoverableWhileListed && engine_.recoverableWhileListed(percent))
        entry.condition.share = static_cast<int>(percent);
    }
    if (!window_.Post(id, payload)) return false;
    if (found) listed_.push_back(std::move(entry));
    return true;
  }

  // The engine's end message, when it sent one.
  void Finish() {
    if (!finished_) return;
    gmem::Handle payload = held_;
    held_ = nullptr;
    if (!window_.Post(CM_SEARCH_FINISHED, payload) && payload) gmem::Free(payload);
  }

 private:
  MessageSink& window_;
  const EngineRow& engine_;
  std::vector<Listed>& listed_;
  bool finished_ = false;
  gmem::Handle held_ = nullptr;
};

constexpr DWORD kNewsEveryMs = 200;

// Shares the engine answers only after its walk, the guess of every file
// and, for the deep scan, where each file's data starts.
// `clusterBytes` is the volume's cluster size (0 when unknown).
void LearnConditions(const SearchJob& job, std::vector<Listed>& listed, std::vector<carve::KnownFile>* known,
                     uint64_t clusterBytes) {
  const EngineRow& engine = *job.engine;
  // Only an engine that may guess has a guess to tell, and only of a file
  // past its first cluster; the deep scan needs every file's start.
  const bool mayGuess = engine.guessesClusters || engine.resultGuessed;
  std::vector<std::pair<uint32_t, FileCondition>> batch;
  DWORD told = GetTickCount();
  for (size_t i = 0; i < listed.size() && !g_stop.load(); ++i) {
    Listed& l = listed[i];
    uint32_t percent = 0;
    if (l.condition.share < 0 && engine.recoverableAfterSearch) {
      std::lock_guard<std::recursive_mutex> hold(EngineLock());
      if (engine.recoverableAfterSearch(l.file, percent)) l.condition.share = static_cast<int>(percent);
    }
    const bool open = known || (mayGuess && (clusterBytes == 0 || l.file.size > clusterBytes));
    if (const std::unique_ptr<FoundFileReader> reader = open ? OpenFoundFile(engine, l.file) : nullptr) {
      l.condition.guessed = reader->Guessed();
      if (known) {
        std::vector<ClusterRun> runs;
        {
          std::lock_guard<std::recursive_mutex> hold(EngineLock());
          runs = reader->ClusterRuns();
        }
        if (!runs.empty() && runs.front().fileOffset == 0)
          known->push_back({runs.front().cluster, runs.front().count, l.file.name, l.file.folder, i});
      }
    }
    batch.emplace_back(static_cast<uint32_t>(i), l.condition);
    if (GetTickCount() - told >= kNewsEveryMs || i + 1 == listed.size()) {
      Tell(job.generation, [&](SearchNews& n) { n.conditions.insert(n.conditions.end(), batch.begin(), batch.end()); });
      batch.clear();
      told = GetTickCount();
    }
  }
}

// The volume's root ("X:\" or "\\?\Volume{...}\") opened raw, read only.
std::shared_ptr<VolumeSource> OpenSearchedVolume(TextView root) {
  VolumeHandle volume;
  if (!ResolveVolumeDevicePath(root, volume)) return nullptr;
  return OpenVolumeDevice(Text(volume.devicePath), false);
}

// The path a row of the deep scan shows: the searched root's drive (or
// volume name), the folder and the name.
Text UnderRoot(TextView root, const Text& folder, const Text& name) {
  Text drive(root);
  while (!drive.empty() && drive.back() == u'\\') drive.pop_back();
  return drive + folder + name;
}

// "\carved\jpg\f0001234.jpg" under the searched root, as a carved file's row.
FoundFile CarvedFoundFile(const carve::CarvedFile& f, TextView root) {
  FoundFile file;
  file.locator = static_cast<uint32_t>(f.cluster);
  file.second = 0xFFFFFFFFu;
  file.size = f.length;
  std::string name = carve::CarvedName(f);
  file.name = Text(name.begin(), name.end());
  std::string folder = std::string("\\carved\\") + f.extension + "\\";
  file.folder = Text(folder.begin(), folder.end());
  file.path = UnderRoot(root, file.folder, file.name);
  return file;
}

// An old record's file as a row: under its old folder, its modification
// time as the engines print theirs.
LostRow LostFoundRow(const lost::LostFile& f, VolumeSource& source, TextView root) {
  LostRow row;
  row.lost = f;
  FoundFile& file = row.file;
  file.locator = static_cast<uint32_t>(f.firstCluster);
  file.second = 0xFFFFFFFFu;
  file.size = f.size;
  file.name = f.name;
  file.folder = f.folder + u"\\";
  if (f.modified != 0) {
    file.time = NtfsTimeText(f.modified);
    file.timeKind = FoundTimeKind::FileTimeUtc;
    file.timeValue = f.modified;
  }
  file.path = UnderRoot(root, file.folder, file.name);
  // An old folder index names a file whose record is gone: nothing to read.
  row.condition.share = f.source == lost::LostSource::NtfsIndex ? 0 : 100;
  if (f.source != lost::LostSource::NtfsRecord && f.source != lost::LostSource::NtfsIndex)
    if (const auto reader = lost::OpenLostReader(source, nullptr, f)) row.condition.guessed = reader->Guessed();
  return row;
}

// The searched volume opened raw and its layout: the cluster size the
// guesses depend on, and what the deep scan reads.
struct RawVolume {
  std::shared_ptr<VolumeSource> source;
  carve::VolumeLayout layout;
  std::string why;  // empty when both were had
};

RawVolume OpenRawVolume(TextView root) {
  RawVolume v;
  v.source = OpenSearchedVolume(root);
  if (!v.source) v.why = "the volume could not be opened";
  else if (!carve::ReadLayout(*v.source, v.layout, v.why) && v.why.empty()) v.why = "the volume's layout could not be read";
  return v;
}

void DeepScan(const SearchJob& job, const std::vector<Listed>& listed, std::vector<carve::KnownFile> known,
              const RawVolume& raw) {
  const std::shared_ptr<VolumeSource> source = raw.source;
  const carve::VolumeLayout& layout = raw.layout;
  const std::string why = raw.why;
  if (!why.empty() || !source) {
    Tell(job.generation, [&](SearchNews& n) { n.deepError = why; });
    return;
  }
  Tell(job.generation, [&](SearchNews& n) {
    n.deepSource = source;
    n.deepPercent = 0;
  });
  carve::ScanOptions options;
  options.known = std::move(known);
  options.stop = &g_stop;
  DWORD told = GetTickCount();
  options.progress = [&](uint64_t done, uint64_t total) {
    if (GetTickCount() - told < kNewsEveryMs || total == 0) return;
    told = GetTickCount();
    const int percent = static_cast<int>(done * 100 / total);
    Tell(job.generation, [&](SearchNews& n) { n.deepPercent = percent; });
  };
  // The old file system's records are read on the same pass; the carved
  // files wait for them, since one that starts where an old file does is
  // that file.
  lost::LostOnPass lostPass(*source);
  lostPass.Attach(options);
  std::vector<carve::CarvedFile> carved;
  std::string error;
  const carve::ScanStatus status =
      carve::DeepScan(*source, layout, options, [&](const carve::CarvedFile& f) { carved.push_back(f); }, error);
  std::vector<LostRow> lostRows;
  if (status != carve::ScanStatus::Stopped)
    for (const lost::LostFile& f : lostPass.Files()) lostRows.push_back(LostFoundRow(f, *source, job.fields.volumeRoot));
  std::vector<CarvedRow> rows;
  for (const carve::CarvedFile& f : carved) {
    if (lostPass.StartsAt(f.cluster)) continue;
    CarvedRow row{CarvedFoundFile(f, job.fields.volumeRoot), f, -1};
    if (f.known) {
      // The deleted file keeps its own row unless its engine would only
      // guess past its first cluster and the format vouches for the bytes
      // at the size its entry gives: then that row is this file.
      const Listed& l = listed[static_cast<size_t>(f.known->tag)];
      if (f.truncated || f.length != l.file.size || !l.condition.guessed) continue;
      row.replaces = static_cast<int64_t>(f.known->tag);
    }
    row.carved.known = nullptr;
    rows.push_back(std::move(row));
  }
  Tell(job.generation, [&](SearchNews& n) {
    n.lost = std::move(lostRows);
    n.carved = std::move(rows);
    n.deepPercent = -1;
    if (status == carve::ScanStatus::ReadFailed) n.deepError = error;
  });
}

}  // namespace

bool SearchWorkIdle() { return g_jobs.load() == 0; }

void StopSearchWork() { g_stop.store(true); }

namespace {

void RunSearchJob(const SearchJob& job);

std::mutex g_jobLock;
std::unique_ptr<SearchJob> g_nextJob;
HANDLE g_jobReady = nullptr;  // auto-reset: set when g_nextJob is handed over

DWORD WINAPI SearchWorker(void*) {
  for (;;) {
    WaitForSingleObject(g_jobReady, INFINITE);
    std::unique_ptr<SearchJob> job;
    {
      std::lock_guard<std::mutex> hold(g_jobLock);
      job = std::move(g_nextJob);
    }
    if (!job) continue;
    // An engine stopped by the user may still be winding down: no second
    // call until it has (it polls the stop request between records).
    for (int waited = 0; !rv::EnginesIdle() && waited < 5000; waited += 20) Sleep(20);
    g_stop.store(false);
    RunSearchJob(*job);
  }
}

}  // namespace

uint32_t StartSearchJob(std::unique_ptr<SearchJob> job) {
  static HANDLE worker = nullptr;
  if (!worker) {
    if (!g_jobReady) g_jobReady = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (g_jobReady) worker = CreateThread(nullptr, 0, SearchWorker, nullptr, 0, nullptr);
    if (!worker) return 0;
  }
  const uint32_t generation = job->generation = g_generation.fetch_add(1) + 1;
  {
    std::lock_guard<std::mutex> hold(g_jobLock);
    // A job not yet taken gives way to this one: it was never started and
    // its search is no longer the window's.
    if (g_nextJob) g_jobs.fetch_sub(1);
    g_nextJob = std::move(job);
    g_jobs.fetch_add(1);
  }
  SetEvent(g_jobReady);
  return generation;
}

namespace {

void RunSearchJob(const SearchJob& job) {
  static WindowSink window(nullptr);
  window = WindowSink(Shell().mainWindow);
  std::vector<Listed> listed;
  WorkSink sink(window, *job.engine, listed);
  SetMessageSink(&sink);
  job.engine->search(RequestPacket::Wrap(BuildSearchRequest(job.fields)));
  SetMessageSink(&window);
  std::vector<carve::KnownFile> known;
  RawVolume raw;
  if (!g_stop.load() && (job.deep || job.engine->guessesClusters || job.engine->resultGuessed))
    raw = OpenRawVolume(job.fields.volumeRoot);
  const uint64_t clusterBytes = raw.why.empty() && raw.layout.family != FsFamily::Unknown ? raw.layout.unitBytes : 0;
  if (!g_stop.load()) LearnConditions(job, listed, job.deep ? &known : nullptr, clusterBytes);
  if (job.deep && !g_stop.load()) DeepScan(job, listed, std::move(known), raw);
  // Idle before the end is told: the window may start the next search as
  // soon as it hears it.
  g_jobs.fetch_sub(1);
  sink.Finish();
}

}  // namespace

SearchNews TakeSearchNews() {
  std::lock_guard<std::mutex> hold(g_newsLock);
  SearchNews news = std::move(g_news);
  g_news = NewsOf(news.generation);
  g_newsPosted = false;
  return news;
}

}  // namespace rv::shell
