#include "channel/report.h"

#include <algorithm>
#include <cstdio>
#include <cctype>
#include <ctime>

#include "platform/text.h"

namespace rv {

ReportFormat ReportFormatFor(const std::string& path) {
  auto endsWith = [&](const char* ext) {
    const std::string e(ext);
    if (path.size() < e.size()) return false;
    for (size_t i = 0; i < e.size(); ++i)
      if (std::tolower(static_cast<unsigned char>(path[path.size() - e.size() + i])) != e[i]) return false;
    return true;
  };
  if (endsWith(".xml")) return ReportFormat::Dfxml;
  if (endsWith(".sha256")) return ReportFormat::Sha256Sums;
  return ReportFormat::Csv;
}

void DigestingObserver::Began() {
  md5_ = Md5();
  sha256_ = Sha256();
  at_ = 0;
  valid_ = true;
}

void DigestingObserver::Zeros(uint64_t to) {
  static const uint8_t kZeros[65536] = {};
  while (at_ < to) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof kZeros, to - at_));
    md5_.Update(kZeros, n);
    sha256_.Update(kZeros, n);
    at_ += n;
  }
}

void DigestingObserver::Wrote(uint64_t offset, const void* data, size_t length) {
  if (!valid_ || offset < at_) {
    valid_ = false;
    return;
  }
  Zeros(offset);
  md5_.Update(data, length);
  sha256_.Update(data, length);
  at_ += length;
}

void DigestingObserver::Sized(uint64_t size) {
  if (size < at_) valid_ = false;
  if (valid_) Zeros(size);
}

void DigestingObserver::Committed(const Text&) {
  committed_ = Digests();
  if (!valid_) return;
  committed_.md5 = md5_.HexDigest();
  committed_.sha256 = sha256_.HexDigest();
  committed_.bytes = at_;
  valid_ = false;
}

DigestingObserver::Digests DigestingObserver::TakeCommitted() {
  Digests d = std::move(committed_);
  committed_ = Digests();
  return d;
}

namespace {

// The zero spans cut at `size`, in file order, overlapping ones joined.
std::vector<ZeroSpan> JoinedZeroSpans(std::vector<ZeroSpan> zeros, uint64_t size) {
  std::vector<ZeroSpan> out;
  std::sort(zeros.begin(), zeros.end(), [](const ZeroSpan& a, const ZeroSpan& b) { return a.fileOffset < b.fileOffset; });
  for (const ZeroSpan& z : zeros) {
    if (z.fileOffset >= size || z.length == 0) continue;
    const uint64_t end = z.fileOffset + std::min(z.length, size - z.fileOffset);
    if (!out.empty() && z.fileOffset <= out.back().fileOffset + out.back().length)
      out.back().length = std::max(out.back().length, end - out.back().fileOffset);
    else
      out.push_back({z.fileOffset, end - z.fileOffset});
  }
  return out;
}

// Appends the bytes [from, to) of the file stored from volume offset
// `fsAt` (for `from`), less what the zero spans cover.
void AppendStored(uint64_t from, uint64_t to, uint64_t fsAt, const std::vector<ZeroSpan>& zeros,
                  std::vector<ByteRun>& out) {
  for (const ZeroSpan& z : zeros) {
    const uint64_t zEnd = z.fileOffset + z.length;
    if (zEnd <= from || z.fileOffset >= to) continue;
    if (z.fileOffset > from) out.push_back({from, fsAt, z.fileOffset - from, false});
    if (zEnd >= to) return;
    fsAt += zEnd - from;
    from = zEnd;
  }
  if (from < to) out.push_back({from, fsAt, to - from, false});
}

}  // namespace

std::vector<ByteRun> ByteRunsOf(const VolumePlacement& placement, const std::vector<ClusterRun>& clusters,
                                const std::vector<ZeroSpan>& zeros, uint64_t size) {
  std::vector<ByteRun> runs;
  const uint64_t bpc = placement.bytesPerCluster;
  if (bpc == 0) return runs;
  const std::vector<ZeroSpan> joined = JoinedZeroSpans(zeros, size);
  for (const ClusterRun& c : clusters) {
    if (c.fileOffset >= size || c.cluster < placement.firstClusterNumber || c.count == 0) continue;
    // Compared in clusters: a run's bytes past the size are slack.
    const uint64_t left = size - c.fileOffset;
    const uint64_t length = c.count >= (left + bpc - 1) / bpc ? left : c.count * bpc;
    const uint64_t fsAt = placement.firstClusterOffset + (c.cluster - placement.firstClusterNumber) * bpc;
    AppendStored(c.fileOffset, c.fileOffset + length, fsAt, joined, runs);
  }
  for (const ZeroSpan& z : joined) runs.push_back({z.fileOffset, 0, z.length, true});
  std::stable_sort(runs.begin(), runs.end(),
                   [](const ByteRun& a, const ByteRun& b) { return a.fileOffset < b.fileOffset; });
  // Pieces that follow each other both in the file and on the volume are
  // one run.
  std::vector<ByteRun> joinedRuns;
  for (const ByteRun& r : runs) {
    if (!joinedRuns.empty()) {
      ByteRun& last = joinedRuns.back();
      const bool follows = last.fileOffset + last.length == r.fileOffset && last.zeros == r.zeros &&
                           (r.zeros || last.fsOffset + last.length == r.fsOffset);
      if (follows) {
        last.length += r.length;
        continue;
      }
    }
    joinedRuns.push_back(r);
  }
  return joinedRuns;
}

std::vector<ByteRun> ResidentByteRuns(const std::vector<StoredPiece>& pieces) {
  std::vector<ByteRun> runs;
  for (const StoredPiece& p : pieces) runs.push_back({p.fileOffset, p.volumeOffset, p.length, false, true});
  return runs;
}

std::vector<ByteRun> ReaderByteRuns(const VolumePlacement& placement, const FoundFileReader& reader, bool& known) {
  const uint64_t size = reader.Size();
  std::vector<ByteRun> runs;
  const std::vector<StoredPiece> resident = reader.ResidentPieces();
  if (placement.bytesPerCluster == 0) {
    known = false;
  } else if (!resident.empty()) {
    runs = ResidentByteRuns(resident);
    known = true;
  } else {
    runs = ByteRunsOf(placement, reader.ClusterRuns(), reader.ZeroSpans(), size);
    known = size == 0 || !runs.empty();
  }
  return runs;
}

namespace {

std::string Iso(const FoundFile& f, uint64_t value) {
  char text[32];
  const size_t n = value == 0 ? 0 : ModifiedIsoText(f.timeKind, value, text);
  return std::string(text, n);
}

// RFC 4180: a field with a comma, quote or line break is quoted, quotes doubled.
std::string CsvField(const std::string& s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string out = "\"";
  for (char c : s) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string Xml(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else if (c == '"') out += "&quot;";
    // XML 1.0 holds no other control characters, not even escaped.
    else if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') out += "?";
    else out += static_cast<char>(c);
  }
  return out;
}

std::string CsvText(const ReportHeader& h, const std::vector<ReportedFile>& files) {
  // The header as comment lines before the column names.
  std::string out = "# " + h.tool + " recovery report\n# volume: " + h.volume + "\n";
  if (!h.volumeSha256.empty()) out += "# volume sha256: " + h.volumeSha256 + "\n";
  out += "# file system: " + h.fileSystem + "\n# started: " + h.started + "\n# ended: " + h.ended + "\n";
  out += "path,id,size,modified,created,accessed,code,output,md5,sha256\n";
  for (const auto& f : files) {
    out += CsvField(f.path) + "," + CsvField(f.id) + "," + std::to_string(f.found.size) + "," +
           Iso(f.found, f.found.timeValue) + "," + Iso(f.found, f.found.times.created) + "," +
           Iso(f.found, f.found.times.accessed) + "," + std::to_string(f.code) + "," + CsvField(f.output) + "," + f.md5 +
           "," + f.sha256 + "\n";
  }
  return out;
}

// DFXML's byte_runs as fiwalk writes them: stored bytes with their offsets
// in the file system and in the image, zeros as fill="0" runs.
std::string DfxmlByteRuns(const VolumePlacement& placement, const std::vector<ByteRun>& runs) {
  std::string out = "      <byte_runs>\n";
  for (const ByteRun& r : runs) {
    out += "        <byte_run file_offset=\"" + std::to_string(r.fileOffset) + "\"";
    if (r.zeros)
      out += " fill=\"0\"";
    else
      out += " fs_offset=\"" + std::to_string(r.fsOffset) + "\" img_offset=\"" +
             std::to_string(placement.offsetInImage + r.fsOffset) + "\"";
    out += " len=\"" + std::to_string(r.length) + "\"";
    out += r.resident ? " type=\"resident\"/>\n" : "/>\n";
  }
  return out + "      </byte_runs>\n";
}

// Children in the order DFXML's schema gives them; this report's own
// elements (id, result and output) follow in their namespace.
std::string DfxmlFileObject(const ReportHeader& h, const ReportedFile& f) {
  std::string out = "    <fileobject>\n      <filename>" + Xml(f.path) + "</filename>\n      <id>" + Xml(f.id) +
                    "</id>\n      <name_type>r</name_type>\n      <filesize>" + std::to_string(f.found.size) +
                    "</filesize>\n      <unalloc>1</unalloc>\n";
  const std::pair<const char*, uint64_t> times[] = {
      {"mtime", f.found.timeValue}, {"atime", f.found.times.accessed}, {"crtime", f.found.times.created}};
  for (const auto& [tag, value] : times) {
    const std::string t = Iso(f.found, value);
    if (!t.empty()) out += std::string("      <") + tag + ">" + t + "</" + tag + ">\n";
  }
  // Resident and compressed data, and what is not known, have no runs to
  // give rather than wrong ones.
  if (f.runsKnown) out += DfxmlByteRuns(h.placement, f.runs);
  if (!f.md5.empty()) out += "      <hashdigest type=\"md5\">" + f.md5 + "</hashdigest>\n";
  if (!f.sha256.empty()) out += "      <hashdigest type=\"sha256\">" + f.sha256 + "</hashdigest>\n";
  out += "      <retriva:id>" + Xml(f.id) + "</retriva:id>\n";
  out += "      <retriva:result code=\"" + std::to_string(f.code) + "\">" + Xml(f.output) + "</retriva:result>\n";
  return out + "    </fileobject>\n";
}

std::string DfxmlText(const ReportHeader& h, const std::vector<ReportedFile>& files) {
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<dfxml xmlns=\"http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML\" "
      "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" xmlns:retriva=\"urn:retriva:report\" version=\"1.0\">\n"
      "  <metadata>\n    <dc:type>Recovery report</dc:type>\n  </metadata>\n"
      "  <creator version=\"1.0\">\n    <program>retriva</program>\n    <version>" + Xml(h.tool) + "</version>\n"
      "    <execution_environment>\n      <command_line>" + Xml(h.commandLine) + "</command_line>\n"
      "      <start_time>" + Xml(h.started) + "</start_time>\n"
      "      <retriva:end_time>" + Xml(h.ended) + "</retriva:end_time>\n    </execution_environment>\n  </creator>\n"
      "  <source>\n    <image_filename>" + Xml(h.volume) + "</image_filename>\n";
  if (!h.volumeSha256.empty()) out += "    <hashdigest type=\"sha256\">" + h.volumeSha256 + "</hashdigest>\n";
  out += "  </source>\n  <volume offset=\"" + std::to_string(h.placement.offsetInImage) + "\">\n";
  if (h.placement.offsetInImage != 0)
    out += "    <partition_offset>" + std::to_string(h.placement.offsetInImage) + "</partition_offset>\n";
  if (h.placement.bytesPerCluster != 0)
    out += "    <block_size>" + std::to_string(h.placement.bytesPerCluster) + "</block_size>\n";
  if (!h.fileSystem.empty()) out += "    <ftype_str>" + Xml(h.fileSystem) + "</ftype_str>\n";
  for (const auto& f : files) out += DfxmlFileObject(h, f);
  out += "  </volume>\n</dfxml>\n";
  return out;
}

// `sha256sum -c` lines; a name holding "\" or a line break is escaped and
// the line starts with "\", as sha256sum writes it.
std::string Sha256SumsText(const std::vector<ReportedFile>& files) {
  std::string out;
  for (const auto& f : files) {
    if (f.output.empty() || f.sha256.empty()) continue;
    std::string name;
    bool escaped = false;
    for (char c : f.output) {
      if (c == '\\') name += "\\\\", escaped = true;
      else if (c == '\n') name += "\\n", escaped = true;
      else if (c == '\r') name += "\\r", escaped = true;
      else name += c;
    }
    out += (escaped ? "\\" : "") + f.sha256 + "  " + name + "\n";
  }
  return out;
}

}  // namespace

std::string ReportText(ReportFormat format, const ReportHeader& header, const std::vector<ReportedFile>& files) {
  if (format == ReportFormat::Dfxml) return DfxmlText(header, files);
  if (format == ReportFormat::Sha256Sums) return Sha256SumsText(files);
  return CsvText(header, files);
}

bool FileSha256(const std::string& path, std::string& hex) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  Sha256 h;
  std::vector<uint8_t> buffer(1 << 20);
  size_t n = 0;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), f)) > 0) h.Update(buffer.data(), n);
  const bool ok = !std::ferror(f);
  std::fclose(f);
  if (ok) hex = h.HexDigest();
  return ok;
}

std::string UtcNowText() {
  const std::time_t now = std::time(nullptr);
  std::tm t{};
#ifdef _WIN32
  gmtime_s(&t, &now);
#else
  gmtime_r(&now, &t);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &t);
  return text;
}

}  // namespace rv
