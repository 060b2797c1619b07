#!/usr/bin/env python3
"""NTFS search speed: a volume with FILES files in nested folders (half of
them deleted) made with mkntfs and ntfs-3g, then timed side by side:
`retriva search --json`, `ntfsundelete -s`, `fls -r -d -p`, and a plain
sequential read of the MFT's bytes from the same file.

Usage: bench/ntfs_search_bench.py [--files 100000] [--work build/bench]
Needs root for the FUSE mount that writes the volume (once; it is cached).
"""
import argparse
import os
import random
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(__file__))
from common import drop_caches, ntfs_mft_ranges, report, sequential_read, timed  # noqa: E402


def make_volume(image, files):
    if os.path.exists(image):
        return
    tmp = image + ".part"
    mnt = image + ".mnt"
    size = max(512 << 20, files * 16 * 1024)
    with open(tmp, "wb") as f:
        f.truncate(size)
    subprocess.run(["mkntfs", "-q", "-F", "-f", "-L", "bench", tmp], check=True, stdout=subprocess.DEVNULL)
    os.makedirs(mnt, exist_ok=True)
    subprocess.run(["ntfs-3g", tmp, mnt], check=True)
    try:
        rnd = random.Random(1)
        paths = []
        per_dir = 200
        for i in range(files):
            d = os.path.join(mnt, f"d{i // (per_dir * 50):03d}", f"s{(i // per_dir) % 50:02d}")
            if i % per_dir == 0:
                os.makedirs(d, exist_ok=True)
            p = os.path.join(d, f"file-{i:06d}.dat")
            with open(p, "wb") as f:
                f.write(bytes([i & 0xFF]) * rnd.choice((100, 700, 3000, 9000)))
            paths.append(p)
        for p in paths[::2]:
            os.unlink(p)
    finally:
        subprocess.run(["umount", mnt], check=True)
    os.rename(tmp, image)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--files", type=int, default=100000)
    ap.add_argument("--work", default="build/bench")
    ap.add_argument("--retriva", default="build/retriva")
    a = ap.parse_args()
    os.makedirs(a.work, exist_ok=True)
    image = os.path.join(a.work, f"ntfs-{a.files}.img")
    make_volume(image, a.files)

    env = dict(os.environ, TZ="UTC")
    for cold in (False, True):
        measure(a, image, env, cold)


def measure(a, image, env, cold):
    # The fast runs are repeated more, the best of them taken: this machine's
    # timings scatter by a few milliseconds.
    ours, ours_rss = timed([a.retriva, "search", "--json", image], repeat=9, env=env, cold=cold)
    found = subprocess.run([a.retriva, "search", "--json", image], capture_output=True, env=env).stdout.count(b"\n")
    rows = [("retriva search --json", ours, ours_rss)]
    peer = None
    if shutil.which("ntfsundelete"):
        peer, peer_rss = timed(["ntfsundelete", "-s", "-f", image], cold=cold)
        rows.append(("ntfsundelete -s", peer, peer_rss))
    if shutil.which("fls"):
        fls, fls_rss = timed(["fls", "-r", "-d", "-p", image], cold=cold)
        rows.append(("fls -r -d -p", fls, fls_rss))
    ranges = ntfs_mft_ranges(image)
    mft_bytes = sum(n for _, n in ranges)
    seq = sequential_read(image, ranges, repeat=9, cold=cold)
    rows.append((f"sequential read of the MFT ({mft_bytes >> 20} MiB)", seq, 0))
    # The search reads the MFT in 64 KiB windows; the same bytes read so,
    # with nothing done with them, is what those reads cost by themselves.
    windows = sequential_read(image, ranges, chunk=1 << 16, repeat=9, cold=cold)
    rows.append(("  the same read in 64 KiB pieces", windows, 0))
    # What any run of retriva pays before it reads the volume: starting,
    # opening the volume and reading its boot sector, here a 1.4 MiB FAT12
    # volume, which the search then refuses.
    tiny = os.path.join(os.path.dirname(a.retriva), "test-images", "fat12.img")
    if os.path.exists(tiny):
        start, _ = timed([a.retriva, "search", "--json", tiny], repeat=9, env=env, cold=cold)
        rows.append(("  retriva start-up (FAT12 volume, refused at its boot sector)", start, 0))
    print(f"[{'cold' if cold else 'warm'} cache] NTFS search, {a.files} files, {found} deleted files listed")
    report(rows)
    if peer:
        print(f"  retriva / ntfsundelete       = {ours / peer:.2f}")
    print(f"  retriva / sequential MFT read = {ours / seq:.2f}")
    print(f"  retriva / the read in 64 KiB pieces = {ours / windows:.2f}")


if __name__ == "__main__":
    main()
