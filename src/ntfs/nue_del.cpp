// The deleted-file search: every MFT record from 16 on whose $MFT bitmap bit
// is clear is examined, placed in its folder and matched against the
// request.
#include <cstring>

#include "channel/filter.h"
#include "channel/messages.h"
#include "channel/skips.h"
#include "channel/shells.h"
#include "ntfs/nue.h"
#include "volume/diaglog.h"

namespace rv {
namespace {

constexpr int kScanNothing = 0;
constexpr int kScanStopped = 73;
constexpr int kScanListed = 74;
constexpr int kScanBitmapLock = 80;
constexpr int kScanBitmapLoad = 89;

void PostProgress(uint64_t current, uint64_t count, uint32_t& lastPercent) {
  const uint32_t percent = static_cast<uint32_t>(current * 100 / count);
  if (percent >= lastPercent + 4) {
    PostNtfsSearchProgress(percent);
    lastPercent = percent;
  }
}

// Each named data stream of the file just listed, as "name:stream" in the
// file's folder, with the stream's own size and runs; a stream is listed
// when the file's name or its own matches the pattern.
bool ListNamedStreams(NueVolumeData& v, Bytes record, const RecordExamination& exam,
                      const SearchRequestFields& request, bool fileListed) {
  const ntfs::AttributeWalk walk(record);
  thread_local std::vector<Text> names;
  NamedDataStreams(walk, names);
  bool listed = false;
  if (names.empty()) return listed;
  const Text fileName = v.currentFileName, fullPath = v.currentFullPath;
  for (size_t i = 0; i < names.size(); ++i) {
    Text streamName = names[i];
    SafeRecordName(streamName);
    if (!fileListed && !FolderFilter(v.currentFolderPath, fileName + u":" + streamName, request.folder, request.pattern,
                                     request.includeSubfolders != 0))
      continue;
    uint32_t status = 0;
    if (!SelectDataStream(v, walk, static_cast<uint32_t>(i + 1), status)) continue;
    v.listedDataKind = status;
    PostNtfsFileFound(static_cast<uint32_t>(v.currentRecordNumber), fullPath + u":" + streamName,
                      exam.modificationTime, v.dataSize, static_cast<uint32_t>(i + 1), exam.times);
    listed = true;
  }
  return listed;
}

int ScanMft(NueVolumeData& v, const SearchRequestFields& request) {
  if (!LoadMftBitmap(v)) return kScanBitmapLoad;
  if (!gmem::Lock(v.mftBitmap)) return kScanBitmapLock;
  EmptyRawWindow(v);
  v.folderPaths.clear();
  int result = kScanNothing;
  uint32_t lastPercent = 0;
  std::vector<uint8_t> copy(static_cast<size_t>(v.bytesPerFileRecord));
  for (v.currentRecordNumber = ntfs::kFirstUserRecord; v.currentRecordNumber < v.mftRecordCount; ++v.currentRecordNumber) {
    if (g_ntfsRunState.load() == kEngineStopRequested) {
      result = kScanStopped;
      break;
    }
    uint8_t* record = nullptr;
    uint64_t number = v.currentRecordNumber;
    const BOOL read = ReadNextFreeFileRecord(v, number, record);
    v.currentRecordNumber = number;
    if (v.currentRecordNumber >= v.mftRecordCount) break;
    PostProgress(v.currentRecordNumber, v.mftRecordCount, lastPercent);
    if (!read || !record) {
      // Unreadable, or a record that was written ("FILE") but whose update
      // sequence does not check: a torn or damaged record, left out. Free
      // records that never held a file are not worth a word.
      const bool torn = record != nullptr && std::memcmp(record, "FILE", 4) == 0;
      if (torn)
        ReportSkipped({"MFT record", v.currentRecordNumber, 0, Text(),
                       "its update sequence does not check (a torn or damaged record)"});
      else if (record == nullptr)
        ReportSkipped({"MFT record", v.currentRecordNumber, 0, Text(),
                       "it cannot be read from the volume; a file it held is not listed", kCouldNotRead});
      continue;
    }
    // The folder climb may reuse the raw window the record lies in.
    std::memcpy(copy.data(), record, copy.size());
    RecordExamination exam;
    if (const uint32_t why = ExamineRecord(v, Bytes(copy.data(), copy.size()), exam); why != 0) {
      // Directories, in-use and nameless records are no files; the rest is damage.
      if (SkipsWanted() && (why == kExamineDamaged || why == kExamineNoPath))
        ReportSkipped({"MFT record", v.currentRecordNumber, 0, v.currentFileName,
                       why == kExamineDamaged ? "its attributes are damaged or hold no data stream"
                                              : "its name cannot be read"});
      continue;
    }
    const bool matched = FolderFilter(v.currentFolderPath, v.currentFileName, request.folder, request.pattern,
                                      request.includeSubfolders != 0);
    if (matched) {
      PostNtfsFileFound(static_cast<uint32_t>(v.currentRecordNumber), v.currentFullPath, exam.modificationTime,
                        v.dataSize, kNtfsFileItself, exam.times);
      result = kScanListed;
    }
    if (ListNamedStreams(v, Bytes(copy.data(), copy.size()), exam, request, matched)) result = kScanListed;
  }
  gmem::Unlock(v.mftBitmap);
  return result;
}

}  // namespace

namespace NueDel {

BOOL GetDeletedFileHeadersShell(const RequestPacket& packet) {
  SearchShellSteps steps;
  steps.runState = &g_ntfsRunState;
  steps.traceName = "NueDel::GetDeletedFileHeadersShell";
  steps.setup = [](const SearchRequestFields& request) {
    return SetupNueVolumeDataStructures(VolumeNameOfRoot(request.volumeRoot), TheNueVolume(), kTrue) != 0;
  };
  steps.scan = [](const SearchRequestFields& request) { return ScanMft(TheNueVolume(), request); };
  return RunSearchShell(packet, steps);
}

}  // namespace NueDel
}  // namespace rv
