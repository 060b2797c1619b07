/* PgRes.dll holds resources only; the loader still wants an entry point. */
#include <windows.h>

BOOL WINAPI PgResEntry(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reason;
  (void)reserved;
  return TRUE;
}
