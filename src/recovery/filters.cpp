#include "recovery/filters.h"


namespace rv {

bool FileFilters::Passes(const FoundFile& f) const {
  if (!PassesSize(f.size)) return false;
  if (minRecoverable && (f.recoverable < 0 || f.recoverable < *minRecoverable)) return false;
  if (modifiedFrom || modifiedUntil || timeUnmatchable) {
    uint64_t when = 0;
    if (timeUnmatchable || !FoundTimeToFileTime(f.timeKind, f.timeValue, when)) return false;
    if (modifiedFrom && when < *modifiedFrom) return false;
    if (modifiedUntil && when >= *modifiedUntil) return false;
  }
  return true;
}

}  // namespace rv
