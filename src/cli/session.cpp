#include "cli/session.h"

#include "channel/packet.h"
#include "fat/fue.h"
#include "ntfs/nue.h"
#include "platform/text.h"
#include "volume/le.h"
#include "volume/osvolume.h"

namespace rv::cli {

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
  MessageReceiver receiver(events, volumeName);
  CallbackSink sink([&](uint32_t id, const std::vector<uint8_t>& p) { receiver.Receive(id, p); });
  SetMessageSink(&sink);
  BOOL ok = engine == Engine::Ntfs ? NueDel::GetDeletedFileHeadersShell(packet)
                                   : FueDel::GetDeletedFileHeadersShell(packet);
  SetMessageSink(nullptr);
  return ok != 0;
}

bool RunEngineUndelete(Engine engine, const std::vector<uint8_t>& payload, const EngineEvents& events) {
  RequestPacket packet = RequestPacket::Wrap(payload);
  MessageReceiver receiver(events, u"");
  CallbackSink sink([&](uint32_t id, const std::vector<uint8_t>& p) { receiver.Receive(id, p); });
  SetMessageSink(&sink);
  BOOL ok = engine == Engine::Ntfs ? NueUdel::UndeleteFileShell(packet) : FueUdel::UndeleteFileShell(packet);
  SetMessageSink(nullptr);
  return ok != 0;
}

}  // namespace rv::cli
