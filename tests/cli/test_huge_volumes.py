#!/usr/bin/env python3
"""Volumes far larger than the test images, with bounded memory.

A real image (made by mkntfs/ntfs-3g or mkfs.fat/mtools) is laid into a
sparse file whose structures claim a huge volume: an NTFS $MFT of two
million records on a 1 TiB volume, and a FAT32 volume of 2 TiB with its
256 MiB FATs. The parts the small image never had read as zeros: free
records, free clusters. `retriva search` and `retriva recover` must still
find and bring back the image's deleted files, and the peak memory of each
run must stay far below what loading the claimed structures would take.

Environment: RETRIVA (the binary), IMAGES (the unpacked test-images folder).
"""
import hashlib
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

RETRIVA = os.environ.get("RETRIVA", "build/retriva")
IMAGES = os.environ.get("IMAGES", "build/test-images")
ENV = dict(os.environ, TZ="UTC", LC_ALL="C.UTF-8")
# Peak resident memory allowed for one run. The claimed structures are far
# larger: a 256 MiB FAT, a 2 GiB MFT with a 256 KiB bitmap, a 32 MiB volume
# bitmap.
MAX_RSS_KIB = 48 * 1024
if os.environ.get("RETRIVA_SANITIZED") == "1":
    MAX_RSS_KIB = 1 << 40  # shadow memory, not ours


def run_measured(*args):
    """Runs retriva; returns (exit code, stdout, stderr, peak RSS in KiB).
    GNU time reports the peak: a child spawned from this process directly
    would count this process's own peak in its rusage."""
    with tempfile.NamedTemporaryFile() as rss:
        p = subprocess.run(["/usr/bin/time", "-q", "-f", "%M", "-o", rss.name, RETRIVA, *args],
                           capture_output=True, env=ENV, timeout=900)
        with open(rss.name) as f:
            return p.returncode, p.stdout, p.stderr, int(f.read().split()[-1])


# ---- NTFS: a record editor over fixed-up copies -------------------------------

def unprotect(rec):
    """Applies the update sequence array; returns the sequence number."""
    usa, count = struct.unpack_from("<HH", rec, 4)
    for i in range(1, count):
        rec[i * 512 - 2:i * 512] = rec[usa + 2 * i:usa + 2 * i + 2]
    return usa, count


def protect(rec, usa, count):
    """Saves each stride's last word in the array and writes the USN there."""
    usn = rec[usa:usa + 2]
    for i in range(1, count):
        rec[usa + 2 * i:usa + 2 * i + 2] = rec[i * 512 - 2:i * 512]
        rec[i * 512 - 2:i * 512] = usn


def attributes(rec):
    """(offset, type, bytes) of each attribute of a fixed-up record."""
    out = []
    off = struct.unpack_from("<H", rec, 0x14)[0]
    while True:
        t, length = struct.unpack_from("<II", rec, off)
        if t == 0xFFFFFFFF:
            return out
        out.append((off, t, bytes(rec[off:off + length])))
        off += length


def signed_bytes(v):
    n = 1
    while not -(1 << (8 * n - 1)) <= v < (1 << (8 * n - 1)):
        n += 1
    return v.to_bytes(n, "little", signed=True)


def unsigned_bytes(v):
    n = 1
    while v >= (1 << (8 * n - 1)):  # kept below the sign bit, as NTFS writes it
        n += 1
    return v.to_bytes(n, "little")


def mapping_pairs(runs):
    out = b""
    prev = 0
    for lcn, length in runs:
        lb, ob = unsigned_bytes(length), signed_bytes(lcn - prev)
        out += bytes([len(ob) << 4 | len(lb)]) + lb + ob
        prev = lcn
    return out + b"\0"


def decode_pairs(data):
    runs, pos, lcn = [], 0, 0
    while data[pos]:
        lb, ob = data[pos] & 15, data[pos] >> 4
        length = int.from_bytes(data[pos + 1:pos + 1 + lb], "little")
        lcn += int.from_bytes(data[pos + 1 + lb:pos + 1 + lb + ob], "little", signed=True)
        runs.append((lcn, length))
        pos += 1 + lb + ob
    return runs


def grown_attribute(attr, extra_lcn, extra_clusters, data_size, bpc, initialized=None):
    """A non-resident attribute with one more run and the sizes given (the initialized size the
    data size unless given)."""
    mp = struct.unpack_from("<H", attr, 0x20)[0]
    runs = decode_pairs(attr[mp:]) + [(extra_lcn, extra_clusters)]
    clusters = sum(n for _, n in runs)
    pairs = mapping_pairs(runs)
    body = bytearray(attr[:mp]) + pairs
    body += b"\0" * (-len(body) % 8)
    struct.pack_into("<I", body, 4, len(body))
    struct.pack_into("<Q", body, 0x18, clusters - 1)  # last VCN
    struct.pack_into("<QQQ", body, 0x28, clusters * bpc, data_size,
                     data_size if initialized is None else initialized)
    return bytes(body)


def rewrite_record(img, offset, size, edit):
    """edit(type, attribute bytes) -> new bytes; the record is rebuilt."""
    rec = bytearray(img[offset:offset + size])
    usa, count = unprotect(rec)
    first = struct.unpack_from("<H", rec, 0x14)[0]
    body = b"".join(edit(t, a) for _, t, a in attributes(rec))
    end = first + len(body)
    assert end + 8 <= size, "the grown attributes do not fit the record"
    rec[first:end] = body
    rec[end:end + 8] = b"\xff\xff\xff\xff\0\0\0\0"
    struct.pack_into("<I", rec, 0x18, end + 8)
    protect(rec, usa, count)
    img[offset:offset + size] = rec


def make_huge_ntfs(src, dst, records, far_copy, initialized_only=False):
    """`far_copy` = (record number to copy, record number to place it at):
    a deleted record near the end of the claimed MFT, so the scan must
    reach it. With `initialized_only` the $MFT's initialized size stays
    what the small volume wrote: the records past it were never written.
    Returns the number of records the small volume's $MFT had written."""
    written = []
    with open(src, "rb") as f:
        img = bytearray(f.read())
    bps = struct.unpack_from("<H", img, 11)[0]
    bpc = bps * img[13]
    mft = struct.unpack_from("<Q", img, 0x30)[0]
    cpr = struct.unpack_from("<b", img, 0x40)[0]
    rsize = cpr * bpc if cpr > 0 else 1 << -cpr
    volume_bytes = 1 << 40
    clusters = volume_bytes // bpc
    struct.pack_into("<Q", img, 0x28, volume_bytes // bps - 1)
    # Far regions of the sparse file, all zeros: free records, free bits.
    mft_far, mft_bitmap_far, bitmap_far = clusters // 4, clusters // 2, clusters // 2 + (1 << 20)

    def mft_edit(t, a):
        if t == 0x80:
            have = struct.unpack_from("<Q", a, 0x28)[0] // bpc
            extra = records * rsize // bpc - have
            written.append(struct.unpack_from("<Q", a, 0x38)[0] // rsize)
            init = written[0] * rsize if initialized_only else None
            return grown_attribute(a, mft_far, extra, records * rsize, bpc, init)
        if t == 0xB0:
            have = struct.unpack_from("<Q", a, 0x28)[0] // bpc
            need = (records // 8 + bpc - 1) // bpc
            return grown_attribute(a, mft_bitmap_far, need - have, records // 8, bpc)
        return a

    def bitmap_edit(t, a):
        if t == 0x80 and a[8] == 1:
            have = struct.unpack_from("<Q", a, 0x28)[0] // bpc
            need = (clusters // 8 + bpc - 1) // bpc
            return grown_attribute(a, bitmap_far, need - have, clusters // 8, bpc)
        return a

    have_mft = struct.unpack_from("<Q", img, mft * bpc + [o for o, t, _ in attributes(
        bytearray(img[mft * bpc:mft * bpc + rsize])) if t == 0x80][0] + 0x28)[0] // bpc
    rewrite_record(img, mft * bpc, rsize, mft_edit)
    rewrite_record(img, mft * bpc + 6 * rsize, rsize, bitmap_edit)
    copied, place = far_copy or (0, None)
    if place is None:
        with open(dst, "wb") as f:
            f.write(img)
            f.truncate(volume_bytes)
        return written[0]
    assert place * rsize // bpc >= have_mft
    record = bytearray(img[mft * bpc + copied * rsize:mft * bpc + (copied + 1) * rsize])
    struct.pack_into("<I", record, 0x2C, place)  # the record's own number
    with open(dst, "wb") as f:
        f.write(img)
        f.seek((mft_far + place * rsize // bpc - have_mft) * bpc + place * rsize % bpc)
        f.write(record)
        f.truncate(volume_bytes)
    return written[0]


# ---- FAT32: the small image's areas laid out as a 2 TiB volume -----------------

def copy_sparse(src, src_offset, length, dst, dst_offset):
    """Copies the data parts of a byte range, leaving holes where src has
    holes or zeros."""
    chunk = 1 << 20
    fd = os.open(src, os.O_RDONLY)
    try:
        pos = src_offset
        end = src_offset + length
        while pos < end:
            try:
                pos = os.lseek(fd, pos, os.SEEK_DATA)
            except OSError:
                return  # nothing but holes to the end
            if pos >= end:
                return
            data = os.pread(fd, min(chunk, end - pos), pos)
            if not data:
                return
            if data.count(0) != len(data):
                dst.seek(dst_offset + pos - src_offset)
                dst.write(data)
            pos += len(data)
    finally:
        os.close(fd)


def make_huge_fat32(src, dst):
    with open(src, "rb") as f:
        img = f.read(64 << 10)
    bps = struct.unpack_from("<H", img, 11)[0]
    spc = img[13]
    reserved = struct.unpack_from("<H", img, 14)[0]
    fats = img[16]
    fat_sectors = struct.unpack_from("<I", img, 0x24)[0]
    data_start = reserved + fats * fat_sectors
    total = 0xFFFFFFFF  # the largest count the boot sector holds: 2 TiB less a sector
    new_fat = 524288  # 256 MiB: one 4-byte entry for each of 64 Mi clusters
    assert bps == 512 and new_fat * bps // 4 >= (total - reserved - fats * new_fat) // spc + 2
    boot = bytearray(img[:reserved * bps])
    for at in (0, 6 * bps):  # the boot sector and its backup
        struct.pack_into("<I", boot, at + 0x20, total)
        struct.pack_into("<I", boot, at + 0x24, new_fat)
    struct.pack_into("<I", boot, bps + 0x1E8, 0xFFFFFFFF)  # FSInfo: free count unknown
    with open(dst, "wb") as f:
        f.write(boot)
        for i in range(fats):
            copy_sparse(src, (reserved + i * fat_sectors) * bps, fat_sectors * bps, f, (reserved + i * new_fat) * bps)
        copy_sparse(src, data_start * bps, os.path.getsize(src) - data_start * bps, f, (reserved + fats * new_fat) * bps)
        f.truncate(total * bps)


class HugeVolumes(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="retriva-huge-")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def recovered(self, image):
        """Search and recovery of everything on `image`: the listing, the
        recovered files' bytes by output name, and the peak RSS of each."""
        code, out, err, search_rss = run_measured("search", "--json", image)
        self.assertEqual(code, 0, err.decode(errors="replace"))
        listing = sorted(out.decode().splitlines())
        dest = tempfile.mkdtemp(dir=self.work)
        code, out, err, recover_rss = run_measured("recover", "--json", image, "--to", dest)
        self.assertIn(code, (0, 1), err.decode(errors="replace"))
        files = {}
        for name in os.listdir(dest):
            with open(os.path.join(dest, name), "rb") as f:
                files[name] = hashlib.sha256(f.read()).hexdigest()
        shutil.rmtree(dest, ignore_errors=True)
        return listing, files, search_rss, recover_rss

    def check_volume(self, huge, small, extra_locator=None):
        """The huge claims change nothing of what is found and recovered
        (but for the one extra record planted far out, when there is one),
        and cost no memory in their proportion."""
        listing, files, search_rss, recover_rss = self.recovered(huge)
        print(f"  {os.path.basename(huge)}: peak RSS search {search_rss} KiB, recover {recover_rss} KiB",
              file=sys.stderr)
        self.assertLess(search_rss, MAX_RSS_KIB, f"search peak RSS {search_rss} KiB")
        self.assertLess(recover_rss, MAX_RSS_KIB, f"recover peak RSS {recover_rss} KiB")
        small_listing, small_files, _, _ = self.recovered(small)
        self.assertGreater(len(small_listing), 10)
        if extra_locator is not None:
            extra = [l for l in listing if json.loads(l)["locator"] == extra_locator]
            self.assertEqual(len(extra), 1, "the record far out in the MFT was not listed")
            listing.remove(extra[0])
        self.assertEqual(listing, small_listing)
        hashes = sorted(files.values())
        if extra_locator is not None:
            twin = [l for l in small_listing if json.loads(l)["name"] == json.loads(extra[0])["name"]]
            self.assertEqual(len(twin), 1)
            hashes.remove(small_files[json.loads(twin[0])["name"]])
        self.assertEqual(hashes, sorted(small_files.values()))

    def test_ntfs_mft_of_two_million_records(self):
        src = os.path.join(IMAGES, "ntfs-4k.img")
        if not os.path.exists(src):
            self.skipTest("ntfs-4k.img not unpacked")
        dst = os.path.join(self.work, "ntfs-huge.img")
        records = 2 * 1024 * 1024
        make_huge_ntfs(src, dst, records, (77, records - 10))
        code, out, err, rss = run_measured("info", "--json", dst)
        self.assertEqual(code, 0, err.decode(errors="replace"))
        info = json.loads(out)
        self.assertEqual(info["cluster_count"], (1 << 40) // info["cluster_size"] - 1)
        self.check_volume(dst, src, extra_locator=records - 10)

    def test_ntfs_mft_claiming_far_more_records_than_were_written(self):
        """An $MFT whose data claims 2^28 records, of which only the first few were ever written
        (its initialized size): the rest are not read, --verbose says how many, and the search
        finds what the small volume holds."""
        src = os.path.join(IMAGES, "ntfs-4k.img")
        if not os.path.exists(src):
            self.skipTest("ntfs-4k.img not unpacked")
        dst = os.path.join(self.work, "ntfs-claimed.img")
        records = 1 << 28
        written = make_huge_ntfs(src, dst, records, None, initialized_only=True)
        code, out, err, rss = run_measured("search", "--json", "--verbose", dst)
        self.assertEqual(code, 0, err.decode(errors="replace"))
        self.assertIn("%d MFT records" % (records - written), err.decode())
        self.assertLess(rss, MAX_RSS_KIB)
        _, small, _, _ = run_measured("search", "--json", src)
        self.assertEqual(sorted(out.decode().splitlines()), sorted(small.decode().splitlines()))

    def test_fat32_of_two_tebibytes(self):
        src = os.path.join(IMAGES, "fat32-32k.img")
        if not os.path.exists(src):
            self.skipTest("fat32-32k.img not unpacked")
        dst = os.path.join(self.work, "fat32-huge.img")
        make_huge_fat32(src, dst)
        code, out, err, rss = run_measured("info", "--json", dst)
        self.assertEqual(code, 0, err.decode(errors="replace"))
        info = json.loads(out)
        self.assertEqual(info["file_system"], "FAT32")
        self.assertGreater(info["cluster_count"] * info["cluster_size"], (2 << 40) - (1 << 30))
        self.check_volume(dst, src)


if __name__ == "__main__":
    unittest.main(verbosity=2)
