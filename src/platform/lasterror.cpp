#include "platform/lasterror.h"

#ifdef _WIN32
#include <windows.h>
namespace rv {
uint32_t GetLastErrorCode() { return ::GetLastError(); }
void SetLastErrorCode(uint32_t code) { ::SetLastError(code); }
}  // namespace rv
#else
namespace rv {
namespace {
thread_local uint32_t t_lastError = 0;
}
uint32_t GetLastErrorCode() { return t_lastError; }
void SetLastErrorCode(uint32_t code) { t_lastError = code; }
}  // namespace rv
#endif
