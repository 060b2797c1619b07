#!/bin/bash
# fat16-zeroed.img: an 8 MiB FAT16 volume (mkfs.fat, files written with
# mtools) on which two files were deleted, then the clusters of one of them
# were zeroed, as an SSD that discards freed clusters (TRIM) or a thin-
# provisioned disk gives them back. TRIMMED.BIN (40,000 bytes, byte i =
# 7i + 3 mod 256, so none of its clusters was zero) reads back as zeros;
# KEPT.TXT (3,000 bytes of "kept\n") was left as it was. A recovery must
# say the first came back zeroed and the second whole. Needs mtools,
# dosfstools, python3, zstd.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
img=$work/fat16-zeroed.img
truncate -s 8M "$img"
mkfs.fat -F 16 -s 2 -n ZEROED -i 1234ABCD "$img" >/dev/null
python3 - "$work" <<'PY'
import sys
w = sys.argv[1]
open(w + "/TRIMMED.BIN", "wb").write(bytes((7 * i + 3) & 255 for i in range(40000)))
open(w + "/KEPT.TXT", "wb").write((b"kept\n" * 600)[:3000])
PY
export MTOOLS_SKIP_CHECK=1
mcopy -i "$img" -m "$work/TRIMMED.BIN" "$work/KEPT.TXT" ::/
mdel -i "$img" ::/TRIMMED.BIN ::/KEPT.TXT
# The discard: every cluster the deleted TRIMMED.BIN held, found from its
# directory entry (first cluster, size) and the boot sector's geometry; a
# fresh volume keeps a file's clusters in one run.
python3 - "$img" <<'PY'
import struct, sys
path = sys.argv[1]
with open(path, "r+b") as f:
    boot = f.read(512)
    bps, spc, reserved, fats, root_entries = struct.unpack_from("<HBHBH", boot, 11)
    fat_sectors = struct.unpack_from("<H", boot, 22)[0]
    root_start = (reserved + fats * fat_sectors) * bps
    data_start = root_start + root_entries * 32
    f.seek(root_start)
    root = f.read(root_entries * 32)
    for at in range(0, len(root), 32):
        e = root[at:at + 32]
        if e[0] == 0xE5 and e[1:11] == b"RIMMED BIN":
            cluster = struct.unpack_from("<H", e, 26)[0]
            size = struct.unpack_from("<I", e, 28)[0]
            cluster_bytes = bps * spc
            count = (size + cluster_bytes - 1) // cluster_bytes
            f.seek(data_start + (cluster - 2) * cluster_bytes)
            f.write(bytes(count * cluster_bytes))
            break
    else:
        sys.exit("TRIMMED.BIN's entry not found")
PY
zstd -q -19 -f "$img" -o fat16-zeroed.img.zst
