#include "channel/skips.h"

namespace rv {
namespace {
// The searching thread's reporter: one search at a time per thread.
thread_local const SkipReporter* g_reporter = nullptr;
}  // namespace

void SetSkipReporter(const SkipReporter* reporter) { g_reporter = reporter; }
bool SkipsWanted() { return g_reporter != nullptr && *g_reporter; }
void ReportSkipped(const SkippedRecord& record) {
  if (SkipsWanted()) (*g_reporter)(record);
}

}  // namespace rv
