// The result views beside and under the search bar: the status bar with
// its progress bar, the two inner title bars, the volume tree and the file
// list. This file creates and arranges them; filling them from the engines'
// messages goes through HandleEngineMessage.
#pragma once
#include <windows.h>

#include <array>
#include <string>
#include <vector>

#include "shell/results.h"
#include "shell/search_session.h"

namespace rv {
struct FoundFile;
}

namespace rv::shell {

// Start-up's child windows, in their order: status bar, progress bar (a
// child of the status bar), the title bars, the volume tree (which gets
// the focus) and the file list.
void CreateChildWindows(HWND window);

// The file list's columns: seven for the two-pane view, six for search
// results (the seventh removed, columns 2 to 5 retitled), and the
// condition column last in both.
void UseSearchColumns();
void UseTwoPaneColumns();
void EmptyFileList();
// The user's date order, in which the rows show dates.
DateOrder ListDateOrder();
// One row per found file, its texts in the list's store (`texts` when
// given, else the file's own), its state beside it; false when the store
// could not grow and the file is left out.
bool AddFoundFile(const FoundFile& file, const SearchSession::FoundState& state = {},
                  const std::array<Text, kResultColumns>* texts = nullptr);
// Gives the list the rows added since it last heard.
void FlushFoundRows();
// Made-up rows for the test build's two-pane view (nothing when count is 0).
void AddTestRows(int count);
// The found files of the selected rows, from row 0 down, and their indexes
// into the search's found files.
std::vector<FoundFile> SelectedFiles();
std::vector<size_t> SelectedIndexes();
// The list paints the conditions again (they changed).
void RedrawConditions();
// The found file of the one selected row (its index in the search's found
// files); -1 unless exactly one row is selected.
int SingleSelectedFile();
// Tab out of the file list and the panes under it: the docked dialog, or
// the volume tree.
void FocusAfterFileList();
// Widens the size and date columns to their texts after a search.
void FitResultColumns();
// The free-space figure the summary shows when nothing is selected.
void SetFreeSpace(uint64_t bytes, wchar_t drive);
void FreeListStore();
// The list's column widths, kept for the rest of the run.
void RememberFileListWidths();
void SelectAllRows();
// Status-bar parts 1 and 2: the list's row count or selection.
void RefreshSummary();
void SetStatusText(int part, const std::wstring& text);

// The volume tree collapsed to nothing while the search bar is docked, and
// given back its width when the bar goes.
void CollapseTree();
void RestoreTree();
std::wstring TreeSelectionPath();
// The tree's right border is the splitter between the panes.
void SubclassVolumeTree(HWND tree);
bool TreeDragInProgress();

// Engine messages (controller message ids); the caller frees the payload.
void HandleEngineMessage(unsigned id, HGLOBAL payload);
// The search worker's news (CMD_SEARCH_NEWS).
void HandleSearchNews();
// A message box of a slot class (0 to 9) is not shown while one of its
// class is open; other slots always show.
void ShowMessageBox(const std::wstring& text, const std::wstring& caption, unsigned style, int slot);
// Commands of the two-pane view.
void HandleViewCommand(HWND window, unsigned id);
LRESULT ForwardNotify(HWND window, NMHDR* header);
void ShowContextMenu(HWND window, HWND from, LPARAM position);

}  // namespace rv::shell
