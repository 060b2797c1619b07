#!/usr/bin/env python3
"""Build Retriva's test volume images with real file-system implementations.

NTFS: mkntfs + ntfs-3g (FUSE mount).  FAT: mkfs.fat + mtools.
Run through make-images.sh (needs root and /dev/fuse).  Writes, next to
this file: <name>.img.zst, manifest.json and originals/<sha256>.zst.
"""
import datetime
import hashlib
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import time

import mkexfat

HERE = os.path.dirname(os.path.abspath(__file__))
WORK = os.environ.get("RETRIVA_IMAGES_WORK", "/tmp/retriva-images-work")
ONLY = set(sys.argv[1:])          # optional: build only these image names
KiB, MiB = 1024, 1024 * 1024
BASE_TIME = 1672531200            # 2023-01-01T00:00:00Z; all file times derive from it

os.environ["TZ"] = "UTC"
os.environ["LANG"] = os.environ["LC_ALL"] = "C.UTF-8"
os.environ["MTOOLS_SKIP_CHECK"] = "1"
os.environ["SOURCE_DATE_EPOCH"] = str(BASE_TIME)
time.tzset()


def log(*a):
    print("[mkimages]", *a, file=sys.stderr, flush=True)


def run(cmd, check=True, **kw):
    p = subprocess.run(cmd, capture_output=True, **kw)
    if check and p.returncode != 0:
        raise RuntimeError("command failed: %r\n%s\n%s" % (cmd, p.stdout.decode(errors="replace"),
                                                           p.stderr.decode(errors="replace")))
    return p.stdout.decode("utf-8", errors="replace")


def gen(seed, size):
    """Deterministic content: unique 64-byte text lines (compress well, every line differs)."""
    out = bytearray()
    h = hashlib.sha256(seed.encode()).hexdigest()[:12]
    off = 0
    while len(out) < size:
        line = ("%s %s @%010d lorem ipsum dolor sit amet" % (h, seed[-12:], off)).encode("utf-8", "replace")
        line = line[:63].ljust(63, b".") + b"\n"
        out += line
        off += 64
    return bytes(out[:size])


def iso(t):
    return datetime.datetime.fromtimestamp(t, datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def sha(b):
    return hashlib.sha256(b).hexdigest()


def runs_to_clusters(runs):
    return [[lcn, n] for lcn, n in runs]


def reused_runs(runs, allocated):
    """Clusters of a deleted file's runs that are allocated in the final volume."""
    out = []
    for lcn, n in runs:
        if lcn < 0:
            continue
        cur = None
        for c in range(lcn, lcn + n):
            if allocated(c):
                if cur and cur[0] + cur[1] == c:
                    cur[1] += 1
                else:
                    cur = [c, 1]
                    out.append(cur)
            else:
                cur = None
    return out


# ---------------------------------------------------------------------------
# Scenario: one list of operations shared by NTFS and FAT volumes.
# ---------------------------------------------------------------------------
LONG = ("A very long file name that goes well beyond one hundred characters so that "
        "recovery of long names is tested properly - part two.txt")
assert len(LONG) > 100


class File:
    def __init__(self, path, size, kinds=(), deleted=True, t=0, data=None):
        self.path = path                  # backslash path from the root
        self.data = data if data is not None else gen(path, size)
        self.size = len(self.data)
        self.kinds = list(kinds)
        self.deleted = deleted
        self.mtime = BASE_TIME + 86400 * 30 + 3600 * t * 2 + 2 * t   # even seconds (FAT)
        self.runs = None
        self.mft = None
        self.streams = []
        self.links = []


def scenario(C, fs, small=False):
    """Return (dirs, phase1 files, names deleted in phase 2, phase2 files, names deleted in phase 3).

    C = cluster size.  Sizes scale so multi-cluster layouts exist at every cluster size
    but data stays small for the huge-cluster volumes."""
    big = C >= 128 * KiB
    def ncl(n, full):               # a size that needs n clusters (full size when clusters are small)
        if big or full is None:
            return (n - 1) * C + 2000
        return max(full, (n - 1) * C + 1)
    photo = 60 * KiB if small else 150 * KiB
    ntfs = fs == "NTFS"
    dirs = ["Documents", "Documents\\Projects", "Documents\\Projects\\2023", "Spacers", "Later"]
    if ntfs:
        dirs += ["OldFolder", "OldFolder\\Sub", "OldFolder\\Sub\\Deeper"]
        old = "OldFolder"
        olds = ["OldFolder\\a.txt", "OldFolder\\Sub\\b.bin", "OldFolder\\Sub\\Deeper\\c.txt",
                "OldFolder\\Sub\\Deeper\\empty.txt"]
    else:
        dirs += ["Old", "Old\\L1", "Old\\L1\\L2", "Old\\L1\\L2\\L3"]
        old = "Old"
        olds = ["Old\\a.txt", "Old\\L1\\b.bin", "Old\\L1\\L2\\c.txt", "Old\\L1\\L2\\L3\\deep.txt",
                "Old\\L1\\L2\\L3\\empty.txt"]
    t = iter(range(1, 1000))
    p1 = [
        File("\\readme.txt", 200, deleted=False, t=next(t)),
        File("\\Documents\\report.txt", 20 * KiB, deleted=False, t=next(t)),
        File("\\Documents\\Projects\\2023\\plan.txt", 900, deleted=False, t=next(t)),
        File("\\live-big.bin", ncl(2, 100 * KiB), deleted=False, t=next(t)),
        File("\\notes-deleted.txt", 300, ["resident"] if ntfs else [], t=next(t)),
        File("\\empty-deleted.txt", 0, ["empty"], t=next(t)),
        File("\\photo-deleted.jpg", ncl(3, photo), ["nonresident"], t=next(t)),
        File("\\Documents\\Projects\\" + LONG, 10 * KiB if not big else 2000, ["nonresident", "long-name"], t=next(t)),
        File("\\Documents\\café-日本語-😀.txt" if ntfs else "\\Documents\\café-日本語.txt", 5000,
             ["nonresident", "non-ascii"], t=next(t)),
        File("\\victim-deleted.bin", ncl(3, None), ["nonresident"], t=next(t)),
    ]
    sizes = {olds[0]: 400, olds[1]: 40 * KiB if not big else 2000, olds[2]: 3000}
    for p in olds:
        p1.append(File("\\" + p, sizes.get(p, 7000 if "deep" in p else 0),
                       ["in-deleted-folder"] + (["empty"] if "empty" in p else []), t=next(t)))
    if not ntfs:
        # 8.3 name with an OEM code page character (cp850 0x90), no long name needed
        p1.append(File("\\CAFÉ.TXT", 1500, ["non-ascii"], t=next(t)))
    nsp = 6
    for i in range(nsp):
        p1.append(File("\\Spacers\\sp%d.bin" % i, ncl(2, None) if big else 2 * C - 100 if C >= 2048 else 2 * C + 3000,
                       ["nonresident"], deleted=(i % 2 == 0), t=next(t)))
    if ntfs:
        p1.append(File("\\sparse-deleted.bin", 0, ["sparse", "nonresident"], t=next(t)))
        p1.append(File("\\hardlink-deleted.txt", 6000, ["nonresident", "hardlink"], t=next(t)))
        p1.append(File("\\ads-deleted.txt", 2000, ["nonresident", "ads"], t=next(t)))
        if C <= 4096:
            dirs.append("Compressed")
            p1.append(File("\\Compressed\\comp-deleted.txt", 64 * KiB, ["compressed", "nonresident"], t=next(t)))
            p1.append(File("\\Compressed\\comp-live.txt", 32 * KiB, deleted=False, t=next(t)))
    del2 = [f.path for f in p1 if f.path.startswith("\\Spacers") and f.deleted] + ["\\victim-deleted.bin"]
    spsz = p1[-1].size
    p2 = [
        File("\\Later\\reuser-live.bin", ncl(3, None), deleted=False, t=next(t)),
        File("\\Later\\frag-deleted.bin", 0, ["nonresident", "fragmented"], t=next(t)),
    ]
    sp = [f for f in p1 if f.path.startswith("\\Spacers")][0].size
    p2[1].data = gen(p2[1].path, 3 * sp + C)
    p2[1].size = len(p2[1].data)
    del3 = [f.path for f in p1 + p2 if f.deleted and f.path not in del2 and not f.path.startswith("\\" + old + "\\")]
    return dirs, p1, del2, p2, del3, old


# ---------------------------------------------------------------------------
# NTFS with ntfs-3g
# ---------------------------------------------------------------------------
class NtfsMount:
    def __init__(self, img, mnt, opts="compression"):
        self.img, self.mnt, self.opts = img, mnt, opts

    def __enter__(self):
        os.makedirs(self.mnt, exist_ok=True)
        self.proc = subprocess.Popen(["ntfs-3g", "-o", "no_detach," + self.opts, self.img, self.mnt],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(200):
            if os.path.ismount(self.mnt):
                return self
            if self.proc.poll() is not None:
                raise RuntimeError("ntfs-3g failed on " + self.img)
            time.sleep(0.05)
        raise RuntimeError("mount timeout")

    def __exit__(self, *a):
        os.sync()
        for _ in range(50):
            if subprocess.run(["umount", self.mnt]).returncode == 0:
                break
            time.sleep(0.2)
        self.proc.wait(timeout=60)

    def p(self, path):
        return os.path.join(self.mnt, path.lstrip("\\").replace("\\", "/"))


def ntfs_runs(img, inode, stream=""):
    """Data runs of the $DATA attribute (named `stream`) as ntfsinfo reports them."""
    out = run(["ntfsinfo", "-v", "-i", str(inode), img])
    runs = []
    for sec in out.split("Dumping attribute ")[1:]:
        if not sec.startswith("$DATA"):
            continue
        m = re.search(r"Name length:\s+(\d+)", sec)
        nl = int(m.group(1))
        if stream == "" and nl != 0:
            continue
        if stream and nl == 0:
            continue
        if stream:
            # ntfsinfo prints the name as "Name:\t\t <name>"
            mm = re.search(r"Attribute name:\s+'?([^'\n]*)'?", sec) or re.search(r"\n\s*Name:\s+'?([^'\n]*)'?", sec)
            if mm and mm.group(1).strip() != stream:
                continue
        if "Resident: \t\t Yes" in sec or re.search(r"Resident:\s+Yes", sec):
            return []
        for m in re.finditer(r"^\s+0x([0-9a-f]+)\s+(0x[0-9a-f]+|<HOLE>)\s+0x([0-9a-f]+)\s*$", sec, re.M):
            lcn = -1 if m.group(2) == "<HOLE>" else int(m.group(2), 16)
            runs.append((lcn, int(m.group(3), 16)))
        if runs:
            # merge adjacent
            merged = []
            for lcn, n in runs:
                if merged and ((lcn < 0 and merged[-1][0] < 0) or (lcn >= 0 and merged[-1][0] >= 0 and merged[-1][0] + merged[-1][1] == lcn)):
                    merged[-1][1] += n
                else:
                    merged.append([lcn, n])
            return [tuple(r) for r in merged]
    return runs


def ntfs_bitmap(img):
    bm = subprocess.run(["ntfscat", "-i", "6", img], capture_output=True, check=True).stdout
    return lambda c: (bm[c >> 3] >> (c & 7)) & 1 == 1 if (c >> 3) < len(bm) else False


def ntfs_boot_info(img):
    with open(img, "rb") as f:
        b = f.read(512)
    bps = struct.unpack_from("<H", b, 11)[0]
    spc = b[13]
    spc = spc if spc <= 0x80 else 1 << (256 - spc)
    total = struct.unpack_from("<Q", b, 40)[0]
    return bps, bps * spc, total // spc


def build_ntfs(name, size, C, sector=512, label=None, part_start=0, heads=0, spt=0):
    img = os.path.join(WORK, name)
    mnt = os.path.join(WORK, "mnt-" + name)
    label = label or name.replace(".img", "").upper()[:32]
    if os.path.exists(img):
        os.unlink(img)
    with open(img, "wb") as f:
        f.truncate(size)
    cmd = ["mkntfs", "-F", "-Q", "-T", "-c", str(C), "-s", str(sector), "-L", label,
           "-p", str(part_start), "-H", str(heads), "-S", str(spt), img]
    run(cmd)
    dirs, p1, del2, p2, del3, old = scenario(C, "NTFS")
    byp = {f.path: f for f in p1 + p2}
    compress_ok = C <= 4096
    with NtfsMount(img, mnt) as m:
        for d in dirs:
            os.mkdir(m.p(d))
            if d == "Compressed":
                run(["setfattr", "-h", "-n", "system.ntfs_attrib_be", "-v", "0x00000810", m.p(d)])
        for f in p1:
            fp = m.p(f.path)
            if "sparse" in f.kinds:
                parts = [(0, gen(f.path + "#0", 2 * C)), (6 * C, gen(f.path + "#1", C))]
                with open(fp, "wb") as fh:
                    for off, d in parts:
                        fh.seek(off)
                        fh.write(d)
                    fh.truncate(12 * C)
                full = bytearray(12 * C)
                for off, d in parts:
                    full[off:off + len(d)] = d
                f.data, f.size = bytes(full), len(full)
            else:
                with open(fp, "wb") as fh:
                    fh.write(f.data)
            if "ads" in f.kinds:
                sd = gen(f.path + ":secret", 3000)
                os.setxattr(fp, "user.secret", sd)
                f.streams.append({"name": "secret", "data": sd})
            if "hardlink" in f.kinds:
                link = "\\Documents\\hardlink-second-name.txt"
                os.link(fp, m.p(link))
                f.links.append(link)
            os.utime(fp, (f.mtime, f.mtime))
            f.mft = os.stat(fp).st_ino
        fr = [f for f in p2 if "frag" in f.path][0]
        spc = [f for f in p1 if "Spacers" in f.path][0].size
        fr.data = gen(fr.path, 2 * (-(-spc // C)) * C + C // 2)
        fr.size = len(fr.data)
        p2.append(File("\\Later\\filler.bin", 0, deleted=False, t=0))
        p2[-1].mtime = BASE_TIME
        for f in p2:   # pre-create: no MFT record reuse later
            open(m.p(f.path), "wb").close()
            f.mft = os.stat(m.p(f.path)).st_ino
    for f in p1:
        if f.deleted:
            f.runs = ntfs_runs(img, f.mft)
            for s in f.streams:
                s["runs"] = ntfs_runs(img, f.mft, s["name"])
    reuser = [f for f in p2 if "reuser" in f.path][0]
    frag = byp["\\Later\\frag-deleted.bin"]
    filler = "\\Later\\filler.bin"
    with NtfsMount(img, mnt) as m:
        # fill all free space: later allocations can only take the clusters freed next
        with open(m.p(filler), "wb") as fh:
            z = bytes(C)
            try:
                while True:
                    fh.write(z)
                    fh.flush()
            except OSError:
                pass
            try:
                fh.close()
            except OSError:
                pass
    with NtfsMount(img, mnt) as m:
        for p in del2:
            os.unlink(m.p(p))
    with NtfsMount(img, mnt) as m:
        # the freed clusters are the victim's run and the holes left by every other spacer
        for f in (reuser, frag):
            with open(m.p(f.path), "r+b") as fh:
                fh.write(f.data)
            os.utime(m.p(f.path), (f.mtime, f.mtime))
    frag.runs = ntfs_runs(img, frag.mft)
    for f in p1 + p2:
        if f.deleted:
            f.kinds = [k for k in f.kinds if k not in ("resident", "nonresident")]
            if f.size:
                f.kinds.insert(0, "nonresident" if f.runs else "resident")
    with NtfsMount(img, mnt) as m:
        os.truncate(m.p(filler), 0)
        os.utime(m.p(filler), (BASE_TIME, BASE_TIME))
    with NtfsMount(img, mnt) as m:
        for p in del3:
            os.unlink(m.p(p))
            for l in byp[p].links:
                os.unlink(m.p(l))
        shutil.rmtree(m.p(old))
        # touch directories' times to fixed values for reproducibility
        for d in [""] + dirs:
            if d.startswith(old):
                continue
            os.utime(m.p(d) if d else m.mnt, (BASE_TIME + 86400 * 60, BASE_TIME + 86400 * 60))
    # checks
    frag = byp["\\Later\\frag-deleted.bin"]
    if len([r for r in frag.runs if r[0] >= 0]) < 2:
        raise RuntimeError("%s: frag file not fragmented: %r" % (name, frag.runs))
    sp = byp["\\sparse-deleted.bin"]
    if not any(r[0] < 0 for r in sp.runs):
        raise RuntimeError("%s: sparse file has no hole: %r" % (name, sp.runs))
    if compress_ok:
        cf = byp["\\Compressed\\comp-deleted.txt"]
        if not any(r[0] < 0 for r in cf.runs):
            raise RuntimeError("%s: compressed file shows no compression: %r" % (name, cf.runs))
    alloc = ntfs_bitmap(img)
    bps, csz, ccount = ntfs_boot_info(img)
    assert bps == sector and csz == C, (bps, csz)
    return img, p1 + p2, alloc, ccount, label


# ---------------------------------------------------------------------------
# FAT with mkfs.fat + mtools
# ---------------------------------------------------------------------------
def mt(img, *args):
    return run(list(args[:1]) + ["-i", img] + list(args[1:]))


def mpath(p):
    return "::" + p.replace("\\", "/")


def fat_runs(img, path):
    out = mt(img, "mshowfat", mpath(path))
    runs = []
    for a, b in re.findall(r"<(\d+)(?:-(\d+))?>", out):
        a = int(a)
        b = int(b) if b else a
        runs.append((a, b - a + 1))
    return runs


def fat_info(img):
    """(bytes per sector, cluster bytes, cluster count, "FAT12"/"FAT16"/"FAT32", allocated(cluster))"""
    v = FatVol(img)
    return v.bps, v.C, v.count, v.typ, v.allocated


def build_fat(name, size, fat, spc, sector=512, label=None, hidden=0, small=False, unaligned=False):
    img = os.path.join(WORK, name)
    label = label or name.replace(".img", "").upper()[:11]
    if os.path.exists(img):
        os.unlink(img)
    with open(img, "wb") as f:
        f.truncate(size)
    run(["mkfs.fat", "--invariant", "-i", "52455452", "-F", str(fat), "-s", str(spc), "-S", str(sector),
         "-n", label, "-h", str(hidden)] + (["-a"] if unaligned else []) + [img])
    C = spc * sector
    bps, csz, count, typ, _ = fat_info(img)
    if typ != "FAT%d" % fat:
        raise RuntimeError("%s: got %s with %d clusters" % (name, typ, count))
    dirs, p1, del2, p2, del3, old = scenario(C, typ, small=small)
    src = os.path.join(WORK, "src-" + name)
    shutil.rmtree(src, ignore_errors=True)
    os.makedirs(src)
    def put(f):
        local = os.path.join(src, f.path.rsplit("\\", 1)[1])
        with open(local, "wb") as fh:
            fh.write(f.data)
        os.utime(local, (f.mtime, f.mtime))
        mt(img, "mcopy", "-m", "-o", local, mpath(f.path))
        os.unlink(local)
    for d in dirs:
        mt(img, "mmd", mpath("\\" + d))
    for f in p1:
        put(f)
    for f in p1:
        if f.deleted:
            f.runs = fat_runs(img, f.path) if f.size else []
    filler = None
    if typ == "FAT32":
        # mtools starts searching at the FSInfo next-free hint, so the freed holes would never be
        # used again; a live filler up to the volume end makes the search wrap to the holes.
        _, _, _, _, alloc1 = fat_info(img)
        free = sum(1 for c in range(2, count + 2) if not alloc1(c))
        local = os.path.join(src, "filler.bin")
        with open(local, "wb") as fh:
            fh.truncate(free * C)
        os.utime(local, (BASE_TIME, BASE_TIME))
        mt(img, "mcopy", "-m", "-o", local, "::/Later/filler.bin")
        os.unlink(local)
        filler = File("\\Later\\filler.bin", 0, deleted=False)
        filler.size = free * C
        h = hashlib.sha256()
        z = bytes(MiB)
        left = free * C
        while left:
            n = min(left, MiB)
            h.update(z[:n])
            left -= n
        filler.sha = h.hexdigest()
        fr = [f for f in p2 if "fragmented" in f.kinds][0]
        sp = [f for f in p1 if f.path.startswith("\\Spacers")][0].size
        fr.data = gen(fr.path, 3 * (-(-sp // C)) * C - 10)
        fr.size = len(fr.data)
    for p in del2:
        mt(img, "mdel", mpath(p))
    for f in p2:
        put(f)
        if f.deleted:
            f.runs = fat_runs(img, f.path)
    for p in del3:
        mt(img, "mdel", mpath(p))
    mt(img, "mdeltree", mpath("\\" + old))
    frag = [f for f in p2 if "fragmented" in f.kinds][0]
    if len(frag.runs) < 2:
        raise RuntimeError("%s: frag file not fragmented: %r" % (name, frag.runs))
    bps, csz, count, typ, alloc = fat_info(img)
    return img, p1 + p2 + ([filler] if filler else []), alloc, count, label, typ


# ---------------------------------------------------------------------------
# Hostile on-disk names: deleted files whose names are not safe as output
# names (".", "..", separators, ":", control characters, device names,
# over-long and invalid UTF-16).  The real tools create each file under a
# placeholder name of the same length in UTF-16 units; names the tool cannot
# hold are then written into the file's name structures after unmounting.
# ---------------------------------------------------------------------------
def u16(s):
    """UTF-16 code units of a str; lone surrogates may be given as \\udXXX escapes."""
    b = s.encode("utf-16-le", "surrogatepass")
    return list(struct.unpack("<%dH" % (len(b) // 2), b))


HOSTILE = [
    # case id, on-disk name (str, may hold lone surrogates), on NTFS made directly by ntfs-3g
    ("dotdot", "..", False),
    ("dot", ".", False),
    ("backslash", "back\\slash.txt", True),
    ("slash", "slash/name.txt", False),
    ("colon", "a:b.txt", True),
    ("control-01", "ctl\x01.txt", True),
    ("control-tab", "tab\tname.txt", True),
    ("control-newline", "nl\nname.txt", True),
    ("control-nul", "nul\x00char.txt", False),
    ("device-con", "CON", True),
    ("device-nul", "NUL", True),
    ("device-com1", "com1", True),
    ("device-aux-ext", "aux.txt", True),
    ("device-con-blank", "CON ", True),
    ("long-cjk", "\u65e5" * 255, False),           # 255 units, 765 UTF-8 bytes
    ("lone-high", "hi\ud800.txt", False),
    ("lone-low", "lo\udc00.txt", False),
    ("dotdot-backslash", "..\\x", True),
    ("dotdot-slash", "../../x", False),
    ("same-a", "same:name.txt", True),              # these two make the same output name
    ("same-b", "same|name.txt", True),
]
# FAT long names end at a 0x0000 unit: a NUL inside one cannot be stored.
HOSTILE_FAT = [h for h in HOSTILE if h[0] != "control-nul"]


def hostile_placeholder(i, n, fat):
    """A unique ASCII name of n units; on FAT mixed case (or '+') so mtools writes a long name."""
    c = chr(ord("a") + i)
    if n == 1:
        return "+" if fat else c
    return (c.upper() + c * (n - 1)) if fat else c * n


def hostile_content(case_id):
    return ("hostile-name case %s: original bytes of this deleted file\n" % case_id).encode() * 3


def hostile_entry(case_id, name, f):
    units = u16(name)
    f.kinds = ["hostile-name", case_id]
    f.name_units = units
    f.case = case_id
    try:
        name.encode("utf-8")
        f.name = name
    except UnicodeEncodeError:
        f.name = None
    return f


def apply_usa(rec, bps, restore):
    """Undo (restore=True) or redo the update sequence array of a multi-sector record."""
    off, cnt = struct.unpack_from("<HH", rec, 4)
    usn = rec[off:off + 2]
    for i in range(1, cnt):
        end = i * bps - 2
        if restore:
            if rec[end:end + 2] != usn:
                raise RuntimeError("torn record: fixup %d does not match" % i)
            rec[end:end + 2] = rec[off + 2 * i:off + 2 * i + 2]
        else:
            rec[off + 2 * i:off + 2 * i + 2] = rec[end:end + 2]
            rec[end:end + 2] = usn


def ntfs_record_offset(img, number):
    with open(img, "rb") as f:
        b = f.read(512)
    bps, C, _ = ntfs_boot_info(img)
    cpr = struct.unpack_from("<b", b, 0x40)[0]
    rsize = (1 << -cpr) if cpr < 0 else cpr * C
    at = number * rsize
    for lcn, n in ntfs_runs(img, 0):
        if at < n * C:
            return lcn * C + at, rsize, bps
        at -= n * C
    raise RuntimeError("MFT record %d beyond $MFT" % number)


def ntfs_file_names(rec):
    """(value offset, name units) of every resident $FILE_NAME in a fixed-up record."""
    out = []
    pos = struct.unpack_from("<H", rec, 0x14)[0]
    while pos + 8 <= len(rec):
        typ, ln = struct.unpack_from("<II", rec, pos)
        if typ == 0xFFFFFFFF or ln == 0:
            break
        if typ == 0x30 and rec[pos + 8] == 0:
            v = pos + struct.unpack_from("<H", rec, pos + 0x14)[0]
            n = rec[v + 0x40]
            out.append((v, list(struct.unpack_from("<%dH" % n, rec, v + 0x42))))
        pos += ln
    return out


def ntfs_patch_name(img, number, old, new):
    assert len(old) == len(new)
    off, rsize, bps = ntfs_record_offset(img, number)
    with open(img, "r+b") as f:
        f.seek(off)
        rec = bytearray(f.read(rsize))
        if rec[:4] != b"FILE":
            raise RuntimeError("record %d is not a FILE record" % number)
        apply_usa(rec, bps, True)
        hits = 0
        for v, units in ntfs_file_names(rec):
            if units == old:
                struct.pack_into("<%dH" % len(new), rec, v + 0x42, *new)
                hits += 1
        if not hits:
            raise RuntimeError("record %d: placeholder name not found" % number)
        apply_usa(rec, bps, False)
        f.seek(off)
        f.write(rec)


def ntfs_names_of(img, number):
    off, rsize, bps = ntfs_record_offset(img, number)
    with open(img, "rb") as f:
        f.seek(off)
        rec = bytearray(f.read(rsize))
    apply_usa(rec, bps, True)
    return [u for _, u in ntfs_file_names(rec)]


def build_ntfs_hostile(name, size, C, sector=512):
    img = os.path.join(WORK, name)
    mnt = os.path.join(WORK, "mnt-" + name)
    label = name.replace(".img", "").upper()[:32]
    if os.path.exists(img):
        os.unlink(img)
    with open(img, "wb") as f:
        f.truncate(size)
    run(["mkntfs", "-F", "-Q", "-T", "-c", str(C), "-s", str(sector), "-L", label, "-p", "0", "-H", "0", "-S", "0", img])
    files, patches = [], []
    live = File("\\readme.txt", 200, deleted=False, t=1)
    with NtfsMount(img, mnt) as m:
        with open(m.p(live.path), "wb") as fh:
            fh.write(live.data)
        os.utime(m.p(live.path), (live.mtime, live.mtime))
        for i, (case, hname, direct) in enumerate(HOSTILE):
            on_disk = hname if direct else hostile_placeholder(i, len(u16(hname)), False)
            f = hostile_entry(case, hname, File("\\" + (hname if direct else on_disk), 0, t=2 + i,
                                                data=hostile_content(case)))
            fp = os.path.join(m.mnt, on_disk)
            with open(fp, "wb") as fh:
                fh.write(f.data)
            os.utime(fp, (f.mtime, f.mtime))
            f.mft = os.stat(fp).st_ino
            files.append(f)
            if not direct:
                patches.append((f, u16(on_disk)))
        os.utime(m.mnt, (BASE_TIME + 86400 * 60, BASE_TIME + 86400 * 60))
    for f in files:
        f.runs = ntfs_runs(img, f.mft)
    with NtfsMount(img, mnt) as m:
        for f in files:
            os.unlink(os.path.join(m.mnt, f.path[1:]))
    for f, old in patches:
        ntfs_patch_name(img, f.mft, old, f.name_units)
    for f in files:
        got = ntfs_names_of(img, f.mft)
        if got != [f.name_units]:
            raise RuntimeError("%s: record %d holds names %r" % (name, f.mft, got))
    alloc = ntfs_bitmap(img)
    _, _, ccount = ntfs_boot_info(img)
    return img, files + [live], alloc, ccount, label


def fat_root_dir(img):
    """Byte offset and entry count of a FAT12/16 volume's fixed root folder."""
    v = FatVol(img)
    return (v.rsv + v.nf * v.fsz) * v.bps, v.rootent


LFN_OFFSETS = [1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30]


def lfn_checksum(short11):
    s = 0
    for c in short11:
        s = (((s & 1) << 7) + (s >> 1) + c) & 0xFF
    return s


def fat_long_names(img):
    """{entry index of the short entry: (long-name units, [indexes of its long-name entries])} of the root."""
    off, n = fat_root_dir(img)
    with open(img, "rb") as f:
        f.seek(off)
        d = f.read(n * 32)
    out = {}
    for i in range(n):
        e = d[i * 32:(i + 1) * 32]
        if e[0] == 0:
            break
        if e[11] == 0x0F or e[11] & 0x08:
            continue
        parts, idx, j = [], [], i - 1
        while j >= 0 and d[j * 32 + 11] == 0x0F:
            l = d[j * 32:(j + 1) * 32]
            if e[0] != 0xE5 and l[13] != lfn_checksum(e[:11]):
                raise RuntimeError("long-name checksum does not match entry %d" % i)
            parts += [struct.unpack_from("<H", l, o)[0] for o in LFN_OFFSETS]
            idx.append(j)
            if l[0] & 0x40:
                break
            j -= 1
        if 0 in parts:
            parts = parts[:parts.index(0)]
        out[i] = (parts, idx)
    return out


def fat_read_long_name(img, idx):
    """Long-name units held by the entries idx (nearest to the short entry first)."""
    off, _ = fat_root_dir(img)
    units = []
    with open(img, "rb") as f:
        for j in idx:
            f.seek(off + j * 32)
            l = f.read(32)
            units += [struct.unpack_from("<H", l, o)[0] for o in LFN_OFFSETS]
    return units[:units.index(0)] if 0 in units else units


def fat_patch_long_name(img, idx, old, new):
    """Write `new` (same length) over the long-name units of the entries idx (taken while the file was
    live: deletion overwrites the sequence byte that marks the first entry of a set)."""
    assert len(old) == len(new)
    if fat_read_long_name(img, idx) != old:
        raise RuntimeError("entries %r: long name is not the placeholder" % idx)
    off, _ = fat_root_dir(img)
    with open(img, "r+b") as f:
        for k, j in enumerate(idx):          # idx[0] holds units 0..12, idx[1] 13..25, ...
            f.seek(off + j * 32)
            l = bytearray(f.read(32))
            for p, o in enumerate(LFN_OFFSETS):
                u = k * 13 + p
                if u < len(new):
                    struct.pack_into("<H", l, o, new[u])
            f.seek(off + j * 32)
            f.write(l)


def build_fat_hostile(name, size, spc, sector=512):
    img = os.path.join(WORK, name)
    label = name.replace(".img", "").upper()[:11]
    if os.path.exists(img):
        os.unlink(img)
    with open(img, "wb") as f:
        f.truncate(size)
    run(["mkfs.fat", "--invariant", "-i", "52455452", "-F", "16", "-s", str(spc), "-S", str(sector), "-n", label, img])
    bps, C, count, typ, _ = fat_info(img)
    if typ != "FAT16":
        raise RuntimeError("%s: got %s" % (name, typ))
    src = os.path.join(WORK, "src-" + name)
    shutil.rmtree(src, ignore_errors=True)
    os.makedirs(src)
    local = os.path.join(src, "data")
    def put(f, target):
        with open(local, "wb") as fh:
            fh.write(f.data)
        os.utime(local, (f.mtime, f.mtime))
        mt(img, "mcopy", "-m", "-o", local, "::/" + target)
        os.unlink(local)
    live = File("\\README.TXT", 200, deleted=False, t=1)
    put(live, "README.TXT")
    files = []
    for i, (case, hname, _) in enumerate(HOSTILE_FAT):
        ph = hostile_placeholder(i, len(u16(hname)), True)
        f = hostile_entry(case, hname, File("\\" + hname, 0, t=2 + i, data=hostile_content(case)))
        f.placeholder = ph
        put(f, ph)
        f.runs = fat_runs(img, "\\" + ph)
        files.append(f)
    # A deleted file with only a short name, whose name bytes after the
    # first (lost on deletion) hold a separator, "\", ":" and a control byte.
    short = hostile_entry("short-name", "SHORT.TXT", File("\\SHORT.TXT", 0, t=40, data=hostile_content("short-name")))
    put(short, "SHORT.TXT")
    short.runs = fat_runs(img, "\\SHORT.TXT")
    names = fat_long_names(img)
    where = {}
    for i, (units, _) in names.items():
        for f in files:
            if units == u16(f.placeholder):
                where[f.case] = i
    off, nroot = fat_root_dir(img)
    with open(img, "rb") as fh:
        fh.seek(off)
        root = fh.read(nroot * 32)
    short_index = next(i for i in range(nroot) if root[i * 32:i * 32 + 11] == b"SHORT   TXT" and not names[i][0])
    if len(where) != len(files):
        raise RuntimeError("%s: mtools wrote no long name for %r" % (
            name, [f.placeholder for f in files if f.case not in where]))
    shorts = {f.case: root[where[f.case] * 32:where[f.case] * 32 + 11] for f in files}
    for f in files + [short]:
        mt(img, "mdel", "::/" + (f.placeholder if f is not short else "SHORT.TXT"))
    for f in files:
        fat_patch_long_name(img, names[where[f.case]][1], u16(f.placeholder), f.name_units)
    with open(img, "r+b") as fh:
        fh.seek(off + short_index * 32 + 1)
        fh.write(b"/\\:\x01.. ")        # name bytes 1-7; byte 0 is 0xE5 now
    # What the volume now holds: a deleted short name reads with "~" for its lost first byte.
    short.name_units = [0x7E] + [ord(c) for c in "/\\:\x01.."] + u16(".TXT")
    short.name = "".join(map(chr, short.name_units))
    short.path = "\\" + short.name
    with open(img, "rb") as fh:
        fh.seek(off)
        root = fh.read(nroot * 32)
    for f in files:
        idx = names[where[f.case]][1]
        if fat_read_long_name(img, idx) != f.name_units or root[where[f.case] * 32] != 0xE5:
            raise RuntimeError("%s: %s not patched" % (name, f.case))
        # the long-name entries still belong to the short entry they were written for
        if any(root[j * 32 + 13] != lfn_checksum(shorts[f.case]) for j in idx):
            raise RuntimeError("%s: %s long-name checksum changed" % (name, f.case))
    _, _, count, typ, alloc = fat_info(img)
    return img, files + [short, live], alloc, count, label, typ


HOSTILE_IMAGES = [
    # name, size, cluster or sectors per cluster
    ("ntfs-names.img", 8 * MiB, 4096),
    ("fat16-names.img", 8 * MiB, 2),
]


# ---------------------------------------------------------------------------
# Entries that real volumes hold and a search must not lose or invent: a
# folder whose cluster chain loops (and, on FAT32, a root whose one cluster
# points to itself), deleted entries that are not files (a long-name entry
# with a damaged attribute byte, control bytes in a short name, an
# impossible date, a size past the volume), fragmented deleted files with
# other files' first clusters between their fragments, and short names with
# the lower-case flags of byte 12.  mkfs.fat + mtools write everything; the
# damage is then written over what they wrote.
# ---------------------------------------------------------------------------
class FatVol:
    """Raw access to a FAT volume image for the edits after mtools."""

    def __init__(self, img, offset=0):
        self.img, self.base = img, offset
        with open(img, "rb") as f:
            f.seek(offset)
            b = f.read(512)
        self.bps = struct.unpack_from("<H", b, 11)[0]
        self.spc = b[13]
        self.rsv = struct.unpack_from("<H", b, 14)[0]
        self.nf = b[16]
        self.rootent = struct.unpack_from("<H", b, 17)[0]
        self.tot = struct.unpack_from("<H", b, 19)[0] or struct.unpack_from("<I", b, 32)[0]
        fsz16 = struct.unpack_from("<H", b, 22)[0]
        self.fat32 = fsz16 == 0
        self.fsz = fsz16 or struct.unpack_from("<I", b, 36)[0]
        self.rootclus = struct.unpack_from("<I", b, 44)[0] if self.fat32 else 0
        self.fsinfo = struct.unpack_from("<H", b, 48)[0] if self.fat32 else 0
        self.rootsec = (self.rootent * 32 + self.bps - 1) // self.bps
        self.firstdata = self.rsv + self.nf * self.fsz + self.rootsec
        self.C = self.bps * self.spc
        self.count = (self.tot - self.firstdata) // self.spc
        # The FAT's width follows from the cluster count, as every FAT driver decides it.
        self.typ = "FAT12" if self.count < 4085 else "FAT16" if self.count < 65525 else "FAT32"
        self.eoc = {"FAT12": 0xFF8, "FAT16": 0xFFF8, "FAT32": 0x0FFFFFF8}[self.typ]
        # The first FAT's bytes, read again whenever the image has changed
        # since (mtools may edit it between two lookups).
        self._fat, self._fat_stamp = None, None

    def _rw(self, off, n=None, data=None):
        with open(self.img, "r+b" if data is not None else "rb") as f:
            f.seek(self.base + off)
            if data is not None:
                f.write(data)
                return None
            return f.read(n)

    def fat_get(self, c):
        st = os.stat(self.img)
        if self._fat is None or self._fat_stamp != (st.st_mtime_ns, st.st_size):
            self._fat = self._rw(self.rsv * self.bps, self.fsz * self.bps)
            self._fat_stamp = (st.st_mtime_ns, st.st_size)
        if self.typ == "FAT12":
            v = struct.unpack_from("<H", self._fat, c * 3 // 2)[0]
            return (v >> 4) if c & 1 else (v & 0xFFF)
        if self.typ == "FAT32":
            return struct.unpack_from("<I", self._fat, 4 * c)[0] & 0x0FFFFFFF
        return struct.unpack_from("<H", self._fat, 2 * c)[0]

    def allocated(self, c):
        return 2 <= c < self.count + 2 and self.fat_get(c) != 0

    def fat_set(self, c, v):
        self._fat = None
        w = 4 if self.fat32 else 2
        for i in range(self.nf):
            self._rw((self.rsv + i * self.fsz) * self.bps + c * w, data=v.to_bytes(w, "little"))

    def chain(self, c):
        out, seen = [], set()
        while 2 <= c < self.eoc and c not in seen and len(out) < 1 << 20:
            out.append(c)
            seen.add(c)
            c = self.fat_get(c)
            if c == 0:
                break
        return out

    def cluster_off(self, c):
        return (self.firstdata + (c - 2) * self.spc) * self.bps

    def slots(self, path):
        """Byte offsets of the 32-byte slots of the live directory at `path` ("" = root)."""
        if not path:
            if not self.fat32:
                base = (self.rsv + self.nf * self.fsz) * self.bps
                return [base + 32 * i for i in range(self.rootent)]
            clusters = self.chain(self.rootclus)
        else:
            parent, name = path.rsplit("\\", 1) if "\\" in path else ("", path)
            e = self.find(parent, name)
            clusters = self.chain(self.entry_cluster(e))
        return [self.cluster_off(c) + 32 * i for c in clusters for i in range(self.C // 32)]

    def entry(self, off):
        return bytearray(self._rw(off, 32))

    def put_entry(self, off, e):
        self._rw(off, data=bytes(e))

    def entry_cluster(self, off):
        e = self.entry(off)
        c = struct.unpack_from("<H", e, 26)[0]
        if self.fat32:
            c |= struct.unpack_from("<H", e, 20)[0] << 16
        return c

    def find(self, dirpath, name, deleted=False):
        """The short entry whose 8.3 name is `name` (deleted: first byte 0xE5, rest equal)."""
        base, _, ext = name.upper().partition(".")
        want = (base.ljust(8) + ext.ljust(3)).encode("cp850")
        for off in self.slots(dirpath):
            e = self.entry(off)
            if e[0] == 0:
                break
            if e[11] == 0x0F:
                continue
            if deleted and e[0] == 0xE5 and e[1:11] == want[1:]:
                return off
            if not deleted and e[:11] == want:
                return off
        raise RuntimeError("%s: no entry %s in %r" % (self.img, name, dirpath))


def build_fat_lost(name, size, fat):
    img = os.path.join(WORK, name)
    label = name.replace(".img", "").upper()[:11]
    if os.path.exists(img):
        os.unlink(img)
    with open(img, "wb") as f:
        f.truncate(size)
    run(["mkfs.fat", "--invariant", "-i", "52455452", "-F", str(fat), "-s", "1", "-S", "512", "-n", label, img])
    bps, C, count, typ, _ = fat_info(img)
    if typ != "FAT%d" % fat:
        raise RuntimeError("%s: got %s" % (name, typ))
    src = os.path.join(WORK, "src-" + name)
    shutil.rmtree(src, ignore_errors=True)
    os.makedirs(src)
    local = os.path.join(src, "data")
    t = iter(range(1, 1000))

    def put(f):
        with open(local, "wb") as fh:
            fh.write(f.data)
        os.utime(local, (f.mtime, f.mtime))
        mt(img, "mcopy", "-m", "-o", local, mpath(f.path))
        os.unlink(local)
        return f

    for d in ("LOOP", "DAMAGED", "FRAG", "casedir"):
        mt(img, "mmd", mpath("\\" + d))
    files, not_files = [], []
    # A live folder of three clusters with deleted files in each of them.
    loop = [put(File("\\LOOP\\F%02d.TXT" % i, 100 + 9 * i, ["in-looping-folder"], deleted=(i % 3 == 0), t=next(t)))
            for i in range(40)]
    # Deleted entries that are not files, beside real deleted files.
    damaged = [put(File(p, 700, t=next(t))) for p in (
        "\\DAMAGED\\GOOD.TXT", "\\DAMAGED\\damaged-attr-name.txt", "\\DAMAGED\\CTRL.TXT",
        "\\DAMAGED\\BADDATE.TXT", "\\DAMAGED\\BIGSIZE.TXT", "\\DAMAGED\\AFTER.TXT")]
    # Fragments: X1 B X2 C X3, one cluster each; the Xs go, A takes their three clusters.
    frag = {n: put(File("\\FRAG\\%s.BIN" % n, C - 12, deleted=n != "C", t=next(t)))
            for n in ("X1", "B", "X2", "C", "X3")}
    # Lower-case flags: mtools keeps an all-lower-case base or extension in byte 12.
    cases = [put(File("\\casedir\\" + n, 300, ["lower-case-flags"], t=next(t)))
             for n in ("lower.txt", "UPPEXT.txt", "lowbase.TXT")]
    vol = FatVol(img)
    flags = {f.path: vol.entry(vol.find("casedir", f.path.rsplit("\\", 1)[1]))[12] for f in cases}
    if flags != {cases[0].path: 0x18, cases[1].path: 0x10, cases[2].path: 0x08}:
        raise RuntimeError("%s: mtools wrote case flags %r" % (name, flags))
    if vol.entry(vol.find("", "casedir"))[12] != 0x08:
        raise RuntimeError("%s: casedir has no lower-case flag" % name)
    for f in loop + damaged + cases:
        f.runs = fat_runs(img, f.path)
    # The long-name entry that holds the end of damaged-attr-name.txt (the first of
    # its set on disk, flag 0x40) before deletion overwrites its sequence byte.
    slots = vol.slots("DAMAGED")
    short = vol.find("DAMAGED", "DAMAGE~1.TXT")
    lfn_end = short - 32
    while vol.entry(lfn_end)[11] == 0x0F and not vol.entry(lfn_end)[0] & 0x40:
        lfn_end -= 32
    if lfn_end not in slots or vol.entry(lfn_end)[0] != 0x42:
        raise RuntimeError("%s: long name of damaged-attr-name.txt not as expected" % name)
    for n in ("X1", "X2", "X3"):
        frag[n].runs = fat_runs(img, frag[n].path)
        mt(img, "mdel", mpath(frag[n].path))
    if vol.fat32:
        # mtools searches from the FSInfo next-free hint; make it start at the holes.
        vol._rw(vol.fsinfo * vol.bps + 492, data=struct.pack("<I", 2))
    a = put(File("\\FRAG\\A.BIN", 3 * C - 40, ["fragmented"], t=next(t)))
    a.runs = fat_runs(img, a.path)
    # A.BIN took X1's slot; two empty files take X2's and X3's, so no entry
    # is left naming a cluster that A.BIN wrote over.
    empties = [put(File("\\FRAG\\E%d.TXT" % i, 0, deleted=False, t=next(t))) for i in (1, 2)]
    holes = [fat_runs(img, frag[n].path) for n in ("B", "C")]
    b_first, c_first = holes[0][0][0], holes[1][0][0]
    for x in ("X1", "X2", "X3"):
        try:
            vol.find("FRAG", x + ".BIN", deleted=True)
        except RuntimeError:
            continue
        raise RuntimeError("%s: the entry of %s.BIN is still there" % (name, x))
    if [r[0] for r in a.runs] != [b_first - 1, b_first + 1, c_first + 1] or any(r[1] != 1 for r in a.runs):
        raise RuntimeError("%s: A.BIN not laid out around B and C: %r (B %d, C %d)" % (name, a.runs, b_first, c_first))
    frag["B"].runs = holes[0]
    frag["B"].kinds = ["between-fragments"]
    for f in [x for x in loop if x.deleted] + damaged + cases + [a, frag["B"]]:
        mt(img, "mdel", mpath(f.path))
    files += loop + damaged[:1] + damaged[5:] + cases + [a, frag["B"], frag["C"]] + empties
    # The damage.
    e = vol.entry(lfn_end)
    e[11] = 0x07                    # attribute 0x0F with one bit lost
    vol.put_entry(lfn_end, e)
    e = vol.entry(vol.find("DAMAGED", "CTRL.TXT", deleted=True))
    off = vol.find("DAMAGED", "CTRL.TXT", deleted=True)
    e[2] = 0x01
    vol.put_entry(off, e)
    off = vol.find("DAMAGED", "BADDATE.TXT", deleted=True)
    e = vol.entry(off)
    d = struct.unpack_from("<H", e, 24)[0]
    struct.pack_into("<H", e, 24, (d & ~0x01E0) | (13 << 5))
    vol.put_entry(off, e)
    off = vol.find("DAMAGED", "BIGSIZE.TXT", deleted=True)
    e = vol.entry(off)
    struct.pack_into("<I", e, 28, 0xFFFFFF00)
    vol.put_entry(off, e)
    for f, case in ((damaged[1], "attribute"), (damaged[2], "control-byte"), (damaged[3], "impossible-date"),
                    (damaged[4], "size-past-volume")):
        not_files.append({"path": f.path, "case": case})
    # The real file whose long name began with the damaged entry: its name is
    # what the entries nearest to it hold (the damaged one ends the set).
    real = File("\\DAMAGED\\" + damaged[1].path.rsplit("\\", 1)[1][:13], 0, ["long-name-cut-by-damage"],
                t=0, data=damaged[1].data)
    real.mtime, real.runs = damaged[1].mtime, damaged[1].runs
    files.append(real)
    # The loops, written last: \LOOP's last cluster points back to its first,
    # and on FAT32 the root's one cluster points to itself.
    lc = vol.chain(vol.entry_cluster(vol.find("", "LOOP")))
    if len(lc) != 3:
        raise RuntimeError("%s: LOOP has %d clusters" % (name, len(lc)))
    vol.fat_set(lc[-1], lc[0])
    if vol.fat32:
        if len(vol.chain(vol.rootclus)) != 1:
            raise RuntimeError("%s: root has more than one cluster" % name)
        vol.fat_set(vol.rootclus, vol.rootclus)
    _, _, count, typ, alloc = fat_info(img)
    return img, files, not_files, alloc, count, label, typ


def mmls_partitions(disk):
    """The partitions sleuthkit's mmls lists (neither tables nor unallocated space), numbered as
    Retriva numbers them: primaries 1-4 by slot, logicals from 5 in the order mmls lists them."""
    out = run(["mmls", disk])
    parts, logical = [], 5
    for line in out.splitlines():
        m = re.match(r"^\d+:\s+(\d+):(\d+)\s+(\d+)\s+(\d+)\s+(\d+)\s+(.*)$", line)
        if not m or "Extended" in m.group(6):
            continue
        table, slot = int(m.group(1)), int(m.group(2))
        number = slot + 1 if table == 0 else logical
        if table != 0:
            logical += 1
        parts.append({"number": number, "start": int(m.group(3)) * 512, "size": int(m.group(5)) * 512,
                      "description": m.group(6).strip()})
    return parts


def build_disk_ext(images, built):
    """An MBR disk with a primary FAT16 partition and an extended partition whose first extended
    boot record holds both logical partitions, the second in its second slot (as some partitioning
    tools write it) instead of a link to another record: sfdisk writes the usual chain, then the
    second slot of the first record is turned into the second logical partition's entry."""
    S = 512
    parts = [(2048, 8192), (12288, 8192), (22528, 8192)]      # primary, logical 1, logical 2
    ext_start, ext_size = 10240, 22528 + 8192 - 10240
    total = (22528 + 8192 + 2048) * S
    vols = []
    for i, (start, count) in enumerate(parts):
        v, files, _, _, lab, typ = build_fat("ext-p%d.img" % i, count * S, 16, 1, 512, label="EXTP%d" % (i + 1),
                                             hidden=start, small=True)
        vols.append((v, files, lab, typ))
    disk = os.path.join(WORK, "disk-ext.img")
    with open(disk, "wb") as f:
        f.truncate(total)
    run(["sfdisk", "--no-reread", "--no-tell-kernel", disk],
        input=("label: dos\nlabel-id: 0x52455453\nunit: sectors\n"
               "start=%d, size=%d, type=6\nstart=%d, size=%d, type=5\n"
               "start=%d, size=%d, type=6\nstart=%d, size=%d, type=6\n" % (
                   parts[0][0], parts[0][1], ext_start, ext_size, parts[1][0], parts[1][1],
                   parts[2][0], parts[2][1])).encode())
    with open(disk, "r+b") as f:
        f.seek(ext_start * S)
        ebr1 = bytearray(f.read(S))
        link = ebr1[462:478]
        if link[4] != 0x05:
            raise RuntimeError("disk-ext.img: first EBR has no link in its second slot")
        ebr2_at = ext_start + struct.unpack_from("<I", link, 8)[0]
        f.seek(ebr2_at * S)
        ebr2 = f.read(S)
        l2 = bytearray(ebr2[446:462])
        if ebr2_at + struct.unpack_from("<I", l2, 8)[0] != parts[2][0]:
            raise RuntimeError("disk-ext.img: second EBR does not name the second logical partition")
        struct.pack_into("<I", l2, 8, parts[2][0] - ext_start)   # relative to the first record
        ebr1[462:478] = l2
        f.seek(ext_start * S)
        f.write(ebr1)
        f.seek(ebr2_at * S)
        f.write(bytes(S))                                       # the old second record is gone
    for (v, _, _, _), (start, _) in zip(vols, parts):
        run(["dd", "if=" + v, "of=" + disk, "bs=512", "seek=%d" % start, "conv=notrunc,sparse", "status=none"])
    listed = mmls_partitions(disk)
    if [(p["start"] // S, p["size"] // S) for p in listed] != parts:
        raise RuntimeError("disk-ext.img: mmls lists %r" % listed)
    dels, lives, infos = [], [], []
    for (v, files, lab, typ), p in zip(vols, listed):
        _, _, ccount, _, alloc = fat_info(v)
        d, l = entries(files, alloc, partition=p["number"])
        dels += d
        lives += l
        infos.append({"number": p["number"], "start": p["start"], "size": p["size"], "type": "0x06", "fs": typ,
                      "sector_size": 512, "cluster_size": 512, "cluster_count": ccount, "label": lab,
                      "mmls": p["description"]})
    images["disk-ext.img"] = {
        "name": "disk-ext.img", "file": None, "fs": "none", "sector_size": 512, "cluster_size": None,
        "size": total, "label": None, "cluster_count": None,
        "notes": "MBR disk (sfdisk): primary FAT16 partition 1, extended partition (0x05) whose first extended "
                 "boot record names logical partition 5 in its first slot and logical partition 6 in its second "
                 "(the link sfdisk wrote there, and the record it named, replaced); partitions as mmls lists them.",
        "partitions": infos, "sleuthkit": True, "damaged": None, "deleted": dels, "live": lives}
    built["disk-ext.img"] = disk


LOST_IMAGES = [
    # name, size, fat bits (512-byte clusters)
    ("fat16-lost.img", 8 * MiB, 16),
    ("fat32-lost.img", 36 * MiB, 32),
]


# ---------------------------------------------------------------------------
# NTFS: what real volumes hold that a clean ntfs-3g volume does not
# ---------------------------------------------------------------------------
def ntfs_attributes(rec):
    """(offset, type, length, non-resident, name) of every attribute of a fixed-up record."""
    out = []
    pos = struct.unpack_from("<H", rec, 0x14)[0]
    while pos + 8 <= len(rec):
        typ, ln = struct.unpack_from("<II", rec, pos)
        if typ == 0xFFFFFFFF or ln == 0:
            break
        nl, no = rec[pos + 9], struct.unpack_from("<H", rec, pos + 10)[0]
        name = rec[pos + no:pos + no + 2 * nl].decode("utf-16-le")
        out.append((pos, typ, ln, rec[pos + 8], name))
        pos += ln
    return out


def ntfs_edit_record(img, number, edit):
    """edit(fixed-up record bytearray) changes the record in place; fixups are redone."""
    off, rsize, bps = ntfs_record_offset(img, number)
    with open(img, "r+b") as f:
        f.seek(off)
        rec = bytearray(f.read(rsize))
        if rec[:4] != b"FILE":
            raise RuntimeError("record %d is not a FILE record" % number)
        apply_usa(rec, bps, True)
        edit(rec)
        apply_usa(rec, bps, False)
        f.seek(off)
        f.write(rec)


def ntfs_read_record(img, number):
    off, rsize, bps = ntfs_record_offset(img, number)
    with open(img, "rb") as f:
        f.seek(off)
        rec = bytearray(f.read(rsize))
    apply_usa(rec, bps, True)
    return rec


def ntfs_parent_ref(img, number):
    rec = ntfs_read_record(img, number)
    for pos, typ, _, nonres, _ in ntfs_attributes(rec):
        if typ == 0x30 and not nonres:
            return struct.unpack_from("<Q", rec, pos + struct.unpack_from("<H", rec, pos + 0x14)[0])[0]
    raise RuntimeError("record %d has no $FILE_NAME" % number)


def ntfs_set_parent(img, number, ref):
    """Every $FILE_NAME of record `number` names `ref` (record | sequence << 48) as its parent."""
    def edit(rec):
        for pos, typ, _, nonres, _ in ntfs_attributes(rec):
            if typ == 0x30 and not nonres:
                struct.pack_into("<Q", rec, pos + struct.unpack_from("<H", rec, pos + 0x14)[0], ref)
    ntfs_edit_record(img, number, edit)


def ntfs_sequence(img, number):
    return struct.unpack_from("<H", ntfs_read_record(img, number), 16)[0]


def pairs_of(runs):
    out, prev = bytearray(), 0
    for lcn, n in runs:
        ln = n.to_bytes((n.bit_length() + 8) // 8, "little")
        d = lcn - prev
        db = d.to_bytes(max(1, (d.bit_length() + 8) // 8), "little", signed=True)
        out += bytes([len(ln) | len(db) << 4]) + ln + db
        prev = lcn
    return bytes(out + b"\0")


def ntfs_set_runs(img, number, runs):
    """The unnamed $DATA of record `number` (non-resident, the last attribute) gets these mapping
    pairs; the attribute grows into the record's free space."""
    def edit(rec):
        for pos, typ, ln, nonres, name in ntfs_attributes(rec):
            if typ == 0x80 and nonres and name == "":
                mp = struct.unpack_from("<H", rec, pos + 0x20)[0]
                body = bytearray(rec[pos:pos + mp]) + pairs_of(runs)
                body += b"\0" * (-len(body) % 8)
                assert pos + ln + 8 >= struct.unpack_from("<I", rec, 0x18)[0], "$DATA is not the last attribute"
                struct.pack_into("<I", body, 4, len(body))
                end = pos + len(body)
                rec[pos:end] = body
                rec[end:end + 8] = b"\xff\xff\xff\xff\0\0\0\0"
                struct.pack_into("<I", rec, 0x18, end + 8)
                return
        raise RuntimeError("record %d: no non-resident $DATA" % number)
    ntfs_edit_record(img, number, edit)


def ntfs_set_resident_length(img, number, length):
    def edit(rec):
        for pos, typ, _, nonres, name in ntfs_attributes(rec):
            if typ == 0x80 and not nonres and name == "":
                struct.pack_into("<I", rec, pos + 0x10, length)
                return
        raise RuntimeError("record %d: no resident $DATA" % number)
    ntfs_edit_record(img, number, edit)


def ntfs_empty_name(img, number):
    def edit(rec):
        for pos, typ, _, nonres, _ in ntfs_attributes(rec):
            if typ == 0x30 and not nonres:
                rec[pos + struct.unpack_from("<H", rec, pos + 0x14)[0] + 0x40] = 0
    ntfs_edit_record(img, number, edit)


LOST_LONG_A = "\\Long\\" + "d" * 100 + "\\" + "e" * 100
LOST_LONG_B = "\\Long\\" + "\\".join(c * 200 for c in "wxyz")


def build_ntfs_lost(name, size, C):
    """Deleted files whose folder cannot be placed (the parent record now a file, out of range,
    parents in loops, a sequence number that names an earlier folder), named streams, paths of
    260 units and more, an empty name, and invalid data runs. ntfs-3g writes the files; what only
    Windows or damage makes is then written into the MFT records (fixups redone)."""
    img = os.path.join(WORK, name)
    mnt = os.path.join(WORK, "mnt-" + name)
    label = name.replace(".img", "").upper()[:32]
    if os.path.exists(img):
        os.unlink(img)
    with open(img, "wb") as f:
        f.truncate(size)
    run(["mkntfs", "-F", "-Q", "-T", "-c", str(C), "-L", label, "-p", "0", "-H", "0", "-S", "0", img])
    t = iter(range(1, 1000))
    live = [File("\\readme.txt", 200, deleted=False, t=next(t)), File("\\Reused\\kept.txt", 500, deleted=False, t=next(t))]
    dirs = ["Reused", "PF", "PO", "PX", "PX\\Sub", "L2a", "L2a\\L2b", "S", "Gone", "Streams", "Damaged",
            "Long", LOST_LONG_A[1:], LOST_LONG_B[1:]]
    dirs += ["\\".join("C%d" % j for j in range(1, i + 1)) for i in range(1, 8)]
    c7 = "\\" + "\\".join("C%d" % j for j in range(1, 8))

    def lost(path, size, case, listed_as, kinds=(), data=None):
        f = File(path, size, ["lost"] + list(kinds), t=next(t), data=data)
        f.lost_case, f.listed_as = case, listed_as
        return f
    files = [
        lost("\\PF\\pf.txt", 700, "parent-is-file", "\\$Orphan\\pf.txt", ["orphan", "resident"]),
        lost("\\PO\\po.txt", 9000, "parent-out-of-range", "\\$Orphan\\po.txt", ["orphan", "nonresident"]),
        lost("\\PX\\Sub\\deep.txt", 800, "grandparent-out-of-range", "\\$Orphan\\PX\\Sub\\deep.txt", ["orphan"]),
        lost("\\L2a\\L2b\\l2.txt", 600, "loop-2", "\\$Orphan\\L2a\\L2b\\l2.txt", ["orphan", "loop"]),
        lost(c7 + "\\l7.txt", 650, "loop-7", "\\$Orphan" + c7 + "\\l7.txt", ["orphan", "loop"]),
        lost("\\S\\self.txt", 550, "own-parent", "\\$Orphan\\S\\self.txt", ["orphan", "loop"]),
        lost("\\Gone\\moved.txt", 450, "sequence-mismatch", "\\$Orphan\\moved.txt", ["orphan"]),
        lost("\\Streams\\streams-deleted.txt", 1000, "streams", "\\Streams\\streams-deleted.txt", ["ads"]),
        lost(LOST_LONG_A + "\\long-a.txt", 5000, "long-path-a", LOST_LONG_A + "\\long-a.txt", ["long-path"]),
        lost(LOST_LONG_B + "\\long-b.txt", 6000, "long-path-b", LOST_LONG_B + "\\long-b.txt", ["long-path"]),
        lost("\\Damaged\\emptyname.txt", 350, "empty-name", "\\Damaged\\_", ["empty-name"]),
        lost("\\Damaged\\neg-run.bin", 4 * C, "negative-run", "\\Damaged\\neg-run.bin", ["invalid-runs", "nonresident"]),
        lost("\\Damaged\\resident-overrun.txt", 300, "resident-overrun", "\\Damaged\\resident-overrun.txt",
             ["invalid-runs", "resident"]),
    ]
    byc = {f.lost_case: f for f in files}
    with NtfsMount(img, mnt) as m:
        for d in dirs:
            os.makedirs(m.p(d), exist_ok=True)
        for f in live + files:
            with open(m.p(f.path), "wb") as fh:
                fh.write(f.data)
            if f is byc["streams"]:
                for sname, ssize in (("small", 100), ("big", 20000)):
                    sd = gen(f.path + ":" + sname, ssize)
                    os.setxattr(m.p(f.path), "user." + sname, sd)
                    f.streams.append({"name": sname, "data": sd})
            os.utime(m.p(f.path), (f.mtime, f.mtime))
            f.mft = os.stat(m.p(f.path)).st_ino
        folder = {d: os.stat(m.p(d)).st_ino for d in dirs}
    for f in files:
        f.runs = ntfs_runs(img, f.mft)
        for s in f.streams:
            s["runs"] = ntfs_runs(img, f.mft, s["name"])
    gone = ["PF", "PO", "PX", "L2a", "S", "Gone", "C1"]
    with NtfsMount(img, mnt) as m:
        for f in files:
            os.unlink(m.p(f.path))
        for d in gone:
            shutil.rmtree(m.p(d))
    readme = live[0].mft
    ntfs_set_parent(img, byc["parent-is-file"].mft, readme | ntfs_sequence(img, readme) << 48)
    ntfs_set_parent(img, byc["parent-out-of-range"].mft, 0xFFFFF0 | 1 << 48)
    ntfs_set_parent(img, folder["PX"], 0xFFFFF1 | 1 << 48)
    ntfs_set_parent(img, folder["L2a"], ntfs_parent_ref(img, byc["loop-2"].mft))
    ntfs_set_parent(img, folder["C1"], ntfs_parent_ref(img, byc["loop-7"].mft))
    ntfs_set_parent(img, folder["S"], ntfs_parent_ref(img, byc["own-parent"].mft))
    reused = folder["Reused"]
    ntfs_set_parent(img, byc["sequence-mismatch"].mft, reused | ((ntfs_sequence(img, reused) + 5) & 0xFFFF) << 48)
    ntfs_empty_name(img, byc["empty-name"].mft)
    neg = byc["negative-run"]
    lcn, n = neg.runs[0]
    assert len(neg.runs) == 1 and n == 4, neg.runs
    ntfs_set_runs(img, neg.mft, [(lcn, 2), (-100, 2)])
    neg.runs = [(lcn, 2)]
    neg.damaged_bytes = [2 * C, 4 * C]
    ntfs_set_resident_length(img, byc["resident-overrun"].mft, 0xFFF0)
    byc["resident-overrun"].damaged_bytes = [0, 300]
    alloc = ntfs_bitmap(img)
    _, _, ccount = ntfs_boot_info(img)
    return img, files + live, alloc, ccount, label


NTFS_LOST_IMAGES = [
    ("ntfs-lost.img", 16 * MiB, 4096),
    ("fat16-long.img", 8 * MiB, 2),
]


def build_fat_long(name, size, spc):
    """Deleted files whose paths are 260 units and longer, under live folders of long names."""
    img = os.path.join(WORK, name)
    label = name.replace(".img", "").upper()[:11]
    if os.path.exists(img):
        os.unlink(img)
    with open(img, "wb") as f:
        f.truncate(size)
    run(["mkfs.fat", "--invariant", "-i", "52455452", "-F", "16", "-s", str(spc), "-n", label, img])
    src = os.path.join(WORK, "src-" + name)
    shutil.rmtree(src, ignore_errors=True)
    os.makedirs(src)
    t = iter(range(1, 100))
    live = File("\\readme.txt", 200, deleted=False, t=next(t))
    files = []
    for folder, fname, case in ((LOST_LONG_A, "long-a.txt", "long-path-a"), (LOST_LONG_B, "long-b.txt", "long-path-b")):
        f = File(folder + "\\" + fname, 3000, ["long-path"], t=next(t))
        f.lost_case, f.listed_as = case, f.path
        files.append(f)
    made = set()
    for f in files:
        parts = f.path.split("\\")[1:-1]
        for i in range(1, len(parts) + 1):
            d = "\\" + "\\".join(parts[:i])
            if d not in made:
                mt(img, "mmd", mpath(d))
                made.add(d)
    for f in [live] + files:
        local = os.path.join(src, f.path.rsplit("\\", 1)[1])
        with open(local, "wb") as fh:
            fh.write(f.data)
        os.utime(local, (f.mtime, f.mtime))
        mt(img, "mcopy", "-m", "-o", local, mpath(f.path))
        os.unlink(local)
    for f in files:
        f.runs = fat_runs(img, f.path)
        mt(img, "mdel", mpath(f.path))
    _, _, count, typ, alloc = fat_info(img)
    return img, files + [live], alloc, count, label, typ


# ---------------------------------------------------------------------------
# manifest helpers
# ---------------------------------------------------------------------------
ORIG = os.path.join(HERE, "originals")


def store_original(data):
    h = sha(data)
    dst = os.path.join(ORIG, h + ".zst")
    if not os.path.exists(dst):
        p = subprocess.run(["zstd", "-19", "-q", "-c"], input=data, capture_output=True, check=True)
        with open(dst, "wb") as f:
            f.write(p.stdout)
    return "originals/%s.zst" % h


def entries(files, alloc, partition=None):
    dels, lives = [], []
    for f in files:
        if f.deleted:
            path = "".join("\ufffd" if "\ud800" <= c <= "\udfff" else c for c in f.path)
            e = {"path": path, "size": f.size, "mtime": iso(f.mtime), "sha256": sha(f.data),
                 "original": store_original(f.data), "kinds": f.kinds,
                 "mft_record": f.mft, "clusters": runs_to_clusters(f.runs)}
            rr = reused_runs(f.runs, alloc)
            e["reused_clusters"] = rr
            e["reused"] = bool(rr)
            if f.links:
                e["links"] = f.links
            if f.streams:
                e["streams"] = []
                for s in f.streams:
                    srr = reused_runs(s["runs"], alloc)
                    e["streams"].append({"name": s["name"], "size": len(s["data"]), "sha256": sha(s["data"]),
                                         "original": store_original(s["data"]),
                                         "clusters": runs_to_clusters(s["runs"]),
                                         "reused_clusters": srr, "reused": bool(srr)})
            if partition is not None:
                e["partition"] = partition
            if hasattr(f, "lost_case"):
                # Where retriva lists the file, when that is not where it was made.
                e["case"] = f.lost_case
                e["listed_as"] = f.listed_as
                if hasattr(f, "damaged_bytes"):
                    e["damaged_bytes"] = f.damaged_bytes
            if hasattr(f, "name_units"):
                # The name as the volume holds it: UTF-16LE hex, exact even where it is
                # not valid Unicode ("path" then shows U+FFFD for the bad units).
                e["case"] = f.case
                e["name"] = f.name
                e["name_utf16"] = struct.pack("<%dH" % len(f.name_units), *f.name_units).hex()
            dels.append(e)
        else:
            e = {"path": f.path, "size": f.size, "sha256": getattr(f, "sha", None) or sha(f.data)}
            if partition is not None:
                e["partition"] = partition
            lives.append(e)
    return dels, lives


def compress(img, name):
    dst = os.path.join(HERE, name + ".zst")
    run(["zstd", "-19", "-T0", "-q", "-f", img, "-o", dst])
    return os.path.basename(dst)


NTFS_IMAGES = [
    # name, volume size, cluster, sector
    ("ntfs-512.img", 12 * MiB, 512, 512),
    ("ntfs-4k.img", 16 * MiB, 4096, 512),
    ("ntfs-64k.img", 48 * MiB, 65536, 512),
    ("ntfs-128k.img", 20 * MiB, 131072, 512),
    ("ntfs-256k.img", 32 * MiB, 262144, 512),
    ("ntfs-2m.img", 192 * MiB, 2 * MiB, 512),
    ("ntfs-4kn.img", 16 * MiB, 4096, 4096),
]
FAT_IMAGES = [
    # name, size, fat bits, sectors/cluster, sector size, small content
    ("fat12.img", 1440 * KiB, 12, 1, 512, True),
    ("fat16-2k.img", 16 * MiB, 16, 4, 512, False),
    ("fat16-16k.img", 72 * MiB, 16, 32, 512, False),
    ("fat16-4kn.img", 20 * MiB, 16, 1, 4096, False),
    ("fat32-512.img", 36 * MiB, 32, 1, 512, False),
    ("fat32-4k.img", 272 * MiB, 32, 8, 512, False),
    ("fat32-32k.img", 2100 * MiB, 32, 64, 512, False),
    # 2048-byte sectors (optical and some flash media); 128 KiB clusters, more than a 64 KiB chunk
    ("fat32-2kn.img", 140 * MiB, 32, 1, 2048, False),
    ("fat16-2kn-128k.img", 520 * MiB, 16, 64, 2048, False),
]


def mark_overwritten(dels):
    """A deleted file whose clusters were later given to a file that is itself deleted now
    (so they are free again, not reused) has lost that data: list those clusters."""
    for e in dels:
        mine = set(c for l, n in e["clusters"] if l >= 0 for c in range(l, l + n))
        over = set()
        for o in dels:
            if o is e or o.get("partition") != e.get("partition"):
                continue
            if o["mtime"] <= e["mtime"]:
                continue
            over |= mine & set(c for l, n in o["clusters"] if l >= 0 for c in range(l, l + n))
        e["overwritten_clusters"] = sorted(over)
        e["overwritten"] = bool(over)


def want(name):
    return not ONLY or name in ONLY


def main():
    os.makedirs(WORK, exist_ok=True)
    os.makedirs(ORIG, exist_ok=True)
    mpath_ = os.path.join(HERE, "manifest.json")
    old = {}
    if ONLY and os.path.exists(mpath_):
        old = {i["name"]: i for i in json.load(open(mpath_))["images"]}
    images = {}
    built = {}
    for name, size, C, sec in NTFS_IMAGES:
        if not want(name) and not (name == "ntfs-4k.img" and (want("ntfs-4k-truncated.img") or want("ntfs-4k-badboot.img"))):
            continue
        log("building", name)
        img, files, alloc, ccount, label = build_ntfs(name, size, C, sec)
        dels, lives = entries(files, alloc)
        sk = C <= 65536
        images[name] = {"name": name, "file": None, "fs": "NTFS", "sector_size": sec, "cluster_size": C,
                        "size": size, "label": label, "cluster_count": ccount,
                        "notes": "mkntfs -Q -T -c %d -s %d, written with ntfs-3g.%s%s" % (
                            C, sec, " Compressed folder (ntfs-3g compression) present." if C <= 4096 else
                            " No compressed file: NTFS compression needs clusters <= 4 KiB.",
                            "" if sk else " sleuthkit cannot open this cluster size; clusters taken from ntfsinfo."),
                        "sleuthkit": sk, "damaged": None, "deleted": dels, "live": lives}
        built[name] = img
    for name, size, fat, spc, sec, small in FAT_IMAGES:
        if not want(name) and not (name in ("fat32-512.img", "fat16-2k.img") and (
                want("fat32-512-truncated.img") or want("fat16-2k-badboot.img"))):
            continue
        log("building", name)
        img, files, alloc, ccount, label, typ = build_fat(name, size, fat, spc, sec, small=small)
        dels, lives = entries(files, alloc)
        images[name] = {"name": name, "file": None, "fs": typ, "sector_size": sec, "cluster_size": spc * sec,
                        "size": size, "label": label, "cluster_count": ccount,
                        "notes": "mkfs.fat -F %d -s %d -S %d, written with mtools%s" % (
                            fat, spc, sec, "" if sec == 512 else "; %d-byte sectors" % sec),
                        "sleuthkit": True, "damaged": None, "deleted": dels, "live": lives}
        built[name] = img

    def derive(new, base, how, pct=60):
        src = built[base]
        dst = os.path.join(WORK, new)
        shutil.copyfile(src, dst)
        info = dict(images[base])
        info["name"] = new
        if how == "truncated":
            cut = (os.path.getsize(src) * pct // 100) // 4096 * 4096
            with open(dst, "r+b") as f:
                f.truncate(cut)
            info["size"] = cut
            info["notes"] = "copy of %s cut to %d%% (%d of %d bytes); files past the end are lost" % (
                base, pct, cut, images[base]["size"])
        else:
            with open(dst, "r+b") as f:
                if images[base]["fs"] == "NTFS":
                    f.seek(3); f.write(b"\0" * 8)       # OEM id "NTFS    " gone
                    f.seek(510); f.write(b"\0\0")       # 0x55AA gone
                    info["notes"] = "copy of %s with OEM id and 0x55AA signature of the boot sector zeroed (backup boot sector at the volume end intact)" % base
                else:
                    f.seek(0); f.write(b"\0" * images[base]["sector_size"])
                    info["notes"] = "copy of %s with its whole boot sector zeroed (FAT16: no backup)" % base
            info["sleuthkit"] = False
        info["damaged"] = how
        images[new] = info
        built[new] = dst

    for name, size, C in HOSTILE_IMAGES:
        if not want(name):
            continue
        log("building", name)
        if name.startswith("ntfs"):
            img, files, alloc, ccount, label = build_ntfs_hostile(name, size, C)
            fs, sec, csz = "NTFS", 512, C
            notes = ("mkntfs -Q -T -c %d, written with ntfs-3g; deleted files with hostile names. Names Linux can "
                     "hold were made by ntfs-3g, the rest were made under a placeholder of the same length and "
                     "written into the record's $FILE_NAME after unmounting (the parent index keeps the "
                     "placeholder)." % C)
        else:
            img, files, alloc, ccount, label, fs = build_fat_hostile(name, size, C)
            sec, csz = 512, C * 512
            notes = ("mkfs.fat -F 16 -s %d, written with mtools; deleted files with hostile names, made under a "
                     "placeholder long name of the same length and written into the long-name entries after "
                     "deletion (short names and checksums untouched); one short-only name with its bytes 1-7 "
                     "overwritten." % C)
        dels, lives = entries(files, alloc)
        images[name] = {"name": name, "file": None, "fs": fs, "sector_size": sec, "cluster_size": csz,
                        "size": size, "label": label, "cluster_count": ccount, "notes": notes,
                        "purpose": "hostile-names", "sleuthkit": True, "damaged": None,
                        "deleted": dels, "live": lives}
        built[name] = img

    for name, size, fat in LOST_IMAGES:
        if not want(name):
            continue
        log("building", name)
        img, files, not_files, alloc, ccount, label, fs = build_fat_lost(name, size, fat)
        dels, lives = entries(files, alloc)
        images[name] = {"name": name, "file": None, "fs": fs, "sector_size": 512, "cluster_size": 512,
                        "size": size, "label": label, "cluster_count": ccount,
                        "notes": ("mkfs.fat -F %d -s 1, written with mtools, then damaged: \\LOOP's last cluster "
                                  "points back to its first%s; in \\DAMAGED the long-name entry that ends "
                                  "damaged-attr-name.txt has attribute 0x07, CTRL.TXT a 0x01 in its name, "
                                  "BADDATE.TXT month 13, BIGSIZE.TXT size 0xFFFFFF00 (all deleted; not files). "
                                  "\\FRAG\\A.BIN (deleted) took the three clusters around B.BIN (deleted) "
                                  "and C.BIN (live); \\casedir holds names with the lower-case flags." % (
                                      fat, "; the root's one cluster points to itself" if fat == 32 else "")),
                        "purpose": "lost-entries", "sleuthkit": True, "damaged": None,
                        "not_files": not_files, "deleted": dels, "live": lives}
        built[name] = img

    if want("fat16-tail.img"):
        # A FAT16 volume whose last sectors lie past its last cluster, and a
        # copy one sector short: only that tail is missing.
        log("building fat16-tail.img")
        size = 16 * MiB
        img, files, alloc, ccount, label, typ = build_fat("tail-full.img", size, 16, 4, 512, label="FAT16-TAIL",
                                                          small=True, unaligned=True)
        v = FatVol(img)
        tail = v.tot - v.firstdata - ((v.tot - v.firstdata) // v.spc) * v.spc
        if tail < 1 or v.tot * 512 != size:
            raise RuntimeError("fat16-tail.img: %d sectors past the last cluster" % tail)
        dst = os.path.join(WORK, "fat16-tail.img")
        shutil.copyfile(img, dst)
        with open(dst, "r+b") as f:
            f.truncate(size - 512)
        dels, lives = entries(files, alloc)
        images["fat16-tail.img"] = {
            "name": "fat16-tail.img", "file": None, "fs": typ, "sector_size": 512, "cluster_size": 2048,
            "size": size - 512, "label": label, "cluster_count": ccount,
            "notes": "mkfs.fat -a -F 16 -s 4 on %d bytes (%d sectors past the last cluster), written with mtools, "
                     "then cut by one sector: only the tail past the last cluster is missing" % (size, tail),
            "purpose": "tail-missing", "sleuthkit": True, "damaged": None,
            "deleted": dels, "live": lives}
        built["fat16-tail.img"] = dst

    for name, size, C in NTFS_LOST_IMAGES:
        if not want(name):
            continue
        log("building", name)
        if name.startswith("fat"):
            img, files, alloc, ccount, label, typ = build_fat_long(name, size, C)
            dels, lives = entries(files, alloc)
            images[name] = {"name": name, "file": None, "fs": typ, "sector_size": 512, "cluster_size": C * 512,
                            "size": size, "label": label, "cluster_count": ccount,
                            "notes": "mkfs.fat -F 16 -s %d, written with mtools: deleted files whose paths are "
                                     "260 units and longer, under live folders of long names." % C,
                            "purpose": "lost-files", "sleuthkit": True, "damaged": None,
                            "deleted": dels, "live": lives}
            built[name] = img
            continue
        img, files, alloc, ccount, label = build_ntfs_lost(name, size, C)
        dels, lives = entries(files, alloc)
        images[name] = {"name": name, "file": None, "fs": "NTFS", "sector_size": 512, "cluster_size": C,
                        "size": size, "label": label, "cluster_count": ccount,
                        "notes": ("mkntfs -Q -T -c %d, written with ntfs-3g; then, after unmounting, parent "
                                  "references, a name length, a run list and a resident value length were "
                                  "rewritten in the deleted files' MFT records (fixups redone): parents that are "
                                  "files, out of range, in loops or of another sequence number; an empty name; "
                                  "a run with a negative cluster number; a resident value running past its "
                                  "record. Also named streams and paths of 260 units and more." % C),
                        "purpose": "lost-files", "sleuthkit": True, "damaged": None,
                        "deleted": dels, "live": lives}
        built[name] = img

    if want("ntfs-4k-truncated.img"):
        derive("ntfs-4k-truncated.img", "ntfs-4k.img", "truncated")
    if want("fat32-512-truncated.img"):
        derive("fat32-512-truncated.img", "fat32-512.img", "truncated")
    if want("ntfs-4k-badboot.img"):
        derive("ntfs-4k-badboot.img", "ntfs-4k.img", "boot-sector")
    if want("fat16-2k-badboot.img"):
        derive("fat16-2k-badboot.img", "fat16-2k.img", "boot-sector")

    # whole-disk images
    if want("disk-mbr.img"):
        log("building disk-mbr.img")
        start1, size1 = 1 * MiB, 36 * MiB
        start2, size2 = start1 + size1, 16 * MiB
        total = start2 + size2 + 1 * MiB
        vfat, ffat, _, _, labf, typf = build_fat("mbr-p1.img", size1, 32, 1, 512, label="MBRFAT32", hidden=start1 // 512)
        vnt, fnt, anl, cnt, labn = build_ntfs("mbr-p2.img", size2, 4096, 512, label="MBRNTFS",
                                              part_start=start2 // 512, heads=255, spt=63)
        _, _, ccf, _, alf = fat_info(vfat)
        disk = os.path.join(WORK, "disk-mbr.img")
        with open(disk, "wb") as f:
            f.truncate(total)
        run(["sfdisk", "--no-reread", "--no-tell-kernel", disk],
            input=("label: dos\nlabel-id: 0x52455452\nunit: sectors\n"
                   "start=%d, size=%d, type=c\nstart=%d, size=%d, type=7\n" % (
                       start1 // 512, size1 // 512, start2 // 512, size2 // 512)).encode())
        for v, st in ((vfat, start1), (vnt, start2)):
            run(["dd", "if=" + v, "of=" + disk, "bs=1M", "seek=%d" % (st // MiB), "conv=notrunc,sparse", "status=none"])
        d1, l1 = entries(ffat, alf, partition=1)
        d2, l2 = entries(fnt, anl, partition=2)
        images["disk-mbr.img"] = {
            "name": "disk-mbr.img", "file": None, "fs": "none", "sector_size": 512, "cluster_size": None,
            "size": total, "label": None, "cluster_count": None,
            "notes": "MBR disk: partition 1 FAT32 (512 B clusters, hidden sectors 2048), partition 2 NTFS "
                     "(4 KiB clusters, mkntfs -p %d). Cluster numbers are relative to each partition's volume." % (start2 // 512),
            "partitions": [
                {"number": 1, "start": start1, "size": size1, "type": "0x0c", "fs": typf, "sector_size": 512,
                 "cluster_size": 512, "cluster_count": ccf, "label": labf},
                {"number": 2, "start": start2, "size": size2, "type": "0x07", "fs": "NTFS", "sector_size": 512,
                 "cluster_size": 4096, "cluster_count": cnt, "label": labn}],
            "sleuthkit": True, "damaged": None, "deleted": d1 + d2, "live": l1 + l2}
        built["disk-mbr.img"] = disk
    if want("disk-gpt.img"):
        log("building disk-gpt.img")
        start, size = 1 * MiB, 16 * MiB
        total = start + size + 1 * MiB
        vnt, fnt, anl, cnt, labn = build_ntfs("gpt-p1.img", size, 4096, 512, label="GPTNTFS",
                                              part_start=start // 512, heads=255, spt=63)
        disk = os.path.join(WORK, "disk-gpt.img")
        with open(disk, "wb") as f:
            f.truncate(total)
        run(["sgdisk", "-U", "52455452-4956-4100-8000-000000000001", "-n", "1:%d:%d" % (start // 512, (start + size) // 512 - 1),
             "-t", "1:0700", "-u", "1:52455452-4956-4100-8000-000000000002", "-c", "1:Retriva NTFS", disk])
        run(["dd", "if=" + vnt, "of=" + disk, "bs=1M", "seek=%d" % (start // MiB), "conv=notrunc,sparse", "status=none"])
        d1, l1 = entries(fnt, anl, partition=1)
        images["disk-gpt.img"] = {
            "name": "disk-gpt.img", "file": None, "fs": "none", "sector_size": 512, "cluster_size": None,
            "size": total, "label": None, "cluster_count": None,
            "notes": "GPT disk with one NTFS partition (basic data, 4 KiB clusters, mkntfs -p %d)." % (start // 512),
            "partitions": [{"number": 1, "start": start, "size": size, "type": "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7",
                            "fs": "NTFS", "sector_size": 512, "cluster_size": 4096, "cluster_count": cnt, "label": labn}],
            "sleuthkit": True, "damaged": None, "deleted": d1, "live": l1}
        built["disk-gpt.img"] = disk

    if want("disk-ext.img"):
        log("building disk-ext.img")
        build_disk_ext(images, built)

    for name, size, C, sec, label, full in mkexfat.EXFAT_IMAGES:
        if not want(name):
            continue
        log("building", name)
        img, files, facts = mkexfat.build_exfat(name, size, C, sec, label, full, WORK, File, gen, log, run, BASE_TIME)
        dels, lives = [], []
        for f in files:
            if f.deleted:
                dels.append({"path": f.path, "size": f.size, "mtime": iso(f.mtime), "sha256": sha(f.data),
                             "original": store_original(f.data), "kinds": f.kinds, "mft_record": None,
                             "clusters": [], "reused_clusters": [], "reused": False})
            else:
                lives.append({"path": f.path, "size": f.size, "sha256": sha(f.data)})
        images[name] = {"name": name, "file": None, "fs": "exFAT", "sector_size": sec, "cluster_size": C,
                        "size": size, "label": label, "cluster_count": facts["cluster_count"],
                        "notes": "mkfs.exfat -c %d on a loop device of %d-byte sectors, written with exfat-fuse%s." % (
                            C, sec, "; frag-kept.bin's FAT chain written back after its deletion" if full else ""),
                        "sleuthkit": True, "damaged": None, "deleted": dels, "live": lives}
        built[name] = img

    for name, size, C, sec, label, purpose in mkexfat.EXFAT_EDITED_IMAGES:
        if not want(name):
            continue
        log("building", name)
        img, files, facts = mkexfat.build_exfat_edited(name, size, C, sec, label, purpose, WORK, File, gen, log, run,
                                                       BASE_TIME)
        dels, lives = [], []
        for f in files:
            if not f.deleted:
                lives.append({"path": f.path, "size": f.size, "sha256": sha(f.data)})
                continue
            e = {"path": f.path, "size": f.size, "mtime": iso(f.mtime), "sha256": sha(f.data),
                 "original": store_original(f.data), "kinds": f.kinds, "mft_record": None,
                 "clusters": [], "reused_clusters": [], "reused": False}
            if purpose == "reused-folders":
                # Listed where sleuthkit lists nothing (it reads no deleted folder in use,
                # nor past a bogus size); the NUL is shown as U+2400.
                e["case"] = f.kinds[0]
                e["path"] = e["listed_as"] = f.path.replace("nul-name", "nul\u2400name")
            dels.append(e)
        images[name] = {"name": name, "file": None, "fs": "exFAT", "sector_size": sec, "cluster_size": C,
                        "size": size, "label": label, "cluster_count": facts["cluster_count"],
                        "notes": "mkfs.exfat -c %d on a loop device of %d-byte sectors, written with exfat-fuse, "
                                 "then edited: %s." % (C, sec, {
                                     "backup-boot": "boot code of the main boot sector overwritten at byte 300, so "
                                                    "only the backup boot region passes its checksum",
                                     "reused-folders": "\\Open (400 files) deleted as a folder deleted while open "
                                                       "leaves it (clusters, chain and size in use, and the second "
                                                       "cluster of 10 of its files), 40 deleted folders under \\Many "
                                                       "given sizes of 1 TiB over old file data, and a U+0000 "
                                                       "written into the name of nul-name.txt"}[purpose]),
                        "purpose": purpose, "sleuthkit": True, "damaged": None, "deleted": dels, "live": lives}
        built[name] = img

    for name in list(images):
        if not want(name):
            del images[name]
            continue
        log("compressing", name)
        assert os.path.getsize(built[name]) == images[name]["size"], name
        images[name]["file"] = compress(built[name], name)
    old.update(images)
    order = [n for n, *_ in NTFS_IMAGES] + [n for n, *_ in FAT_IMAGES] + [
        "ntfs-4k-truncated.img", "fat32-512-truncated.img", "ntfs-4k-badboot.img", "fat16-2k-badboot.img",
        "disk-mbr.img", "disk-gpt.img"] + [n for n, *_ in HOSTILE_IMAGES] + [n for n, *_ in LOST_IMAGES] + [
        "fat16-tail.img", "disk-ext.img"] + [n for n, *_ in NTFS_LOST_IMAGES] + mkexfat.EXFAT_NAMES
    out = [old[n] for n in order if n in old]
    for i in out:
        mark_overwritten(i["deleted"])
    with open(mpath_, "w", encoding="utf-8") as f:
        json.dump({"images": out}, f, ensure_ascii=False, indent=1)
        f.write("\n")
    # drop originals no longer referenced
    used = set()
    for i in out:
        for d in i["deleted"]:
            used.add(os.path.basename(d["original"]))
            for s in d.get("streams", []):
                used.add(os.path.basename(s["original"]))
    for fn in os.listdir(ORIG):
        if fn not in used:
            os.unlink(os.path.join(ORIG, fn))
    log("done")


if __name__ == "__main__":
    main()
