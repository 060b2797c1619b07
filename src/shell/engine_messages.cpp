// The search engines' controller messages as the main window handles them:
// rows of the file list, the status and progress bars, the search bar's
// buttons and the engines' message boxes. Every payload is decoded by the
// core's receiver. (Recoveries run through the recovery session, on the
// window thread: see undelete_driver.cpp.)
#include <windows.h>
#include <commctrl.h>

#include "channel/receiver.h"
#include "res/resource.h"
#include "shell/command_states.h"
#include "shell/engines.h"
#include "shell/search_session.h"
#include "shell/results.h"
#include "shell/state.h"
#include "shell/views.h"

namespace rv::shell {
namespace {

int g_shortenedPaths = 0;  // found paths the fixed-size header held shortened

std::wstring Wide(TextView t) { return std::wstring(t.begin(), t.end()); }

HWND BarItem(int id) { return Shell().searchBar ? GetDlgItem(Shell().searchBar, id) : nullptr; }

void SetProgress(int percent) {
  if (Shell().progressBar) SendMessageW(Shell().progressBar, PBM_SETPOS, percent, 0);
}

void OnSearchStarted() {
  g_shortenedPaths = 0;
  SetStatusText(0, LibraryString(IDS_STATUS_SEARCHING));
  SetStatusText(3, L"0%");
  CurrentSearch().phase = SearchPhase::Running;
  UpdateCommandStates();
  if (HWND stop = BarItem(IDC_SB_STOP)) SetFocus(stop);
  if (Shell().progressBar) ShowWindow(Shell().progressBar, SW_SHOW);
}

void OnSearchProgress(uint32_t percent) {
  wchar_t text[16];
  wsprintfW(text, L"%d%%", static_cast<int>(percent));
  SetStatusText(3, text);
  SetProgress(static_cast<int>(percent));
}

void OnSearchFinished() {
  ShellState& s = Shell();
  SetStatusText(0, LibraryString(IDS_STATUS_SEARCH_FINISHED));
  SetStatusText(3, L"");
  SetProgress(0);
  // The bar lies over the summary: once the search is over the summary
  // shows instead.
  if (s.progressBar) ShowWindow(s.progressBar, SW_HIDE);
  RefreshSummary();
  FitResultColumns();
  CurrentSearch().phase = SearchPhase::Ended;
  UpdateCommandStates();
  if (!s.searchBar) return;
  SendMessageW(BarItem(IDC_SB_STOP), BM_SETSTYLE, BS_PUSHBUTTON, TRUE);
  SendMessageW(s.searchBar, DM_SETDEFID, IDC_SB_CLOSE, 0);
  SendMessageW(BarItem(IDC_SB_CLOSE), BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
  SetFocus(BarItem(IDC_SB_CLOSE));
  // Long paths are listed in full; the list cuts what it cannot show. The
  // note is the tip of part 0, whose 165 pixels hold string 293 alone.
  std::wstring note = g_shortenedPaths > 0 && s.fileList
                          ? FormatLibraryString(IDS_LONG_PATHS, {static_cast<int64_t>(g_shortenedPaths)})
                          : std::wstring();
  if (s.statusBar) SendMessageW(s.statusBar, SB_SETTIPTEXTW, 0, reinterpret_cast<LPARAM>(note.c_str()));
}

MessageReceiver& Receiver() {
  static MessageReceiver receiver = [] {
    ReceiverEvents e;
    e.onFound = [](FoundFile& file) {
      if (file.pathShortened) ++g_shortenedPaths;
      AddFoundFile(file);
    };
    e.onSearchStarted = OnSearchStarted;
    e.onSearchProgress = [](uint32_t percent, const Text&) { OnSearchProgress(percent); };
    e.onSearchFinished = OnSearchFinished;
    e.onShowMessage = [](const MessageBoxText& m) { ShowMessageBox(Wide(m.text), Wide(m.caption), m.style, m.slot); };
    return MessageReceiver(std::move(e), u"");
  }();
  return receiver;
}

}  // namespace

void ShowMessageBox(const std::wstring& text, const std::wstring& caption, unsigned style, int slot) {
  ShellState& s = Shell();
  bool slotted = slot >= 0 && slot < kMessageSlots;
  if (slotted) {
    if (s.messageSlots[slot]) return;  // a box of this class is open
    s.messageSlots[slot] = true;
  }
  MessageBoxW(s.mainWindow, text.c_str(), caption.c_str(), style);
  if (slotted) s.messageSlots[slot] = false;
}

void HandleEngineMessage(unsigned id, HGLOBAL payload) {
  const uint8_t* bytes = nullptr;
  size_t size = 0;
  if (payload) {
    bytes = static_cast<const uint8_t*>(GlobalLock(payload));
    size = bytes ? GlobalSize(payload) : 0;
  }
  Receiver().Receive(id, bytes, size);
  if (bytes) GlobalUnlock(payload);
}

}  // namespace rv::shell
