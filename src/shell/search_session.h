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

// What the window learnt of a found file after the search listed it.
struct FoundFileState {
  // Every byte of the file, read as a recovery would write it, was zero
  // although the file is not empty (its clusters were cleared: an SSD's
  // TRIM, a wipe). Set once the preview has read the whole file so; the
  // condition column shows such a file as "Zeroed".
  bool zeroedSeen = false;
};

struct SearchSession {
  const EngineRow* engine = nullptr;  // null before the first search
  Text searchedRoot;                  // "X:\" or "\\?\Volume{...}\"
  Text destination;                   // as typed in the destination dialog
  bool writeReport = false;           // a report beside the recovered files
  SearchPhase phase = SearchPhase::None;
  std::vector<FoundFile> found;
  // Indexed as `found`, and emptied with it; shorter while nothing was
  // learnt of the later files (they have the default state).
  std::vector<FoundFileState> foundStates;

  FoundFileState StateOf(size_t index) const { return index < foundStates.size() ? foundStates[index] : FoundFileState{}; }
  FoundFileState& MutableStateOf(size_t index) {
    if (foundStates.size() <= index) foundStates.resize(index + 1);
    return foundStates[index];
  }
};

SearchSession& CurrentSearch();

}  // namespace rv::shell
