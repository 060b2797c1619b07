"""Helpers shared by the benchmarks: timing commands with their peak memory,
sequential reads of byte ranges, and NTFS/FAT structure lookups used to say
how many bytes a search must at least read."""
import argparse
import os
import shutil
import struct
import subprocess
import time


def drop_caches(settle=4.0):
    """Empties the page cache (root only), so a run reads from the disk,
    then waits `settle` seconds. On a virtual machine with free page
    reporting (virtio-balloon) the guest hands freed pages back to the host
    about two seconds after they are freed, and a buffered read that gets a
    handed-back page waits for the host to fault it in again: a cold `cat`
    that starts at once reuses pages not yet handed back and runs two to
    three times faster than one that starts later. Waiting puts every cold
    run in the same, later state."""
    try:
        os.sync()
        with open("/proc/sys/vm/drop_caches", "w") as f:
            f.write("3\n")
    except OSError:
        return False
    time.sleep(settle)
    return True


def timed(cmd, repeat=3, stdout=subprocess.DEVNULL, env=None, cold=False):
    """Best wall time of `repeat` runs (after one warm-up, or each from a
    dropped page cache when `cold`) and peak RSS in KiB. The timed runs are
    started directly; the peak comes from one more run under /usr/bin/time
    (the resource usage of a child forked from Python counts Python's own
    pages), so that process is not timed along with the command."""
    subprocess.run(cmd, stdout=stdout, stderr=subprocess.DEVNULL, env=env)
    best = None
    for _ in range(repeat):
        if cold:
            drop_caches()
        t0 = time.perf_counter()
        subprocess.run(cmd, stdout=stdout, stderr=subprocess.DEVNULL, env=env)
        dt = time.perf_counter() - t0
        best = dt if best is None else min(best, dt)
    if cold:
        drop_caches()
    p = subprocess.run(["/usr/bin/time", "-f", "%M", *cmd], stdout=stdout, stderr=subprocess.PIPE, env=env)
    try:
        peak = int(p.stderr.decode().strip().splitlines()[-1])
    except (ValueError, IndexError):
        peak = 0
    return best, peak


def timed_into(cmd, out, then_sync=False):
    """Seconds `cmd` takes writing into `out`, made empty first, after a
    `sync` (so that no earlier run's writes are flushed in its time), and
    followed by one when `then_sync`."""
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    subprocess.run(["sync"])
    t0 = time.perf_counter()
    subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if then_sync:
        subprocess.run(["sync"])
    return time.perf_counter() - t0


def sequential_read(path, ranges, chunk=1 << 20, repeat=3, cold=False):
    """Best time to read the given (offset, length) ranges in order, `chunk`
    bytes per read into one buffer kept for the whole read: a new bytes
    object per read would time Python's allocator and page faults, which
    swing this figure between runs by a factor of three or more."""
    buffer = memoryview(bytearray(chunk))

    def once():
        fd = os.open(path, os.O_RDONLY)
        try:
            for off, length in ranges:
                done = 0
                while done < length:
                    n = min(chunk, length - done)
                    got = os.preadv(fd, [buffer[:n]], off + done)
                    if got <= 0:
                        break
                    done += got
        finally:
            os.close(fd)
    once()
    best = None
    for _ in range(repeat):
        if cold:
            drop_caches()
        t0 = time.perf_counter()
        once()
        dt = time.perf_counter() - t0
        best = dt if best is None else min(best, dt)
    return best


def ntfs_mft_ranges(path):
    """Byte ranges of the $MFT's data, from the boot sector and record 0."""
    with open(path, "rb") as f:
        boot = f.read(512)
        bps = struct.unpack_from("<H", boot, 0x0B)[0]
        spc = boot[0x0D]
        spc = spc if spc <= 0x80 else 1 << (256 - spc)
        bpc = bps * spc
        mft_lcn = struct.unpack_from("<Q", boot, 0x30)[0]
        cpr = struct.unpack_from("<b", boot, 0x40)[0]
        rec_size = cpr * bpc if cpr > 0 else 1 << -cpr
        f.seek(mft_lcn * bpc)
        rec = bytearray(f.read(rec_size))
    usa_off, usa_cnt = struct.unpack_from("<HH", rec, 4)
    for i in range(1, usa_cnt):
        rec[i * 512 - 2:i * 512] = rec[usa_off + 2 * i:usa_off + 2 * i + 2]
    off = struct.unpack_from("<H", rec, 20)[0]
    while off + 16 <= len(rec):
        atype, alen = struct.unpack_from("<II", rec, off)
        if atype == 0xFFFFFFFF or alen == 0:
            break
        if atype == 0x80 and rec[off + 8] == 1 and rec[off + 9] == 0:
            pos = off + struct.unpack_from("<H", rec, off + 32)[0]
            ranges, lcn = [], 0
            while rec[pos] != 0:
                h = rec[pos]
                ln, lo = h & 15, h >> 4
                length = int.from_bytes(rec[pos + 1:pos + 1 + ln], "little", signed=True)
                delta = int.from_bytes(rec[pos + 1 + ln:pos + 1 + ln + lo], "little", signed=True) if lo else 0
                lcn += delta
                if lo:
                    ranges.append((lcn * bpc, length * bpc))
                pos += 1 + ln + lo
            return ranges
        off += alen
    return []


def report(rows):
    width = max(len(r[0]) for r in rows)
    for name, secs, rss in rows:
        rss_text = f"{rss / 1024:8.1f} MiB" if rss else "           "
        print(f"  {name:<{width}}  {secs:8.3f} s  {rss_text}")


def fat_directory_ranges(path):
    """Byte ranges of every directory cluster a FAT search visits: the root,
    live folders through their chains, deleted folders through their first
    cluster (their chain is gone)."""
    with open(path, "rb") as f:
        data = f.read()
    bps = struct.unpack_from("<H", data, 0x0B)[0]
    spc = data[0x0D]
    res = struct.unpack_from("<H", data, 0x0E)[0]
    nfat = data[0x10]
    root_entries = struct.unpack_from("<H", data, 0x11)[0]
    fat16 = struct.unpack_from("<H", data, 0x16)[0]
    fatsz = fat16 or struct.unpack_from("<I", data, 0x24)[0]
    root_secs = (root_entries * 32 + bps - 1) // bps
    first_data = res + nfat * fatsz + root_secs
    bpc = bps * spc
    fat_off = res * bps
    width = 2 if fat16 else 4

    def entry(c):
        v = int.from_bytes(data[fat_off + c * width:fat_off + c * width + width], "little")
        return v & 0x0FFFFFFF if width == 4 else v

    def chain(c):
        seen = []
        while 2 <= c < 0x0FFFFFF7 and c not in seen and len(seen) < 1 << 22:
            seen.append(c)
            c = entry(c)
            if width == 2 and c >= 0xFFF7:
                break
        return seen

    def cluster_off(c):
        return (first_data + (c - 2) * spc) * bps

    ranges = []
    todo = []
    if fat16:
        start = (res + nfat * fatsz) * bps
        ranges.append((start, root_secs * bps))
        todo.append(data[start:start + root_secs * bps])
    else:
        rc = struct.unpack_from("<I", data, 0x2C)[0]
        blob = b""
        for c in chain(rc):
            ranges.append((cluster_off(c), bpc))
            blob += data[cluster_off(c):cluster_off(c) + bpc]
        todo.append(blob)
    visited = set()
    while todo:
        blob = todo.pop()
        for i in range(0, len(blob) - 31, 32):
            e = blob[i:i + 32]
            if e[0] == 0:
                break
            if e[11] == 0x0F or not e[11] & 0x10 or e[0] == 0x2E:
                continue
            c = struct.unpack_from("<H", e, 0x1A)[0] | (struct.unpack_from("<H", e, 0x14)[0] << 16 if not fat16 else 0)
            if c < 2 or c in visited:
                continue
            visited.add(c)
            clusters = [c] if e[0] == 0xE5 else chain(c)
            sub = b""
            for k in clusters:
                ranges.append((cluster_off(k), bpc))
                sub += data[cluster_off(k):cluster_off(k) + bpc]
            todo.append(sub)
    return ranges


def directory_search_bench(kind, image_name, make_volume, directory_ranges, cluster_count):
    """The search benchmark of a folder-walking file system (FAT32, exFAT):
    makes the volume once, then times `retriva search --json`, `fls -r -d -p`
    and a sequential read of the directory clusters, warm and cold.
    `image_name(files)` names the image, `cluster_count(ranges)` says how
    many directory clusters the ranges hold."""
    ap = argparse.ArgumentParser()
    ap.add_argument("--files", type=int, default=50000)
    ap.add_argument("--work", default="build/bench")
    ap.add_argument("--retriva", default="build/retriva")
    a = ap.parse_args()
    os.makedirs(a.work, exist_ok=True)
    image = os.path.join(a.work, image_name(a.files))
    make_volume(image, a.files)
    env = dict(os.environ, TZ="UTC")
    for cold in (False, True):
        ours, rss = timed([a.retriva, "search", "--json", image], env=env, cold=cold)
        found = subprocess.run([a.retriva, "search", "--json", image], capture_output=True,
                               env=env).stdout.count(b"\n")
        rows = [("retriva search --json", ours, rss)]
        if shutil.which("fls"):
            t, r = timed(["fls", "-r", "-d", "-p", image], cold=cold)
            rows.append(("fls -r -d -p", t, r))
        ranges = directory_ranges(image)
        seq = sequential_read(image, ranges, cold=cold)
        rows.append((f"sequential read of {cluster_count(ranges)} directory clusters", seq, 0))
        print(f"[{'cold' if cold else 'warm'} cache] {kind} search, {a.files} files, {found} deleted files listed")
        report(rows)
        print(f"  retriva / directory read = {ours / seq:.2f}")


def many_files_volume():
    """The arguments of a benchmark over the many-file NTFS volume
    (--files, --work, --retriva, --repeat) and that volume's image, made
    by ntfs_search_bench when missing (it is cached under --work)."""
    from ntfs_search_bench import make_volume
    ap = argparse.ArgumentParser()
    ap.add_argument("--files", type=int, default=50000)
    ap.add_argument("--work", default="build/bench")
    ap.add_argument("--retriva", default="build/retriva")
    ap.add_argument("--repeat", type=int, default=3)
    a = ap.parse_args()
    os.makedirs(a.work, exist_ok=True)
    image = os.path.join(a.work, f"ntfs-{a.files}.img")
    make_volume(image, a.files)
    return a, image
