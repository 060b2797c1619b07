#include "channel/packet.h"

#include <bit>
#include <cstdlib>
#include <cstring>

#include "format/le.h"

namespace rv {

RequestPacket::RequestPacket(RequestPacket&& o) noexcept
    : block_(o.block_), capacity_(o.capacity_), length_(o.length_) {
  o.block_ = nullptr;
  o.capacity_ = o.length_ = 0;
}

RequestPacket& RequestPacket::operator=(RequestPacket&& o) noexcept {
  if (this != &o) {
    Release();
    block_ = o.block_;
    capacity_ = o.capacity_;
    length_ = o.length_;
    o.block_ = nullptr;
    o.capacity_ = o.length_ = 0;
  }
  return *this;
}

bool RequestPacket::Create(uint32_t payloadSize) {
  Release();
  if (payloadSize > kMaxPayloadLength) return false;
  block_ = static_cast<uint8_t*>(std::calloc(payloadSize + kPacketHeaderLength, 1));
  if (!block_) return false;
  capacity_ = length_ = payloadSize + kPacketHeaderLength;
  MutableBytes h(block_, capacity_);
  h[0] = kPacketHeaderLength;
  put32(h, 4, kPacketSignature);
  h[8] = 0;
  h[9] = 1;
  return true;
}

void RequestPacket::Release() {
  std::free(block_);
  block_ = nullptr;
  capacity_ = length_ = 0;
}

uint8_t* RequestPacket::Payload() { return block_ ? block_ + block_[0] : nullptr; }
const uint8_t* RequestPacket::Payload() const { return block_ ? block_ + block_[0] : nullptr; }

void RequestPacket::SetPayloadLength(uint32_t length) {
  if (!block_) return;
  block_[1] = static_cast<uint8_t>(length);
  block_[2] = static_cast<uint8_t>(length >> 8);
  block_[3] = static_cast<uint8_t>(length >> 16);
}

uint32_t RequestPacket::PayloadLength() const {
  if (!block_ || capacity_ < kPacketHeaderLength) return 0;
  uint32_t n = block_[1] | (block_[2] << 8) | (block_[3] << 16);
  // Never trust the stored length beyond the block that holds it.
  uint32_t room = capacity_ > block_[0] ? capacity_ - block_[0] : 0;
  return n < room ? n : room;
}

RequestPacket RequestPacket::Wrap(const std::vector<uint8_t>& payload) {
  RequestPacket p;
  if (p.Create(static_cast<uint32_t>(payload.size()))) {
    if (!payload.empty()) std::memcpy(p.Payload(), payload.data(), payload.size());
    p.SetPayloadLength(static_cast<uint32_t>(payload.size()));
  }
  return p;
}

RequestPacket RequestPacket::FromBytes(const std::vector<uint8_t>& bytes) {
  RequestPacket p;
  if (bytes.size() < kPacketHeaderLength || bytes.size() > kMaxPayloadLength) return p;
  p.block_ = static_cast<uint8_t*>(std::calloc(bytes.size(), 1));
  if (!p.block_) return p;
  std::memcpy(p.block_, bytes.data(), bytes.size());
  p.capacity_ = p.length_ = static_cast<uint32_t>(bytes.size());
  // A header length that points outside the block is clamped to the end.
  if (p.block_[0] > p.capacity_) p.block_[0] = static_cast<uint8_t>(kPacketHeaderLength);
  return p;
}

namespace {

void Append32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

void AppendPayloadText(std::vector<uint8_t>& out, TextView t) {
  const size_t at = out.size();
  out.resize(at + 2 * t.size() + 2);
  uint8_t* p = out.data() + at;
  if constexpr (std::endian::native == std::endian::little) {
    if (!t.empty()) std::memcpy(p, t.data(), 2 * t.size());
    p += 2 * t.size();
  } else {
    for (char16_t c : t) {
      *p++ = static_cast<uint8_t>(c);
      *p++ = static_cast<uint8_t>(c >> 8);
    }
  }
  p[0] = p[1] = 0;
}

bool ReadPayloadText(const uint8_t* payload, uint32_t length, uint32_t& offset, Text& out) {
  out.clear();
  if (!payload) return false;
  if (offset > length) offset = length;
  uint32_t end = offset;
  const uint32_t last = length - (length - offset) % 2;  // whole units only
  // Four units at a time while they lie inside the payload: a unit of zero
  // sets its lane's top bit in (x - 1...) & ~x.
  constexpr uint64_t kLow = 0x0001000100010001ull, kHigh = 0x8000800080008000ull;
  while (last - end >= 8) {
    uint64_t x;
    std::memcpy(&x, payload + end, 8);
    if ((x - kLow) & ~x & kHigh) break;
    end += 8;
  }
  while (end < last && (payload[end] | payload[end + 1]) != 0) end += 2;
  const bool terminated = end < last;
  if (end > offset) {
    out.resize((end - offset) / 2);
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(out.data(), payload + offset, end - offset);
    } else {
      for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<char16_t>(payload[offset + 2 * i] | (payload[offset + 2 * i + 1] << 8));
    }
  }
  // Past the terminator; without one inside the payload, at its end.
  offset = terminated ? end + 2 : end;
  return terminated;  // false: no terminator inside the payload
}

std::vector<uint8_t> BuildSearchRequest(const SearchRequestFields& f) {
  std::vector<uint8_t> out;
  Append32(out, f.includeSubfolders);
  out.push_back(0);
  out.push_back(0);
  AppendPayloadText(out, f.pattern);
  AppendPayloadText(out, f.folder);
  AppendPayloadText(out, f.volumeRoot);
  // The block holds 2 × characters + 14 bytes; the fields use 12 of the 14.
  out.push_back(0);
  out.push_back(0);
  return out;
}

bool ParseSearchRequest(const RequestPacket& packet, SearchRequestFields& out) {
  const uint8_t* p = packet.Payload();
  const uint32_t length = packet.PayloadLength();
  if (!p || length < 6) return false;
  out.includeSubfolders = le32(Bytes(p, length), 0);
  uint32_t off = 6;
  return ReadPayloadText(p, length, off, out.pattern) && ReadPayloadText(p, length, off, out.folder) &&
         ReadPayloadText(p, length, off, out.volumeRoot);
}

std::vector<uint8_t> BuildNtfsUndeleteRequest(TextView destination, const std::vector<int32_t>& records) {
  std::vector<NtfsUndeleteRecord> files;
  for (int32_t r : records) files.push_back({r, 0});
  return BuildNtfsStreamUndeleteRequest(destination, files);
}

std::vector<uint8_t> BuildNtfsStreamUndeleteRequest(TextView destination,
                                                    const std::vector<NtfsUndeleteRecord>& records) {
  std::vector<uint8_t> out;
  AppendPayloadText(out, destination);
  for (const auto& r : records) {
    Append32(out, static_cast<uint32_t>(r.record));
    Append32(out, r.stream);
  }
  Append32(out, 0xFFFFFFFFu);
  Append32(out, 0);
  return out;
}

std::vector<uint8_t> BuildFatUndeleteRequest(TextView destination, const std::vector<FatUndeleteRecord>& records) {
  std::vector<uint8_t> out;
  AppendPayloadText(out, destination);
  for (const auto& r : records) {
    Append32(out, r.dlcn);
    Append32(out, r.entryIndex);
    AppendPayloadText(out, r.path);
  }
  Append32(out, 0xFFFFFFFFu);
  return out;
}

bool ParseNtfsUndeleteRecords(const uint8_t* payload, uint32_t length, uint32_t offset, std::vector<int32_t>& out) {
  std::vector<NtfsUndeleteRecord> files;
  const bool ended = ParseNtfsUndeleteStreams(payload, length, offset, files);
  out.clear();
  for (const auto& f : files) out.push_back(f.record);
  return ended;
}

bool ParseNtfsUndeleteStreams(const uint8_t* payload, uint32_t length, uint32_t offset,
                              std::vector<NtfsUndeleteRecord>& out) {
  out.clear();
  Bytes b(payload, length);
  while (InBounds(length, offset, 4)) {
    const int32_t r = static_cast<int32_t>(le32(b, offset));
    if (r == -1) return true;
    // A record cut short after its number names the file itself.
    const uint16_t stream = InBounds(length, offset + 4, 2) ? le16(b, offset + 4) : 0;
    out.push_back({r, stream});
    offset += 8;
  }
  return false;  // no end mark inside the payload
}

bool ParseFatUndeleteRecords(const uint8_t* payload, uint32_t length, uint32_t offset,
                             std::vector<FatUndeleteRecord>& out) {
  out.clear();
  Bytes b(payload, length);
  while (InBounds(length, offset, 4)) {
    uint32_t dlcn = le32(b, offset);
    if (dlcn == 0xFFFFFFFFu) return true;
    if (!InBounds(length, offset, 8)) return false;
    FatUndeleteRecord r;
    r.dlcn = dlcn;
    r.entryIndex = le32(b, offset + 4);
    offset += 8;
    if (!ReadPayloadText(payload, length, offset, r.path)) return false;
    out.push_back(std::move(r));
  }
  return false;
}

}  // namespace rv
