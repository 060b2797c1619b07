// The thread's last error, as GetLastError/SetLastError keep it on Windows.
#pragma once
#include <cstdint>

namespace rv {
uint32_t GetLastErrorCode();
void SetLastErrorCode(uint32_t code);
}  // namespace rv
