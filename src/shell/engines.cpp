#include "shell/engines.h"

#include <windows.h>

#include "shell/search_work.h"

namespace rv::shell {

const EngineRow& EngineFor(TextView fileSystemName) {
  const EngineRow* row = EngineForFileSystem(fileSystemName);
  return row ? *row : FallbackEngine();
}

bool EnginesIdle() { return rv::EnginesIdle() && SearchWorkIdle(); }

void RequestEngineStop() {
  StopEngines();
  StopSearchWork();
}

void ReleaseEngines() {
  for (const EngineRow* row : AllEngines()) row->release();
}

}  // namespace rv::shell
