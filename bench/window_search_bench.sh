#!/usr/bin/env bash
# Time from pressing Search in quorvex.exe to the last of 50,000 rows (a
# FAT32 volume mtools wrote and emptied, mapped to a drive letter), beside
# `retriva.exe search` of the same drive, both under Wine and Xvfb.
# Usage: bench/window_search_bench.sh [BUILD_WIN_DIR]   (default build-win)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd -P)
build=$(cd "${1:-$here/../build-win}" && pwd -P)
"$here/../tests/gui/window-test.sh" "$build" "$build/tests/quorvex_driver.exe" large
export WINEPREFIX=$build/wineprefix-gui RETRIVA_WINEPREFIX=$build/wineprefix-gui
letter_root=$build/window-results/roots/b
mkdir -p "$letter_root"
ln -sfn "$letter_root" "$WINEPREFIX/dosdevices/b:"
"$here/../tests/gui/make-large-volume.sh" "$build/window-results/large.img" "$build/window-results/large-src"
ln -sfn "$build/window-results/large.img" "$WINEPREFIX/dosdevices/b::"
"$here/../tests/wine-run.sh" "$build/retriva.exe" --help >/dev/null  # start the prefix's server
start=$(date +%s%N)
rows=$("$here/../tests/wine-run.sh" "$build/retriva.exe" search B: --json | wc -l)
end=$(date +%s%N)
wineserver -k >/dev/null 2>&1 || true
echo "window: $(cat "$build/window-results/bench-window-ms.txt") ms to list 50000 files"
echo "retriva.exe search: $(((end - start) / 1000000)) ms to list $rows files"
