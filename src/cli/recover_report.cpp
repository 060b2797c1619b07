#include "cli/recover_report.h"

#include <cstdio>

#include "cli/search_steps.h"
#include "platform/files.h"
#include "platform/text.h"
#include "retriva_version.h"

namespace rv::cli {

RecoverReport::RecoverReport(const RecoverArgs& args, const OpenedVolume& v, const std::string& fileSystem)
    : path_(args.report) {
  header_.volume = args.search.volume.volume;
  header_.fileSystem = fileSystem;
  header_.tool = std::string("retriva ") + RETRIVA_VERSION + " (" + RETRIVA_REVISION + ")";
  header_.commandLine = args.commandLine;
  header_.started = UtcNowText();
  // An image's own hash names the evidence; a device is not read twice.
  if (fs::GetPathKind(FromUtf8(header_.volume)) == fs::PathKind::File) FileSha256(header_.volume, header_.volumeSha256);
}

bool RecoverReport::Write(Engine engine, const std::vector<FoundFile>& chosen,
                          const std::vector<UndeleteOutcome>& results, const std::vector<bool>& answered) {
  header_.ended = UtcNowText();
  std::vector<ReportedFile> files;
  for (size_t i = 0; i < chosen.size(); ++i) {
    ReportedFile f;
    f.found = chosen[i];
    f.path = ToUtf8(chosen[i].folder + chosen[i].name);
    f.id = LocatorText(chosen[i], engine);
    f.code = answered[i] ? results[i].code : kResultNotRecovered;
    if (answered[i] && !results[i].output.empty()) {
#ifdef _WIN32
      f.output = ToUtf8(results[i].output);
#else
      f.output = fs::NativePath(results[i].output);
#endif
      const auto it = digests_.find(i);
      if (it != digests_.end()) {
        f.md5 = it->second.md5;
        f.sha256 = it->second.sha256;
        f.written = it->second.bytes;
      }
    }
    files.push_back(std::move(f));
  }
  const std::string text = ReportText(ReportFormatFor(path_), header_, files);
  std::FILE* out = std::fopen(path_.c_str(), "wb");
  const bool ok = out && std::fwrite(text.data(), 1, text.size(), out) == text.size();
  if (out && std::fclose(out) != 0) return false;
  if (!ok) std::fprintf(stderr, "retriva: %s: the report could not be written\n", path_.c_str());
  return ok;
}

}  // namespace rv::cli
