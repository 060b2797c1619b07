#include "volume/diaglog.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/files.h"
#include "platform/lasterror.h"
#include "platform/system.h"
#include "platform/text.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace rv {
namespace {

struct DiagnosticLog {
  bool enabled = false;
  bool firstRecordPending = true;
  Text logPath;
  Text startParameter;
  std::timed_mutex mutex;
};

DiagnosticLog& Log() {
  static DiagnosticLog log;
  return log;
}

std::mutex g_statusMutex;
Text g_statusText;
bool g_traceSwitch = false;

Text Ascii(const char* s) {
  Text t;
  while (*s) t.push_back(static_cast<unsigned char>(*s++));
  return t;
}

// FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM) for the codes the engines meet;
// the text keeps its trailing line break, as the system's does.
bool SystemMessageText(uint32_t code, Text& out) {
#ifdef _WIN32
  wchar_t buf[200];
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0x400, buf, 200, nullptr);
  if (n == 0) return false;
  out.assign(buf, buf + n);
  return true;
#else
  const char* text = nullptr;
  switch (code) {
    case 0: text = "The operation completed successfully."; break;
    case 1: text = "Incorrect function."; break;
    case 2: text = "The system cannot find the file specified."; break;
    case 3: text = "The system cannot find the path specified."; break;
    case 5: text = "Access is denied."; break;
    case 6: text = "The handle is invalid."; break;
    case 8: text = "Not enough memory resources are available to process this command."; break;
    case 13: text = "The data is invalid."; break;
    case 21: text = "The device is not ready."; break;
    case 23: text = "Data error (cyclic redundancy check)."; break;
    case 30: text = "The system cannot read from the specified device."; break;
    case 38: text = "Reached the end of the file."; break;
    case 50: text = "The request is not supported."; break;
    case 80: text = "The file exists."; break;
    case 87: text = "The parameter is incorrect."; break;
    case 112: text = "There is not enough space on the disk."; break;
    case 123: text = "The filename, directory name, or volume label syntax is incorrect."; break;
    case 183: text = "Cannot create a file when that file already exists."; break;
    case 234: text = "More data is available."; break;
    case 1005: text = "The volume does not contain a recognized file system."; break;
    case 1237: text = "The operation could not be completed. A retry should be performed."; break;
    default: return false;
  }
  out = Ascii(text);
  out += u"\r\n";
  return true;
#endif
}

Text HexThreadId(uint32_t id) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04X", id);
  return Ascii(buf);
}

Text DateText(const CalendarTime& t) {
  // Short date of the system locale; this build formats it as M/d/yyyy.
  return DecimalText(t.month) + u"/" + DecimalText(t.day) + u"/" + DecimalText(t.year);
}

Text TimeText(const CalendarTime& t) {
  return PaddedDecimal(t.hour, 2) + u":" + PaddedDecimal(t.minute, 2) + u":" + PaddedDecimal(t.second, 2);
}

uint32_t AppendRecordLines(DiagnosticLog& log, const Text& lines) {
  fs::File f = fs::File::OpenAlways(log.logPath);
  if (!f.Valid()) return GetLastErrorCode();
  uint64_t pos = 0;
  if (!f.Size(pos)) return GetLastErrorCode();
  // UTF-16 little-endian, no byte-order mark.
  std::string bytes;
  bytes.reserve(lines.size() * 2);
  for (char16_t c : lines) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  if (!f.WriteAt(pos, bytes.data(), static_cast<uint32_t>(bytes.size()))) return GetLastErrorCode();
  f.Close();
  return 1;
}

}  // namespace

BOOL StartDiagnosticLog(TextView, TextView) { return kTrue; }

void EnableDiagnosticLog(TextView logPath, TextView startParameter) {
  auto& log = Log();
  log.logPath = Text(logPath.substr(0, 199));
  log.startParameter = Text(startParameter.substr(0, 199));
  log.firstRecordPending = true;
  log.enabled = true;
}

void DisableDiagnosticLog() { Log().enabled = false; }

uint32_t WriteLogRecord(TextView message, uint32_t status, const char16_t* parameter) {
  auto& log = Log();
  if (!log.enabled) return 0;
  if (log.firstRecordPending) {
    log.firstRecordPending = false;
    Text start = u"INITIALIZE A NEW LOGGER" + Text(81, u'-');
    WriteLogRecord(start, kNoStatus, log.startParameter.c_str());
  }
  Text statusText;
  if (status != kNoStatus) {
    uint32_t code = ((status & 0x1FFF0000u) == 0x00080000u) ? (status & 0xFFFFu) : status;
    Text sys;
    if (!SystemMessageText(code, sys)) return kErrorInvalidFunction;
    statusText = sys + u" - Error #" + DecimalText(code);
  }
  CalendarTime now = LocalNow();
  Text lines = DateText(now) + u" " + TimeText(now) + u" : Thread# = " + HexThreadId(CurrentThreadId()) + u"\r\n";
  lines += u"    Message   : " + Text(message) + u"\r\n";
  lines += u"    Status    : " + statusText + u"\r\n";
  if (parameter) lines += u"    Parameter : " + Text(parameter) + u"\r\n";

  // A writer that cannot get the lock in 30 s drops its record rather than
  // interleave with another writer's lines.
  if (!log.mutex.try_lock_for(std::chrono::seconds(30))) return kErrorRetry;
  uint32_t result = AppendRecordLines(log, lines);
  log.mutex.unlock();
  return result;
}

void ErrorRecord(const char* module, int site, const char* buildStamp) {
  uint32_t saved = GetLastErrorCode();
  if (Log().enabled) {
    Text message = u"Error in file " + Ascii(module) + u" line " + DecimalText(static_cast<uint64_t>(site));
    Text parameter = u"Compiled " + Ascii(buildStamp);
    WriteLogRecord(message, saved, parameter.c_str());
  }
  SetLastErrorCode(saved);
}

int TraceEvent(const char*, int, int stringId, const char16_t* text) {
  if (!g_traceSwitch) return 0;
  if (stringId >= 0) return 1;
  return text ? 1 : 0;
}

void SetTraceSwitch(bool on) { g_traceSwitch = on; }

void SetStatusText(TextView text) {
  std::lock_guard<std::mutex> lock(g_statusMutex);
  g_statusText = Text(text.substr(0, 259));
}

Text GetStatusText() {
  std::lock_guard<std::mutex> lock(g_statusMutex);
  return g_statusText;
}

BOOL AllocGlobalBlock(uint32_t size, gmem::Handle* block, void** address) {
  if (size == 0 || !block) return kFalse;
  if (!*block) {
    *block = gmem::Alloc(size);
    if (!*block) return kFalse;
  } else if (gmem::Size(*block) != size) {
    if (address && *address) gmem::Unlock(*block);
    gmem::Handle moved = gmem::ReAlloc(*block, size);
    if (!moved) {
      // The failed resize leaves the caller without a block: free it.
      if (address && *address) *address = nullptr;
      gmem::Free(*block);
      *block = nullptr;
      return kFalse;
    }
    *block = moved;
    if (address) *address = nullptr;
  } else if (address && *address) {
    // Same size and already locked: the address stays valid.
    return kTrue;
  }
  if (address) {
    *address = gmem::Lock(*block);
    if (!*address) return kFalse;
  }
  return kTrue;
}

void FreeGlobalBlock(gmem::Handle* block, void** address) {
  if (!block || !*block) return;
  if (address && *address) {
    gmem::Unlock(*block);
    *address = nullptr;
  }
  gmem::Free(*block);
  *block = nullptr;
}

}  // namespace rv
