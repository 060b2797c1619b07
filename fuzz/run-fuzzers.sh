#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time
# over its corpus (fuzz/corpus/<target>, seeded from the test volumes).
# Crashes land in build-fuzz/crashes/ and fail the run.
# Usage: fuzz/run-fuzzers.sh [--seconds N] [--jobs N]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=20
for ((i = 1; i <= $#; i++)); do
  case "${!i}" in
    --seconds) j=$((i + 1)); seconds=${!j} ;;
  esac
done
cmake -S . -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRETRIVA_FUZZ=ON -DRETRIVA_TESTS=OFF >/dev/null
ninja -C build-fuzz >/dev/null
mkdir -p build-fuzz/crashes
status=0
for exe in build-fuzz/fuzz/fuzz_*; do
  [ -x "$exe" ] || continue
  name=$(basename "$exe")
  corpus=fuzz/corpus/${name#fuzz_}
  work=build-fuzz/corpus/${name#fuzz_}
  mkdir -p "$work"
  [ -d "$corpus" ] && cp -n "$corpus"/* "$work"/ 2>/dev/null || true
  # Regression inputs (minimised crashes found earlier) run first.
  if [ -d fuzz/regressions/${name#fuzz_} ]; then
    "$exe" -runs=0 fuzz/regressions/${name#fuzz_}/* >/dev/null 2>&1 || { echo "regression failed: $name"; status=1; }
  fi
  echo "-- $name: ${seconds}s"
  if ! ASAN_OPTIONS=detect_leaks=1 "$exe" "$work" -max_total_time="$seconds" -max_len=4096 -timeout=60 -seed=1 -rss_limit_mb=2048 \
      -artifact_prefix=build-fuzz/crashes/"$name"- -print_final_stats=1 2>build-fuzz/"$name".log >/dev/null; then
    echo "   FOUND A FAULT: see build-fuzz/$name.log and build-fuzz/crashes/"
    tail -30 build-fuzz/"$name".log
    status=1
  else
    grep -E "stat::number_of_executed_units|cov:" build-fuzz/"$name".log | tail -2 | sed 's/^/   /'
  fi
done
exit $status
