#!/bin/bash
# Rebuild Retriva's test images (needs root, /dev/fuse, ntfs-3g, mtools, dosfstools,
# sleuthkit, fdisk, gdisk, attr, zstd, exfatprogs, exfat-fuse).  Usage: make-images.sh [image-name ...]
set -euo pipefail
cd "$(dirname "$0")"
export TZ=UTC LANG=C.UTF-8 LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1
export RETRIVA_IMAGES_WORK="${RETRIVA_IMAGES_WORK:-/tmp/retriva-images-work}"
for t in mkntfs ntfs-3g ntfsinfo ntfscat mkfs.fat mcopy mshowfat fls sfdisk sgdisk setfattr zstd mkfs.exfat mount.exfat-fuse fsck.exfat losetup; do
    command -v "$t" >/dev/null || { echo "missing tool: $t" >&2; exit 1; }
done
rm -rf "$RETRIVA_IMAGES_WORK"
mkdir -p "$RETRIVA_IMAGES_WORK"
python3 mkimages.py "$@"
python3 check-manifest.py
