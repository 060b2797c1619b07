#!/usr/bin/env python3
"""FAT32 search speed: a volume with FILES files in nested folders (half of
them deleted, some whole folders among them) made with mkfs.fat and mtools,
then timed side by side: `retriva search --json`, `fls -r -d -p`, and a
sequential read of the directory clusters the search must visit.

Usage: bench/fat_search_bench.py [--files 50000] [--work build/bench]
"""
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(__file__))
from common import directory_search_bench, fat_directory_ranges  # noqa: E402


def make_volume(image, files):
    if os.path.exists(image):
        return
    tmp = image + ".part"
    with open(tmp, "wb") as f:
        f.truncate(2 << 30)
    subprocess.run(["mkfs.fat", "-F", "32", "-s", "8", "-n", "BENCH", tmp], check=True, stdout=subprocess.DEVNULL)
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
    with tempfile.TemporaryDirectory() as src:
        per_dir = 100
        for i in range(files):
            d = os.path.join(src, f"D{i // (per_dir * 25):03d}", f"S{(i // per_dir) % 25:02d}")
            if i % per_dir == 0:
                os.makedirs(d, exist_ok=True)
            with open(os.path.join(d, f"file-{i:06d}.dat"), "wb") as f:
                f.write(bytes([i & 0xFF]) * (500 + (i % 7) * 900))
        for top in sorted(os.listdir(src)):
            subprocess.run(["mcopy", "-s", "-i", tmp, os.path.join(src, top), "::/"], check=True, env=env)
        victims = []
        for root, _, names in os.walk(src):
            rel = os.path.relpath(root, src).replace(os.sep, "/")
            victims += [f"::/{rel}/{n}" for n in sorted(names)[::2]]
        for k in range(0, len(victims), 500):
            subprocess.run(["mdel", "-i", tmp, *victims[k:k + 500]], check=True, env=env)
        # A few whole folders go too, so deleted folders are entered.
        for top in sorted(os.listdir(src))[:2]:
            subprocess.run(["mdeltree", "-i", tmp, f"::/{top}/S00"], check=True, env=env)
    os.rename(tmp, image)


def main():
    directory_search_bench("FAT32", lambda n: f"fat32-{n}.img", make_volume, fat_directory_ranges,
                           lambda ranges: len(ranges))


if __name__ == "__main__":
    main()
