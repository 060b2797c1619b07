#include "cli/session.h"

#include "channel/packet.h"
#include "platform/text.h"
#include "format/le.h"
#include "volume/osvolume.h"

namespace rv::cli {

Engine EngineFor(const OpenedVolume& volume, std::string& fileSystemName) {
  Text fsName, label;
  if (!QueryVolumeInformation(volume.root, fsName, label)) return nullptr;
  fileSystemName = ToUtf8(fsName);
  return EngineForFileSystem(fsName);
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
  MessageReceiver receiver(events, volume.volumeName);
  return rv::RunEngineSearch(*engine, f, receiver);
}

bool RunEngineUndelete(Engine engine, const std::vector<uint8_t>& payload, const EngineEvents& events) {
  MessageReceiver receiver(events, u"");
  return rv::RunEngineUndelete(*engine, payload, receiver);
}

}  // namespace rv::cli
