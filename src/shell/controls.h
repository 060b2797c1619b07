// Helpers every window and dialog of the program shares.
#pragma once
#include <windows.h>

#include <string>

namespace rv::shell {

// The text of a dialog's control, empty when there is no such control.
std::wstring ItemText(HWND dialog, int id);
// Opens the help file at `topic` (none: its start page).
void OpenHelp(const wchar_t* topic);

}  // namespace rv::shell
