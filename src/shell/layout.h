// How the main window's children are laid out: the inner title bars over
// the panes, the volume tree and file list side by side under them.
#pragma once
#include <windows.h>

namespace rv::shell {

constexpr wchar_t kTitleBarClass[] = L"RVInnerTitleBar";
constexpr int kTitleBarHeight = 25;
constexpr int kPaneTop = 28;  // title bar and the 3-pixel gap under it
constexpr int kPaneGap = 3;   // between the volume tree and the file list

// Lays the children out for the current client size.
void LayoutChildren(HWND window);

}  // namespace rv::shell
