// The search panel: criteria for the recovery service on three tabbed
// pages (name and folder, date, owner and deleter), docked above the file
// list. What it builds goes to the service session, which in this program
// answers without searching.
#include "shell/two_pane/search_panel.h"

#include <commctrl.h>

#include <algorithm>
#include <iterator>
#include <tuple>

#include "shell/two_pane/criteria.h"
#include "shell/layout.h"
#include "res/resource.h"
#include "shell/command_states.h"
#include "shell/controls.h"
#include "shell/test_seam.h"
#include "shell/registry.h"
#include "shell/search_bar.h"
#include "shell/settings.h"
#include "shell/state.h"
#include "shell/views.h"

namespace rv::shell {
namespace {

constexpr UINT kCriteriaRequest = 532;
constexpr int kPages = 3;
constexpr UINT kPageDialogs[kPages] = {IDD_PAGE_NAME, IDD_PAGE_DATE, IDD_PAGE_OWNER};
constexpr uint32_t kMinDays = 1, kMaxDays = 10000;
// Combo boxes reach to the page's right edge less this much (the date
// page's kind combo less more, for the space its check box label needs).
constexpr int kComboMargin = 14;
constexpr int kDateComboMargin = 34;

HWND g_pages[kPages] = {};
bool g_running = false;

Text ToText(const std::wstring& w) { return Text(w.begin(), w.end()); }

struct PageList {
  int control;
  const RecentListName* name;
};
constexpr PageList kPageLists[] = {{IDC_PN_PATTERN, &kSearchStrings}, {IDC_PN_FOLDER, &kSearchPaths},
                                   {IDC_PO_OWNER, &kOwners}, {IDC_PO_DELETER, &kDeleters}};

void LoadPageLists(HWND page) {
  RegistryStore store;
  for (const auto& l : kPageLists)
    if (HWND combo = GetDlgItem(page, l.control)) {
      ComboList list(combo);
      LoadRecentList(list, store, *l.name, kRecentListMax);
    }
}

void SavePageLists(HWND page) {
  RegistryStore store;
  for (const auto& l : kPageLists)
    if (HWND combo = GetDlgItem(page, l.control)) {
      ComboList list(combo);
      SaveRecentList(list, store, *l.name, kRecentListMax);
    }
}

void Enable(HWND page, int id, bool on) { EnableWindow(GetDlgItem(page, id), on ? TRUE : FALSE); }
bool Checked(HWND page, int id) { return IsDlgButtonChecked(page, id) == BST_CHECKED; }

// ---- Date page -----------------------------------------------------------------------

void UpdateDateControls(HWND page) {
  const bool on = Checked(page, IDC_PD_ON);
  for (int id : {IDC_PD_KIND, IDC_PD_LAST_DAYS, IDC_PD_BETWEEN, IDC_PD_DAYS_LABEL, IDC_PD_AND_LABEL}) Enable(page, id, on);
  const bool between = Checked(page, IDC_PD_BETWEEN);
  Enable(page, IDC_PD_FROM, on && between);
  Enable(page, IDC_PD_TO, on && between);
  Enable(page, IDC_PD_DAYS, on && !between);
  Enable(page, IDC_PD_SPIN, on && !between);
}

uint64_t LocalNow() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  FILETIME ft;
  SystemTimeToFileTime(&now, &ft);
  return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

SYSTEMTIME ToSystemTime(uint64_t value) {
  FILETIME ft{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
  SYSTEMTIME st{};
  FileTimeToSystemTime(&ft, &st);
  return st;
}

// A picker's date as a local FILETIME value, no time-zone shift.
uint64_t PickerValue(HWND page, int id) {
  SYSTEMTIME st{};
  SendDlgItemMessageW(page, id, DTM_GETSYSTEMTIME, 0, reinterpret_cast<LPARAM>(&st));
  FILETIME ft{};
  SystemTimeToFileTime(&st, &ft);
  return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

void InitDatePage(HWND page) {
  ShellState& s = Shell();
  HWND kind = GetDlgItem(page, IDC_PD_KIND);
  for (UINT id : {351u, 352u}) {
    std::wstring text = LibraryString(id);
    SendMessageW(kind, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
  }
  SendMessageW(kind, CB_SETCURSEL, 0, 0);
  SendDlgItemMessageW(page, IDC_PD_SPIN, UDM_SETRANGE32, kMinDays, kMaxDays);
  SendDlgItemMessageW(page, IDC_PD_SPIN, UDM_SETPOS32, 0, 1);
  CheckDlgButton(page, IDC_PD_BETWEEN, BST_CHECKED);
  SYSTEMTIME range[2] = {{1980, 1, 0, 1, 0, 0, 0, 0}, {2099, 12, 0, 30, 23, 59, 59, 999}};
  const uint64_t now = LocalNow();
  SYSTEMTIME yesterday = ToSystemTime(now - kFiletimeDay), today = ToSystemTime(now);
  for (int id : {IDC_PD_FROM, IDC_PD_TO}) SendDlgItemMessageW(page, id, DTM_SETRANGE, GDTR_MIN | GDTR_MAX, reinterpret_cast<LPARAM>(range));
  SendDlgItemMessageW(page, IDC_PD_FROM, DTM_SETSYSTEMTIME, GDT_VALID, reinterpret_cast<LPARAM>(&yesterday));
  SendDlgItemMessageW(page, IDC_PD_TO, DTM_SETSYSTEMTIME, GDT_VALID, reinterpret_cast<LPARAM>(&today));
  // A date filter needs a service that keeps dates (level 3 and up).
  Enable(page, IDC_PD_ON, s.serviceLevel > 2);
  UpdateDateControls(page);
}

bool ReadDatePage(HWND page, SearchCriteria& c) {
  if (!Checked(page, IDC_PD_ON)) {
    c.dateFlags = 0;
    return true;
  }
  LRESULT kind = SendDlgItemMessageW(page, IDC_PD_KIND, CB_GETCURSEL, 0, 0);
  c.dateFlags = kDateOn | ((kind != CB_ERR && (kind & 1)) ? uint32_t{kDateKindBit} : 0u);
  if (Checked(page, IDC_PD_LAST_DAYS)) {
    BOOL ok = FALSE;
    UINT days = GetDlgItemInt(page, IDC_PD_DAYS, &ok, FALSE);
    days = std::clamp<UINT>(ok ? days : kMinDays, kMinDays, kMaxDays);
    c.firstTime = LastDaysStart(LocalNow(), days);
    c.secondTime = 0;
  } else {
    c.dateFlags |= kDateRange;
    TimeRange r = DaysBetween(PickerValue(page, IDC_PD_FROM), PickerValue(page, IDC_PD_TO));
    c.firstTime = r.first;
    c.secondTime = r.second;
  }
  return true;
}

// ---- Owner and deleter page ------------------------------------------------------------

void UpdateOwnerControls(HWND page) {
  const bool allowed = Shell().serviceLevel >= 3;
  Enable(page, IDC_PO_OWNER_ON, allowed);
  Enable(page, IDC_PO_DELETER_ON, allowed);
  Enable(page, IDC_PO_OWNER, allowed && Checked(page, IDC_PO_OWNER_ON));
  Enable(page, IDC_PO_DELETER, allowed && Checked(page, IDC_PO_DELETER_ON));
}

bool ReadOwnerPage(HWND page, SearchCriteria& c) {
  c.ownerFlags = 0;
  for (auto [check, combo, flag, out] : {std::tuple{IDC_PO_OWNER_ON, IDC_PO_OWNER, kOwnerGiven, &c.owner},
                                         std::tuple{IDC_PO_DELETER_ON, IDC_PO_DELETER, kDeleterGiven, &c.deleter}}) {
    if (!Checked(page, check) || !IsWindowEnabled(GetDlgItem(page, check))) continue;
    ComboList list(GetDlgItem(page, combo));
    size_t length = 0;
    ReadComboText(list, *out, length, kRecentListMax);
    c.ownerFlags |= flag;
  }
  return true;
}

// ---- Name and folder page --------------------------------------------------------------

void InitNamePage(HWND page) {
  CheckDlgButton(page, IDC_PN_SUBFOLDERS, BST_CHECKED);
  // The tree's selection is where the search starts, its root meaning none.
  HWND tree = Shell().volumeTree;
  HTREEITEM selected = tree ? TreeView_GetSelection(tree) : nullptr;
  if (selected && selected != TreeView_GetRoot(tree)) {
    std::wstring path = TreeSelectionPath();
    size_t cut = path.find(L'\\');  // the machine's name comes first
    SetDlgItemTextW(page, IDC_PN_FOLDER, cut == std::wstring::npos ? L"" : path.substr(cut + 1).c_str());
  }
  SetFocus(GetDlgItem(page, IDC_PN_PATTERN));
}

MachineRecord* CurrentMachine() {
  ShellState& s = Shell();
  if (!s.session) return nullptr;
  MachineRecord* m = s.session->Current();
  if (!m) m = &s.session->SelectMachine(ToText(s.targetComputer));
  if (m->volumes.empty()) m->volumes = TestSeamVolumes();
  return m;
}

bool ReadNamePage(HWND page, SearchCriteria& c) {
  c.nameFlags = 0;
  ComboList names(GetDlgItem(page, IDC_PN_PATTERN));
  size_t length = 0;
  Text pattern;
  ReadComboText(names, pattern, length, kRecentListMax);
  if (PatternGiven(pattern)) {
    c.nameFlags |= kNameGiven;
    c.pattern = pattern;
  }
  ComboList folders(GetDlgItem(page, IDC_PN_FOLDER));
  Text folder;
  ReadComboText(folders, folder, length, kRecentListMax);
  if (Checked(page, IDC_PN_SUBFOLDERS)) c.nameFlags |= kSubfolders;
  if (!FolderGiven(folder)) return true;
  folder = WithTrailingSeparator(folder);
  MachineRecord* machine = CurrentMachine();
  static const std::vector<DestinationVolume> kNone;
  const auto& volumes = machine ? machine->volumes : kNone;
  // A name with an apostrophe is a volume's display name: the volume's own
  // path stands for it, and nothing can be searched without one.
  if (folder.find(u'\'') != Text::npos) {
    auto at = std::find_if(volumes.begin(), volumes.end(), [&](const DestinationVolume& v) {
      return !v.displayPath.empty() && folder.compare(0, v.displayPath.size(), v.displayPath) == 0;
    });
    if (at == volumes.end()) return false;
    folder = at->name + folder.substr(std::min(folder.size(), at->displayPath.size() + 1));
  }
  TextView rest;
  if (!FindVolumeOf(folder, volumes, rest)) {
    std::wstring title = LibraryString(316), text = LibraryString(317);
    MessageBoxW(Shell().mainWindow, text.c_str(), title.c_str(), MB_OK | MB_ICONWARNING);
    return false;
  }
  c.nameFlags |= kFolderGiven;
  c.folder = u"\\" + Text(rest);
  return true;
}

// ---- Pages -----------------------------------------------------------------------------

INT_PTR CALLBACK PageProc(HWND page, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_INITDIALOG:
      LoadPageLists(page);
      switch (lp) {
        case IDD_PAGE_NAME: InitNamePage(page); break;
        case IDD_PAGE_DATE: InitDatePage(page); break;
        case IDD_PAGE_OWNER: UpdateOwnerControls(page); break;
        default: break;
      }
      return FALSE;
    case WM_DESTROY: SavePageLists(page); return FALSE;
    case WM_COMMAND:
      if (HIWORD(wp) != BN_CLICKED) return FALSE;
      switch (LOWORD(wp)) {
        case IDC_PD_LAST_DAYS:
        case IDC_PD_BETWEEN:
          // The two forms exclude each other (the labels between them end
          // the dialog's own radio group).
          CheckDlgButton(page, LOWORD(wp) == IDC_PD_LAST_DAYS ? IDC_PD_BETWEEN : IDC_PD_LAST_DAYS, BST_UNCHECKED);
          CheckDlgButton(page, LOWORD(wp), BST_CHECKED);
          UpdateDateControls(page);
          return TRUE;
        case IDC_PD_ON: UpdateDateControls(page); return TRUE;
        case IDC_PO_OWNER_ON:
        case IDC_PO_DELETER_ON: UpdateOwnerControls(page); return TRUE;
        case IDC_PN_BROWSE: StartFolderBrowse(page, 303, IDC_PN_FOLDER); return TRUE;
        default: return FALSE;
      }
    default: return FALSE;
  }
}

// The buttons keep to the panel's right edge and the tab control takes the
// rest of its width, however narrow the right pane is.
void LayoutPanel(HWND panel) {
  RECT client;
  GetClientRect(panel, &client);
  HWND tabs = GetDlgItem(panel, IDC_SP_TABS);
  RECT t;
  GetWindowRect(tabs, &t);
  MapWindowPoints(nullptr, panel, reinterpret_cast<POINT*>(&t), 2);
  int buttonLeft = client.right;
  for (int id : {IDC_SP_SEARCH, IDC_SP_STOP, IDC_SP_CLOSE}) {
    HWND b = GetDlgItem(panel, id);
    RECT r;
    GetWindowRect(b, &r);
    MapWindowPoints(nullptr, panel, reinterpret_cast<POINT*>(&r), 2);
    int x = client.right - (r.right - r.left) - t.left;
    SetWindowPos(b, nullptr, x, r.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    buttonLeft = std::min<int>(buttonLeft, x);
  }
  SetWindowPos(tabs, nullptr, 0, 0, std::max<int>(120, buttonLeft - 2 * t.left), t.bottom - t.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// Each page fills the tab's display area; its combo boxes reach its right edge.
void LayoutPages(HWND panel) {
  LayoutPanel(panel);
  HWND tabs = GetDlgItem(panel, IDC_SP_TABS);
  RECT area;
  GetWindowRect(tabs, &area);
  MapWindowPoints(nullptr, panel, reinterpret_cast<POINT*>(&area), 2);
  RECT tabRect = area;
  TabCtrl_AdjustRect(tabs, FALSE, &area);
  const int width = (tabRect.right - tabRect.left) - 4;
  for (HWND page : g_pages) {
    if (!page) continue;
    SetWindowPos(page, HWND_TOP, tabRect.left + 2, area.top, width, area.bottom - area.top, SWP_NOACTIVATE);
    for (HWND c = GetWindow(page, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
      wchar_t cls[16] = {};
      GetClassNameW(c, cls, 16);
      if (lstrcmpiW(cls, L"ComboBox") != 0) continue;
      RECT r;
      GetWindowRect(c, &r);
      MapWindowPoints(nullptr, page, reinterpret_cast<POINT*>(&r), 2);
      int margin = GetDlgCtrlID(c) == IDC_PD_KIND ? kDateComboMargin : kComboMargin;
      // A combo followed by a button keeps the button's room.
      HWND next = GetWindow(c, GW_HWNDNEXT);
      wchar_t nextClass[16] = {};
      if (next) GetClassNameW(next, nextClass, 16);
      if (next && lstrcmpiW(nextClass, L"Button") == 0 && GetDlgCtrlID(next) == IDC_PN_BROWSE) {
        RECT b;
        GetWindowRect(next, &b);
        MapWindowPoints(nullptr, page, reinterpret_cast<POINT*>(&b), 2);
        int bw = b.right - b.left;
        SetWindowPos(next, nullptr, width - margin - bw, b.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        SetWindowPos(c, nullptr, 0, 0, std::max<int>(40, width - margin - bw - 4 - r.left), r.bottom - r.top,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        continue;
      }
      SetWindowPos(c, nullptr, 0, 0, std::max<int>(40, width - margin - r.left), r.bottom - r.top,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
  }
}

void ShowPage(HWND panel) {
  int current = TabCtrl_GetCurSel(GetDlgItem(panel, IDC_SP_TABS));
  for (int i = 0; i < kPages; ++i)
    if (g_pages[i]) ShowWindow(g_pages[i], i == current ? SW_SHOW : SW_HIDE);
}

// ---- Panel -----------------------------------------------------------------------------

bool BuildSearchCriteria(SearchCriteria& c) {
  return ReadNamePage(g_pages[0], c) && ReadDatePage(g_pages[1], c) && ReadOwnerPage(g_pages[2], c);
}

void OnPanelSearch(HWND panel) {
  ShellState& s = Shell();
  if (g_running) return;
  SearchCriteria c;
  if (!BuildSearchCriteria(c)) return;
  EmptyFileList();
  SetStatusText(0, LibraryString(296));
  std::vector<uint8_t> block = s.serviceLevel <= 2 ? BuildShortCriteria(c) : BuildCriteriaBlock(c);
  TestSeamRecordRequest(kCriteriaRequest, block.data(), static_cast<uint32_t>(block.size()));
  if (s.session) s.session->Request(kCriteriaRequest, block.data(), static_cast<uint32_t>(block.size()));
  g_running = true;
  UpdateCommandStates();
  SendMessageW(panel, DM_SETDEFID, IDC_SP_STOP, 0);
}

void OnPanelStop(HWND panel) {
  // Nothing answers to say the search ended: the status says it stopped.
  if (g_running) SetStatusText(0, LibraryString(295));
  g_running = false;
  UpdateCommandStates();
  SendMessageW(panel, DM_SETDEFID, IDC_SP_SEARCH, 0);
  SetFocus(GetDlgItem(panel, IDC_SP_SEARCH));
}

void InitPanel(HWND panel) {
  HWND tabs = GetDlgItem(panel, IDC_SP_TABS);
  for (int i = 0; i < kPages; ++i) {
    std::wstring title = LibraryString(IDS_TAB_NAME + i);
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = title.data();
    TabCtrl_InsertItem(tabs, i, &item);
  }
  for (int i = 0; i < kPages; ++i)
    g_pages[i] = CreateDialogParamW(Shell().resourceLibrary, MAKEINTRESOURCEW(kPageDialogs[i]), panel, PageProc,
                                    kPageDialogs[i]);
  TabCtrl_SetCurSel(tabs, 0);
  LayoutPages(panel);
  ShowPage(panel);
  g_running = false;
}

INT_PTR CALLBACK PanelProc(HWND panel, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_INITDIALOG: InitPanel(panel); return FALSE;
    case WM_SIZE: LayoutPages(panel); return FALSE;
    case WM_NOTIFY: {
      auto* h = reinterpret_cast<NMHDR*>(lp);
      if (h->idFrom == IDC_SP_TABS && h->code == TCN_SELCHANGE) ShowPage(panel);
      return FALSE;
    }
    case WM_COMMAND:
      if (HIWORD(wp) != BN_CLICKED) return FALSE;
      switch (LOWORD(wp)) {
        case IDOK:
        case IDC_SP_SEARCH:
          if (IsWindowEnabled(GetDlgItem(panel, IDC_SP_SEARCH))) OnPanelSearch(panel);
          return TRUE;
        case IDC_SP_STOP: OnPanelStop(panel); return TRUE;
        case IDC_SP_CLOSE: CloseSearchPanel(); return TRUE;
        default: return FALSE;
      }
    case WM_DESTROY:
      // The pages save their lists as they go.
      for (HWND& page : g_pages) page = nullptr;
      return FALSE;
    default: return FALSE;
  }
}

}  // namespace

void OpenSearchPanel(HWND window) {
  ShellState& s = Shell();
  RememberFileListWidths();
  SetWindowTextW(window, MainTitle().c_str());
  HWND panel = CreateDialogParamW(s.resourceLibrary, MAKEINTRESOURCEW(IDD_SEARCH_PANEL), window, PanelProc, 0);
  if (!panel) return;
  s.searchPanel = panel;
  ShowWindow(panel, SW_SHOW);
  LayoutChildren(window);
  UpdateCommandStates();
  if (g_pages[0]) SetFocus(GetDlgItem(g_pages[0], IDC_PN_PATTERN));
}

void CloseSearchPanel() {
  ShellState& s = Shell();
  if (!s.searchPanel) return;
  HWND panel = s.searchPanel;
  s.searchPanel = nullptr;
  DestroyWindow(panel);
  g_running = false;
  SetWindowTextW(s.mainWindow, MainTitle().c_str());
  LayoutChildren(s.mainWindow);
  UpdateCommandStates();
  if (s.fileList) SetFocus(s.fileList);
}

bool SearchPanelMessage(MSG& msg) {
  HWND panel = Shell().searchPanel;
  return panel && IsDialogMessageW(panel, &msg);
}

bool CriteriaSearchRunning() { return g_running; }

void FocusSearchPanelClose() {
  HWND panel = Shell().searchPanel;
  if (!panel) return;
  SendMessageW(panel, DM_SETDEFID, IDC_SP_CLOSE, 0);
  SetFocus(GetDlgItem(panel, IDC_SP_CLOSE));
}

}  // namespace rv::shell
