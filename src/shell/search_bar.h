// The search bar: dialog 331 of the resource library, docked under the top
// of the main window while a process with administrator rights runs.
#pragma once
#include <windows.h>

namespace rv::shell {

bool CreateSearchBar(HWND mainWindow);
void CloseSearchBar();
// Messages the bar's dialog handling takes from the message loop.
bool SearchBarMessage(MSG& msg);

// The folder browser, one at a time: a chosen folder goes to the top of
// the owner's combo box `target`.
void StartFolderBrowse(HWND owner, UINT titleId, int target);

// Asks a running engine to stop and waits a short while for it to reach
// idle, so that shutdown does not release volume data an engine still reads.
void StopEnginesAndWait();

}  // namespace rv::shell
