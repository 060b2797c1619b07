// Drives the real quorvex.exe from another process, as a user would: starts
// it, finds its window by class, reads back what its controls hold, opens
// its menus and dialogs, presses their buttons, starts it a second time and
// closes it; checks PgRes.dll's resources and the settings in the registry.
//
// Usage: quorvex_driver.exe BUILD_DIR SHOTS_DIR
//   BUILD_DIR holds quorvex.exe, PgRes.dll, quorvex.chm and testseam\.
//   SHOTS_DIR: for every picture the driver wants, it creates NAME.req there
//   and waits until the script that runs it has taken the screen and
//   removed the file.
// Prints one line per check; exits 1 when any failed.
#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>

#include <cstdio>
#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "res/resource.h"
#include "shell/logic.h"
#include "shell/preview_state.h"
#include "shell/registry.h"
#include "shell/settings.h"
#include "shell/two_pane/criteria.h"
#include "channel/destination.h"

namespace {

using namespace rv::shell;
using rv::Text;

int g_failures = 0;
std::wstring g_build;
std::wstring g_shots;
HMODULE g_library = nullptr;

void Check(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "ok    " : "FAILED", what.c_str());
  std::fflush(stdout);
  if (!ok) ++g_failures;
}

std::string Narrow(const std::wstring& w) {
  std::string s;
  for (wchar_t c : w) s += c < 128 ? static_cast<char>(c) : '?';
  return s;
}

bool WaitFor(const std::function<bool()>& done, DWORD timeoutMs) {
  for (DWORD waited = 0;; waited += 50) {
    if (done()) return true;
    if (waited >= timeoutMs) return false;
    Sleep(50);
  }
}

void Shot(const std::wstring& name) {
  if (g_shots.empty()) return;
  std::wstring request = g_shots + L"\\" + name + L".req";
  HANDLE f = CreateFileW(request.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  CloseHandle(f);
  WaitFor([&] { return GetFileAttributesW(request.c_str()) == INVALID_FILE_ATTRIBUTES; }, 20000);
}

std::wstring LibraryText(UINT id) {
  const wchar_t* p = nullptr;
  int n = LoadStringW(g_library, id, reinterpret_cast<wchar_t*>(&p), 0);
  return n > 0 ? std::wstring(p, n) : std::wstring();
}

std::wstring WindowText(HWND w) {
  wchar_t buffer[1024] = {};
  // WM_GETTEXT is carried across processes by the system.
  SendMessageTimeoutW(w, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG, 3000, nullptr);
  return buffer;
}

std::wstring ClassOf(HWND w) {
  wchar_t buffer[256] = {};
  GetClassNameW(w, buffer, 256);
  return buffer;
}

DWORD ProcessOf(HWND w) {
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  return pid;
}

std::vector<HWND> TopLevel(const std::wstring& className, DWORD pid = 0, bool visibleOnly = false) {
  struct Query {
    std::wstring cls;
    DWORD pid;
    bool visible;
    std::vector<HWND> found;
  } q{className, pid, visibleOnly, {}};
  EnumWindows(
      [](HWND w, LPARAM lp) -> BOOL {
        auto* q = reinterpret_cast<Query*>(lp);
        if (ClassOf(w) == q->cls && (!q->pid || ProcessOf(w) == q->pid) && (!q->visible || IsWindowVisible(w)))
          q->found.push_back(w);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&q));
  return q.found;
}

std::vector<HWND> MainWindows() { return TopLevel(L"PellagoEGuiClass"); }

// A dialog or message box of that process, visible.
HWND WaitForDialog(DWORD pid, DWORD timeoutMs = 10000) {
  HWND found = nullptr;
  WaitFor(
      [&] {
        auto d = TopLevel(L"#32770", pid, true);
        found = d.empty() ? nullptr : d.front();
        return found != nullptr;
      },
      timeoutMs);
  return found;
}

// A message box's text: its static control, id 0xFFFF.
std::wstring MessageBoxText(HWND box) {
  HWND text = GetDlgItem(box, 0xFFFF);
  return text ? WindowText(text) : std::wstring();
}

void PressButton(HWND dialog, int id) { PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); }

// ---- Text of controls in the other process ---------------------------------------
class RemoteBuffer {
 public:
  RemoteBuffer(HWND w, size_t bytes) : size_(bytes) {
    process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, ProcessOf(w));
    if (process_) memory_ = VirtualAllocEx(process_, nullptr, bytes, MEM_COMMIT, PAGE_READWRITE);
  }
  ~RemoteBuffer() {
    if (memory_) VirtualFreeEx(process_, memory_, 0, MEM_RELEASE);
    if (process_) CloseHandle(process_);
  }
  void* Address() const { return memory_; }
  bool Write(const void* data, size_t n, size_t offset = 0) {
    return memory_ && WriteProcessMemory(process_, static_cast<char*>(memory_) + offset, data, n, nullptr);
  }
  bool Read(void* data, size_t n, size_t offset = 0) {
    return memory_ && ReadProcessMemory(process_, static_cast<char*>(memory_) + offset, data, n, nullptr);
  }

 private:
  HANDLE process_ = nullptr;
  void* memory_ = nullptr;
  size_t size_;
};

std::wstring StatusText(HWND status, int part) {
  RemoteBuffer buffer(status, 1024);
  if (!buffer.Address()) return L"<no buffer>";
  SendMessageW(status, SB_GETTEXTW, part, reinterpret_cast<LPARAM>(buffer.Address()));
  wchar_t text[512] = {};
  buffer.Read(text, sizeof text - 2);
  return text;
}

std::wstring ColumnTitle(HWND list, int column) {
  RemoteBuffer buffer(list, sizeof(LVCOLUMNW) + 512);
  LVCOLUMNW c{};
  c.mask = LVCF_TEXT;
  c.cchTextMax = 255;
  c.pszText = reinterpret_cast<wchar_t*>(static_cast<char*>(buffer.Address()) + sizeof(LVCOLUMNW));
  buffer.Write(&c, sizeof c);
  SendMessageW(list, LVM_GETCOLUMNW, column, reinterpret_cast<LPARAM>(buffer.Address()));
  wchar_t text[256] = {};
  buffer.Read(text, 510, sizeof(LVCOLUMNW));
  return text;
}

HWND ChildOfClass(HWND parent, const wchar_t* cls) { return FindWindowExW(parent, nullptr, cls, nullptr); }

int ColumnCount(HWND list) {
  HWND header = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
  return header ? static_cast<int>(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0)) : -1;
}

// ---- Starting the program --------------------------------------------------------
struct Program {
  PROCESS_INFORMATION pi{};
  bool started = false;
  DWORD ExitCode(DWORD timeoutMs = 15000) {
    if (!started) return 0xFFFFFFFF;
    if (WaitForSingleObject(pi.hProcess, timeoutMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    return code;
  }
  ~Program() {
    if (!started) return;
    if (WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(pi.hProcess, 99);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
  }
};

std::unique_ptr<Program> Launch(const std::wstring& exe, const std::wstring& args = L"", bool notAdmin = false) {
  auto p = std::make_unique<Program>();
  std::wstring line = L"\"" + exe + L"\"" + (args.empty() ? L"" : L" " + args);
  SetEnvironmentVariableW(L"QUORVEX_TEST_NOT_ADMINISTRATOR", notAdmin ? L"1" : nullptr);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  p->started = CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &p->pi);
  SetEnvironmentVariableW(L"QUORVEX_TEST_NOT_ADMINISTRATOR", nullptr);
  Check(p->started, "start " + Narrow(line));
  return p;
}

std::wstring Quorvex() { return g_build + L"\\quorvex.exe"; }
std::wstring TestQuorvex() { return g_build + L"\\testseam\\quorvex.exe"; }

std::wstring ComputerName() {
  wchar_t name[MAX_PATH + 1] = {};
  DWORD n = MAX_PATH;
  GetComputerNameW(name, &n);
  return name;
}

Text ToText(const std::wstring& w) { return Text(w.begin(), w.end()); }

std::wstring TwoPaneTitle() {
  Text t = FormatMainTitle(ToText(LibraryText(IDS_TITLE_FORMAT)), ToText(LibraryText(IDS_PRODUCT_TITLE)),
                           ToText(ComputerName()));
  return std::wstring(t.begin(), t.end());
}

// The program's window once start-up has set its final title.
HWND WaitForMainWindow(DWORD pid, const std::wstring& title) {
  HWND window = nullptr;
  WaitFor(
      [&] {
        auto all = TopLevel(L"PellagoEGuiClass", pid);
        window = all.empty() ? nullptr : all.front();
        return window && WindowText(window) == title;
      },
      20000);
  return window;
}

bool CloseAndExit(Program& p, HWND window, const std::string& what) {
  PostMessageW(window, WM_CLOSE, 0, 0);
  DWORD code = p.ExitCode();
  Check(code == 0, what + ": WM_CLOSE ends the program with exit code 0 (got " + std::to_string(code) + ")");
  Check(MainWindows().empty(), what + ": no window of the class is left");
  return code == 0;
}

// ---- The resource library ------------------------------------------------------------
struct DialogContract {
  UINT id;
  const wchar_t* name;
  std::vector<int> controls;
};

const std::vector<DialogContract>& Dialogs() {
  static const std::vector<DialogContract> d = {
      {IDD_SEARCH_BAR, L"dialog-331-search-bar",
       {IDC_SB_PATTERN, IDC_SB_FOLDER, IDC_SB_SUBFOLDERS, IDC_SB_BROWSE, IDC_SB_SEARCH, IDC_SB_UNDELETE, IDC_SB_STOP,
        IDC_SB_CLOSE, IDC_SB_HELP_PATTERN, IDC_SB_HELP_FOLDER}},
      {IDD_UNDELETE_DESTINATION, L"dialog-333-undelete-destination", {IDC_UD_FOLDER, IDC_UD_BROWSE, IDC_UD_REPORT, IDOK, IDCANCEL}},
      {IDD_UNDELETE_PROGRESS, L"dialog-332-undelete-progress", {IDC_UP_BAR, IDC_UP_TEXT, IDCANCEL}},
      {IDD_UNDELETE_REPORT, L"dialog-301-undelete-report", {IDC_UR_LIST, IDOK}},
      {IDD_DESTINATION, L"dialog-400-destination", {IDC_DS_STATUS, IDC_DS_ALTERNATE, IDOK, IDCANCEL}},
      {IDD_ALTERNATE_LOCATION, L"dialog-345-alternate-location",
       {IDC_AL_VOLUME, IDC_AL_FOLDERS, IDC_AL_PATH, IDC_AL_NAME, IDC_AL_NEW_FOLDER, IDC_AL_HELP, IDC_AL_FROM_DISK_HELP,
        IDOK, IDCANCEL}},
      {IDD_INFO_GETTING_STARTED, L"dialog-989-info", {IDOK}},
      {IDD_INFO_NTFS, L"dialog-349-info", {IDOK}},
      {IDD_INFO_FAT, L"dialog-340-info", {IDOK}},
      {IDD_INFO_DESTINATION, L"dialog-337-info", {IDOK}},
      {IDD_INFO_TIPS, L"dialog-350-info", {IDOK}},
      {IDD_INFO_SAFETY, L"dialog-342-info", {IDOK}},
      {IDD_INFO_ABOUT, L"dialog-346-info", {IDOK}},
  };
  return d;
}

INT_PTR CALLBACK PlainDialog(HWND, UINT msg, WPARAM, LPARAM) { return msg == WM_INITDIALOG; }

// Every static text must fit its control: a text the control cannot show
// whole is a clipped label.
void CheckTextsFit(HWND dialog, const std::string& name) {
  for (HWND c = GetWindow(dialog, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
    if (ClassOf(c) != L"Static" && ClassOf(c) != L"Button") continue;
    LONG style = GetWindowLongW(c, GWL_STYLE);
    if (ClassOf(c) == L"Static" && (style & SS_TYPEMASK) == SS_ICON) continue;
    std::wstring text = WindowText(c);
    if (text.empty()) continue;
    RECT r;
    GetClientRect(c, &r);
    HDC dc = GetDC(c);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(c, WM_GETFONT, 0, 0)));
    RECT need = r;
    bool button = ClassOf(c) == L"Button";
    int inset = button ? ((style & BS_TYPEMASK) == BS_AUTOCHECKBOX ? 18 : 6) : 0;
    need.right -= inset;
    DrawTextW(dc, text.c_str(), -1, &need, DT_CALCRECT | (button ? DT_SINGLELINE : DT_WORDBREAK));
    SelectObject(dc, old);
    ReleaseDC(c, dc);
    bool fits = need.right <= r.right - inset + 1 && need.bottom <= r.bottom + 1;
    if (!fits) Check(false, name + ": text fits its control: \"" + Narrow(text) + "\"");
  }
}

void CheckLibrary() {
  for (const auto& d : Dialogs()) {
    std::string name = Narrow(d.name);
    HWND host = nullptr;
    HWND dialog = nullptr;
    if (d.id == IDD_SEARCH_BAR) {
      // The bar is a child dialog: show it inside a frame as the program does.
      host = CreateWindowExW(0, L"#32770", L"Search bar", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40, 660, 140, nullptr,
                             nullptr, nullptr, nullptr);
      dialog = CreateDialogParamW(g_library, MAKEINTRESOURCEW(d.id), host, PlainDialog, 0);
    } else {
      dialog = CreateDialogParamW(g_library, MAKEINTRESOURCEW(d.id), nullptr, PlainDialog, 0);
    }
    Check(dialog != nullptr, name + ": PgRes.dll has the dialog");
    if (!dialog) continue;
    bool all = true;
    for (int id : d.controls) all &= GetDlgItem(dialog, id) != nullptr;
    Check(all, name + ": holds every control the program addresses");
    CheckTextsFit(dialog, name);
    ShowWindow(dialog, SW_SHOW);
    MSG msg;
    for (int i = 0; i < 20; ++i) {
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
      Sleep(20);
    }
    Shot(d.name);
    DestroyWindow(dialog);
    if (host) DestroyWindow(host);
  }

  // Menus hold the commands the program handles, where a user looks.
  struct MenuContract {
    UINT menu;
    std::vector<UINT> commands;
  };
  const MenuContract menus[] = {
      {IDM_MAIN,
       {CMD_START_SEARCH, CMD_SEARCH_PANEL, CMD_UNDELETE, CMD_UNDELETE_TO, CMD_EXIT, CMD_LIST_FOLDER, CMD_REFRESH_ALL,
        CMD_CONNECT, CMD_STOP_LISTING, CMD_VOLUME_PROPERTIES, CMD_FILTER_EXTENSION, CMD_FILTER_NAME,
        CMD_SEARCH_THIS_FOLDER, CMD_COLLAPSE_TREE, CMD_SERVICE_OPTION, CMD_PREVIEW_PANE, CMD_HELP_TOPICS, 40048, 40049, 40050, 40051,
        40052, 40053, 40054}},
      {IDM_LIST_POPUP, {CMD_UNDELETE, CMD_UNDELETE_TO, CMD_FILTER_NAME, CMD_FILTER_EXTENSION}},
      {IDM_TREE_POPUP, {CMD_LIST_FOLDER, CMD_REFRESH_ALL, CMD_SEARCH_THIS_FOLDER, CMD_COLLAPSE_TREE}},
  };
  for (const auto& m : menus) {
    HMENU menu = LoadMenuW(g_library, MAKEINTRESOURCEW(m.menu));
    bool all = menu != nullptr;
    for (UINT id : m.commands) all &= menu && GetMenuState(menu, id, MF_BYCOMMAND) != static_cast<UINT>(-1);
    Check(all, "menu " + std::to_string(m.menu) + " holds its commands");
    if (menu) DestroyMenu(menu);
  }
  HMENU main = LoadMenuW(g_library, MAKEINTRESOURCEW(IDM_MAIN));
  wchar_t title[64] = {};
  std::wstring bar;
  for (int i = 0; main && i < GetMenuItemCount(main); ++i) {
    GetMenuStringW(main, i, title, 64, MF_BYPOSITION);
    bar += title + std::wstring(L" ");
  }
  Check(bar == L"&File &View &Help ", "the menu bar reads File, View, Help (" + Narrow(bar) + ")");
  if (main) DestroyMenu(main);

  HACCEL accel = LoadAcceleratorsW(g_library, MAKEINTRESOURCEW(IDA_MAIN));
  ACCEL entries[32];
  int n = accel ? CopyAcceleratorTableW(accel, entries, 32) : 0;
  auto has = [&](WORD key, BYTE flags, WORD cmd) {
    for (int i = 0; i < n; ++i)
      if (entries[i].key == key && (entries[i].fVirt & ~FNOINVERT) == (flags | FVIRTKEY) && entries[i].cmd == cmd)
        return true;
    return false;
  };
  Check(has(VK_F1, 0, CMD_HELP_TOPICS) && has('F', FCONTROL, CMD_START_SEARCH) && has(VK_F5, 0, CMD_LIST_FOLDER),
        "accelerator table 304: F1 help, Ctrl+F search, F5 list");

  bool strings = true;
  for (UINT id : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 11u, 24u, 26u, 72u, 81u, 101u, 102u, 103u, 104u, 107u,
                  109u, 110u, 111u, 123u, 124u, 131u, 132u, 133u, 137u, 143u, 144u, 145u, 149u, 159u, 283u, 284u,
                  288u, 289u, 290u, 291u, 292u, 293u, 294u, 296u, 301u, 303u, 304u, 305u, 312u, 313u, 315u, 316u,
                  317u, 319u, 339u, 351u, 352u, 368u, 377u, 393u, 394u, 414u, 415u, 417u}) {
    if (LibraryText(id).empty()) {
      strings = false;
      std::printf("       missing string %u\n", id);
    }
  }
  Check(strings, "PgRes.dll has every string the program loads");
  bool pictures = true;
  for (UINT id : {108u, 106u, 105u, 104u, 382u, 383u, 387u}) {
    HANDLE b = LoadImageW(g_library, MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION);
    pictures &= b != nullptr;
    if (b) DeleteObject(b);
  }
  Check(pictures, "PgRes.dll has the tree's six images and its watermark");
  Check(LoadCursorW(g_library, MAKEINTRESOURCEW(IDC_SPLITTER)) != nullptr, "PgRes.dll has the splitter cursor 103");
}

// ---- The running program ----------------------------------------------------------------

HWND HelpWindow(DWORD pid) {
  auto w = TopLevel(L"HH Parent", pid, true);
  return w.empty() ? nullptr : w.front();
}

void CloseMenus(HWND window) {
  auto menuOpen = [&] { return !TopLevel(L"#32768", ProcessOf(window), true).empty(); };
  for (int i = 0; i < 4 && menuOpen(); ++i) {
    PostMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    Sleep(300);
  }
}

// Opened from the keyboard, a menu shows its first item highlighted (in
// Wine's colours a greyed first item reads faintly there).
void OpenMenuAndShoot(HWND window, wchar_t mnemonic, const std::wstring& name) {
  auto menuOpen = [&] { return !TopLevel(L"#32768", ProcessOf(window), true).empty(); };
  SetForegroundWindow(window);
  PostMessageW(window, WM_SYSCOMMAND, SC_KEYMENU, mnemonic);
  bool open = WaitFor(menuOpen, 5000);
  Check(open, "the " + Narrow(name) + " opens");
  Sleep(300);
  Shot(name);
  CloseMenus(window);
}

void CheckMainWindow() {
  std::printf("-- main window\n");
  auto p = Launch(Quorvex());
  std::wstring searchTitle = LibraryText(IDS_SEARCH_TITLE);
  HWND w = WaitForMainWindow(p->pi.dwProcessId, searchTitle);
  Check(w != nullptr, "the window's title becomes the search title \"" + Narrow(searchTitle) + "\" (is \"" +
                          Narrow(w ? WindowText(w) : L"") + "\")");
  if (!w) return;
  Check(MainWindows().size() == 1, "one window of class PellagoEGuiClass");
  RECT r;
  GetWindowRect(w, &r);
  Check(r.right - r.left == 644 && r.bottom - r.top == 480,
        "the window is 644 x 480 (" + std::to_string(r.right - r.left) + " x " + std::to_string(r.bottom - r.top) + ")");
  Check(IsWindowVisible(w) != 0, "the window is visible");

  HWND bar = nullptr;
  for (HWND c = GetWindow(w, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
    if (ClassOf(c) == L"#32770" && GetDlgItem(c, IDC_SB_PATTERN)) bar = c;
  Check(bar != nullptr, "the search bar (dialog 331) is docked in the window");
  if (bar) {
    Check(!IsWindowEnabled(GetDlgItem(bar, IDC_SB_UNDELETE)) && !IsWindowEnabled(GetDlgItem(bar, IDC_SB_STOP)),
          "the search bar starts with Undelete and Stop disabled");
    Check(SendMessageW(GetDlgItem(bar, IDC_SB_SUBFOLDERS), BM_GETCHECK, 0, 0) == BST_CHECKED,
          "Include subfolders starts checked");
    RECT br, wr;
    GetWindowRect(bar, &br);
    GetClientRect(w, &wr);
    POINT origin{0, 0};
    ClientToScreen(w, &origin);
    Check(br.left == origin.x && br.top == origin.y && br.right - br.left == wr.right,
          "the search bar spans the client width at its top");
  }
  HWND list = ChildOfClass(w, WC_LISTVIEWW);
  HWND status = ChildOfClass(w, STATUSCLASSNAMEW);
  Check(list != nullptr && status != nullptr, "the file list and the status bar exist");
  if (list) {
    std::wstring titles;
    for (int i = 0; i < ColumnCount(list); ++i) titles += ColumnTitle(list, i) + L"|";
    std::wstring want;
    for (UINT id : {1u, 2u, 10u, 9u, 7u, 8u, static_cast<UINT>(IDS_COL_CONDITION)}) want += LibraryText(id) + L"|";
    Check(titles == want,
          "the file list shows the six search-result columns and the condition (" + Narrow(titles) + ")");
  }
  auto titleBars = [&] {
    int visible = 0;
    for (HWND c = GetWindow(w, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
      if (ClassOf(c) == L"RVInnerTitleBar" && IsWindowVisible(c)) ++visible;
    return visible;
  };
  Check(titleBars() == 1, "with the search bar only the file list's inner title bar shows");
  if (status) Check(StatusText(status, 0) == LibraryText(IDS_STATUS_READY), "status part 0 reads string 319");
  Shot(L"main-window");

  OpenMenuAndShoot(w, L'f', L"menu-file");
  OpenMenuAndShoot(w, L'v', L"menu-view");
  OpenMenuAndShoot(w, L'h', L"menu-help");

  // A menu item chosen from the keyboard sends its command: Help, About.
  SetForegroundWindow(w);
  PostMessageW(w, WM_SYSCOMMAND, SC_KEYMENU, L'h');
  WaitFor([&] { return !TopLevel(L"#32768", ProcessOf(w), true).empty(); }, 5000);
  Sleep(200);
  PostMessageW(w, WM_CHAR, L'a', 0);
  HWND about = WaitForDialog(p->pi.dwProcessId, 5000);
  Check(about && WindowText(about) == L"About Quorvex", "Help > About Quorvex opens dialog 346");
  if (about) {
    PressButton(about, IDOK);
    WaitFor([&] { return !IsWindow(about); }, 5000);
  }

  // Commands 40048 to 40054 open the information dialogs.
  const wchar_t* infoTitles[] = {L"Getting Started",         L"Recovering from NTFS",   L"Recovering from FAT",
                                 L"Choosing a Destination",  L"Tips for Better Results", L"Keeping Your Data Safe",
                                 L"About Quorvex"};
  for (UINT id = CMD_INFO_FIRST; id <= CMD_INFO_LAST; ++id) {
    PostMessageW(w, WM_COMMAND, id, 0);
    HWND d = WaitForDialog(p->pi.dwProcessId, 5000);
    std::wstring want = infoTitles[id - CMD_INFO_FIRST];
    Check(d && WindowText(d) == want, "command " + std::to_string(id) + " opens \"" + Narrow(want) + "\"");
    if (!d) continue;
    if (id == CMD_INFO_FIRST) Shot(L"info-dialog-in-program");
    PressButton(d, IDOK);
    Check(WaitFor([&] { return !IsWindow(d); }, 5000), "OK closes it");
  }

  // Ctrl+A selects every row and refreshes the summary.
  PostMessageW(w, WM_CHAR, 1, 0);
  if (status) {
    std::wstring format = LibraryText(288);
    Text f(format.begin(), format.end());
    Text t = FormatLibraryText(f, {static_cast<int64_t>(0)});
    std::wstring wanted(t.begin(), t.end());
    Check(WaitFor([&] { return StatusText(status, 1) == wanted; }, 3000),
          "Ctrl+A refreshes status part 1 to \"" + Narrow(wanted) + "\"");
  }

  // WM_HELP and F1 (accelerator) open the help file.
  auto expectHelp = [&](const std::string& what, bool shoot) {
    HWND help = nullptr;
    Check(WaitFor([&] { return (help = HelpWindow(p->pi.dwProcessId)) != nullptr; }, 15000), what);
    if (!help) return;
    Check(WindowText(help) == L"Quorvex Help", "the viewer shows the help file's title");
    if (shoot) {
      Sleep(1000);
      Shot(L"help");
    }
    PostMessageW(help, WM_CLOSE, 0, 0);
    WaitFor([&] { return !IsWindow(help) || !IsWindowVisible(help); }, 5000);
  };
  // WM_HELP carries a pointer: it is sent, never posted, and the system
  // copies the HELPINFO into the program.
  HELPINFO info{};
  info.cbSize = sizeof info;
  info.iContextType = HELPINFO_WINDOW;
  info.hItemHandle = w;
  GetCursorPos(&info.MousePos);
  SendMessageTimeoutW(w, WM_HELP, 0, reinterpret_cast<LPARAM>(&info), SMTO_NORMAL, 15000, nullptr);
  expectHelp("WM_HELP opens quorvex.chm in the help viewer", true);
  PostMessageW(w, WM_KEYDOWN, VK_F1, 0x003B0001);
  PostMessageW(w, WM_KEYUP, VK_F1, 0xC03B0001);
  expectHelp("F1 opens the help again", false);

  // Engine messages without a payload are taken and dropped.
  for (UINT id = 1425; id <= 1443; ++id) PostMessageW(w, WM_COMMAND, id, 0);
  Sleep(300);
  Check(IsWindow(w) && WindowText(w) == searchTitle, "controller messages 1425 to 1443 without payload are taken");

  // A second start hands over and leaves; the first stays the only window.
  auto second = Launch(Quorvex());
  DWORD code = second->ExitCode();
  Check(code == 0, "a second start exits with 0 (got " + std::to_string(code) + ")");
  auto all = MainWindows();
  Check(all.size() == 1 && all.front() == w && IsWindowVisible(w), "the first window stays the only one, visible");

  // 40003 again while the search bar exists changes nothing.
  PostMessageW(w, WM_COMMAND, CMD_START_SEARCH, 0);
  Sleep(500);
  int bars = 0;
  for (HWND c = GetWindow(w, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
    if (ClassOf(c) == L"#32770") ++bars;
  Check(bars == 1, "command 40003 while the search bar exists makes no second bar");

  // File > Exit (40005) closes the program cleanly.
  PostMessageW(w, WM_COMMAND, CMD_EXIT, 0);
  code = p->ExitCode();
  Check(code == 0, "File > Exit ends the program with exit code 0 (got " + std::to_string(code) + ")");
  Check(MainWindows().empty(), "no window of the class is left");
}

void PressKeys(std::initializer_list<WORD> keys) {
  std::vector<INPUT> input;
  for (WORD k : keys) {
    INPUT i{};
    i.type = INPUT_KEYBOARD;
    i.ki.wVk = k;
    input.push_back(i);
  }
  for (auto it = keys.end(); it != keys.begin();) {
    INPUT i{};
    i.type = INPUT_KEYBOARD;
    i.ki.wVk = *--it;
    i.ki.dwFlags = KEYEVENTF_KEYUP;
    input.push_back(i);
  }
  SendInput(static_cast<UINT>(input.size()), input.data(), sizeof(INPUT));
}

// Keys typed while the focus is in the search bar's pattern field, as it is
// after start-up: the accelerators still reach the window.
void CheckKeyboard() {
  std::printf("-- keyboard\n");
  auto p = Launch(Quorvex());
  HWND w = WaitForMainWindow(p->pi.dwProcessId, LibraryText(IDS_SEARCH_TITLE));
  if (!w) return Check(false, "window");
  SetForegroundWindow(w);
  Sleep(300);
  PressKeys({VK_F1});
  HWND help = nullptr;
  Check(WaitFor([&] { return (help = HelpWindow(p->pi.dwProcessId)) != nullptr; }, 15000),
        "F1 typed in the search bar opens the help");
  if (help) {
    PostMessageW(help, WM_CLOSE, 0, 0);
    WaitFor([&] { return !IsWindow(help); }, 5000);
  }
  SetForegroundWindow(w);
  Sleep(300);
  PressKeys({VK_CONTROL, 'Q'});
  DWORD code = p->ExitCode(10000);
  Check(code == 0, "Ctrl+Q typed in the search bar ends the program with 0 (got " + std::to_string(code) + ")");
}

void CheckCloseButton() {
  std::printf("-- search bar Close\n");
  auto p = Launch(Quorvex());
  HWND w = WaitForMainWindow(p->pi.dwProcessId, LibraryText(IDS_SEARCH_TITLE));
  if (!w) return Check(false, "window");
  HWND bar = nullptr;
  for (HWND c = GetWindow(w, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
    if (ClassOf(c) == L"#32770") bar = c;
  if (bar) PressButton(bar, IDC_SB_CLOSE);
  DWORD code = p->ExitCode();
  Check(code == 0, "the search bar's Close ends the program with 0 (got " + std::to_string(code) + ")");
}

// A copy of the program and its library in a folder of its own.
std::wstring CopyProgramTo(const std::wstring& folderName) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring folder = std::wstring(temp) + folderName;
  CreateDirectoryW(folder.c_str(), nullptr);
  CopyFileW(Quorvex().c_str(), (folder + L"\\quorvex.exe").c_str(), FALSE);
  CopyFileW((g_build + L"\\PgRes.dll").c_str(), (folder + L"\\PgRes.dll").c_str(), FALSE);
  return folder + L"\\quorvex.exe";
}

void CheckHiddenStart() {
  std::printf("-- hidden start\n");
  // The switch is the rest of the line from its first "-": the program's
  // path must hold none.
  std::wstring plain = CopyProgramTo(L"quorvexplain");
  for (const wchar_t* sw : {L"-EmptyBinOnly", L"-PropertiesOnly"}) {
    std::string name = Narrow(sw);
    auto p = Launch(plain, sw);
    HWND w = WaitForMainWindow(p->pi.dwProcessId, LibraryText(IDS_SEARCH_TITLE));
    Check(w && !IsWindowVisible(w), name + ": start-up runs and the window stays hidden");
    if (!w) continue;
    auto second = Launch(plain);
    DWORD code = second->ExitCode();
    Check(code == 0, name + ": a second start exits with 0");
    Check(IsWindowVisible(w) != 0, name + ": the second start made the first window visible");
    Check(MainWindows().size() == 1, name + ": still one window of the class");
    CloseAndExit(*p, w, name);
  }
  {
    std::wstring dashed = CopyProgramTo(L"quorvex-dashed");
    auto p = Launch(dashed, L"-EmptyBinOnly");
    HWND w = WaitForMainWindow(p->pi.dwProcessId, LibraryText(IDS_SEARCH_TITLE));
    Check(w && IsWindowVisible(w), "a \"-\" in the program's path: the switch is ignored, the window shows");
    if (w) CloseAndExit(*p, w, "dashed path");
  }
  auto p = Launch(plain, L"-PropertiesOnly extra");
  HWND w = WaitForMainWindow(p->pi.dwProcessId, LibraryText(IDS_SEARCH_TITLE));
  Check(w && IsWindowVisible(w), "a word after the switch: no match, the window shows");
  if (w) CloseAndExit(*p, w, "-PropertiesOnly extra");
  p = Launch(plain, L"-propertiesonly");
  w = WaitForMainWindow(p->pi.dwProcessId, LibraryText(IDS_SEARCH_TITLE));
  Check(w && IsWindowVisible(w), "the switch in other case: no match, the window shows");
  if (w) CloseAndExit(*p, w, "-propertiesonly");
}

HWND PassNotAdministratorBox(Program& p, bool shoot) {
  HWND box = WaitForDialog(p.pi.dwProcessId);
  Check(box != nullptr, "without administrator rights an error box appears");
  if (!box) return nullptr;
  Check(MessageBoxText(box) == LibraryText(IDS_NOT_ADMINISTRATOR), "its text is string 137");
  Check(WindowText(box) == L"Quorvex", "its caption is the program's own string 1");
  if (shoot) Shot(L"not-administrator-box");
  PressButton(box, IDOK);
  return WaitForMainWindow(p.pi.dwProcessId, TwoPaneTitle());
}

std::vector<int> ColumnWidthsOf(HWND list) {
  std::vector<int> widths;
  for (int i = 0; i < ColumnCount(list); ++i)
    widths.push_back(static_cast<int>(SendMessageW(list, LVM_GETCOLUMNWIDTH, i, 0)));
  return widths;
}

void CheckNotAdministrator() {
  std::printf("-- without administrator rights (test switch)\n");
  auto p = Launch(TestQuorvex(), L"", true);
  HWND w = PassNotAdministratorBox(*p, true);
  Check(w != nullptr, "the title becomes string 123 with product title and computer (\"" + Narrow(TwoPaneTitle()) +
                          "\")");
  if (!w) return;
  int bars = 0, dialogs = 0;
  for (HWND c = GetWindow(w, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
    if (ClassOf(c) == L"RVInnerTitleBar" && IsWindowVisible(c)) ++bars;
    if (ClassOf(c) == L"#32770") ++dialogs;
  }
  Check(bars == 2 && dialogs == 0, "the two-pane view: both inner title bars, no search bar");
  HWND tree = ChildOfClass(w, WC_TREEVIEWW);
  HWND list = ChildOfClass(w, WC_LISTVIEWW);
  Check(tree && IsWindowVisible(tree), "the volume tree shows");
  if (tree && list) {
    RECT t, l, c;
    GetWindowRect(tree, &t);
    GetWindowRect(list, &l);
    GetClientRect(w, &c);
    Check(t.right - t.left == c.right / 4 && l.left - t.right == 3,
          "the tree takes a quarter of the width, the list starts 3 pixels right of it");
  }
  if (list) {
    std::wstring titles;
    for (int i = 0; i < ColumnCount(list); ++i) titles += ColumnTitle(list, i) + L"|";
    std::wstring want;
    for (UINT id = 1; id <= 7; ++id) want += LibraryText(id) + L"|";
    want += LibraryText(IDS_COL_CONDITION) + L"|";
    Check(titles == want, "the file list shows the seven two-pane columns and the condition (" + Narrow(titles) + ")");
    Check(ColumnWidthsOf(list) == std::vector<int>{100, 50, 100, 100, 50, 50, 0, 130},
          "no stored widths: 100, 50, 100, 100, 50, 50, 0, 130");
  }
  Shot(L"two-pane-view");
  CloseAndExit(*p, w, "two-pane view");
}

void SetTwoPaneWidths(const wchar_t* value) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tarvelle\\Retriva\\Sizes\\Columns\\TwoPane", 0, nullptr, 0,
                      KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return;
  if (value)
    RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                   static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
  else
    RegDeleteValueW(key, nullptr);
  RegCloseKey(key);
}

void CheckStoredWidths() {
  std::printf("-- stored column widths\n");
  struct Case {
    const wchar_t* stored;
    std::vector<int> shown;
  };
  // The condition column is last, its width the eighth stored; a list
  // stored before it was added still loads, with its default (130).
  const std::vector<int> defaults{100, 50, 100, 100, 50, 50, 0, 130};
  const Case cases[] = {{L"120*60*110*90*40*30*0", {120, 60, 110, 90, 40, 30, 0, 130}},
                        {L"120*60*110*90*40*30*0*90", {120, 60, 110, 90, 40, 30, 0, 90}},
                        {L"100*50", defaults},
                        {L"100*-1*100*100*50*50*0", defaults},
                        {L"1*2*3*4*5*6*7*8*9", defaults}};
  for (const auto& c : cases) {
    SetTwoPaneWidths(c.stored);
    auto p = Launch(TestQuorvex(), L"", true);
    HWND box = WaitForDialog(p->pi.dwProcessId);
    if (box) PressButton(box, IDOK);
    HWND w = WaitForMainWindow(p->pi.dwProcessId, TwoPaneTitle());
    HWND list = w ? ChildOfClass(w, WC_LISTVIEWW) : nullptr;
    Check(list && ColumnWidthsOf(list) == c.shown, "stored widths \"" + Narrow(c.stored) + "\" give the expected columns");
    if (w) CloseAndExit(*p, w, "widths");
  }
  SetTwoPaneWidths(nullptr);
  // With the search bar the seventh column goes; the others keep the stored widths.
  SetTwoPaneWidths(L"120*60*110*90*40*30*0*90");
  auto p = Launch(Quorvex());
  HWND w = WaitForMainWindow(p->pi.dwProcessId, LibraryText(IDS_SEARCH_TITLE));
  HWND list = w ? ChildOfClass(w, WC_LISTVIEWW) : nullptr;
  Check(list && ColumnWidthsOf(list) == std::vector<int>{120, 60, 110, 90, 40, 30, 90},
        "the search-result columns keep the stored widths, the condition column last");
  if (w) CloseAndExit(*p, w, "search columns");
  SetTwoPaneWidths(nullptr);
}

// ---- Recent lists: a real combo box and the real registry ------------------------------

std::wstring RegString(const wchar_t* key, const wchar_t* name, DWORD* bytes = nullptr) {
  wchar_t buffer[600] = {};
  DWORD size = sizeof buffer - 2, type = 0;
  LONG rc = RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ, &type, buffer, &size);
  if (bytes) *bytes = size;
  return rc == ERROR_SUCCESS ? buffer : L"<missing>";
}

DWORD RegDword(const wchar_t* key, const wchar_t* name) {
  DWORD value = 0xFFFFFFFF, size = sizeof value;
  RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_DWORD, nullptr, &value, &size);
  return value;
}

std::vector<std::wstring> ComboItems(HWND combo) {
  std::vector<std::wstring> items;
  ComboList list(combo);
  for (size_t i = 0; i < list.Count(); ++i) {
    Text t;
    list.Item(i, t);
    items.emplace_back(t.begin(), t.end());
  }
  return items;
}

void CheckRecentLists() {
  std::printf("-- recent lists in the registry\n");
  HWND frame = CreateWindowExW(0, L"#32770", L"lists", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr, nullptr,
                               nullptr, nullptr);
  HWND combo = CreateWindowExW(0, WC_COMBOBOXW, L"", WS_CHILD | CBS_DROPDOWN | WS_VSCROLL, 0, 0, 200, 200, frame,
                               nullptr, nullptr, nullptr);
  Check(combo != nullptr, "a combo box for the lists");
  if (!combo) return;
  ComboList list(combo);
  RegistryStore store;
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tarvelle\\Retriva\\PgBin");

  list.Append(u"ABC");
  list.Append(u"x");
  AddRecentEntry(list, u"abc", kRecentListMax);
  Check(ComboItems(combo) == std::vector<std::wstring>{L"abc", L"x"} && WindowText(combo) == L"abc",
        "adding abc to ABC, x leaves abc, x with abc in the edit line");

  SendMessageW(combo, CB_RESETCONTENT, 0, 0);
  for (const wchar_t* s : {L"first", L"", L"third"}) list.Append(std::u16string(s, s + wcslen(s)));
  Check(SaveRecentList(list, store, kSearchStrings, kRecentListMax), "SaveRecentList succeeds");
  const wchar_t* search = reinterpret_cast<const wchar_t*>(kSearchListsKey);
  DWORD bytes = 0;
  Check(RegString(search, L"SearchString0", &bytes) == L"first" && bytes == 2 * 5 + 2 &&
            RegString(search, L"SearchString1") == L"third" && RegDword(search, L"NumSearchString") == 2 &&
            RegString(search, L"SearchString2") == L"<missing>",
        "an empty second item: entries 0 and 1 from the first and third, count 2, NUL counted");

  HKEY key;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, search, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  for (int i = 0; i < 20; ++i) {
    std::wstring name = L"SearchPath" + std::to_wstring(i), value = L"C:\\p" + std::to_wstring(i);
    RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * 2));
  }
  DWORD twenty = 20;
  RegSetValueExW(key, L"NumSearchPath", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&twenty), sizeof twenty);
  RegCloseKey(key);
  SendMessageW(combo, CB_RESETCONTENT, 0, 0);
  Check(LoadRecentList(list, store, kSearchPaths, kRecentListMax) && list.Count() == 15 &&
            ComboItems(combo).back() == L"C:\\p14",
        "a count of 20 loads entries 0 to 14");

  SendMessageW(combo, CB_RESETCONTENT, 0, 0);
  list.Append(u"E:\\rescued\\");
  list.Append(u"f:\\old\\");
  list.SetEditText(u"F:\\OLD\\");
  SaveRecentListWithEdit(list, store, kRecoverPaths, kRecentListMax);
  const wchar_t* recover = reinterpret_cast<const wchar_t*>(kRecoverListsKey);
  Check(RegString(recover, L"RecoverPath0") == L"F:\\OLD\\" && RegString(recover, L"RecoverPath1") == L"E:\\rescued\\" &&
            RegDword(recover, L"NumRecoverPath") == 2,
        "the destination list: the edit text first, then the items that differ from it");
  SendMessageW(combo, CB_RESETCONTENT, 0, 0);
  Check(LoadRecentListWithEdit(list, store, kRecoverPaths) &&
            ComboItems(combo) == std::vector<std::wstring>{L"F:\\OLD\\", L"E:\\rescued\\"},
        "and loads back in that order");
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tarvelle\\Retriva\\PgBin");
  DestroyWindow(frame);
}

// ---- Refusals at start ---------------------------------------------------------------------

void CheckRefusals() {
  std::printf("-- refusals at start\n");
  // Without its library beside it the program says so and leaves.
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring lonely = std::wstring(temp) + L"quorvex-alone";
  CreateDirectoryW(lonely.c_str(), nullptr);
  std::wstring exe = lonely + L"\\quorvex.exe";
  CopyFileW(Quorvex().c_str(), exe.c_str(), FALSE);
  {
    auto p = Launch(exe);
    HWND box = WaitForDialog(p->pi.dwProcessId);
    Check(box && WindowText(box) == L"Tarvelle Retriva - ERROR" &&
              MessageBoxText(box) == L"Failed to initialize the Resource DLL",
          "no PgRes.dll: \"Failed to initialize the Resource DLL\"");
    if (box) {
      Shot(L"no-resource-library-box");
      PressButton(box, IDOK);
    }
    Check(p->ExitCode() == 0, "and exit code 0");
  }
  DeleteFileW(exe.c_str());
  RemoveDirectoryW(lonely.c_str());

  // Another user's copy holds the global mutex (and has no window here).
  HANDLE mutex = CreateMutexW(nullptr, FALSE, L"Global\\TarvelleRvGuiExe");
  {
    auto p = Launch(Quorvex());
    HWND box = WaitForDialog(p->pi.dwProcessId);
    Check(box && WindowText(box) == LibraryText(IDS_INSTANCE_CAPTION) &&
              MessageBoxText(box) == LibraryText(IDS_ALREADY_RUNNING),
          "the mutex is held: a box with strings 339 and 11");
    if (box) {
      Shot(L"already-running-box");
      PressButton(box, IDOK);
    }
    Check(p->ExitCode() == 0 && MainWindows().empty(), "and exit code 0 without a window");
  }
  CloseHandle(mutex);

  // A renamed program opens no help.
  std::wstring renamed = g_build + L"\\testseam\\renamed.exe";
  CopyFileW(TestQuorvex().c_str(), renamed.c_str(), FALSE);
  {
    auto p = Launch(renamed);
    HWND w = WaitForMainWindow(p->pi.dwProcessId, LibraryText(IDS_SEARCH_TITLE));
    if (w) {
      PostMessageW(w, WM_KEYDOWN, VK_F1, 0x003B0001);
      Sleep(3000);
      Check(HelpWindow(p->pi.dwProcessId) == nullptr, "renamed to renamed.exe: F1 opens no help");
      CloseAndExit(*p, w, "renamed");
    } else {
      Check(false, "renamed program starts");
    }
  }
  DeleteFileW(renamed.c_str());
}



// ---- Searching and recovering -----------------------------------------------------------
// The script maps test volumes to drive letters (BUILD\window-volumes.tsv:
// letter, tab, kind) and compares what the driver writes under
// BUILD\window-results with `retriva search/recover` on the same volumes.

std::string Utf8(const std::wstring& w) {
  int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

void WriteUtf8File(const std::wstring& path, const std::string& text) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(f);
}

// A list-view cell, read through a buffer in the program's process.
std::wstring CellText(HWND list, int row, int column) {
  constexpr int kUnits = 2048;
  RemoteBuffer buffer(list, sizeof(LVITEMW) + kUnits * 2);
  LVITEMW item{};
  item.iSubItem = column;
  item.cchTextMax = kUnits;
  item.pszText = reinterpret_cast<wchar_t*>(static_cast<char*>(buffer.Address()) + sizeof(LVITEMW));
  buffer.Write(&item, sizeof item);
  LRESULT n = SendMessageW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(buffer.Address()));
  std::wstring text(static_cast<size_t>(std::max<LRESULT>(n, 0)), L'\0');
  if (n > 0) buffer.Read(text.data(), static_cast<size_t>(n) * 2, sizeof(LVITEMW));
  return text;
}

using Row = std::vector<std::wstring>;
std::vector<Row> ListRows(HWND list) {
  std::vector<Row> rows;
  int count = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  for (int r = 0; r < count; ++r) {
    Row row;
    for (int c = 0; c < 7; ++c) row.push_back(CellText(list, r, c));
    rows.push_back(row);
  }
  return rows;
}

void SetRowStates(HWND list, int row, UINT state, UINT mask) {
  RemoteBuffer buffer(list, sizeof(LVITEMW));
  LVITEMW item{};
  item.stateMask = mask;
  item.state = state;
  buffer.Write(&item, sizeof item);
  SendMessageW(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(buffer.Address()));
}

// A click on a column's header, as the mouse gives it.
void ClickColumn(HWND list, int column) {
  HWND header = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
  RemoteBuffer buffer(header, sizeof(RECT));
  SendMessageW(header, HDM_GETITEMRECT, column, reinterpret_cast<LPARAM>(buffer.Address()));
  RECT r{};
  buffer.Read(&r, sizeof r);
  LPARAM at = MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2);
  SendMessageW(header, WM_LBUTTONDOWN, MK_LBUTTON, at);
  SendMessageW(header, WM_LBUTTONUP, 0, at);
}

// ---- Two-pane view: splitter, context menus, commands -----------------------------------

// Launches the test build without administrator rights, with made-up rows
// in the two-pane file list, and passes the error box.
HWND LaunchTwoPane(std::unique_ptr<Program>& p, int rows) {
  std::wstring n = std::to_wstring(rows);
  SetEnvironmentVariableW(L"QUORVEX_TEST_TWO_PANE_ROWS", n.c_str());
  p = Launch(TestQuorvex(), L"", true);
  SetEnvironmentVariableW(L"QUORVEX_TEST_TWO_PANE_ROWS", nullptr);
  HWND box = WaitForDialog(p->pi.dwProcessId);
  if (box) PressButton(box, IDOK);
  return WaitForMainWindow(p->pi.dwProcessId, TwoPaneTitle());
}

HTREEITEM InsertTreeItem(HWND tree, HTREEITEM parent, const std::wstring& text) {
  RemoteBuffer buffer(tree, sizeof(TVINSERTSTRUCTW) + 520);
  TVINSERTSTRUCTW insert{};
  insert.hParent = parent;
  insert.hInsertAfter = TVI_LAST;
  insert.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
  // The machine, volume and folder pictures, by level.
  int level = parent == TVI_ROOT ? 0 : SendMessageW(tree, TVM_GETNEXTITEM, TVGN_PARENT, reinterpret_cast<LPARAM>(parent)) ? 2 : 1;
  insert.item.iImage = insert.item.iSelectedImage = level;
  insert.item.pszText = reinterpret_cast<wchar_t*>(static_cast<char*>(buffer.Address()) + sizeof insert);
  buffer.Write(&insert, sizeof insert);
  buffer.Write(text.c_str(), (text.size() + 1) * 2, sizeof insert);
  return reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(buffer.Address())));
}

RECT TreeItemRect(HWND tree, HTREEITEM item) {
  RemoteBuffer buffer(tree, sizeof(RECT));
  buffer.Write(&item, sizeof item);
  SendMessageW(tree, TVM_GETITEMRECT, TRUE, reinterpret_cast<LPARAM>(buffer.Address()));
  RECT r{};
  buffer.Read(&r, sizeof r);
  MapWindowPoints(tree, nullptr, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

RECT ListRowRect(HWND list, int row) {
  RemoteBuffer buffer(list, sizeof(RECT));
  RECT r{LVIR_BOUNDS, 0, 0, 0};
  buffer.Write(&r, sizeof r);
  SendMessageW(list, LVM_GETITEMRECT, row, reinterpret_cast<LPARAM>(buffer.Address()));
  buffer.Read(&r, sizeof r);
  MapWindowPoints(list, nullptr, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

// The program that mouse input is for: each event is given time to be
// taken before the next.
HANDLE g_inputProcess = nullptr;
void SettleInput() {
  Sleep(100);
  if (g_inputProcess) WaitForInputIdle(g_inputProcess, 2000);
  Sleep(150);
}

void Mouse(DWORD flags) {
  INPUT i{};
  i.type = INPUT_MOUSE;
  i.mi.dwFlags = flags;
  SendInput(1, &i, sizeof i);
  SettleInput();
}

// An absolute move, as a real mouse reports it (SetCursorPos alone need
// not tell the window under the pointer).
void MoveMouse(int x, int y) {
  INPUT i{};
  i.type = INPUT_MOUSE;
  i.mi.dx = (x * 65536 + GetSystemMetrics(SM_CXSCREEN) / 2) / GetSystemMetrics(SM_CXSCREEN);
  i.mi.dy = (y * 65536 + GetSystemMetrics(SM_CYSCREEN) / 2) / GetSystemMetrics(SM_CYSCREEN);
  i.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
  SendInput(1, &i, sizeof i);
  SettleInput();
  POINT p;
  GetCursorPos(&p);
  if (p.x != x || p.y != y) {
    SetCursorPos(x, y);
    Sleep(100);
  }
}

void RightClick(int x, int y) {
  MoveMouse(x, y);
  Mouse(MOUSEEVENTF_RIGHTDOWN);
  Mouse(MOUSEEVENTF_RIGHTUP);
}

// A click that a busy machine may lose: repeated (at most three times)
// until what it does shows.
bool ClickUntil(int x, int y, bool right, const std::function<bool()>& done) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    MoveMouse(x, y);
    Mouse(right ? MOUSEEVENTF_RIGHTDOWN : MOUSEEVENTF_LEFTDOWN);
    Mouse(right ? MOUSEEVENTF_RIGHTUP : MOUSEEVENTF_LEFTUP);
    if (WaitFor(done, 1500)) return true;
  }
  return false;
}

HWND OpenPopup(DWORD pid) {
  HWND menu = nullptr;
  WaitFor(
      [&] {
        auto m = TopLevel(L"#32768", pid, true);
        menu = m.empty() ? nullptr : m.front();
        return menu != nullptr;
      },
      3000);
  return menu;
}

// Which items of the open popup are enabled, by position: "1" enabled, "0" greyed.
std::string PopupStates(HWND popup) {
  HMENU menu = reinterpret_cast<HMENU>(SendMessageW(popup, MN_GETHMENU, 0, 0));
  std::string states;
  for (int i = 0; menu && i < GetMenuItemCount(menu); ++i)
    states += (GetMenuState(menu, i, MF_BYPOSITION) & (MF_GRAYED | MF_DISABLED)) ? '0' : '1';
  return states;
}

void ClosePopup(HWND window, HWND popup) {
  for (int i = 0; i < 4 && IsWindow(popup) && IsWindowVisible(popup); ++i) {
    PressKeys({VK_ESCAPE});
    Sleep(200);
  }
  (void)window;
}

HWND FocusOf(HWND window) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info);
  return info.hwndFocus;
}

int ScreenWidth(HWND w) {
  RECT r;
  GetWindowRect(w, &r);
  return r.right - r.left;
}

void CheckTwoPaneView() {
  std::printf("-- two-pane view: splitter, context menus, commands\n");
  std::unique_ptr<Program> p;
  HWND w = LaunchTwoPane(p, 3);
  if (!w) return Check(false, "the two-pane window");
  DWORD pid = p->pi.dwProcessId;
  g_inputProcess = p->pi.hProcess;
  HWND tree = ChildOfClass(w, WC_TREEVIEWW);
  HWND list = ChildOfClass(w, WC_LISTVIEWW);
  HWND status = ChildOfClass(w, STATUSCLASSNAMEW);
  if (!tree || !list || !status) return Check(false, "tree, list and status bar");
  HIMAGELIST images = reinterpret_cast<HIMAGELIST>(SendMessageW(tree, TVM_GETIMAGELIST, TVSIL_NORMAL, 0));
  Check(images != nullptr, "the tree has its image list (all six images loaded)");
  // The rows are added once the refusal box is closed: they may follow the check by a moment.
  Check(WaitFor([&] { return SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 3; }, 5000),
        "the test build's three two-pane rows");

  // A machine, a volume under it and a folder under that, as the service
  // would list them.
  HTREEITEM root = InsertTreeItem(tree, TVI_ROOT, L"MACHINE");
  HTREEITEM volume = InsertTreeItem(tree, root, L"C:");
  HTREEITEM folder = InsertTreeItem(tree, volume, L"Docs");
  SendMessageW(tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(root));
  SendMessageW(tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(volume));
  SetForegroundWindow(w);
  Sleep(300);
  Shot(L"two-pane-tree");

  // Splitter: drag the tree's right border with the mouse.
  RECT t, l, win;
  GetWindowRect(tree, &t);
  GetWindowRect(w, &win);
  int y = (t.top + t.bottom) / 2, before = t.right - t.left;
  auto captured = [&] {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(w, nullptr), &info);
    return info.hwndCapture == tree;
  };
  // The pointer on the splitter: the tree takes the mouse.
  // The last move before the button goes down is to `at` itself, where a
  // drag would leave the tree as it is.
  // A busy machine takes its time to answer a move: each one is given a
  // second before the next try.
  auto grab = [&](int at) {
    for (int i = 0; i < 5; ++i) {
      if (i) MoveMouse(at + 2, y);
      MoveMouse(at, y);
      if (WaitFor(captured, 1000)) return true;
    }
    return false;
  };
  Check(grab(t.right + 1), "the pointer just right of the tree's edge makes the tree hold the mouse");
  Mouse(MOUSEEVENTF_LEFTDOWN);
  MoveMouse(t.right + 61, y);
  auto width = [&] {
    RECT r;
    GetWindowRect(tree, &r);
    return static_cast<int>(r.right - r.left);
  };
  // A loaded machine may take seconds to move it.
  WaitFor([&] { return width() > before + 40; }, 15000);
  Mouse(MOUSEEVENTF_LEFTUP);
  GetWindowRect(tree, &t);
  GetWindowRect(list, &l);
  Check(t.right - t.left > before + 40, "dragging the splitter 60 pixels right widens the tree (" +
                                           std::to_string(before) + " -> " + std::to_string(t.right - t.left) + ")");
  Check(l.left - t.right == 3, "the list follows, 3 pixels right of the tree");
  int afterDrag = t.right - t.left;
  // Beyond the limits nothing moves: 50 pixels from the left, 100 from the right.
  grab(t.right + 1);
  Mouse(MOUSEEVENTF_LEFTDOWN);
  MoveMouse(win.left + 30, y);
  Sleep(700);
  Mouse(MOUSEEVENTF_LEFTUP);
  GetWindowRect(tree, &t);
  Check(t.right - t.left == afterDrag, "a drag to 30 pixels from the window's left edge is refused");
  grab(t.right + 1);
  Mouse(MOUSEEVENTF_LEFTDOWN);
  MoveMouse(win.right - 60, y);
  Sleep(700);
  Mouse(MOUSEEVENTF_LEFTUP);
  GetWindowRect(tree, &t);
  Check(t.right - t.left == afterDrag, "a drag to 60 pixels from the right edge is refused");
  // Esc during a drag puts the splitter back.
  grab(t.right + 1);
  Mouse(MOUSEEVENTF_LEFTDOWN);
  MoveMouse(t.right + 41, y);
  WaitFor([&] { return width() > afterDrag; }, 15000);
  RECT moved;
  GetWindowRect(tree, &moved);
  PressKeys({VK_ESCAPE});
  WaitFor([&] { return width() == afterDrag; }, 15000);
  Mouse(MOUSEEVENTF_LEFTUP);
  GetWindowRect(tree, &t);
  Check(moved.right - moved.left > afterDrag && t.right - t.left == afterDrag,
        "Esc during a drag puts the splitter back where the drag started (" + std::to_string(afterDrag) + " -> " +
            std::to_string(moved.right - moved.left) + " -> " + std::to_string(t.right - t.left) + ")");
  Shot(L"two-pane-splitter-moved");

  // Tab in the tree moves to the list, whose row 0 takes the focus mark.
  RECT r = TreeItemRect(tree, folder);
  Check(ClickUntil((r.left + r.right) / 2, (r.top + r.bottom) / 2, false, [&] { return FocusOf(w) == tree; }),
        "a click puts the focus in the tree");
  PressKeys({VK_TAB});
  Check(WaitFor([&] { return FocusOf(w) == list; }, 2000), "Tab in the tree moves the focus to the file list");
  Check(SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED) == 0,
        "row 0 takes the focus mark when no row is selected");
  PressKeys({VK_TAB});
  Check(WaitFor([&] { return FocusOf(w) == tree; }, 2000), "Tab in the file list moves the focus to the tree");

  // Status part 0 back to string 293: 40001 answered yes, nothing connected.
  auto resetStatus = [&](bool shoot) {
    PostMessageW(w, WM_COMMAND, CMD_REFRESH_ALL, 0);
    HWND ask = WaitForDialog(pid, 5000);
    Check(ask && WindowText(ask) == LibraryText(IDS_REFRESH_ALL_CAPTION) &&
              MessageBoxText(ask) == LibraryText(IDS_REFRESH_ALL_TEXT),
          "40001 asks yes or no (caption 24, text 26)");
    if (ask && shoot) Shot(L"refresh-all-question");
    if (ask) PressButton(ask, IDYES);
    return WaitFor([&] { return StatusText(status, 0) == LibraryText(293); }, 3000);
  };
  auto statusIs = [&](UINT id) { return WaitFor([&] { return StatusText(status, 0) == LibraryText(id); }, 2000); };
  // A menu item chosen by its mnemonic; a greyed one does nothing.
  auto choose = [&](HWND popup, WORD key) {
    PressKeys({key});
    Sleep(400);
    if (IsWindow(popup) && IsWindowVisible(popup)) CloseMenus(w);
    WaitFor([&] { return TopLevel(L"#32768", pid, true).empty(); }, 2000);
  };

  // List context menu: none without a selection; item 2 only for one row.
  Check(resetStatus(true), "40001 answered yes with no connected machine: status part 0 reads string 293");
  RECT row0 = ListRowRect(list, 0);
  SetRowStates(list, -1, 0, LVIS_SELECTED);
  RECT lr;
  GetWindowRect(list, &lr);
  RightClick(lr.left + 40, lr.bottom - 20);
  Check(OpenPopup(pid) == nullptr, "no rows selected: a right click in the list opens no menu");
  CloseMenus(w);
  RightClick(row0.left + 30, (row0.top + row0.bottom) / 2);
  HWND popup = OpenPopup(pid);
  if (!popup) {  // a click lost on a busy machine: once more
    RightClick(row0.left + 30, (row0.top + row0.bottom) / 2);
    popup = OpenPopup(pid);
  }
  Check(popup != nullptr, "a right click on a row opens the list's menu");
  if (popup) {
    Shot(L"context-menu-list");
    choose(popup, 'N');
    Check(statusIs(294), "one row selected: item 2 (same name, 40035) is enabled and acts (status 294)");
  }
  resetStatus(false);
  SetRowStates(list, -1, LVIS_SELECTED, LVIS_SELECTED);
  PostMessageW(w, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(list), -1);
  popup = OpenPopup(pid);
  Check(popup != nullptr, "from the keyboard (the menu key) the list's menu opens");
  Text sel = FormatLibraryText(ToText(LibraryText(291)), {static_cast<int64_t>(3)});
  Check(StatusText(status, 1) == std::wstring(sel.begin(), sel.end()), "the menu refreshed the summary: 3 selected");
  if (popup) {
    RECT pr;
    GetWindowRect(popup, &pr);
    Check(pr.left >= lr.left + 10 && pr.top >= lr.top + 10, "from the keyboard the menu opens inside the list");
    Shot(L"context-menu-list-three");
    choose(popup, 'N');
    Check(!statusIs(294), "three rows selected: item 2 is greyed and does nothing");
  }

  // Two-pane commands with no service behind them.
  PostMessageW(w, WM_COMMAND, CMD_CONNECT, 0);
  Check(statusIs(294), "40002: status part 0 reads string 294");
  resetStatus(false);
  SetRowStates(list, -1, 0, LVIS_SELECTED);
  SetRowStates(list, 0, LVIS_SELECTED, LVIS_SELECTED);
  PostMessageW(w, WM_COMMAND, CMD_FILTER_EXTENSION, 0);
  Check(statusIs(294), "40033 posts 40002 (status 294)");
  SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(folder));
  PostMessageW(w, WM_COMMAND, CMD_COLLAPSE_TREE, 0);
  Sleep(300);
  Check(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 3, "40047 on a folder (not a child of the root) does nothing");

  // Tree context menu, by right click on each level: item 2 (search this
  // folder, 40034) acts only below a volume, item 3 (collapse, 40047) only
  // on a volume.
  struct TreeCase {
    HTREEITEM item;
    const char* what;
    bool searchEnabled;
  };
  const TreeCase cases[] = {{root, "the root", false}, {volume, "a volume", false}, {folder, "a folder", true}};
  for (const auto& c : cases) {
    resetStatus(false);
    RECT ir = TreeItemRect(tree, c.item);
    for (int attempt = 0; attempt < 3; ++attempt) {
      bool shown = ClickUntil((ir.left + ir.right) / 2, (ir.top + ir.bottom) / 2, true,
                              [&] { return !TopLevel(L"#32768", pid, true).empty(); });
      if (shown && reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0)) == c.item) break;
      CloseMenus(w);  // a click that landed before the pointer arrived
      WaitFor([&] { return TopLevel(L"#32768", pid, true).empty(); }, 2000);
    }
    popup = OpenPopup(pid);
    Check(popup != nullptr, std::string("a right click on ") + c.what + " opens the tree's menu");
    Check(reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0)) == c.item,
          std::string("the right click selected ") + c.what);
    if (!popup) continue;
    if (c.item == folder) Shot(L"context-menu-tree");
    choose(popup, 'T');
    Check(statusIs(294) == c.searchEnabled,
          std::string("on ") + c.what + ": item 2 is " + (c.searchEnabled ? "enabled" : "greyed"));
  }
  for (HTREEITEM item : {root, folder}) {
    RECT ir = TreeItemRect(tree, item);
    RightClick((ir.left + ir.right) / 2, (ir.top + ir.bottom) / 2);
    popup = OpenPopup(pid);
    if (popup) choose(popup, 'C');
    Check(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 3, "item 3 (collapse) is greyed on the root and on a folder");
  }
  RECT vr = TreeItemRect(tree, volume);
  RightClick((vr.left + vr.right) / 2, (vr.top + vr.bottom) / 2);
  popup = OpenPopup(pid);
  if (popup) choose(popup, 'C');
  Check(WaitFor([&] { return SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 0; }, 3000) &&
            SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0) == 0,
        "item 3 on a volume collapses: the list empties and the tree's selection is cleared");
  PostMessageW(w, WM_COMMAND, CMD_LIST_FOLDER, 0);
  Check(WaitFor([&] { return reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0)) == root; }, 3000),
        "40006 with nothing selected selects the tree's root");
  PostMessageW(w, WM_COMMAND, CMD_START_SEARCH, 0);
  HWND refusal = WaitForDialog(pid, 5000);
  Check(refusal && MessageBoxText(refusal) == LibraryText(IDS_NOT_ADMINISTRATOR), "40003 again: the refusal, string 137");
  if (refusal) PressButton(refusal, IDOK);
  g_inputProcess = nullptr;
  CloseAndExit(*p, w, "two-pane view");
}

// ---- The search bar's Browse and help buttons -------------------------------------------

void CheckSearchBarButtons() {
  std::printf("-- search bar: Browse and help buttons\n");
  auto p = Launch(Quorvex());
  HWND w = WaitForMainWindow(p->pi.dwProcessId, LibraryText(IDS_SEARCH_TITLE));
  if (!w) return Check(false, "window");
  DWORD pid = p->pi.dwProcessId;
  HWND bar = ChildOfClass(w, L"#32770");
  if (!bar) return Check(false, "search bar");

  PressButton(bar, IDC_SB_BROWSE);
  HWND browser = WaitForDialog(pid, 10000);
  Check(browser != nullptr, "Browse opens the folder browser");
  if (browser) {
    bool titled = false;
    for (HWND c = GetWindow(browser, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
      if (WindowText(c) == LibraryText(303)) titled = true;
    Check(titled, "the browser shows string 303");
    PressButton(bar, IDC_SB_BROWSE);
    Sleep(500);
    Check(TopLevel(L"#32770", pid, true).size() == 1, "a second Browse while one is open opens no other");
    const wchar_t folder[] = L"C:\\windows";
    RemoteBuffer path(browser, sizeof folder);
    path.Write(folder, sizeof folder);
    SendMessageW(browser, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(path.Address()));
    Sleep(500);
    Shot(L"browse-folder");
    PressButton(browser, IDOK);
    HWND combo = GetDlgItem(bar, IDC_SB_FOLDER);
    Check(WaitFor([&] { return _wcsicmp(WindowText(combo).c_str(), folder) == 0; }, 5000),
          "the chosen folder goes into the folder box (" + Narrow(WindowText(combo)) + ")");
    auto items = ComboItems(combo);
    Check(!items.empty() && _wcsicmp(items.front().c_str(), folder) == 0, "and to the top of its list");
    // Cancelling changes nothing.
    PressButton(bar, IDC_SB_BROWSE);
    HWND again = WaitForDialog(pid, 10000);
    if (again) PressButton(again, IDCANCEL);
    Sleep(500);
    Check(ComboItems(combo).size() == items.size(), "a cancelled Browse changes nothing");
  }

  // The help buttons ask the legacy help engine for topics 104 and 105 of
  // no file; whatever the system makes of that, the bar stays usable.
  for (int id : {IDC_SB_HELP_PATTERN, IDC_SB_HELP_FOLDER}) {
    PressButton(bar, id);
    Sleep(1500);
    for (HWND d : TopLevel(L"#32770", pid, true)) PostMessageW(d, WM_COMMAND, IDOK, 0);
    Sleep(300);
    Check(SendMessageTimeoutW(bar, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 3000, nullptr) != 0 &&
              IsWindowEnabled(GetDlgItem(bar, IDC_SB_SEARCH)),
          "help button " + std::to_string(id) + " leaves the search bar working");
  }
  CloseAndExit(*p, w, "Browse and help");
}

// ---- Search panel and destination dialogs ------------------------------------------------

constexpr wchar_t kTestVolumes[] =
    L"D|Volume{11111111-2222-3333-4444-555555555555}\\|D:;-|Volume{aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee}\\|\\Device\\HarddiskVolume3";

std::wstring RequestLog() { return g_build + L"\\window-requests.txt"; }

// Starts the test build without administrator rights, with three rows, a
// machine volume list and the service requests written to a file.
HWND LaunchWithService(std::unique_ptr<Program>& p, const wchar_t* level = nullptr) {
  DeleteFileW(RequestLog().c_str());
  SetEnvironmentVariableW(L"QUORVEX_TEST_VOLUMES", kTestVolumes);
  SetEnvironmentVariableW(L"QUORVEX_TEST_REQUEST_LOG", RequestLog().c_str());
  SetEnvironmentVariableW(L"QUORVEX_TEST_SERVICE_LEVEL", level);
  HWND w = LaunchTwoPane(p, 3);
  for (const wchar_t* v : {L"QUORVEX_TEST_VOLUMES", L"QUORVEX_TEST_REQUEST_LOG", L"QUORVEX_TEST_SERVICE_LEVEL"})
    SetEnvironmentVariableW(v, nullptr);
  return w;
}

// The bytes of the requests with that code, in order.
std::vector<std::vector<uint8_t>> LoggedRequests(unsigned code) {
  std::vector<std::vector<uint8_t>> out;
  FILE* f = _wfopen(RequestLog().c_str(), L"r");
  if (!f) return out;
  char line[8192];
  while (fgets(line, sizeof line, f)) {
    unsigned c = 0;
    char hex[8192] = {};
    if (sscanf(line, "%u %8191s", &c, hex) < 1 || c != code) continue;
    std::vector<uint8_t> bytes;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2) {
      unsigned b = 0;
      sscanf(hex + i, "%2x", &b);
      bytes.push_back(static_cast<uint8_t>(b));
    }
    out.push_back(bytes);
  }
  fclose(f);
  return out;
}

HWND PanelOf(HWND w) {
  for (HWND c = GetWindow(w, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
    if (ClassOf(c) == L"#32770" && GetDlgItem(c, IDC_SP_TABS)) return c;
  return nullptr;
}

HWND PageWith(HWND panel, int control) {
  for (HWND c = GetWindow(panel, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
    if (ClassOf(c) == L"#32770" && GetDlgItem(c, control)) return c;
  return nullptr;
}

void SetText(HWND dialog, int id, const std::wstring& text) {
  HWND c = GetDlgItem(dialog, id);
  SendMessageW(c, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

bool IsChecked(HWND dialog, int id) { return SendDlgItemMessageW(dialog, id, BM_GETCHECK, 0, 0) == BST_CHECKED; }
bool Enabled(HWND dialog, int id) { return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE; }
void Click(HWND dialog, int id) { SendDlgItemMessageW(dialog, id, BM_CLICK, 0, 0); }

// A tab chosen with the mouse, as a user would.
bool ChooseTab(HWND panel, int index, HWND page) {
  HWND tabs = GetDlgItem(panel, IDC_SP_TABS);
  for (int attempt = 0; attempt < 3 && !IsWindowVisible(page); ++attempt) {
    RemoteBuffer buffer(tabs, sizeof(RECT));
    SendMessageW(tabs, TCM_GETITEMRECT, index, reinterpret_cast<LPARAM>(buffer.Address()));
    RECT r{};
    buffer.Read(&r, sizeof r);
    MapWindowPoints(tabs, nullptr, reinterpret_cast<POINT*>(&r), 2);
    MoveMouse((r.left + r.right) / 2, (r.top + r.bottom) / 2);
    Mouse(MOUSEEVENTF_LEFTDOWN);
    Mouse(MOUSEEVENTF_LEFTUP);
    WaitFor([&] { return IsWindowVisible(page) != FALSE; }, 1500);
  }
  return IsWindowVisible(page) != FALSE;
}

void SetPicker(HWND page, int id, WORD year, WORD month, WORD day) {
  HWND picker = GetDlgItem(page, id);
  SYSTEMTIME st{year, month, 0, day, 12, 0, 0, 0};
  RemoteBuffer buffer(picker, sizeof st);
  buffer.Write(&st, sizeof st);
  SendMessageW(picker, DTM_SETSYSTEMTIME, GDT_VALID, reinterpret_cast<LPARAM>(buffer.Address()));
}

uint64_t Filetime(WORD year, WORD month, WORD day, WORD h, WORD m, WORD s, WORD ms) {
  SYSTEMTIME st{year, month, 0, day, h, m, s, ms};
  FILETIME ft{};
  SystemTimeToFileTime(&st, &ft);
  return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

std::string Hex(const std::vector<uint8_t>& b) {
  std::string s;
  char x[3];
  for (uint8_t c : b) {
    snprintf(x, sizeof x, "%02x", c);
    s += x;
  }
  return s;
}

void CheckSearchPanel() {
  std::printf("-- search panel (40039)\n");
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tarvelle\\Retriva\\PgBin");
  std::unique_ptr<Program> p;
  HWND w = LaunchWithService(p);
  if (!w) return Check(false, "the two-pane window");
  DWORD pid = p->pi.dwProcessId;
  g_inputProcess = p->pi.hProcess;
  HWND list = ChildOfClass(w, WC_LISTVIEWW);
  HWND status = ChildOfClass(w, STATUSCLASSNAMEW);
  PostMessageW(w, WM_COMMAND, CMD_SEARCH_PANEL, 0);
  HWND panel = nullptr;
  Check(WaitFor([&] { return (panel = PanelOf(w)) != nullptr; }, 5000), "40039 opens the search panel");
  if (!panel) return;
  Check(WindowText(w) == TwoPaneTitle(), "the title is string 123 with the product title and computer");
  HWND name = PageWith(panel, IDC_PN_PATTERN), date = PageWith(panel, IDC_PD_ON), owner = PageWith(panel, IDC_PO_OWNER);
  Check(name && date && owner, "three pages: name and folder, date, owner and deleter");
  if (!name || !date || !owner) return;
  RECT pr, lr;
  GetWindowRect(panel, &pr);
  GetWindowRect(list, &lr);
  Check(lr.top >= pr.bottom && lr.left == pr.left, "the panel sits above the file list in the right pane");
  Check(IsChecked(name, IDC_PN_SUBFOLDERS), "include subfolders starts checked");
  Check(FocusOf(w) == GetDlgItem(name, IDC_PN_PATTERN) || IsChild(GetDlgItem(name, IDC_PN_PATTERN), FocusOf(w)),
        "the name pattern has the focus");
  Check(!Enabled(panel, IDC_SP_STOP) && Enabled(panel, IDC_SP_SEARCH), "Search enabled, Stop disabled");
  PostMessageW(w, WM_COMMAND, CMD_SEARCH_PANEL, 0);
  Sleep(300);
  int panels = 0;
  for (HWND c = GetWindow(w, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) panels += PanelOf(w) == c;
  Check(panels == 1, "40039 again opens no second panel");
  SetText(name, IDC_PN_PATTERN, L"*.doc");
  SetText(name, IDC_PN_FOLDER, L"D:\\Docs");
  Shot(L"panel-name-page");

  // Name, folder (converted to the path inside its volume) and subfolders.
  Click(panel, IDC_SP_SEARCH);
  Check(WaitFor([&] { return LoggedRequests(532).size() == 1; }, 5000), "Search sends service request 532");
  SearchCriteria want;
  want.nameFlags = kNameGiven | kFolderGiven | kSubfolders;
  want.pattern = u"*.doc";
  want.folder = u"\\Docs\\";
  auto sent = LoggedRequests(532);
  Check(!sent.empty() && sent.back() == BuildCriteriaBlock(want),
        "the criteria block: pattern *.doc, folder \\Docs\\, subfolders (" + (sent.empty() ? "" : Hex(sent.back())) + ")");
  Check(StatusText(status, 0) == LibraryText(296) && SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 0,
        "the list is emptied and status part 0 reads string 296");
  Check(!Enabled(panel, IDC_SP_SEARCH) && Enabled(panel, IDC_SP_STOP), "while it runs: Search disabled, Stop enabled");
  Click(panel, IDC_SP_SEARCH);
  Click(panel, IDC_SP_STOP);
  Check(Enabled(panel, IDC_SP_SEARCH), "Stop enables Search again");

  // "*.*" names no pattern, "*" no folder.
  SetText(name, IDC_PN_PATTERN, L"*.*");
  SetText(name, IDC_PN_FOLDER, L"*");
  Click(name, IDC_PN_SUBFOLDERS);
  Click(panel, IDC_SP_SEARCH);
  WaitFor([&] { return LoggedRequests(532).size() == 2; }, 5000);
  sent = LoggedRequests(532);
  Check(sent.size() == 2 && sent.back() == BuildCriteriaBlock(SearchCriteria{}), "*.* and * give an empty 48-byte block");
  Click(panel, IDC_SP_STOP);
  Click(name, IDC_PN_SUBFOLDERS);

  // A folder on no volume of the machine: warning 316/317, nothing sent.
  SetText(name, IDC_PN_FOLDER, L"Q:\\Elsewhere");
  PressButton(panel, IDC_SP_SEARCH);  // posted: the box it opens is modal
  HWND box = WaitForDialog(pid, 5000);
  Check(box && WindowText(box) == LibraryText(316) && MessageBoxText(box) == LibraryText(317),
        "a folder on an unknown volume: warning box, caption 316, text 317");
  if (box) {
    Shot(L"panel-unknown-volume");
    PressButton(box, IDOK);
  }
  Sleep(300);
  Check(LoggedRequests(532).size() == 2 && Enabled(panel, IDC_SP_SEARCH), "and no request is sent");
  SetText(name, IDC_PN_FOLDER, L"");

  // Date page: a range given later date first.
  Check(ChooseTab(panel, 1, date), "a click on the second tab shows the date page");
  Check(Enabled(date, IDC_PD_ON) && !IsChecked(date, IDC_PD_ON) && !Enabled(date, IDC_PD_FROM) &&
            !Enabled(date, IDC_PD_KIND) && IsChecked(date, IDC_PD_BETWEEN),
        "date filter off: its controls greyed, between-dates chosen");
  Click(date, IDC_PD_ON);
  Check(Enabled(date, IDC_PD_FROM) && Enabled(date, IDC_PD_TO) && !Enabled(date, IDC_PD_DAYS) && Enabled(date, IDC_PD_KIND),
        "filter on with between-dates: the pickers enabled, the day count greyed");
  SetPicker(date, IDC_PD_FROM, 2024, 3, 20);
  SetPicker(date, IDC_PD_TO, 2024, 3, 15);
  Shot(L"panel-date-page");
  Click(panel, IDC_SP_SEARCH);
  WaitFor([&] { return LoggedRequests(532).size() == 3; }, 5000);
  SearchCriteria dated;
  dated.nameFlags = kSubfolders;
  dated.dateFlags = kDateOn | kDateRange;
  dated.firstTime = Filetime(2024, 3, 15, 0, 0, 0, 0);
  dated.secondTime = Filetime(2024, 3, 20, 23, 59, 59, 999);
  sent = LoggedRequests(532);
  Check(sent.size() == 3 && sent.back() == BuildCriteriaBlock(dated),
        "the later date in the first picker: 15 March 00:00:00.000 to 20 March 23:59:59.999");
  Click(panel, IDC_SP_STOP);
  // Within the last day, dates modified (the kind's second entry).
  Click(date, IDC_PD_LAST_DAYS);
  Check(Enabled(date, IDC_PD_DAYS) && !Enabled(date, IDC_PD_FROM), "the last-N-days form: the day count enabled");
  SendDlgItemMessageW(date, IDC_PD_KIND, CB_SETCURSEL, 1, 0);
  SetText(date, IDC_PD_DAYS, L"1");
  SYSTEMTIME now;
  GetLocalTime(&now);
  Click(panel, IDC_SP_SEARCH);
  WaitFor([&] { return LoggedRequests(532).size() == 4; }, 5000);
  uint64_t nowFt = Filetime(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, 0);
  dated.dateFlags = kDateOn | kDateKindBit;
  dated.firstTime = LastDaysStart(nowFt, 1);
  dated.secondTime = 0;
  sent = LoggedRequests(532);
  Check(sent.size() == 4 && sent.back() == BuildCriteriaBlock(dated), "last 1 day: from yesterday at 00:00:00.000");
  Click(panel, IDC_SP_STOP);
  Click(date, IDC_PD_ON);

  // Owner and deleter page.
  Check(ChooseTab(panel, 2, owner), "a click on the third tab shows the owner page");
  Check(Enabled(owner, IDC_PO_OWNER_ON) && !Enabled(owner, IDC_PO_OWNER), "owner box enabled, its combo greyed until checked");
  Click(owner, IDC_PO_OWNER_ON);
  Check(Enabled(owner, IDC_PO_OWNER), "checking the owner box enables its combo");
  SetText(owner, IDC_PO_OWNER, L"ann");
  Shot(L"panel-owner-page");
  Click(panel, IDC_SP_SEARCH);
  WaitFor([&] { return LoggedRequests(532).size() == 5; }, 5000);
  SearchCriteria owned;
  owned.nameFlags = kSubfolders;
  owned.ownerFlags = kOwnerGiven;
  owned.owner = u"ann";
  sent = LoggedRequests(532);
  Check(sent.size() == 5 && sent.back() == BuildCriteriaBlock(owned), "owner ann: owner flag and string");
  Click(panel, IDC_SP_STOP);

  // In the list, Tab goes to the tree and Shift+Tab to the panel's Close
  // button, which becomes the default.
  RECT lr2;
  GetWindowRect(list, &lr2);
  Check(ClickUntil(lr2.left + 60, lr2.bottom - 30, false, [&] { return FocusOf(w) == list; }), "a click focuses the list");
  PressKeys({VK_SHIFT, VK_TAB});
  Check(WaitFor([&] { return FocusOf(w) == GetDlgItem(panel, IDC_SP_CLOSE); }, 2000) &&
            LOWORD(SendMessageW(panel, DM_GETDEFID, 0, 0)) == IDC_SP_CLOSE,
        "Shift+Tab in the list focuses the panel's Close button and makes it the default");
  ClickUntil(lr2.left + 60, lr2.bottom - 30, false, [&] { return FocusOf(w) == list; });
  PressKeys({VK_TAB});
  Check(WaitFor([&] { return FocusOf(w) == ChildOfClass(w, WC_TREEVIEWW); }, 2000), "Tab in the list focuses the shown tree");
  Click(panel, IDC_SP_CLOSE);
  Check(WaitFor([&] { return PanelOf(w) == nullptr; }, 3000), "Close removes the panel");
  Check(WindowText(w) == TwoPaneTitle(), "and the title is string 123 again");
  const wchar_t* search = reinterpret_cast<const wchar_t*>(kSearchListsKey);
  Check(RegString(search, L"SearchString0") == L"*.*" && RegString(search, L"SearchString1") == L"*.doc" &&
            RegString(search, L"Owner0") == L"ann" && RegDword(search, L"NumSearchPath") >= 2,
        "closing saved the pages' recent lists");
  g_inputProcess = nullptr;
  CloseAndExit(*p, w, "search panel");

  // A new run offers them again; a service of level 2 gets the short form
  // and no date or owner filters.
  w = LaunchWithService(p, L"2");
  if (!w) return;
  PostMessageW(w, WM_COMMAND, CMD_SEARCH_PANEL, 0);
  WaitFor([&] { return (panel = PanelOf(w)) != nullptr; }, 5000);
  if (!panel) return Check(false, "the panel again");
  name = PageWith(panel, IDC_PN_PATTERN), date = PageWith(panel, IDC_PD_ON), owner = PageWith(panel, IDC_PO_OWNER);
  // The pages fill their lists from the registry once they are made, which
  // may be after the panel shows: typing before that would be overwritten.
  std::vector<std::wstring> patterns;
  WaitFor([&] { return (patterns = ComboItems(GetDlgItem(name, IDC_PN_PATTERN))).size() >= 2; }, 15000);
  Check(patterns.size() == 2 && patterns[0] == L"*.*" && patterns[1] == L"*.doc",
        "after a restart the pattern list holds *.*, *.doc");
  Check(!Enabled(date, IDC_PD_ON) && !Enabled(owner, IDC_PO_OWNER_ON) && !Enabled(owner, IDC_PO_DELETER_ON),
        "service level 2: the date and owner filters are greyed");
  SetText(name, IDC_PN_PATTERN, L"a*");
  SetText(name, IDC_PN_FOLDER, L"d:\\");
  Click(panel, IDC_SP_SEARCH);
  WaitFor([&] { return LoggedRequests(532).size() == 1; }, 15000);
  SearchCriteria shortForm;
  shortForm.nameFlags = kNameGiven | kFolderGiven | kSubfolders;
  shortForm.pattern = u"a*";
  shortForm.folder = u"\\";
  sent = LoggedRequests(532);
  Check(sent.size() == 1 && sent.back() == BuildShortCriteria(shortForm),
        "service level 2: the short form, subfolders 1, a*, \\ (" + (sent.empty() ? "" : Hex(sent.back())) + ")");
  CloseAndExit(*p, w, "search panel, level 2");
}

HWND WaitForCaption(DWORD pid, const std::wstring& caption) {
  HWND found = nullptr;
  WaitFor(
      [&] {
        for (HWND d : TopLevel(L"#32770", pid, true))
          if (WindowText(d) == caption) return (found = d) != nullptr;
        return false;
      },
      5000);
  return found;
}

std::wstring Reason(rv::DestinationRefusal r) {
  std::string t = rv::DestinationRefusalText(r);
  return std::wstring(t.begin(), t.end());
}

void CheckDestinationDialogs() {
  std::printf("-- destination and alternate-location dialogs\n");
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tarvelle\\Retriva\\PgBin");
  std::unique_ptr<Program> p;
  HWND w = LaunchWithService(p);
  if (!w) return Check(false, "the two-pane window");
  DWORD pid = p->pi.dwProcessId;
  HWND list = ChildOfClass(w, WC_LISTVIEWW);
  // Undelete is greyed without a selection, and so is its key: Ctrl+U with
  // no row selected does nothing. (Wine does not read another process's
  // menu; the screenshots show the greying.)
  auto pressCtrlU = [&] {
    SetForegroundWindow(w);
    Sleep(300);
    PressKeys({VK_CONTROL, 'U'});
  };
  SetRowStates(list, -1, 0, LVIS_SELECTED);
  pressCtrlU();
  Check(WaitForCaption(pid, L"Recovery Destination") == nullptr, "no row selected: Ctrl+U opens no destination dialog");
  SetRowStates(list, 0, LVIS_SELECTED, LVIS_SELECTED);
  PostMessageW(w, WM_COMMAND, CMD_UNDELETE, 0);
  HWND dest = WaitForCaption(pid, L"Recovery Destination");
  Check(dest != nullptr, "40009 with a row selected and the machine's volumes known opens the destination dialog 400");
  if (!dest) return;
  Check(WindowText(GetDlgItem(dest, IDC_DS_STATUS)) == LibraryText(414), "its status reads string 414");
  Shot(L"destination-dialog");
  PostMessageW(dest, WM_COMMAND, MAKEWPARAM(IDC_DS_ALTERNATE, BN_CLICKED), 0);
  HWND alt = WaitForCaption(pid, L"Alternate Location");
  Check(alt != nullptr, "Alternate Location opens dialog 345");
  if (!alt) return;
  auto volumes = ComboItems(GetDlgItem(alt, IDC_AL_VOLUME));
  Check(volumes == std::vector<std::wstring>{L"D:", L"\\Device\\HarddiskVolume3"}, "the volume list shows the display paths");
  Check(!Enabled(alt, IDC_AL_NEW_FOLDER), "Create is greyed");
  Shot(L"alternate-location");

  struct Refusal {
    const wchar_t* typed;
    UINT text;
    const wchar_t* shot;
  };
  const Refusal refusals[] = {{L"D:\\Recycled\\x", 315, L"refused-recycled"},
                              {L"d:\\$Recycle.Bin", 315, L"refused-recycle-bin"},
                              {L"D:\\RECYCLER\\S-1-5", 315, nullptr},
                              {L"\\Device\\HarddiskVolume3\\RecoveryBin", 315, nullptr},
                              {L"Q:\\Out", 313, L"refused-no-volume"}};
  for (const auto& r : refusals) {
    SetText(alt, IDC_AL_PATH, r.typed);
    PostMessageW(alt, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    // A message box of that caption (dialog 400 has the same one).
    HWND box = nullptr;
    WaitFor(
        [&] {
          for (HWND d : TopLevel(L"#32770", pid, true))
            if (d != dest && WindowText(d) == LibraryText(312) && GetDlgItem(d, 0xFFFF)) return (box = d) != nullptr;
          return false;
        },
        5000);
    Check(box && MessageBoxText(box) == LibraryText(r.text),
          Narrow(r.typed) + " is refused with string " + std::to_string(r.text));
    if (box) {
      if (r.shot) Shot(r.shot);
      PressButton(box, IDOK);
      WaitFor([&] { return !IsWindow(box); }, 3000);
    }
    Check(IsWindow(alt), "and the dialog stays open");
  }
  Check(LibraryText(313) == Reason(rv::DestinationRefusal::NoVolume) &&
            LibraryText(315) == Reason(rv::DestinationRefusal::RecycleFolder),
        "strings 313 and 315 are the command line's reasons word for word");
  SetText(alt, IDC_AL_PATH, L"D:\\Data\\x");
  PostMessageW(alt, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  Check(WaitFor([&] { return !IsWindow(alt); }, 5000), "D:\\Data\\x is accepted and the dialog closes");
  std::wstring status = WindowText(GetDlgItem(dest, IDC_DS_STATUS));
  Check(status == LibraryText(415) + L"\n" + L"D:\\Data\\x\\", "the status reads string 415 and the path (" + Narrow(status) + ")");
  const wchar_t* recover = reinterpret_cast<const wchar_t*>(kRecoverListsKey);
  Check(RegString(recover, L"RecoverPath0") == L"D:\\Data\\x" && RegDword(recover, L"NumRecoverPath") == 1,
        "the destination is remembered as RecoverPath0");
  Shot(L"destination-chosen");
  // The same path again leaves one entry.
  PostMessageW(dest, WM_COMMAND, MAKEWPARAM(IDC_DS_ALTERNATE, BN_CLICKED), 0);
  alt = WaitForCaption(pid, L"Alternate Location");
  if (alt) {
    Check(WindowText(GetDlgItem(alt, IDC_AL_PATH)) == L"D:\\Data\\x", "reopened, it offers the last destination");
    PostMessageW(alt, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    WaitFor([&] { return !IsWindow(alt); }, 5000);
    Check(RegDword(recover, L"NumRecoverPath") == 1, "accepting the same path twice leaves one entry");
    // Cancel: the destination is emptied and the status goes back.
    PostMessageW(dest, WM_COMMAND, MAKEWPARAM(IDC_DS_ALTERNATE, BN_CLICKED), 0);
    alt = WaitForCaption(pid, L"Alternate Location");
    if (alt) PostMessageW(alt, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    WaitFor([&] { return !alt || !IsWindow(alt); }, 5000);
    Check(WindowText(GetDlgItem(dest, IDC_DS_STATUS)) == LibraryText(414), "a cancelled alternate location: string 414 again");
  }
  PostMessageW(dest, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  Check(WaitFor([&] { return !IsWindow(dest); }, 5000), "OK closes the destination dialog");

  // Chosen again and accepted: the machine's destination, in the "\\?\"
  // volume form, goes with the rows to the recovery service.
  PostMessageW(w, WM_COMMAND, CMD_UNDELETE_TO, 0);
  dest = WaitForCaption(pid, L"Recovery Destination");
  if (dest) PostMessageW(dest, WM_COMMAND, MAKEWPARAM(IDC_DS_ALTERNATE, BN_CLICKED), 0);
  alt = dest ? WaitForCaption(pid, L"Alternate Location") : nullptr;
  if (alt) {
    PostMessageW(alt, WM_COMMAND, MAKEWPARAM(IDC_AL_HELP, BN_CLICKED), 0);
    HWND help = nullptr;
    Check(WaitFor([&] { return (help = HelpWindow(pid)) != nullptr; }, 20000), "Help (9) opens the help file");
    if (help) {
      PostMessageW(help, WM_CLOSE, 0, 0);
      WaitFor([&] { return !IsWindow(help); }, 5000);
    }
    SetText(alt, IDC_AL_PATH, L"D:\\Data\\x");
    PostMessageW(alt, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    WaitFor([&] { return !IsWindow(alt); }, 5000);
  }
  if (dest) PostMessageW(dest, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  std::u16string want = u"\\\\?\\Volume{11111111-2222-3333-4444-555555555555}\\Data\\x\\";
  std::vector<uint8_t> bytes;
  for (char16_t c : want) {
    bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  Check(WaitFor([&] {
          auto sent = LoggedRequests(773);
          return !sent.empty() && sent.back() == bytes;
        }, 5000),
        "the undelete request names the destination in its \\\\?\\Volume{...} form");
  CloseAndExit(*p, w, "destination dialogs");
}

uint64_t Digits(const std::wstring& t) {
  uint64_t v = 0;
  for (wchar_t c : t)
    if (c >= L'0' && c <= L'9') v = v * 10 + (c - L'0');
  return v;
}

// Minutes of "MM/DD/YYYY HH:MM" (the prefix's locale orders dates so).
long long Minutes(const std::wstring& t) {
  int mo = 0, d = 0, y = 0, h = 0, mi = 0;
  swscanf(t.c_str(), L"%d/%d/%d %d:%d", &mo, &d, &y, &h, &mi);
  return ((((y * 13LL + mo) * 32 + d) * 24 + h) * 60) + mi;
}

// -1, 0, 1 for a before, equal to, after b in the column's own order.
// The search results' condition column: "100% Whole", "28% Partly overwritten".
constexpr int kConditionColumn = 6;

int ConditionShare(const std::wstring& text) {
  size_t percent = text.find(L'%');
  return percent == std::wstring::npos ? -1 : _wtoi(text.substr(0, percent).c_str());
}

int CompareCells(int column, const std::wstring& a, const std::wstring& b) {
  auto sign = [](auto x, auto y) { return x < y ? -1 : x > y ? 1 : 0; };
  switch (column) {
    case 1: return sign(Digits(a), Digits(b));
    case 2: return sign(Minutes(a), Minutes(b));
    case 4:
    case 5: return sign(_wtoi(a.c_str()), _wtoi(b.c_str()));
    case kConditionColumn: return sign(ConditionShare(a), ConditionShare(b));
    default: {
      int c = lstrcmpW(a.c_str(), b.c_str());
      return sign(c, 0);
    }
  }
}

bool Ordered(const std::vector<Row>& rows, int column, bool descending) {
  for (size_t i = 1; i < rows.size(); ++i) {
    int c = CompareCells(column, rows[i - 1][column], rows[i][column]);
    if (descending ? c < 0 : c > 0) return false;
  }
  return true;
}

HWND WaitForTitled(DWORD pid, const std::wstring& title, DWORD timeoutMs) {
  HWND found = nullptr;
  WaitFor(
      [&] {
        for (HWND d : TopLevel(L"#32770", pid, true))
          if (WindowText(d) == title) return (found = d) != nullptr;
        return false;
      },
      timeoutMs);
  return found;
}

std::vector<std::wstring> ListBoxLines(HWND box) {
  std::vector<std::wstring> lines;
  int n = static_cast<int>(SendMessageW(box, LB_GETCOUNT, 0, 0));
  for (int i = 0; i < n; ++i) {
    int length = static_cast<int>(SendMessageW(box, LB_GETTEXTLEN, i, 0));
    // LB_GETTEXT, a system message, is carried across processes.
    std::wstring line(static_cast<size_t>(std::max(length, 0)) + 1, L'\0');
    SendMessageW(box, LB_GETTEXT, i, reinterpret_cast<LPARAM>(line.data()));
    line.resize(wcslen(line.c_str()));
    lines.push_back(line);
  }
  return lines;
}

bool SearchDone(HWND bar, HWND status) {
  return IsWindowEnabled(GetDlgItem(bar, IDC_SB_SEARCH)) && StatusText(status, 0) == LibraryText(293);
}

// The "Deep scan" box on a volume whose files are known only to the deep
// scan: records of an old file system in its free clusters (mtools wrote
// them before the volume was formatted again). The rows come after the
// engine's, with their condition; one is undeleted, and compare_results.py
// checks its bytes against `retriva recover --deep --id` of the same file.
void SearchDeep(Program& p, HWND w, HWND bar, HWND list, HWND status, const std::wstring& prefix) {
  HWND deep = GetDlgItem(bar, IDC_SB_DEEP);
  Check(deep && (GetWindowLongW(deep, GWL_STYLE) & WS_TABSTOP) && WindowText(deep).find(L'&') != std::wstring::npos,
        "the Deep scan box is a tab stop with a mnemonic (" + Narrow(WindowText(deep)) + ")");
  SendMessageW(deep, BM_CLICK, 0, 0);
  Check(SendMessageW(deep, BM_GETCHECK, 0, 0) == BST_CHECKED, "a click ticks Deep scan");
  PressButton(bar, IDC_SB_SEARCH);
  WaitFor([&] { return !IsWindowEnabled(GetDlgItem(bar, IDC_SB_SEARCH)); }, 5000);
  Check(WaitFor([&] { return SearchDone(bar, status); }, 120000), "deep scan: the search ends");
  std::vector<Row> rows = ListRows(list);
  int old = -1, conditioned = 0;
  for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
    if (rows[r][4].rfind(L"old:", 0) == 0 && rows[r][0] == L"big1.jpg") old = r;
    conditioned += ConditionShare(rows[r][kConditionColumn]) >= 0;
  }
  Check(old >= 0, "deep scan: the old file system's big1.jpg is listed with its id (" + std::to_string(rows.size()) +
                      " rows)");
  Check(!rows.empty() && conditioned == static_cast<int>(rows.size()), "deep scan: every row has its condition");
  Shot(L"deep-scan-rows");
  if (old < 0) return;
  WriteUtf8File(prefix + L"-deep-id.txt", Utf8(rows[old][4]) + "\n");
  SetRowStates(list, -1, 0, LVIS_SELECTED);
  SetRowStates(list, old, LVIS_SELECTED, LVIS_SELECTED);
  PressButton(bar, IDC_SB_UNDELETE);
  Text destTitle = FormatLibraryText(ToText(LibraryText(301)), {rv::TextView(ToText(ComputerName()))});
  HWND dest = WaitForTitled(p.pi.dwProcessId, std::wstring(destTitle.begin(), destTitle.end()), 10000);
  Check(dest != nullptr, "deep scan: Undelete opens the destination dialog");
  if (!dest) return;
  std::wstring out = prefix + L"-out";
  SendMessageW(GetDlgItem(dest, IDC_UD_FOLDER), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(out.c_str()));
  // With a report beside the file (compare_results.py reads its row).
  HWND reportBox = GetDlgItem(dest, IDC_UD_REPORT);
  if (SendMessageW(reportBox, BM_GETCHECK, 0, 0) != BST_CHECKED) SendMessageW(reportBox, BM_CLICK, 0, 0);
  PressButton(dest, IDOK);
  HWND report = WaitForTitled(p.pi.dwProcessId, L"Undelete Report", 60000);
  Check(report != nullptr, "deep scan: the report dialog opens");
  if (!report) return;
  std::vector<std::wstring> lines = ListBoxLines(GetDlgItem(report, IDC_UR_LIST));
  const std::wstring recovered = LibraryText(101).substr(0, LibraryText(101).find(L"%s"));
  Check(lines.size() == 1 && lines[0].rfind(recovered, 0) == 0 && lines[0].size() > 8 &&
            lines[0].compare(lines[0].size() - 8, 8, L"big1.jpg") == 0,
        "deep scan: the report says it was recovered (" + (lines.empty() ? std::string() : Narrow(lines[0])) + ")");
  PressButton(report, IDOK);
  WaitFor([&] { return !IsWindow(report); }, 5000);
  CloseAndExit(p, w, "after the deep scan");
}

// The program started in its search view, and the windows a search works.
struct SearchView {
  std::unique_ptr<Program> program;
  HWND window = nullptr, bar = nullptr, list = nullptr, status = nullptr;
};

// False, with a failed check, when the window or one of its parts is missing.
bool StartSearchView(SearchView& v) {
  v.program = Launch(Quorvex());
  v.window = WaitForMainWindow(v.program->pi.dwProcessId, LibraryText(IDS_SEARCH_TITLE));
  if (!v.window) {
    Check(false, "the window starts");
    return false;
  }
  v.bar = ChildOfClass(v.window, L"#32770");
  v.list = ChildOfClass(v.window, WC_LISTVIEWW);
  v.status = ChildOfClass(v.window, STATUSCLASSNAMEW);
  if (!v.bar || !v.list || !v.status) {
    Check(false, "search bar, file list and status bar");
    return false;
  }
  return true;
}

// What the previous run searched and where it recovered to: the next run
// must offer them again from the registry.
std::wstring g_lastFolder;
std::wstring g_lastDestination;

void SearchAndRecover(wchar_t letter, const std::wstring& kind, bool shoot) {
  std::printf("-- search and recover on %c: (%s)\n", static_cast<char>(letter), Narrow(kind).c_str());
  std::wstring results = g_build + L"\\window-results";
  std::wstring prefix = results + L"\\" + std::wstring(1, letter);
  SearchView view;
  if (!StartSearchView(view)) return;
  auto& p = view.program;
  HWND w = view.window, bar = view.bar, list = view.list, status = view.status;

  std::wstring drive = std::wstring(1, letter) + L":";
  if (!g_lastFolder.empty()) {
    auto items = ComboItems(GetDlgItem(bar, IDC_SB_FOLDER));
    Check(!items.empty() && items.front() == g_lastFolder,
          "after a restart the folder box lists the last folder searched first (" + Narrow(g_lastFolder) + ")");
  }
  g_lastFolder = drive;
  SendMessageW(GetDlgItem(bar, IDC_SB_PATTERN), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
  SendMessageW(GetDlgItem(bar, IDC_SB_FOLDER), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(drive.c_str()));
  if (shoot) Shot(L"search-bar-filled");
  if (kind == L"deep-fat32") return SearchDeep(*p, w, bar, list, status, prefix);
  PressButton(bar, IDC_SB_SEARCH);

  if (kind == L"fat12") {
    HWND box = WaitForDialog(p->pi.dwProcessId, 30000);
    Check(box && MessageBoxText(box) == LibraryText(72), "FAT12: the engine's refusal box (string 72)");
    if (box) {
      Shot(L"fat12-refused");
      PressButton(box, IDOK);
    }
    Check(WaitFor([&] { return SearchDone(bar, status); }, 30000), "FAT12: the search ends");
    Check(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 0, "FAT12: no rows");
    CloseAndExit(*p, w, "fat12");
    return;
  }

  if (kind == L"ntfs-big-sparse") {
    // One deleted sparse file of 4563402752 bytes: its size needs 64 bits
    // in the row, the sort and the status bar's sum.
    Check(WaitFor([&] { return SearchDone(bar, status); }, 120000), "4.25 GiB file: the search ends");
    std::vector<Row> rows = ListRows(list);
    Check(rows.size() == 1 && rows[0][1] == L"4,563,402,752B",
          "the 4.25 GiB file's size row reads 4,563,402,752B (" + (rows.empty() ? std::string() : Narrow(rows[0][1])) + ")");
    SetRowStates(list, 0, LVIS_SELECTED, LVIS_SELECTED);
    PostMessageW(w, WM_COMMAND, CMD_STATUS_REFRESH, 0);
    Text want = FormatLibraryText(ToText(LibraryText(292)), {uint64_t{4563402752}});
    Check(WaitFor([&] { return StatusText(status, 2) == std::wstring(want.begin(), want.end()); }, 3000),
          "the status bar sums its true size (" + Narrow(StatusText(status, 2)) + ")");
    CloseAndExit(*p, w, "ntfs-big-sparse");
    return;
  }

  bool done = WaitFor([&] { return SearchDone(bar, status); }, 120000);
  Check(done, "the search ends: Search enabled again, status part 0 reads string 293");
  Check(!IsWindowEnabled(GetDlgItem(bar, IDC_SB_STOP)) && IsWindowEnabled(GetDlgItem(bar, IDC_SB_UNDELETE)) &&
            IsWindowEnabled(GetDlgItem(bar, IDC_SB_CLOSE)),
        "after the search: Stop disabled, Undelete and Close enabled");
  std::vector<Row> rows = ListRows(list);
  Check(!rows.empty(), "rows arrived (" + std::to_string(rows.size()) + ")");
  Text count = FormatLibraryText(ToText(LibraryText(288)), {static_cast<int64_t>(rows.size())});
  std::wstring wantCount(count.begin(), count.end());
  Check(StatusText(status, 1) == wantCount, "status part 1: " + Narrow(wantCount));
  std::string tsv;
  for (const auto& r : rows) {
    for (size_t c = 0; c < kConditionColumn; ++c) tsv += Utf8(r[c]) + (c + 1 < kConditionColumn ? "\t" : "\n");
  }
  WriteUtf8File(prefix + L"-rows.tsv", tsv);
  // The condition column (the seventh), for compare_results.py to match
  // with the command line's recoverable share and guess.
  std::string conditions;
  for (int r = 0; r < static_cast<int>(rows.size()); ++r)
    conditions += Utf8(rows[r][3] + rows[r][0]) + "\t" + Utf8(rows[r][kConditionColumn]) + "\n";
  WriteUtf8File(prefix + L"-conditions.tsv", conditions);

  // Sorting: every click reverses the direction, the first sorts descending.
  // The last click leaves the rows in the order the recovery below takes
  // them (which of two files of one name keeps it).
  const int columns[] = {1, 1, 0, kConditionColumn, kConditionColumn, 2, 4, 3};
  bool descending = true;
  for (int column : columns) {
    ClickColumn(list, column);
    std::vector<Row> sorted = ListRows(list);
    Check(sorted.size() == rows.size() && Ordered(sorted, column, descending),
          "a click on column " + std::to_string(column) + " sorts it " + (descending ? "descending" : "ascending"));
    if (shoot && column == 1 && descending) Shot(L"results-by-size");
    descending = !descending;
  }

  // Two rows selected: the summary counts them and adds their sizes.
  if (rows.size() >= 2) {
    SetRowStates(list, -1, 0, LVIS_SELECTED);
    SetRowStates(list, 0, LVIS_SELECTED, LVIS_SELECTED);
    SetRowStates(list, 1, LVIS_SELECTED, LVIS_SELECTED);
    PostMessageW(w, WM_COMMAND, CMD_STATUS_REFRESH, 0);
    uint64_t sum = Digits(CellText(list, 0, 1)) + Digits(CellText(list, 1, 1));
    Text want = FormatLibraryText(ToText(LibraryText(292)), {sum});
    Check(WaitFor([&] { return StatusText(status, 2) == std::wstring(want.begin(), want.end()); }, 3000),
          "two rows selected: status part 2 reads string 292 with their sum");
  }

  // Every row, into a folder on another volume.
  SetRowStates(list, -1, LVIS_SELECTED, LVIS_SELECTED);
  PressButton(bar, IDC_SB_UNDELETE);
  Text destTitle = FormatLibraryText(ToText(LibraryText(301)), {rv::TextView(ToText(ComputerName()))});
  HWND dest = WaitForTitled(p->pi.dwProcessId, std::wstring(destTitle.begin(), destTitle.end()), 10000);
  Check(dest != nullptr, "Undelete opens the destination dialog 333");
  if (!dest) return;
  if (!g_lastDestination.empty()) {
    HWND combo = GetDlgItem(dest, IDC_UD_FOLDER);
    auto items = ComboItems(combo);
    Check(WindowText(combo) == g_lastDestination && !items.empty() && items.front() == g_lastDestination,
          "after a restart the destination box offers the last destination (" + Narrow(g_lastDestination) + ")");
  }
  // The searched volume itself is refused.
  std::wstring same = drive + L"\\rescued";
  SendMessageW(GetDlgItem(dest, IDC_UD_FOLDER), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(same.c_str()));
  PressButton(dest, IDOK);
  HWND refusal = WaitForTitled(p->pi.dwProcessId, LibraryText(301), 10000);
  Check(refusal && MessageBoxText(refusal) == LibraryText(IDS_DESTINATION_ON_VOLUME),
        "a destination on the searched volume is refused");
  if (refusal) PressButton(refusal, IDOK);
  WaitFor([&] { return !IsWindow(refusal); }, 5000);
  std::wstring out = prefix + L"-out";
  // The other rules `retriva recover --to` applies: an empty destination,
  // a recycle folder or recovery bin on any volume, in any case.
  struct Refused {
    std::wstring folder;
    UINT text;
  };
  const std::wstring outDrive = out.substr(0, 2);
  for (const Refused& r : {Refused{L"", IDS_DESTINATION_NOT_CREATED},
                           Refused{outDrive + L"\\$Recycle.Bin\\rescued", IDS_DESTINATION_RECYCLE_FOLDER},
                           Refused{outDrive + L"\\recycler", IDS_DESTINATION_RECYCLE_FOLDER}}) {
    SendMessageW(GetDlgItem(dest, IDC_UD_FOLDER), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(r.folder.c_str()));
    PressButton(dest, IDOK);
    HWND box = WaitForTitled(p->pi.dwProcessId, LibraryText(301), 10000);
    Check(box && MessageBoxText(box) == LibraryText(r.text),
          "the destination '" + Narrow(r.folder) + "' is refused with string " + std::to_string(r.text));
    if (box) PressButton(box, IDOK);
    WaitFor([&] { return !IsWindow(box); }, 5000);
  }
  SendMessageW(GetDlgItem(dest, IDC_UD_FOLDER), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(out.c_str()));
  // A report beside the recovered files (checked by compare_results.py);
  // the box keeps its state from the last recovery.
  HWND reportBox = GetDlgItem(dest, IDC_UD_REPORT);
  const bool wasChecked = SendMessageW(reportBox, BM_GETCHECK, 0, 0) == BST_CHECKED;
  if (!g_lastDestination.empty()) Check(wasChecked, "after a restart the report box is checked as it was left");
  if (!wasChecked) SendMessageW(reportBox, BM_CLICK, 0, 0);
  Check(WaitFor([&] { return SendMessageW(reportBox, BM_GETCHECK, 0, 0) == BST_CHECKED; }, 3000),
        "a click checks the report box");
  if (shoot) Shot(L"undelete-destination");
  PressButton(dest, IDOK);
  const wchar_t* recover = reinterpret_cast<const wchar_t*>(kRecoverListsKey);
  Check(WaitFor([&] { return RegString(recover, L"RecoverPath0") == out; }, 5000),
        "the destination is stored as RecoverPath0");
  g_lastDestination = out;

  HWND progress = WaitForTitled(p->pi.dwProcessId, L"Undeleting Files", 20000);
  if (progress && shoot) Shot(L"undelete-progress");
  HWND report = WaitForTitled(p->pi.dwProcessId, L"Undelete Report", 60000);
  Check(report != nullptr, "the report dialog 301 opens");
  if (!report) return;
  Check(!progress || !IsWindow(progress), "the progress dialog has closed");
  std::vector<std::wstring> lines = ListBoxLines(GetDlgItem(report, IDC_UR_LIST));
  std::string text;
  for (const auto& l : lines) text += Utf8(l) + "\n";
  WriteUtf8File(prefix + L"-report.txt", text);
  Check(!lines.empty(), "the report lists " + std::to_string(lines.size()) + " lines");
  if (shoot) Shot(L"undelete-report");
  PressButton(report, IDCANCEL);
  Sleep(300);
  Check(IsWindow(report), "Esc (Cancel) does not close the report");
  PressButton(report, IDOK);
  Check(WaitFor([&] { return !IsWindow(report); }, 5000), "OK closes the report");
  if (shoot) Shot(L"main-with-results");
  CloseAndExit(*p, w, "after the undelete");
}

// A volume with 50,000 deleted files: Stop ends the search early, and a
// whole search fills the list (timed for the benchmark).
void SearchLargeVolume(wchar_t letter) {
  std::printf("-- a large volume on %c:\n", static_cast<char>(letter));
  SearchView view;
  if (!StartSearchView(view)) return;
  auto& p = view.program;
  HWND w = view.window, bar = view.bar, list = view.list, status = view.status;
  std::wstring drive = std::wstring(1, letter) + L":";
  SendMessageW(GetDlgItem(bar, IDC_SB_FOLDER), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(drive.c_str()));
  auto rows = [&] { return static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)); };

  PressButton(bar, IDC_SB_SEARCH);
  // Stop as soon as the search shows it has started. The whole search takes
  // about a second: on a loaded machine it can end before this process is
  // scheduled again, and then there is nothing left for Stop to end.
  HWND stopButton = GetDlgItem(bar, IDC_SB_STOP), searchButton = GetDlgItem(bar, IDC_SB_SEARCH);
  const bool searching =
      WaitFor([&] { return IsWindowEnabled(stopButton) && !IsWindowEnabled(searchButton); }, 10000);
  if (searching) PressButton(bar, IDC_SB_STOP);
  Check(WaitFor([&] { return SearchDone(bar, status); }, 60000), "Stop: the search ends");
  int stopped = rows();
  if (stopped < 50000) {
    Check(searching, "while searching: Stop enabled, Search disabled");
    Check(true, "Stop ended it early (" + std::to_string(stopped) + " of 50000 rows)");
  } else {
    std::printf("skip   Stop ended it early: the search had listed every file before Stop reached it\n");
  }
  DWORD start = GetTickCount();
  PressButton(bar, IDC_SB_SEARCH);
  // The list of the search before still stands until this one clears it.
  WaitFor([&] { return IsWindowEnabled(stopButton) || rows() != stopped; }, 10000);
  bool done = WaitFor([&] { return rows() == 50000 && SearchDone(bar, status); }, 300000);
  DWORD took = GetTickCount() - start;
  Check(done, "a whole search lists all 50000 files (" + std::to_string(rows()) + ")");
  std::printf("window search of 50000 files: %lu ms\n", static_cast<unsigned long>(took));
  WriteUtf8File(g_build + L"\\window-results\\bench-window-ms.txt", std::to_string(took) + "\n");
  CloseAndExit(*p, w, "large volume");
}

void CheckSearchAndRecover(bool small, bool large) {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tarvelle\\Retriva\\PgBin");
  std::wstring config = g_build + L"\\window-volumes.tsv";
  FILE* f = _wfopen(config.c_str(), L"r");
  if (!f) return Check(false, "window-volumes.tsv names the mapped volumes");
  char line[128];
  bool first = true;
  while (fgets(line, sizeof line, f)) {
    if (!line[0] || line[1] != '\t') continue;
    std::string kind(line + 2);
    while (!kind.empty() && (kind.back() == '\n' || kind.back() == '\r')) kind.pop_back();
    if (kind == "large") {
      if (large) SearchLargeVolume(static_cast<wchar_t>(line[0]));
    } else if (small) {
      SearchAndRecover(static_cast<wchar_t>(line[0]), std::wstring(kind.begin(), kind.end()), first);
      first = false;
    }
  }
  fclose(f);
}

// ---- The preview pane -------------------------------------------------------------
// Volumes p: (a camera card whose pictures and documents were deleted),
// q: (a text file kept, and a file whose clusters were zeroed after its
// deletion) and r: (a file partly overwritten since), mapped by
// window-test.sh.

std::wstring PreviewState(UINT id, const std::vector<FormatArg>& args = {}) {
  Text t = FormatLibraryText(ToText(LibraryText(id)), args);
  return std::wstring(t.begin(), t.end());
}

// The row whose name ends as `tail` (a deleted FAT entry has lost its first
// character), selected alone as a click would; -1 when there is none.
int SelectRowNamed(HWND list, const std::wstring& tail) {
  std::vector<Row> rows = ListRows(list);
  for (size_t r = 0; r < rows.size(); ++r) {
    const std::wstring& name = rows[r][0];
    if (name.size() >= tail.size() && name.compare(name.size() - tail.size(), tail.size(), tail) == 0) {
      SetRowStates(list, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
      SetRowStates(list, static_cast<int>(r), LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
      return static_cast<int>(r);
    }
  }
  return -1;
}

bool SearchVolume(HWND bar, HWND status, const wchar_t* drive) {
  SendMessageW(GetDlgItem(bar, IDC_SB_PATTERN), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
  SendMessageW(GetDlgItem(bar, IDC_SB_FOLDER), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(drive));
  PressButton(bar, IDC_SB_SEARCH);
  WaitFor([&] { return !IsWindowEnabled(GetDlgItem(bar, IDC_SB_SEARCH)); }, 5000);
  return WaitFor([&] { return SearchDone(bar, status); }, 60000);
}

void CheckPreviewPane() {
  std::printf("-- preview pane\n");
  const wchar_t* key = reinterpret_cast<const wchar_t*>(kPreviewPaneKey);
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, key);
  SearchView view;
  if (!StartSearchView(view)) return;
  auto& p = view.program;
  HWND w = view.window, bar = view.bar, list = view.list, status = view.status;
  HWND pane = ChildOfClass(w, L"RVPreviewPane");
  if (!pane) return Check(false, "the preview pane is there");
  HWND text = GetDlgItem(pane, IDC_PREVIEW_TEXT), picture = GetDlgItem(pane, IDC_PREVIEW_PICTURE);
  Check(IsWindowVisible(pane) && WindowText(pane) == PreviewState(IDS_PREVIEW_NONE),
        "the pane is shown at first, asking for one file (" + Narrow(WindowText(pane)) + ")");
  auto paneSays = [&](const std::wstring& want) { return WaitFor([&] { return WindowText(pane) == want; }, 15000); };

  Check(SearchVolume(bar, status, L"P:"), "the card's search ends");
  Check(SelectRowNamed(list, L"mg_0001.jpg") >= 0, "a JPEG row is selected");
  const std::wstring picturePrefix = PreviewState(IDS_PREVIEW_PICTURE, {rv::TextView(u"JPEG"), int64_t{0}, int64_t{0}})
                                         .substr(0, 14);  // "picture (JPEG)"
  bool shown = WaitFor([&] { return WindowText(pane).rfind(picturePrefix, 0) == 0; }, 15000);
  Check(shown && IsWindowVisible(picture) && !IsWindowVisible(text) && WindowText(picture) == WindowText(pane),
        "a JPEG is shown as a picture, named for a screen reader (" + Narrow(WindowText(pane)) + ")");
  Shot(L"preview-picture");
  Check(SelectRowNamed(list, L"uarterly report.docx") >= 0, "a document row is selected");
  shown = paneSays(PreviewState(IDS_PREVIEW_BYTES, {int64_t{533}, uint64_t{533}}));
  Check(shown && IsWindowVisible(text) && WindowText(text).rfind(L"00000000  50 4b 03 04 ", 0) == 0,
        "a binary file is shown as a hex dump (" + Narrow(WindowText(pane)) + ")");
  Shot(L"preview-hex");

  Check(SearchVolume(bar, status, L"Q:"), "the second volume's search ends");
  Check(WindowText(pane) == PreviewState(IDS_PREVIEW_NONE), "a new search empties the pane");
  Check(SelectRowNamed(list, L"EPT.TXT") >= 0, "a text row is selected");
  Check(paneSays(PreviewState(IDS_PREVIEW_TEXT, {rv::TextView(u"UTF-8")})) &&
            WindowText(text).rfind(L"kept\r\nkept\r\n", 0) == 0,
        "a text file is shown as text in the edit control");
  Shot(L"preview-text");
  Check(SelectRowNamed(list, L"RIMMED.BIN") >= 0, "the zeroed file's row is selected");
  shown = paneSays(PreviewState(IDS_PREVIEW_ZEROED, {uint64_t{40000}}));
  Check(shown && WindowText(text).rfind(LibraryText(IDS_PREVIEW_ZEROED_NOTE), 0) == 0,
        "a file zeroed throughout is said to be zeroed, and why");

  Check(SearchVolume(bar, status, L"R:"), "the third volume's search ends");
  Check(SelectRowNamed(list, L"ictim-deleted.bin") >= 0, "a partly overwritten file's row is selected");
  const std::wstring inUse = LibraryText(IDS_PREVIEW_IN_USE);
  shown = WaitFor([&] {
    const std::wstring t = WindowText(pane);
    return t.size() > inUse.size() && t.compare(t.size() - inUse.size(), inUse.size(), inUse) == 0;
  }, 15000);
  Check(shown && WindowText(text).find(std::wstring(64, L'*')) != std::wstring::npos,
        "its clusters in use now show as * and the pane says why (" + Narrow(WindowText(pane)) + ")");
  Shot(L"preview-in-use");

  // Alt+P goes into the pane; Tab and Shift+Tab pass between it, the list
  // and the search bar.
  SetForegroundWindow(w);
  Sleep(300);
  PressKeys({VK_MENU, 'P'});
  Check(WaitFor([&] { return FocusOf(w) == text; }, 5000), "Alt+P puts the focus in the pane's text");
  PressKeys({VK_SHIFT, VK_TAB});
  Check(WaitFor([&] { return FocusOf(w) == list; }, 5000), "Shift+Tab goes back to the list");
  PressKeys({VK_TAB});
  Check(WaitFor([&] { return FocusOf(w) == text; }, 5000), "Tab from the list goes into the pane");
  PressKeys({VK_TAB});
  Check(WaitFor([&] { return FocusOf(w) != text && IsChild(bar, FocusOf(w)); }, 5000),
        "Tab from the pane goes on to the search bar");

  // The View menu's item hides the pane; the state outlives the program.
  // Its top edge is a splitter: dragged up, the pane grows, and keeps its height.
  auto height = [](HWND window) {
    RECT r{};
    GetWindowRect(window, &r);
    return static_cast<int>(r.bottom - r.top);
  };
  RECT edge{};
  GetWindowRect(pane, &edge);
  const int before = height(pane), x = (edge.left + edge.right) / 2;
  SetForegroundWindow(w);
  Sleep(300);
  // A press the busy machine loses is pressed again, until the pane holds the mouse.
  auto captured = [&] {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(pane, nullptr), &info);
    return info.hwndCapture == pane;
  };
  for (int i = 0; i < 5; ++i) {
    if (i) Mouse(MOUSEEVENTF_LEFTUP);
    MoveMouse(x, edge.top + 3);
    MoveMouse(x, edge.top + 1);
    Mouse(MOUSEEVENTF_LEFTDOWN);
    if (WaitFor(captured, 1000)) break;
  }
  MoveMouse(x, edge.top - 39);
  Mouse(MOUSEEVENTF_LEFTUP);
  Check(WaitFor([&] { return height(pane) >= before + 30; }, 15000),
        "dragging the pane's top edge 40 pixels up makes it taller (" + std::to_string(before) + " -> " +
            std::to_string(height(pane)) + ")");
  const int dragged = height(pane);
  Check(WaitFor([&] { return RegDword(key, L"Height") == static_cast<DWORD>(dragged); }, 3000),
        "its height is stored (" + std::to_string(RegDword(key, L"Height")) + ")");
  // (Wine answers no menu state across processes: the check mark is seen
  // on the screenshots.)
  OpenMenuAndShoot(w, L'v', L"preview-view-menu");
  PostMessageW(w, WM_COMMAND, CMD_PREVIEW_PANE, 0);
  Check(WaitFor([&] { return !IsWindowVisible(pane); }, 5000), "View > Preview Pane hides the pane");
  Check(WaitFor([&] { return RegDword(key, L"Shown") == 0; }, 5000), "the hidden state is stored");
  CloseAndExit(*p, w, "preview");
  p = Launch(Quorvex());
  w = WaitForMainWindow(p->pi.dwProcessId, LibraryText(IDS_SEARCH_TITLE));
  if (!w) return Check(false, "the window starts again");
  pane = ChildOfClass(w, L"RVPreviewPane");
  Check(pane && !IsWindowVisible(pane), "after a restart the pane stays hidden");
  PostMessageW(w, WM_COMMAND, CMD_PREVIEW_PANE, 0);
  Check(WaitFor([&] { return pane && IsWindowVisible(pane); }, 5000), "the item shows it again");
  Check(height(pane) == dragged, "at the height it was dragged to (" + std::to_string(height(pane)) + ")");
  Check(WaitFor([&] { return RegDword(key, L"Shown") == 1; }, 5000), "the shown state is stored");
  CloseAndExit(*p, w, "preview again");
}

}  // namespace

// Windows under Xvfb have no window manager to frame them: a Wine virtual
// desktop draws title bars and frames as Windows does.
int UseVirtualDesktop() {
  HKEY key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\Explorer\\Desktops", 0, nullptr, 0, KEY_ALL_ACCESS,
                      nullptr, &key, nullptr) != ERROR_SUCCESS)
    return 1;
  const wchar_t size[] = L"1024x768";
  RegSetValueExW(key, L"Default", 0, REG_SZ, reinterpret_cast<const BYTE*>(size), sizeof size);
  RegCloseKey(key);
  if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\Explorer", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return 1;
  const wchar_t name[] = L"Default";
  RegSetValueExW(key, L"Desktop", 0, REG_SZ, reinterpret_cast<const BYTE*>(name), sizeof name);
  RegCloseKey(key);
  return 0;
}

int wmain(int argc, wchar_t** argv) {
  if (argc == 2 && std::wstring(argv[1]) == L"--virtual-desktop") return UseVirtualDesktop();
  if (argc < 2) {
    std::fprintf(stderr, "usage: quorvex_driver BUILD_DIR [SHOTS_DIR] [PART...]\n");
    return 2;
  }
  g_build = argv[1];
  if (argc > 2) g_shots = argv[2];
  g_library = LoadLibraryW((g_build + L"\\PgRes.dll").c_str());
  Check(g_library != nullptr, "PgRes.dll loads");
  if (!g_library) return 1;
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&icc);
  std::vector<std::wstring> parts(argv + std::min(argc, 3), argv + argc);
  auto want = [&](const wchar_t* p) { return parts.empty() || std::find(parts.begin(), parts.end(), p) != parts.end(); };

  if (want(L"library")) CheckLibrary();
  if (want(L"lists")) CheckRecentLists();
  if (want(L"main")) CheckMainWindow();
  if (want(L"keyboard")) CheckKeyboard();
  if (want(L"close")) CheckCloseButton();
  if (want(L"hidden")) CheckHiddenStart();
  if (want(L"notadmin")) CheckNotAdministrator();
  if (want(L"widths")) CheckStoredWidths();
  if (want(L"refusals")) CheckRefusals();
  if (want(L"panes")) CheckTwoPaneView();
  if (want(L"bar")) CheckSearchBarButtons();
  if (want(L"panel")) CheckSearchPanel();
  if (want(L"destination")) CheckDestinationDialogs();
  if (want(L"preview")) CheckPreviewPane();
  bool large = want(L"large");
  if (want(L"results") || large) CheckSearchAndRecover(want(L"results"), large);
  std::printf("%d failed\n", g_failures);
  return g_failures ? 1 : 0;
}
