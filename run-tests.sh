#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks, then builds and runs every
# test: native, sanitizer (ASan + UBSan), Windows under Wine, and short
# fuzzing runs. Usage: ./run-tests.sh [--no-install] [--quick]
set -euo pipefail
cd "$(dirname "$0")"

install=1
quick=0
for a in "$@"; do
  case "$a" in
    --no-install) install=0 ;;
    --quick) quick=1 ;;
  esac
done

packages=(cmake ninja-build g++ libgtest-dev googletest libcli11-dev nlohmann-json3-dev zstd python3
          clang libclang-rt-14-dev g++-mingw-w64-x86-64 wine64 wine xvfb imagemagick
          ntfs-3g mtools dosfstools sleuthkit fuse3 libbenchmark-dev time)
if [ "$install" = 1 ]; then
  missing=()
  for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "== installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
fi

jobs=$(nproc)
status=0
section() { echo; echo "== $*"; }

section "native build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build
section "native tests"
ctest --test-dir build -j "$jobs" --output-on-failure || status=1

section "sanitizer build (ASan + UBSan)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DRETRIVA_SANITIZE=ON >/dev/null
ninja -C build-asan
section "sanitizer tests"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -j "$jobs" --output-on-failure || status=1

if [ -x tests/run-windows-tests.sh ]; then
  section "Windows build, tests under Wine"
  tests/run-windows-tests.sh || status=1
fi

if [ "$quick" = 0 ] && [ -x fuzz/run-fuzzers.sh ]; then
  section "fuzzing (short runs)"
  fuzz/run-fuzzers.sh --seconds 15 || status=1
fi

echo
if [ "$status" = 0 ]; then echo "== all test suites passed"; else echo "== SOME TESTS FAILED"; fi
exit "$status"
