#!/usr/bin/env python3
"""Recovery of many small files: an NTFS volume with FILES files in nested
folders, half of them deleted (the search benchmark's volume), recovered
whole by `retriva recover` and by sleuthkit's `tsk_recover` (which
recovers the deleted files by default) into fresh folders on the same
disk. retriva's figure includes making every byte durable (one flush of the
destination's file system before the files take their names);
tsk_recover's is shown alone and followed by a `sync`, which is what it
takes to make its files as safe.

Usage: bench/recover_many_bench.py [--files 50000] [--work build/bench]
Needs root for the FUSE mount that writes the volume (once; it is cached).
"""
import os
import shutil
import sys

sys.path.insert(0, os.path.dirname(__file__))
from common import many_files_volume, report, timed_into  # noqa: E402


def count_files(folder):
    return sum(len(files) for _, _, files in os.walk(folder))


def best(cmd, out, repeat, then_sync=False):
    """Best time of `repeat` runs, and how many files the last one wrote."""
    return min(timed_into(cmd, out, then_sync) for _ in range(repeat)), count_files(out)


def main():
    a, image = many_files_volume()
    out = os.path.join(a.work, "recover-many-out")
    rows = []
    ours, n_ours = best([a.retriva, "recover", image, "--to", out], out, a.repeat)
    rows.append((f"retriva recover ({n_ours} files, flushed)", ours, 0))
    kept, n_kept = best([a.retriva, "recover", "--keep-folders", image, "--to", out], out, a.repeat)
    rows.append((f"retriva recover --keep-folders ({n_kept} files, flushed)", kept, 0))
    tsk, n_tsk = best(["tsk_recover", image, out], out, a.repeat)
    rows.append((f"tsk_recover ({n_tsk} files, not flushed)", tsk, 0))
    tsk_sync, _ = best(["tsk_recover", image, out], out, a.repeat, then_sync=True)
    rows.append(("tsk_recover, then sync", tsk_sync, 0))
    shutil.rmtree(out, ignore_errors=True)
    print(f"NTFS recovery of the deleted files of a {a.files}-file volume")
    report(rows)
    print(f"  retriva / tsk_recover = {ours / tsk:.2f}; with --keep-folders {kept / tsk:.2f}; "
          f"retriva / (tsk_recover + sync) = {ours / tsk_sync:.2f}")


if __name__ == "__main__":
    main()
