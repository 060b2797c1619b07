#include "shell/search_bar.h"

#include <commctrl.h>
#include <shlobj.h>

#include <string>

#include "channel/messages.h"
#include "channel/packet.h"
#include "platform/samevolume.h"
#include "platform/text.h"
#include "shell/engines.h"
#include "volume/osvolume.h"
#include "fat/fue.h"
#include "ntfs/nue.h"
#include "res/resource.h"
#include "shell/main_window.h"
#include "shell/registry.h"
#include "shell/settings.h"
#include "shell/state.h"
#include "shell/views.h"

namespace rv::shell {
namespace {

constexpr UINT kDestinationChosen = 1206;
constexpr int kTextUnits = 260;

// Process-wide, as the undelete driver needs them after the search: the
// searched volume's file-system name and root, and the destination.
std::wstring g_fileSystemName;
std::wstring g_searchedRoot;
std::wstring g_destination;
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

void ResetBarButtons(HWND bar) {
  EnableWindow(GetDlgItem(bar, IDC_SB_UNDELETE), FALSE);
  EnableWindow(GetDlgItem(bar, IDC_SB_SEARCH), TRUE);
  HWND stop = GetDlgItem(bar, IDC_SB_STOP);
  EnableWindow(stop, FALSE);
  SendMessageW(stop, BM_SETSTYLE, BS_PUSHBUTTON, TRUE);
  HWND close = GetDlgItem(bar, IDC_SB_CLOSE);
  EnableWindow(close, TRUE);
  SendMessageW(bar, DM_SETDEFID, IDC_SB_CLOSE, 0);
  SetFocus(close);
}

// ---- Search worker -----------------------------------------------------------------

DWORD WINAPI SearchWorker(void* argument) {
  HWND bar = static_cast<HWND>(argument);
  ShellState& s = Shell();
  std::wstring pattern = ItemText(bar, IDC_SB_PATTERN);
  std::wstring folder = ItemText(bar, IDC_SB_FOLDER);
  bool subfolders = IsDlgButtonChecked(bar, IDC_SB_SUBFOLDERS) == BST_CHECKED;

  // The volume root and the folder inside the volume.
  std::wstring root, rest;
  size_t colon = folder.find(L':');
  if (WindowsMajorVersion() == 4) {
    if (folder.size() < 2 || folder[1] != L':') return 0;
    root = std::wstring(1, folder[0]) + L":\\";
    rest = folder.substr(2);
  } else if (colon != std::wstring::npos && colon != 0) {
    root = std::wstring(1, folder[0]) + L":\\";
    rest = folder.substr(colon + 1);
  } else {
    if (!HasBracedGuid(folder)) return 0;
    size_t open = folder.find(L'{');
    root = L"\\\\?\\Volume" + folder.substr(open, 38) + L"\\";
    rest = folder.substr(open + 38);
  }

  UINT refusal = 0;
  switch (GetDriveTypeW(root.c_str())) {
    case DRIVE_REMOVABLE:
    case DRIVE_FIXED: break;
    case DRIVE_REMOTE: refusal = 107; break;
    case DRIVE_CDROM: refusal = 109; break;
    case DRIVE_RAMDISK: refusal = 110; break;
    default: refusal = 111; break;
  }
  if (refusal) {
    std::wstring text = LibraryString(refusal), caption = ProgramString(IDS_PRODUCT_NAME);
    MessageBoxW(bar, text.c_str(), caption.c_str(), MB_OK | MB_ICONERROR);
    ResetBarButtons(bar);
    return 0;
  }

  // The volume layer reads the name from the volume itself where the
  // system's answer cannot be trusted (Wine calls every mapped image NTFS).
  s.busy = true;
  Text fsName, label;
  if (!QueryVolumeInformation(ToText(root), fsName, label)) fsName.clear();
  s.busy = false;
  g_fileSystemName.assign(fsName.begin(), fsName.begin() + std::min<size_t>(fsName.size(), 15));

  for (auto& c : root) c = static_cast<wchar_t>(towupper(c));
  g_searchedRoot = root;
  std::wstring title = FormatLibraryString(IDS_SEARCH_TITLE_FORMAT,
                                           {TextView(ToText(s.searchTitle)), static_cast<char16_t>(root[0]),
                                            TextView(ToText(s.targetComputer))});
  SetWindowTextW(s.mainWindow, title.c_str());
  DiskFreeSpace space;
  if (QueryDiskFreeSpace(ToText(root), space))
    SetFreeSpace(space.freeClusters * space.sectorsPerCluster * space.bytesPerSector,
                 root.size() > 1 && root[1] == L':' ? root[0] : 0);

  if (rest.empty() || rest.back() != L'\\') rest += L'\\';
  if (rest.front() != L'\\') rest.insert(rest.begin(), L'\\');
  SearchRequestFields fields;
  fields.includeSubfolders = subfolders ? 1 : 0;
  fields.pattern = ToText(pattern);
  fields.folder = ToText(rest);
  fields.volumeRoot = ToText(root);
  // An engine stopped by the user may still be winding down: no second call.
  if (EnginesIdle()) RunSearchEngine(g_fileSystemName, RequestPacket::Wrap(BuildSearchRequest(fields)));
  return 0;
}

void OnSearch(HWND bar) {
  std::wstring folder = ItemText(bar, IDC_SB_FOLDER);
  if (!FolderTextValid(folder)) {
    std::wstring text = LibraryString(145), caption = LibraryString(144);
    MessageBoxW(bar, text.c_str(), caption.c_str(), MB_OK | MB_ICONWARNING);
    SetFocus(GetDlgItem(bar, IDC_SB_FOLDER));
    return;
  }
  // A folder searched is remembered at the top of the folder's list.
  ComboList folders(GetDlgItem(bar, IDC_SB_FOLDER));
  AddRecentEntry(folders, ToText(folder), kRecentListMax);
  EmptyFileList();
  HANDLE worker = CreateThread(nullptr, 0, SearchWorker, bar, 0, nullptr);
  if (!worker) return;
  CloseHandle(worker);  // nothing waits for it; the engine's end message re-enables the bar
  SendMessageW(bar, DM_SETDEFID, IDC_SB_STOP, 0);
  HWND stop = GetDlgItem(bar, IDC_SB_STOP);
  EnableWindow(stop, TRUE);
  SetFocus(stop);
  EnableWindow(GetDlgItem(bar, IDC_SB_UNDELETE), FALSE);
  EnableWindow(GetDlgItem(bar, IDC_SB_SEARCH), FALSE);
}

void OnStop(HWND bar) {
  RequestEngineStop();
  EnableWindow(GetDlgItem(bar, IDC_SB_STOP), FALSE);
  EnableWindow(GetDlgItem(bar, IDC_SB_SEARCH), TRUE);
  EnableWindow(GetDlgItem(bar, IDC_SB_UNDELETE), TRUE);
  EnableWindow(GetDlgItem(bar, IDC_SB_CLOSE), TRUE);
  SendMessageW(bar, DM_SETDEFID, IDC_SB_SEARCH, 0);
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

INT_PTR CALLBACK DestinationProc(HWND dialog, UINT msg, WPARAM wp, LPARAM) {
  switch (msg) {
    case WM_INITDIALOG: {
      std::wstring title = FormatLibraryString(301, {TextView(ToText(Shell().targetComputer))});
      SetWindowTextW(dialog, title.c_str());
      HWND combo = GetDlgItem(dialog, IDC_UD_FOLDER);
      // The recent destinations, the last one used first and in the edit line.
      ComboList recent(combo);
      RegistryStore store;
      LoadRecentListWithEdit(recent, store, kRecoverPaths);
      if (recent.Count() > 0) SendMessageW(combo, CB_SETCURSEL, 0, 0);
      SetFocus(combo);
      return FALSE;
    }
    case WM_COMMAND:
      switch (LOWORD(wp)) {
        case IDOK: {
          std::wstring folder = ItemText(dialog, IDC_UD_FOLDER).substr(0, kTextUnits);
          HWND combo = GetDlgItem(dialog, IDC_UD_FOLDER);
          if (folder.empty()) {
            std::wstring caption = LibraryString(301), text = LibraryString(149);
            MessageBoxW(dialog, text.c_str(), caption.c_str(), MB_OK | MB_ICONERROR);
            SetFocus(combo);
            return TRUE;
          }
          // Recovered files written to the searched volume could land on
          // the very clusters still to be recovered.
          std::string why;
          if (!g_searchedRoot.empty() &&
              DestinationIsOnVolume(ToUtf8(ToText(folder)), ToUtf8(ToText(g_searchedRoot)), why)) {
            std::wstring caption = LibraryString(301), text = LibraryString(IDS_DESTINATION_ON_VOLUME);
            MessageBoxW(dialog, text.c_str(), caption.c_str(), MB_OK | MB_ICONERROR);
            SetFocus(combo);
            return TRUE;
          }
          g_destination = folder;
          if (SendMessageW(combo, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                           reinterpret_cast<LPARAM>(folder.c_str())) == CB_ERR)
            SendMessageW(combo, CB_INSERTSTRING, 0, reinterpret_cast<LPARAM>(folder.c_str()));
          {
            ComboList recent(combo);
            RegistryStore store;
            SaveRecentListWithEdit(recent, store, kRecoverPaths, kRecentListMax);
          }
          if (Shell().searchBar) PostMessageW(Shell().searchBar, WM_COMMAND, kDestinationChosen, 0);
          EndDialog(dialog, IDOK);
          return TRUE;
        }
        case IDCANCEL: EndDialog(dialog, IDCANCEL); return TRUE;
        case IDC_UD_BROWSE:
          if (HIWORD(wp) == BN_CLICKED) StartFolderBrowse(dialog, 304, IDC_UD_FOLDER);
          return TRUE;
        default: return FALSE;
      }
    default: return FALSE;
  }
}

// The selected rows become the engine's undelete request; the engine runs
// here, on the window thread, and its messages are handled when it returns.
void RunUndeleteDriver() {
  auto rows = SelectedRows();
  const bool ntfs = IsNtfsName(g_fileSystemName);
  std::vector<NtfsUndeleteRecord> ntfsRecords;
  std::vector<FatUndeleteRecord> fatRecords;
  for (const auto& row : rows) {
    int32_t first = IntegerValue(row[kColFirst]);
    if (ntfs) {
      if (first <= 0) continue;
      // A named data stream's number; the file's own data has none.
      int32_t stream = IntegerValue(row[kColSecond]);
      ntfsRecords.push_back({first, static_cast<uint16_t>(stream > 0 && stream <= 0xFFFF ? stream : 0)});
    } else {
      fatRecords.push_back(
          {static_cast<uint32_t>(first), static_cast<uint32_t>(IntegerValue(row[kColSecond])), row[kColFolder] + row[kColName]});
    }
  }
  if (ntfsRecords.empty() && fatRecords.empty()) return;
  Text destination = ToText(g_destination);
  std::vector<uint8_t> payload = ntfs ? BuildNtfsStreamUndeleteRequest(destination, ntfsRecords)
                                      : BuildFatUndeleteRequest(destination, fatRecords);
  if (!EnginesIdle()) return;
  ShellState& s = Shell();
  s.busy = true;
  HCURSOR old = SetCursor(s.waitCursor);
  RunUndeleteEngine(g_fileSystemName, RequestPacket::Wrap(payload));
  SetCursor(old);
  s.busy = false;
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
  EnableWindow(GetDlgItem(bar, IDC_SB_UNDELETE), FALSE);
  EnableWindow(GetDlgItem(bar, IDC_SB_STOP), FALSE);
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
    case IDC_SB_BROWSE: StartFolderBrowse(bar, 303, IDC_SB_FOLDER); break;
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
  HWND close = GetDlgItem(bar, IDC_SB_CLOSE);
  g_closeButtonProc =
      reinterpret_cast<WNDPROC>(SetWindowLongPtrW(close, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CloseButtonProc)));
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
  {
    ComboList folders(GetDlgItem(s.searchBar, IDC_SB_FOLDER));
    RegistryStore store;
    SaveRecentList(folders, store, kSearchPaths, kRecentListMax);
  }
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
  RequestEngineStop();
  // The engines poll the stop request between records; a few seconds is
  // far more than one record takes.
  for (int waited = 0; waited < 5000; waited += 20) {
    if (EnginesIdle()) return;
    Sleep(20);
  }
}

}  // namespace rv::shell
