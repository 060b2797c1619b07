#!/usr/bin/env python3
"""Recovery speed and memory: an NTFS volume holding one large contiguous
deleted file (SIZE MiB), recovered with `retriva recover --id`, beside a
plain sequential copy of the same bytes from the image and `cat` of them
(through `dd` with cat's 128 KiB reads, which can start at the file's
offset), each followed by a flush so that every copy is as durable as a
recovery. Run with two sizes to see that memory does not grow with the
file.

Usage: bench/recover_bench.py [--mib 1024] [--work build/bench]
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(__file__))
from common import report, timed  # noqa: E402


def make_volume(image, mib):
    if os.path.exists(image):
        return
    tmp, mnt = image + ".part", image + ".mnt"
    with open(tmp, "wb") as f:
        f.truncate((mib + 256) << 20)
    subprocess.run(["mkntfs", "-q", "-F", "-f", "-c", "4096", tmp], check=True, stdout=subprocess.DEVNULL)
    os.makedirs(mnt, exist_ok=True)
    subprocess.run(["ntfs-3g", tmp, mnt], check=True)
    try:
        block = os.urandom(1 << 20)
        with open(os.path.join(mnt, "big.bin"), "wb") as f:
            for i in range(mib):
                f.write(block[i % 251:] + block[:i % 251])
        os.unlink(os.path.join(mnt, "big.bin"))
    finally:
        subprocess.run(["umount", mnt], check=True)
    os.rename(tmp, image)


def plain_copy(image, ranges, out):
    t0 = time.perf_counter()
    with open(image, "rb") as src, open(out, "wb") as dst:
        for off, n in ranges:
            src.seek(off)
            left = n
            while left:
                b = src.read(min(left, 1 << 16))
                if not b:
                    break
                dst.write(b)
                left -= len(b)
        dst.flush()
        os.fsync(dst.fileno())
    return time.perf_counter() - t0


def cat_copy(image, ranges, out):
    """The file's bytes as `cat` copies them (128 KiB reads and writes), then
    made durable like a recovery."""
    t0 = time.perf_counter()
    with open(out, "wb") as dst:
        for off, n in ranges:
            subprocess.run(["dd", f"if={image}", "bs=128K", "iflag=skip_bytes,count_bytes", f"skip={off}",
                            f"count={n}", "status=none"], stdout=dst, check=True)
        os.fsync(dst.fileno())
    return time.perf_counter() - t0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mib", type=int, default=1024)
    ap.add_argument("--work", default="build/bench")
    ap.add_argument("--retriva", default="build/retriva")
    a = ap.parse_args()
    os.makedirs(a.work, exist_ok=True)
    image = os.path.join(a.work, f"ntfs-big-{a.mib}.img")
    make_volume(image, a.mib)
    import json
    listing = [json.loads(l) for l in subprocess.run([a.retriva, "search", "--json", image, "--pattern", "big.bin"],
                                                     capture_output=True).stdout.splitlines()]
    if not listing:
        sys.exit("big.bin not found by the search")
    rec = listing[0]
    # The file's clusters, from sleuthkit's view of the deleted record.
    istat = subprocess.run(["istat", image, str(rec["locator"])], capture_output=True, text=True).stdout
    clusters = [int(w) for line in istat.split("Non-Resident")[-1].splitlines()[1:] for w in line.split() if w.isdigit()]
    ranges = []
    for c in clusters:
        if ranges and ranges[-1][0] + ranges[-1][1] == c * 4096:
            ranges[-1] = (ranges[-1][0], ranges[-1][1] + 4096)
        else:
            ranges.append((c * 4096, 4096))
    with tempfile.TemporaryDirectory(dir=a.work) as out:
        ours, rss = timed([a.retriva, "recover", image, "--to", out, "--id", str(rec["locator"])], repeat=1)
    with tempfile.TemporaryDirectory(dir=a.work) as out:
        plain = plain_copy(image, ranges, os.path.join(out, "copy"))
        plain = min(plain, plain_copy(image, ranges, os.path.join(out, "copy2")))
    with tempfile.TemporaryDirectory(dir=a.work) as out:
        cat = min(cat_copy(image, ranges, os.path.join(out, "cat1")), cat_copy(image, ranges, os.path.join(out, "cat2")))
    with tempfile.TemporaryDirectory(dir=a.work) as out:
        ours2, _ = timed([a.retriva, "recover", image, "--to", out, "--id", str(rec["locator"])], repeat=1)
        ours = min(ours, ours2)
    mib = rec["size"] / (1 << 20)
    print(f"NTFS recovery of one contiguous {mib:.0f} MiB file")
    report([("retriva recover", ours, rss), ("plain sequential copy", plain, 0), ("cat (dd bs=128K), then fsync", cat, 0)])
    print(f"  throughput: retriva {mib / ours:.0f} MiB/s, plain copy {mib / plain:.0f} MiB/s, cat {mib / cat:.0f} MiB/s; "
          f"retriva at {plain / ours * 100:.0f} % of the plain copy, {cat / ours * 100:.0f} % of cat")


if __name__ == "__main__":
    main()
