#!/usr/bin/env bash
# Runs a Windows test executable under Wine: the CMAKE_CROSSCOMPILING_EMULATOR
# of the MinGW-w64 build. Usage: wine-run.sh PROGRAM.exe [ARGS...]
#
# - One Wine prefix per build directory (BUILD/wineprefix), made once with
#   `wineboot -i` and reused; a lock keeps parallel ctest runs from making
#   it twice. RETRIVA_WINEPREFIX overrides the place.
# - Quiet and headless: WINEDEBUG=-all, and no Mono or Gecko prompt.
# - Arguments that are absolute Unix paths (or --option=/unix/path) reach
#   the program as Z:\... paths; everything else passes unchanged.
# - The program's exit status is this script's exit status.
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 PROGRAM.exe [ARGS...]" >&2
  exit 2
fi

program=$1
shift

# The build directory: the nearest folder above the program with a CMakeCache.
find_build_dir() {
  local d
  d=$(cd "$(dirname "$1")" && pwd -P)
  while [ "$d" != / ]; do
    if [ -f "$d/CMakeCache.txt" ]; then
      echo "$d"
      return
    fi
    d=$(dirname "$d")
  done
  cd "$(dirname "$1")" && pwd -P
}

find_wine() {
  local w
  for w in wine64 /usr/lib/wine/wine64 /usr/lib/x86_64-linux-gnu/wine/wine64 wine; do
    if command -v "$w" >/dev/null 2>&1; then
      command -v "$w"
      return
    fi
  done
  echo "wine-run.sh: no wine64 found (apt-get install wine64 wine)" >&2
  exit 127
}

build_dir=$(find_build_dir "$program")
export WINEPREFIX=${RETRIVA_WINEPREFIX:-$build_dir/wineprefix}
# Wine maps file names through the Unix locale's character set: under the
# C locale a program cannot create a file whose name is not ASCII.
case "${LC_ALL:-${LC_CTYPE:-${LANG:-}}}" in
  *UTF-8* | *utf8* | *UTF8* | *utf-8*) ;;
  *) export LANG=C.UTF-8 LC_ALL=C.UTF-8 ;;
esac
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
wine=$(find_wine)

# Make the prefix once. The stamp is written only after wineboot finished,
# so an interrupted set-up is redone by the next run.
if [ ! -f "$WINEPREFIX/.retriva-ready" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ ! -f "$WINEPREFIX/.retriva-ready" ]; then
    rm -rf "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1 || { echo "wine-run.sh: wineboot -i failed for $WINEPREFIX" >&2; exit 1; }
    # wineboot returns before the prefix's registry is on disk.
    wineserver -w
    touch "$WINEPREFIX/.retriva-ready"
  fi
  flock -u 9
  exec 9>&-
fi

to_windows_path() {
  local p=$1
  p=${p//\//\\}
  printf 'Z:%s' "$p"
}

args=()
for a in "$@"; do
  case "$a" in
    /*) args+=("$(to_windows_path "$a")") ;;
    --*=/*) args+=("${a%%=*}=$(to_windows_path "${a#*=}")") ;;
    *) args+=("$a") ;;
  esac
done

# The unit tests: once a test has passed, Wine's Unix loader now and then
# trips over its own teardown on a loaded machine ("Inconsistency detected
# by ld.so: dl-fini.c") and the exit status is lost. That run is the test's
# pass, said so; every other failure stands.
# The output goes to a file, not a pipe: a Wine process that the program's
# session starts (services, winedevice) may inherit the output and keep a
# pipe open long after the program ended, and whoever reads it (ctest
# listing the tests) would wait for it.
if [ "$(basename "$program")" = retriva_tests.exe ]; then
  log=$(mktemp)
  trap 'rm -f "$log"' EXIT
  set +e
  "$wine" "$program" "${args[@]}" >"$log" 2>&1
  status=$?
  set -e
  cat "$log"
  if [ "$status" != 0 ] && grep -q '^\[  PASSED  \]' "$log" && ! grep -q '^\[  FAILED  \]' "$log" &&
     grep -q 'Inconsistency detected by ld.so: dl-fini.c' "$log"; then
    echo "wine-run.sh: the tests passed; Wine's loader failed at exit (status $status), not the program" >&2
    exit 0
  fi
  exit "$status"
fi

exec "$wine" "$program" "${args[@]}"
