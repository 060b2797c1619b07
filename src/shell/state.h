// The window program's process-wide state: the flags and window handles
// through which start-up, the command handler, the docked search bar and
// the result views coordinate. Touched only by the window thread, except
// where a field says otherwise.
#pragma once
#include <windows.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "shell/logic.h"
#include "shell/settings.h"

namespace rv::shell {

enum class ActivePane : int { DockedDialog = 0, Tree = 1, List = 2 };

constexpr int kTitleLength = 260;
constexpr int kMessageSlots = 10;

struct ShellState {
  HWND mainWindow = nullptr;
  HINSTANCE resourceLibrary = nullptr;  // PgRes.dll
  HINSTANCE program = nullptr;          // quorvex.exe: icon 200 and string 1
  HANDLE instanceMutex = nullptr;
  HACCEL accelerators = nullptr;
  StartSwitches switches;
  // Read by the search worker as well: a search or undelete is running.
  volatile bool busy = false;
  bool closing = false;
  bool shownOnRequest = false;
  ActivePane activePane = ActivePane::Tree;
  bool isAdministrator = false;
  int serviceLevel = 0;
  std::array<bool, kMessageSlots> messageSlots{};
  HWND traceWindow = nullptr;
  bool traceSwitch = false;

  std::wstring windowTitle;   // string 131
  std::wstring productTitle;  // string 132
  std::wstring searchTitle;   // string 133
  std::wstring targetComputer;

  HCURSOR waitCursor = nullptr;
  HCURSOR arrowCursor = nullptr;

  // Child windows.
  HWND statusBar = nullptr;
  HWND progressBar = nullptr;
  HWND leftTitleBar = nullptr;
  HWND rightTitleBar = nullptr;
  HWND volumeTree = nullptr;
  HWND fileList = nullptr;
  HWND searchBar = nullptr;
  HWND searchPanel = nullptr;
  int treeWidth = -1;            // -1: a quarter of the client width
  int rememberedTreeWidth = -1;  // while the search bar has the tree collapsed

  HMENU listMenu = nullptr;  // menu 303 and its sub-menu 0
  HMENU listPopup = nullptr;
  HMENU treeMenu = nullptr;  // menu 347 and its sub-menu 0
  HMENU treePopup = nullptr;

  std::unique_ptr<ServiceSession> session;
  ColumnWidthCache columnWidths;

  // Volume functions bound at start-up on systems after NT 4.
  FARPROC findFirstVolume = nullptr;
  FARPROC findNextVolume = nullptr;
  FARPROC findVolumeClose = nullptr;
  FARPROC volumeNameForMountPoint = nullptr;
};

ShellState& Shell();

// Busy for the life of the object: the commands refused while busy are
// greyed when it starts and given back when it ends.
class BusyScope {
 public:
  BusyScope();
  ~BusyScope();
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;
};

// Texts of the resource library and of the program itself.
std::wstring LibraryString(UINT id);
std::wstring ProgramString(UINT id);
std::wstring FormatLibraryString(UINT id, const std::vector<FormatArg>& args);
// String 123 with the product title and the target computer.
std::wstring MainTitle();

// Pixel figures of the layout are given for 96 dots per inch.
int Px(int pixelsAt96Dpi);

}  // namespace rv::shell
