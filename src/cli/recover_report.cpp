#include "cli/recover_report.h"

#include <cstdio>

#include "carve/scan.h"
#include "platform/files.h"
#include "platform/text.h"
#include "retriva_version.h"

namespace rv::cli {

ReportHeader RecoverReport::HeaderOf(const RecoverArgs& args, const OpenedVolume& v, const std::string& fileSystem) {
  ReportHeader h;
  h.volume = args.search.volume.volume;
  h.fileSystem = fileSystem;
  h.tool = std::string("retriva ") + RETRIVA_VERSION + " (" + RETRIVA_REVISION + ")";
  h.commandLine = args.commandLine;
  // An image's own hash names the evidence; a device is not read twice.
  if (fs::GetPathKind(FromUtf8(h.volume)) == fs::PathKind::File) FileSha256(h.volume, h.volumeSha256);
  // Clusters as byte offsets, as the deep scan places them; a drive the
  // system opens (no source of ours) gives no byte runs.
  carve::VolumeLayout layout;
  std::string why;
  if (v.source && carve::ReadLayout(*v.source, layout, why)) {
    h.placement.bytesPerCluster = layout.unitBytes;
    h.placement.firstClusterOffset = layout.firstUnitOffset;
    h.placement.firstClusterNumber = layout.firstUnitNumber;
    h.placement.offsetInImage = v.offsetInImage;
  }
  return h;
}

RecoverReport::RecoverReport(const RecoverArgs& args, const OpenedVolume& v, const std::string& fileSystem)
    : path_(args.report), report_(HeaderOf(args, v, fileSystem)) {}

void RecoverReport::NoteByteRuns(Engine engine, const std::vector<FoundFile>& chosen) {
  if (engine && ReportFormatFor(path_) == ReportFormat::Dfxml) report_.NoteByteRuns(*engine, chosen);
}

void RecoverReport::AddDeepFile(ReportedFile file, const std::string& output, const DigestingObserver::Digests& d) {
  report_.Add(std::move(file), output, d);
}

bool RecoverReport::Write(Engine engine, const std::vector<FoundFile>& chosen, const RecoveryReport& done) {
  const std::string text = report_.Text(ReportFormatFor(path_), engine, chosen, done);
  std::FILE* out = std::fopen(path_.c_str(), "wb");
  bool ok = out && std::fwrite(text.data(), 1, text.size(), out) == text.size();
  if (out && std::fclose(out) != 0) ok = false;
  if (!ok) std::fprintf(stderr, "retriva: %s: the report could not be written\n", path_.c_str());
  return ok;
}

}  // namespace rv::cli
