// The exFAT parsers and engine. The first input byte chooses:
//   even: the rest is a boot region followed by directory entries: the boot
//         sector, its checksum and every entry set found in the entries are
//         parsed, with their checksums and timestamps;
//   odd:  the rest is a patch list laid over the boot region, FAT, bitmap
//         and first folders of a volume made by mkfs.exfat and written by
//         exfat-fuse, which is then searched and its findings recovered.
#include <unistd.h>

#include "engine_fuzz.h"
#include "exfat/xue.h"
#include "format/exfat_format.h"
#include "fuzz_check.h"

using namespace rv;

namespace {

void Parsers(const uint8_t* data, size_t size) {
  using namespace exfat;
  exfat::BootSector bs;
  if (ParseBootSector(data, size, bs) == BootProblem::None) {
    fuzz::Check(bs.bytesPerCluster >= bs.bytesPerSector && bs.IsHeapCluster(bs.rootCluster));
    fuzz::Check(bs.clusterHeapOffset + uint64_t{bs.clusterCount} * bs.sectorsPerCluster <= bs.volumeLength);
    if (size >= bs.bytesPerSector * 12ull) BootChecksumMatches(data, bs.bytesPerSector);
  }
  for (size_t pos = 0; pos + kEntryBytes <= size; pos += kEntryBytes) {
    EntrySet set;
    if (ParseEntrySet(data + pos, size - pos, set) != SetProblem::None) continue;
    fuzz::Check(set.entries >= 3 && set.entries * kEntryBytes <= size - pos);
    fuzz::Check(!set.name.empty() && set.name.size() <= kMaxNameUnits);
    uint64_t ft = 0;
    TimestampToUtcFileTime(set.modified, set.modified10ms, set.modifiedUtcOffset, ft);
  }
}

void Engine(const uint8_t* data, size_t size) {
  static const std::vector<uint8_t> base = fuzz::LoadImage("exfat-4k.img");
  if (base.size() < (1u << 20)) return;
  std::vector<uint8_t> image = base;
  // Boot region, FAT, bitmap, up-case table, root and the first folders.
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
    uint32_t percent = 0;
    XueDel::RecoverablePercentOfListed(percent);
    fuzz::Check(percent <= 100);
  });
  SetMessageSink(&sink);
  SearchRequestFields req{1, u"", u"\\", name + u"\\"};
  XueDel::GetDeletedFileHeadersShell(RequestPacket::Wrap(BuildSearchRequest(req)));
  std::vector<FatUndeleteRecord> records;
  for (size_t i = 0; i < found.locators.size() && i < 8; ++i)
    records.push_back({found.locators[i], found.indexes[i], found.paths[i]});
  Text dest = fuzz::ScratchFolder();
  XueUdel::UndeleteFileShell(RequestPacket::Wrap(BuildFatUndeleteRequest(dest, records)));
  fuzz::CheckOutputsInside(dest);
  SetMessageSink(nullptr);
  FreeXueVolumeDataStructures(TheXueVolume());
  DetachVolume(name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (data[0] & 1)
    Engine(data + 1, size - 1);
  else
    Parsers(data + 1, size - 1);
  return 0;
}
