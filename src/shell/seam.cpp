// The test build of quorvex.exe (built as tests' quorvex.exe, never
// shipped) can be told to answer the administrator check with no, which a
// Wine prefix never does by itself: the environment variable
// QUORVEX_TEST_NOT_ADMINISTRATOR=1. The shipped program ignores it.
// QUORVEX_TEST_TWO_PANE_ROWS=N puts N made-up rows into the two-pane file
// list, which only a recovery service would fill otherwise, so that its
// selection, context menu and commands can be driven.
// QUORVEX_TEST_VOLUMES="letter|name|display;..." gives machines the volume
// list a service would (letter "-" for none); QUORVEX_TEST_SERVICE_LEVEL=N
// sets the service level; QUORVEX_TEST_REQUEST_LOG=FILE appends every
// service request as a line "code hex-bytes".
#include <windows.h>

#include <cstdio>
#include <string>

#include "shell/test_seam.h"

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

namespace {
#ifdef RETRIVA_TEST_SEAMS
std::wstring Variable(const wchar_t* name) {
  wchar_t value[2048] = {};
  DWORD n = GetEnvironmentVariableW(name, value, 2048);
  return n > 0 && n < 2048 ? std::wstring(value, n) : std::wstring();
}
#endif
}  // namespace

std::vector<DestinationVolume> TestSeamVolumes() {
  std::vector<DestinationVolume> volumes;
#ifdef RETRIVA_TEST_SEAMS
  std::wstring list = Variable(L"QUORVEX_TEST_VOLUMES");
  size_t at = 0;
  while (at < list.size()) {
    size_t end = list.find(L';', at);
    if (end == std::wstring::npos) end = list.size();
    std::wstring item = list.substr(at, end - at);
    size_t a = item.find(L'|'), b = a == std::wstring::npos ? a : item.find(L'|', a + 1);
    if (b != std::wstring::npos) {
      DestinationVolume v;
      v.letter = item[0] == L'-' ? 0 : static_cast<char16_t>(item[0]);
      std::wstring name = item.substr(a + 1, b - a - 1), display = item.substr(b + 1);
      v.name.assign(name.begin(), name.end());
      v.displayPath.assign(display.begin(), display.end());
      volumes.push_back(v);
    }
    at = end + 1;
  }
#endif
  return volumes;
}

int TestSeamServiceLevel(int level) {
#ifdef RETRIVA_TEST_SEAMS
  std::wstring v = Variable(L"QUORVEX_TEST_SERVICE_LEVEL");
  if (!v.empty()) return _wtoi(v.c_str());
#endif
  return level;
}

void TestSeamRecordRequest(uint32_t code, const void* data, uint32_t length) {
#ifdef RETRIVA_TEST_SEAMS
  std::wstring path = Variable(L"QUORVEX_TEST_REQUEST_LOG");
  if (path.empty()) return;
  FILE* f = _wfopen(path.c_str(), L"a");
  if (!f) return;
  std::fprintf(f, "%u ", code);
  for (uint32_t i = 0; i < length; ++i) std::fprintf(f, "%02x", static_cast<const unsigned char*>(data)[i]);
  std::fprintf(f, "\n");
  std::fclose(f);
#else
  (void)code, (void)data, (void)length;
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
