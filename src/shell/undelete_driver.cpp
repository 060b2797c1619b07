#include "shell/undelete_driver.h"

#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "carve/recover_carved.h"
#include "lost/lost_recover.h"
#include "ntfs/nue.h"
#include "platform/text.h"
#include "recovery/deep_report.h"
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

// The deep scan's files among the chosen, copied from the volume the scan
// read: carved files with no deleted file behind them into carved/<ext>/
// of the destination (as `retriva recover --deep` does), the others and
// the old file system's files under their own names. NTFS records are
// written by the NTFS engine's writers over its volume record. Returns a
// report line per file; each file goes into `reportFile` when there is one.
std::vector<std::wstring> WriteDeepFiles(RecoverySession& session, const SearchSession& search,
                                         const std::vector<size_t>& chosen, RecoveryReportFile* reportFile) {
  std::vector<std::wstring> lines;
  if (chosen.empty()) return lines;
  std::lock_guard<std::recursive_mutex> hold(EngineLock());
  bool ntfsOpen = false;
  for (size_t i : chosen) {
    const int32_t l = search.states[i].lost;
    if (l >= 0 && search.lost[static_cast<size_t>(l)].source == lost::LostSource::NtfsRecord) {
      Text volume = search.searchedRoot;
      if (!volume.empty() && volume.back() == u'\\') volume.pop_back();
      ntfsOpen = SetupNueVolumeDataStructures(volume, TheNueVolume(), kTrue) != kFalse;
      break;
    }
  }
  OutputOptions output;
  output.destination = &session.Output();
  if (reportFile) output.observer = reportFile->Observer();
  ScopedOutputOptions scope(output);
  for (size_t i : chosen) {
    if (g_cancelled.load()) break;
    const FoundFile& file = search.found[i];
    const SearchSession::FoundState& state = search.states[i];
    Text folder = session.Destination(), written;
    uint32_t code = kResultNotRecovered;
    ReportedFile row;
    const std::string source = ToUtf8(file.path);
    if (state.lost >= 0) {
      const lost::LostFile& old = search.lost[static_cast<size_t>(state.lost)];
      lost::LostRecovery r;
      r.code = kResultNotRecovered;
      if (search.deepSource)
        r = lost::RecoverLostFile(*search.deepSource, ntfsOpen ? &TheNueVolume() : nullptr, old, folder);
      code = r.code;
      written = r.output;
      row = LostReportRow(old, source, LostId(old), r, VolumePlacement{});
    } else {
      const carve::CarvedFile& carved = search.carved[static_cast<size_t>(state.carved)];
      NotRecoveredReason why = NotRecoveredReason::FolderNotMade;
      // Without the scan's source there is nothing to read it from.
      const bool placed = search.deepSource && (file.folder.rfind(u"\\carved\\", 0) != 0 ||
                                                session.Output().MakeKeptFolder(file.folder, folder, why) != nullptr);
      uint64_t modified = 0;
      if (!FoundTimeToFileTime(file.timeKind, file.timeValue, modified)) modified = 0;
      const carve::CarvedWrite r =
          placed ? carve::WriteCarvedFile(*search.deepSource, carved, folder, file.name, written, &g_cancelled, modified)
                 : carve::CarvedWrite::NotCreated;
      code = r == carve::CarvedWrite::Written           ? kResultRecovered
             : r == carve::CarvedWrite::DestinationFull ? kResultDestinationTooSmall
                                                        : kResultNotRecovered;
      row = CarvedReportRow(carved, &file, source, carve::CarvedId(carved), code);
    }
    if (reportFile) {
      const bool ok = code == kResultRecovered || code == kResultPartlyInUse;
      reportFile->Add(std::move(row), ok ? ToUtf8(written) : std::string(), reportFile->TakeDigests());
    }
    const ReportLineChoice choice = ReportLineFor(code);
    lines.push_back(FormatLibraryString(choice.stringId, {TextView(choice.outputName ? written : file.path)}));
  }
  if (ntfsOpen) FreeNueVolumeDataStructures(TheNueVolume());
  return lines;
}

void ShowDestinationRefusal() {
  const std::wstring caption = LibraryString(IDS_UNDELETE_CAPTION), text = LibraryString(IDS_DESTINATION_NOT_CREATED);
  ShowMessageBox(text, caption, MB_OK | MB_ICONERROR, -1);
}

}  // namespace

void RunUndeleteDriver() {
  SearchSession& search = CurrentSearch();
  // The engine's files go through the recovery session; the deep scan's
  // (`carved`: carved files and old records' files) are copied from the
  // volume after them.
  std::vector<size_t> chosen = SelectedIndexes(), carved;
  std::vector<FoundFile> files;
  std::vector<size_t> fileIndexes;
  for (size_t i : chosen) {
    if (search.states[i].carved >= 0 || search.states[i].lost >= 0) {
      carved.push_back(i);
    } else {
      files.push_back(search.found[i]);
      fileIndexes.push_back(i);
    }
  }
  if (chosen.empty() || !search.engine || !EnginesIdle()) return;
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
  if (!carved.empty()) options.takeBackEmpty = false;  // the carved files are written after the session's
  RecoverySession session(*search.engine, ToUtf8(search.destination), options);
  ShellState& s = Shell();
  RecoveryReport report;
  std::vector<std::wstring> carvedLines;
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
      if (!files.empty()) report = session.Run(files, events);
      if (!report.Refused()) carvedLines = WriteDeepFiles(session, search, carved, reportFile.get());
    }
    SetCursor(old);
  }
  if (!prepared) return ShowDestinationRefusal();
  if (report.Refused())
    return ShowMessageBox(Wide(report.refusal.text), Wide(report.refusal.caption), report.refusal.style,
                          report.refusal.slot);
  // What the recovery read of each file tells of its condition: a guess,
  // and bytes that came back all zeros.
  for (const FileRecovery& f : report.files) {
    FileCondition& c = search.states[fileIndexes[f.index]].condition;
    c.zeroed = c.zeroed || f.zeroed;
    c.guessed = c.guessed || f.guessed;
  }
  RedrawConditions();
  if (reportFile) WriteReportBeside(session, *reportFile, search, files, report);
  std::vector<std::wstring> lines = ReportLines(files, report);
  lines.insert(lines.end(), carvedLines.begin(), carvedLines.end());
  DialogBoxParamW(s.resourceLibrary, MAKEINTRESOURCEW(IDD_UNDELETE_REPORT), s.mainWindow, ReportDialogProc,
                  reinterpret_cast<LPARAM>(&lines));
}

}  // namespace rv::shell
