#!/usr/bin/env python3
"""Volumes formatted over an old file system, for the scanners of old records
(src/lost): each was filled by the real file-system implementation with a few
hundred files in nested folders, then formatted again by the real tool
without clearing the data area, as a camera or a quick format does.

    ntfs-reformatted.img   mkntfs, written through ntfs-3g, then mkntfs -Q
    fat32-reformatted.img  mkfs.fat -F 32, written with mtools, then mkfs.fat again
    exfat-reformatted.img  mkfs.exfat, written through exfat-fuse, then mkfs.exfat again

Writes the images (zstd) and lost-manifest.json: every file of the old file
system (image, path, size, the seed its bytes are made from, first cluster
where the tool reports it); the tests make each file's bytes again
from its seed (`content` below).  Needs root, /dev/fuse, loop devices and
the Debian packages ntfs-3g, dosfstools, mtools, exfatprogs, exfat-fuse, zstd.

    sudo tests/images/make-lost-images.py
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
KiB, MiB = 1024, 1024 * 1024
BASE_TIME = 1_600_000_000  # 2020-09-13


def run(cmd, **kw):
    p = subprocess.run(cmd, capture_output=True, **kw)
    if p.returncode != 0:
        raise RuntimeError("command failed: %r\n%s%s" % (cmd, p.stdout.decode(errors="replace"),
                                                        p.stderr.decode(errors="replace")))
    return p.stdout.decode("utf-8", errors="replace")


def fnv1a(text):
    h = 0x811C9DC5
    for b in text.encode("utf-8"):
        h = ((h ^ b) * 0x01000193) & 0xFFFFFFFF
    return h


def content(seed, size):
    """Distinct bytes per file, made again by the tests from the manifest's seed:
    64-byte text lines holding the seed's FNV-1a hash and their own offset, so
    every line of every file differs and the images still compress."""
    h = fnv1a(seed)
    out = bytearray()
    off = 0
    while len(out) < size:
        line = ("%08x %010d lorem ipsum dolor sit amet, consectetur adipiscing" % (h, off))[:63]
        out += line.encode() + b"\n"
        off += 64
    return bytes(out[:size])


def tree(count):
    """(path, size): folders a camera and an office leave, nested three deep, and
    sizes from a few bytes (resident on NTFS) to a few dozen clusters."""
    files = []
    sizes = [37, 700, 1500, 4096, 5000, 9000, 14000]
    for i in range(count):
        if i % 3 == 0:
            folder = "DCIM/100CANON"
            name = "IMG_%04d.JPG" % (1000 + i)
        elif i % 3 == 1:
            folder = "Documents/Reports %d" % (i % 4) if i % 2 else "Documents/Reports 2020/Quarter 3"
            name = "Report number %03d.docx" % i
        else:
            folder = "Music/Été"
            name = "Track %03d – long name.wav" % i
        files.append((folder + "/" + name, sizes[i % len(sizes)] + i))
    return files


def write_files(root, files, entries, image):
    for n, (path, size) in enumerate(files):
        data = content(image + path, size)
        p = os.path.join(root, path)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(data)
        t = BASE_TIME + 3600 * n
        os.utime(p, (t, t))
        entries.append({"image": image, "path": "\\" + path.replace("/", "\\"), "size": size,
                        "seed": image + path, "mtime": t})


class FuseMount:
    def __init__(self, cmd, mnt):
        self.cmd, self.mnt = cmd, mnt

    def __enter__(self):
        os.makedirs(self.mnt, exist_ok=True)
        self.proc = subprocess.Popen(self.cmd + [self.mnt], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(200):
            if os.path.ismount(self.mnt):
                return self.mnt
            time.sleep(0.05)
        raise RuntimeError("mount failed: %r" % self.cmd)

    def __exit__(self, *a):
        os.sync()
        for _ in range(50):
            if subprocess.run(["umount", self.mnt]).returncode == 0:
                break
            time.sleep(0.2)
        self.proc.wait(timeout=60)


class Loop:
    def __init__(self, img):
        self.img = img

    def __enter__(self):
        self.dev = run(["losetup", "-f", "--show", self.img]).strip()
        return self.dev

    def __exit__(self, *a):
        for _ in range(50):
            if subprocess.run(["losetup", "-d", self.dev]).returncode == 0:
                break
            time.sleep(0.2)


def blank(img, size):
    if os.path.exists(img):
        os.unlink(img)
    with open(img, "wb") as f:
        f.truncate(size)


def make_ntfs(work, entries):
    name = "ntfs-reformatted.img"
    img = os.path.join(work, name)
    blank(img, 16 * MiB)
    fmt = ["mkntfs", "-F", "-Q", "-c", "4096", "-L", "OLDNTFS", img]
    run(fmt)
    files = tree(240)
    first = len(entries)
    with FuseMount(["ntfs-3g", "-o", "no_detach", img], os.path.join(work, "mnt-ntfs")) as m:
        write_files(m, files, entries, name)
    for e in entries[first:]:
        e["kind"] = "ntfs"
    run(fmt[:-2] + ["NEWNTFS", img])
    return img


def make_fat32(work, entries):
    name = "fat32-reformatted.img"
    img = os.path.join(work, name)
    blank(img, 40 * MiB)
    fmt = ["mkfs.fat", "--invariant", "-i", "4C4F5354", "-F", "32", "-s", "1", "-n", "OLDFAT", img]
    run(fmt)
    files = tree(240)
    src = os.path.join(work, "src-fat")
    shutil.rmtree(src, ignore_errors=True)
    first = len(entries)
    write_files(src, files, entries, name)
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
    for top in sorted({p.split("/")[0] for p, _ in files}):
        run(["mcopy", "-s", "-m", "-i", img, os.path.join(src, top), "::/"], env=env)
    for e in entries[first:]:
        e["kind"] = "fat"
        out = run(["mshowfat", "-i", img, "::" + e["path"].replace("\\", "/")], env=env)
        m = re.search(r"<(\d+)", out)
        e["first_cluster"] = int(m.group(1)) if m else 0
    fmt[fmt.index("OLDFAT")] = "NEWFAT"
    run(fmt)
    return img


def make_exfat(work, entries):
    name = "exfat-reformatted.img"
    img = os.path.join(work, name)
    blank(img, 24 * MiB)
    files = tree(240)
    first = len(entries)
    with Loop(img) as dev:
        run(["mkfs.exfat", "-c", "4096", "-L", "OLDEXFAT", dev])
        mnt = os.path.join(work, "mnt-exfat")
        os.makedirs(mnt)
        run(["mount.exfat-fuse", dev, mnt])
        try:
            write_files(mnt, files, entries, name)
        finally:
            os.sync()
            for _ in range(50):
                if subprocess.run(["umount", mnt]).returncode == 0:
                    break
                time.sleep(0.2)
        run(["mkfs.exfat", "-c", "4096", "-L", "NEWEXFAT", dev])
    for e in entries[first:]:
        e["kind"] = "exfat"
    return img


def main():
    if os.geteuid() != 0:
        sys.exit("make-lost-images.py needs root (FUSE mounts and loop devices)")
    work = tempfile.mkdtemp(prefix="lost-images-")
    entries = []
    try:
        images = [make_ntfs(work, entries), make_fat32(work, entries), make_exfat(work, entries)]
        for img in images:
            run(["zstd", "-q", "-19", "-f", img, "-o", os.path.join(HERE, os.path.basename(img) + ".zst")])
        with open(os.path.join(HERE, "lost-manifest.json"), "w") as f:
            f.write('{"files": [\n' + ",\n".join(json.dumps(e, ensure_ascii=False) for e in entries) + "\n]}\n")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
