// The engines' controller messages as the main window handles them: rows
// of the file list, the status and progress bars, the search bar's
// buttons, the undelete progress dialog, the undelete report and the
// engines' message boxes. Every payload is decoded by the core's receiver.
#include <windows.h>
#include <commctrl.h>

#include <memory>

#include "channel/chashtbl.h"
#include "channel/receiver.h"
#include "res/resource.h"
#include "shell/engines.h"
#include "shell/main_window.h"
#include "shell/results.h"
#include "shell/state.h"
#include "shell/views.h"

namespace rv::shell {
namespace {

std::unique_ptr<Chashtbl> g_report;  // the undelete report, one line per result
HWND g_progressDialog = nullptr;
int g_shortenedPaths = 0;  // found paths the fixed-size header held shortened

std::wstring Wide(TextView t) { return std::wstring(t.begin(), t.end()); }

HWND BarItem(int id) { return Shell().searchBar ? GetDlgItem(Shell().searchBar, id) : nullptr; }
void EnableBarItem(int id, bool enable) {
  if (HWND item = BarItem(id)) EnableWindow(item, enable);
}

void SetProgress(int percent) {
  if (Shell().progressBar) SendMessageW(Shell().progressBar, PBM_SETPOS, percent, 0);
}

void OnSearchStarted() {
  g_shortenedPaths = 0;
  SetStatusText(0, LibraryString(296));
  SetStatusText(3, L"0%");
  EnableBarItem(IDC_SB_STOP, true);
  EnableBarItem(IDC_SB_CLOSE, false);
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
  SetStatusText(0, LibraryString(293));
  SetStatusText(3, L"");
  SetProgress(0);
  // The bar lies over the summary: once the search is over the summary
  // shows instead.
  if (s.progressBar) ShowWindow(s.progressBar, SW_HIDE);
  RefreshSummary();
  FitResultColumns();
  if (!s.searchBar) return;
  EnableBarItem(IDC_SB_UNDELETE, true);
  EnableBarItem(IDC_SB_SEARCH, true);
  HWND stop = BarItem(IDC_SB_STOP);
  EnableWindow(stop, FALSE);
  SendMessageW(stop, BM_SETSTYLE, BS_PUSHBUTTON, TRUE);
  EnableBarItem(IDC_SB_CLOSE, true);
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

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT msg, WPARAM wp, LPARAM) {
  switch (msg) {
    case WM_INITDIALOG:
      g_progressDialog = dialog;
      SendDlgItemMessageW(dialog, IDC_UP_BAR, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wp) == IDCANCEL) RequestEngineStop();
      g_progressDialog = nullptr;
      EndDialog(dialog, LOWORD(wp));
      return TRUE;
    case WM_CLOSE:
      g_progressDialog = nullptr;
      EndDialog(dialog, IDCLOSE);
      return TRUE;
    default: return FALSE;
  }
}

void OnFileStarted() {
  if (!g_report) g_report = std::make_unique<Chashtbl>();
  if (g_progressDialog) return;
  // Modal: the queued progress, results and the end of the undelete are
  // handled inside its loop, and the end closes it.
  DialogBoxParamW(Shell().resourceLibrary, MAKEINTRESOURCEW(IDD_UNDELETE_PROGRESS), Shell().mainWindow,
                  ProgressDialogProc, 0);
  g_progressDialog = nullptr;
}

void OnUndeleteProgress(uint32_t percent, const Text& name) {
  if (!g_progressDialog) return;
  SendDlgItemMessageW(g_progressDialog, IDC_UP_BAR, PBM_SETPOS, percent, 0);
  SetDlgItemTextW(g_progressDialog, IDC_UP_TEXT, Wide(name).c_str());
}

void OnResult(const UndeleteOutcome& result) {
  if (!g_report) g_report = std::make_unique<Chashtbl>();
  ReportLineChoice choice = ReportLineFor(result.code);
  const Text& name = choice.outputName ? result.output : result.source;
  std::wstring line = FormatLibraryString(choice.stringId, {TextView(name)});
  g_report->Append(Text(line.begin(), line.end()));
}

void OnUndeleteFinished() {
  if (g_progressDialog) {
    HWND dialog = g_progressDialog;
    g_progressDialog = nullptr;
    EndDialog(dialog, IDOK);
  }
  EnableBarItem(IDC_SB_STOP, false);
  EnableBarItem(IDC_SB_CLOSE, true);
}

INT_PTR CALLBACK ReportDialogProc(HWND dialog, UINT msg, WPARAM wp, LPARAM) {
  switch (msg) {
    case WM_INITDIALOG: {
      HWND box = GetDlgItem(dialog, IDC_UR_LIST);
      int widest = 0;
      HDC dc = GetDC(box);
      HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(box, WM_GETFONT, 0, 0)));
      if (g_report) {
        g_report->Rewind();
        while (const Chashtbl::Node* node = g_report->Next()) {
          auto text = reinterpret_cast<const wchar_t*>(node->text);
          SendMessageW(box, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
          SIZE size{};
          GetTextExtentPoint32W(dc, text, lstrlenW(text), &size);
          widest = std::max<int>(widest, size.cx);
        }
      }
      SelectObject(dc, old);
      ReleaseDC(box, dc);
      // Long lines scroll sideways rather than being cut.
      SendMessageW(box, LB_SETHORIZONTALEXTENT, widest + 8, 0);
      return TRUE;
    }
    case WM_COMMAND:
      // Only OK closes the report; it takes the lines with it.
      if (LOWORD(wp) == IDOK) {
        g_report.reset();
        EndDialog(dialog, IDOK);
      }
      return TRUE;
    default: return FALSE;
  }
}

void OnUndeleteReport() {
  DialogBoxParamW(Shell().resourceLibrary, MAKEINTRESOURCEW(IDD_UNDELETE_REPORT), Shell().mainWindow,
                  ReportDialogProc, 0);
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
    e.onFileStarted = [](uint32_t, const Text&) { OnFileStarted(); };
    e.onUndeleteProgress = OnUndeleteProgress;
    e.onResult = OnResult;
    e.onUndeleteFinished = OnUndeleteFinished;
    e.onUndeleteReport = OnUndeleteReport;
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
