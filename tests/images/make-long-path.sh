#!/bin/bash
# ntfs-long-path.img: an 8 MiB NTFS volume (mkntfs, written through
# ntfs-3g) holding deleted files in live folders whose paths run past 260
# characters: \Projects\<120 x "a">\<120 x "b">\<60 x "c">\report.txt
# (5000 bytes, byte i = 31i + 7 mod 256) and notes.txt beside it (300 bytes
# of "long path\n" repeated), and one deleted file at the root, short.txt
# (100 bytes of "x"). The window program and the command line must list
# and recover them alike. Needs root, /dev/fuse, ntfs-3g, zstd.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'fusermount -u "$work/m" 2>/dev/null || true; rm -rf "$work"' EXIT
img=$work/ntfs-long-path.img
truncate -s 8M "$img"
mkntfs -Q -F -q -L LONGPATH -c 4096 -s 512 -p 0 -H 0 -S 0 "$img" >/dev/null 2>&1
mkdir "$work/m"
ntfs-3g "$img" "$work/m"
python3 - "$work/m" <<'PY'
import os, sys
root = sys.argv[1]
deep = os.path.join(root, "Projects", "a" * 120, "b" * 120, "c" * 60)
os.makedirs(deep)
with open(os.path.join(deep, "report.txt"), "wb") as f:
    f.write(bytes((i * 31 + 7) & 255 for i in range(5000)))
with open(os.path.join(deep, "notes.txt"), "wb") as f:
    f.write((b"long path\n" * 30)[:300])
with open(os.path.join(root, "short.txt"), "wb") as f:
    f.write(b"x" * 100)
for p in (os.path.join(deep, "report.txt"), os.path.join(deep, "notes.txt"), os.path.join(root, "short.txt")):
    os.utime(p, (1700000000, 1700000000))
PY
sync
rm "$work/m/Projects/"*/*/*/report.txt "$work/m/Projects/"*/*/*/notes.txt "$work/m/short.txt"
fusermount -u "$work/m"
zstd -q -19 -f "$img" -o ntfs-long-path.img.zst
