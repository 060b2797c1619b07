#!/usr/bin/env bash
# Cross-builds Retriva for 64-bit Windows with MinGW-w64 and runs its tests
# under Wine: the unit tests (every test is a ctest case, run through
# tests/wine-run.sh) and the drive-letter test (tests/win32-drive-test.sh).
#
# Usage: tests/run-windows-tests.sh [BUILD_DIR]      (default: build-win)
#
# On a fresh Debian 12 machine, first:
#   apt-get install cmake ninja-build g++-mingw-w64-x86-64 wine64 wine \
#       googletest libcli11-dev nlohmann-json3-dev zstd python3 \
#       dosfstools ntfs-3g make dpkg-dev qemu-utils ewf-tools
# (googletest provides /usr/src/googletest, built here with the cross
# compiler; CLI11 and nlohmann-json are header-only and shared with the
# native build; dosfstools and ntfs-3g make the drive-letter test's images;
# make and dpkg-dev build the container libraries from Debian's source
# packages, once per machine: cmake/build-mingw-libyal.sh, run by the
# configure; qemu-utils and ewf-tools make the test containers.)
#
# The Wine prefix lives in BUILD_DIR/wineprefix and is made once (about
# 15 s); later runs reuse it. One wineserver serves the whole run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd -P)
build=${1:-$root/build-win}
mkdir -p "$build"
build=$(cd "$build" && pwd -P)

# Wine maps file names through the Unix locale's character set: under the
# C locale a program cannot create a file whose name is not ASCII.
case "${LC_ALL:-${LC_CTYPE:-${LANG:-}}}" in
  *UTF-8* | *utf8* | *UTF8* | *utf-8*) ;;
  *) export LANG=C.UTF-8 LC_ALL=C.UTF-8 ;;
esac
PATH=$PATH:/usr/sbin:/sbin
missing=()
for tool in cmake ninja x86_64-w64-mingw32-g++-posix wineboot wineserver python3 zstd mkfs.fat mkntfs flock; do
  command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
[ -x /usr/lib/wine/wine64 ] || command -v wine64 >/dev/null 2>&1 || missing+=(wine64)
[ -d /usr/src/googletest ] || missing+=(/usr/src/googletest)
if [ ${#missing[@]} -gt 0 ]; then
  echo "run-windows-tests: missing ${missing[*]} (see the install note at the top of $0)" >&2
  exit 1
fi

echo "== Windows cross build ($build)"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
ninja -C "$build"

export WINEPREFIX=${RETRIVA_WINEPREFIX:-$build/wineprefix}
export WINEDEBUG=-all
echo "== Wine prefix ($WINEPREFIX)"
# The first Wine run makes the prefix; then one persistent wineserver keeps
# every test from paying for a server start of its own. Wine's own
# processes (services, explorer, winedevice) start with the session's first
# program and inherit its output: started here, they hold /dev/null rather
# than the pipe through which ctest reads the test list, which would
# otherwise never reach end of file.
"$root/tests/wine-run.sh" "$build/retriva.exe" --help >/dev/null 2>&1
wineserver -k 2>/dev/null || true
wineserver -p
"$root/tests/wine-run.sh" "$build/retriva.exe" --help >/dev/null 2>&1
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

echo "== tests under Wine"
# Now and then Wine fails to start a program at all (it ends at once, with
# no output); a test that fails is run once more, so that does not fail the
# run. A fault of ours fails both times.
ctest --test-dir "$build" -j "$(nproc)" --output-on-failure --repeat until-pass:2
