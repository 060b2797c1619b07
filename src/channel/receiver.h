// The receiving end of the controller messages, shared by the front ends:
// the command line's callback sink and the window's WM_COMMAND handler both
// hand each message's id and payload bytes to a MessageReceiver, which
// decodes them into typed values and calls the handler set for each kind.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "channel/messages.h"
#include "platform/types.h"

namespace rv {

// A CM_FILE_FOUND header with the details posted beside it.
struct FoundFile {
  uint32_t locator = 0;
  uint32_t second = 0;   // FAT entry index; NTFS: stream number, 0xFFFFFFFF for the file
  uint64_t size = 0;     // the whole size (the contract's field holds its low 32 bits)
  Text time;             // the contract's time text, "MM/DD/YYYY HH:MM"
  uint64_t timeValue = 0;
  FoundTimeKind timeKind = FoundTimeKind::None;
  FoundTimes times;      // the other times, of timeKind; 0 where not kept
  Text path;     // in full: volume prefix + folder + name
  Text folder;   // inside the volume, with leading and trailing "\"
  Text name;
  bool pathShortened = false;  // the contract's 260-unit place held it shortened
  int recoverable = -1;        // percent, or -1 when unknown (filled by the front end)
};

struct UndeleteOutcome {
  uint32_t code = 0;
  uint32_t record = 0;
  Text source;  // in full
  Text output;  // in full; empty when nothing was written
  // Recovered, but every byte written is zero (see ResultDetails).
  bool zeroed = false;
  // Not recovered: why, where the writer knows it.
  NotRecoveredReason reason = NotRecoveredReason::Unknown;
  // Its clusters were chosen by its format, not guessed.
  bool byFormat = false;
};

struct MessageBoxText {
  Text text, caption;
  uint32_t style = 0;
  int32_t slot = -1;
};

struct ReceiverEvents {
  // The file is the receiver's own and is reused for the next one: a
  // handler may change it, and copies what it keeps.
  std::function<void(FoundFile&)> onFound;
  std::function<void(uint32_t percent, const Text& text)> onSearchProgress;
  std::function<void()> onSearchStarted;
  std::function<void()> onSearchFinished;
  std::function<void(const MessageBoxText&)> onShowMessage;
  std::function<void(uint32_t value, const Text& text)> onFileStarted;
  std::function<void(uint32_t percent, const Text& name)> onUndeleteProgress;
  std::function<void(const UndeleteOutcome&)> onResult;
  std::function<void()> onUndeleteFinished;
  std::function<void()> onUndeleteReport;
};

class MessageReceiver {
 public:
  // `volumeName` ("X:" or the volume's device name) is taken off the front
  // of found paths to give the folder inside the volume.
  MessageReceiver(ReceiverEvents events, Text volumeName);
  // Decodes one message; payloads too short for their layout are ignored.
  void Receive(uint32_t id, const uint8_t* payload, size_t size);
  void Receive(uint32_t id, const std::vector<uint8_t>& payload) { Receive(id, payload.data(), payload.size()); }

 private:
  ReceiverEvents events_;
  Text volumeName_;
  FoundFile found_;
};

// The modification time as stored, ISO 8601 to the second: UTC with "Z"
// for an NTFS FILETIME, local time without an offset for FAT's words (the
// volume keeps no zone). Writes at most 20 characters and a NUL; returns
// the length, 0 when there is no valid time.
size_t ModifiedIsoText(FoundTimeKind kind, uint64_t value, char out[32]);

// A found file's time as FILETIME (UTC): an NTFS time as it is, a FAT time
// read as the user's local time. False when there is no valid time.
bool FoundTimeToFileTime(FoundTimeKind kind, uint64_t value, uint64_t& fileTime);

// The decoders the receiver uses, for callers that hold one payload.
bool DecodeFoundFile(const uint8_t* payload, size_t size, TextView volumeName, FoundFile& out);
bool DecodeUndeleteResult(const uint8_t* payload, size_t size, UndeleteOutcome& out);

}  // namespace rv
