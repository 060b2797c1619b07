#!/usr/bin/env bash
# Makes the deep scan's sample files with real encoders (ImageMagick,
# libjpeg-turbo's cjpeg, exiftool, ghostscript, sox, lame, flac, mkvmerge,
# gzip, Python's zipfile and sqlite3, RARLAB's rar) and stores each zstd-compressed in tests/images/carve/. The
# tests only read them: run this again only to change the samples.
#   Debian packages: imagemagick libjpeg-turbo-progs libimage-exiftool-perl ghostscript sox libsox-fmt-all zstd python3
#                    lame flac mkvtoolnix gzip python3-pil mp3gain python3-mutagen
# rar is in Debian's non-free section only: the script downloads that
# package through a private list of the archive (the system's apt
# configuration is left alone) and runs it from where it unpacked it.
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
# A multi-picture JPEG (MPF, as cameras write a large preview after the
# photo), by Pillow (python3-pil).
/usr/bin/python3 -c 'from PIL import Image; Image.open("photo.ppm").save("mpf.jpg", format="MPO", save_all=True, append_images=[Image.open("small.ppm")], quality=85)'
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

# Audio without a container length: an MP3 with ID3v2 and ID3v1 tags, a
# bare one (no tag, no Xing frame), FLAC in mono and stereo; Matroska and
# WebM muxed from them.
sox -n -r 22050 -c 1 -b 16 tone22.wav synth 0.5 sine 440
lame --quiet -b 32 --tt Tone --ta Retriva --add-id3v2 tone22.wav tone.mp3
lame --quiet -V 6 -t tone22.wav bare.mp3
# APEv2 tags: mp3gain writes its own before the ID3v1 tag, mutagen
# (python3-mutagen) appends one after it.
cp tone.mp3 gain.mp3
mp3gain -q -r -k gain.mp3 >/dev/null
cp tone.mp3 ape.mp3
/usr/bin/python3 -c 'import mutagen.apev2 as a, sys; t = a.APEv2(); t["Title"] = "Tone"; t["Artist"] = "Retriva"; t.save(sys.argv[1])' ape.mp3
sox -n -r 8000 -c 2 -b 16 stereo.wav synth 0.3 sine 440 sine 660
flac -s -o tone.flac tone.wav
flac -s --no-padding -o stereo.flac stereo.wav
# An ID3v2 tag before "fLaC", as some taggers write it (mutagen).
cp stereo.flac id3.flac
/usr/bin/python3 -c 'import sys; from mutagen.id3 import ID3, TIT2; t = ID3(); t.add(TIT2(encoding=3, text="Tone")); t.save(sys.argv[1])' id3.flac
mkvmerge -q -o clip.mkv stereo.flac
mkvmerge -q --webm -o clip.webm tone.ogg

# Archives: gzip (with the file's name in its header), RAR 5.
for i in $(seq 1 300); do echo "line $i of the deep scan's gzip sample"; done >notes.txt
gzip -9 -c notes.txt >notes.txt.gz
# Output of several times the 32 KiB window that matches reach back into.
for i in $(seq 1 2500); do
  echo "entry $i: the deep scan reads every free cluster once and measures each candidate by its own structure"
done >log.txt
gzip -9 -c log.txt >log.txt.gz
# Deflate's other block kinds: stored (bytes that do not compress) and
# the fixed codes (a short text).
python3 -c 'import random, sys; random.seed(5); sys.stdout.buffer.write(bytes(random.getrandbits(8) for _ in range(3000)))' >noise.bin
gzip -c noise.bin >noise.bin.gz
echo "a short note" | gzip -c -n >short.gz
apt_dir=$work/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
echo "deb http://deb.debian.org/debian bookworm non-free" >"$apt_dir/sources.list"
apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
          -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache")
apt-get "${apt_opts[@]}" update -qq
(cd "$apt_dir" && apt-get "${apt_opts[@]}" download rar 2>/dev/null && dpkg -x rar_*.deb rar)
"$apt_dir/rar/usr/bin/rar" a -idq -ma5 -m3 archive.rar notes.txt tone.wav
# Headers encrypted (-hp): nothing after the encryption header can be read.
"$apt_dir/rar/usr/bin/rar" a -idq -ma5 -hpRetriva secret.rar notes.txt

# RAR 4 (which rar 7 no longer writes): an archive WinRAR made, from
# libarchive's test data (BSD licence) in Debian's libarchive source
# package, fetched through a private list of the archive's deb-src entry.
echo "deb-src http://deb.debian.org/debian bookworm main" >"$apt_dir/sources.list"
apt-get "${apt_opts[@]}" update -qq
(cd "$apt_dir" && apt-get "${apt_opts[@]}" source --download-only libarchive >/dev/null 2>&1 &&
   tar -xJf libarchive_*.orig.tar.xz --wildcards '*/test_read_format_rar_unicode.rar.uu')
python3 - "$apt_dir"/libarchive-*/libarchive/test/test_read_format_rar_unicode.rar.uu winrar4.rar <<'PY'
import binascii, sys
body = open(sys.argv[1]).read().split("\n")
body = body[next(i for i, l in enumerate(body) if l.startswith("begin")) + 1:]
with open(sys.argv[2], "wb") as out:
    for line in body:
        if line.startswith("end"):
            break
        if line:
            out.write(binascii.a2b_uu(line))
PY

# Photoshop: RLE-compressed (ImageMagick's default) and raw.
$IM small.ppm -depth 8 -compress RLE photo.psd
$IM small.ppm -compress none raw.psd
$IM small.ppm -depth 8 -compress RLE PSB:large.psb

rm -rf "$out"
mkdir -p "$out"
for f in photo.jpg progressive.jpg restart.jpg exif.jpg mpf.jpg photo.png photo.gif photo.bmp photo.tif doc.pdf tone.wav \
         tone.ogg report.docx sheet.xlsx notes.odt plain.zip data.sqlite tone.mp3 bare.mp3 gain.mp3 ape.mp3 tone.flac stereo.flac id3.flac \
         clip.mkv clip.webm notes.txt.gz log.txt.gz noise.bin.gz short.gz archive.rar secret.rar winrar4.rar photo.psd raw.psd large.psb; do
  zstd -q -19 "$f" -o "$out/$f.zst"
done
ls -l "$out"
