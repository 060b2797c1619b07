#include "shell/main_window.h"

#include <commctrl.h>

#include <algorithm>
#include <iterator>

#include "channel/messages.h"
#include "res/resource.h"
#include "shell/command_states.h"
#include "shell/controls.h"
#include "shell/engines.h"
#include "shell/layout.h"
#include "shell/preview_pane.h"
#include "shell/search_bar.h"
#include "shell/two_pane/search_panel.h"
#include "shell/state.h"
#include "shell/test_seam.h"
#include "shell/views.h"

namespace rv::shell {
namespace {

// The information dialogs of commands 40048 to 40054, in command order.
constexpr UINT kInfoDialogs[] = {IDD_INFO_GETTING_STARTED, IDD_INFO_NTFS,  IDD_INFO_FAT, IDD_INFO_DESTINATION,
                                 IDD_INFO_TIPS,            IDD_INFO_SAFETY, IDD_INFO_ABOUT};
static_assert(std::size(kInfoDialogs) == CMD_INFO_LAST - CMD_INFO_FIRST + 1);

// ---- Inner title bars --------------------------------------------------------

HFONT TitleBarFont() {
  static HFONT font = [] {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    metrics.lfSmCaptionFont.lfWeight = FW_BOLD;
    return CreateFontIndirectW(&metrics.lfSmCaptionFont);
  }();
  return font;
}

void PaintTitleBar(HWND bar) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(bar, &ps);
  RECT r;
  GetClientRect(bar, &r);
  r.left += Px(5);
  std::wstring text = LibraryString(static_cast<UINT>(GetWindowLongPtrW(bar, GWLP_USERDATA)));
  HGDIOBJ old = SelectObject(dc, TitleBarFont());
  SetTextColor(dc, RGB(255, 255, 255));
  SetBkMode(dc, TRANSPARENT);
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r,
            DT_SINGLELINE | DT_VCENTER | DT_LEFT | DT_NOPREFIX | DT_END_ELLIPSIS);
  SelectObject(dc, old);
  EndPaint(bar, &ps);
}

LRESULT CALLBACK TitleBarProc(HWND bar, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_NCCREATE:
      // The string id to draw comes as the creation parameter.
      SetWindowLongPtrW(bar, GWLP_USERDATA,
                        reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams));
      return DefWindowProcW(bar, msg, wp, lp);
    case WM_PAINT: PaintTitleBar(bar); return 0;
    default: return DefWindowProcW(bar, msg, wp, lp);
  }
}

// ---- Commands --------------------------------------------------------------------

INT_PTR CALLBACK InfoDialogProc(HWND dialog, UINT msg, WPARAM wp, LPARAM) {
  switch (msg) {
    case WM_INITDIALOG: return TRUE;
    case WM_COMMAND:
      if (LOWORD(wp) == IDOK || LOWORD(wp) == IDCANCEL) EndDialog(dialog, LOWORD(wp));
      return TRUE;
    default: return FALSE;
  }
}

void ShowInfoDialog(HWND window, UINT command) {
  DialogBoxParamW(Shell().resourceLibrary, MAKEINTRESOURCEW(kInfoDialogs[command - CMD_INFO_FIRST]), window,
                  InfoDialogProc, 0);
}

// The engines' controller messages. Their lParam is a movable block that
// this window owns from the moment the post succeeded; it is freed here
// whatever the handler makes of it.
void OnControllerMessage(UINT id, HGLOBAL payload) {
  struct PayloadGuard {
    HGLOBAL block;
    ~PayloadGuard() {
      if (block) GlobalFree(block);
    }
  } guard{payload};
  HandleEngineMessage(id, payload);
}

bool IsControllerMessage(UINT id) { return id >= CM_FILE_FOUND && id <= CM_UNDELETE_REPORT; }

// Volume refresh, then the search bar for an administrator.
void OnStartSearch(HWND window) {
  ShellState& s = Shell();
  if (s.session) {
    std::wstring selected = TreeSelectionPath();
    if (!selected.empty()) s.session->SelectMachine(Text(selected.begin(), selected.end()));
  }
  if (!s.isAdministrator) {
    std::wstring text = LibraryString(IDS_NOT_ADMINISTRATOR);
    std::wstring caption = ProgramString(IDS_PRODUCT_NAME);
    MessageBoxW(window, text.c_str(), caption.c_str(), MB_OK | MB_ICONERROR | MB_TOPMOST);
    AddTestRows(TestSeamTwoPaneRows());
    return;
  }
  CollapseTree();
  if (!CreateSearchBar(window)) {
    RestoreTree();
    return;
  }
  SetWindowTextW(window, s.searchTitle.c_str());
}

void OnToggleServiceOption(HWND window) {
  ShellState& s = Shell();
  if (!s.session) return;
  s.session->option = !s.session->option;
  CheckMenuItem(GetMenu(window), CMD_SERVICE_OPTION, MF_BYCOMMAND | (s.session->option ? MF_UNCHECKED : MF_CHECKED));
}

void OnShowOnRequest(HWND window) {
  SetForegroundWindow(window);
  ShowWindow(window, SW_SHOWNORMAL);
  Shell().shownOnRequest = true;
}

void OnCommand(HWND window, WPARAM wp, LPARAM lp) {
  UINT id = LOWORD(wp);
  if (IsControllerMessage(id)) {
    OnControllerMessage(id, reinterpret_cast<HGLOBAL>(lp));
    return;
  }
  if (id == CMD_SEARCH_NEWS) return HandleSearchNews();
  if (id >= CMD_INFO_FIRST && id <= CMD_INFO_LAST) {
    ShowInfoDialog(window, id);
    return;
  }
  // A greyed command does nothing, whether its accelerator, a posted
  // command or the program's own code asked for it.
  if (!CommandEnabledNow(id)) return;
  switch (id) {
    case CMD_STATUS_REFRESH: RefreshSummary(); break;
    case CMD_FOREGROUND: SetForegroundWindow(window); break;
    case CMD_SHOW_ON_REQUEST: OnShowOnRequest(window); break;
    case CMD_START_SEARCH: OnStartSearch(window); break;
    case CMD_SEARCH_PANEL: OpenSearchPanel(window); break;
    case CMD_EXIT: PostMessageW(window, WM_CLOSE, 0, 0); break;
    case CMD_HELP_TOPICS: OpenHelp(nullptr); break;
    case CMD_SERVICE_OPTION: OnToggleServiceOption(window); break;
    case CMD_STARTUP: RunStartup(window); break;
    case CMD_PREVIEW_PANE: TogglePreviewPane(); break;
    case CMD_PREVIEW_FOCUS: FocusPreviewPane(); break;
    default: HandleViewCommand(window, id); break;
  }
}

// ---- Window messages -------------------------------------------------------------

void FocusActivePane() {
  ShellState& s = Shell();
  HWND focus = GetFocus();
  HWND target = nullptr;
  switch (s.activePane) {
    case ActivePane::Tree: target = s.volumeTree; break;
    case ActivePane::List: target = s.fileList; break;
    case ActivePane::DockedDialog:
      target = s.searchBar ? s.searchBar : s.searchPanel;
      // Focus already inside the docked dialog stays where it is.
      if (target && focus && (focus == target || IsChild(target, focus))) return;
      break;
  }
  if (target && focus != target) SetFocus(target);
}

// Shift+End and Esc by their virtual-key codes (a key's name is the
// keyboard layout's own word for it).
bool OnKeyDown(WPARAM wp, LPARAM lp) {
  if (wp == VK_END && (GetKeyState(VK_SHIFT) & 0x8000)) {
    PostMessageW(Shell().mainWindow, WM_COMMAND, CMD_STATUS_REFRESH, 0);
    return true;
  }
  if (wp == VK_ESCAPE && TreeDragInProgress()) {
    SendMessageW(Shell().volumeTree, WM_KEYDOWN, VK_ESCAPE, lp);
    return true;
  }
  return false;
}

void OnSelectAll() {
  ShellState& s = Shell();
  SelectAllRows();
  UpdateCommandStates();
  if (s.fileList) SetFocus(s.fileList);
  RefreshSummary();
}

// Shutdown: engines first, then the windows and menus that hold the
// library's resources, then the library itself.
void Shutdown(HWND window) {
  ShellState& s = Shell();
  s.busy = true;
  StopEnginesAndWait();
  DestroyPreviewPane();
  if (s.searchBar) CloseSearchBar();
  ReleaseEngines();
  if (s.searchPanel) CloseSearchPanel();  // its pages save their lists
  FreeListStore();
  if (s.listMenu) DestroyMenu(s.listMenu);
  if (s.treeMenu) DestroyMenu(s.treeMenu);
  s.listMenu = s.listPopup = s.treeMenu = s.treePopup = nullptr;
  if (HMENU menu = GetMenu(window)) {
    SetMenu(window, nullptr);
    DestroyMenu(menu);
  }
  // Texts loaded from here on are empty rather than read from a freed module.
  if (s.resourceLibrary) FreeLibrary(s.resourceLibrary);
  s.resourceLibrary = nullptr;
  if (s.traceWindow) PostMessageW(s.traceWindow, WM_CLOSE, 0, 0);
}

void OnClose(HWND window) {
  ShellState& s = Shell();
  s.closing = true;
  if (s.instanceMutex) CloseHandle(s.instanceMutex);
  s.instanceMutex = nullptr;
  Shutdown(window);
  DestroyWindow(window);
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT msg, WPARAM wp, LPARAM lp) {
  ShellState& s = Shell();
  switch (msg) {
    case WM_SIZE: LayoutChildren(window); return 0;
    case WM_SETFOCUS: FocusActivePane(); return 0;
    case WM_MOUSEACTIVATE: FocusActivePane(); return DefWindowProcW(window, msg, wp, lp);
    case WM_CLOSE: OnClose(window); return 0;
    case WM_DESTROY:
      s.closing = true;
      PostQuitMessage(0);
      return 0;
    case WM_SHOWWINDOW:
      // Started hidden by a switch: only a second start's request shows it.
      if (s.switches.Any() && !s.shownOnRequest) return 0;
      return DefWindowProcW(window, msg, wp, lp);
    case WM_NOTIFY: return ForwardNotify(window, reinterpret_cast<NMHDR*>(lp));
    case WM_HELP: OpenHelp(kStartTopicW); return TRUE;
    case WM_MOUSEMOVE:
      // The gap between the panes is part of the splitter's zone.
      if (s.volumeTree && IsWindowVisible(s.volumeTree)) SendMessageW(s.volumeTree, msg, wp, lp);
      return 0;
    case WM_CONTEXTMENU: ShowContextMenu(window, reinterpret_cast<HWND>(wp), lp); return 0;
    case WM_KEYDOWN:
      if (OnKeyDown(wp, lp)) return 0;
      return DefWindowProcW(window, msg, wp, lp);
    case WM_CHAR:
      if (wp == 1) {  // Ctrl+A
        OnSelectAll();
        return 0;
      }
      return DefWindowProcW(window, msg, wp, lp);
    case WM_COMMAND: OnCommand(window, wp, lp); return 0;
    default: return DefWindowProcW(window, msg, wp, lp);
  }
}

}  // namespace

bool RegisterWindowClasses(HINSTANCE program) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_PARENTDC;
  wc.lpfnWndProc = MainWindowProc;
  wc.hInstance = program;
  wc.hIcon = LoadIconW(program, MAKEINTRESOURCEW(IDI_PROGRAM));
  wc.hIconSm = static_cast<HICON>(LoadImageW(program, MAKEINTRESOURCEW(IDI_PROGRAM), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kMainClass;
  if (!RegisterClassExW(&wc)) return false;

  WNDCLASSEXW bar{};
  bar.cbSize = sizeof bar;
  bar.style = CS_HREDRAW;
  bar.lpfnWndProc = TitleBarProc;
  bar.hInstance = program;
  bar.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  bar.hbrBackground = CreateSolidBrush(RGB(0, 125, 140));
  bar.lpszClassName = kTitleBarClass;
  return RegisterClassExW(&bar) != 0 && RegisterPreviewClasses(program);
}

HWND CreateMainWindow(HINSTANCE program) {
  ShellState& s = Shell();
  HMENU menu = LoadMenuW(s.resourceLibrary, MAKEINTRESOURCEW(IDM_MAIN));
  HWND window = CreateWindowExW(0, kMainClass, s.windowTitle.c_str(), WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                                CW_USEDEFAULT, CW_USEDEFAULT, Px(kMainWidth), Px(kMainHeight), nullptr, menu,
                                program, nullptr);
  if (!window && menu) DestroyMenu(menu);
  return window;
}

void LayoutChildren(HWND window) {
  ShellState& s = Shell();
  RECT client;
  GetClientRect(window, &client);
  int width = client.right;
  int bottom = client.bottom;

  if (s.statusBar) {
    SendMessageW(s.statusBar, WM_SIZE, 0, 0);
    int parts[4] = {Px(165), Px(300), width - Px(50), -1};
    SendMessageW(s.statusBar, SB_SETPARTS, 4, reinterpret_cast<LPARAM>(parts));
    RECT sr;
    GetWindowRect(s.statusBar, &sr);
    bottom -= sr.bottom - sr.top;
    if (s.progressBar) {
      RECT p1, p2;
      SendMessageW(s.statusBar, SB_GETRECT, 1, reinterpret_cast<LPARAM>(&p1));
      SendMessageW(s.statusBar, SB_GETRECT, 2, reinterpret_cast<LPARAM>(&p2));
      // Placed over parts 1 and 2; shown only while an operation runs, so
      // the two-pane view's summary stays readable.
      SetWindowPos(s.progressBar, nullptr, p1.left, p1.top, p2.right - p1.left, p1.bottom - p1.top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
    }
  }

  int titleHeight = Px(kTitleBarHeight);
  int paneTop = Px(kPaneTop);
  if (s.searchBar) {
    RECT bar;
    GetWindowRect(s.searchBar, &bar);
    int barHeight = bar.bottom - bar.top;
    SetWindowPos(s.searchBar, nullptr, 0, 0, width, barHeight, SWP_NOZORDER | SWP_NOACTIVATE);
    if (s.rightTitleBar) MoveWindow(s.rightTitleBar, 0, barHeight, width, titleHeight, TRUE);
    bottom = PlacePreviewPane(0, width, barHeight + paneTop, bottom);
    if (s.fileList)
      MoveWindow(s.fileList, 0, barHeight + paneTop, width, std::max<int>(0, bottom - barHeight - paneTop), TRUE);
    return;
  }
  int treeWidth = s.treeWidth < 0 ? width / 4 : s.treeWidth;
  int listLeft = treeWidth + Px(kPaneGap);
  if (s.leftTitleBar) MoveWindow(s.leftTitleBar, 0, 0, treeWidth, titleHeight, TRUE);
  if (s.volumeTree) MoveWindow(s.volumeTree, 0, paneTop, treeWidth, std::max<int>(0, bottom - paneTop), TRUE);
  if (s.rightTitleBar) MoveWindow(s.rightTitleBar, listLeft, 0, std::max<int>(0, width - listLeft), titleHeight, TRUE);
  // The search panel, when open, sits above the list in the right pane.
  int listTop = paneTop;
  if (s.searchPanel) {
    RECT panel;
    GetWindowRect(s.searchPanel, &panel);
    int panelHeight = panel.bottom - panel.top;
    MoveWindow(s.searchPanel, listLeft, paneTop, std::max<int>(0, width - listLeft), panelHeight, TRUE);
    listTop += panelHeight;
  }
  HidePreviewPane();  // its rows come from no engine
  if (s.fileList)
    MoveWindow(s.fileList, listLeft, listTop, std::max<int>(0, width - listLeft), std::max<int>(0, bottom - listTop),
               TRUE);
}

std::wstring ItemText(HWND dialog, int id) {
  HWND item = GetDlgItem(dialog, id);
  int n = item ? GetWindowTextLengthW(item) : 0;
  std::wstring text(static_cast<size_t>(n) + 1, L'\0');
  if (n > 0) GetWindowTextW(item, text.data(), n + 1);
  text.resize(wcslen(text.c_str()));
  return text;
}

}  // namespace rv::shell
