// Helpers at the boundary to the Win32 API (Windows builds only): the core
// keeps its text in char16_t, the wide-char API takes wchar_t, which is the
// same 16-bit UTF-16 unit on Windows.
#pragma once
#ifdef _WIN32
#include <windows.h>

#include <cwchar>
#include <string>

#include "platform/types.h"

namespace rv::win {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Win32 wide characters are UTF-16 units");

inline std::wstring Wide(TextView t) { return std::wstring(t.begin(), t.end()); }

inline Text FromWide(const wchar_t* s, size_t cap) {
  size_t n = 0;
  while (n < cap && s[n] != 0) ++n;
  return Text(s, s + n);
}

// An export looked up at run time (it may be missing on older systems).
// GetProcAddress hands back a generic FARPROC; passing it through void(*)()
// is the sanctioned way to give it its real type.
template <typename Fn>
Fn ProcAddress(const wchar_t* module, const char* name) {
  HMODULE m = GetModuleHandleW(module);
  if (!m) return nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(m, name)));
}

}  // namespace rv::win

#endif
