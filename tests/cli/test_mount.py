#!/usr/bin/env python3
"""retriva mount through real FUSE mounts: the listing and bytes against
`retriva recover --keep-folders` and the manifest of the NTFS, FAT and exFAT
test volumes, times against stat, many readers at once, writes refused, and
a clean unmount on SIGTERM. Skipped, saying why, where /dev/fuse or
fusermount3 is missing."""
import errno
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from datetime import datetime, timezone

RETRIVA = os.environ["RETRIVA"]
IMAGES = os.environ["IMAGES"]
ENV = dict(os.environ, TZ="UTC", LC_ALL="C.UTF-8")
VOLUMES = ["ntfs-4k.img", "ntfs-64k.img", "fat32-4k.img", "fat16-2k.img", "exfat-4k.img", "exfat-512.img"]
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class Mount:
    def __init__(self, image, extra=()):
        self.dir = tempfile.mkdtemp(prefix="retriva-mount-")
        self.point = os.path.join(self.dir, "mnt")
        os.mkdir(self.point)
        self.proc = subprocess.Popen([RETRIVA, "mount", image, self.point, *extra], env=ENV,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.banner = self.proc.stdout.readline()
        for _ in range(100):
            if os.path.ismount(self.point) or self.proc.poll() is not None:
                break
            time.sleep(0.05)

    def files(self):
        out = {}
        for root, _, names in os.walk(self.point):
            for n in names:
                full = os.path.join(root, n)
                out["\\" + os.path.relpath(full, self.point).replace("/", "\\")] = full
        return out

    def close(self):
        if os.path.ismount(self.point):
            subprocess.run(["fusermount3", "-u", self.point])
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
        shutil.rmtree(self.dir, ignore_errors=True)


def manifest():
    with open(os.path.join(IMAGES, "manifest.json")) as f:
        return {i["name"]: i for i in json.load(f)["images"]}


def check_volume(name, meta):
    image = os.path.join(IMAGES, name)
    out = tempfile.mkdtemp(prefix="retriva-recovered-")
    rec = subprocess.run([RETRIVA, "recover", image, "--to", out, "--keep-folders", "--json", "-q"], env=ENV,
                         capture_output=True, text=True)
    recovered = {}
    for line in rec.stdout.splitlines():
        r = json.loads(line)
        if r["output"]:
            recovered[r["source"]] = r["output"]
    m = Mount(image)
    try:
        check(os.path.ismount(m.point), f"{name}: mounted ({m.banner.strip()} {m.proc.stderr.read() if m.proc.poll() is not None else ''})")
        check("fusermount3 -u" in m.banner, f"{name}: the banner says how to unmount")
        listed = m.files()
        # Every recovered file is in the mount with the same bytes.
        same = 0
        for source, output in recovered.items():
            path = listed.get(source)
            check(path is not None, f"{name}: {source} listed in the mount")
            if path:
                ok = sha256(path) == sha256(output)
                check(ok, f"{name}: {source} reads as recovered")
                same += ok
        check(same >= 5, f"{name}: at least five files compared ({same})")
        # Originals whose clusters are intact read back whole, with their times.
        for d in meta["deleted"]:
            path = listed.get(d["path"])
            if not path or d.get("reused") or d.get("overwritten"):
                continue
            # A fragmented FAT or exFAT file whose chain is gone comes back guessed.
            kinds = d.get("kinds", [])
            if meta["fs"] != "NTFS" and "fragmented" in kinds and "chain-kept" not in kinds:
                continue
            check(sha256(path) == d["sha256"], f"{name}: {d['path']} against the manifest")
            want = datetime.strptime(d["mtime"], "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=timezone.utc).timestamp()
            st = os.stat(path)
            check(abs(st.st_mtime - want) < 2.01, f"{name}: {d['path']} mtime {st.st_mtime} vs {want}")
            check(st.st_mode & 0o7777 == 0o444 and st.st_uid == os.getuid(), f"{name}: {d['path']} 0444, ours")
        for root, dirs, _ in os.walk(m.point):
            for dname in dirs:
                check(os.stat(os.path.join(root, dname)).st_mode & 0o7777 == 0o555, f"{name}: folder {dname} 0555")
        some = next(iter(listed.values()))
        check(os.getxattr(some, "user.retriva.id"), f"{name}: id attribute")
        check(os.getxattr(some, "user.retriva.guessed") in (b"true", b"false"), f"{name}: guessed attribute")
        check(int(os.getxattr(some, "user.retriva.recoverable")) in range(0, 101), f"{name}: recoverable attribute")
    finally:
        m.close()
        shutil.rmtree(out, ignore_errors=True)


def check_readers_writes_and_sigterm():
    image = os.path.join(IMAGES, "ntfs-4k.img")
    m = Mount(image)
    try:
        listed = m.files()
        expected = {p: sha256(p) for p in listed.values()}
        bad = []

        def reader(k):
            for _ in range(3):
                for p in sorted(expected)[k % 3::1]:
                    h = hashlib.sha256()
                    with open(p, "rb", buffering=0) as f:
                        while True:
                            b = f.read(4093 + 512 * k)
                            if not b:
                                break
                            h.update(b)
                    if h.hexdigest() != expected[p]:
                        bad.append(p)

        threads = [threading.Thread(target=reader, args=(k,)) for k in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        check(not bad, f"parallel readers: {len(bad)} mismatches")
        some = next(iter(listed.values()))
        for what, call in [("write", lambda: open(some, "r+b")), ("create", lambda: open(os.path.join(m.point, "new"), "wb")),
                           ("mkdir", lambda: os.mkdir(os.path.join(m.point, "d"))), ("unlink", lambda: os.unlink(some)),
                           ("rename", lambda: os.rename(some, some + ".x")), ("chmod", lambda: os.chmod(some, 0o644)),
                           ("setxattr", lambda: os.setxattr(some, "user.x", b"1")), ("truncate", lambda: os.truncate(some, 0)),
                           ("utime", lambda: os.utime(some, (0, 0)))]:
            try:
                call()
                check(False, f"{what} refused")
            except OSError as e:
                check(e.errno in (errno.EROFS, errno.EACCES, errno.EPERM), f"{what} refused with EROFS ({e})")
                check(e.errno == errno.EROFS or what in ("chmod", "utime"), f"{what}: EROFS, not {errno.errorcode.get(e.errno)}")
        m.proc.send_signal(signal.SIGTERM)
        code = m.proc.wait(timeout=10)
        check(code == 0, f"SIGTERM: exit 0 (got {code})")
        check(not os.path.ismount(m.point), "SIGTERM: unmounted")
    finally:
        m.close()


def check_refusals():
    image = os.path.join(IMAGES, "ntfs-4k.img")
    r = subprocess.run([RETRIVA, "mount", image, "/nonexistent/mnt"], env=ENV, capture_output=True, text=True)
    check(r.returncode == 2, f"a missing mount point is refused (exit {r.returncode}, {r.stderr.strip()})")


def recovered_deep(image, out):
    """What recover --deep --keep-folders writes, by volume path."""
    subprocess.run([RETRIVA, "recover", image, "--deep", "--to", out, "--keep-folders", "-q"], env=ENV, check=True)
    recovered = {}
    for root, _, names in os.walk(out):
        for n in names:
            full = os.path.join(root, n)
            recovered["\\" + os.path.relpath(full, out).replace("/", "\\")] = sha256(full)
    return recovered


def check_deep():
    """--deep: carved files read in place, where the deleted entry they are
    names them, else under $Carved/<ext>/, as recover --deep writes them;
    the old file system's files that no carved file is (NTFS resident data)
    read as recover --deep writes them, under their names."""
    # Old records: resident NTFS data no carved file is; a reformatted FAT32
    # volume's 240 files, none of a format the scan carves.
    old_records = {"deep-ntfs.img": 4, "fat32-reformatted.img": 240}
    for name in ("deep-fat16-deleted.img", *old_records):
        image = os.path.join(IMAGES, name)
        if not os.path.exists(image):
            continue
        out = tempfile.mkdtemp(prefix="retriva-recovered-")
        recovered = recovered_deep(image, out)
        m = Mount(image, ["--deep"])
        try:
            check(os.path.ismount(m.point), f"deep {name}: mounted ({m.banner.strip()})")
            listed = m.files()
            check({k: sha256(v) for k, v in listed.items()} == recovered, f"deep {name}: the mount reads as recover "
                  f"--deep --keep-folders writes ({sorted(listed)} vs {sorted(recovered)})")
            ids = [os.getxattr(p, "user.retriva.id") for p in listed.values()]
            if name in old_records:
                old = [i for i in ids if i.startswith(b"old:")]
                check(len(old) >= old_records[name], f"deep {name}: old records no carved file is are shown "
                      f"({len(old)})")
                continue
            carved = [i for i in ids if i.startswith(b"deep:")]
            rows = subprocess.run([RETRIVA, "search", image, "--deep", "--json"], env=ENV, capture_output=True).stdout
            want = sum(1 for l in rows.decode().splitlines() if json.loads(l).get("carved"))
            check(len(carved) == want, f"deep {name}: the files search --deep lists as carved are carved "
                  f"({len(carved)} of {want})")
        finally:
            m.close()
            shutil.rmtree(out, ignore_errors=True)
    # Without a file system every file is carved, under $Carved/<ext>/.
    work = tempfile.mkdtemp(prefix="retriva-wiped-")
    try:
        wiped = os.path.join(work, "wiped.img")
        shutil.copyfile(os.path.join(IMAGES, "deep-fat32.img"), wiped)
        with open(wiped, "r+b") as f:
            f.write(bytes(1 << 19))
        here = os.path.dirname(os.path.abspath(__file__))
        with open(os.path.join(here, "..", "images", "deep-manifest.json")) as f:
            want = {e["sha256"] for e in json.load(f)["files"] if not e["decoy"]}
        m = Mount(wiped, ["--deep"])
        try:
            listed = m.files()
            check(all(k.startswith("\\$Carved\\") for k in listed), f"deep: carved files under $Carved ({sorted(listed)})")
            check({sha256(p) for p in listed.values()} == want, "deep: every whole file reads back byte for byte")
        finally:
            m.close()
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    if not os.path.exists("/dev/fuse"):
        print("SKIP: /dev/fuse is missing: no FUSE mounts on this machine")
        return 0
    if not shutil.which("fusermount3"):
        print("SKIP: fusermount3 is missing (apt-get install fuse3)")
        return 0
    probe = subprocess.run([RETRIVA, "mount", "--help"], capture_output=True, text=True)
    if probe.returncode != 0:
        print("SKIP: retriva was built without FUSE")
        return 0
    meta = manifest()
    for name in VOLUMES:
        if os.path.exists(os.path.join(IMAGES, name)):
            check_volume(name, meta[name])
    check_readers_writes_and_sigterm()
    check_refusals()
    check_deep()
    print("failures:", len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
