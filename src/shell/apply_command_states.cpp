// The commands' states applied to the window: the main menu's items and the
// docked dialogs' buttons, from the state the window and its session hold.
#include <windows.h>
#include <commctrl.h>

#include <optional>

#include "res/resource.h"
#include "shell/command_states.h"
#include "shell/preview_pane.h"
#include "shell/search_session.h"
#include "shell/state.h"
#include "shell/two_pane/search_panel.h"

namespace rv::shell {
namespace {

// The root is the tree's first item, the machine; its children are volumes.
TreeSelection TreeSelectionOf(HWND tree) {
  HTREEITEM item = tree ? TreeView_GetSelection(tree) : nullptr;
  if (!item) return TreeSelection::None;
  HTREEITEM root = TreeView_GetRoot(tree);
  if (item == root) return TreeSelection::Root;
  return TreeView_GetParent(tree, item) == root ? TreeSelection::UnderRoot : TreeSelection::Deeper;
}

WindowState CurrentWindowState() {
  const ShellState& s = Shell();
  WindowState w;
  w.searchBarOpen = s.searchBar != nullptr;
  w.searchPanelOpen = s.searchPanel != nullptr;
  w.busy = s.busy;
  w.search = CurrentSearch().phase;
  w.criteriaSearchRunning = CriteriaSearchRunning();
  w.selectedRows = s.fileList ? ListView_GetSelectedCount(s.fileList) : 0;
  w.tree = TreeSelectionOf(s.volumeTree);
  return w;
}

void EnableItem(HWND dialog, int id, bool enable) {
  if (HWND item = dialog ? GetDlgItem(dialog, id) : nullptr) EnableWindow(item, enable ? TRUE : FALSE);
}

// What was applied last, and to which windows: a new bar or panel comes
// with its dialog resource's own states, which must be overwritten.
struct Applied {
  CommandStates states;
  HMENU menu;
  HWND searchBar;
  HWND searchPanel;
  bool operator==(const Applied&) const = default;
};
std::optional<Applied> g_applied;

}  // namespace

void UpdateCommandStates() {
  const ShellState& s = Shell();
  const CommandStates now = ComputeCommandStates(CurrentWindowState());
  HMENU menu = s.mainWindow ? GetMenu(s.mainWindow) : nullptr;
  const Applied next{now, menu, s.searchBar, s.searchPanel};
  // Selection changes come once per row (Ctrl+A on a long list): most
  // change nothing here.
  if (g_applied == next) return;
  if (menu)
    for (const MenuCommand& m : MenuCommands())
      EnableMenuItem(menu, m.id, MF_BYCOMMAND | (now.*m.enabled ? MF_ENABLED : MF_GRAYED));
  EnableItem(s.searchBar, IDC_SB_SEARCH, now.barSearch);
  EnableItem(s.searchBar, IDC_SB_UNDELETE, now.barUndelete);
  EnableItem(s.searchBar, IDC_SB_STOP, now.barStop);
  EnableItem(s.searchBar, IDC_SB_CLOSE, now.barClose);
  EnableItem(s.searchPanel, IDC_SP_SEARCH, now.panelSearch);
  EnableItem(s.searchPanel, IDC_SP_STOP, now.panelStop);
  const bool previewWas = g_applied && g_applied->states.previewRead;
  g_applied = next;
  if (now.previewRead != previewWas) PreviewReadAllowed(now.previewRead);
}

BusyScope::BusyScope() {
  Shell().busy = true;
  UpdateCommandStates();
}

BusyScope::~BusyScope() {
  Shell().busy = false;
  UpdateCommandStates();
}

bool CommandEnabledNow(unsigned id) { return CommandEnabled(ComputeCommandStates(CurrentWindowState()), id); }

}  // namespace rv::shell
