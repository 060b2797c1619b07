// The search the window shows: the engine row that ran it, the volume it
// read, the destination chosen for its files, and the files it found with
// all the engine said of them. The file list's rows index into `found`;
// the undelete request, the status-bar sums and the sort by size read the
// files themselves, never the row texts. Per-file state a later feature
// needs (condition, preview) belongs beside each found file here. Touched
// only on the window thread.
#pragma once
#include <vector>

#include "channel/receiver.h"
#include "engines/engines.h"
#include "platform/types.h"
#include "shell/command_states.h"

namespace rv::shell {

struct SearchSession {
  const EngineRow* engine = nullptr;  // null before the first search
  Text searchedRoot;                  // "X:\" or "\\?\Volume{...}\"
  Text destination;                   // as typed in the destination dialog
  bool writeReport = false;           // a report beside the recovered files
  SearchPhase phase = SearchPhase::None;
  std::vector<FoundFile> found;
};

SearchSession& CurrentSearch();

}  // namespace rv::shell
