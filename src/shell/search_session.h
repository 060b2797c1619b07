// The search the window shows: the engine row that ran it, the volume it
// read, the destination chosen for its files, and the files it found with
// all the engine said of them. The file list's rows index into `found`;
// the undelete request, the status-bar sums and the sort by size read the
// files themselves, never the row texts. Per-file state a later feature
// needs (condition, preview) belongs beside each found file here. Touched
// only on the window thread.
#pragma once
#include <memory>
#include <vector>

#include "carve/scan.h"
#include "lost/lost_file.h"
#include "channel/receiver.h"
#include "engines/engines.h"
#include "platform/types.h"
#include "shell/command_states.h"
#include "shell/results.h"

namespace rv::shell {

struct SearchSession {
  const EngineRow* engine = nullptr;  // null before the first search
  Text searchedRoot;                  // "X:\" or "\\?\Volume{...}\"
  Text destination;                   // as typed in the destination dialog
  bool writeReport = false;           // a report beside the recovered files
  SearchPhase phase = SearchPhase::None;
  std::vector<FoundFile> found;
  // Beside each found file: its condition, and which carved file or file
  // of an old file system it is (indexes into `carved` and `lost`, -1 for
  // the engine's own files).
  struct FoundState {
    FileCondition condition;
    int32_t carved = -1;
    int32_t lost = -1;
  };
  std::vector<FoundState> states;
  // The found file of each found-file message, in the order the engine
  // posted them (-1: left out); the worker's conditions name messages.
  std::vector<int32_t> arrivals;
  // The deep scan's files and the volume it read them from, which their
  // recovery reads again.
  std::vector<carve::CarvedFile> carved;
  std::vector<lost::LostFile> lost;
  std::shared_ptr<VolumeSource> deepSource;
  uint32_t generation = 0;  // of the search worker's run that fills it
};

SearchSession& CurrentSearch();

}  // namespace rv::shell
