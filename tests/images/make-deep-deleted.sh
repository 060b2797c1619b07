#!/usr/bin/env bash
# Makes deep-fat16-deleted.img.zst: a FAT16 card (2 KiB clusters) whose
# files were deleted with mtools (entries marked deleted, chains freed),
# so the normal search lists them by name while their chains are gone: the
# deep scan's carved files take those names. Files come from
# tests/images/carve/ (real encoders); one photo carries bytes after its
# end marker (its entry's size is not the format's length), one file fits
# in a cluster, and one file stays live. Writes deep-deleted-manifest.json
# (each original's path, size and sha256) beside it; tests only read them.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export MTOOLS_SKIP_CHECK=1 TZ=UTC
files=$work/files
mkdir -p "$files"
for z in "$here"/carve/*.zst; do zstd -q -d "$z" -o "$files/$(basename "${z%.zst}")"; done
# A photo with a tail after its EOI, as some cameras pad theirs.
{ cat "$files/photo.jpg"; head -c 3000 /dev/zero | tr '\0' 'x'; } >"$files/padded.jpg"
echo "still here" >"$files/keep.txt"

# path on the card <- file; all but the live one are deleted afterwards.
pairs=(
  "DCIM/100CAM/img_0001.jpg:photo.jpg"
  "DCIM/100CAM/img_0002.jpg:progressive.jpg"
  "DCIM/100CAM/Holiday photo.png:photo.png"
  "DCIM/100CAM/padded.jpg:padded.jpg"
  "DOCS/Quarterly report.docx:report.docx"
  "DOCS/handout.pdf:doc.pdf"
  "tone.wav:tone.wav"
  "tiny.zip:plain.zip"
  "keep.txt:keep.txt"
)
img=$work/deep-fat16-deleted.img
truncate -s 16M "$img"
mkfs.fat -F 16 -s 4 -n CARD "$img" >/dev/null
mmd -i "$img" ::DCIM ::DCIM/100CAM ::DOCS
for p in "${pairs[@]}"; do mcopy -i "$img" "$files/${p#*:}" "::${p%%:*}"; done
for p in "${pairs[@]}"; do
  [ "${p%%:*}" = keep.txt ] || mdel -i "$img" "::${p%%:*}"
done
zstd -q -19 -f "$img" -o "$here/deep-fat16-deleted.img.zst"
python3 - "$files" "$here/deep-deleted-manifest.json" "${pairs[@]}" <<'PY'
import hashlib, json, sys
folder, out, pairs = sys.argv[1], sys.argv[2], sys.argv[3:]
entries = []
for p in pairs:
    path, name = p.split(":", 1)
    data = open(folder + "/" + name, "rb").read()
    entries.append({"path": path, "size": len(data), "sha256": hashlib.sha256(data).hexdigest(),
                    "live": path == "keep.txt"})
json.dump({"files": entries}, open(out, "w"), indent=1)
PY
ls -l "$here/deep-fat16-deleted.img.zst"
