#!/usr/bin/env bash
# Makes the deep scan's test volumes: a FAT32 card, an exFAT card and an
# NTFS volume, each written with the files of tests/images/carve/ (made by
# real encoders, make-carve-samples.sh) and two bigger photos, plus two
# decoys (random bytes behind a JPEG and a PNG signature), then formatted
# again as a camera or a quick format does (mkfs.fat, mkfs.exfat,
# mkntfs -Q). Files go in through mtools, exfat-fuse and ntfs-3g's ntfscp.
# Needs root and /dev/fuse for exFAT. Writes deep-*.img.zst and
# deep-manifest.json (the originals' sha256) here; tests only read them.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
mnt=$(mktemp -d)
loop=
cleanup() {
  mountpoint -q "$mnt" && umount "$mnt"
  [ -n "$loop" ] && losetup -d "$loop"
  rm -rf "$work" "$mnt"
}
trap cleanup EXIT
export MTOOLS_SKIP_CHECK=1 TZ=UTC
files=$work/files
mkdir -p "$files"
for z in "$here"/carve/*.zst; do zstd -q -d "$z" -o "$files/$(basename "${z%.zst}")"; done
# Bigger photos, many clusters each.
/usr/bin/convert -size 480x360 -seed 11 plasma:fractal "$work/big.ppm"
cjpeg -quality 92 "$work/big.ppm" >"$files/big1.jpg"
/usr/bin/convert -size 400x300 -seed 12 plasma:fractal "$work/big2.ppm"
cjpeg -quality 90 -progressive "$work/big2.ppm" >"$files/big2.jpg"
# Decoys: a signature and then noise. They must not come back as files.
python3 - "$files" <<'PY'
import os, random, sys
r = random.Random(29)
open(os.path.join(sys.argv[1], "decoy-jpg.bin"), "wb").write(b"\xff\xd8\xff\xe0" + bytes(r.getrandbits(8) for _ in range(20000)))
open(os.path.join(sys.argv[1], "decoy-png.bin"), "wb").write(b"\x89PNG\r\n\x1a\n" + bytes(r.getrandbits(8) for _ in range(20000)))
PY
order=(big1.jpg photo.jpg progressive.jpg restart.jpg exif.jpg decoy-jpg.bin photo.png photo.gif photo.bmp photo.tif
       doc.pdf tone.wav tone.ogg report.docx sheet.xlsx notes.odt plain.zip data.sqlite decoy-png.bin big2.jpg
       tone.mp3 stereo.flac clip.mkv notes.txt.gz archive.rar photo.psd mpf.jpg)

# FAT32 with 512-byte clusters: the smallest FAT32 there is (65,525 clusters).
img=$work/deep-fat32.img
truncate -s 34M "$img"
mkfs.fat -F 32 -s 1 -n CARD "$img" >/dev/null
mmd -i "$img" ::DCIM
for f in "${order[@]}"; do mcopy -i "$img" "$files/$f" "::DCIM/$f"; done
mkfs.fat -F 32 -s 1 -n CARD "$img" >/dev/null

# exFAT, 4 KiB clusters.
img=$work/deep-exfat.img
truncate -s 8M "$img"
mkfs.exfat -c 4096 -L CARD "$img" >/dev/null
loop=$(losetup -f --show "$img")
mount.exfat-fuse "$loop" "$mnt"
mkdir "$mnt/DCIM"
for f in "${order[@]}"; do cp "$files/$f" "$mnt/DCIM/$f"; done
umount "$mnt"
losetup -d "$loop"
loop=
mkfs.exfat -c 4096 -L CARD "$img" >/dev/null

# NTFS, 4 KiB clusters, quick-formatted.
img=$work/deep-ntfs.img
truncate -s 12M "$img"
mkntfs -q -Q -F -c 4096 -L DISK "$img" >/dev/null 2>&1
for f in "${order[@]}"; do ntfscp -q "$img" "$files/$f" "$f"; done
mkntfs -q -Q -F -c 4096 -L DISK "$img" >/dev/null 2>&1

for i in fat32 exfat ntfs; do zstd -q -19 -f "$work/deep-$i.img" -o "$here/deep-$i.img.zst"; done
python3 - "$files" "$here/deep-manifest.json" "${order[@]}" <<'PY'
import hashlib, json, sys
folder, out, names = sys.argv[1], sys.argv[2], sys.argv[3:]
entries = []
for n in names:
    data = open(folder + "/" + n, "rb").read()
    entries.append({"name": n, "size": len(data), "sha256": hashlib.sha256(data).hexdigest(), "decoy": n.startswith("decoy")})
json.dump({"files": entries}, open(out, "w"), indent=1)
PY
ls -l "$here"/deep-*
