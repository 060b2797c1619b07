// The framed request handed to an engine shell, and the two payloads it
// carries.
//
// RequestPacket block:
//   0   1   header length, always 48 (the payload begins here)
//   1   3   payload length, unsigned little-endian 24-bit
//   4   4   signature 0x53627343 ("CsbS")
//   8   1   0
//   9   1   1
//   10  38  zero
//   48  ..  payload
#pragma once
#include <cstdint>
#include <vector>

#include "platform/types.h"

namespace rv {

constexpr uint32_t kPacketHeaderLength = 48;
constexpr uint32_t kPacketSignature = 0x53627343;
constexpr uint32_t kMaxPayloadLength = 0xFFFFFF;

class RequestPacket {
 public:
  RequestPacket() = default;
  ~RequestPacket() { Release(); }
  RequestPacket(const RequestPacket&) = delete;
  RequestPacket& operator=(const RequestPacket&) = delete;
  RequestPacket(RequestPacket&& o) noexcept;
  RequestPacket& operator=(RequestPacket&& o) noexcept;

  // Allocates a zero-filled block of payloadSize + 48 bytes and writes the
  // header (payload length still 0).
  bool Create(uint32_t payloadSize);
  void Release();
  // Block + header length, or null without a block.
  uint8_t* Payload();
  const uint8_t* Payload() const;
  // Written by the caller after the payload has been copied in.
  void SetPayloadLength(uint32_t length);
  uint32_t PayloadLength() const;
  uint32_t Capacity() const { return capacity_; }
  const uint8_t* Block() const { return block_; }

  // Builds a packet around a payload in one step.
  static RequestPacket Wrap(const std::vector<uint8_t>& payload);
  // Takes raw packet bytes as they arrived (fuzzing, tests).
  static RequestPacket FromBytes(const std::vector<uint8_t>& bytes);

 private:
  uint8_t* block_ = nullptr;
  uint32_t capacity_ = 0;
  uint32_t length_ = 0;
};

// ---- SearchRequest ---------------------------------------------------------
//   0  4  include subfolders, 1 or 0
//   4  2  zero
//   6  ..  pattern, folder ("\"-terminated), volume root: UTF-16, each NUL-terminated
struct SearchRequestFields {
  uint32_t includeSubfolders = 0;
  Text pattern;
  Text folder;
  Text volumeRoot;  // "X:\" or "\\?\Volume{...}\"
};
std::vector<uint8_t> BuildSearchRequest(const SearchRequestFields& fields);
// False when the payload is truncated or a text is not NUL-terminated
// inside it.
bool ParseSearchRequest(const RequestPacket& packet, SearchRequestFields& out);

// ---- UndeleteRequest ---------------------------------------------------------
// Destination folder (UTF-16, NUL-terminated) at 0, then file records:
//   NTFS: int32 MFT record number, uint16 0, 2 zero bytes; end: record -1
//   FAT : uint32 DLCN, uint32 entry number, UTF-16 full path NUL-terminated;
//         end: a 32-bit -1 where the next record would begin
struct FatUndeleteRecord {
  uint32_t dlcn = 0;
  uint32_t entryIndex = 0;
  Text path;
};
std::vector<uint8_t> BuildNtfsUndeleteRequest(TextView destination, const std::vector<int32_t>& records);
// NTFS records naming a data stream: the 16-bit value after the record
// number is the number of a named data stream of the file (1, 2, ... as
// the search lists them), 0 for the file's own data.
struct NtfsUndeleteRecord {
  int32_t record = 0;
  uint16_t stream = 0;
};
std::vector<uint8_t> BuildNtfsStreamUndeleteRequest(TextView destination,
                                                    const std::vector<NtfsUndeleteRecord>& records);
bool ParseNtfsUndeleteStreams(const uint8_t* payload, uint32_t length, uint32_t offset,
                              std::vector<NtfsUndeleteRecord>& out);
std::vector<uint8_t> BuildFatUndeleteRequest(TextView destination, const std::vector<FatUndeleteRecord>& records);

// Appends a UTF-16LE text and its NUL terminator, as every payload stores texts.
void AppendPayloadText(std::vector<uint8_t>& out, TextView text);

// Bounded readers over an undelete payload.
bool ReadPayloadText(const uint8_t* payload, uint32_t length, uint32_t& offset, Text& out);
bool ParseNtfsUndeleteRecords(const uint8_t* payload, uint32_t length, uint32_t offset, std::vector<int32_t>& out);
bool ParseFatUndeleteRecords(const uint8_t* payload, uint32_t length, uint32_t offset,
                             std::vector<FatUndeleteRecord>& out);

}  // namespace rv
