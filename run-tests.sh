#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks, then builds and runs every
# test: native, sanitizer (ASan + UBSan, built with clang together with the
# libFuzzer targets), Windows under Wine, and short fuzzing runs (a minute
# and a half for all targets together, as many side by side as there are
# cores). Each section prints its time.
# Usage: ./run-tests.sh [--no-install] [--quick]
set -euo pipefail
cd "$(dirname "$0")"

# Wine maps file names through the Unix locale: without a UTF-8 locale a
# Windows program cannot create a file whose name is not ASCII. The tests
# must not depend on the caller's locale (cron, containers, ssh sessions).
export LANG=C.UTF-8 LC_ALL=C.UTF-8

install=1
quick=0
for a in "$@"; do
  case "$a" in
    --no-install) install=0 ;;
    --quick) quick=1 ;;
    *) echo "usage: $0 [--no-install] [--quick]" >&2; exit 2 ;;
  esac
done

started=$SECONDS
section_name=
section_start=$SECONDS
section_end() {
  if [ -n "$section_name" ]; then
    echo "-- $section_name: $((SECONDS - section_start)) s"
  fi
  section_name=
}
section() {
  section_end
  section_name=$*
  section_start=$SECONDS
  echo
  echo "== $*"
}

packages=(cmake ninja-build g++ libgtest-dev googletest libcli11-dev nlohmann-json3-dev zstd python3
          clang libclang-rt-14-dev g++-mingw-w64-x86-64 wine64 wine xvfb imagemagick fp-utils-3.2.2
          ntfs-3g mtools dosfstools sleuthkit fuse3 fusefat exfat-fuse exfatprogs time
          pkg-config libewf-dev libvhdi-dev libvmdk-dev libqcow-dev qemu-utils ewf-tools help2man libfuse3-dev
          make dpkg-dev)
if [ "$install" = 1 ]; then
  section "installing missing packages"
  missing=()
  for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  else
    echo "nothing missing"
  fi
fi

jobs=$(nproc)
status=0

section "native build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRETRIVA_TESTS=ON >/dev/null
ninja -C build
section "native tests"
ctest --test-dir build -j "$jobs" --output-on-failure || status=1

# One clang build serves the sanitizer tests and the fuzzers: the core is
# compiled once with ASan + UBSan and libFuzzer's coverage hooks.
section "sanitizer build (ASan + UBSan, with the fuzz targets)"
CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DRETRIVA_SANITIZE=ON -DRETRIVA_FUZZ=ON -DRETRIVA_TESTS=ON >/dev/null
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
  fuzz/run-fuzzers.sh --build build-asan --total 90 || status=1
fi

section_end
echo
echo "== total: $((SECONDS - started)) s"
if [ "$status" = 0 ]; then echo "== all test suites passed"; else echo "== SOME TESTS FAILED"; fi
exit "$status"
