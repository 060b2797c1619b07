// quorvex.exe: the program entry, the single-instance hand-over, the
// start-up command and the message loop.
#include <windows.h>
#include <commctrl.h>

#include <iterator>

#include "channel/messages.h"
#include "channel/strings.h"
#include "platform/system.h"
#include "res/resource.h"
#include "shell/command_states.h"
#include "shell/engines.h"
#include "shell/controls.h"
#include "shell/test_seam.h"
#include "shell/main_window.h"
#include "shell/search_bar.h"
#include "shell/two_pane/search_panel.h"
#include "shell/state.h"
#include "shell/views.h"
#include "volume/diaglog.h"

namespace rv::shell {
namespace {

constexpr wchar_t kResourceLibrary[] = L"PgRes.dll";
constexpr wchar_t kInstanceMutex[] = L"Global\\TarvelleRvGuiExe";
constexpr DWORD kHandOverWaitMs = 500;
constexpr int kServiceLevel = 4;

Text ToText(const std::wstring& w) { return Text(w.begin(), w.end()); }
std::wstring ToWide(TextView t) { return std::wstring(t.begin(), t.end()); }

std::wstring LoadStringFrom(HINSTANCE module, UINT id) {
  if (!module) return {};
  const wchar_t* text = nullptr;
  int length = LoadStringW(module, id, reinterpret_cast<wchar_t*>(&text), 0);
  if (length <= 0 || !text) return {};
  return std::wstring(text, std::min(length, kTitleLength));
}

Text LibraryText(uint32_t id) { return ToText(LibraryString(id)); }
Text ProgramText(uint32_t id) { return ToText(ProgramString(id)); }

// The library sits beside the program, whatever the current folder is.
HINSTANCE LoadResourceLibrary() {
  wchar_t path[MAX_PATH + 1] = {};
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring full(path, n);
  size_t slash = full.find_last_of(L"\\/");
  std::wstring library = (slash == std::wstring::npos ? std::wstring() : full.substr(0, slash + 1)) + kResourceLibrary;
  return LoadLibraryW(library.c_str());
}

// A second start hands over to the first and leaves.
bool HandOverToRunningInstance() {
  HWND first = FindWindowW(kMainClass, nullptr);
  if (!first) return false;
  PostMessageW(first, WM_COMMAND, CMD_SHOW_ON_REQUEST, 0);
  Sleep(kHandOverWaitMs);
  if (IsWindow(first) && IsWindowVisible(first)) {
    SetForegroundWindow(first);
    ShowWindow(first, SW_SHOWNORMAL);
  } else {
    PostMessageW(first, WM_COMMAND, CMD_FOREGROUND, 0);
  }
  return true;
}

// One copy per machine, across logged-on users. NT 4 has no global
// namespace and goes without.
bool AcquireInstanceMutex() {
  ShellState& s = Shell();
  if (OsMajorVersion() <= 4) return true;
  HANDLE mutex = CreateMutexW(nullptr, FALSE, kInstanceMutex);
  DWORD error = GetLastError();
  if (mutex && error == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return false;
  }
  if (!mutex) return error != ERROR_ACCESS_DENIED;  // other failures go on without one
  s.instanceMutex = mutex;
  return true;
}

void RefuseSecondCopy() {
  std::wstring text = LibraryString(IDS_ALREADY_RUNNING);
  std::wstring caption = LibraryString(IDS_INSTANCE_CAPTION);
  MessageBoxW(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_ICONERROR);
}

bool BindVolumeFunctions() {
  ShellState& s = Shell();
  HMODULE kernel = GetModuleHandleW(L"KERNEL32");
  if (!kernel) return false;
  if (!(s.findFirstVolume = GetProcAddress(kernel, "FindFirstVolumeW"))) return false;
  if (!(s.findNextVolume = GetProcAddress(kernel, "FindNextVolumeW"))) return false;
  if (!(s.findVolumeClose = GetProcAddress(kernel, "FindVolumeClose"))) return false;
  return (s.volumeNameForMountPoint = GetProcAddress(kernel, "GetVolumeNameForVolumeMountPointW")) != nullptr;
}

// Steps 1 to 12 of start-up; false where a step stops the rest.
bool RunStartupSteps(HWND window) {
  ShellState& s = Shell();
  s.busy = true;
  s.session.reset(new (std::nothrow) ServiceSession());
  if (!s.session) return false;
  s.session->starting = true;

  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_WIN95_CLASSES | ICC_BAR_CLASSES | ICC_LISTVIEW_CLASSES |
                                           ICC_TREEVIEW_CLASSES | ICC_PROGRESS_CLASS | ICC_TAB_CLASSES |
                                           ICC_DATE_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&icc);
  StartDiagnosticLog(ToText(s.windowTitle), u"C:\\RetrivaGui.log");

  wchar_t computer[MAX_PATH + 1] = {};
  DWORD computerLength = MAX_PATH;
  if (!GetComputerNameW(computer, &computerLength)) return false;
  s.targetComputer.assign(computer, computerLength);

  s.isAdministrator = IsAdministrator();
  s.messageSlots.fill(false);
  s.busy = false;

  CreateChildWindows(window);
  UpdateCommandStates();
  if ((s.listMenu = LoadMenuW(s.resourceLibrary, MAKEINTRESOURCEW(IDM_LIST_POPUP))))
    s.listPopup = GetSubMenu(s.listMenu, 0);
  if ((s.treeMenu = LoadMenuW(s.resourceLibrary, MAKEINTRESOURCEW(IDM_TREE_POPUP))))
    s.treePopup = GetSubMenu(s.treeMenu, 0);
  PostMessageW(window, WM_COMMAND, CMD_START_SEARCH, 0);

  s.session->resourceLibrary = s.resourceLibrary;
  s.serviceLevel = TestSeamServiceLevel(kServiceLevel);
  wchar_t user[257] = {};
  DWORD userLength = 257;
  if (GetUserNameW(user, &userLength)) s.session->userName = ToText(std::wstring(user));
  s.session->computerName = ToText(s.targetComputer);
  s.busy = false;
  SetCursor(s.arrowCursor);

  for (const EngineRow* row : AllEngines()) row->runState->store(kEngineIdle);

  if (OsMajorVersion() != 4 && !BindVolumeFunctions()) return false;
  s.session->starting = false;
  return true;
}

int RunMessageLoop() {
  ShellState& s = Shell();
  MSG msg;
  BOOL got;
  while ((got = GetMessageW(&msg, nullptr, 0, 0)) != 0) {
    if (got == -1) break;
    // The docked dialogs take every key typed into them, and the focus is
    // in one nearly always: the window's own shortcuts are looked up first.
    // None of them is a key an edit field or a button needs.
    bool key = msg.message == WM_KEYDOWN || msg.message == WM_SYSKEYDOWN;
    if (key && s.accelerators && s.mainWindow && TranslateAcceleratorW(s.mainWindow, s.accelerators, &msg)) continue;
    if (s.searchPanel && IsDialogMessageW(s.searchPanel, &msg)) continue;
    if (SearchBarMessage(msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return static_cast<int>(msg.wParam);
}

int Run(HINSTANCE program, int showCommand) {
  ShellState& s = Shell();
  s.program = program;
  s.resourceLibrary = LoadResourceLibrary();
  if (!s.resourceLibrary) {
    MessageBoxW(nullptr, L"Failed to initialize the Resource DLL", L"Tarvelle Retriva - ERROR", MB_OK | MB_ICONERROR);
    return 0;
  }
  SetStringLoaders(LibraryText, ProgramText);
  if (HandOverToRunningInstance()) return 0;
  if (!AcquireInstanceMutex()) {
    RefuseSecondCopy();
    if (s.instanceMutex) CloseHandle(s.instanceMutex);
    return 0;
  }

  s.windowTitle = LibraryString(IDS_WINDOW_TITLE);
  s.productTitle = LibraryString(IDS_PRODUCT_TITLE);
  s.searchTitle = LibraryString(IDS_SEARCH_TITLE);
  s.waitCursor = LoadCursorW(nullptr, IDC_WAIT);
  s.arrowCursor = LoadCursorW(nullptr, IDC_ARROW);
  if (!RegisterWindowClasses(program)) return 0;
  s.mainWindow = CreateMainWindow(program);
  if (!s.mainWindow) return 0;

  s.accelerators = LoadAcceleratorsW(s.resourceLibrary, MAKEINTRESOURCEW(IDA_MAIN));
  const wchar_t* line = GetCommandLineW();
  s.switches = MatchStartSwitches(ToText(line ? std::wstring(line) : std::wstring()));
  if (!s.switches.Any()) {
    ShowWindow(s.mainWindow, showCommand);
    UpdateWindow(s.mainWindow);
  }
  PostMessageW(s.mainWindow, WM_COMMAND, CMD_STARTUP, 0);
  return RunMessageLoop();
}

}  // namespace

ShellState& Shell() {
  static ShellState state;
  return state;
}

std::wstring LibraryString(UINT id) { return LoadStringFrom(Shell().resourceLibrary, id); }
std::wstring ProgramString(UINT id) { return LoadStringFrom(Shell().program, id); }

std::wstring FormatLibraryString(UINT id, const std::vector<FormatArg>& args) {
  return ToWide(FormatLibraryText(ToText(LibraryString(id)), args));
}

std::wstring MainTitle() {
  ShellState& s = Shell();
  return ToWide(FormatMainTitle(ToText(LibraryString(IDS_TITLE_FORMAT)), ToText(s.productTitle),
                                ToText(s.targetComputer)));
}

int Px(int pixelsAt96Dpi) {
  static int dpi = [] {
    HDC screen = GetDC(nullptr);
    int d = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen) ReleaseDC(nullptr, screen);
    return d > 0 ? d : 96;
  }();
  return MulDiv(pixelsAt96Dpi, dpi, 96);
}

void RunStartup(HWND window) {
  RunStartupSteps(window);
  // Whatever step start-up reached, the title names the computer.
  SetWindowTextW(window, MainTitle().c_str());
}

bool IsAdministrator() {
  if (TestSeamDeniesAdministrator()) return false;
  HANDLE token = nullptr;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
    if (GetLastError() != ERROR_NO_TOKEN || !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
      return false;
  }
  DWORD size = 0;
  GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
  std::vector<BYTE> buffer(size ? size : 1);
  bool ok = size && GetTokenInformation(token, TokenGroups, buffer.data(), size, &size);
  CloseHandle(token);
  if (!ok) return false;

  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                &administrators))
    return false;
  bool found = false;
  auto* groups = reinterpret_cast<TOKEN_GROUPS*>(buffer.data());
  for (DWORD i = 0; i < groups->GroupCount && !found; ++i) {
    const SID_AND_ATTRIBUTES& g = groups->Groups[i];
    // Under User Account Control an administrator's unelevated token lists
    // the group for denying only: such a process cannot open volumes.
    bool enabled = (g.Attributes & SE_GROUP_ENABLED) && !(g.Attributes & SE_GROUP_USE_FOR_DENY_ONLY);
    found = enabled && IsValidSid(g.Sid) && EqualSid(g.Sid, administrators);
  }
  FreeSid(administrators);
  return found;
}

void OpenHelp(const wchar_t* topic) {
  wchar_t program[MAX_PATH + 1] = {};
  DWORD n = GetModuleFileNameW(nullptr, program, MAX_PATH);
  std::wstring t = topic ? topic : L"";
  auto path = BuildHelpPath(ToText(std::wstring(program, n)), ToText(t));
  if (!path) return;
  // The HTML Help viewer is loaded on first use only.
  using HtmlHelpFn = HWND(WINAPI*)(HWND, const wchar_t*, UINT, DWORD_PTR);
  static HtmlHelpFn htmlHelp = [] {
    HMODULE viewer = LoadLibraryW(L"hhctrl.ocx");
    return viewer ? reinterpret_cast<HtmlHelpFn>(reinterpret_cast<void (*)()>(GetProcAddress(viewer, "HtmlHelpW")))
                  : nullptr;
  }();
  constexpr UINT kDisplayTopic = 0;  // HH_DISPLAY_TOPIC
  if (htmlHelp) htmlHelp(Shell().mainWindow, ToWide(*path).c_str(), kDisplayTopic, 0);
}

}  // namespace rv::shell

int WINAPI wWinMain(HINSTANCE program, HINSTANCE, LPWSTR, int showCommand) {
  return rv::shell::Run(program, showCommand);
}
