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
  out += "  </source>\n  <volume>\n    <ftype_str>" + Xml(h.fileSystem) + "</ftype_str>\n";
  for (const auto& f : files) {
    out += "    <fileobject>\n      <filename>" + Xml(f.path) + "</filename>\n      <retriva:id>" + Xml(f.id) +
           "</retriva:id>\n      <filesize>" + std::to_string(f.found.size) + "</filesize>\n      <unalloc>1</unalloc>\n";
    const std::pair<const char*, uint64_t> times[] = {
        {"mtime", f.found.timeValue}, {"crtime", f.found.times.created}, {"atime", f.found.times.accessed}};
    for (const auto& [tag, value] : times) {
      const std::string t = Iso(f.found, value);
      if (!t.empty()) out += std::string("      <") + tag + ">" + t + "</" + tag + ">\n";
    }
    // The bytes written, as one run of the output file.
    out += "      <byte_runs>\n";
    if (!f.output.empty()) out += "        <byte_run file_offset=\"0\" len=\"" + std::to_string(f.written) + "\"/>\n";
    out += "      </byte_runs>\n";
    if (!f.md5.empty()) out += "      <hashdigest type=\"md5\">" + f.md5 + "</hashdigest>\n";
    if (!f.sha256.empty()) out += "      <hashdigest type=\"sha256\">" + f.sha256 + "</hashdigest>\n";
    out += "      <retriva:result code=\"" + std::to_string(f.code) + "\">" + Xml(f.output) + "</retriva:result>\n";
    out += "    </fileobject>\n";
  }
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
