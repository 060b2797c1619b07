#include "shell/views.h"

#include <commctrl.h>

#include <algorithm>
#include <iterator>

#include "res/resource.h"
#include "shell/main_window.h"
#include "shell/registry.h"
#include "shell/state.h"

namespace rv::shell {
namespace {

constexpr int kTwoPaneColumns = 7;
constexpr int32_t kDefaultWidths[kTwoPaneColumns] = {100, 50, 100, 100, 50, 50, 0};
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
  if (Shell().columnWidths.Get(store, ListKind::TwoPane, kTwoPaneColumns, widths)) return;
  for (int i = 0; i < kTwoPaneColumns; ++i) widths[i] = Px(kDefaultWidths[i]);
}

HWND CreateFileList(HWND window) {
  ShellState& s = Shell();
  HWND list = CreateWindowExW(WS_EX_STATICEDGE, WC_LISTVIEWW, L"",
                              WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SHOWSELALWAYS, 0, Px(kPaneTop),
                              CW_USEDEFAULT, CW_USEDEFAULT, window, nullptr, s.program, nullptr);
  if (!list) return nullptr;
  ListView_SetExtendedListViewStyle(list, LVS_EX_FULLROWSELECT | LVS_EX_HEADERDRAGDROP);
  int32_t widths[kTwoPaneColumns];
  StoredOrDefaultWidths(widths);
  for (int i = 0; i < kTwoPaneColumns; ++i) {
    // A title that cannot be loaded ends the columns there.
    if (LibraryString(IDS_COL_NAME + i).empty()) break;
    InsertColumn(list, i, IDS_COL_NAME + i, widths[i], i == 1 ? LVCFMT_RIGHT : LVCFMT_LEFT);
  }
  return list;
}

}  // namespace

void CreateChildWindows(HWND window) {
  ShellState& s = Shell();
  s.statusBar = CreateWindowExW(0, STATUSCLASSNAMEW, L"", WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP, 0, 0, 0, 0, window,
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
    SetFocus(s.volumeTree);
  }
  s.fileList = CreateFileList(window);
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
  RetitleColumn(list, 2, 10);
  RetitleColumn(list, 3, 9);
  RetitleColumn(list, 4, 7);
  RetitleColumn(list, 5, 8);
}

void UseTwoPaneColumns() {
  HWND list = Shell().fileList;
  if (!list) return;
  for (int i = 2; i <= 5; ++i) RetitleColumn(list, i, IDS_COL_NAME + i);
  int32_t widths[kTwoPaneColumns];
  StoredOrDefaultWidths(widths);
  InsertColumn(list, 6, IDS_COL_NAME + 6, widths[6], LVCFMT_LEFT);
  for (int i = 0; i < kTwoPaneColumns; ++i) ListView_SetColumnWidth(list, i, widths[i]);
}

void EmptyFileList() {
  if (Shell().fileList) ListView_DeleteAllItems(Shell().fileList);
  FreeListStore();
}

// The file list holds no texts of its own yet; its store arrives with the
// search results.
void FreeListStore() {}

void SelectAllRows() {
  if (Shell().fileList) ListView_SetItemState(Shell().fileList, -1, LVIS_SELECTED, LVIS_SELECTED);
}

void RefreshSummary() {
  ShellState& s = Shell();
  if (!s.fileList) return;
  int rows = ListView_GetItemCount(s.fileList);
  int selected = ListView_GetSelectedCount(s.fileList);
  if (selected > 0) SetStatusText(1, FormatLibraryString(291, {static_cast<int64_t>(selected)}));
  else SetStatusText(1, FormatLibraryString(288, {static_cast<int64_t>(rows)}));
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

// The tree is filled by a service this program does not have: it stays
// empty, is never dragged and never refilled.
bool TreeDragInProgress() { return false; }
bool RefillRunning() { return false; }

// Found files, progress and reports of the engines are shown by the search
// bar's views; until they exist the messages are only released.
void HandleEngineMessage(unsigned, HGLOBAL) {}

// The two-pane commands act on the service's machine and folder listings,
// which stay empty here.
void HandleViewCommand(HWND, unsigned) {}

LRESULT ForwardNotify(HWND, NMHDR*) { return 0; }

void ShowContextMenu(HWND, HWND, LPARAM) {}

}  // namespace rv::shell
