#include "recovery/recovery_report.h"

#include <algorithm>

#include "platform/files.h"
#include "platform/text.h"

namespace rv {

bool FoundFileHasIndex(const FoundFile& f, const EngineRow* engine) { return engine && engine->hasIndex(f); }

std::string FoundFileId(const FoundFile& f, const EngineRow* engine) {
  if (FoundFileHasIndex(f, engine)) return std::to_string(f.locator) + ":" + std::to_string(f.second);
  return std::to_string(f.locator);
}

RecoveryReportFile::RecoveryReportFile(ReportHeader header) : header_(std::move(header)) {
  header_.started = UtcNowText();
}

void RecoveryReportFile::NoteByteRuns(const EngineRow& engine, const std::vector<FoundFile>& files) {
  if (header_.placement.bytesPerCluster == 0) return;
  for (size_t i = 0; i < files.size(); ++i) {
    const std::unique_ptr<FoundFileReader> reader = OpenFoundFile(engine, files[i]);
    if (!reader) continue;
    Runs& r = runs_[i];
    r.runs = ReaderByteRuns(header_.placement, *reader, r.known);
  }
}

void RecoveryReportFile::Add(ReportedFile file, const std::string& output, const DigestingObserver::Digests& digests) {
  file.output = output;
  if (!output.empty()) {
    file.md5 = digests.md5;
    file.sha256 = digests.sha256;
    file.written = digests.bytes;
  }
  added_.push_back(std::move(file));
}

std::string RecoveryReportFile::Text(ReportFormat format, const EngineRow* engine, const std::vector<FoundFile>& files,
                                     const RecoveryReport& done) {
  header_.ended = UtcNowText();
  std::vector<ReportedFile> reported;
  for (const FileRecovery& r : done.files) {
    const FoundFile& found = files[r.index];
    ReportedFile f;
    f.found = found;
    f.path = ToUtf8(found.folder + found.name);
    f.id = FoundFileId(found, engine);
    const bool answered = r.unanswered == Unanswered::No;
    f.code = answered ? r.result.code : kResultNotRecovered;
    if (answered && !r.result.output.empty()) {
#ifdef _WIN32
      f.output = ToUtf8(r.result.output);
#else
      f.output = fs::NativePath(r.result.output);
#endif
      const auto it = digests_.find(r.index);
      if (it != digests_.end()) {
        f.md5 = it->second.md5;
        f.sha256 = it->second.sha256;
        f.written = it->second.bytes;
      }
    }
    const auto runs = runs_.find(r.index);
    if (runs != runs_.end()) {
      f.runs = runs->second.runs;
      f.runsKnown = runs->second.known;
    }
    reported.push_back(std::move(f));
  }
  reported.insert(reported.end(), added_.begin(), added_.end());
  return ReportText(format, header_, reported);
}

bool WriteNewFileIn(OutputDestination& destination, TextView name, const std::string& text, rv::Text& written) {
  if (!destination.IsOpen()) return false;
  OutputOptions options;
  options.destination = &destination;
  options.counterBeforeExtension = true;
  ScopedOutputOptions scope(options);
  OutputFile file;
  if (file.Create(destination.Path(), name) != kOutputCreated) return false;
  constexpr size_t kChunk = 1 << 20;
  for (size_t at = 0; at < text.size(); at += kChunk) {
    const size_t n = std::min(kChunk, text.size() - at);
    if (!file.WriteAt(at, text.data() + at, static_cast<uint32_t>(n))) return false;
  }
  return file.Commit(written) == kOutputCreated;
}

}  // namespace rv
