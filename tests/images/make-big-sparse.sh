#!/bin/bash
# ntfs-big-sparse.img: a 16 MiB NTFS volume (mkntfs, written through
# ntfs-3g) holding one deleted sparse file of 4.25 GiB, 4563402752 bytes:
# 64 KiB of data at offset 0 (byte i = 7i mod 256) and 64 KiB at 4 GiB +
# 1 MiB (byte i = 13i + 5 mod 256), holes elsewhere, modified 2023-11-14
# 22:13:25 UTC. Its size needs 64 bits and its hole is far larger than the
# volume. Needs root, /dev/fuse, ntfs-3g, zstd.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'fusermount -u "$work/m" 2>/dev/null || true; rm -rf "$work"' EXIT
img=$work/ntfs-big-sparse.img
truncate -s 16M "$img"
mkntfs -Q -F -q -L BIGSPARSE -c 4096 -s 512 -p 0 -H 0 -S 0 "$img" >/dev/null 2>&1
mkdir "$work/m"
ntfs-3g "$img" "$work/m"
python3 - "$work/m/big-sparse.bin" <<'PY'
import os, sys
path = sys.argv[1]
with open(path, "wb") as f:
    f.truncate((4 << 30) + (256 << 20))
    f.write(bytes((i * 7) & 255 for i in range(65536)))
    f.seek((4 << 30) + (1 << 20))
    f.write(bytes((i * 13 + 5) & 255 for i in range(65536)))
os.utime(path, (1700000005, 1700000005))
PY
sync
rm "$work/m/big-sparse.bin"
fusermount -u "$work/m"
zstd -q -19 -f "$img" -o ntfs-big-sparse.img.zst
