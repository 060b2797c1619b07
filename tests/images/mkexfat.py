#!/usr/bin/env python3
"""exFAT test volumes: made by exfatprogs' mkfs.exfat on a loop device (which gives
the sector size, 512 or 4096) and written through exfat-fuse.  Called by mkimages.py;
needs root, /dev/fuse and loop devices.

Each volume holds deleted files in the root, in deep folders and in a deleted folder
tree, a non-ASCII name, a long name, an empty file, and (where the volume has room)
two fragmented files: `frag-lost.bin`, deleted by exfat-fuse, which zeroes a deleted
file's FAT chain, and `frag-kept.bin`, whose chain entries were written back into the
FAT after the deletion, as Windows leaves them.
"""
import os
import subprocess
import time

KiB, MiB = 1024, 1024 * 1024

# name, volume size, cluster size, sector size, label, full scenario
EXFAT_IMAGES = [
    ("exfat-512.img", 8 * MiB, 512, 512, "EXFAT-512", True),
    ("exfat-4k.img", 16 * MiB, 4 * KiB, 512, "EXFAT-4K", True),
    ("exfat-128k.img", 64 * MiB, 128 * KiB, 512, "EXFAT-128K", True),
    ("exfat-4kn.img", 32 * MiB, 32 * KiB, 4096, "EXFAT-4KN", True),
    ("exfat-32m.img", 1024 * MiB, 32 * MiB, 512, "EXFAT-32M", False),
]
EXFAT_NAMES = [n for n, *_ in EXFAT_IMAGES]


class Loop:
    def __init__(self, img, sector, run):
        self.img, self.sector, self.run = img, sector, run

    def __enter__(self):
        self.dev = self.run(["losetup", "-f", "--show", "--sector-size", str(self.sector), self.img]).strip()
        return self.dev

    def __exit__(self, *a):
        for _ in range(50):
            if subprocess.run(["losetup", "-d", self.dev]).returncode == 0:
                break
            time.sleep(0.2)


class ExfatMount:
    """exfat-fuse over a loop device (it wants a block device when run as root)."""

    def __init__(self, img, mnt, sector, run):
        self.img, self.mnt, self.sector, self.run = img, mnt, sector, run

    def __enter__(self):
        os.makedirs(self.mnt, exist_ok=True)
        self.loop = Loop(self.img, self.sector, self.run)
        dev = self.loop.__enter__()
        self.run(["mount.exfat-fuse", dev, self.mnt])
        return self

    def __exit__(self, *a):
        os.sync()
        for _ in range(50):
            if subprocess.run(["umount", self.mnt]).returncode == 0:
                break
            time.sleep(0.2)
        self.loop.__exit__()

    def p(self, path):
        return os.path.join(self.mnt, path.lstrip("\\").replace("\\", "/"))


def boot_facts(img):
    with open(img, "rb") as f:
        b = f.read(512)
    sec = 1 << b[108]
    spc = 1 << b[109]
    return {"sector": sec, "cluster": sec * spc, "fat_offset": int.from_bytes(b[80:84], "little") * sec,
            "fat_length": int.from_bytes(b[84:88], "little") * sec,
            "cluster_count": int.from_bytes(b[92:96], "little")}


def read_fat(img, facts):
    with open(img, "rb") as f:
        f.seek(facts["fat_offset"])
        return bytearray(f.read(facts["fat_length"]))


def build_exfat(name, size, C, sector, label, full, work, File, gen, log, run, base_time):
    img = os.path.join(work, name)
    mnt = os.path.join(work, "mnt-" + name)
    if os.path.exists(img):
        os.unlink(img)
    with open(img, "wb") as f:
        f.truncate(size)
    with Loop(img, sector, run) as dev:
        run(["mkfs.exfat", "-c", str(C), "-L", label, dev])
    files = []
    t = [base_time]

    def put(m, f, listed=True):
        p = m.p(f.path)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as out:
            out.write(f.data)
        t[0] += 7200
        f.mtime = t[0]
        os.utime(p, (f.mtime, f.mtime))
        if listed:
            files.append(f)
        return f

    def mk(path, n, kinds=(), deleted=True):
        return File(path, n, kinds=list(kinds), deleted=deleted, data=gen(name + path, n))

    facts = None
    kept = None
    if full:
        # Fragments: a gap of two clusters between spacers; the next file fills the
        # gap first and goes on after the last spacer (exfat-fuse takes the first
        # free cluster), so it needs a FAT chain.
        with ExfatMount(img, mnt, sector, run) as m:
            # The spacers deleted here lose their entries to the files written next.
            for i in range(3):
                put(m, mk("\\Frag\\s%d.bin" % i, 2 * C, deleted=(i == 1)), listed=(i != 1))
            os.unlink(m.p("\\Frag\\s1.bin"))
            put(m, mk("\\Frag\\frag-lost.bin", 5 * C - 100, ("fragmented", "chain-lost")))
            for i in range(3, 6):
                put(m, mk("\\Frag\\s%d.bin" % i, 2 * C, deleted=(i == 4)), listed=(i != 4))
            os.unlink(m.p("\\Frag\\s4.bin"))
            kept = put(m, mk("\\Frag\\frag-kept.bin", 5 * C - 100, ("fragmented", "chain-kept")))
    with ExfatMount(img, mnt, sector, run) as m:
        put(m, mk("\\readme.txt", 200, deleted=False))
        put(m, mk("\\notes-deleted.txt", 300))
        put(m, mk("\\empty-deleted.txt", 0, ("empty",)))
        put(m, mk("\\photo-deleted.jpg", 150 * KiB))
        # Deleted sets followed by a live one: exfat-fuse gives a folder's trailing
        # free clusters back, with whatever deleted sets they held.
        if full:
            put(m, mk("\\Documents\\" + "A long name " * 6 + "end.txt", 2000, ("long-name",)))
        put(m, mk("\\Documents\\caf\u00e9-\u65e5\u672c\u8a9e-\U0001F600.txt", 5000, ("non-ascii",)))
        put(m, mk("\\Documents\\report.txt", 20 * KiB, deleted=False))
        put(m, mk("\\Documents\\Projects\\2023\\Deep\\Deeper\\deep-deleted.txt", 3000, ("deep",)))
        put(m, mk("\\Documents\\Projects\\2023\\plan.txt", 900, deleted=False))
        if full:
            put(m, mk("\\OldFolder\\a.txt", 400, ("in-deleted-folder",)))
            put(m, mk("\\OldFolder\\Sub\\b.bin", 40960, ("in-deleted-folder",)))
            put(m, mk("\\OldFolder\\Sub\\Deeper\\c.txt", 3000, ("in-deleted-folder",)))
        else:
            put(m, mk("\\OldFolder\\a.txt", 400, ("in-deleted-folder",)))
        for f in files:
            if f.deleted and f is not kept and os.path.exists(m.p(f.path)):
                os.unlink(m.p(f.path))
        run(["rm", "-rf", m.p("\\OldFolder")])
    if full:
        # frag-kept.bin is deleted last, alone, so nothing reuses its clusters.
        facts = boot_facts(img)
        before = read_fat(img, facts)
        with ExfatMount(img, mnt, sector, run) as m:
            os.unlink(m.p(kept.path))
        after = read_fat(img, facts)
        # Put back the chain entries exfat-fuse cleared: Windows leaves them.
        restored = 0
        for off in range(8, len(after), 4):
            if before[off:off + 4] != b"\0\0\0\0" and after[off:off + 4] == b"\0\0\0\0":
                after[off:off + 4] = before[off:off + 4]
                restored += 1
        with open(img, "r+b") as f:
            f.seek(facts["fat_offset"])
            f.write(after)
        log(name, "frag-kept.bin: %d FAT entries written back" % restored)

    facts = facts or boot_facts(img)
    run(["fsck.exfat", "-n", img])
    return img, files, facts
