#include "fat_support.h"

#include "channel/receiver.h"

#include <fstream>

#include "channel/messages.h"
#include "fat/fue.h"
#include "platform/text.h"
#include "format/le.h"
#include "volume/osvolume.h"

namespace rv::test {
namespace {

Text PayloadText(const std::vector<uint8_t>& p, size_t& off) {
  Text t;
  while (off + 2 <= p.size()) {
    char16_t c = static_cast<char16_t>(p[off] | (p[off + 1] << 8));
    off += 2;
    if (c == 0) break;
    t.push_back(c);
  }
  return t;
}

bool ShortOnly(const std::string& utf8) {
  const Text c = FromUtf8(utf8);
  const size_t dot = c.find(u'.');
  if (dot != Text::npos && c.find(u'.', dot + 1) != Text::npos) return false;
  const Text base = c.substr(0, dot), ext = dot == Text::npos ? Text() : c.substr(dot + 1);
  if (base.empty() || base.size() > 8 || ext.size() > 3) return false;
  auto singleCase = [](const Text& s) {
    bool lower = false, upper = false;
    for (char16_t ch : s) {
      if (ch >= 0x80 && ch != 0xC9) return false;  // only É is in the images' code page here
      if (ch == u' ' || ch == u'+' || ch == u',' || ch == u';' || ch == u'=' || ch == u'[' || ch == u']')
        return false;
      if (ch >= u'a' && ch <= u'z') lower = true;
      if ((ch >= u'A' && ch <= u'Z') || ch == 0xC9) upper = true;
    }
    return !(lower && upper);
  };
  return singleCase(base) && singleCase(ext);
}

}  // namespace

AttachedVolume::AttachedVolume(std::shared_ptr<VolumeSource> source) { name = AttachVolume(std::move(source)); }
AttachedVolume::~AttachedVolume() {
  FreeFueVolumeDataStructures(TheFueVolume());
  DetachVolume(name);
}

std::shared_ptr<VolumeSource> ImageSource(const std::string& path) {
  uint32_t error = 0;
  return OpenImageSource(FromUtf8(path), 0, 0, error);
}

size_t FatSearchRun::Count(uint32_t id) const {
  size_t n = 0;
  for (const auto& m : messages) n += m.id == id;
  return n;
}

FatSearchRun RunFatSearch(const Text& root, const Text& pattern, const Text& folder, bool includeSubfolders) {
  SearchRequestFields f;
  f.includeSubfolders = includeSubfolders ? 1 : 0;
  f.pattern = pattern;
  f.folder = folder;
  f.volumeRoot = root;
  RequestPacket packet = RequestPacket::Wrap(BuildSearchRequest(f));
  FatSearchRun run;
  {
    MessageRecorder recorder;
    run.result = FueDel::GetDeletedFileHeadersShell(packet);
    run.messages = recorder.messages;
  }
  for (const auto& m : run.messages) {
    if (m.id != CM_FILE_FOUND) continue;
    FoundFile decoded;
    if (!DecodeFoundFile(m.payload.data(), m.payload.size(), u"", decoded)) continue;
    FatFound found;
    found.locator = decoded.locator;
    found.index = decoded.second;
    found.size = static_cast<uint32_t>(decoded.size);
    found.time = decoded.time;
    found.path = decoded.path;  // in full, however long
    run.found.push_back(found);
  }
  return run;
}

FatUndeleteRun RunFatUndelete(const Text& destination, const std::vector<FatFound>& files) {
  std::vector<FatUndeleteRecord> records;
  for (const auto& f : files) records.push_back({f.locator, f.index, f.path});
  RequestPacket packet = RequestPacket::Wrap(BuildFatUndeleteRequest(destination, records));
  FatUndeleteRun run;
  {
    MessageRecorder recorder;
    run.result = FueUdel::UndeleteFileShell(packet);
    run.messages = recorder.messages;
  }
  for (const auto& m : run.messages) {
    if (m.id != CM_UNDELETE_RESULT) continue;
    FatUndeleteOutcome o;
    o.code = le32(Bytes(m.payload), 0);
    size_t off = 8;
    o.source = PayloadText(m.payload, off);
    o.output = PayloadText(m.payload, off);
    if (off + 4 < m.payload.size()) {
      o.source = PayloadText(m.payload, off);
      o.output = PayloadText(m.payload, off);
    }
    // The record's last word holds the details.
    o.byFormat = (le32(Bytes(m.payload), m.payload.size() - 4) & kResultByFormatBit) != 0;
    run.outcomes.push_back(o);
  }
  return run;
}

nlohmann::json LoadManifest() {
  std::ifstream f(ImagesDir() + "/manifest.json");
  if (!f) return nlohmann::json::object();
  return nlohmann::json::parse(f, nullptr, false);
}

std::vector<nlohmann::json> FatImages(bool includeDamaged) {
  std::vector<nlohmann::json> out;
  nlohmann::json m = LoadManifest();
  if (!m.is_object() || !m.contains("images")) return out;
  for (const auto& img : m["images"]) {
    const std::string fs = img.value("fs", "");
    if (fs != "FAT16" && fs != "FAT32") continue;
    if (!includeDamaged && img.contains("damaged") && !img["damaged"].is_null()) continue;
    // Images made for one purpose (hostile names) have their own tests.
    if (img.contains("purpose")) continue;
    // The build unpacks "<name>.zst" as "<name>".
    if (ImagePath(img.value("name", "")).empty()) continue;
    out.push_back(img);
  }
  return out;
}

Text ExpectedFatPath(const nlohmann::json& image, const nlohmann::json& deleted) {
  const std::string path = deleted["path"];
  std::vector<std::string> parts;
  size_t start = 1;
  while (start <= path.size()) {
    size_t next = path.find('\\', start);
    if (next == std::string::npos) next = path.size();
    parts.push_back(path.substr(start, next - start));
    start = next + 1;
  }
  bool inDeletedFolder = false;
  for (const auto& k : deleted["kinds"]) inDeletedFolder |= k == "in-deleted-folder";
  Text out;
  std::string prefix;
  for (size_t i = 0; i < parts.size(); ++i) {
    prefix += "\\" + parts[i];
    bool isDeleted = i + 1 == parts.size();
    if (!isDeleted && inDeletedFolder) {
      // A folder is gone when no live file lies below it.
      isDeleted = true;
      for (const auto& live : image["live"]) {
        const std::string lp = live["path"];
        if (lp.rfind(prefix + "\\", 0) == 0) isDeleted = false;
      }
    }
    Text name = FromUtf8(parts[i]);
    // A name with only a short entry shows as it was written: mtools keeps
    // an all-lower-case base name or extension in the lower-case flags.
    if (ShortOnly(parts[i]) && isDeleted) name[0] = u'~';
    out += u"\\" + name;
  }
  return out;
}

Text ExpectedFatTime(const std::string& m) {
  if (m.size() < 16) return {};
  return FromUtf8(m.substr(5, 2) + "/" + m.substr(8, 2) + "/" + m.substr(0, 4) + " " + m.substr(11, 5));
}

bool EveryClusterReused(const nlohmann::json& deleted) {
  uint64_t total = 0, reused = 0;
  for (const auto& run : deleted.value("clusters", nlohmann::json::array())) {
    const int64_t lcn = run[0].get<int64_t>();
    const uint64_t n = run[1].get<uint64_t>();
    total += n;
    for (uint64_t c = 0; c < n && lcn >= 0; ++c)
      for (const auto& r : deleted.value("reused_clusters", nlohmann::json::array()))
        if (static_cast<uint64_t>(lcn) + c >= r[0].get<uint64_t>() &&
            static_cast<uint64_t>(lcn) + c < r[0].get<uint64_t>() + r[1].get<uint64_t>()) {
          ++reused;
          break;
        }
  }
  return total > 0 && reused == total;
}

std::vector<uint8_t> OriginalBytes(const nlohmann::json& deleted) {
  std::string name = deleted.value("original", std::string());
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".zst") == 0) name.resize(name.size() - 4);
  return ReadFileBytes(ImagesDir() + "/" + name);
}

}  // namespace rv::test
