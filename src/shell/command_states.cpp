#include "shell/command_states.h"

#include "res/resource.h"

namespace rv::shell {
namespace {

constexpr MenuCommand kMenuCommands[] = {
    {CMD_START_SEARCH, &CommandStates::startSearch},
    {CMD_SEARCH_PANEL, &CommandStates::searchPanel},
    {CMD_REFRESH_ALL, &CommandStates::refreshAll},
    {CMD_CONNECT, &CommandStates::connect},
    {CMD_STOP_LISTING, &CommandStates::stopListing},
    {CMD_LIST_FOLDER, &CommandStates::listFolder},
    {CMD_VOLUME_PROPERTIES, &CommandStates::volumeProperties},
    {CMD_UNDELETE, &CommandStates::undelete},
    {CMD_UNDELETE_TO, &CommandStates::undelete},
    {CMD_FILTER_EXTENSION, &CommandStates::filterBySelection},
    {CMD_FILTER_NAME, &CommandStates::filterBySelection},
    {CMD_SEARCH_THIS_FOLDER, &CommandStates::searchThisFolder},
    {CMD_COLLAPSE_TREE, &CommandStates::collapseTree},
};

}  // namespace

std::span<const MenuCommand> MenuCommands() { return kMenuCommands; }

CommandStates ComputeCommandStates(const WindowState& w) {
  CommandStates c;
  // The two-pane commands act on the volume tree and the file list beside
  // it: none while the search bar covers them or while something runs.
  const bool twoPane = !w.searchBarOpen && !w.busy;
  // Opening a docked dialog, or refilling the list under one, needs the
  // panel closed as well.
  const bool undocked = twoPane && !w.searchPanelOpen;
  c.startSearch = undocked;
  c.searchPanel = undocked;
  c.listFolder = undocked;
  c.refreshAll = twoPane;
  c.connect = twoPane;
  c.stopListing = twoPane;
  c.volumeProperties = twoPane;
  c.undelete = twoPane && w.selectedRows > 0;
  // Both take the first selected row's name and ask for a new listing.
  c.filterBySelection = twoPane && w.selectedRows > 0;
  c.searchThisFolder = undocked && w.tree != TreeSelection::None;
  c.collapseTree = w.tree == TreeSelection::UnderRoot;
  c.previewRead = !w.busy && w.search != SearchPhase::Starting && w.search != SearchPhase::Running;

  if (w.searchBarOpen) {
    const bool searching = w.search == SearchPhase::Starting || w.search == SearchPhase::Running;
    c.barSearch = !searching;
    c.barStop = searching;
    // Found files can be undeleted once the search is over, stopped or not.
    c.barUndelete = w.search == SearchPhase::Ended;
    // Close is greyed only while the engine says it runs: its start
    // message greys it, its end message or Stop gives it back.
    c.barClose = w.search != SearchPhase::Running;
  }
  if (w.searchPanelOpen) {
    c.panelSearch = !w.criteriaSearchRunning;
    c.panelStop = w.criteriaSearchRunning;
  }
  return c;
}

bool CommandEnabled(const CommandStates& states, unsigned id) {
  for (const MenuCommand& m : kMenuCommands)
    if (m.id == id) return states.*m.enabled;
  return true;
}

}  // namespace rv::shell
