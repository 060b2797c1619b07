#!/usr/bin/env bash
# One hour of fuzzing in total, split evenly among all libFuzzer targets,
# one target at a time (nice'd: the machine is shared). Writes
# build-fuzz/fuzz-report.md (per target: executions, cov/ft coverage,
# corpus size, crashes) and copies every crashing input into
# fuzz/regressions/<target>/, where fuzz/run-fuzzers.sh replays it first.
# Usage: bench/fuzz-hour.sh [--total SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
total=3600
if [ "${1:-}" = "--total" ]; then total=$2; fi
exec fuzz/run-fuzzers.sh --total "$total" --report build-fuzz/fuzz-report.md --keep-crashes
