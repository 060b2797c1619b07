// The test build of quorvex.exe (built as tests' quorvex.exe, never
// shipped) can be told to answer the administrator check with no, which a
// Wine prefix never does by itself: the environment variable
// QUORVEX_TEST_NOT_ADMINISTRATOR=1. The shipped program ignores it.
// QUORVEX_TEST_TWO_PANE_ROWS=N puts N made-up rows into the two-pane file
// list, which only a recovery service would fill otherwise, so that its
// selection, context menu and commands can be driven.
#include <windows.h>

#include "shell/main_window.h"

namespace rv::shell {

bool TestSeamDeniesAdministrator() {
#ifdef RETRIVA_TEST_SEAMS
  wchar_t value[8] = {};
  DWORD n = GetEnvironmentVariableW(L"QUORVEX_TEST_NOT_ADMINISTRATOR", value, 8);
  return n == 1 && value[0] == L'1';
#else
  return false;
#endif
}

int TestSeamTwoPaneRows() {
#ifdef RETRIVA_TEST_SEAMS
  wchar_t value[8] = {};
  DWORD n = GetEnvironmentVariableW(L"QUORVEX_TEST_TWO_PANE_ROWS", value, 8);
  return n > 0 && n < 8 ? _wtoi(value) : 0;
#else
  return 0;
#endif
}

}  // namespace rv::shell
