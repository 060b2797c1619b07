#include <unistd.h>

#include "engine_fuzz.h"
#include "ntfs/nue.h"

using namespace rv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<uint8_t> base = fuzz::LoadImage("ntfs-4k.img");
  if (base.size() < 65536) return 0;
  std::vector<uint8_t> image = base;
  // The MFT's first megabyte and the boot sector carry everything a search reads.
  const uint64_t mft = le64(Bytes(image.data(), 512), 0x30) * 4096;
  if (size > 0 && data[0] == 0)
    fuzz::ApplyPatches(image, 0, 512, data + 1, size - 1);
  else
    fuzz::ApplyPatches(image, mft, 1 << 20, data, size);
  Text name = AttachVolume(MakeMemorySource(std::move(image)));
  fuzz::Findings found;
  CallbackSink sink([&](uint32_t id, const std::vector<uint8_t>& p) {
    if (id == CM_FILE_FOUND && p.size() >= 4) found.locators.push_back(le32(Bytes(p), 0));
  });
  SetMessageSink(&sink);
  SearchRequestFields req{1, u"", u"\\", name + u"\\"};
  NueDel::GetDeletedFileHeadersShell(RequestPacket::Wrap(BuildSearchRequest(req)));
  std::vector<int32_t> records;
  for (size_t i = 0; i < found.locators.size() && i < 8; ++i) records.push_back(static_cast<int32_t>(found.locators[i]));
  Text dest = fuzz::ScratchFolder();
  NueUdel::UndeleteFileShell(RequestPacket::Wrap(BuildNtfsUndeleteRequest(dest, records)));
  fuzz::CheckOutputsInside(dest);
  SetMessageSink(nullptr);
  FreeNueVolumeDataStructures(TheNueVolume());
  DetachVolume(name);
  return 0;
}
