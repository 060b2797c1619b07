// The main window "PellagoEGuiClass": its class, its message handlers, the
// command handler every menu item, accelerator, second start and engine
// message goes through, the layout of its panes, and shutdown.
#pragma once
#include <windows.h>

#include <cstdint>
#include <vector>

#include "channel/destination.h"
#include "res/resource.h"

namespace rv::shell {

constexpr wchar_t kMainClass[] = L"PellagoEGuiClass";
constexpr wchar_t kTitleBarClass[] = L"RVInnerTitleBar";
constexpr wchar_t kStartTopicW[] = L"::/Quorvex_standalone.htm";
constexpr int kMainWidth = 644;
constexpr int kMainHeight = 480;
constexpr int kTitleBarHeight = 25;
constexpr int kPaneTop = 28;  // title bar and the 3-pixel gap under it
constexpr int kPaneGap = 3;   // between the volume tree and the file list

bool RegisterWindowClasses(HINSTANCE program);
HWND CreateMainWindow(HINSTANCE program);

// The start-up command, run inside the message loop once the window exists.
void RunStartup(HWND window);

// Lays the children out for the current client size.
void LayoutChildren(HWND window);
// Greys or enables the menu items that depend on the docked search bar.
void RefreshMenu(HWND window);

// Opens the help file at `topic` (none: its start page).
void OpenHelp(const wchar_t* topic);

// The text of a dialog's control, empty when there is no such control.
std::wstring ItemText(HWND dialog, int id);

// True when the process token holds the built-in Administrators group as an
// enabled group.
bool IsAdministrator();
// A switch of the test build that makes the check above answer no.
bool TestSeamDeniesAdministrator();
int TestSeamTwoPaneRows();
std::vector<DestinationVolume> TestSeamVolumes();
int TestSeamServiceLevel(int level);
void TestSeamRecordRequest(uint32_t code, const void* data, uint32_t length);

}  // namespace rv::shell
