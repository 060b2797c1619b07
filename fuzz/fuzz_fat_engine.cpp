#include <unistd.h>

#include "engine_fuzz.h"
#include "fat/fue.h"

using namespace rv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<uint8_t> base = fuzz::LoadImage("fat16-2k.img");
  if (base.size() < 65536) return 0;
  std::vector<uint8_t> image = base;
  // Boot sector, FATs, root directory and the first data clusters.
  fuzz::ApplyPatches(image, 0, 512 * 1024, data, size);
  Text name = AttachVolume(MakeMemorySource(std::move(image)));
  fuzz::Findings found;
  CallbackSink sink([&](uint32_t id, const std::vector<uint8_t>& p) {
    if (id != CM_FILE_FOUND || p.size() < 12) return;
    Bytes b(p);
    found.locators.push_back(le32(b, 0));
    found.indexes.push_back(le32(b, 4));
    uint32_t off = 12;
    Text time, path;
    ReadPayloadText(p.data(), static_cast<uint32_t>(p.size()), off, time);
    ReadPayloadText(p.data(), static_cast<uint32_t>(p.size()), off, path);
    found.paths.push_back(path);
  });
  SetMessageSink(&sink);
  SearchRequestFields req{1, u"", u"\\", name + u"\\"};
  FueDel::GetDeletedFileHeadersShell(RequestPacket::Wrap(BuildSearchRequest(req)));
  std::vector<FatUndeleteRecord> records;
  for (size_t i = 0; i < found.locators.size() && i < 8; ++i)
    records.push_back({found.locators[i], found.indexes[i], found.paths[i]});
  Text dest = fuzz::ScratchFolder();
  FueUdel::UndeleteFileShell(RequestPacket::Wrap(BuildFatUndeleteRequest(dest, records)));
  fuzz::CheckOutputsInside(dest);
  SetMessageSink(nullptr);
  FreeFueVolumeDataStructures(TheFueVolume());
  DetachVolume(name);
  return 0;
}
