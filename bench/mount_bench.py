#!/usr/bin/env python3
"""Copying every deleted file out of `retriva mount` with `cp -a`, against
`retriva recover --keep-folders` of the same volume: the 25,000 deleted
files of the 50,000-file NTFS volume that bench/recover_many_bench.py makes
(made here the same way when missing). The mount's figure runs from the
start of `retriva mount` (its search included) to the end of the copy and
a `sync` (recover flushes its files too), and checks the bytes match.

Usage: bench/mount_bench.py [--files 50000] [--work build/bench]
Needs root for the FUSE mount that writes the volume (once; it is cached)
and /dev/fuse for retriva's mount.
"""
import hashlib
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))
from common import many_files_volume, report, timed_into  # noqa: E402


def tree_digest(folder):
    h = hashlib.sha256()
    count = 0
    for root, dirs, files in os.walk(folder):
        dirs.sort()
        for n in sorted(files):
            p = os.path.join(root, n)
            h.update(os.path.relpath(p, folder).encode())
            with open(p, "rb") as f:
                h.update(hashlib.sha256(f.read()).digest())
            count += 1
    return h.hexdigest(), count


def mount_once(retriva, image, point, out):
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    os.makedirs(point, exist_ok=True)
    subprocess.run(["sync"])
    t0 = time.perf_counter()
    proc = subprocess.Popen([retriva, "mount", image, point], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            text=True)
    proc.stdout.readline()  # printed once mounted
    try:
        subprocess.run(["cp", "-a", point + "/.", out], check=True)
        subprocess.run(["sync"])
        dt = time.perf_counter() - t0
    finally:
        subprocess.run(["fusermount3", "-u", point])
        proc.wait(timeout=30)
    return dt


def main():
    a, image = many_files_volume()
    out = os.path.join(a.work, "mount-bench-out")
    point = os.path.join(a.work, "mount-bench-mnt")
    recovered = min(timed_into([a.retriva, "recover", "--keep-folders", image, "--to", out], out)
                    for _ in range(a.repeat))
    want, n_want = tree_digest(out)
    copied = min(mount_once(a.retriva, image, point, out) for _ in range(a.repeat))
    got, n_got = tree_digest(out)
    shutil.rmtree(out, ignore_errors=True)
    print(f"The deleted files of a {a.files}-file NTFS volume, recovered and copied out of the mount")
    report([(f"retriva recover --keep-folders ({n_want} files, flushed)", recovered, 0),
            (f"retriva mount + cp -a + sync ({n_got} files)", copied, 0)])
    print(f"  mount and cp -a / recover --keep-folders = {copied / recovered:.2f} (target 1.5); "
          f"same names and bytes: {'yes' if got == want else 'NO'}")
    return 0 if got == want else 1


if __name__ == "__main__":
    sys.exit(main())
