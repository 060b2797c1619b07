// The search panel (command 40039): tabbed criteria pages docked above the
// file list while no search bar exists.
#pragma once
#include <windows.h>

namespace rv::shell {

void OpenSearchPanel(HWND mainWindow);
void CloseSearchPanel();
// Messages the panel's dialog handling takes from the message loop.
bool SearchPanelMessage(MSG& msg);
// Shift+Tab from the file list: the panel's Close button, made the default.
void FocusSearchPanelClose();
// The panel's criteria search was started and not stopped.
bool CriteriaSearchRunning();

}  // namespace rv::shell
