// Failure records, the trace hook, the status line and the work-buffer
// allocator shared by every engine module.
#pragma once
#include <cstdint>

#include "platform/gmem.h"
#include "platform/types.h"

namespace rv {

// ---- Diagnostic log ------------------------------------------------------
// Called once at start-up; leaves the log disabled.
BOOL StartDiagnosticLog(TextView windowTitle, TextView logPath);
// Debugging switch: turns the log on, writing to `logPath`; the first record
// is preceded by the start record carrying `startParameter`.
void EnableDiagnosticLog(TextView logPath, TextView startParameter);
void DisableDiagnosticLog();

constexpr uint32_t kNoStatus = 0xFFFFFFFFu;
// Appends one record; 0 while disabled, otherwise the result of the last
// system call made. `parameter` may be null.
uint32_t WriteLogRecord(TextView message, uint32_t status, const char16_t* parameter);

// The failure-site convention: "Error in file <module> line <site>", status
// = the thread's last error, parameter "Compiled <stamp>". The last error is
// preserved across the call, so callers can still report it.
void ErrorRecord(const char* module, int site, const char* buildStamp = __TIMESTAMP__);

// ---- Trace hook ------------------------------------------------------------
// Inert: produces text only while the shell's trace switch is on, and that
// text goes nowhere.
int TraceEvent(const char* routine, int kind, int stringId, const char16_t* text);
void SetTraceSwitch(bool on);

// ---- Status text -----------------------------------------------------------
void SetStatusText(TextView text);
Text GetStatusText();

// ---- Work buffers ----------------------------------------------------------
// Allocates (first call), resizes (different size, contents kept, growth
// zero-filled, the block may move) and optionally locks a movable block.
// After a failed resize the caller owns no block and no address.
BOOL AllocGlobalBlock(uint32_t size, gmem::Handle* block, void** address);

// Releases a block held through a handle and an optional locked address;
// both variables end up null.
void FreeGlobalBlock(gmem::Handle* block, void** address);

}  // namespace rv
