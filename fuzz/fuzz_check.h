// The fuzz targets' assertion: a broken invariant stops the run at once, so
// libFuzzer keeps the input that broke it.
#pragma once

namespace rv::fuzz {

inline void Check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace rv::fuzz
