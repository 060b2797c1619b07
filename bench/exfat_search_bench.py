#!/usr/bin/env python3
"""exFAT search speed: a volume with FILES files in nested folders (half of
them deleted, some whole folders among them) made with mkfs.exfat and written
through exfat-fuse (root, /dev/fuse, a loop device), then timed side by side:
`retriva search --json`, `fls -r -d -p`, and a sequential read of the
directory clusters the search must visit.

Usage: bench/exfat_search_bench.py [--files 50000] [--work build/bench]
"""
import os
import shutil
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))
from common import directory_search_bench  # noqa: E402


def make_volume(image, files):
    if os.path.exists(image):
        return
    tmp = image + ".part"
    with open(tmp, "wb") as f:
        f.truncate(2 << 30)
    loop = subprocess.run(["losetup", "-f", "--show", tmp], check=True, capture_output=True, text=True).stdout.strip()
    mnt = image + ".mnt"
    os.makedirs(mnt, exist_ok=True)
    try:
        subprocess.run(["mkfs.exfat", "-c", "4K", "-L", "BENCH", loop], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["mount.exfat-fuse", loop, mnt], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        try:
            per_dir = 100
            written = []
            for i in range(files):
                d = os.path.join(mnt, f"D{i // (per_dir * 25):03d}", f"S{(i // per_dir) % 25:02d}")
                if i % per_dir == 0:
                    os.makedirs(d, exist_ok=True)
                p = os.path.join(d, f"file-{i:06d}.dat")
                with open(p, "wb") as f:
                    f.write(bytes([i & 0xFF]) * (500 + (i % 7) * 900))
                written.append(p)
            for p in written[::2]:
                os.unlink(p)
            # A few whole folders go too, so deleted folders are entered.
            for top in sorted(os.listdir(mnt))[:2]:
                shutil.rmtree(os.path.join(mnt, top, "S00"))
        finally:
            os.sync()
            for _ in range(50):
                if subprocess.run(["umount", mnt]).returncode == 0:
                    break
                time.sleep(0.2)
    finally:
        subprocess.run(["losetup", "-d", loop])
    os.rename(tmp, image)


def exfat_directory_ranges(path):
    """Byte ranges of every folder cluster an exFAT search visits: the root
    through its chain, live folders as their stream entries describe them,
    deleted folders through the clusters their entries name that are free."""
    with open(path, "rb") as f:
        data = f.read()
    bps, spc = 1 << data[108], 1 << data[109]
    bpc = bps * spc
    fat_off = struct.unpack_from("<I", data, 80)[0] * bps
    heap = struct.unpack_from("<I", data, 88)[0] * bps
    count = struct.unpack_from("<I", data, 92)[0]
    root = struct.unpack_from("<I", data, 96)[0]

    def fat(c):
        return struct.unpack_from("<I", data, fat_off + 4 * c)[0]

    def chain(c, n=None):
        out = []
        while 2 <= c < count + 2 and c not in out and (n is None or len(out) < n):
            out.append(c)
            c = fat(c)
        return out

    ranges, todo, seen = [], [(chain(root), False)], set()
    while todo:
        clusters, _ = todo.pop()
        if not clusters or clusters[0] in seen:
            continue
        seen.add(clusters[0])
        listing = b""
        for c in clusters:
            ranges.append((heap + (c - 2) * bpc, bpc))
            listing += data[heap + (c - 2) * bpc:heap + (c - 1) * bpc]
        for pos in range(0, len(listing) - 64, 32):
            t = listing[pos]
            if t == 0:
                break
            if t in (0x85, 0x05) and struct.unpack_from("<H", listing, pos + 4)[0] & 0x10:
                s = pos + 32
                flags, first = listing[s + 1], struct.unpack_from("<I", listing, s + 20)[0]
                n = (struct.unpack_from("<Q", listing, s + 24)[0] + bpc - 1) // bpc
                if flags & 2 or t == 0x05:
                    sub = [c for c in range(first, first + n) if 2 <= c < count + 2]
                else:
                    sub = chain(first, n)
                todo.append((sub, t == 0x05))
    ranges.sort()
    merged = []
    for off, n in ranges:
        if merged and merged[-1][0] + merged[-1][1] == off:
            merged[-1] = (merged[-1][0], merged[-1][1] + n)
        else:
            merged.append((off, n))
    return merged


def main():
    directory_search_bench("exFAT", lambda n: f"exfat-{n}.img", make_volume, exfat_directory_ranges,
                           lambda ranges: sum(n for _, n in ranges) // (1 << 12))


if __name__ == "__main__":
    main()
