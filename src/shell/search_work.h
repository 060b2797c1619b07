// What the search worker runs around the engine's search: each found
// file's condition (its recoverable share, asked while the engine lists it
// or once the walk is over, whichever the engine answers, and whether its
// clusters past the first are a guess), then, with "Deep scan" ticked, the
// pass over the volume's free clusters for files known by their format.
// The search counts as running until all of it is done: the engine's end
// message is held back until then, and Stop ends every part of it.
//
// The worker never touches the window's state: what it learns waits here
// and the main window is told (command CMD_SEARCH_NEWS) to take it.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "carve/scan.h"
#include "channel/packet.h"
#include "channel/receiver.h"
#include "engines/engines.h"
#include "lost/lost_file.h"
#include "shell/results.h"

namespace rv::shell {

struct SearchJob {
  const EngineRow* engine = nullptr;
  SearchRequestFields fields;
  bool deep = false;
  uint32_t generation = 0;  // the search it belongs to: news of an older one is dropped
};

// A file the deep scan found, as the list shows it. `replaces` is the
// found-file message of the deleted file it is, when that file's engine
// would only guess its clusters and the format vouches for all of its
// bytes: that row is then recovered from the carved bytes.
struct CarvedRow {
  FoundFile file;
  carve::CarvedFile carved;  // `known` is cleared: it pointed into the worker's list
  int64_t replaces = -1;
};

// A file of an old file system the deep scan's pass found by its record.
struct LostRow {
  FoundFile file;
  lost::LostFile lost;
  FileCondition condition;
};

struct SearchNews {
  uint32_t generation = 0;
  // Conditions by found-file message (counted from 0 in posting order).
  std::vector<std::pair<uint32_t, FileCondition>> conditions;
  std::vector<CarvedRow> carved;
  std::vector<LostRow> lost;
  int deepPercent = -1;    // the deep scan's progress while it runs, else -1
  std::string deepError;   // why the deep scan could not run or stopped short
  std::shared_ptr<VolumeSource> deepSource;  // set once, with the scan's first news
};

// Hands the job to the search worker (window thread); its generation is
// set here. The worker is one thread for the program's life that runs one
// job at a time: a thread that has read the volume's bitmap for the
// estimates must not end while the program still uses the volume (seen
// under Wine: every later request to the volume stalls, and so does the
// program's exit). Returns the job's generation, 0 when the worker could
// not be started.
uint32_t StartSearchJob(std::unique_ptr<SearchJob> job);
// No job waits or runs.
bool SearchWorkIdle();
void StopSearchWork();

// Window thread: what the worker has told since the last call.
SearchNews TakeSearchNews();

}  // namespace rv::shell
