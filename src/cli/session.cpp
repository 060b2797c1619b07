#include "cli/session.h"

#include "channel/packet.h"
#include "fat/fue.h"
#include "ntfs/nue.h"
#include "platform/text.h"
#include "volume/le.h"
#include "volume/osvolume.h"

namespace rv::cli {
namespace {

bool ReadText(const std::vector<uint8_t>& p, uint32_t& off, Text& out) {
  return ReadPayloadText(p.data(), static_cast<uint32_t>(p.size()), off, out);
}

// Into `f`, whose strings keep their room from one file to the next.
void ParseFound(const std::vector<uint8_t>& p, TextView volumeName, FoundFile& f) {
  Bytes b(p);
  f.recoverable = -1;
  f.locator = le32(b, 0);
  f.second = le32(b, 4);
  f.size = le32(b, 8);
  uint32_t off = 12;
  ReadText(p, off, f.time);
  ReadText(p, off, f.path);
  // A long path follows in full after the shortened one.
  if (off + 4 < p.size()) ReadText(p, off, f.path);
  // The path starts with the volume prefix: "X:" or the volume's device name.
  TextView rest = f.path;
  if (rest.size() >= volumeName.size() && EqualsIgnoreCase(rest.substr(0, volumeName.size()), volumeName)) {
    rest.remove_prefix(volumeName.size());
  } else {
    const size_t colon = rest.find(u':');
    if (colon != TextView::npos && colon < rest.find(u'\\')) rest.remove_prefix(colon + 1);
  }
  size_t slash = rest.rfind(u'\\');
  if (slash == TextView::npos) {
    f.folder.assign(1, u'\\');
    f.name.assign(rest);
  } else {
    f.folder.assign(rest.substr(0, slash + 1));
    f.name.assign(rest.substr(slash + 1));
  }
}

Text ProgressText(const std::vector<uint8_t>& p) {
  uint32_t off = 4;
  Text t;
  ReadText(p, off, t);
  return t;
}

void Dispatch(uint32_t id, const std::vector<uint8_t>& p, TextView volumeName, const EngineEvents& ev,
              FoundFile& found) {
  Bytes b(p);
  switch (id) {
    case CM_FILE_FOUND:
      if (ev.onFound) {
        ParseFound(p, volumeName, found);
        ev.onFound(found);
      }
      break;
    case CM_SEARCH_PROGRESS:
      if (ev.onSearchProgress) ev.onSearchProgress(le32(b, 0), ProgressText(p));
      break;
    case CM_SHOW_MESSAGE:
      if (ev.onShowMessage) {
        Text t;
        for (size_t i = 0; i < 1040 && 2 * i + 1 < p.size(); ++i) {
          char16_t c = le16(b, 2 * i);
          if (c == 0) break;
          t.push_back(c);
        }
        ev.onShowMessage(t);
      }
      break;
    case CM_UNDELETE_FILE_STARTED:
      if (ev.onFileStarted) ev.onFileStarted(le32(b, 0), ProgressText(p));
      break;
    case CM_UNDELETE_PROGRESS:
      if (ev.onUndeleteProgress) ev.onUndeleteProgress(le32(b, 0), ProgressText(p));
      break;
    case CM_UNDELETE_RESULT:
      if (ev.onResult) {
        UndeleteOutcome r;
        r.code = le32(b, 0);
        r.record = le32(b, 4);
        uint32_t off = 8;
        ReadText(p, off, r.source);
        ReadText(p, off, r.output);
        if (off + 4 < p.size()) {
          ReadText(p, off, r.source);
          ReadText(p, off, r.output);
        }
        ev.onResult(r);
      }
      break;
    default:
      break;
  }
}

}  // namespace

Engine EngineFor(const OpenedVolume& volume, std::string& fileSystemName) {
  Text fsName, label;
  if (!QueryVolumeInformation(volume.root, fsName, label)) return Engine::None;
  fileSystemName = ToUtf8(fsName);
  if (fsName == u"NTFS") return Engine::Ntfs;
  if (fsName == u"FAT" || fsName == u"FAT32") return Engine::Fat;
  return Engine::None;
}

bool EstimateRecoverable(Engine engine, const FoundFile& file, uint32_t& percent) {
  return engine == Engine::Fat && FueUdel::RecoverablePercent(file.locator, file.second, file.path, percent);
}

Text NormaliseFolder(const std::string& typed) {
  Text t = FromUtf8(typed);
  for (auto& c : t)
    if (c == u'/') c = u'\\';
  Text out = u"\\";
  for (char16_t c : t) {
    if (c == u'\\' && out.back() == u'\\') continue;
    out.push_back(c);
  }
  if (out.back() != u'\\') out.push_back(u'\\');
  return out;
}

bool RunEngineSearch(Engine engine, const OpenedVolume& volume, TextView pattern, TextView folder,
                     bool includeSubfolders, const EngineEvents& events) {
  SearchRequestFields f;
  f.includeSubfolders = includeSubfolders ? 1 : 0;
  f.pattern = Text(pattern);
  f.folder = Text(folder);
  f.volumeRoot = volume.root;
  RequestPacket packet = RequestPacket::Wrap(BuildSearchRequest(f));
  const Text volumeName = volume.volumeName;
  FoundFile found;
  CallbackSink sink([&](uint32_t id, const std::vector<uint8_t>& p) { Dispatch(id, p, volumeName, events, found); });
  SetMessageSink(&sink);
  BOOL ok = engine == Engine::Ntfs ? NueDel::GetDeletedFileHeadersShell(packet)
                                   : FueDel::GetDeletedFileHeadersShell(packet);
  SetMessageSink(nullptr);
  return ok != 0;
}

bool RunEngineUndelete(Engine engine, const std::vector<uint8_t>& payload, const EngineEvents& events) {
  RequestPacket packet = RequestPacket::Wrap(payload);
  FoundFile found;
  CallbackSink sink([&](uint32_t id, const std::vector<uint8_t>& p) { Dispatch(id, p, u"", events, found); });
  SetMessageSink(&sink);
  BOOL ok = engine == Engine::Ntfs ? NueUdel::UndeleteFileShell(packet) : FueUdel::UndeleteFileShell(packet);
  SetMessageSink(nullptr);
  return ok != 0;
}

}  // namespace rv::cli
