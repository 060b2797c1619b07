// Which commands of the window program can run in which state: the search
// bar's buttons through a search, the menu (and so the accelerators) with
// the bar docked and in the two-pane view.
#include <gtest/gtest.h>

#include <string>

#include "res/resource.h"
#include "shell/command_states.h"

namespace rv::shell {
namespace {

WindowState WithBar(SearchPhase phase) {
  WindowState w;
  w.searchBarOpen = true;
  w.search = phase;
  return w;
}

// Search, Undelete, Stop, Close as "1" enabled and "0" greyed.
std::string BarButtons(const CommandStates& c) {
  std::string s;
  for (bool on : {c.barSearch, c.barUndelete, c.barStop, c.barClose}) s += on ? '1' : '0';
  return s;
}

TEST(ShellCommandStates, SearchBarButtonsFollowTheSearch) {
  // Opened, or a search refused before it began: nothing to undelete.
  EXPECT_EQ(BarButtons(ComputeCommandStates(WithBar(SearchPhase::None))), "1001");
  // Worker started: Stop at once; Close until the engine says it runs.
  EXPECT_EQ(BarButtons(ComputeCommandStates(WithBar(SearchPhase::Starting))), "0011");
  EXPECT_EQ(BarButtons(ComputeCommandStates(WithBar(SearchPhase::Running))), "0010");
  // Finished or stopped: Undelete whether or not a row is selected.
  EXPECT_EQ(BarButtons(ComputeCommandStates(WithBar(SearchPhase::Ended))), "1101");
  // No bar, no bar buttons; a stale phase from a closed bar changes nothing.
  WindowState closed;
  closed.search = SearchPhase::Running;
  EXPECT_EQ(BarButtons(ComputeCommandStates(closed)), "0000");
}

// A search holds the engine for its whole run: the preview reads before
// and after it, never during it or an undelete.
TEST(ShellCommandStates, PreviewReadsOnlyWhileTheEngineIsFree) {
  EXPECT_TRUE(ComputeCommandStates(WithBar(SearchPhase::None)).previewRead);
  EXPECT_FALSE(ComputeCommandStates(WithBar(SearchPhase::Starting)).previewRead);
  EXPECT_FALSE(ComputeCommandStates(WithBar(SearchPhase::Running)).previewRead);
  WindowState w = WithBar(SearchPhase::Ended);
  EXPECT_TRUE(ComputeCommandStates(w).previewRead);
  w.busy = true;
  EXPECT_FALSE(ComputeCommandStates(w).previewRead);
}

TEST(ShellCommandStates, TheDockedBarGreysAndRefusesTheTwoPaneCommands) {
  WindowState w = WithBar(SearchPhase::Ended);
  w.selectedRows = 3;
  w.tree = TreeSelection::Deeper;
  const CommandStates c = ComputeCommandStates(w);
  // Ctrl+U is Undelete Selected Files: with the bar it must not run, even
  // with rows selected; Ctrl+F and F5 neither.
  for (unsigned id : {CMD_UNDELETE, CMD_UNDELETE_TO, CMD_START_SEARCH, CMD_LIST_FOLDER, CMD_SEARCH_PANEL,
                      CMD_REFRESH_ALL, CMD_CONNECT, CMD_STOP_LISTING, CMD_VOLUME_PROPERTIES, CMD_FILTER_NAME,
                      CMD_FILTER_EXTENSION, CMD_SEARCH_THIS_FOLDER})
    EXPECT_FALSE(CommandEnabled(c, id)) << id;
  // Commands without a state always run: exit, help, the information
  // dialogs, the option, second starts and engine messages.
  for (unsigned id : {CMD_EXIT, CMD_HELP_TOPICS, CMD_INFO_FIRST, CMD_INFO_LAST, CMD_SERVICE_OPTION, CMD_SHOW_ON_REQUEST,
                      CMD_STARTUP, 1429})
    EXPECT_TRUE(CommandEnabled(c, id)) << id;
}

TEST(ShellCommandStates, TwoPaneCommandsFollowSelectionPanelAndBusy) {
  WindowState w;
  CommandStates c = ComputeCommandStates(w);
  EXPECT_TRUE(c.startSearch && c.searchPanel && c.listFolder && c.refreshAll && c.connect);
  EXPECT_FALSE(c.undelete || c.filterBySelection || c.searchThisFolder || c.collapseTree);

  w.selectedRows = 1;
  c = ComputeCommandStates(w);
  EXPECT_TRUE(CommandEnabled(c, CMD_UNDELETE) && CommandEnabled(c, CMD_UNDELETE_TO));
  EXPECT_TRUE(CommandEnabled(c, CMD_FILTER_NAME) && CommandEnabled(c, CMD_FILTER_EXTENSION));

  // The search panel: no second docked dialog and no refill under it; the
  // rest of the two-pane view stays.
  w.searchPanelOpen = true;
  w.tree = TreeSelection::Deeper;
  c = ComputeCommandStates(w);
  EXPECT_FALSE(c.startSearch || c.searchPanel || c.listFolder || c.searchThisFolder);
  EXPECT_TRUE(c.refreshAll && c.connect && c.undelete);
  EXPECT_TRUE(c.panelSearch && !c.panelStop);
  w.criteriaSearchRunning = true;
  c = ComputeCommandStates(w);
  EXPECT_TRUE(!c.panelSearch && c.panelStop);

  // Busy (an undelete runs): nothing of the two-pane view, not even a
  // second undelete.
  w.searchPanelOpen = false;
  w.busy = true;
  c = ComputeCommandStates(w);
  EXPECT_FALSE(c.startSearch || c.searchPanel || c.listFolder || c.refreshAll || c.connect || c.undelete ||
               c.filterBySelection || c.searchThisFolder);
}

TEST(ShellCommandStates, TreeCommandsFollowTheTreeSelection) {
  struct Case {
    TreeSelection tree;
    bool searchThisFolder, collapse;
  };
  for (const Case& k : {Case{TreeSelection::None, false, false}, Case{TreeSelection::Root, true, false},
                        Case{TreeSelection::UnderRoot, true, true}, Case{TreeSelection::Deeper, true, false}}) {
    WindowState w;
    w.tree = k.tree;
    const CommandStates c = ComputeCommandStates(w);
    EXPECT_EQ(CommandEnabled(c, CMD_SEARCH_THIS_FOLDER), k.searchThisFolder) << static_cast<int>(k.tree);
    EXPECT_EQ(CommandEnabled(c, CMD_COLLAPSE_TREE), k.collapse) << static_cast<int>(k.tree);
  }
}

}  // namespace
}  // namespace rv::shell
