// What users narrow a listing by, after the engine's own pattern and
// folder: size, modification time, recoverable share. Every front end
// applies them through this one rule, and asks the engine for the
// recoverable share by the same choice.
#pragma once
#include <cstdint>
#include <optional>

#include "channel/receiver.h"

namespace rv {

struct FileFilters {
  std::optional<uint64_t> minSize, maxSize;
  // Modification-time bounds as FILETIME values (UTC): `modifiedFrom` is
  // included, `modifiedUntil` excluded. A file without a time passes no
  // time bound.
  std::optional<uint64_t> modifiedFrom, modifiedUntil;
  // A bound was given that names no moment (a local time the clock skips):
  // no file passes it.
  bool timeUnmatchable = false;
  std::optional<int> minRecoverable;  // percent

  bool Any() const {
    return minSize || maxSize || modifiedFrom || modifiedUntil || timeUnmatchable || minRecoverable;
  }
  bool PassesSize(uint64_t size) const {
    return !(minSize && size < *minSize) && !(maxSize && size > *maxSize);
  }
  bool Passes(const FoundFile& f) const;
  // The engine is asked for each file's recoverable share when the front
  // end shows it or a filter needs it.
  bool NeedsRecoverableShare(bool shown) const { return shown || minRecoverable.has_value(); }
};

}  // namespace rv
