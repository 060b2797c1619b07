#!/usr/bin/env python3
"""`recover --keep-folders` on trees of one deep chain of folders, one
deleted file in each: the time should grow linearly with the depth, as each
folder is made from the handle of the one above it.

Makes each volume once (mkntfs, written through ntfs-3g: root and
/dev/fuse), kept beside the build as build/bench-deep/deep-DEPTH.img, and
times `retriva recover` flat (every file into the destination itself) and
with `--keep-folders`: the difference is what making the folders costs, as
the engine's own work (which rebuilds each file's path from its record) is
the same in both.

    bench/deep_folders_bench.py [--retriva build/retriva] [--depths 500,1000,2000,4000]
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))


def make_volume(path, depth):
    """A 64 MiB NTFS volume: folders d/d/d/... `depth` deep, a file in each, the files deleted."""
    subprocess.run(["truncate", "-s", "64M", path], check=True)
    subprocess.run(["mkntfs", "-Q", "-F", "-q", "-c", "4096", path], check=True, stdout=subprocess.DEVNULL)
    mnt = tempfile.mkdtemp()
    subprocess.run(["ntfs-3g", path, mnt], check=True)
    try:
        here = os.getcwd()
        # Each level is made from the one above (chdir), never by its whole path.
        os.chdir(mnt)
        for level in range(depth):
            os.mkdir("d")
            os.chdir("d")
            with open("f.txt", "wb") as f:
                f.write(b"level %d\n" % level)
        # The files are deleted level by level, each from its own folder.
        os.chdir(mnt)
        for level in range(depth):
            os.chdir("d")
            os.unlink("f.txt")
        os.chdir(here)
    finally:
        os.chdir("/")
        subprocess.run(["fusermount", "-u", mnt], check=True)
        os.rmdir(mnt)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--retriva", default="build/retriva")
    ap.add_argument("--depths", default="500,1000,2000,4000")
    a = ap.parse_args()
    retriva = os.path.abspath(a.retriva)
    store = os.path.join(os.path.dirname(retriva), "bench-deep")
    os.makedirs(store, exist_ok=True)
    print(f"{'depth':>6} {'flat s':>9} {'kept s':>10} {'folders s':>10} {'per level ms':>13} {'peak MiB':>9}")
    for depth in (int(d) for d in a.depths.split(",")):
        img = os.path.join(store, f"deep-{depth}.img")
        if not os.path.exists(img):
            t0 = time.perf_counter()
            make_volume(img + ".part", depth)
            os.rename(img + ".part", img)
            print(f"  (made {img} in {time.perf_counter() - t0:.1f} s)", file=sys.stderr)
        out = tempfile.mkdtemp(dir=store)

        def recover(dest, *extra):
            t0 = time.perf_counter()
            subprocess.run([retriva, "recover", img, "--to", dest, "-q", *extra],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            return time.perf_counter() - t0

        flat = min(recover(os.path.join(out, f"flat{i}")) for i in range(2))
        kept = min(recover(os.path.join(out, f"kept{i}"), "--keep-folders") for i in range(2))
        p = subprocess.run(["/usr/bin/time", "-f", "%M", retriva, "recover", img, "--to", os.path.join(out, "m"),
                            "--keep-folders", "-q"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            peak = int(p.stderr.decode().strip().splitlines()[-1]) // 1024
        except (ValueError, IndexError):
            peak = 0
        made = int(subprocess.run(["find", os.path.join(out, "kept0"), "-type", "d"], capture_output=True,
                                  check=True).stdout.count(b"\n")) - 1
        folders = kept - flat
        print(f"{depth:>6} {flat:>9.2f} {kept:>10.2f} {folders:>10.2f} {1000 * folders / depth:>13.3f} {peak:>9}"
              + ("" if made >= depth else f"  (only {made} folders made)"), flush=True)
        # Deeper than Python's recursion limit: rm walks it.
        subprocess.run(["rm", "-rf", out], check=False)


if __name__ == "__main__":
    main()
