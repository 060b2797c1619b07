#!/usr/bin/env python3
"""Search time on a 1 TiB sparse NTFS image whose $MFT claims 2^28 records.

ntfs-4k.img is laid into a sparse file of 1 TiB and its $MFT data is grown
to claim 2^28 records (its $MFT bitmap to match), the new records all zeros.
Two images: one whose $MFT initialized size stays what ntfs-3g wrote (the
records past it were never written, and are not read), and one whose
initialized size claims every record (each is read, and fails its fixups).

Usage: bench/huge_mft_bench.py [RETRIVA] [IMAGES]   (defaults build/retriva, build/test-images)
"""
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "cli"))
from common import timed  # noqa: E402
import test_huge_volumes as huge  # noqa: E402

RECORDS = 1 << 28


def once(cmd, env):
    """Wall time and peak RSS (KiB) of one run, for a command too slow to repeat."""
    t0 = time.perf_counter()
    p = subprocess.run(["/usr/bin/time", "-f", "%M", *cmd], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                       env=env)
    return time.perf_counter() - t0, int(p.stderr.decode().strip().splitlines()[-1])


def main():
    retriva = sys.argv[1] if len(sys.argv) > 1 else "build/retriva"
    images = sys.argv[2] if len(sys.argv) > 2 else "build/test-images"
    src = os.path.join(images, "ntfs-4k.img")
    env = dict(os.environ, TZ="UTC")
    with tempfile.TemporaryDirectory(prefix="retriva-huge-mft-") as work:
        print("%-44s %10s %10s" % ("image ($MFT claims 2^28 records)", "seconds", "peak KiB"))
        for initialized_only, label in ((True, "initialized size as written"),
                                        (False, "initialized size claims all")):
            dst = os.path.join(work, "huge.img")
            huge.make_huge_ntfs(src, dst, RECORDS, None, initialized_only=initialized_only)
            cmd = [retriva, "search", "--json", dst]
            # The second image reads 256 GiB of zeros: timed once.
            best, peak = timed(cmd, env=env) if initialized_only else once(cmd, env)
            print("%-44s %10.2f %10d" % (label, best, peak), flush=True)
            os.unlink(dst)


if __name__ == "__main__":
    main()
