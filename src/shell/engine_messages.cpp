// The search engines' controller messages as the main window handles them:
// rows of the file list, the status and progress bars, the search bar's
// buttons and the engines' message boxes. Every payload is decoded by the
// core's receiver. The search worker's news (conditions, the deep scan's
// files and progress) is shown here too. (Recoveries run through the
// recovery session, on the window thread: see undelete_driver.cpp.)
#include <windows.h>
#include <commctrl.h>

#include "channel/receiver.h"
#include "res/resource.h"
#include "shell/command_states.h"
#include "shell/engines.h"
#include "shell/search_session.h"
#include "lost/lost_on_pass.h"
#include "shell/search_work.h"
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
      SearchSession& search = CurrentSearch();
      search.arrivals.push_back(AddFoundFile(file) ? static_cast<int32_t>(search.found.size() - 1) : -1);
    };
    e.onSearchStarted = OnSearchStarted;
    e.onSearchProgress = [](uint32_t percent, const Text&) { OnSearchProgress(percent); };
    e.onSearchFinished = OnSearchFinished;
    e.onShowMessage = [](const MessageBoxText& m) { ShowMessageBox(Wide(m.text), Wide(m.caption), m.style, m.slot); };
    return MessageReceiver(std::move(e), u"");
  }();
  return receiver;
}

// The found file of a found-file message, or -1.
int64_t FoundOfArrival(uint64_t arrival) {
  const SearchSession& search = CurrentSearch();
  return arrival < search.arrivals.size() ? search.arrivals[arrival] : -1;
}

// A carved file's row: "deep:<cluster>" in the locator's place (the id
// `retriva recover --deep --id` takes) and its format in the entry's.
std::array<Text, kResultColumns> CarvedTexts(const CarvedRow& row) {
  std::array<Text, kResultColumns> t = RowTexts(row.file, ListDateOrder());
  const std::string id = carve::CarvedId(row.carved);
  t[kColFirst] = Text(id.begin(), id.end());
  const std::string format = row.carved.row ? row.carved.row->name : "";
  t[kColSecond] = Text(format.begin(), format.end());
  return t;
}

// An old record's file: "old:<record offset>" in the locator's place and
// where it was found in the entry's.
void AddLostRows(std::vector<LostRow>& rows) {
  SearchSession& search = CurrentSearch();
  for (LostRow& row : rows) {
    SearchSession::FoundState state;
    state.lost = static_cast<int32_t>(search.lost.size());
    state.condition = row.condition;
    std::array<Text, kResultColumns> t = RowTexts(row.file, ListDateOrder());
    const std::string id = "old:" + std::to_string(row.lost.recordOffset), where = lost::FoundInText(row.lost.source);
    t[kColFirst] = Text(id.begin(), id.end());
    t[kColSecond] = Text(where.begin(), where.end());
    search.lost.push_back(std::move(row.lost));
    if (!AddFoundFile(row.file, state, &t)) search.lost.pop_back();
  }
}

void AddCarvedRows(std::vector<CarvedRow>& rows) {
  SearchSession& search = CurrentSearch();
  for (CarvedRow& row : rows) {
    SearchSession::FoundState state;
    state.carved = static_cast<int32_t>(search.carved.size());
    state.condition.share = 100;
    state.condition.carved = true;
    state.condition.truncated = row.carved.truncated;
    if (row.replaces >= 0) {
      // The deleted file's row stays; its bytes come from the carved file.
      const int64_t i = FoundOfArrival(static_cast<uint64_t>(row.replaces));
      if (i < 0) continue;
      search.carved.push_back(row.carved);
      search.states[static_cast<size_t>(i)] = state;
      continue;
    }
    search.carved.push_back(row.carved);
    const std::array<Text, kResultColumns> texts = CarvedTexts(row);
    if (!AddFoundFile(row.file, state, &texts)) search.carved.pop_back();
  }
}

}  // namespace

void HandleSearchNews() {
  SearchNews news = TakeSearchNews();
  SearchSession& search = CurrentSearch();
  if (news.generation != search.generation) return;  // of a search before this one
  for (const auto& [arrival, condition] : news.conditions) {
    const int64_t i = FoundOfArrival(arrival);
    if (i >= 0 && search.states[static_cast<size_t>(i)].carved < 0)
      search.states[static_cast<size_t>(i)].condition = condition;
  }
  if (news.deepSource) search.deepSource = news.deepSource;
  AddLostRows(news.lost);
  AddCarvedRows(news.carved);
  if (!news.conditions.empty() || !news.carved.empty() || !news.lost.empty()) RedrawConditions();
  if (news.deepPercent >= 0) {
    SetStatusText(0, LibraryString(IDS_STATUS_DEEP_SCAN));
    OnSearchProgress(static_cast<uint32_t>(news.deepPercent));
  }
  if (!news.deepError.empty()) {
    const std::string& why = news.deepError;
    ShowMessageBox(FormatLibraryString(IDS_DEEP_SCAN_FAILED, {TextView(Text(why.begin(), why.end()))}),
                   LibraryString(IDS_SEARCH_CAPTION), MB_OK | MB_ICONWARNING, -1);
  }
}

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
