#!/usr/bin/env python3
"""exFAT work against what it should grow with (root, /dev/fuse, loop devices):

- search: N deleted folders, each claiming a size of 1 TiB, over clusters of old file
  data that hold no end-of-directory entry (mkfs.exfat, exfat-fuse, then the sizes
  written by hand). The search should read each folder's own clusters, not the heap
  after it once per folder: time and bytes read per folder stay flat as N grows.
- recover: N deleted files in one folder. The folder should be read once per recovery,
  not once per file: time per file stays flat as N grows.

Usage: bench/exfat_scaling_bench.py [--folders 250,500,1000,2000] [--files 2500,5000,10000,20000]
                                    [--work build/bench] [--retriva build/retriva]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "images"))
import mkexfat  # noqa: E402

KiB, MiB = 1024, 1024 * 1024


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, **kw).stdout


def fresh_volume(image, size):
    with open(image, "wb") as f:
        f.truncate(size)
    with mkexfat.Loop(image, 512, run) as dev:
        run(["mkfs.exfat", "-c", "4096", "-L", "SCALING", dev])


def folders_volume(image, n):
    """N deleted folders \\Many\\Fi, each with one 3-cluster file, over old text."""
    if os.path.exists(image):
        return
    size = 64 * MiB + n * 16 * KiB
    part = image + ".part"
    fresh_volume(part, size)
    mnt = image + ".mnt"
    with mkexfat.ExfatMount(part, mnt, 512, run) as m:
        with open(m.p("\\filler.bin"), "wb") as f:
            f.write(b"old data, no directory entries here; " * ((size - 4 * MiB - n * 16 * KiB) // 38))
    with mkexfat.ExfatMount(part, mnt, 512, run) as m:
        os.unlink(m.p("\\filler.bin"))
        for i in range(n):
            os.makedirs(m.p("\\Many\\F%05d" % i))
            with open(m.p("\\Many\\F%05d\\x.bin" % i), "wb") as f:
                f.write(b"x" * (3 * 4096 - 10))
    h = mkexfat.Heap(part)
    at = h.find_set(h.chain(h.root, 64), "Many")
    stream = h.data[at[1]:at[1] + 32]
    _, _, clusters = h.stream(at)
    fat = {c: h.data[h.fat + 4 * c:h.fat + 4 * c + 4] for c in clusters}
    with mkexfat.ExfatMount(part, mnt, 512, run) as m:
        shutil.rmtree(m.p("\\Many"))
    h = mkexfat.Heap(part)
    # \Many as it was written (exfat-fuse shrinks a folder as its entries go), and
    # every folder in it claiming 1 TiB.
    at = h.find_set(h.chain(h.root, 64), "Many")
    h.data[at[1] + 1] = stream[1]
    h.data[at[1] + 8:at[1] + 32] = stream[8:32]
    h.reseal(at)
    for c, v in fat.items():
        h.data[h.fat + 4 * c:h.fat + 4 * c + 4] = v
    for i in range(n):
        at = h.find_set(clusters, "F%05d" % i)
        h.data[at[1] + 8:at[1] + 16] = (1 << 40).to_bytes(8, "little")
        h.data[at[1] + 24:at[1] + 32] = (1 << 40).to_bytes(8, "little")
        h.reseal(at)
    h.save()
    os.rename(part, image)


def files_volume(image, n):
    """N deleted files of 600 bytes in \\Big, and a live one after them (so exfat-fuse
    keeps the folder's clusters)."""
    if os.path.exists(image):
        return
    part = image + ".part"
    fresh_volume(part, 32 * MiB + n * 4 * KiB)
    mnt = image + ".mnt"
    with mkexfat.ExfatMount(part, mnt, 512, run) as m:
        os.makedirs(m.p("\\Big"))
        for i in range(n):
            with open(m.p("\\Big\\f-%06d.txt" % i), "wb") as f:
                f.write(b"%06d " % i * 100)
        with open(m.p("\\Big\\zz-live.txt"), "wb") as f:
            f.write(b"live")
    with mkexfat.ExfatMount(part, mnt, 512, run) as m:
        for i in range(n):
            os.unlink(m.p("\\Big\\f-%06d.txt" % i))
    os.rename(part, image)


def measured(cmd, repeat=3):
    """Best wall time of `repeat` runs, and the bytes the command read (rchar, taken
    from the shell that waited for it)."""
    best = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        dt = time.perf_counter() - t0
        best = dt if best is None else min(best, dt)
    io = subprocess.run(["sh", "-c", '"$@" >/dev/null 2>&1; grep ^rchar /proc/$$/io', "sh", *cmd],
                        capture_output=True, text=True).stdout
    return best, int(io.split()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--folders", default="250,500,1000,2000")
    ap.add_argument("--files", default="2500,5000,10000,20000")
    ap.add_argument("--work", default="build/bench")
    ap.add_argument("--retriva", default="build/retriva")
    a = ap.parse_args()
    os.makedirs(a.work, exist_ok=True)
    env = dict(os.environ, TZ="UTC")
    print("search: N deleted folders claiming 1 TiB each over old data")
    print(f"  {'folders':>8}  {'time':>9}  {'per folder':>11}  {'bytes read':>12}  {'per folder':>11}")
    for n in (int(x) for x in a.folders.split(",")):
        image = os.path.join(a.work, f"exfat-folders-{n}.img")
        folders_volume(image, n)
        t, read = measured([a.retriva, "search", "--json", image])
        found = subprocess.run([a.retriva, "search", "--json", image], capture_output=True,
                               env=env).stdout.count(b"\n")
        assert found == n, (n, found)
        print(f"  {n:>8}  {t:>7.3f} s  {t / n * 1e6:>8.1f} us  {read:>12}  {read // n:>9} B")
    print("recover: N deleted files in one folder")
    print(f"  {'files':>8}  {'time':>9}  {'per file':>11}  {'bytes read':>12}  {'per file':>11}")
    for n in (int(x) for x in a.files.split(",")):
        image = os.path.join(a.work, f"exfat-files-{n}.img")
        files_volume(image, n)
        best, read = None, 0
        for _ in range(2):
            out = tempfile.mkdtemp(dir=a.work)
            t0 = time.perf_counter()
            p = subprocess.run([a.retriva, "recover", "-q", image, "--to", out], env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            dt = time.perf_counter() - t0
            assert p.returncode == 0, p.stderr
            assert len(os.listdir(out)) == n, (n, len(os.listdir(out)))
            shutil.rmtree(out)
            best = dt if best is None else min(best, dt)
        out = tempfile.mkdtemp(dir=a.work)
        io = subprocess.run(["sh", "-c", '"$@" >/dev/null 2>&1; grep ^rchar /proc/$$/io', "sh",
                             a.retriva, "recover", "-q", image, "--to", out], capture_output=True, text=True).stdout
        shutil.rmtree(out)
        read = int(io.split()[-1])
        print(f"  {n:>8}  {best:>7.3f} s  {best / n * 1e6:>8.1f} us  {read:>12}  {read // n:>9} B")


if __name__ == "__main__":
    main()
