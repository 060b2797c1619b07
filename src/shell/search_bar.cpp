#include "shell/search_bar.h"

#include <commctrl.h>

#include "channel/messages.h"
#include "fat/fue.h"
#include "ntfs/nue.h"
#include "res/resource.h"
#include "shell/main_window.h"
#include "shell/state.h"
#include "shell/views.h"

namespace rv::shell {
namespace {

void InitSearchBar(HWND bar) {
  EnableWindow(GetDlgItem(bar, IDC_SB_UNDELETE), FALSE);
  EnableWindow(GetDlgItem(bar, IDC_SB_STOP), FALSE);
  CheckDlgButton(bar, IDC_SB_SUBFOLDERS, BST_CHECKED);
  SetFocus(GetDlgItem(bar, IDC_SB_PATTERN));
}

void OnSearchBarCommand(HWND bar, WORD id, WORD code) {
  if (code == EN_SETFOCUS || code == CBN_SETFOCUS || code == BN_SETFOCUS) {
    Shell().activePane = ActivePane::DockedDialog;
    return;
  }
  if (id == IDC_SB_CLOSE && code == BN_CLICKED) {
    HWND main = Shell().mainWindow;
    CloseSearchBar();
    PostMessageW(main, WM_CLOSE, 0, 0);
  }
}

INT_PTR CALLBACK SearchBarProc(HWND bar, UINT msg, WPARAM wp, LPARAM) {
  switch (msg) {
    case WM_INITDIALOG: InitSearchBar(bar); return FALSE;  // the focus is set
    case WM_MOUSEACTIVATE:
    case WM_SETFOCUS: Shell().activePane = ActivePane::DockedDialog; return FALSE;
    case WM_COMMAND: OnSearchBarCommand(bar, LOWORD(wp), HIWORD(wp)); return TRUE;
    default: return FALSE;
  }
}

}  // namespace

bool CreateSearchBar(HWND mainWindow) {
  ShellState& s = Shell();
  HWND bar = CreateDialogParamW(s.resourceLibrary, MAKEINTRESOURCEW(IDD_SEARCH_BAR), mainWindow, SearchBarProc, 0);
  if (!bar) return false;
  s.searchBar = bar;
  ShowWindow(bar, SW_SHOW);
  LayoutChildren(mainWindow);
  s.activePane = ActivePane::DockedDialog;
  EmptyFileList();
  UseSearchColumns();
  RefreshMenu(mainWindow);
  if (s.progressBar) {
    SendMessageW(s.progressBar, PBM_SETPOS, 0, 0);
    ShowWindow(s.progressBar, SW_SHOW);
  }
  SetFocus(GetDlgItem(bar, IDC_SB_PATTERN));
  return true;
}

void CloseSearchBar() {
  ShellState& s = Shell();
  if (!s.searchBar) return;
  StopEnginesAndWait();
  ReleaseFueVolumeData(TheFueVolume());
  FreeNueVolumeDataStructures(TheNueVolume());
  DestroyWindow(s.searchBar);
  s.searchBar = nullptr;
  RefreshMenu(s.mainWindow);
  SetStatusText(0, LibraryString(159));
  if (s.progressBar) SendMessageW(s.progressBar, PBM_SETPOS, 0, 0);
  if (!s.closing) RestoreTree();
  LayoutChildren(s.mainWindow);
  EmptyFileList();
  UseTwoPaneColumns();
  SetWindowTextW(s.mainWindow, MainTitle().c_str());
  PostMessageW(s.mainWindow, WM_COMMAND, CMD_LIST_FOLDER, 0);
  if (s.progressBar) ShowWindow(s.progressBar, SW_HIDE);
  if (s.fileList) SetFocus(s.fileList);
}

bool SearchBarMessage(MSG& msg) {
  HWND bar = Shell().searchBar;
  return bar && IsDialogMessageW(bar, &msg);
}

void StopEnginesAndWait() {
  for (auto* state : {&g_ntfsRunState, &g_fatRunState}) {
    int32_t running = kEngineRunning;
    state->compare_exchange_strong(running, kEngineStopRequested);
  }
  // The engines poll the stop request between records; a few seconds is
  // far more than one record takes.
  for (int waited = 0; waited < 5000; waited += 20) {
    int32_t n = g_ntfsRunState.load(), f = g_fatRunState.load();
    bool busy = n == kEngineRunning || n == kEngineStopRequested || f == kEngineRunning || f == kEngineStopRequested;
    if (!busy) return;
    Sleep(20);
  }
}

}  // namespace rv::shell
