// The destination dialog (400) and its alternate-location dialog (345):
// where the two-pane view recovers a machine's files to.
#pragma once
#include <windows.h>

#include "shell/logic.h"

namespace rv::shell {

// Shows the machine's destination; false when the user cancelled, which
// also empties the machine's destination.
bool ChooseDestination(HWND owner, MachineRecord& machine);

}  // namespace rv::shell
