#include "shell/undelete_driver.h"

#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/text.h"
#include "recovery/recovery_report.h"
#include "recovery/recovery_session.h"
#include "version_resource.h"
#include "res/resource.h"
#include "shell/engines.h"
#include "shell/results.h"
#include "shell/search_session.h"
#include "shell/state.h"
#include "shell/views.h"

namespace rv::shell {
namespace {

std::atomic<bool> g_cancelled{false};

std::wstring Wide(TextView t) { return std::wstring(t.begin(), t.end()); }
Text FromWide(const std::wstring& w) { return Text(w.begin(), w.end()); }

// The progress dialog, modal to the main window while the session runs on
// its thread: between messages of the engine only the dialog's own
// messages are handled, so its Cancel button works and nothing else starts.
class ProgressDialog {
 public:
  ProgressDialog() {
    ShellState& s = Shell();
    dialog_ = CreateDialogParamW(s.resourceLibrary, MAKEINTRESOURCEW(IDD_UNDELETE_PROGRESS), s.mainWindow, Proc, 0);
    if (!dialog_) return;
    EnableWindow(s.mainWindow, FALSE);
    SendDlgItemMessageW(dialog_, IDC_UP_BAR, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    ShowWindow(dialog_, SW_SHOW);
    Pump();
  }
  ~ProgressDialog() {
    if (!dialog_) return;
    EnableWindow(Shell().mainWindow, TRUE);
    DestroyWindow(dialog_);
  }
  ProgressDialog(const ProgressDialog&) = delete;
  ProgressDialog& operator=(const ProgressDialog&) = delete;

  void Show(uint32_t percent, const Text& name) {
    if (!dialog_) return;
    SendDlgItemMessageW(dialog_, IDC_UP_BAR, PBM_SETPOS, percent, 0);
    SetDlgItemTextW(dialog_, IDC_UP_TEXT, Wide(name).c_str());
    Pump();
  }

 private:
  void Pump() {
    MSG msg;
    while (PeekMessageW(&msg, dialog_, 0, 0, PM_REMOVE)) {
      if (IsDialogMessageW(dialog_, &msg)) continue;
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  static INT_PTR CALLBACK Proc(HWND, UINT msg, WPARAM wp, LPARAM) {
    if (msg == WM_INITDIALOG) return TRUE;
    if ((msg == WM_COMMAND && LOWORD(wp) == IDCANCEL) || msg == WM_CLOSE) {
      g_cancelled.store(true);
      RequestEngineStop();
      return TRUE;
    }
    return FALSE;
  }
  HWND dialog_ = nullptr;
};

// A line per file asked: what the report says of its result.
std::vector<std::wstring> ReportLines(const std::vector<FoundFile>& files, const RecoveryReport& report) {
  std::vector<std::wstring> lines;
  for (const FileRecovery& f : report.files) {
    const ReportLineChoice choice = ReportLineFor(f.result.code);
    const Text& name = choice.outputName ? f.result.output : files[f.index].path;
    lines.push_back(FormatLibraryString(choice.stringId, {TextView(name)}));
  }
  return lines;
}

INT_PTR CALLBACK ReportDialogProc(HWND dialog, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_INITDIALOG: {
      const auto& lines = *reinterpret_cast<const std::vector<std::wstring>*>(lp);
      HWND box = GetDlgItem(dialog, IDC_UR_LIST);
      int widest = 0;
      HDC dc = GetDC(box);
      HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(box, WM_GETFONT, 0, 0)));
      for (const auto& line : lines) {
        SendMessageW(box, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
        SIZE size{};
        GetTextExtentPoint32W(dc, line.c_str(), static_cast<int>(line.size()), &size);
        widest = std::max<int>(widest, size.cx);
      }
      SelectObject(dc, old);
      ReleaseDC(box, dc);
      // Long lines scroll sideways rather than being cut.
      SendMessageW(box, LB_SETHORIZONTALEXTENT, widest + 8, 0);
      return TRUE;
    }
    case WM_COMMAND:
      // Only OK closes the report.
      if (LOWORD(wp) == IDOK) EndDialog(dialog, IDOK);
      return TRUE;
    default: return FALSE;
  }
}

// The report of the recovery as a new file beside the recovered files;
// said in a box when it cannot be written.
void WriteReportBeside(RecoverySession& session, RecoveryReportFile& file, const SearchSession& search,
                       const std::vector<FoundFile>& files, const RecoveryReport& report) {
  const std::string text = file.Text(ReportFormat::Csv, search.engine, files, report);
  Text written;
  const Text name = FromWide(LibraryString(IDS_REPORT_FILE_NAME));
  if (WriteNewFileIn(session.Output(), name, text, written)) return;
  const std::wstring caption = LibraryString(IDS_UNDELETE_CAPTION);
  ShowMessageBox(FormatLibraryString(IDS_REPORT_NOT_WRITTEN, {TextView(session.Destination())}), caption,
                 MB_OK | MB_ICONWARNING, -1);
}

ReportHeader HeaderOf(const SearchSession& search) {
  ReportHeader h;
  h.volume = ToUtf8(search.searchedRoot);
  h.fileSystem = search.engine ? std::string(search.engine->name) : std::string();
  h.tool = std::string("quorvex ") + RV_VERSION_TEXT;
  return h;
}

void ShowDestinationRefusal() {
  const std::wstring caption = LibraryString(IDS_UNDELETE_CAPTION), text = LibraryString(IDS_DESTINATION_NOT_CREATED);
  ShowMessageBox(text, caption, MB_OK | MB_ICONERROR, -1);
}

}  // namespace

void RunUndeleteDriver() {
  SearchSession& search = CurrentSearch();
  const std::vector<FoundFile> files = SelectedFiles();
  if (files.empty() || !search.engine || !EnginesIdle()) return;
  RecoveryOptions options;
  options.searchedRoot = search.searchedRoot;
  options.stop = &g_cancelled;
  std::unique_ptr<RecoveryReportFile> reportFile;
  if (search.writeReport) {
    reportFile = std::make_unique<RecoveryReportFile>(HeaderOf(search));
    options.observer = reportFile->Observer();
    // The report stays beside the files even when none could be written.
    options.takeBackEmpty = false;
  }
  RecoverySession session(*search.engine, ToUtf8(search.destination), options);
  ShellState& s = Shell();
  RecoveryReport report;
  bool prepared = false;
  {
    const BusyScope recovering;
    HCURSOR old = SetCursor(s.waitCursor);
    g_cancelled.store(false);
    prepared = session.Prepare().Accepted();
    if (prepared) {
      ProgressDialog progress;
      RecoveryEvents events;
      events.onProgress = [&](uint32_t percent, const Text& name) { progress.Show(percent, name); };
      if (reportFile) events.onResult = [&](size_t i) { reportFile->ResultArrived(i); };
      report = session.Run(files, events);
    }
    SetCursor(old);
  }
  if (!prepared) return ShowDestinationRefusal();
  if (report.Refused())
    return ShowMessageBox(Wide(report.refusal.text), Wide(report.refusal.caption), report.refusal.style,
                          report.refusal.slot);
  if (reportFile) WriteReportBeside(session, *reportFile, search, files, report);
  std::vector<std::wstring> lines = ReportLines(files, report);
  DialogBoxParamW(s.resourceLibrary, MAKEINTRESOURCEW(IDD_UNDELETE_REPORT), s.mainWindow, ReportDialogProc,
                  reinterpret_cast<LPARAM>(&lines));
}

}  // namespace rv::shell
