#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time
# over its corpus (fuzz/corpus/<target>, seeded from the test volumes by
# fuzz/make-corpora.py). Regression inputs in fuzz/regressions/<target>/
# are replayed first. Crashes land in build-fuzz/crashes/ and fail the run.
#
# Usage: fuzz/run-fuzzers.sh [--build DIR] [--seconds N | --total N] [--jobs N] [--only NAME] [--report FILE]
#                            [--keep-crashes]
#   --build DIR     use the fuzz targets of an existing clang build configured
#                   with -DRETRIVA_FUZZ=ON (the test command's sanitizer build)
#                   instead of configuring build-fuzz
#   --seconds N     seconds per target (default 20)
#   --total N       seconds of wall time for all targets together, split
#                   evenly among them
#   --jobs N        targets run side by side (default: the number of cores)
#   --only NAME     run only this target (fuzz_ prefix optional); may repeat
#   --report FILE   write a Markdown report (executions, cov/ft, corpus, crashes)
#   --keep-crashes  copy each crashing input into fuzz/regressions/<target>/
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=20
build=
total=
report=
keep=0
jobs=$(nproc)
only=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --total) total=$2; shift 2 ;;
    --only) only+=("fuzz_${2#fuzz_}"); shift 2 ;;
    --report) report=$2; shift 2 ;;
    --keep-crashes) keep=1; shift ;;
    --jobs) jobs=$2; shift 2 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done
if [ -z "$build" ]; then
  build=build-fuzz
  cmake -S . -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRETRIVA_FUZZ=ON -DRETRIVA_TESTS=OFF >/dev/null
fi
nice -n 10 ninja -C "$build" >/dev/null
# Crashes, logs and grown corpora stay in build-fuzz whichever build ran.
mkdir -p build-fuzz/crashes

targets=()
for exe in "$build"/fuzz/fuzz_*; do
  [ -x "$exe" ] && [ -f "$exe" ] || continue
  name=$(basename "$exe")
  if [ ${#only[@]} -gt 0 ]; then
    keepit=0
    for o in "${only[@]}"; do [ "$o" = "$name" ] && keepit=1; done
    [ $keepit = 1 ] || continue
  fi
  targets+=("$name")
done
[ "$jobs" -ge 1 ] || jobs=1
if [ -n "$total" ]; then
  seconds=$((total * jobs / ${#targets[@]}))
  [ "$seconds" -ge 1 ] || seconds=1
fi

# Largest input per target: whole records, units and clusters for the
# parser targets, patch lists for the engine targets.
max_len() {
  case "$1" in
    fuzz_lznt1 | fuzz_fat_directory | fuzz_exfat) echo 65537 ;;
    fuzz_boot_sectors) echo 65536 ;;
    fuzz_containers) echo 10485760 ;;  # whole containers: a VHDX seed is 9 MiB
    fuzz_fat_chains) echo 32768 ;;
    fuzz_carve_formats) echo 16384 ;;  # whole small files of each format
    fuzz_mft_record | fuzz_file_name_attrlist) echo 8192 ;;
    fuzz_lost_records) echo 65543 ;;  # the header and 64 KiB of a volume
    *) echo 4096 ;;
  esac
}

if [ -n "$report" ]; then
  mkdir -p "$(dirname "$report")"
  {
    echo "# Fuzz report"
    echo
    echo "$(date -u +%Y-%m-%dT%H:%M:%SZ), ${seconds}s per target, commit $(git rev-parse --short HEAD 2>/dev/null || echo '?')"
    echo
    echo "| target | seconds | executions | cov | ft | corpus files | crashes |"
    echo "| --- | --- | --- | --- | --- | --- | --- |"
  } >"$report"
fi

# One target: its lines go to build-fuzz/NAME.summary, its table row to
# build-fuzz/NAME.row, and its exit status says whether it found a fault.
fuzz_one() {
  local name=$1 exe short corpus work before after crashes log status=0
  exe=$build/fuzz/$name
  short=${name#fuzz_}
  corpus=fuzz/corpus/$short
  work=build-fuzz/corpus/$short
  mkdir -p "$work"
  [ -d "$corpus" ] && cp -n "$corpus"/* "$work"/ 2>/dev/null || true
  # Container seeds are made here, from the test volumes, by the real tools.
  if [ "$name" = fuzz_containers ] && [ -z "$(ls -A "$work")" ]; then
    fuzz/make-container-seeds.sh "$build/test-images" "$work" >/dev/null 2>&1 || true
  fi
  # Regression inputs (minimised crashes found earlier) run first.
  if [ -d fuzz/regressions/$short ] && [ -n "$(ls -A fuzz/regressions/$short)" ]; then
    ASAN_OPTIONS=detect_leaks=1 nice -n 10 "$exe" -runs=0 fuzz/regressions/$short/* >/dev/null 2>&1 ||
      { echo "regression failed: $name"; status=1; }
  fi
  echo "-- $name: ${seconds}s"
  before=$(ls build-fuzz/crashes | grep -Ec "^$name-(crash|timeout|leak|oom)-" || true)
  log=build-fuzz/$name.log
  if ! ASAN_OPTIONS=detect_leaks=1 nice -n 10 "$exe" "$work" -max_total_time="$seconds" -max_len="$(max_len "$name")" \
      -timeout=60 -seed=1 -rss_limit_mb=2048 -artifact_prefix=build-fuzz/crashes/"$name"- -print_final_stats=1 \
      2>"$log" >/dev/null; then
    echo "   FOUND A FAULT: see $log and build-fuzz/crashes/"
    tail -30 "$log"
    status=1
  else
    grep -E "stat::number_of_executed_units|cov:" "$log" | tail -2 | sed 's/^/   /'
  fi
  after=$(ls build-fuzz/crashes | grep -Ec "^$name-(crash|timeout|leak|oom)-" || true)
  crashes=$((after - before))
  if [ "$keep" = 1 ] && [ "$crashes" -gt 0 ]; then
    mkdir -p fuzz/regressions/$short
    for f in $(ls -t build-fuzz/crashes | grep -E "^$name-(crash|timeout|leak|oom)-" | head -n "$crashes"); do
      cp build-fuzz/crashes/"$f" fuzz/regressions/$short/"${f#$name-}"
    done
  fi
  local execs last cov ft files
  execs=$(grep -Eo "stat::number_of_executed_units: [0-9]+" "$log" | grep -Eo "[0-9]+$" | tail -1 || true)
  last=$(grep -E "cov: [0-9]+" "$log" | tail -1 || true)
  cov=$(echo "$last" | grep -Eo "cov: [0-9]+" | grep -Eo "[0-9]+" || true)
  ft=$(echo "$last" | grep -Eo "ft: [0-9]+" | grep -Eo "[0-9]+" || true)
  files=$(ls "$work" | wc -l)
  echo "| $name | $seconds | ${execs:-?} | ${cov:-?} | ${ft:-?} | $files | $crashes |" >"build-fuzz/$name.row"
  return $status
}

# `jobs` targets at a time, each printing into its own file; the files are
# printed in the targets' order once all have ended.
status=0
running=0
for name in "${targets[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  ( if fuzz_one "$name" >"build-fuzz/$name.summary" 2>&1; then echo 0; else echo 1; fi >"build-fuzz/$name.status" ) &
  running=$((running + 1))
done
wait
for name in "${targets[@]}"; do
  cat "build-fuzz/$name.summary"
  [ "$(cat "build-fuzz/$name.status" 2>/dev/null || echo 1)" = 0 ] || status=1
  [ -z "$report" ] || cat "build-fuzz/$name.row" >>"$report" 2>/dev/null || true
  rm -f "build-fuzz/$name.summary" "build-fuzz/$name.status" "build-fuzz/$name.row"
done
if [ -n "$report" ]; then
  {
    echo
    if [ "$status" = 0 ]; then echo "No faults found."; else echo "Faults found: inputs in build-fuzz/crashes/, logs in build-fuzz/<target>.log."; fi
    if [ "$keep" = 1 ]; then echo "Crashing inputs, if any, were copied to fuzz/regressions/<target>/."; fi
  } >>"$report"
  echo "report: $report"
fi
exit $status
