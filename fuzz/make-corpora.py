#!/usr/bin/env python3
"""Extracts the seed corpora of the parser fuzzers from the test volumes.

The volumes in tests/images/*.img.zst were made by mkntfs/ntfs-3g and
mkfs.fat/mtools; this script unpacks them with `zstd -d` into a temporary
folder and writes real structures, in each target's input format, to
fuzz/corpus/<target>/:

  mft_record          raw MFT records (update sequence not applied)
  run_list            u32 volume clusters, u8 flags, u16 allocated, u8 split, mapping pairs
  file_name_attrlist  u8 0 + $FILE_NAME value, or u8 1 + attribute list
  lznt1               u8 selector + the stored clusters of a compression unit
  fat_chains          u8 selector, u32 first cluster, u32 cluster count, first FAT bytes
  fat_directory       u8 selector + a directory cluster
  boot_sectors        the first sectors of a volume or disk (boot sector,
                      FATs and root directory of the small FAT volumes)
  lost_records        u8 scanner, u8 block step, u8 cluster shift, u32 first cluster + 16 KiB
                      of a volume formatted over an old one (ntfs/fat32/exfat-reformatted)
  exfat               u8 0 + the boot region and folder clusters of an exFAT
                      volume (parsers), or u8 1 + patches (the engine on exfat-4k)

Usage: fuzz/make-corpora.py [--out DIR]
"""
import argparse
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
IMAGES = os.path.join(ROOT, "tests", "images")
MAX_FILE = 64 * 1024
PER_TARGET = 40
PER_IMAGE = 10


def u16(b, o):
    return struct.unpack_from("<H", b, o)[0]


def u32(b, o):
    return struct.unpack_from("<I", b, o)[0]


def u64(b, o):
    return struct.unpack_from("<Q", b, o)[0]


class Corpus:
    def __init__(self, out):
        self.out = out
        self.counts = {}
        self.image = None
        self.per_image = {}

    def add(self, target, data, limit=PER_TARGET):
        data = bytes(data[:MAX_FILE])
        key = (target, self.image)
        if self.counts.get(target, 0) >= limit or self.per_image.get(key, 0) >= PER_IMAGE:
            return
        d = os.path.join(self.out, target)
        os.makedirs(d, exist_ok=True)
        name = os.path.join(d, hashlib.sha1(data).hexdigest()[:16])
        if os.path.exists(name):
            return
        with open(name, "wb") as f:
            f.write(data)
        self.counts[target] = self.counts.get(target, 0) + 1
        self.per_image[key] = self.per_image.get(key, 0) + 1


# ---- NTFS --------------------------------------------------------------------

def fixed_up(rec):
    r = bytearray(rec)
    off, count = u16(r, 4), u16(r, 6)
    for i in range(1, count):
        end = 512 * i - 2
        if end + 2 > len(r) or off + 2 * i + 2 > len(r):
            break
        r[end:end + 2] = r[off + 2 * i:off + 2 * i + 2]
    return bytes(r)


def attributes(rec):
    """(offset, type, length, nonresident, flags, id) of each attribute."""
    pos = u16(rec, 20)
    while pos + 16 <= len(rec):
        t, length = u32(rec, pos), u32(rec, pos + 4)
        if t == 0xFFFFFFFF or length < 24 or pos + length > len(rec):
            return
        yield pos, t, length, rec[pos + 8], u16(rec, pos + 12), u16(rec, pos + 14)
        pos += length


def resident_value(rec, pos):
    return rec[pos + u16(rec, pos + 20):pos + u16(rec, pos + 20) + u32(rec, pos + 16)]


def decode_runs(attr):
    pos, lcn, runs = u16(attr, 32), 0, []
    while pos < len(attr) and attr[pos] != 0:
        h = attr[pos]
        ln, lo = h & 15, h >> 4
        length = int.from_bytes(attr[pos + 1:pos + 1 + ln], "little", signed=True)
        if lo:
            lcn += int.from_bytes(attr[pos + 1 + ln:pos + 1 + ln + lo], "little", signed=True)
            runs.append((lcn, length))
        else:
            runs.append((-1, length))
        pos += 1 + ln + lo
    return runs


class Ntfs:
    def __init__(self, path):
        self.f = open(path, "rb")
        b = self.read(0, 512)
        self.bps = u16(b, 0x0B)
        spc = b[0x0D]
        self.spc = spc if spc <= 0x80 else 1 << (256 - spc)
        self.bpc = self.bps * self.spc
        self.total = u64(b, 0x28) // self.spc
        cpr = struct.unpack_from("<b", b, 0x40)[0]
        self.rec = cpr * self.bpc if cpr > 0 else 1 << -cpr
        mft = self.read(u64(b, 0x30) * self.bpc, self.rec)
        self.mft_runs = []
        for pos, t, length, nr, _, _ in attributes(fixed_up(mft)):
            if t == 0x80 and nr:
                self.mft_runs = decode_runs(fixed_up(mft)[pos:pos + length])
                break

    def read(self, off, n):
        self.f.seek(off)
        return self.f.read(n)

    def records(self, limit=400):
        n = 0
        for lcn, length in self.mft_runs:
            for i in range(length * self.bpc // self.rec):
                if n >= limit:
                    return
                raw = self.read(lcn * self.bpc + i * self.rec, self.rec)
                if raw[:4] == b"FILE":
                    yield n, raw
                n += 1


def ntfs_seeds(c, path, name):
    v = Ntfs(path)
    unit_sel = {512: 0, 1024: 1, 2048: 2, 4096: 3}.get(v.bpc)
    picked = 0
    for number, raw in v.records():
        rec = fixed_up(raw)
        interesting = number in (0, 1, 3, 5, 6, 9) or number >= 64
        kinds = set()
        for pos, t, length, nr, flags, aid in attributes(rec):
            attr = rec[pos:pos + length]
            kinds.add((t, nr, flags & 1))
            if nr:
                pairs = attr[u16(attr, 32):]
                fl = 1 if flags & 1 else 0
                c.add("run_list", struct.pack("<IBHB", v.total, fl, 0, 0) + pairs)
                if u64(attr, 16) == 0 and fl and unit_sel is not None:
                    compressed_units(c, v, attr, unit_sel)
            elif t == 0x30:
                c.add("file_name_attrlist", b"\0" + resident_value(rec, pos))
            elif t == 0x20:
                c.add("file_name_attrlist", b"\1" + resident_value(rec, pos))
        if interesting and picked < 10:
            c.add("mft_record", raw)
            picked += 1
        if number in (0, 5, 6, 9) or (number >= 64 and number % 7 == 0):
            # An attribute list as ntfs-3g writes one for a base record: one
            # entry per attribute, naming the record and the attribute id.
            seq = u16(rec, 16)
            lst = b""
            for pos, t, length, nr, flags, aid in attributes(rec):
                nl = rec[pos + 9]
                name_bytes = rec[pos + u16(rec, pos + 10):pos + u16(rec, pos + 10) + 2 * nl]
                elen = (26 + len(name_bytes) + 7) // 8 * 8
                low = u64(rec, pos + 16) if nr else 0
                e = struct.pack("<IHBBQQH", t, elen, nl, 26, low, number | (seq << 48), aid) + name_bytes
                lst += e + b"\0" * (elen - len(e))
            c.add("file_name_attrlist", b"\1" + lst)


def compressed_units(c, v, attr, sel):
    runs = decode_runs(attr)
    unit = 16
    # Expand the runs into (vcn -> lcn or None), one unit at a time.
    vcns = []
    for lcn, length in runs:
        vcns += [None] * length if lcn < 0 else list(range(lcn, lcn + length))
    for start in range(0, len(vcns), unit):
        stored = [x for x in vcns[start:start + unit] if x is not None]
        if 0 < len(stored) < unit:
            data = b"".join(v.read(x * v.bpc, v.bpc) for x in stored)
            c.add("lznt1", bytes([sel]) + data)


# ---- FAT ---------------------------------------------------------------------

class Fat:
    def __init__(self, path):
        self.f = open(path, "rb")
        b = self.read(0, 512)
        self.bps, self.spc = u16(b, 0x0B), b[0x0D]
        self.bpc = self.bps * self.spc
        reserved, fats, root_entries = u16(b, 0x0E), b[0x10], u16(b, 0x11)
        total = u16(b, 0x13) or u32(b, 0x20)
        per_fat = u16(b, 0x16) or u32(b, 0x24)
        self.fat32 = u16(b, 0x16) == 0
        self.fat_off = reserved * self.bps
        self.root_off = (reserved + fats * per_fat) * self.bps
        root_sectors = (root_entries * 32 + self.bps - 1) // self.bps
        self.data_off = self.root_off + root_sectors * self.bps
        self.clusters = (total - reserved - fats * per_fat - root_sectors) // self.spc
        self.root_cluster = u32(b, 0x2C) if self.fat32 else 0
        self.root_bytes = root_sectors * self.bps
        self.fat = self.read(self.fat_off, per_fat * self.bps)

    def read(self, off, n):
        self.f.seek(off)
        return self.f.read(n)

    def cluster(self, n):
        return self.read(self.data_off + (n - 2) * self.bpc, self.bpc)

    def entry(self, n):
        return (u32(self.fat, 4 * n) & 0x0FFFFFFF) if self.fat32 else u16(self.fat, 2 * n)

    def chain(self, n):
        out = []
        while 2 <= n < self.clusters + 2 and len(out) < 4096:
            out.append(n)
            e = self.entry(n)
            if e >= (0x0FFFFFF8 if self.fat32 else 0xFFF8):
                break
            n = e
        return out

    def directories(self):
        """(cluster bytes, start clusters of the files in it) per directory cluster."""
        todo = [self.root_cluster] if self.fat32 else [None]
        seen = set()
        while todo:
            d = todo.pop()
            if d in seen:
                continue
            seen.add(d)
            blocks = [self.read(self.root_off, self.root_bytes)] if d is None else [self.cluster(x) for x in self.chain(d)]
            for blk in blocks:
                starts = []
                for off in range(0, len(blk), 32):
                    e = blk[off:off + 32]
                    if e[0] == 0:
                        break
                    if e[11] == 0x0F:
                        continue
                    start = u16(e, 0x1A) | ((u16(e, 0x14) << 16) if self.fat32 else 0)
                    if start >= 2:
                        starts.append(start)
                        if e[11] & 0x10 and e[0] not in (0x2E, 0xE5):
                            todo.append(start)
                yield blk, starts


def fat_seeds(c, path, name):
    v = Fat(path)
    log_spc = {1: 0, 2: 1, 4: 2, 8: 3, 16: 4, 32: 5, 64: 6, 128: 7}[v.bpc // 512] if v.bpc >= 512 else 0
    sel = (1 if v.fat32 else 0) | (log_spc << 2)
    head = v.fat[:16384]
    starts = set()
    for blk, s in v.directories():
        starts.update(s)
        for off in range(0, len(blk), 32):
            if blk[off + 11:off + 12] == b"\x0f":
                c.add("fat_directory", bytes([(1 if v.fat32 else 0) | (0b0101 << 1)]) + blk)
                c.add("fat_directory", bytes([(1 if v.fat32 else 0) | (0b1001 << 1)]) + blk)
                break
    for s in sorted(starts)[:6]:
        c.add("fat_chains", struct.pack("<BII", sel, s, v.clusters) + head)
    # Deleted and fragmented chains are what recoveries meet.
    c.add("fat_chains", struct.pack("<BII", sel | 0x80, v.root_cluster or 2, v.clusters) + head)


# ---- Engines and requests ------------------------------------------------------

# The image each engine target patches (fuzz_ntfs_engine.cpp, fuzz_fat_engine.cpp).
ENGINE_IMAGES = {"ntfs-4k": "ntfs_engine", "fat16-2k": "fat_engine"}


def patch(offset, data):
    """One patch record of the engine targets: u32 offset in the area, u8 length, bytes."""
    return struct.pack("<IB", offset, len(data)) + bytes(data)


def engine_seeds(c, path, name):
    target = ENGINE_IMAGES[name]
    c.image = None
    c.add(target, b"")  # the volume as made: every deletion found and recovered
    if target == "ntfs_engine":
        # Offsets are within the MFT's first megabyte (4 KiB clusters, 1 KiB records).
        v = Ntfs(path)
        deleted = [n for n, raw in v.records() if n >= 64 and not (u16(raw, 22) & 1)]
        for n in deleted[:3]:
            base = n * v.rec
            c.add(target, patch(base + 22, b"\1\0"))             # in use again
            c.add(target, patch(base + 16, b"\xff\xff"))          # sequence number
            c.add(target, patch(base + 4, b"\x30\x00\x09\x00")) # fixup array moved
        c.add(target, b"\0" + patch(0x40, b"\xf6"))              # boot sector: record size 64 bytes
        c.add(target, b"\0" + patch(0x30, b"\x00" * 8))          # boot sector: MFT at cluster 0
    else:
        v = Fat(path)
        root = v.root_off
        for blk_off in range(0, min(v.root_bytes, 32 * 16), 32):
            e = v.read(root + blk_off, 32)
            if e[0] == 0xE5:
                c.add(target, patch(root + blk_off + 0x1A, b"\x02\x00"))          # start at cluster 2
                c.add(target, patch(root + blk_off + 0x1C, b"\xff\xff\xff\xff")) # size past the volume
                c.add(target, patch(root + blk_off + 11, b"\x10"))                 # deleted folder
        c.add(target, patch(v.fat_off + 4, b"\x03\x00\x02\x00"))               # chain 2 -> 3 -> 2
        c.add(target, patch(0x0D, b"\x00"))                                       # no sectors per cluster
    c.image = name


# ---- exFAT -------------------------------------------------------------------

def exfat_seeds(c, path, name):
    with open(path, "rb") as f:
        img = f.read()
    sec, spc = 1 << img[108], 1 << img[109]
    bpc = sec * spc
    heap = u32(img, 88) * sec

    def cluster(n):
        return img[heap + (n - 2) * bpc:heap + (n - 1) * bpc]

    region = img[:12 * sec]
    root = u32(img, 96)
    c.add("exfat", b"\0" + region + cluster(root)[:MAX_FILE - len(region) - 1])
    # Folder clusters: every live or deleted folder entry set of the root.
    data = cluster(root)
    for pos in range(0, len(data) - 64, 32):
        if data[pos] in (0x85, 0x05) and u16(data, pos + 4) & 0x10:
            first = u32(data, pos + 32 + 20)
            if 2 <= first < 2 + u32(img, 92):
                c.add("exfat", b"\0" + region + cluster(first)[:MAX_FILE - len(region) - 1])
    if name == "exfat-4k":
        c.add("exfat", b"\1")  # the volume as made: every deletion found and recovered
        fat = u32(img, 80) * sec
        rel = heap + (root - 2) * bpc
        for pos in range(0, min(len(data), 32 * 64), 32):
            if data[pos] == 0x05:
                c.add("exfat", b"\1" + patch(rel + pos + 1, b"\xff"))                 # secondary count
                c.add("exfat", b"\1" + patch(rel + pos + 32 + 24, b"\xff" * 8))       # data length
                c.add("exfat", b"\1" + patch(rel + pos + 32 + 1, b"\x01"))            # a FAT chain
        c.add("exfat", b"\1" + patch(fat + 4 * root, struct.pack("<I", root)))       # root chain loops
        c.add("exfat", b"\1" + patch(200, b"\0"))                                    # boot checksum fails


def utf16z(text):
    return text.encode("utf-16-le") + b"\0\0"


def request_seeds(c):
    """Request packets as the front ends build them: 48-byte header, then payload."""
    def packet(payload):
        n = len(payload)
        header = bytes([48, n & 0xFF, (n >> 8) & 0xFF, n >> 16]) + struct.pack("<I", 0x53627343) + b"\0\1" + b"\0" * 38
        return header + payload
    c.image = None
    for sub, pattern, folder, root in ((1, "*", "\\", "C:\\"), (0, "*.jpg", "\\Users\\me\\", "\\\\?\\Volume{0}\\")):
        c.add("requests", packet(struct.pack("<IH", sub, 0) + utf16z(pattern) + utf16z(folder) + utf16z(root)))
    dest = utf16z("D:\\rescued")
    c.add("requests", packet(dest + struct.pack("<iHH", 70, 0, 0) + struct.pack("<iHH", 71, 0, 0) + struct.pack("<i", -1)))
    c.add("requests", packet(dest + struct.pack("<II", 0x7FFFFFFF, 3) + utf16z("\\a.txt") +
                             struct.pack("<II", 0x80000005, 7) + utf16z("\\old\\b.txt") + struct.pack("<i", -1)))
    c.add("requests", utf16z("..\\..\\x") + utf16z("CON") + utf16z("a:b"))


def lost_records_seeds(c, path, kind):
    """Windows of a reformatted volume where the old records lie: FILE records
    (NTFS), old folder clusters with their "." entry (FAT32), entry sets (exFAT)."""
    with open(path, "rb") as f:
        img = f.read()
    if kind == 0:
        C, base = 4096, 0
        starts = [o for o in range(0, len(img), 4096) if img[o:o + 4] in (b"FILE", b"INDX")]
    elif kind == 1:
        sec = u16(img, 11)
        C = sec * img[13]
        base = (u16(img, 14) + img[16] * u32(img, 36)) * sec
        starts = [o for o in range(base, len(img), C) if img[o:o + 11] == b".          "]
    else:
        C = 1 << (img[108] + img[109])
        base = u32(img, 88) << img[108]
        starts = [o for o in range(base, len(img), C) if img[o] == 0x85 or img[o] == 0x05]
    shift = {512: 0, 1024: 1, 2048: 2, 4096: 3}[C]
    for o in starts[::max(1, len(starts) // PER_IMAGE)][:PER_IMAGE]:
        first = (o - base) // C + 2
        c.add("lost_records", bytes([kind, 0x13, shift]) + struct.pack("<I", first) + img[o:o + 16384])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", default=os.path.join(ROOT, "fuzz", "corpus"))
    args = ap.parse_args()
    c = Corpus(args.out)
    for t in ("mft_record", "run_list", "file_name_attrlist", "lznt1", "fat_chains", "fat_directory", "boot_sectors",
              "ntfs_engine", "fat_engine", "requests", "exfat", "lost_records"):
        shutil.rmtree(os.path.join(args.out, t), ignore_errors=True)
    ntfs = ["ntfs-512", "ntfs-4k", "ntfs-4kn", "ntfs-64k"]
    fat = ["fat16-2k", "fat16-4kn", "fat32-512", "fat32-4k"]
    disks = ["disk-mbr", "disk-gpt", "fat12"]
    exfat = ["exfat-512", "exfat-4k", "exfat-4kn"]
    with tempfile.TemporaryDirectory() as tmp:
        for name in ntfs + fat + disks + exfat:
            src = os.path.join(IMAGES, name + ".img.zst")
            dst = os.path.join(tmp, name + ".img")
            subprocess.run(["zstd", "-q", "-d", "-f", src, "-o", dst], check=True)
            c.image = name
            if name in exfat:
                exfat_seeds(c, dst, name)
                os.remove(dst)
                continue
            with open(dst, "rb") as f:
                c.add("boot_sectors", f.read(4096 if name in ntfs else 65536))
            if name in ntfs:
                ntfs_seeds(c, dst, name)
            elif name in fat:
                fat_seeds(c, dst, name)
            if name in ENGINE_IMAGES:
                engine_seeds(c, dst, name)
            os.remove(dst)
    # Round-trip seeds of the LZNT1 target: plain data that the fuzzer encodes.
    c.image = None
    for sel, text in ((4, b"abcabcabcabc" * 40), (5, bytes(range(256)) * 8), (7, b"\0" * 4000 + b"tail")):
        c.add("lznt1", bytes([sel]) + text)
    request_seeds(c)
    for kind, name in enumerate(("ntfs-reformatted", "fat32-reformatted", "exfat-reformatted")):
        with tempfile.TemporaryDirectory() as tmp:
            dst = os.path.join(tmp, name + ".img")
            subprocess.run(["zstd", "-q", "-d", "-f", os.path.join(IMAGES, name + ".img.zst"), "-o", dst], check=True)
            c.image = name
            lost_records_seeds(c, dst, kind)
    for t, n in sorted(c.counts.items()):
        print(f"{t}: {n} files")


if __name__ == "__main__":
    sys.exit(main())
