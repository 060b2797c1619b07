#include "shell/views.h"

#include <commctrl.h>

#include <algorithm>
#include <iterator>

#include "channel/receiver.h"
#include "res/resource.h"
#include "shell/command_states.h"
#include "shell/two_pane/destination_dialogs.h"
#include "shell/layout.h"
#include "shell/preview_pane.h"
#include "shell/test_seam.h"
#include "shell/registry.h"
#include "shell/results.h"
#include "shell/two_pane/search_panel.h"
#include "shell/search_session.h"
#include "shell/state.h"

namespace rv::shell {
namespace {

// The two-pane view's seven columns and, last in both sets, the condition
// column. Its width is the eighth of the stored list; a list stored before
// it was added (seven widths) still loads, with the default for it.
constexpr int kTwoPaneColumns = 7;
constexpr int kListColumns = kTwoPaneColumns + 1;
constexpr int32_t kDefaultWidths[kListColumns] = {100, 50, 100, 100, 50, 50, 0, 130};
constexpr UINT kTreeImages[] = {IDB_TREE_COMPUTER,   IDB_TREE_VOLUME,         IDB_TREE_FOLDER,
                                IDB_TREE_FOLDER_OPEN, IDB_TREE_FOLDER_DELETED, IDB_TREE_FILE};
constexpr int kTreeImageSize = 16;

HWND CreateTitleBar(HWND window, UINT stringId) {
  return CreateWindowExW(WS_EX_STATICEDGE, kTitleBarClass, L"", WS_CHILD | WS_VISIBLE, 0, 0, 0, Px(kTitleBarHeight),
                         window, nullptr, Shell().program, reinterpret_cast<void*>(static_cast<UINT_PTR>(stringId)));
}

void AttachTreeImages(HWND tree) {
  HIMAGELIST images = ImageList_Create(kTreeImageSize, kTreeImageSize, ILC_COLOR32,
                                       static_cast<int>(std::size(kTreeImages)), 0);
  if (!images) return;
  int added = 0;
  for (UINT id : kTreeImages) {
    auto bitmap = static_cast<HBITMAP>(LoadImageW(Shell().resourceLibrary, MAKEINTRESOURCEW(id), IMAGE_BITMAP,
                                                  0, 0, LR_CREATEDIBSECTION));
    if (!bitmap) continue;
    if (ImageList_Add(images, bitmap, nullptr) >= 0) ++added;
    DeleteObject(bitmap);
  }
  // A partial set would show the wrong picture for every later kind.
  if (added == static_cast<int>(std::size(kTreeImages))) TreeView_SetImageList(tree, images, TVSIL_NORMAL);
  else ImageList_Destroy(images);
}

void InsertColumn(HWND list, int index, UINT titleId, int width, int format) {
  std::wstring title = LibraryString(titleId);
  LVCOLUMNW column{};
  column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT | LVCF_SUBITEM;
  column.fmt = format;
  column.cx = width;
  column.pszText = title.data();
  column.iSubItem = index;
  ListView_InsertColumn(list, index, &column);
}

void RetitleColumn(HWND list, int index, UINT titleId) {
  std::wstring title = LibraryString(titleId);
  LVCOLUMNW column{};
  column.mask = LVCF_TEXT;
  column.pszText = title.data();
  ListView_SetColumn(list, index, &column);
}

// Stored widths are the pixels the list had; the defaults are for 96 dots
// per inch and grow with the screen's.
void StoredOrDefaultWidths(int32_t* widths) {
  RegistryStore store;
  if (Shell().columnWidths.Get(store, ListKind::TwoPane, kListColumns, kTwoPaneColumns, widths)) {
    if (widths[kTwoPaneColumns] < 0) widths[kTwoPaneColumns] = Px(kDefaultWidths[kTwoPaneColumns]);
    return;
  }
  for (int i = 0; i < kListColumns; ++i) widths[i] = Px(kDefaultWidths[i]);
}

// The condition column is the last of either set: 6 with the search bar's
// columns, 7 with the two-pane view's. Its sub-item number is kept equal to
// its place, so the list asks for its texts by that number.
int g_conditionColumn = kTwoPaneColumns;

void PlaceConditionColumn(HWND list, int index) {
  g_conditionColumn = index;
  LVCOLUMNW column{};
  column.mask = LVCF_SUBITEM;
  column.iSubItem = index;
  ListView_SetColumn(list, index, &column);
}

// The condition words, loaded once: the list asks for them on every paint.
std::array<std::wstring, kConditionImages> g_conditionWords;

void LoadConditionWords() {
  for (int w = 1; w < kConditionImages; ++w) g_conditionWords[w] = LibraryString(IDS_CONDITION_WHOLE + w - 1);
}

// One image per condition, in ConditionWord order, for the first column.
void AttachConditionImages(HWND list) {
  HIMAGELIST images = ImageList_Create(kTreeImageSize, kTreeImageSize, ILC_COLOR32, kConditionImages, 0);
  if (!images) return;
  int added = 0;
  for (int i = 0; i < kConditionImages; ++i) {
    auto bitmap = static_cast<HBITMAP>(LoadImageW(Shell().resourceLibrary, MAKEINTRESOURCEW(IDB_CONDITION_FIRST + i),
                                                  IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    if (!bitmap) continue;
    if (ImageList_Add(images, bitmap, nullptr) >= 0) ++added;
    DeleteObject(bitmap);
  }
  if (added == kConditionImages) ListView_SetImageList(list, images, LVSIL_SMALL);
  else ImageList_Destroy(images);
}

// The search results' texts; the list holds none of its own and asks for
// them through the display callback.
ResultTextStore g_store;
SortRule g_sort;
uint64_t g_freeBytes = 0;
wchar_t g_freeDrive = 0;
WNDPROC g_listProc = nullptr;

DateOrder UserDateOrder() {
  wchar_t order[4] = {};
  GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_IDATE, order, 4);
  return order[0] == L'1' ? DateOrder::DayMonthYear : order[0] == L'2' ? DateOrder::YearMonthDay
                                                                       : DateOrder::MonthDayYear;
}

int LocaleCompare(TextView a, TextView b) {
  // Store texts are NUL-terminated in place.
  Text x(a), y(b);
  int c = lstrcmpW(reinterpret_cast<const wchar_t*>(x.c_str()), reinterpret_cast<const wchar_t*>(y.c_str()));
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

// The list is virtual: it knows only how many rows there are and asks for
// each text it draws. Row i shows the found file g_rows[i] of the current
// search, whose texts start at g_textOffsets[g_rows[i]] in the store, so a
// search with tens of thousands of files adds two numbers per file, not a
// control item.
std::vector<uint32_t> g_rows;
std::vector<int64_t> g_textOffsets;

// The list learns of new rows at most every 100 ms while files arrive
// (and once more when the search ends): telling it per row redraws its
// scroll bar per row, which costs far more than the row.
constexpr DWORD kRowFlushMs = 100;
constexpr UINT_PTR kRowFlushTimer = 0x5256;
DWORD g_lastFlush = 0;

void CALLBACK RowFlushTimer(HWND window, UINT, UINT_PTR id, DWORD) {
  KillTimer(window, id);
  FlushFoundRows();
}

int64_t RowOffset(HWND, int row) {
  return row >= 0 && static_cast<size_t>(row) < g_rows.size() ? g_textOffsets[g_rows[row]] : -1;
}

const FoundFile& RowFile(int row) { return CurrentSearch().found[g_rows[row]]; }

const FileCondition* RowCondition(int row) {
  const SearchSession& search = CurrentSearch();
  if (row < 0 || static_cast<size_t>(row) >= g_rows.size() || g_rows[row] >= search.states.size()) return nullptr;
  return &search.states[g_rows[row]].condition;
}

void OnGetDisplayInfo(NMLVDISPINFOW* info) {
  const FileCondition* condition = RowCondition(info->item.iItem);
  if (info->item.mask & LVIF_IMAGE) info->item.iImage = condition ? ConditionImage(WordFor(*condition)) : 0;
  if (!(info->item.mask & LVIF_TEXT) || !info->item.pszText || info->item.cchTextMax <= 0) return;
  Text conditionText;
  TextView text;
  if (info->item.iSubItem == g_conditionColumn) {
    if (condition) {
      const std::wstring& word = g_conditionWords[static_cast<size_t>(WordFor(*condition))];
      conditionText = ConditionText(*condition, TextView(reinterpret_cast<const char16_t*>(word.data()), word.size()));
    }
    text = conditionText;
  } else {
    text = g_store.Column(RowOffset(info->hdr.hwndFrom, info->item.iItem), info->item.iSubItem);
  }
  size_t n = std::min<size_t>(text.size(), static_cast<size_t>(info->item.cchTextMax) - 1);
  std::copy(text.begin(), text.begin() + n, info->item.pszText);
  info->item.pszText[n] = 0;
}

void SortByColumn(int column) {
  ShellState& s = Shell();
  FlushFoundRows();
  g_sort.searchBar = s.searchBar != nullptr;
  g_sort.order = UserDateOrder();
  g_sort.textCompare = LocaleCompare;
  // The selection belongs to the rows, not to their places.
  std::vector<uint32_t> selected;
  for (int row = -1; (row = ListView_GetNextItem(s.fileList, row, LVNI_SELECTED)) >= 0;) selected.push_back(g_rows[row]);
  const std::vector<FoundFile>& found = CurrentSearch().found;
  const auto& states = CurrentSearch().states;
  std::stable_sort(g_rows.begin(), g_rows.end(), [&](uint32_t a, uint32_t b) {
    // Sizes are the files' own 64-bit sizes, not their texts.
    if (column == kColSize) return g_sort.CompareSizes(found[a].size, found[b].size) < 0;
    if (column == g_conditionColumn) return g_sort.CompareConditions(states[a].condition, states[b].condition) < 0;
    return g_sort.Compare(column, g_store.Column(g_textOffsets[a], column), g_store.Column(g_textOffsets[b], column)) < 0;
  });
  g_sort.Sorted();
  if (!selected.empty()) {
    std::sort(selected.begin(), selected.end());
    ListView_SetItemState(s.fileList, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
    for (size_t row = 0; row < g_rows.size(); ++row)
      if (std::binary_search(selected.begin(), selected.end(), g_rows[row]))
        ListView_SetItemState(s.fileList, static_cast<int>(row), LVIS_SELECTED, LVIS_SELECTED);
  }
  InvalidateRect(s.fileList, nullptr, FALSE);
}


LRESULT CALLBACK FileListProc(HWND list, UINT msg, WPARAM wp, LPARAM lp) {
  ShellState& s = Shell();
  switch (msg) {
    case WM_SETFOCUS:
    case WM_MOUSEACTIVATE:
      s.activePane = ActivePane::List;
      UpdateCommandStates();
      break;
    case WM_GETDLGCODE: return CallWindowProcW(g_listProc, list, msg, wp, lp) | DLGC_WANTTAB;
    case WM_KEYDOWN: {
      // Keys by their virtual-key codes: their names are the keyboard
      // layout's ("Ende", "Echap") and differ from system to system.
      if (wp == VK_END && (GetKeyState(VK_SHIFT) & 0x8000)) {
        PostMessageW(s.mainWindow, WM_COMMAND, CMD_STATUS_REFRESH, 0);
        break;
      }
      if (wp == VK_ESCAPE && TreeDragInProgress()) return SendMessageW(s.volumeTree, msg, wp, lp);
      if (wp == VK_TAB) {
        if ((GetKeyState(VK_SHIFT) & 0x8000) || !TabIntoPreviewPane()) FocusAfterFileList();
        return 0;
      }
      if (wp == 'A' && (GetKeyState(VK_CONTROL) & 0x8000)) {
        SelectAllRows();
        UpdateCommandStates();
        SetFocus(list);
        RefreshSummary();
        return 0;
      }
      break;
    }
    case WM_CHAR:
      if (wp == L'\t' || wp == 1) return 0;  // handled on key down
      break;
    default: break;
  }
  return CallWindowProcW(g_listProc, list, msg, wp, lp);
}

HWND CreateFileList(HWND window) {
  ShellState& s = Shell();
  HWND list = CreateWindowExW(WS_EX_STATICEDGE, WC_LISTVIEWW, L"",
                              WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SHOWSELALWAYS | LVS_OWNERDATA, 0, Px(kPaneTop),
                              CW_USEDEFAULT, CW_USEDEFAULT, window, nullptr, s.program, nullptr);
  if (!list) return nullptr;
  ListView_SetExtendedListViewStyle(list, LVS_EX_FULLROWSELECT | LVS_EX_HEADERDRAGDROP | LVS_EX_INFOTIP);
  g_listProc = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(FileListProc)));
  int32_t widths[kListColumns];
  StoredOrDefaultWidths(widths);
  int i = 0;
  for (; i < kTwoPaneColumns; ++i) {
    // A title that cannot be loaded ends the columns there.
    if (LibraryString(IDS_COL_NAME + i).empty()) break;
    InsertColumn(list, i, IDS_COL_NAME + i, widths[i], i == 1 ? LVCFMT_RIGHT : LVCFMT_LEFT);
  }
  if (i == kTwoPaneColumns) InsertColumn(list, i, IDS_COL_CONDITION, widths[kTwoPaneColumns], LVCFMT_LEFT);
  g_conditionColumn = i;
  LoadConditionWords();
  AttachConditionImages(list);
  return list;
}

}  // namespace

DateOrder ListDateOrder() { return UserDateOrder(); }

void FocusAfterFileList() {
  ShellState& s = Shell();
  if (s.searchBar) {
    SetFocus(s.searchBar);
  } else if (s.searchPanel) {
    if (GetKeyState(VK_SHIFT) & 0x8000) FocusSearchPanelClose();
    else SetFocus(s.volumeTree && IsWindowVisible(s.volumeTree) ? s.volumeTree : s.searchPanel);
  } else if (s.volumeTree) {
    SetFocus(s.volumeTree);
  }
}

void CreateChildWindows(HWND window) {
  ShellState& s = Shell();
  s.statusBar = CreateWindowExW(0, STATUSCLASSNAMEW, L"", WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP | SBARS_TOOLTIPS, 0, 0, 0, 0, window,
                                nullptr, s.program, nullptr);
  if (s.statusBar) {
    s.progressBar = CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD, 0, 0, 100, 10, s.statusBar, nullptr,
                                    s.program, nullptr);
    if (s.progressBar) {
      SendMessageW(s.progressBar, PBM_SETRANGE32, 0, 100);
      SendMessageW(s.progressBar, PBM_SETPOS, 0, 0);
    }
  }
  s.leftTitleBar = CreateTitleBar(window, IDS_TREE_TITLE);
  s.rightTitleBar = CreateTitleBar(window, IDS_LIST_TITLE);
  RECT client;
  GetClientRect(window, &client);
  s.volumeTree = CreateWindowExW(WS_EX_STATICEDGE, WC_TREEVIEWW, L"",
                                 WS_CHILD | WS_VISIBLE | WS_TABSTOP | TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT,
                                 0, Px(kPaneTop), client.right / 4, CW_USEDEFAULT, window, nullptr, s.program, nullptr);
  if (s.volumeTree) {
    AttachTreeImages(s.volumeTree);
    SubclassVolumeTree(s.volumeTree);
    SetFocus(s.volumeTree);
  }
  s.fileList = CreateFileList(window);
  CreatePreviewPane(window);
  SetStatusText(0, LibraryString(IDS_STATUS_READY));
  LayoutChildren(window);
}

void SetStatusText(int part, const std::wstring& text) {
  ShellState& s = Shell();
  if (!s.statusBar) return;
  WPARAM flags = (part == 0 || part == 3) ? SBT_NOBORDERS : 0;
  SendMessageW(s.statusBar, SB_SETTEXTW, static_cast<WPARAM>(part) | flags, reinterpret_cast<LPARAM>(text.c_str()));
}

void UseSearchColumns() {
  HWND list = Shell().fileList;
  if (!list) return;
  ListView_DeleteColumn(list, 6);
  PlaceConditionColumn(list, 6);
  RetitleColumn(list, 2, 10);
  RetitleColumn(list, 3, 9);
  RetitleColumn(list, 4, 7);
  RetitleColumn(list, 5, 8);
}

void UseTwoPaneColumns() {
  HWND list = Shell().fileList;
  if (!list) return;
  for (int i = 2; i <= 5; ++i) RetitleColumn(list, i, IDS_COL_NAME + i);
  int32_t widths[kListColumns];
  StoredOrDefaultWidths(widths);
  InsertColumn(list, 6, IDS_COL_NAME + 6, widths[6], LVCFMT_LEFT);
  PlaceConditionColumn(list, kTwoPaneColumns);
  for (int i = 0; i < kListColumns; ++i) ListView_SetColumnWidth(list, i, widths[i]);
}

void EmptyFileList() {
  g_rows.clear();
  g_textOffsets.clear();
  SearchSession& search = CurrentSearch();
  search.found.clear();
  search.states.clear();
  search.arrivals.clear();
  search.carved.clear();
  search.lost.clear();
  search.deepSource.reset();
  ClearPreview();
  if (Shell().fileList) ListView_DeleteAllItems(Shell().fileList);
  FreeListStore();
}

void FreeListStore() { g_store.Clear(); }

void RememberFileListWidths() {
  HWND list = Shell().fileList;
  if (!list) return;
  // The widths of the two-pane view's set; with the search bar's set the
  // seventh column is not there and keeps the width it had.
  int32_t widths[kListColumns] = {};
  StoredOrDefaultWidths(widths);
  for (int i = 0; i < kListColumns; ++i)
    if (i < g_conditionColumn) widths[i] = ListView_GetColumnWidth(list, i);
  widths[kTwoPaneColumns] = ListView_GetColumnWidth(list, g_conditionColumn);
  Shell().columnWidths.Remember(ListKind::TwoPane, widths, kListColumns);
}

bool AddFoundFile(const FoundFile& file, const SearchSession::FoundState& state,
                  const std::array<Text, kResultColumns>* texts) {
  ShellState& s = Shell();
  if (!s.fileList) return false;
  int64_t offset = g_store.Append(texts ? *texts : RowTexts(file, UserDateOrder()));
  if (offset < 0) return false;  // the store could not grow: this file is left out
  SearchSession& search = CurrentSearch();
  g_rows.push_back(static_cast<uint32_t>(search.found.size()));
  g_textOffsets.push_back(offset);
  search.found.push_back(file);
  search.states.push_back(state);
  if (GetTickCount() - g_lastFlush >= kRowFlushMs) {
    FlushFoundRows();
    UpdateWindow(s.fileList);
  } else {
    SetTimer(s.mainWindow, kRowFlushTimer, kRowFlushMs, RowFlushTimer);
  }
  return true;
}

void AddTestRows(int count) {
  for (int i = 0; i < count; ++i) {
    FoundFile file;
    file.locator = static_cast<uint32_t>(100 + i);
    file.second = 0xFFFFFFFF;
    file.size = 1000u * static_cast<uint64_t>(i + 1);
    file.time = u"01/02/2024 10:30";
    std::string name = "row" + std::to_string(i) + ".txt";
    file.name = Text(name.begin(), name.end());
    file.folder = u"\\Docs\\";
    file.path = u"C:" + file.folder + file.name;
    AddFoundFile(file);
  }
  FlushFoundRows();
}

void FlushFoundRows() {
  HWND list = Shell().fileList;
  g_lastFlush = GetTickCount();
  if (!list || ListView_GetItemCount(list) == static_cast<int>(g_rows.size())) return;
  ListView_SetItemCountEx(list, static_cast<int>(g_rows.size()), LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
}

int SingleSelectedFile() {
  HWND list = Shell().fileList;
  if (!list || ListView_GetSelectedCount(list) != 1) return -1;
  const int row = ListView_GetNextItem(list, -1, LVNI_SELECTED);
  return row >= 0 && static_cast<size_t>(row) < g_rows.size() ? static_cast<int>(g_rows[row]) : -1;
}

std::vector<FoundFile> SelectedFiles() {
  std::vector<FoundFile> files;
  for (size_t i : SelectedIndexes()) files.push_back(CurrentSearch().found[i]);
  return files;
}

std::vector<size_t> SelectedIndexes() {
  FlushFoundRows();
  std::vector<size_t> indexes;
  HWND list = Shell().fileList;
  if (!list) return indexes;
  for (int row = -1; (row = ListView_GetNextItem(list, row, LVNI_SELECTED)) >= 0;) indexes.push_back(g_rows[row]);
  return indexes;
}

void RedrawConditions() {
  if (HWND list = Shell().fileList) InvalidateRect(list, nullptr, FALSE);
}

void FitResultColumns() {
  HWND list = Shell().fileList;
  if (!list || ListView_GetItemCount(list) == 0) return;
  // Sizes and dates cut short are unreadable: those two columns widen to
  // their texts, never narrow.
  for (int column : {kColSize, kColDate}) {
    int before = ListView_GetColumnWidth(list, column);
    ListView_SetColumnWidth(list, column, LVSCW_AUTOSIZE_USEHEADER);
    if (ListView_GetColumnWidth(list, column) < before) ListView_SetColumnWidth(list, column, before);
  }
}

void SetFreeSpace(uint64_t bytes, wchar_t drive) {
  g_freeBytes = bytes;
  g_freeDrive = drive;
}

void SelectAllRows() {
  FlushFoundRows();
  if (Shell().fileList) ListView_SetItemState(Shell().fileList, -1, LVIS_SELECTED, LVIS_SELECTED);
}

void RefreshSummary() {
  ShellState& s = Shell();
  if (!s.fileList) return;
  FlushFoundRows();
  int rows = ListView_GetItemCount(s.fileList);
  int selected = ListView_GetSelectedCount(s.fileList);
  // The selected files' own 64-bit sizes.
  uint64_t bytes = 0;
  for (int row = -1; selected > 0 && (row = ListView_GetNextItem(s.fileList, row, LVNI_SELECTED)) >= 0;)
    bytes += RowFile(row).size;
  Summary sum = SummaryFor(rows, selected, bytes, g_freeBytes);
  SetStatusText(1, FormatLibraryString(sum.counts.stringId, {static_cast<int64_t>(sum.counts.value)}));
  if (sum.bytes.withDrive)
    SetStatusText(2, FormatLibraryString(sum.bytes.stringId, {sum.bytes.value, static_cast<char16_t>(g_freeDrive)}));
  else
    SetStatusText(2, FormatLibraryString(sum.bytes.stringId, {sum.bytes.value}));
}

void CollapseTree() {
  ShellState& s = Shell();
  s.rememberedTreeWidth = s.treeWidth;
  s.treeWidth = 0;
  if (s.leftTitleBar) ShowWindow(s.leftTitleBar, SW_HIDE);
  if (s.volumeTree) ShowWindow(s.volumeTree, SW_HIDE);
}

void RestoreTree() {
  ShellState& s = Shell();
  s.treeWidth = s.rememberedTreeWidth;
  if (s.leftTitleBar) ShowWindow(s.leftTitleBar, SW_SHOW);
  if (s.volumeTree) ShowWindow(s.volumeTree, SW_SHOW);
  LayoutChildren(s.mainWindow);
}

std::wstring TreeSelectionPath() {
  HWND tree = Shell().volumeTree;
  if (!tree) return {};
  std::wstring path;
  for (HTREEITEM item = TreeView_GetSelection(tree); item; item = TreeView_GetParent(tree, item)) {
    wchar_t text[MAX_PATH] = {};
    TVITEMW tv{};
    tv.mask = TVIF_TEXT;
    tv.hItem = item;
    tv.pszText = text;
    tv.cchTextMax = MAX_PATH;
    TreeView_GetItem(tree, &tv);
    path = path.empty() ? std::wstring(text) : std::wstring(text) + L"\\" + path;
  }
  return path;
}

// The two-pane commands act on the service's machine and folder listings,
// which nothing fills here: they keep their refusals and their visible
// steps, and the service side does nothing.

void HandleViewCommand(HWND window, unsigned id) {
  ShellState& s = Shell();
  switch (id) {
    case CMD_REFRESH_ALL: {
      std::wstring caption = LibraryString(IDS_REFRESH_ALL_CAPTION).substr(0, 64);
      std::wstring text = LibraryString(IDS_REFRESH_ALL_TEXT);
      if (MessageBoxW(window, text.c_str(), caption.c_str(), MB_YESNO | MB_ICONQUESTION) != IDYES) return;
      MachineRecord* machine = s.session ? s.session->Current() : nullptr;
      if (machine && machine->connected) {
        SetStatusText(0, LibraryString(368));
        EmptyFileList();
        if (s.volumeTree) TreeView_DeleteAllItems(s.volumeTree);
      } else {
        SetStatusText(0, LibraryString(293));
        s.busy = false;
      }
      break;
    }
    case CMD_CONNECT:
      SetStatusText(0, LibraryString(294));
      if (s.progressBar) {
        SendMessageW(s.progressBar, PBM_SETPOS, 0, 0);
        SendMessageW(s.progressBar, PBM_SETPOS, 5, 0);
        ShowWindow(s.progressBar, SW_SHOW);
      }
      // Connecting is the service's, and there is none.
      if (s.session) s.session->Request(513, nullptr, 0);
      break;
    case CMD_LIST_FOLDER: {
      const BusyScope listing;
      if (s.volumeTree && !TreeView_GetSelection(s.volumeTree))
        TreeView_SelectItem(s.volumeTree, TreeView_GetRoot(s.volumeTree));
      // The listing comes from the service: nothing arrives.
      break;
    }
    case CMD_UNDELETE:
    case CMD_UNDELETE_TO: {
      const BusyScope undeleting;  // no second undelete from the menu or a key meanwhile
      // The selection's machine; its volumes come from the service, and
      // without them there is nothing to choose a destination among.
      MachineRecord* machine = nullptr;
      if (s.session) {
        std::wstring path = TreeSelectionPath();
        size_t cut = path.find(L'\\');
        std::wstring name = path.substr(0, cut);
        machine = name.empty() ? s.session->Current() : s.session->FindMachine(Text(name.begin(), name.end()));
        if (!machine) machine = &s.session->SelectMachine(Text(s.targetComputer.begin(), s.targetComputer.end()));
        if (machine->volumes.empty()) machine->volumes = TestSeamVolumes();
      }
      if (machine && !machine->volumes.empty() && !ChooseDestination(window, *machine)) {
        RefreshSummary();
        return;
      }
      // The rows go to the machine's recovery service, which is not here;
      // the request names the destination chosen ("\\?\" form), if any.
      if (s.session) {
        const Text none;
        const Text& to = machine ? machine->destination : none;
        const auto bytes = static_cast<uint32_t>(to.size() * sizeof(char16_t));
        TestSeamRecordRequest(773, to.data(), bytes);
        s.session->Request(773, to.data(), bytes);
      }
      RefreshSummary();
      break;
    }
    // The two-pane listing's filters and folder would go to the recovery
    // service, which this program has not: each command reconnects, which
    // lists nothing.
    case CMD_FILTER_EXTENSION:
    case CMD_FILTER_NAME:
      PostMessageW(window, WM_COMMAND, CMD_CONNECT, 0);
      break;
    case CMD_SEARCH_THIS_FOLDER:
      PostMessageW(window, WM_COMMAND, CMD_CONNECT, 0);
      break;
    case CMD_COLLAPSE_TREE: {
      HWND tree = s.volumeTree;
      HTREEITEM selected = tree ? TreeView_GetSelection(tree) : nullptr;
      HTREEITEM root = tree ? TreeView_GetRoot(tree) : nullptr;
      if (!selected || TreeView_GetParent(tree, selected) != root || !root) return;
      EmptyFileList();
      TreeView_SelectItem(tree, nullptr);
      TreeView_Expand(tree, root, TVE_EXPAND);
      break;
    }
    default: break;
  }
}

LRESULT ForwardNotify(HWND, NMHDR* header) {
  ShellState& s = Shell();
  if (header && header->hwndFrom == s.volumeTree && header->code == TVN_SELCHANGEDW) UpdateCommandStates();
  if (!header || header->hwndFrom != s.fileList) return 0;
  switch (header->code) {
    case LVN_GETDISPINFOW: OnGetDisplayInfo(reinterpret_cast<NMLVDISPINFOW*>(header)); break;
    case LVN_GETINFOTIPW: {
      // The whole path of the row, however long.
      auto tip = reinterpret_cast<NMLVGETINFOTIPW*>(header);
      int64_t offset = RowOffset(s.fileList, tip->iItem);
      Text path = Text(g_store.Column(offset, kColFolder)) + Text(g_store.Column(offset, kColName));
      if (tip->pszText && tip->cchTextMax > 0) lstrcpynW(tip->pszText, reinterpret_cast<const wchar_t*>(path.c_str()), tip->cchTextMax);
      break;
    }
    case LVN_COLUMNCLICK: SortByColumn(reinterpret_cast<NMLISTVIEW*>(header)->iSubItem); break;
    case LVN_ITEMCHANGED:
      UpdateCommandStates();
      PreviewSelectionChanged();
      // The summary follows the selection only in the two-pane view.
      if (!s.searchBar) RefreshSummary();
      break;
    default: break;
  }
  return 0;
}

namespace {

// From the keyboard a menu opens 10 pixels into the control, or into its
// focused row or selected item when it has one.
constexpr int kKeyboardMenuOffset = 10;

POINT KeyboardMenuPoint(HWND control, const RECT* item) {
  POINT p{kKeyboardMenuOffset, kKeyboardMenuOffset};
  if (item) {
    p.x += item->left;
    p.y += item->top;
  }
  ClientToScreen(control, &p);
  return p;
}

void EnableByPosition(HMENU menu, UINT position, bool enable) {
  EnableMenuItem(menu, position, MF_BYPOSITION | (enable ? MF_ENABLED : MF_GRAYED));
}

}  // namespace

void ShowContextMenu(HWND window, HWND from, LPARAM position) {
  ShellState& s = Shell();
  if (!from || (from != s.fileList && from != s.volumeTree)) return;
  if (s.searchBar || s.busy) return;
  const bool keyboard = position == -1;
  POINT at{static_cast<short>(LOWORD(position)), static_cast<short>(HIWORD(position))};
  HMENU popup = nullptr;
  if (s.activePane == ActivePane::List) {
    int selected = s.fileList ? ListView_GetSelectedCount(s.fileList) : 0;
    RefreshSummary();
    if (selected == 0 || !s.listPopup) return;
    popup = s.listPopup;
    for (UINT i = 0, n = GetMenuItemCount(popup); i < n; ++i) EnableByPosition(popup, i, i != 2 || selected == 1);
    if (keyboard) {
      int row = ListView_GetNextItem(s.fileList, -1, LVNI_FOCUSED);
      RECT r;
      at = KeyboardMenuPoint(s.fileList, row >= 0 && ListView_GetItemRect(s.fileList, row, &r, LVIR_BOUNDS) ? &r
                                                                                                           : nullptr);
    }
  } else if (s.activePane == ActivePane::Tree) {
    if (s.searchPanel || !s.volumeTree || !s.treePopup) return;
    HTREEITEM item = TreeView_GetSelection(s.volumeTree);
    if (!item) return;
    popup = s.treePopup;
    HTREEITEM root = TreeView_GetRoot(s.volumeTree);
    const bool isRoot = item == root;
    const bool underRoot = !isRoot && TreeView_GetParent(s.volumeTree, item) == root;
    EnableByPosition(popup, 0, !isRoot);
    EnableByPosition(popup, 1, true);
    EnableByPosition(popup, 2, !isRoot && !underRoot);
    EnableByPosition(popup, 3, underRoot);
    if (keyboard) {
      RECT r;
      at = KeyboardMenuPoint(s.volumeTree, TreeView_GetItemRect(s.volumeTree, item, &r, TRUE) ? &r : nullptr);
    }
  } else {
    return;
  }
  TrackPopupMenu(popup, TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON, at.x, at.y, 0, window, nullptr);
}

}  // namespace rv::shell
