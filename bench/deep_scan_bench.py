#!/usr/bin/env python3
"""The deep scan on a camera card formatted after use: a FAT32 volume
(mkfs.fat, 32 KiB clusters) filled through mtools with photos made by
cjpeg (some with EXIF thumbnails from exiftool), then formatted again.

Timed, warm (the image read once by `cat` just before) and from a dropped
page cache (see common.drop_caches), the median of --repeat runs, with
peak memory:
  cat IMAGE > /dev/null                   the bytes read once
  retriva search IMAGE --deep             lists the photos, writes nothing
  retriva recover IMAGE --deep --to DIR   writes them (one syncfs at the end)
  photorec /d DIR /cmd IMAGE search       Debian's testdisk 7.1
  foremost -t all -i IMAGE -o DIR
and for each recovering tool how many photos came back byte for byte.

Usage: bench/deep_scan_bench.py [--mib 2048] [--photos 520] [--work DIR] [--repeat 3] [--only NAME,...]
Needs mkfs.fat, mtools, cjpeg, exiftool, ImageMagick, photorec, foremost;
root for the dropped-cache runs.
"""
import argparse
import hashlib
import os
import shutil
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import drop_caches  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
RETRIVA = os.environ.get("RETRIVA", os.path.join(HERE, "..", "build", "retriva"))


def sh(*cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


def make_photos(folder, count):
    """`count` distinct photos of two to four megabytes: eight plasma pictures of
    6 megapixels, each encoded at several qualities, baseline or
    progressive, with or without restart markers."""
    os.makedirs(folder, exist_ok=True)
    bases = []
    for i in range(8):
        ppm = os.path.join(folder, f"base{i}.ppm")
        if not os.path.exists(ppm):
            # Sensor noise makes the photos as large as a camera's.
            sh("/usr/bin/convert", "-size", "3000x2000", "-seed", str(100 + i), "plasma:fractal",
               "-attenuate", "0.4", "+noise", "Gaussian", ppm)
        bases.append(ppm)
    photos = []
    for n in range(count):
        path = os.path.join(folder, f"IMG_{n:04d}.JPG")
        photos.append(path)
        if os.path.exists(path):
            continue
        base = bases[n % len(bases)]
        variant = n // len(bases)
        args = ["cjpeg", "-quality", str(84 + variant % 14)]
        if variant % 3 == 1:
            args.append("-progressive")
        if variant % 5 == 2:
            args += ["-restart", "4"]
        # A comment naming the photo keeps every file distinct.
        with open(base, "rb") as src:
            jpeg = subprocess.run(args, stdin=src, stdout=subprocess.PIPE, check=True).stdout
        with open(path, "wb") as dst:
            subprocess.run(["wrjpgcom", "-comment", f"IMG_{n:04d}"], input=jpeg, stdout=dst, check=True)
    # One photo in four carries an EXIF thumbnail, as cameras write them.
    thumb = os.path.join(folder, "thumb.jpg")
    sh("/usr/bin/convert", bases[0], "-resize", "160x120", thumb)
    tagged = photos[::4]
    subprocess.run(["exiftool", "-q", "-overwrite_original", "-Make=Canon", "-Model=Bench",
                    f"-ThumbnailImage<={thumb}", *tagged], check=True)
    return photos


def fill_used(image, mib):
    """A used medium: every sector holds old bytes, none reads as a hole."""
    with open(image, "wb") as f:
        block = os.urandom(1 << 20)
        for i in range(mib):
            f.write(block[i % 4096:] + block[:i % 4096])


def fat32_format(image, mib, label):
    """The mkfs.fat command a camera's format amounts to: a 2 GiB card gets
    32 KiB clusters; a smaller one the largest that still makes FAT32
    (65,525 clusters or more)."""
    spc = 64
    while spc > 1 and mib * 2048 // spc < 66000:
        spc //= 2
    return ["mkfs.fat", "-F", "32", "-s", str(spc), "-n", label, image]


def make_card(image, mib, photos):
    if os.path.exists(image):
        return
    fill_used(image, mib)
    fmt = fat32_format(image, mib, "CAMERA")
    sh(*fmt, stdout=subprocess.DEVNULL)
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
    sh("mmd", "-i", image, "::DCIM", env=env)
    sh("mmd", "-i", image, "::DCIM/100CANON", env=env)
    for i in range(0, len(photos), 50):
        sh("mcopy", "-i", image, *photos[i:i + 50], "::DCIM/100CANON/", env=env)
    # The camera's format: a new FAT and root folder, the photos left behind.
    sh(*fmt, stdout=subprocess.DEVNULL)


def timed(cmd, repeat, cold, image, before=None, stdout=subprocess.DEVNULL):
    """Median seconds of `repeat` runs, each from a dropped page cache when
    `cold`, else with the image just read through it, and the largest peak
    RSS (KiB) of those runs (/usr/bin/time's fork and wait add next to
    nothing to a run)."""
    runs, peak = [], 0
    for _ in range(repeat):
        if before:
            before()
        if cold:
            drop_caches()
        else:
            sh("sh", "-c", f"cat '{image}' > /dev/null")
        t0 = time.perf_counter()
        p = subprocess.run(["/usr/bin/time", "-f", "%M", *cmd], stdout=stdout, stderr=subprocess.PIPE)
        runs.append(time.perf_counter() - t0)
        try:
            peak = max(peak, int(p.stderr.decode().strip().splitlines()[-1]))
        except (ValueError, IndexError):
            pass
    return statistics.median(runs), peak


def hashes_under(folder):
    found = set()
    for root, _, names in os.walk(folder):
        for n in names:
            with open(os.path.join(root, n), "rb") as f:
                found.add(hashlib.sha256(f.read()).hexdigest())
    return found


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mib", type=int, default=2048)
    ap.add_argument("--photos", type=int, default=520)
    ap.add_argument("--work", default="/tmp/retriva-deep-bench")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--peers-repeat", type=int, default=0, help="runs of photorec and foremost (default --repeat)")
    ap.add_argument("--only", default="", help="comma-separated names of the runs to time (cat always runs)")
    args = ap.parse_args()
    os.makedirs(args.work, exist_ok=True)
    photos = make_photos(os.path.join(args.work, "photos"), args.photos)
    originals = {hashlib.sha256(open(p, "rb").read()).hexdigest() for p in photos}
    image = os.path.join(args.work, f"card-{args.mib}m-{args.photos}.img")
    make_card(image, args.mib, photos)
    out = os.path.join(args.work, "out")

    def clean():
        shutil.rmtree(out, ignore_errors=True)

    def photorec_cmd():
        # PhotoRec wants the folder's prefix; it adds ".1", ".2", ...
        os.makedirs(out, exist_ok=True)
        return ["photorec", "/d", os.path.join(out, "rec"), "/cmd", image, "search"]

    runs = [
        ("cat", ["sh", "-c", f"cat '{image}' > /dev/null"], False),
        ("retriva search --deep", [RETRIVA, "search", image, "--deep", "-q"], False),
        ("retriva recover --deep", [RETRIVA, "recover", image, "--deep", "-q", "--to", out], True),
        ("photorec", None, True),
        ("foremost -t all", ["foremost", "-Q", "-t", "all", "-i", image, "-o", out], True),
    ]
    cold_ok = drop_caches()
    rows = []
    for name, cmd, writes in runs:
        c = cmd
        if name == "photorec":
            clean()
            c = photorec_cmd()
        before = (lambda: (clean(), photorec_cmd())) if name == "photorec" else (clean if writes else None)
        if args.only and name != "cat" and name not in args.only.split(","):
            continue
        repeat = args.repeat if name == "cat" or name.startswith("retriva") else args.peers_repeat or args.repeat
        warm, peak = timed(c, repeat, False, image, before)
        cold = timed(c, repeat, True, image, before)[0] if cold_ok else None
        exact = len(hashes_under(out) & originals) if writes else None
        rows.append((name, warm, cold, peak, exact))
        print(f"{name}: warm {warm:.2f} s, cold {cold if cold is None else round(cold, 2)} s, peak {peak / 1024:.1f} MiB"
              + (f", {exact}/{len(originals)} photos exact" if exact is not None else ""), flush=True)
    clean()
    cat_warm, cat_cold = rows[0][1], rows[0][2]
    print()
    print(f"FAT32 card, {args.mib} MiB, {len(photos)} photos "
          f"({sum(os.path.getsize(p) for p in photos) / 2**20:.0f} MiB), formatted again with mkfs.fat")
    print("| command | warm s | x cat | cold s | x cat | peak MiB | exact photos |")
    print("| --- | --- | --- | --- | --- | --- | --- |")
    for name, warm, cold, peak, exact in rows:
        cold_text = f"{cold:.2f} | {cold / cat_cold:.1f}" if cold is not None and cat_cold else "- | -"
        print(f"| {name} | {warm:.2f} | {warm / cat_warm:.1f} | {cold_text} | {peak / 1024:.1f} | "
              f"{'-' if exact is None else f'{exact}/{len(originals)}'} |")


if __name__ == "__main__":
    main()
