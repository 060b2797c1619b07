// Request packets as they arrive at an engine shell, and the names a volume
// may hand the output writer.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "channel/outfile.h"
#include "channel/packet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 16)) return 0;
  std::vector<uint8_t> bytes(data, data + size);
  rv::RequestPacket packet = rv::RequestPacket::FromBytes(bytes);
  rv::SearchRequestFields fields;
  rv::ParseSearchRequest(packet, fields);
  std::vector<int32_t> records;
  rv::ParseNtfsUndeleteRecords(data, static_cast<uint32_t>(size), 0, records);
  std::vector<rv::FatUndeleteRecord> fat;
  rv::ParseFatUndeleteRecords(data, static_cast<uint32_t>(size), 0, fat);
  rv::Text name;
  for (size_t i = 0; i + 1 < size; i += 2) name.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  rv::Text safe = rv::SafeOutputName(name);
  // The safe name never names a parent or a path.
  if (safe.empty() || safe == u"." || safe == u".." || safe.find(u'\\') != rv::Text::npos ||
      safe.find(u'/') != rv::Text::npos)
    __builtin_trap();
  return 0;
}
