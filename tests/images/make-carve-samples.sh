#!/usr/bin/env bash
# Makes the deep scan's sample files with real encoders (ImageMagick,
# libjpeg-turbo's cjpeg, exiftool, ghostscript, sox, Python's zipfile and
# sqlite3) and stores each zstd-compressed in tests/images/carve/. The
# tests only read them: run this again only to change the samples.
#   Debian packages: imagemagick libjpeg-turbo-progs libimage-exiftool-perl ghostscript sox libsox-fmt-all zstd python3
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$here/carve
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
IM=/usr/bin/convert
cd "$work"

# Photos: baseline, progressive, with restart markers, and one carrying an
# EXIF thumbnail (a JPEG inside the APP1 segment).
$IM -size 160x120 plasma:fractal -seed 7 photo.ppm 2>/dev/null || $IM -size 160x120 gradient:red-blue photo.ppm
cjpeg -quality 85 photo.ppm >photo.jpg
cjpeg -quality 85 -progressive photo.ppm >progressive.jpg
cjpeg -quality 85 -restart 1 photo.ppm >restart.jpg
$IM -size 32x24 gradient:yellow-green thumb.jpg
cp photo.jpg exif.jpg
exiftool -q -overwrite_original -Make=Canon -Model=Test "-ThumbnailImage<=thumb.jpg" exif.jpg
$IM photo.ppm -resize 48x36 small.ppm
$IM small.ppm photo.png
$IM small.ppm -colors 64 photo.gif
$IM small.ppm bmp3:photo.bmp
$IM small.ppm -compress none photo.tif
printf '%%!PS\n/Helvetica findfont 24 scalefont setfont 72 720 moveto (Retriva deep scan) show showpage\n' >doc.ps
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sOutputFile=doc.pdf doc.ps
sox -n -r 8000 -c 1 -b 16 tone.wav synth 0.25 sine 440
sox -n -r 8000 -c 1 tone.ogg synth 0.25 sine 440
python3 - <<'PY'
import zipfile, sqlite3
def ooxml(name, part, body):
    with zipfile.ZipFile(name, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("[Content_Types].xml", '<?xml version="1.0"?><Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types"/>')
        z.writestr("_rels/.rels", '<?xml version="1.0"?><Relationships/>')
        z.writestr(part, body)
ooxml("report.docx", "word/document.xml", "<w:document>" + "Deep scan text. " * 200 + "</w:document>")
ooxml("sheet.xlsx", "xl/workbook.xml", "<workbook>" + "<sheet/>" * 100 + "</workbook>")
with zipfile.ZipFile("notes.odt", "w") as z:
    z.writestr(zipfile.ZipInfo("mimetype"), "application/vnd.oasis.opendocument.text")
    z.writestr("content.xml", "<office:document-content>" + "odf " * 300 + "</office:document-content>", zipfile.ZIP_DEFLATED)
with zipfile.ZipFile("plain.zip", "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("a.txt", "hello " * 500)
    z.writestr("b/c.txt", "world " * 500)
db = sqlite3.connect("data.sqlite")
db.execute("create table t(x text)")
db.executemany("insert into t values (?)", [("row %d" % i * 20,) for i in range(200)])
db.commit()
db.close()
PY
rm -rf "$out"
mkdir -p "$out"
for f in photo.jpg progressive.jpg restart.jpg exif.jpg photo.png photo.gif photo.bmp photo.tif doc.pdf tone.wav \
         tone.ogg report.docx sheet.xlsx notes.odt plain.zip data.sqlite; do
  zstd -q -19 "$f" -o "$out/$f.zst"
done
ls -l "$out"
