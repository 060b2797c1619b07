#!/bin/bash
# ntfs-dst.img: a 4 MiB NTFS volume (mkntfs, written through ntfs-3g) with
# two deleted files modified in the hour that repeats when daylight saving
# ends in New York (2023-11-05 01:30:07 EDT and 01:30:07 EST, an hour
# apart: 1699162207 and 1699165807 seconds since 1970), and one at
# 2023-01-31 05:06:07.5 UTC, to the second and beyond. Needs root,
# /dev/fuse, ntfs-3g, zstd.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'fusermount -u "$work/m" 2>/dev/null || true; rm -rf "$work"' EXIT
img=$work/ntfs-dst.img
truncate -s 4M "$img"
mkntfs -Q -F -q -L DSTTIMES -c 4096 -s 512 -p 0 -H 0 -S 0 "$img" >/dev/null 2>&1
mkdir "$work/m"
ntfs-3g "$img" "$work/m"
echo "first 01:30, daylight time" >"$work/m/edt.txt"
echo "second 01:30, standard time" >"$work/m/est.txt"
echo "to the second" >"$work/m/seconds.txt"
touch -d @1699162207 "$work/m/edt.txt"
touch -d @1699165807 "$work/m/est.txt"
touch -d @1675141567.5 "$work/m/seconds.txt"
sync
rm "$work/m/edt.txt" "$work/m/est.txt" "$work/m/seconds.txt"
fusermount -u "$work/m"
zstd -q -19 -f "$img" -o ntfs-dst.img.zst
