// Which of the main window's commands can run, decided in one place from
// the window's state: the menu items, the accelerators (the command handler
// refuses what the menu greys, so a key cannot run a greyed command) and
// the buttons of the docked search bar and search panel. The decision is
// plain code, tested natively; UpdateCommandStates applies it and is called
// wherever the state it reads changes.
#pragma once
#include <span>

namespace rv::shell {

// The search bar's search, as its buttons and the engine's messages move it.
enum class SearchPhase {
  None,      // nothing found to undelete: the bar just opened, or the last search was refused
  Starting,  // the worker is started; the engine has not said it began
  Running,   // the engine said it began
  Ended,     // the engine said it finished, or the user stopped it
};

// Where the volume tree's selection lies; the tree's root is the machine.
enum class TreeSelection { None, Root, UnderRoot, Deeper };

struct WindowState {
  bool searchBarOpen = false;
  bool searchPanelOpen = false;
  // A search, undelete or volume refresh is running.
  bool busy = false;
  SearchPhase search = SearchPhase::None;
  bool criteriaSearchRunning = false;  // the search panel's
  int selectedRows = 0;                // in the file list
  TreeSelection tree = TreeSelection::None;
};

struct CommandStates {
  // Menu commands and their accelerators.
  bool startSearch = false;
  bool searchPanel = false;
  bool refreshAll = false;
  bool connect = false;
  bool stopListing = false;
  bool listFolder = false;
  bool volumeProperties = false;
  bool undelete = false;           // Undelete Selected Files, and ... To
  bool filterBySelection = false;  // same name, same extension as the selected file
  bool searchThisFolder = false;
  bool collapseTree = false;
  // The search bar's buttons.
  bool barSearch = false;
  bool barUndelete = false;
  bool barStop = false;
  bool barClose = false;
  // The search panel's buttons.
  bool panelSearch = false;
  bool panelStop = false;
  // The preview pane may read the selected file through its engine: not
  // while a search holds the engine for its whole run, nor during an undelete.
  bool previewRead = false;

  bool operator==(const CommandStates&) const = default;
};

CommandStates ComputeCommandStates(const WindowState& state);

// Whether menu command `id` may run; the commands without a state (exit,
// help, the information dialogs, second starts, engine messages) always may.
bool CommandEnabled(const CommandStates& states, unsigned id);

// The menu commands that have a state, for the step that greys them.
struct MenuCommand {
  unsigned id;
  bool CommandStates::*enabled;
};
std::span<const MenuCommand> MenuCommands();

// ---- Win32 (apply_command_states.cpp) -----------------------------------------
// Reads the window's state and greys or enables every command accordingly;
// only what changed since the last call is touched.
void UpdateCommandStates();
// Whether command `id` may run now; the command handler asks before it runs one.
bool CommandEnabledNow(unsigned id);

}  // namespace rv::shell
