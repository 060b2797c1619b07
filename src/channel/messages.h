// Controller messages: what the engines post back to the window. Each is a
// WM_COMMAND whose id names the event and whose lParam is a movable global
// block holding the payload (or 0). The block belongs to the sender until
// the post succeeds and to the receiver afterwards.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/gmem.h"
#include "platform/types.h"

namespace rv {

enum ControllerMessage : uint32_t {
  CM_FILE_FOUND = 1425,
  CM_UNDELETE_RESULT = 1426,
  CM_SEARCH_STARTED = 1427,
  CM_SEARCH_PROGRESS = 1428,
  CM_SEARCH_FINISHED = 1429,
  CM_UNDELETE_FINISHED = 1431,
  CM_UNDELETE_FILE_STARTED = 1432,
  CM_UNDELETE_PROGRESS = 1433,
  CM_SHOW_MESSAGE = 1436,
  CM_UNDELETE_REPORT = 1443,
};

// Result codes of one recovered file.
constexpr uint32_t kResultRecovered = 776;
constexpr uint32_t kResultPartlyInUse = 777;
constexpr uint32_t kResultNotRecovered = 778;
constexpr uint32_t kResultDestinationTooSmall = 785;

// EngineRunState values.
constexpr int32_t kEngineIdle = 10;
constexpr int32_t kEngineRunning = 20;
constexpr int32_t kEngineStopRequested = 30;
extern std::atomic<int32_t> g_ntfsRunState;
extern std::atomic<int32_t> g_fatRunState;
extern std::atomic<int32_t> g_exfatRunState;

// Where the engines' posts go. Post() takes ownership of `payload` (which
// may be null) only when it returns true.
class MessageSink {
 public:
  virtual ~MessageSink() = default;
  virtual bool Post(uint32_t commandId, gmem::Handle payload) = 0;
};

// The portable sink: hands each message's bytes to a callback, then frees
// the block, as the window does after handling it.
class CallbackSink final : public MessageSink {
 public:
  using Callback = std::function<void(uint32_t commandId, const std::vector<uint8_t>& payload)>;
  explicit CallbackSink(Callback cb) : cb_(std::move(cb)) {}
  bool Post(uint32_t commandId, gmem::Handle payload) override;

 private:
  Callback cb_;
  // The payload copy handed to the callback, kept for the next message.
  // A post while it is in use (from the callback, or from another thread)
  // gets a buffer of its own.
  std::vector<uint8_t> buffer_;
  std::mutex bufferInUse_;
};

#ifdef _WIN32
// The window sink: PostMessageW(window, WM_COMMAND, id, HGLOBAL).
class WindowSink final : public MessageSink {
 public:
  explicit WindowSink(void* hwnd) : hwnd_(hwnd) {}
  bool Post(uint32_t commandId, gmem::Handle payload) override;

 private:
  void* hwnd_;
};
#endif

void SetMessageSink(MessageSink* sink);
MessageSink* GetMessageSink();

// Allocates a block of `size` bytes (when non-zero), copies the payload in,
// posts it; raises a trace event for traceId >= 0. Nothing is posted when
// the block cannot be had. Returns 1 when posted.
int DataToController(uint32_t commandId, const void* payload, uint32_t size, int traceId);

// ---- Payload layouts ---------------------------------------------------------
// DeletedFileHeader: locator u32, second word u32, size u32, time text,
// path, 4 filler bytes; size = 2 × (time chars + path chars) + 20.
constexpr uint32_t kStagingRecordBytes = 1568;
std::vector<uint8_t> BuildDeletedFileHeader(uint32_t locator, uint32_t second, uint32_t size, TextView timeText,
                                            TextView path);
// The same into `out`, which keeps its room from one header to the next.
void BuildDeletedFileHeader(std::vector<uint8_t>& out, uint32_t locator, uint32_t second, uint32_t size,
                            TextView timeText, TextView path);
// Texts of 260 units and more do not fit the window's 260-unit buffers: a
// found-file header or result holds them shortened ("X:\...tail", 259 units)
// in their fixed places and carries the full texts after them, before the
// 4 filler bytes (found file: the path; result: source, then output).
constexpr size_t kShownPathUnits = 259;
Text ShortenedPath(TextView path);
// Beside the contract's fields (after the path, before the filler) every
// found-file header carries what the fields cannot hold: the magic below,
// the whole size (u64), the modification time as stored (u64, of the kind
// given by the u32 after it), then the full path when the fixed place holds
// it shortened, or an empty text.
constexpr uint32_t kFoundDetailsMagic = 0x31585652;  // "RVX1"
constexpr uint32_t kFoundDetailsBytes = 24;
enum class FoundTimeKind : uint32_t {
  None = 0,
  FileTimeUtc = 1,  // NTFS: FILETIME, 100 ns since 1601, UTC
  FatLocal = 2,     // FAT: date word << 16 | time word, local time, 2 s steps
};
// After the full-path text (before the filler) follow the file's other
// times, of the modification time's kind, 0 where the volume keeps none:
//    0 u32 magic "RVT1"
//    4 u64 created (NTFS: $STANDARD_INFORMATION creation; FAT: creation
//          date and time)
//   12 u64 changed (NTFS: the record's last change; FAT: none)
//   20 u64 accessed (NTFS: last access; FAT: the access date, time 0)
constexpr uint32_t kFoundTimesMagic = 0x31545652;  // "RVT1"
constexpr uint32_t kFoundTimesBytes = 28;
constexpr size_t kFoundTimesCreated = 4;
constexpr size_t kFoundTimesChanged = 12;
constexpr size_t kFoundTimesAccessed = 20;
struct FoundTimes {
  uint64_t created = 0, changed = 0, accessed = 0;
};
// UndeleteResult: code u32, record u32, source, output, 4 filler bytes.
// The filler (the record's last 4 bytes, after the full texts when they
// follow) carries what the code cannot say: bit 0, set with 776 or 777,
// every byte written is zero although the file is not empty (the device
// discarded the freed clusters: TRIM, thin provisioning); bits 8-15, with
// 778 or 785, why the file was not recovered where the writer knows it.
constexpr uint32_t kResultZeroedBit = 1;
// The clusters written are those the file's format validated across, not
// a guess (a deleted FAT file whose chain is gone).
constexpr uint32_t kResultByFormatBit = 2;
constexpr uint32_t kResultReasonShift = 8;
enum class NotRecoveredReason : uint32_t {
  Unknown = 0,
  FolderReplaced = 1,   // a folder of the destination is now a link or not a folder
  PathTooLong = 2,      // the output's path would pass the longest path the system takes
  NoFreeName = 3,       // every counted name is taken
  NotCreated = 4,       // the destination refused the new file (rights, name)
  WriteFailed = 5,      // writing the file failed (an I/O error)
  FlushFailed = 6,      // the file's bytes could not be flushed to the device
  FolderNotMade = 7,    // a folder kept from the volume could not be made
  DestinationFull = 8,  // the destination filled up
};
struct ResultDetails {
  bool zeroed = false;
  NotRecoveredReason reason = NotRecoveredReason::Unknown;
  bool byFormat = false;
};
uint32_t ResultDetailsWord(const ResultDetails& details);
ResultDetails ResultDetailsOf(uint32_t word);
// The reason as the command line says it ("" for Unknown).
const char* NotRecoveredReasonText(NotRecoveredReason reason);
// What the output writer on this thread found about the file it wrote
// last; every result poster of this thread attaches it to the result it
// posts and clears it, so the engines pass it on without knowing of it.
void NoteOutputDetails(const ResultDetails& details);
ResultDetails TakeOutputDetails();
// The engine on this thread chose the clusters of the file it recovers
// last by the file's format; the next result posted says so.
void NoteClustersByFormat();
std::vector<uint8_t> BuildUndeleteResult(uint32_t code, uint32_t record, TextView source, TextView output,
                                         uint32_t details = 0);
// ProgressReport: value u32, text; 524 or 528 bytes.
std::vector<uint8_t> BuildProgressReport(uint32_t value, TextView text, uint32_t blockSize);
// MessageBoxRequest, 2608 bytes: text (1040 units), caption (260 units) at
// 2080, style at 2600, slot at 2604.
std::vector<uint8_t> BuildMessageBoxRequest(TextView text, TextView caption, uint32_t style, int32_t slot);

// Time texts of the found-file header.
Text NtfsTimeText(uint64_t fileTime);                   // local time, "MM/dd/yyyy HH:mm"
Text FatTimeText(uint16_t timeWord, uint16_t dateWord);  // "%02i/%02i/%04i %02i:%02i"

// ---- Posters ---------------------------------------------------------------
// `stream`, the header's second word: 0xFFFFFFFF for the file, the
// number of its named data stream (1, 2, ...) for a stream.
constexpr uint32_t kNtfsFileItself = 0xFFFFFFFFu;
int PostNtfsFileFound(uint32_t recordNumber, TextView fullPath, uint64_t fileTime, uint64_t size,
                      uint32_t stream = kNtfsFileItself, const FoundTimes& times = {});
int PostFatFileFound(uint32_t locator, uint32_t entryIndex, TextView fullPath, uint16_t timeWord, uint16_t dateWord,
                     uint32_t size, const FoundTimes& times = {});
// exFAT: the modification time as a UTC FILETIME when the entry carries a
// valid UTC offset (non-zero), else the timestamp as FAT's local words.
// `times` are given in the same form as the modification time: UTC
// FILETIMEs, or timestamps as FAT's local words.
int PostExfatFileFound(uint32_t locator, uint32_t entryIndex, TextView fullPath, uint32_t timestamp, uint64_t utcFileTime,
                       uint64_t size, const FoundTimes& times = {});
// The record word of an exFAT result: the file's clusters past the first
// were guessed (its chain was gone), not read from its FAT chain.
constexpr uint32_t kResultClustersGuessed = 1;
int PostExfatUndeleteResult(uint32_t code, bool guessed, TextView source, TextView output);
int PostNtfsUndeleteResult(uint32_t code, uint32_t recordNumber, TextView source, TextView output);
int PostFatUndeleteResult(uint32_t code, TextView source, TextView output);
int PostNtfsSearchProgress(uint32_t percent);
int PostFatSearchProgress(uint32_t percent, TextView folder);
int PostUndeleteFileStarted(uint32_t value, TextView text);
int PostUndeleteProgress(uint32_t percent, TextView fileName);

// The refusal box: caption from the program's own string 1 or from the
// resource library's string `captionId`, text from string `textId`.
enum class CaptionSource { ProgramString1, ResourceLibrary };
int PostShowMessage(uint32_t textId, CaptionSource caption, uint32_t captionId = 1);

}  // namespace rv
