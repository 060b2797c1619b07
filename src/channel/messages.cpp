#include "channel/messages.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <mutex>

#include "channel/packet.h"
#include "channel/strings.h"
#include "platform/system.h"
#include "platform/text.h"
#include "volume/diaglog.h"
#include "format/le.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace rv {

std::atomic<int32_t> g_ntfsRunState{kEngineIdle};
std::atomic<int32_t> g_fatRunState{kEngineIdle};
std::atomic<int32_t> g_exfatRunState{kEngineIdle};

namespace {
std::mutex g_sinkMutex;
MessageSink* g_sink = nullptr;

void Put32(std::vector<uint8_t>& out, size_t off, uint32_t v) { put32(MutableBytes(out.data(), out.size()), off, v); }
void Put64(std::vector<uint8_t>& out, size_t off, uint64_t v) { put64(MutableBytes(out.data(), out.size()), off, v); }

void PutText(std::vector<uint8_t>& out, size_t off, size_t capUnits, TextView t) {
  size_t n = t.size() < capUnits - 1 ? t.size() : capUnits - 1;
  for (size_t i = 0; i < n; ++i) {
    out[off + 2 * i] = static_cast<uint8_t>(t[i]);
    out[off + 2 * i + 1] = static_cast<uint8_t>(t[i] >> 8);
  }
}

int Post(uint32_t id, const std::vector<uint8_t>& payload) {
  return DataToController(id, payload.data(), static_cast<uint32_t>(payload.size()), -1);
}
}  // namespace

bool CallbackSink::Post(uint32_t commandId, gmem::Handle payload) {
  // The receiver owns the block from here on and frees it once copied,
  // also when the copy cannot be made (memory runs out).
  struct Owned {
    gmem::Handle block;
    ~Owned() {
      if (block) gmem::Free(block);
    }
  } owned{payload};
  std::vector<uint8_t> own;
  std::unique_lock<std::mutex> shared(bufferInUse_, std::try_to_lock);
  std::vector<uint8_t>& bytes = shared.owns_lock() ? buffer_ : own;
  bytes.clear();
  if (payload) {
    size_t n = gmem::Size(payload);
    if (void* p = gmem::Lock(payload)) {
      struct Unlock {
        gmem::Handle block;
        ~Unlock() { gmem::Unlock(block); }
      } unlock{payload};
      bytes.assign(static_cast<uint8_t*>(p), static_cast<uint8_t*>(p) + n);
    }
  }
  gmem::Free(owned.block);
  owned.block = nullptr;
  if (cb_) cb_(commandId, bytes);
  return true;
}

#ifdef _WIN32
bool WindowSink::Post(uint32_t commandId, gmem::Handle payload) {
  HWND window = static_cast<HWND>(hwnd_);
  for (int attempt = 0;; ++attempt) {
    if (PostMessageW(window, WM_COMMAND, commandId, reinterpret_cast<LPARAM>(payload))) return true;
    // A queue holds at most 10,000 posted messages; a search that finds
    // more than the window has handled so far waits for it to catch up
    // rather than losing files. The window's own thread cannot wait for
    // itself, and a window that is gone never catches up.
    if (GetLastError() != ERROR_NOT_ENOUGH_QUOTA || attempt >= 12000 || !IsWindow(window) ||
        GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId())
      return false;
    Sleep(5);
  }
}
#endif

void SetMessageSink(MessageSink* sink) {
  std::lock_guard<std::mutex> lock(g_sinkMutex);
  g_sink = sink;
}

MessageSink* GetMessageSink() {
  std::lock_guard<std::mutex> lock(g_sinkMutex);
  return g_sink;
}

int DataToController(uint32_t commandId, const void* payload, uint32_t size, int traceId) {
  gmem::Handle block = nullptr;
  if (size != 0) {
    block = gmem::Alloc(size);
    if (!block) return 0;
    void* p = gmem::Lock(block);
    if (!p) {
      gmem::Free(block);
      return 0;
    }
    if (payload) std::memcpy(p, payload, size);
    gmem::Unlock(block);
  }
  MessageSink* sink = GetMessageSink();
  bool posted = sink && sink->Post(commandId, block);
  // Until the post succeeds the block is still ours.
  if (!posted && block) gmem::Free(block);
  if (traceId >= 0) TraceEvent("FueComm::DataToController", 0, traceId, nullptr);
  return posted ? 1 : 0;
}

void BuildDeletedFileHeader(std::vector<uint8_t>& out, uint32_t locator, uint32_t second, uint32_t size,
                            TextView timeText, TextView path) {
  out.resize(12);
  Put32(out, 0, locator);
  Put32(out, 4, second);
  Put32(out, 8, size);
  AppendPayloadText(out, timeText);
  AppendPayloadText(out, path);
  out.insert(out.end(), 4, 0);
}

std::vector<uint8_t> BuildDeletedFileHeader(uint32_t locator, uint32_t second, uint32_t size, TextView timeText,
                                            TextView path) {
  std::vector<uint8_t> out;
  out.reserve(12 + 2 * (timeText.size() + path.size()) + 8);
  BuildDeletedFileHeader(out, locator, second, size, timeText, path);
  return out;
}

std::vector<uint8_t> BuildUndeleteResult(uint32_t code, uint32_t record, TextView source, TextView output,
                                         uint32_t details) {
  std::vector<uint8_t> out(8, 0);
  Put32(out, 0, code);
  Put32(out, 4, record);
  AppendPayloadText(out, source);
  AppendPayloadText(out, output);
  out.resize(out.size() + 4);
  Put32(out, out.size() - 4, details);
  return out;
}

uint32_t ResultDetailsWord(const ResultDetails& d) {
  return (d.zeroed ? kResultZeroedBit : 0) | (d.byFormat ? kResultByFormatBit : 0) |
         ((static_cast<uint32_t>(d.reason) & 0xFF) << kResultReasonShift);
}

ResultDetails ResultDetailsOf(uint32_t word) {
  ResultDetails d;
  d.zeroed = (word & kResultZeroedBit) != 0;
  d.byFormat = (word & kResultByFormatBit) != 0;
  const uint32_t reason = (word >> kResultReasonShift) & 0xFF;
  if (reason <= static_cast<uint32_t>(NotRecoveredReason::DestinationFull)) d.reason = static_cast<NotRecoveredReason>(reason);
  return d;
}

const char* NotRecoveredReasonText(NotRecoveredReason reason) {
  switch (reason) {
    case NotRecoveredReason::FolderReplaced:
      return "a folder of the destination was replaced by a link or by something that is not a folder meanwhile";
    case NotRecoveredReason::PathTooLong: return "its path would pass the 32,767 characters a path may have";
    case NotRecoveredReason::NoFreeName: return "every counted name for it is taken";
    case NotRecoveredReason::NotCreated: return "the destination refused the new file";
    case NotRecoveredReason::WriteFailed: return "writing it to the destination failed";
    case NotRecoveredReason::FlushFailed: return "its bytes could not be flushed to the destination's device";
    case NotRecoveredReason::FolderNotMade: return "its folder could not be made in the destination";
    case NotRecoveredReason::DestinationFull: return "the destination has too little free space";
    case NotRecoveredReason::Unknown: break;
  }
  return "";
}

namespace {
thread_local ResultDetails g_outputDetails;
thread_local bool g_clustersByFormat = false;
}  // namespace

void NoteOutputDetails(const ResultDetails& details) { g_outputDetails = details; }
void NoteClustersByFormat() { g_clustersByFormat = true; }

ResultDetails TakeOutputDetails() {
  ResultDetails d = g_outputDetails;
  d.byFormat = g_clustersByFormat;
  g_outputDetails = {};
  g_clustersByFormat = false;
  return d;
}

std::vector<uint8_t> BuildProgressReport(uint32_t value, TextView text, uint32_t blockSize) {
  std::vector<uint8_t> out(blockSize, 0);
  Put32(out, 0, value);
  PutText(out, 4, (blockSize - 4) / 2, text);
  return out;
}

std::vector<uint8_t> BuildMessageBoxRequest(TextView text, TextView caption, uint32_t style, int32_t slot) {
  std::vector<uint8_t> out(2608, 0);
  PutText(out, 0, 1040, text);
  PutText(out, 2080, 260, caption);
  Put32(out, 2600, style);
  Put32(out, 2604, static_cast<uint32_t>(slot));
  return out;
}

namespace {
// Decimal digits of v, at least `width` of them, at `out`; returns the end.
char16_t* PutPadded(char16_t* out, unsigned v, size_t width) {
  char16_t digits[12];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char16_t>(u'0' + v % 10);
    v /= 10;
  } while (v != 0);
  for (; n < width && n < sizeof digits / sizeof digits[0]; ++n) digits[n] = u'0';
  while (n > 0) *out++ = digits[--n];
  return out;
}

// Two digits of a field below 100 (every field but the year is: FAT packs
// them into 4 to 6 bits, calendar times keep them in range).
char16_t* PutTwo(char16_t* out, unsigned v) {
  out[0] = static_cast<char16_t>(u'0' + v / 10 % 10);
  out[1] = static_cast<char16_t>(u'0' + v % 10);
  return out + 2;
}

// "MM/dd/yyyy HH:mm" of a calendar time at `out` (room for 17 units);
// returns the end.
char16_t* PutMinuteText(char16_t* out, unsigned month, unsigned day, unsigned year, unsigned hour, unsigned minute) {
  char16_t* p = PutTwo(out, month);
  *p++ = u'/';
  p = PutTwo(p, day);
  *p++ = u'/';
  p = PutPadded(p, year, 4);
  *p++ = u' ';
  p = PutTwo(p, hour);
  *p++ = u':';
  return PutTwo(p, minute);
}

char16_t* PutNtfsTime(char16_t* out, uint64_t fileTime) {
  CalendarTime t;
  if (!FileTimeToLocal(fileTime, t)) t = CalendarTime{1601, 1, 1, 0, 0, 0};
  return PutMinuteText(out, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day),
                       static_cast<unsigned>(t.year), static_cast<unsigned>(t.hour), static_cast<unsigned>(t.minute));
}

char16_t* PutFatTime(char16_t* out, uint16_t timeWord, uint16_t dateWord) {
  return PutMinuteText(out, (dateWord >> 5) & 0x0F, dateWord & 0x1F, 1980 + (dateWord >> 9), timeWord >> 11,
                       (timeWord >> 5) & 0x3F);
}

// Found-file headers are built here, one per file a search lists.
std::vector<uint8_t>& Staging() {
  thread_local std::vector<uint8_t> staging;
  return staging;
}
}  // namespace

Text NtfsTimeText(uint64_t fileTime) {
  char16_t buf[24];
  return Text(buf, PutNtfsTime(buf, fileTime));
}

Text FatTimeText(uint16_t timeWord, uint16_t dateWord) {
  char16_t buf[24];
  return Text(buf, PutFatTime(buf, timeWord, dateWord));
}

Text ShortenedPath(TextView path) {
  if (path.size() <= kShownPathUnits) return Text(path);
  // The volume prefix and the first separator, "...", and the end of the
  // path, cut where it does not split a surrogate pair.
  size_t from = 0;
  if (path.substr(0, 2) == u"\\\\") {
    // "\\?\Volume{GUID}": the prefix ends at the brace.
    from = path.find(u'}');
    if (from == TextView::npos) from = 4;
  }
  size_t head = path.find(u'\\', from);
  head = head == TextView::npos || head + 1 > kShownPathUnits / 2 ? 0 : head + 1;
  size_t tail = path.size() - (kShownPathUnits - head - 3);
  if (path[tail] >= 0xDC00 && path[tail] <= 0xDFFF) ++tail;
  Text out(path.substr(0, head));
  out += u"...";
  out += path.substr(tail);
  return out;
}

namespace {
// A record holds its texts in the fixed places the window reads; texts too
// long for the window's 260-unit buffers are there shortened, and follow in
// full before the 4 filler bytes, so no reader loses them.
void AppendFullTexts(std::vector<uint8_t>& record, std::initializer_list<TextView> texts) {
  record.resize(record.size() - 4);
  for (TextView t : texts) AppendPayloadText(record, t);
  record.insert(record.end(), 4, 0);
}

int PostFileFound(uint32_t locator, uint32_t second, TextView time, TextView fullPath, uint64_t size,
                  uint64_t timeValue, FoundTimeKind timeKind, const FoundTimes& times) {
  std::vector<uint8_t>& header = Staging();
  const bool shortened = fullPath.size() > kShownPathUnits;
  BuildDeletedFileHeader(header, locator, second, static_cast<uint32_t>(size), time,
                         shortened ? TextView(ShortenedPath(fullPath)) : fullPath);
  // The details go where the filler was; the filler follows them.
  size_t at = header.size() - 4;
  header.resize(at + kFoundDetailsBytes);
  Put32(header, at, kFoundDetailsMagic);
  Put64(header, at + 4, size);
  Put64(header, at + 12, timeValue);
  Put32(header, at + 20, static_cast<uint32_t>(timeKind));
  AppendPayloadText(header, shortened ? fullPath : TextView());
  at = header.size();
  header.resize(at + kFoundTimesBytes);
  Put32(header, at, kFoundTimesMagic);
  Put64(header, at + kFoundTimesCreated, times.created);
  Put64(header, at + kFoundTimesChanged, times.changed);
  Put64(header, at + kFoundTimesAccessed, times.accessed);
  header.insert(header.end(), 4, 0);
  return Post(CM_FILE_FOUND, header);
}

int PostUndeleteResult(uint32_t code, uint32_t record, TextView source, TextView output) {
  // A zeroed file is one that was written; a reason, one that was not.
  ResultDetails details = TakeOutputDetails();
  const bool written = code == kResultRecovered || code == kResultPartlyInUse;
  if (written) details.reason = NotRecoveredReason::Unknown;
  else details.zeroed = details.byFormat = false;
  const uint32_t word = ResultDetailsWord(details);
  if (source.size() <= kShownPathUnits && output.size() <= kShownPathUnits)
    return Post(CM_UNDELETE_RESULT, BuildUndeleteResult(code, record, source, output, word));
  std::vector<uint8_t> result = BuildUndeleteResult(code, record, ShortenedPath(source), ShortenedPath(output));
  AppendFullTexts(result, {source, output});
  Put32(result, result.size() - 4, word);
  return Post(CM_UNDELETE_RESULT, result);
}
}  // namespace

// Paths once made a record too large for the 1568-byte staging record and
// the file was left out of the list; every path is posted now, shortened
// in its fixed place when it is long.
int PostNtfsFileFound(uint32_t recordNumber, TextView fullPath, uint64_t fileTime, uint64_t size, uint32_t stream,
                      const FoundTimes& times) {
  char16_t buf[24];
  const TextView time(buf, static_cast<size_t>(PutNtfsTime(buf, fileTime) - buf));
  return PostFileFound(recordNumber, stream, time, fullPath, size, fileTime, FoundTimeKind::FileTimeUtc, times);
}

int PostFatFileFound(uint32_t locator, uint32_t entryIndex, TextView fullPath, uint16_t timeWord, uint16_t dateWord,
                     uint32_t size, const FoundTimes& times) {
  char16_t buf[24];
  const TextView time(buf, static_cast<size_t>(PutFatTime(buf, timeWord, dateWord) - buf));
  return PostFileFound(locator, entryIndex, time, fullPath, size,
                       (static_cast<uint64_t>(dateWord) << 16) | timeWord, FoundTimeKind::FatLocal, times);
}

int PostExfatFileFound(uint32_t locator, uint32_t entryIndex, TextView fullPath, uint32_t timestamp, uint64_t utcFileTime,
                       uint64_t size, const FoundTimes& times) {
  char16_t buf[24];
  if (utcFileTime != 0) {
    const TextView time(buf, static_cast<size_t>(PutNtfsTime(buf, utcFileTime) - buf));
    return PostFileFound(locator, entryIndex, time, fullPath, size, utcFileTime, FoundTimeKind::FileTimeUtc, times);
  }
  const uint16_t timeWord = static_cast<uint16_t>(timestamp & 0xFFFF), dateWord = static_cast<uint16_t>(timestamp >> 16);
  const TextView time(buf, static_cast<size_t>(PutFatTime(buf, timeWord, dateWord) - buf));
  return PostFileFound(locator, entryIndex, time, fullPath, size, timestamp, FoundTimeKind::FatLocal, times);
}

int PostExfatUndeleteResult(uint32_t code, bool guessed, TextView source, TextView output) {
  return PostUndeleteResult(code, guessed ? kResultClustersGuessed : 0, source, output);
}

int PostNtfsUndeleteResult(uint32_t code, uint32_t recordNumber, TextView source, TextView output) {
  return PostUndeleteResult(code, recordNumber, source, output);
}

int PostFatUndeleteResult(uint32_t code, TextView source, TextView output) {
  return PostUndeleteResult(code, 0, source, output);
}

int PostNtfsSearchProgress(uint32_t percent) { return Post(CM_SEARCH_PROGRESS, BuildProgressReport(percent, u"", 524)); }

int PostFatSearchProgress(uint32_t percent, TextView folder) {
  return Post(CM_SEARCH_PROGRESS, BuildProgressReport(percent, folder, 524));
}

int PostUndeleteFileStarted(uint32_t value, TextView text) {
  auto payload = BuildProgressReport(value, text, 524);
  return DataToController(CM_UNDELETE_FILE_STARTED, payload.data(), static_cast<uint32_t>(payload.size()), 85);
}

int PostUndeleteProgress(uint32_t percent, TextView fileName) {
  return Post(CM_UNDELETE_PROGRESS, BuildProgressReport(percent, fileName, 528));
}

int PostShowMessage(uint32_t textId, CaptionSource caption, uint32_t captionId) {
  Text captionText = caption == CaptionSource::ProgramString1 ? LoadProgramString(1) : LoadResourceString(captionId);
  constexpr uint32_t kMbIconError = 0x10;
  return Post(CM_SHOW_MESSAGE, BuildMessageBoxRequest(LoadResourceString(textId), captionText, kMbIconError, -1));
}

}  // namespace rv
