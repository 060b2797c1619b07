#!/usr/bin/env bash
# Starts the real quorvex.exe under Wine on an X server of its own (Xvfb)
# and drives it from tests/gui/quorvex_driver.exe, another Windows process:
# window, menus, dialogs, second starts, switches, the registry, refusals.
# Takes the screen whenever the driver asks (window-shots/NAME.png in the
# build directory).
#
# The run has a Wine prefix of its own (BUILD/wineprefix-gui, made once by
# tests/wine-run.sh) with a virtual desktop, so that its windows get frames
# and no other test's windows or single-instance state can meet it; its
# wineserver is stopped at the end.
#
# Usage: window-test.sh BUILD_DIR DRIVER_EXE [--instance NAME] [PART...]
#   --instance NAME: a prefix (BUILD/wineprefix-gui-NAME), display and
#         screenshot folder (window-shots/NAME) of its own, so that two runs
#         with different parts can go side by side
#   PART: library lists main keyboard close hidden notadmin widths refusals panes bar panel
#         destination preview results
#         large (Stop on a 50,000-file volume, and a timed whole search)
#
# "results" maps test volumes to drive letters of the prefix (NTFS, FAT16,
# FAT32 and NTFS with paths past 260 characters from the committed images,
# a FAT12 volume made here, a FAT32 volume for the deep scan), lets the
# driver search and recover on each, and compares its rows, recovered files
# and report lines with `retriva.exe search --json` and `recover --json` on
# the same volumes (tests/gui/compare_results.py).
set -euo pipefail

build=$(cd "$1" && pwd -P)
driver=$2
shift 2
instance=
if [ "${1:-}" = --instance ]; then
  instance=$2
  shift 2
fi
here=$(cd "$(dirname "$0")" && pwd -P)
run="$here/../wine-run.sh"

for tool in Xvfb import; do
  command -v "$tool" >/dev/null || { echo "window-test: $tool is missing (xvfb, imagemagick)" >&2; exit 1; }
done

export RETRIVA_WINEPREFIX=$build/wineprefix-gui${instance:+-$instance}
export WINEPREFIX=$RETRIVA_WINEPREFIX
shots=$build/window-shots${instance:+/$instance}
rm -rf "$shots"
mkdir -p "$shots"

# A display number nobody uses, picked by Xvfb itself (-displayfd): runs
# started side by side cannot pick the same one.
displayfile=$(mktemp)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$displayfile" >/dev/null 2>&1 &
xvfb=$!
display=
for _ in $(seq 100); do
  display=$(tr -dc 0-9 <"$displayfile")
  [ -n "$display" ] && [ -e "/tmp/.X11-unix/X$display" ] && break
  kill -0 "$xvfb" 2>/dev/null || break
  sleep 0.1
done
rm -f "$displayfile"
[ -n "$display" ] || { echo "window-test: no free X display" >&2; exit 1; }
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  kill "$xvfb" 2>/dev/null || true
  wait "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
export DISPLAY=:$display

# The prefix (made once) and its virtual desktop, which the next session
# of its wineserver picks up.
"$run" "$driver" --virtual-desktop
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true

want_results=
want_large=
compare=
if [ $# -eq 0 ]; then want_results=1 compare=1 want_large=1; fi
for part in "$@"; do
  [ "$part" = results ] && want_results=1 && compare=1
  # The 50,000-file volume alone: Stop, and the timing the benchmark reads.
  [ "$part" = large ] && want_results=1 && want_large=1
done
volumes="$build/window-volumes.tsv"
results="$build/window-results"
if [ -n "$want_results" ]; then
  PATH=$PATH:/usr/sbin:/sbin
  rm -rf "$results"
  mkdir -p "$results/roots"
  fat12="$results/fat12.img"
  truncate -s 2M "$fat12"
  mkfs.fat -F 12 -n WINFAT12 "$fat12" >/dev/null
  # 50,000 deleted files in 50 folders, written and deleted by mtools.
  large="$results/large.img"
  if [ -n "$want_large" ]; then "$here/make-large-volume.sh" "$large" "$results/large-src"; fi
  : >"$volumes"
  # A drive letter in Wine: dosdevices/x: is the drive's root folder (an
  # empty folder here), dosdevices/x:: the raw device (the image file).
  while read -r letter kind image; do
    [ -n "$letter" ] || continue
    mkdir -p "$results/roots/$letter"
    ln -sfn "$results/roots/$letter" "$WINEPREFIX/dosdevices/$letter:"
    ln -sfn "$image" "$WINEPREFIX/dosdevices/$letter::"
    printf '%s\t%s\n' "$letter" "$kind" >>"$volumes"
  done <<VOLUMES
n ntfs $build/test-images/ntfs-4k.img
f fat16 $build/test-images/fat16-2k.img
g fat32 $build/test-images/fat32-512.img
l ntfs-long-path $build/test-images/ntfs-long-path.img
t fat12 $fat12
s ntfs-big-sparse $build/test-images/ntfs-big-sparse.img
d deep-fat32 $build/test-images/deep-fat32.img
${want_large:+b large $large}
VOLUMES
fi

# The preview's volumes: a camera card whose files were deleted, a volume
# with a deleted text file and a deleted file zeroed after it, and one with
# a deleted file partly overwritten by a newer one.
want_preview=
if [ $# -eq 0 ]; then want_preview=1; fi
for part in "$@"; do if [ "$part" = preview ]; then want_preview=1; fi; done
if [ -n "$want_preview" ]; then
  while read -r letter image; do
    mkdir -p "$build/window-preview/$letter"
    ln -sfn "$build/window-preview/$letter" "$WINEPREFIX/dosdevices/$letter:"
    ln -sfn "$build/test-images/$image" "$WINEPREFIX/dosdevices/$letter::"
  done <<PREVIEW
p deep-fat16-deleted.img
q fat16-zeroed.img
r fat16-2k.img
PREVIEW
fi

"$run" "$driver" "$build" "$shots" "$@" &
driver_pid=$!
# Take the screen for every request the driver leaves, until it ends.
while kill -0 "$driver_pid" 2>/dev/null; do
  for request in "$shots"/*.req; do
    [ -e "$request" ] || continue
    name=$(basename "$request" .req)
    import -window root -display ":$display" "$shots/$name.png" 2>/dev/null || true
    rm -f "$request"
  done
  sleep 0.1
done
status=0
wait "$driver_pid" || status=$?
if [ -n "$compare" ]; then
  python3 "$here/compare_results.py" "$build" "$run" || status=1
fi
echo "window-test: screenshots in $shots"
exit $status
