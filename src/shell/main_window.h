// The main window "PellagoEGuiClass": its class, its message handlers, the
// command handler every menu item, accelerator, second start and engine
// message goes through, and shutdown. Layout, the helpers dialogs share and
// the test build's switches have headers of their own.
#pragma once
#include <windows.h>

namespace rv::shell {

constexpr wchar_t kMainClass[] = L"PellagoEGuiClass";
constexpr wchar_t kStartTopicW[] = L"::/Quorvex_standalone.htm";
constexpr int kMainWidth = 644;
constexpr int kMainHeight = 480;

bool RegisterWindowClasses(HINSTANCE program);
HWND CreateMainWindow(HINSTANCE program);

// The start-up command, run inside the message loop once the window exists.
void RunStartup(HWND window);

// True when the process token holds the built-in Administrators group as an
// enabled group.
bool IsAdministrator();

}  // namespace rv::shell
