#include "shell/search_bar.h"

#include <commctrl.h>
#include <shlobj.h>

#include <string>

#include <memory>

#include "channel/packet.h"
#include "platform/text.h"
#include "recovery/recovery_session.h"
#include "res/resource.h"
#include "shell/command_states.h"
#include "shell/engines.h"
#include "shell/layout.h"
#include "shell/controls.h"
#include "shell/registry.h"
#include "shell/search_session.h"
#include "shell/search_work.h"
#include "shell/settings.h"
#include "shell/state.h"
#include "shell/undelete_driver.h"
#include "shell/views.h"
#include "volume/osvolume.h"

namespace rv::shell {
namespace {

constexpr UINT kDestinationChosen = 1206;
constexpr int kTextUnits = 260;

bool g_pointerDown = false;
WNDPROC g_closeButtonProc = nullptr;

Text ToText(const std::wstring& w) { return Text(w.begin(), w.end()); }

DWORD WindowsMajorVersion() { return LOBYTE(LOWORD(GetVersion())); }

// A braced 36-character volume GUID: "{" and "}" 37 characters apart.
bool HasBracedGuid(const std::wstring& text) {
  size_t open = text.find(L'{'), close = text.find(L'}');
  return open != std::wstring::npos && close != std::wstring::npos && close > open && close - open == 37;
}

bool FolderTextValid(const std::wstring& folder) {
  std::wstring t = folder.substr(0, kTextUnits);
  if (t.size() >= 2 && iswalpha(t[0]) && t[1] == L':') return true;
  return WindowsMajorVersion() != 4 && HasBracedGuid(t);
}

// A search refused before it began: nothing found, Close the default.
void ResetBarButtons(HWND bar) {
  CurrentSearch().phase = SearchPhase::None;
  UpdateCommandStates();
  SendMessageW(GetDlgItem(bar, IDC_SB_STOP), BM_SETSTYLE, BS_PUSHBUTTON, TRUE);
  HWND close = GetDlgItem(bar, IDC_SB_CLOSE);
  SendMessageW(bar, DM_SETDEFID, IDC_SB_CLOSE, 0);
  SetFocus(close);
}

// ---- Search ------------------------------------------------------------------------

// The volume root and the folder inside the volume, from the Look in text;
// false when it names neither a drive nor a volume.
bool SplitLookIn(const std::wstring& folder, std::wstring& root, std::wstring& rest) {
  size_t colon = folder.find(L':');
  if (WindowsMajorVersion() == 4) {
    if (folder.size() < 2 || folder[1] != L':') return false;
    root = std::wstring(1, folder[0]) + L":\\";
    rest = folder.substr(2);
  } else if (colon != std::wstring::npos && colon != 0) {
    root = std::wstring(1, folder[0]) + L":\\";
    rest = folder.substr(colon + 1);
  } else {
    if (!HasBracedGuid(folder)) return false;
    size_t open = folder.find(L'{');
    root = L"\\\\?\\Volume" + folder.substr(open, 38) + L"\\";
    rest = folder.substr(open + 38);
  }
  if (rest.empty() || rest.back() != L'\\') rest += L'\\';
  if (rest.front() != L'\\') rest.insert(rest.begin(), L'\\');
  return true;
}

// The string of a drive kind no search reads; 0 for fixed and removable drives.
UINT DriveRefusal(const std::wstring& root) {
  switch (GetDriveTypeW(root.c_str())) {
    case DRIVE_REMOVABLE:
    case DRIVE_FIXED: return 0;
    case DRIVE_REMOTE: return IDS_DRIVE_REMOTE;
    case DRIVE_CDROM: return IDS_DRIVE_CDROM;
    case DRIVE_RAMDISK: return IDS_DRIVE_RAMDISK;
    default: return IDS_DRIVE_NOT_FOUND;
  }
}

// The search session for the volume: its engine row by the file-system name
// (the volume layer reads it from the volume itself where the system's
// answer cannot be trusted: Wine calls every mapped image NTFS), its root,
// the window title and the free space the summary shows.
void BeginSearchSession(const std::wstring& root) {
  ShellState& s = Shell();
  SearchSession& search = CurrentSearch();
  Text fsName, label;
  if (!QueryVolumeInformation(ToText(root), fsName, label)) fsName.clear();
  search.engine = &EngineFor(TextView(fsName).substr(0, 15));
  search.searchedRoot = ToText(root);
  std::wstring title = FormatLibraryString(IDS_SEARCH_TITLE_FORMAT,
                                           {TextView(ToText(s.searchTitle)), static_cast<char16_t>(root[0]),
                                            TextView(ToText(s.targetComputer))});
  SetWindowTextW(s.mainWindow, title.c_str());
  DiskFreeSpace space;
  if (QueryDiskFreeSpace(ToText(root), space))
    SetFreeSpace(space.freeClusters * space.sectorsPerCluster * space.bytesPerSector,
                 root.size() > 1 && root[1] == L':' ? root[0] : 0);
}

void OnSearch(HWND bar) {
  std::wstring folder = ItemText(bar, IDC_SB_FOLDER);
  if (!FolderTextValid(folder)) {
    std::wstring text = LibraryString(IDS_LOOK_IN_INVALID), caption = LibraryString(IDS_SEARCH_CAPTION);
    MessageBoxW(bar, text.c_str(), caption.c_str(), MB_OK | MB_ICONWARNING);
    SetFocus(GetDlgItem(bar, IDC_SB_FOLDER));
    return;
  }
  // A folder searched is remembered at the top of the folder's list.
  ComboList folders(GetDlgItem(bar, IDC_SB_FOLDER));
  AddRecentEntry(folders, ToText(folder), kRecentListMax);
  EmptyFileList();
  CurrentSearch().phase = SearchPhase::None;
  std::wstring root, rest;
  if (!SplitLookIn(folder, root, rest)) return;
  if (UINT refusal = DriveRefusal(root)) {
    std::wstring text = LibraryString(refusal), caption = ProgramString(IDS_PRODUCT_NAME);
    MessageBoxW(bar, text.c_str(), caption.c_str(), MB_OK | MB_ICONERROR);
    ResetBarButtons(bar);
    return;
  }
  for (auto& c : root) c = static_cast<wchar_t>(towupper(c));
  BeginSearchSession(root);
  auto job = std::make_unique<SearchJob>();
  job->engine = CurrentSearch().engine;
  job->fields.includeSubfolders = IsDlgButtonChecked(bar, IDC_SB_SUBFOLDERS) == BST_CHECKED ? 1 : 0;
  job->fields.pattern = ToText(ItemText(bar, IDC_SB_PATTERN));
  job->fields.folder = ToText(rest);
  job->fields.volumeRoot = ToText(root);
  job->deep = IsDlgButtonChecked(bar, IDC_SB_DEEP) == BST_CHECKED;
  const uint32_t generation = StartSearchJob(std::move(job));
  if (generation == 0) return UpdateCommandStates();
  // The engine's end message re-enables the bar.
  CurrentSearch().generation = generation;
  CurrentSearch().phase = SearchPhase::Starting;
  UpdateCommandStates();
  SendMessageW(bar, DM_SETDEFID, IDC_SB_STOP, 0);
  SetFocus(GetDlgItem(bar, IDC_SB_STOP));
}

// The engine ends at its next poll; the bar is given back at once.
void OnStop(HWND bar) {
  RequestEngineStop();
  CurrentSearch().phase = SearchPhase::Ended;
  UpdateCommandStates();
  SendMessageW(bar, DM_SETDEFID, IDC_SB_SEARCH, 0);
  SetFocus(GetDlgItem(bar, IDC_SB_SEARCH));
}

// ---- Folder browser ----------------------------------------------------------------

struct BrowseRequest {
  HWND owner;
  UINT titleId;
  int target;
};
BrowseRequest g_browse;
volatile LONG g_browsing = 0;

DWORD WINAPI BrowseWorker(void*) {
  CoInitialize(nullptr);
  std::wstring title = LibraryString(g_browse.titleId).substr(0, 63);
  wchar_t path[MAX_PATH] = {};
  BROWSEINFOW info{};
  info.hwndOwner = g_browse.owner;
  info.pszDisplayName = path;
  info.lpszTitle = title.c_str();
  info.ulFlags = BIF_RETURNONLYFSDIRS;
  if (LPITEMIDLIST chosen = SHBrowseForFolderW(&info)) {
    if (SHGetPathFromIDListW(chosen, path)) {
      HWND combo = GetDlgItem(g_browse.owner, g_browse.target);
      LRESULT at = SendMessageW(combo, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(path));
      if (at == CB_ERR) at = SendMessageW(combo, CB_INSERTSTRING, 0, reinterpret_cast<LPARAM>(path));
      SendMessageW(combo, CB_SETCURSEL, at, 0);
    }
    CoTaskMemFree(chosen);
  }
  CoUninitialize();
  InterlockedExchange(&g_browsing, 0);
  return 0;
}

}  // namespace

void StartFolderBrowse(HWND owner, UINT titleId, int target) {
  if (InterlockedCompareExchange(&g_browsing, 1, 0) != 0) return;  // one browser at a time
  g_browse = {owner, titleId, target};
  HANDLE worker = CreateThread(nullptr, 0, BrowseWorker, nullptr, 0, nullptr);
  if (worker) CloseHandle(worker);
  else InterlockedExchange(&g_browsing, 0);
}

namespace {

// ---- Destination dialog and undelete driver ------------------------------------------

// The string that refuses a destination, 0 when it is accepted.
UINT DestinationRefusal(const std::wstring& folder) {
  switch (CheckDestinationRules(ToUtf8(ToText(folder)), ToUtf8(CurrentSearch().searchedRoot)).problem) {
    case DestinationProblem::None: return 0;
    case DestinationProblem::Empty: return IDS_DESTINATION_NOT_CREATED;
    case DestinationProblem::OnSearchedVolume: return IDS_DESTINATION_ON_VOLUME;
    case DestinationProblem::RecycleFolder: return IDS_DESTINATION_RECYCLE_FOLDER;
    default: return IDS_DESTINATION_NOT_CREATED;
  }
}

INT_PTR CALLBACK DestinationProc(HWND dialog, UINT msg, WPARAM wp, LPARAM) {
  switch (msg) {
    case WM_INITDIALOG: {
      std::wstring title = FormatLibraryString(IDS_UNDELETE_CAPTION, {TextView(ToText(Shell().targetComputer))});
      SetWindowTextW(dialog, title.c_str());
      HWND combo = GetDlgItem(dialog, IDC_UD_FOLDER);
      // The recent destinations, the last one used first and in the edit line.
      ComboList recent(combo);
      RegistryStore store;
      LoadRecentListWithEdit(recent, store, kRecoverPaths);
      if (recent.Count() > 0) SendMessageW(combo, CB_SETCURSEL, 0, 0);
      uint32_t report = 0;
      if (auto key = store.Open(kRecoverListsKey, false)) key->ReadDword(kWriteReportValue, report);
      CheckDlgButton(dialog, IDC_UD_REPORT, report == 1 ? BST_CHECKED : BST_UNCHECKED);
      SetFocus(combo);
      return FALSE;
    }
    case WM_COMMAND:
      switch (LOWORD(wp)) {
        case IDOK: {
          std::wstring folder = ItemText(dialog, IDC_UD_FOLDER).substr(0, kTextUnits);
          HWND combo = GetDlgItem(dialog, IDC_UD_FOLDER);
          // The rules `retriva recover --to` applies; the searched volume
          // because recovered files written there could land on the very
          // clusters still to be recovered.
          if (UINT refusal = DestinationRefusal(folder)) {
            std::wstring caption = LibraryString(IDS_UNDELETE_CAPTION), text = LibraryString(refusal);
            MessageBoxW(dialog, text.c_str(), caption.c_str(), MB_OK | MB_ICONERROR);
            SetFocus(combo);
            return TRUE;
          }
          CurrentSearch().destination = ToText(folder);
          CurrentSearch().writeReport = IsDlgButtonChecked(dialog, IDC_UD_REPORT) == BST_CHECKED;
          if (SendMessageW(combo, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                           reinterpret_cast<LPARAM>(folder.c_str())) == CB_ERR)
            SendMessageW(combo, CB_INSERTSTRING, 0, reinterpret_cast<LPARAM>(folder.c_str()));
          {
            ComboList recent(combo);
            RegistryStore store;
            SaveRecentListWithEdit(recent, store, kRecoverPaths, kRecentListMax);
            if (auto key = store.Open(kRecoverListsKey, true))
              key->WriteDword(kWriteReportValue, CurrentSearch().writeReport ? 1 : 0);
          }
          if (Shell().searchBar) PostMessageW(Shell().searchBar, WM_COMMAND, kDestinationChosen, 0);
          EndDialog(dialog, IDOK);
          return TRUE;
        }
        case IDCANCEL: EndDialog(dialog, IDCANCEL); return TRUE;
        case IDC_UD_BROWSE:
          if (HIWORD(wp) == BN_CLICKED) StartFolderBrowse(dialog, IDS_BROWSE_DESTINATION, IDC_UD_FOLDER);
          return TRUE;
        default: return FALSE;
      }
    default: return FALSE;
  }
}

LRESULT CALLBACK CloseButtonProc(HWND button, UINT msg, WPARAM wp, LPARAM lp) {
  ShellState& s = Shell();
  if (msg == WM_KILLFOCUS && s.searchBar && reinterpret_cast<HWND>(wp) == GetDlgItem(s.searchBar, IDC_SB_PATTERN) &&
      !g_pointerDown && s.fileList && ListView_GetItemCount(s.fileList) > 0) {
    if (ListView_GetSelectedCount(s.fileList) == 0) ListView_SetItemState(s.fileList, 0, LVIS_FOCUSED, LVIS_FOCUSED);
    PostMessageW(s.mainWindow, WM_NULL, 0, 0);
    LRESULT r = CallWindowProcW(g_closeButtonProc, button, msg, wp, lp);
    SetFocus(s.fileList);
    return r;
  }
  return CallWindowProcW(g_closeButtonProc, button, msg, wp, lp);
}

void InitSearchBar(HWND bar) {
  CheckDlgButton(bar, IDC_SB_SUBFOLDERS, BST_CHECKED);
  ComboList folders(GetDlgItem(bar, IDC_SB_FOLDER));
  RegistryStore store;
  LoadRecentList(folders, store, kSearchPaths, kRecentListMax);
  SetFocus(GetDlgItem(bar, IDC_SB_PATTERN));
}

void OnSearchBarCommand(HWND bar, WORD id, WORD code) {
  if (code == EN_SETFOCUS || code == CBN_SETFOCUS || code == BN_SETFOCUS) {
    Shell().activePane = ActivePane::DockedDialog;
    return;
  }
  if (id == kDestinationChosen) {
    RunUndeleteDriver();
    return;
  }
  if (code != BN_CLICKED) return;
  switch (id) {
    case IDC_SB_BROWSE: StartFolderBrowse(bar, IDS_BROWSE_SEARCH_FOLDER, IDC_SB_FOLDER); break;
    case IDC_SB_SEARCH:
    case IDOK:
      if (IsWindowEnabled(GetDlgItem(bar, IDC_SB_SEARCH))) OnSearch(bar);
      break;
    case IDC_SB_UNDELETE:
      DialogBoxParamW(Shell().resourceLibrary, MAKEINTRESOURCEW(IDD_UNDELETE_DESTINATION), bar, DestinationProc, 0);
      break;
    case IDC_SB_STOP: OnStop(bar); break;
    case IDC_SB_HELP_PATTERN: WinHelpW(bar, L"", HELP_CONTEXTPOPUP, 104); break;
    case IDC_SB_HELP_FOLDER: WinHelpW(bar, L"", HELP_CONTEXTPOPUP, 105); break;
    case IDC_SB_CLOSE: {
      HWND main = Shell().mainWindow;
      CloseSearchBar();
      PostMessageW(main, WM_CLOSE, 0, 0);
      break;
    }
    default: break;
  }
}

INT_PTR CALLBACK SearchBarProc(HWND bar, UINT msg, WPARAM wp, LPARAM) {
  switch (msg) {
    case WM_INITDIALOG: InitSearchBar(bar); return FALSE;  // the focus is set
    case WM_MOUSEACTIVATE:
    case WM_SETFOCUS: Shell().activePane = ActivePane::DockedDialog; return FALSE;
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN: g_pointerDown = true; return FALSE;
    case WM_LBUTTONUP:
    case WM_RBUTTONUP: g_pointerDown = false; return FALSE;
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
  CurrentSearch().phase = SearchPhase::None;
  HWND close = GetDlgItem(bar, IDC_SB_CLOSE);
  g_closeButtonProc =
      reinterpret_cast<WNDPROC>(SetWindowLongPtrW(close, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CloseButtonProc)));
  ShowWindow(bar, SW_SHOW);
  LayoutChildren(mainWindow);
  s.activePane = ActivePane::DockedDialog;
  EmptyFileList();
  UseSearchColumns();
  UpdateCommandStates();
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
  ReleaseEngines();
  {
    ComboList folders(GetDlgItem(s.searchBar, IDC_SB_FOLDER));
    RegistryStore store;
    SaveRecentList(folders, store, kSearchPaths, kRecentListMax);
  }
  DestroyWindow(s.searchBar);
  s.searchBar = nullptr;
  CurrentSearch().phase = SearchPhase::None;
  UpdateCommandStates();
  SetStatusText(0, LibraryString(IDS_STATUS_SEARCH_CLOSED));
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
  RequestEngineStop();
  // The engines poll the stop request between records; a few seconds is
  // far more than one record takes.
  for (int waited = 0; waited < 5000; waited += 20) {
    if (EnginesIdle()) return;
    Sleep(20);
  }
}

}  // namespace rv::shell

namespace rv::shell {

SearchSession& CurrentSearch() {
  static SearchSession search;
  return search;
}

}  // namespace rv::shell
