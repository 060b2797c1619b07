#!/usr/bin/env bash
# A FAT32 volume on which mtools wrote 50,000 small files in 50 folders and
# then deleted them all, leaving the folders: a search lists 50,000 files.
# Usage: make-large-volume.sh IMAGE SCRATCH_DIR
set -euo pipefail
image=$1
scratch=$2
PATH=$PATH:/usr/sbin:/sbin
export MTOOLS_SKIP_CHECK=1
rm -rf "$scratch" "$image"
mkdir -p "$scratch"
python3 - "$scratch" <<'PY'
import os, sys
root = sys.argv[1]
for d in range(50):
    folder = os.path.join(root, "d%02d" % d)
    os.mkdir(folder)
    for i in range(1000):
        with open(os.path.join(folder, "f%04d.txt" % i), "w") as f:
            f.write("file %d of folder %d\n" % (i, d))
PY
truncate -s 200M "$image"
mkfs.fat -F 32 -n LARGE "$image" >/dev/null
mcopy -s -i "$image" "$scratch"/* ::/
for d in $(seq -w 0 49); do mdel -i "$image" "::/d$d/*"; done
rm -rf "$scratch"
