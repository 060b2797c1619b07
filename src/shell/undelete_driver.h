// Recovering the selected files of the current search into its destination.
#pragma once

namespace rv::shell {

// Runs the core's recovery session on the window thread for the selected
// rows, with a progress dialog while it runs and the report of what became
// of every file after.
void RunUndeleteDriver();

}  // namespace rv::shell
