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


def new_exfat_image(work, name, size, C, sector, label, run):
    """A fresh image of `size` bytes formatted by mkfs.exfat with clusters
    of C bytes, and the folder it is mounted on while files are written."""
    img = os.path.join(work, name)
    if os.path.exists(img):
        os.unlink(img)
    with open(img, "wb") as f:
        f.truncate(size)
    with Loop(img, sector, run) as dev:
        run(["mkfs.exfat", "-c", str(C), "-L", label, dev])
    return img, os.path.join(work, "mnt-" + name)


def build_exfat(name, size, C, sector, label, full, work, File, gen, log, run, base_time):
    img, mnt = new_exfat_image(work, name, size, C, sector, label, run)
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


# ---- Volumes edited after exfat-fuse wrote them ------------------------------------------
# name, volume size, cluster size, sector size, label, purpose
EXFAT_EDITED_IMAGES = [
    ("exfat-backup.img", 8 * MiB, 4 * KiB, 512, "EXFAT-BKUP", "backup-boot"),
    ("exfat-reused.img", 16 * MiB, 4 * KiB, 512, "EXFAT-REUSE", "reused-folders"),
]
EXFAT_NAMES += [n for n, *_ in EXFAT_EDITED_IMAGES]


def set_checksum(entries):
    """The checksum of an entry set as it was written (every type byte with the in-use bit)."""
    s = 0
    for i, b in enumerate(entries):
        if i in (2, 3):
            continue
        if i % 32 == 0:
            b |= 0x80
        s = (((s & 1) << 15) + (s >> 1) + b) & 0xFFFF
    return s


def name_hash(units):
    """The stream entry's name hash: over the up-cased name (ASCII up-casing is all these names need)."""
    h = 0
    for u in units:
        if 0x61 <= u <= 0x7A:
            u -= 0x20
        for b in (u & 0xFF, u >> 8):
            h = (((h & 1) << 15) + (h >> 1) + b) & 0xFFFF
    return h


class Heap:
    """The image's bytes with the boot facts: clusters, the FAT, the bitmap, directory sets."""

    def __init__(self, img):
        self.img = img
        with open(img, "rb") as f:
            self.data = bytearray(f.read())
        d = self.data
        self.sec = 1 << d[108]
        self.bpc = self.sec << d[109]
        self.fat = int.from_bytes(d[80:84], "little") * self.sec
        self.heap = int.from_bytes(d[88:92], "little") * self.sec
        self.count = int.from_bytes(d[92:96], "little")
        self.root = int.from_bytes(d[96:100], "little")
        root = self.at(self.root)
        for p in range(root, root + self.bpc, 32):
            if d[p] == 0x81:
                self.bitmap = self.at(int.from_bytes(d[p + 20:p + 24], "little"))
                break

    def at(self, cluster):
        return self.heap + (cluster - 2) * self.bpc

    def chain(self, first, n):
        out = [first]
        while len(out) < n:
            nxt = int.from_bytes(self.data[self.fat + 4 * out[-1]:self.fat + 4 * out[-1] + 4], "little")
            if not 2 <= nxt < self.count + 2:
                break
            out.append(nxt)
        return out

    def stream(self, e):
        """First cluster, data length and clusters of the set whose entries lie at `e`."""
        s = e[1]
        d = self.data
        first = int.from_bytes(d[s + 20:s + 24], "little")
        length = int.from_bytes(d[s + 24:s + 32], "little")
        n = max(1, (length + self.bpc - 1) // self.bpc)
        clusters = list(range(first, first + n)) if d[s + 1] & 2 else self.chain(first, n)
        return first, length, clusters

    def find_set(self, clusters, name):
        """Offsets in the image of the entries of the set (live or deleted) named `name` in
        the folder held by `clusters`: a set may run from one cluster into the next."""
        slots = [self.at(c) + k for c in clusters for k in range(0, self.bpc, 32)]
        for i, p in enumerate(slots):
            if self.data[p] & 0x7F != 0x05 or i + 2 >= len(slots):
                continue
            e = slots[i:i + 1 + self.data[p + 1]]
            n = self.data[e[1] + 3]
            units = []
            for q in e[2:2 + (n + 14) // 15]:
                units += [int.from_bytes(self.data[q + 2 + 2 * u:q + 4 + 2 * u], "little") for u in range(15)]
            if "".join(chr(u) for u in units[:n]) == name:
                return e
        raise KeyError(name)

    def reseal(self, e):
        entries = b"".join(self.data[q:q + 32] for q in e)
        self.data[e[0] + 2:e[0] + 4] = set_checksum(entries).to_bytes(2, "little")

    def mark_in_use(self, cluster):
        i = cluster - 2
        self.data[self.bitmap + i // 8] |= 1 << (i % 8)

    def save(self):
        with open(self.img, "r+b") as f:
            f.write(self.data)


def build_exfat_edited(name, size, C, sector, label, purpose, work, File, gen, log, run, base_time):
    img, mnt = new_exfat_image(work, name, size, C, sector, label, run)
    files = []
    t = [base_time]

    def put(m, path, n, kinds=(), deleted=True, data=None):
        f = File(path, n, kinds=list(kinds), deleted=deleted, data=data if data is not None else gen(name + path, n))
        p = m.p(f.path)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as out:
            out.write(f.data)
        t[0] += 7200
        f.mtime = t[0]
        os.utime(p, (f.mtime, f.mtime))
        files.append(f)
        return f

    if purpose == "backup-boot":
        # Windows 7 rewrote boot code past byte 272 of the main boot sector: the main boot
        # region fails its checksum, the backup (sectors 12-23) is whole.
        with ExfatMount(img, mnt, sector, run) as m:
            put(m, "\\readme.txt", 200, deleted=False)
            put(m, "\\notes-deleted.txt", 300)
            put(m, "\\photo-deleted.jpg", 50 * KiB)
            put(m, "\\Docs\\report-deleted.txt", 9000)
            for f in files:
                if f.deleted:
                    os.unlink(m.p(f.path))
        run(["fsck.exfat", "-n", img])
        with open(img, "r+b") as f:
            f.seek(300)
            f.write(b"\xEB\xFE" * 40)
        log(name, "main boot region's boot code overwritten at byte 300")
        return img, files, boot_facts(img)

    # reused-folders: (1) a folder of 400 files deleted while open, its clusters and chain
    # left in use; (2) 40 deleted folders whose sizes claim far more than the volume, over
    # clusters of old file data with no end-of-directory entry; (3) a deleted name holding
    # U+0000.
    with ExfatMount(img, mnt, sector, run) as m:
        # Old data fills the free space first, so the clusters after each deleted folder
        # below hold text, not the zeros of a fresh volume.
        filler = os.path.join(m.mnt, "filler.bin")
        with open(filler, "wb") as out:
            out.write(b"old data, no directory entries here; " * (9 * MiB // 38))
    with ExfatMount(img, mnt, sector, run) as m:
        os.unlink(os.path.join(m.mnt, "filler.bin"))
        put(m, "\\readme.txt", 200, deleted=False)
        opened = [put(m, "\\Open\\open-file-%03d.txt" % i, 100 + 37 * i, ("in-folder-deleted-while-open",))
                  for i in range(400)]
        # After the rest, so old data runs from each of these folders to the heap's end.
        many = [put(m, "\\Many\\F%02d\\x.bin" % i, 3 * C - 10, ("in-deleted-folder", "bogus-folder-size"))
                for i in range(40)]
        put(m, "\\nul-name.txt", 2000, ("nul-in-name",))
    h = Heap(img)
    root = h.chain(h.root, 64)
    at = h.find_set(root, "Open")
    _, _, open_clusters = h.stream(at)
    open_stream = h.data[at[1]:at[1] + 32]
    open_fat = {c: h.data[h.fat + 4 * c:h.fat + 4 * c + 4] for c in open_clusters}
    with ExfatMount(img, mnt, sector, run) as m:
        for f in files:
            if f.deleted:
                os.unlink(m.p(f.path))
        for d in ("\\Many", "\\Open"):
            run(["rm", "-rf", m.p(d)])
    run(["fsck.exfat", "-n", img])
    h = Heap(img)
    root = h.chain(h.root, 64)
    # (1) Deleted while open: the driver frees nothing, so the folder's clusters stay in
    # use, its chain and its size stay; so do the second clusters of its last ten files.
    at = h.find_set(root, "Open")
    h.data[at[1] + 1] = open_stream[1]
    h.data[at[1] + 8:at[1] + 32] = open_stream[8:32]
    h.reseal(at)
    for c, v in open_fat.items():
        h.data[h.fat + 4 * c:h.fat + 4 * c + 4] = v
        h.mark_in_use(c)
    for f in opened[-10:]:
        first, _, _ = h.stream(h.find_set(open_clusters, f.path.rsplit("\\", 1)[1]))
        h.mark_in_use(first + 1)
        f.kinds.append("second-cluster-in-use")
    # (2) Bogus folder sizes: 1 TiB each, valid length too, checksums redone.
    many_at = h.find_set(root, "Many")
    _, _, many_clusters = h.stream(many_at)
    for i in range(40):
        at = h.find_set(many_clusters, "F%02d" % i)
        h.data[at[1] + 8:at[1] + 16] = (1 << 40).to_bytes(8, "little")
        h.data[at[1] + 24:at[1] + 32] = (1 << 40).to_bytes(8, "little")
        h.reseal(at)
    # (3) "nul-name.txt" becomes "nul", U+0000, "name.txt": name hash and checksum redone.
    at = h.find_set(root, "nul-name.txt")
    h.data[at[2] + 2 + 2 * 3:at[2] + 2 + 2 * 4] = b"\0\0"
    units = [ord(c) for c in "nul"] + [0] + [ord(c) for c in "name.txt"]
    h.data[at[1] + 4:at[1] + 6] = name_hash(units).to_bytes(2, "little")
    h.reseal(at)
    h.save()
    log(name, "Open: %d clusters left in use; Many: 40 folder sizes of 1 TiB; a NUL in a name" % len(open_clusters))
    return img, files, boot_facts(img)
