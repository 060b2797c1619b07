#include "engines/engines.h"

#include "carve/reassemble.h"
#include "exfat/xue.h"
#include "fat/fue.h"
#include "ntfs/nue.h"

namespace rv {
namespace {

// The FAT and exFAT engines choose the clusters of a deleted file whose
// chain is gone by its format where the format can tell: the deep scan's
// format table answers them through the volume layer's seam.
[[maybe_unused]] const bool kLayoutCheckInstalled = (SetClusterLayoutCheck(carve::ChooseClustersByContent), true);

// ---- NTFS ------------------------------------------------------------------

std::vector<uint8_t> NtfsUndeleteRequest(TextView destination, const std::vector<FoundFile>& files) {
  std::vector<NtfsUndeleteRecord> records;
  for (const auto& f : files)
    records.push_back({static_cast<int32_t>(f.locator),
                       static_cast<uint16_t>(f.second != kNtfsFileItself ? f.second : 0)});
  return BuildNtfsStreamUndeleteRequest(destination, records);
}

uint64_t NtfsPassedOver(const char*& why, bool& always) {
  why = "MFT records past the $MFT data's initialized size were not read: never written";
  always = false;
  return TheNueVolume().mftRecordsNeverWritten;
}

const EngineRow kNtfs = {
    "NTFS",
    [](TextView fs) { return fs == u"NTFS"; },
    NueDel::GetDeletedFileHeadersShell,
    NueUdel::UndeleteFileShell,
    &g_ntfsRunState,
    NtfsUndeleteRequest,
    [](const FoundFile& f) { return f.second != kNtfsFileItself; },
    // Results name their record; a file's streams answer in request order.
    [](const FoundFile& f, const UndeleteOutcome& r) { return f.locator == r.record; },
    NueUdel::RecoverablePercentOfListed,
    nullptr,
    NtfsPassedOver,
    false,
    false,
    [] { FreeNueVolumeDataStructures(TheNueVolume()); },
    nullptr,
    [](const FoundFile& f) {
      return NueUdel::OpenReader(f.locator, f.second != kNtfsFileItself ? f.second : 0);
    },
};

// ---- FAT16 / FAT32 -----------------------------------------------------------

std::vector<uint8_t> FatUndeleteRequest(TextView destination, const std::vector<FoundFile>& files) {
  std::vector<FatUndeleteRecord> records;
  for (const auto& f : files) records.push_back({f.locator, f.second, f.path});
  return BuildFatUndeleteRequest(destination, records);
}

uint64_t FatPassedOver(const char*& why, bool& always) {
  why = "deleted entries left out: damaged, not files (NUL or control bytes in the name, an impossible date or a "
        "size past the volume).";
  always = true;
  return FueDel::EntriesNotFilesOfLastSearch();
}

const EngineRow kFat = {
    "FAT",
    [](TextView fs) { return fs == u"FAT" || fs == u"FAT32"; },
    FueDel::GetDeletedFileHeadersShell,
    FueUdel::UndeleteFileShell,
    &g_fatRunState,
    FatUndeleteRequest,
    [](const FoundFile&) { return true; },
    // Results name the path the request gave.
    [](const FoundFile& f, const UndeleteOutcome& r) { return f.path == r.source; },
    nullptr,
    [](const FoundFile& f, uint32_t& percent) {
      return FueUdel::RecoverablePercent(f.locator, f.second, f.path, percent);
    },
    FatPassedOver,
    true,
    true,
    [] { FreeFueVolumeDataStructures(TheFueVolume()); },
    nullptr,
    [](const FoundFile& f) { return FueUdel::OpenReader({f.locator, f.second, f.path}); },
};

// ---- exFAT -------------------------------------------------------------------

uint64_t ExfatPassedOver(const char*& why, bool& always) {
  why = "deleted entry sets left out: damaged (the set checksum fails, or the set is cut short or broken).";
  always = true;
  return XueDel::SetsPassedOverByLastSearch();
}

const EngineRow kExfat = {
    "exFAT",
    [](TextView fs) { return fs == u"exFAT"; },
    XueDel::GetDeletedFileHeadersShell,
    XueUdel::UndeleteFileShell,
    &g_exfatRunState,
    // Records as FAT's: the folder's first cluster, the entry index, the path.
    FatUndeleteRequest,
    [](const FoundFile&) { return true; },
    [](const FoundFile& f, const UndeleteOutcome& r) { return f.path == r.source; },
    XueDel::RecoverablePercentOfListed,
    [](const FoundFile& f, uint32_t& percent) {
      return XueUdel::RecoverablePercent(f.locator, f.second, f.path, percent);
    },
    ExfatPassedOver,
    false,
    true,
    [] { FreeXueVolumeDataStructures(TheXueVolume()); },
    [](const UndeleteOutcome& r) { return r.record == kResultClustersGuessed; },
    [](const FoundFile& f) { return XueUdel::OpenReader({f.locator, f.second, f.path}); },
};

}  // namespace

const std::vector<const EngineRow*>& AllEngines() {
  static const std::vector<const EngineRow*> rows = {&kNtfs, &kFat, &kExfat};
  return rows;
}

const EngineRow* EngineForFileSystem(TextView fileSystemName) {
  for (const EngineRow* row : AllEngines())
    if (row->serves(fileSystemName)) return row;
  return nullptr;
}

std::recursive_mutex& EngineLock() {
  static std::recursive_mutex lock;
  return lock;
}

std::unique_ptr<FoundFileReader> OpenFoundFile(const EngineRow& engine, const FoundFile& file) {
  if (!engine.openReader) return nullptr;
  std::lock_guard<std::recursive_mutex> hold(EngineLock());
  return engine.openReader(file);
}

bool ReadFoundFileRange(FoundFileReader& reader, uint64_t offset, uint8_t* dest, size_t length, size_t& got) {
  std::lock_guard<std::recursive_mutex> hold(EngineLock());
  return reader.ReadAt(offset, dest, length, got);
}

bool RunEngineSearch(const EngineRow& engine, const SearchRequestFields& request, MessageReceiver& receiver) {
  std::lock_guard<std::recursive_mutex> hold(EngineLock());
  RequestPacket packet = RequestPacket::Wrap(BuildSearchRequest(request));
  CallbackSink sink([&](uint32_t id, const std::vector<uint8_t>& p) { receiver.Receive(id, p); });
  SetMessageSink(&sink);
  const BOOL ok = engine.search(packet);
  SetMessageSink(nullptr);
  return ok != 0;
}

bool RunEngineUndelete(const EngineRow& engine, const std::vector<uint8_t>& payload, MessageReceiver& receiver) {
  std::lock_guard<std::recursive_mutex> hold(EngineLock());
  RequestPacket packet = RequestPacket::Wrap(payload);
  CallbackSink sink([&](uint32_t id, const std::vector<uint8_t>& p) { receiver.Receive(id, p); });
  SetMessageSink(&sink);
  const BOOL ok = engine.undelete(packet);
  SetMessageSink(nullptr);
  return ok != 0;
}

const EngineRow& FallbackEngine() { return kFat; }

void StopEngines() {
  for (const EngineRow* row : AllEngines()) {
    int32_t running = kEngineRunning;
    row->runState->compare_exchange_strong(running, kEngineStopRequested);
  }
}

bool EnginesIdle() {
  for (const EngineRow* row : AllEngines())
    if (row->runState->load() != kEngineIdle) return false;
  return true;
}

}  // namespace rv
