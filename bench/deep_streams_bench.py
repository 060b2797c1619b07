#!/usr/bin/env python3
"""The deep scan on the formats whose end is found by walking them: a
FAT32 volume (mkfs.fat, 32 KiB clusters from 2 GiB on) filled through mtools with FLAC
(flac), MP3 (lame, ID3v2 and ID3v1 tags), Matroska (mkvmerge), gzip
(gzip -6) and PSD (ImageMagick, RLE) files, then formatted again.

Timed warm, with peak memory:
  cat IMAGE > /dev/null                   the bytes read once
  retriva search IMAGE --deep             lists the files, writes nothing
  retriva recover IMAGE --deep --to DIR   writes them
  photorec /d DIR /cmd IMAGE search       Debian's testdisk 7.1
and for each recovering tool how many files came back byte for byte, by
format.

Measured on this project's 2-core machine (shared, so times vary), 768 MiB,
3 files of each format (123 MiB): retriva search --deep 1.13 s (5.3x cat),
recover 1.33 s, peak 18.6 MiB, all 15 files exact; photorec 2.54 s, 6 of 15
exact (the MP3 and Matroska files; its FLAC, gzip and PSD files are not
the originals' lengths).

Usage: bench/deep_streams_bench.py [--mib 1024] [--copies 4] [--work DIR] [--repeat 2]
Needs mkfs.fat, mtools, sox, flac, lame, mkvmerge, gzip, ImageMagick, photorec.
"""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from deep_scan_bench import RETRIVA, fat32_format, fill_used, hashes_under, sh, timed  # noqa: E402


def make_files(folder, copies):
    """`copies` distinct files of each format, a few to some tens of MiB."""
    os.makedirs(folder, exist_ok=True)
    files = []
    for n in range(copies):
        wav = os.path.join(folder, f"take{n}.wav")
        if not os.path.exists(wav):
            # A tone under noise compresses as music does, not as silence.
            sh("sox", "-n", "-r", "44100", "-c", "2", "-b", "16", wav, "synth", "90", "sine", str(220 + 110 * n),
               "whitenoise", "vol", "0.3")
        out = {
            "flac": os.path.join(folder, f"take{n}.flac"),
            "mp3": os.path.join(folder, f"take{n}.mp3"),
            "mkv": os.path.join(folder, f"take{n}.mkv"),
            "gz": os.path.join(folder, f"log{n}.txt.gz"),
            "psd": os.path.join(folder, f"art{n}.psd"),
        }
        if not os.path.exists(out["flac"]):
            sh("flac", "-s", "-5", "-o", out["flac"], wav)
        if not os.path.exists(out["mp3"]):
            sh("lame", "--quiet", "-b", "192", "--tt", f"Take {n}", "--add-id3v2", wav, out["mp3"])
        if not os.path.exists(out["mkv"]):
            sh("mkvmerge", "-q", "-o", out["mkv"], out["flac"])
        if not os.path.exists(out["gz"]):
            with open(out["gz"], "wb") as dst:
                lines = "".join(f"{i:08d} request {i * 7919 % 100003} took {i % 977} ms, copy {n}\n"
                                for i in range(600000)).encode()
                subprocess.run(["gzip", "-6", "-c"], input=lines, stdout=dst, check=True)
        if not os.path.exists(out["psd"]):
            sh("/usr/bin/convert", "-size", "2000x1500", "-seed", str(40 + n), "plasma:fractal", "-depth", "8",
               "-compress", "RLE", out["psd"])
        files += list(out.values())
    return files


def make_volume(image, mib, files):
    if os.path.exists(image):
        return
    fill_used(image, mib)
    fmt = fat32_format(image, mib, "MEDIA")
    sh(*fmt, stdout=subprocess.DEVNULL)
    sh("mcopy", "-i", image, *files, "::/", env=dict(os.environ, MTOOLS_SKIP_CHECK="1"))
    sh(*fmt, stdout=subprocess.DEVNULL)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mib", type=int, default=1024)
    ap.add_argument("--copies", type=int, default=4)
    ap.add_argument("--work", default="/tmp/retriva-deep-streams-bench")
    ap.add_argument("--repeat", type=int, default=2)
    args = ap.parse_args()
    os.makedirs(args.work, exist_ok=True)
    files = make_files(os.path.join(args.work, "files"), args.copies)
    by_hash = {hashlib.sha256(open(p, "rb").read()).hexdigest(): os.path.splitext(p)[1][1:] for p in files}
    image = os.path.join(args.work, f"media-{args.mib}m-{args.copies}.img")
    make_volume(image, args.mib, files)
    out = os.path.join(args.work, "out")

    def clean():
        shutil.rmtree(out, ignore_errors=True)

    def photorec_prepare():
        clean()
        os.makedirs(out, exist_ok=True)

    runs = [
        ("cat", ["sh", "-c", f"cat '{image}' > /dev/null"], None),
        ("retriva search --deep", [RETRIVA, "search", image, "--deep", "-q"], None),
        ("retriva recover --deep", [RETRIVA, "recover", image, "--deep", "-q", "--to", out], clean),
        ("photorec", ["photorec", "/d", os.path.join(out, "rec"), "/cmd", image, "search"], photorec_prepare),
    ]
    rows = []
    for name, cmd, before in runs:
        warm, peak = timed(cmd, args.repeat, False, image, before)
        exact = None
        if before:
            found = hashes_under(out) & set(by_hash)
            exact = {ext: sum(1 for h in found if by_hash[h] == ext) for ext in sorted(set(by_hash.values()))}
        rows.append((name, warm, peak, exact))
        print(f"{name}: warm {warm:.2f} s, peak {peak / 1024:.1f} MiB" + (f", exact {exact}" if exact else ""),
              flush=True)
    clean()
    total = sum(os.path.getsize(p) for p in files)
    print()
    print(f"FAT32, {args.mib} MiB, {len(files)} files ({total / 2**20:.0f} MiB), formatted again with mkfs.fat")
    print("| command | warm s | x cat | peak MiB | exact files (of %d each) |" % args.copies)
    print("| --- | --- | --- | --- | --- |")
    for name, warm, peak, exact in rows:
        text = ", ".join(f"{ext} {n}" for ext, n in exact.items()) if exact else "-"
        print(f"| {name} | {warm:.2f} | {warm / rows[0][1]:.1f} | {peak / 1024:.1f} | {text} |")


if __name__ == "__main__":
    main()
