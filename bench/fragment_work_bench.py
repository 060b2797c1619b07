#!/usr/bin/env python3
"""Fragment reassembly's work on big deleted files: a FAT32 volume (mkfs.fat,
4 KiB clusters) where a gzip file and a FLAC file, some tens of MiB each,
were written through mtools in three pieces around fillers, then deleted
with the fillers, so every gap is free and only the content can place the
pieces. Two cases per file:

  whole   every cluster still there: the search finds the pieces
  cut     the file's last piece overwritten afterwards (its clusters free
          again, holding other bytes): no layout validates, and every trial
          decodes as far as the break

Each check decodes the file from its first byte, so the work of a file is
trials x bytes decoded; it is bounded by the bytes decoded (a small multiple
of the file's size plus a constant), not by clusters. Timed warm:

  retriva recover IMAGE --to DIR --pattern NAME   (one file each)

and whether the file came back byte for byte, placed by its format.

Measured on this project's 2-core machine (shared, so times vary), one
warm run each: a 24.6 MiB gzip 4.7 s whole, 5.3 s cut; a 22.5 MiB FLAC
2.9 s whole, 2.0 s cut; peak 7 MiB. With the budget counted in trials and
clusters instead (2,000 trials, each decoding from the first byte to the
break), an 8.2 MiB gzip of the same kind took 39.7 s against 2.3 s. None of
the four came back whole: mtools gave the fillers the same creation second
as the file, so their spans are not offered as the gaps it jumped, and a
gap of 2,100 clusters is wider than the search tries on its own; each is
said to be a guess.

Usage: bench/fragment_work_bench.py [--mib 24] [--work DIR]
Needs mkfs.fat, mtools, gzip, sox, flac.
"""
import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import timed  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
RETRIVA = os.environ.get("RETRIVA", os.path.join(HERE, "..", "build", "retriva"))
C = 4096


def sh(*cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, **kw).stdout


def make_sources(work, mib):
    """A gzip of text (base64 of random bytes: a real deflate stream of
    Huffman blocks) and a FLAC of noise and tones, about `mib` MiB each."""
    raw = os.path.join(work, "text.txt")
    with open(raw, "wb") as f:
        f.write(sh("base64", input=os.urandom(mib * 1024 * 1024)))
    gz = os.path.join(work, "BIG.GZ")
    with open(gz, "wb") as f:
        f.write(sh("gzip", "-6", "-c", raw))
    wav, flac = os.path.join(work, "t.wav"), os.path.join(work, "BIG.FLA")
    seconds = max(10, mib * 12)
    sh("sox", "-n", "-r", "44100", "-b", "16", "-c", "2", wav, "synth", str(seconds), "pinknoise", "vol", "0.5")
    sh("flac", "-s", "-f", "-5", "-o", flac, wav)
    return [gz, flac]


def card(work, source, cut):
    """The FAT32 image with `source` deleted in three pieces."""
    img = os.path.join(work, "card.img")
    if os.path.exists(img):
        os.remove(img)
    size = os.path.getsize(source)
    n = (size + C - 1) // C
    hole = (n + 2) // 3
    mib = max(300, (size * 4) // (1 << 20) + 32)  # FAT32 wants 65525 clusters or more
    sh("mkfs.fat", "-C", "-F", "32", "-S", "512", "-s", "8", img, str(mib * 1024))
    filler = os.path.join(work, "filler")
    with open(filler, "wb") as f:
        f.write(b"filler line of text, not the file's own\n" * (hole * C // 40) + b"\n" * (hole * C % 40))
    for i in range(7):
        sh("mcopy", "-i", img, filler, "::F%d.TXT" % i)
    for i in (1, 3, 5):
        sh("mdel", "-i", img, "::F%d.TXT" % i)
    # FAT32's FSInfo hint sends the allocator past the last file written:
    # without it mtools fills the holes from the start.
    with open(img, "r+b") as f:
        boot = f.read(512)
        f.seek(int.from_bytes(boot[48:50], "little") * 512 + 492)
        f.write(b"\xff\xff\xff\xff")
    name = os.path.basename(source)
    sh("mcopy", "-i", img, source, "::" + name)
    runs = sh("mshowfat", "-i", img, "::" + name).decode()
    sh("mdel", "-i", img, "::" + name)
    for i in (0, 2, 4, 6):
        sh("mdel", "-i", img, "::F%d.TXT" % i)
    if cut:
        # The last piece's clusters hold other bytes now.
        import re
        import struct
        last = [int(a) for a, _ in re.findall(r"<(\d+)(?:-(\d+))?>", runs)][-1]
        with open(img, "r+b") as f:
            boot = f.read(512)
            reserved, fats, fat_sectors = struct.unpack_from("<H", boot, 14)[0], boot[16], struct.unpack_from("<I", boot, 36)[0]
            f.seek((reserved + fats * fat_sectors) * 512 + (last - 2) * C)
            f.write(b"other bytes written over the last piece\n" * (hole * C // 40))
    return img, runs.strip()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mib", type=int, default=24)
    ap.add_argument("--work", default="/tmp/fragment-work-bench")
    args = ap.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    rows = []
    for source in make_sources(args.work, args.mib):
        with open(source, "rb") as f:
            want = hashlib.sha256(f.read()).hexdigest()
        for cut in (False, True):
            img, runs = card(args.work, source, cut)
            out = os.path.join(args.work, "out")
            name = os.path.basename(source)
            # A deleted short name is listed with "~" for its first letter.
            cmd = [RETRIVA, "recover", img, "--pattern", "?" + name[1:], "--json", "--to", out]

            def fresh():
                shutil.rmtree(out, ignore_errors=True)

            fresh()
            result = json.loads(subprocess.run(cmd, capture_output=True, check=False).stdout.decode().splitlines()[0])
            with open(result["output"], "rb") as f:
                exact = hashlib.sha256(f.read()).hexdigest() == want
            fresh()
            seconds, peak = timed(cmd, repeat=1)
            fresh()
            size = os.path.getsize(source)
            rows.append((name, "cut" if cut else "whole", size, seconds, peak, exact, result["contiguous_guess"]))
            print("%-8s %-5s %6.1f MiB  %6.2f s  peak %6.1f MiB  exact %-5s guess %-5s  runs %s" %
                  (name, rows[-1][1], size / 2**20, seconds, peak / 1024, exact, result["contiguous_guess"], runs),
                  flush=True)


if __name__ == "__main__":
    main()
