#!/usr/bin/env python3
"""The searched volume is never written, and a failure is never reported as a
recovery: destinations, exit codes, partial files, times, odd volumes.

Environment: RETRIVA (the binary), IMAGES (the unpacked test-images folder).
The cases that mount a file system (FUSE drivers, a small tmpfs) need root and
/dev/fuse; they say so when they skip.
"""
import calendar
import hashlib
import json
import os
import shutil
import stat
import subprocess
import tempfile
import time
import unittest

RETRIVA = os.path.abspath(os.environ.get("RETRIVA", "build/retriva"))
IMAGES = os.path.abspath(os.environ.get("IMAGES", "build/test-images"))
ENV = dict(os.environ, TZ="UTC", LC_ALL="C.UTF-8")
with open(os.path.join(IMAGES, "manifest.json"), encoding="utf-8") as f:
    MANIFEST = {i["name"]: i for i in json.load(f)["images"]}


def run(*args, cwd=None, timeout=120):
    return subprocess.run([RETRIVA, *args], capture_output=True, env=ENV, timeout=timeout, cwd=cwd)


def json_lines(out):
    return [json.loads(line) for line in out.decode("utf-8").splitlines() if line.strip()]


def sha256_file(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def image(name):
    return os.path.join(IMAGES, name)


def files_under(folder):
    return sorted(os.path.join(d, f) for d, _, fs in os.walk(folder) for f in fs)


def can_mount(tool):
    if os.geteuid() != 0:
        return "not root"
    if not os.path.exists("/dev/fuse"):
        return "no /dev/fuse"
    if shutil.which(tool) is None:
        return f"{tool} not installed"
    return None


class Destination(unittest.TestCase):
    def test_empty_destination_is_refused_and_nothing_is_written(self):
        with tempfile.TemporaryDirectory() as cwd:
            p = run("recover", image("fat16-2k.img"), "--to", "", cwd=cwd)
            self.assertEqual(p.returncode, 2, p.stderr)
            self.assertIn(b"empty", p.stderr)
            self.assertEqual(os.listdir(cwd), [])

    def test_refused_destination_leaves_no_folder_behind(self):
        with tempfile.TemporaryDirectory() as tmp:
            deep = os.path.join(tmp, "top", *[f"d{i}" for i in range(20)], "n" * 300)
            p = run("recover", image("fat16-2k.img"), "--to", deep)
            self.assertEqual(p.returncode, 2, p.stderr)
            self.assertEqual(os.listdir(tmp), [])

    def test_unwritable_destination_is_refused_before_the_first_file(self):
        p = run("recover", image("fat16-2k.img"), "--to", "/proc/retriva-cannot-be-here")
        self.assertEqual(p.returncode, 2, p.stderr)
        self.assertEqual(p.stdout, b"")

    def test_relative_destination_is_made_in_the_current_folder(self):
        with tempfile.TemporaryDirectory() as cwd:
            p = run("recover", "--json", image("ntfs-4k.img"), "--to", "rescued/here", cwd=cwd)
            self.assertIn(p.returncode, (0, 1), p.stderr)
            outs = [r["output"] for r in json_lines(p.stdout) if r["output"]]
            self.assertTrue(outs)
            for o in outs:
                self.assertTrue(o.startswith(os.path.join(cwd, "rescued", "here") + "/"), o)


class Results(unittest.TestCase):
    def test_ids_that_name_no_deleted_file_are_errors(self):
        path = image("ntfs-4k.img")
        with tempfile.TemporaryDirectory() as out:
            for ident in ("-1", "999999", "5", "x"):  # 5 is the live root folder
                p = run("recover", path, "--to", out, "--id", ident)
                self.assertEqual(p.returncode, 2, (ident, p.stderr))
                self.assertIn(ident.encode(), p.stderr)
            self.assertEqual(files_under(out), [])

    def test_a_file_with_no_byte_left_is_not_recovered(self):
        for name in ("ntfs-4k.img", "fat16-2k.img"):
            path = image(name)
            listed = json_lines(run("search", "--json", path).stdout)
            victim = next(r for r in listed if r["name"].lower().endswith("ictim-deleted.bin"))
            ident = str(victim["locator"]) if victim["index"] is None else f"{victim['locator']}:{victim['index']}"
            with tempfile.TemporaryDirectory() as out, self.subTest(image=name):
                p = run("recover", path, "--to", out, "--id", ident)
                self.assertEqual(p.returncode, 1, p.stderr)
                self.assertIn(b"victim-deleted.bin", p.stderr.lower())
                self.assertIn(b"0 recovered", p.stdout)
                self.assertIn(b"1 not recovered", p.stdout)
                self.assertEqual(files_under(out), [])

    def test_summary_counts_each_outcome(self):
        path = image("ntfs-4k.img")
        with tempfile.TemporaryDirectory() as out:
            p = run("recover", "--json", path, "--to", out)
            codes = [r["code"] for r in json_lines(p.stdout)]
            text = run("recover", path, "--to", out).stdout.decode()
            self.assertIn(f"{codes.count(776)} recovered, {codes.count(777)} partly overwritten", text)
            self.assertEqual(p.returncode, 0 if all(c in (776, 777) for c in codes) else 1)

    def test_read_errors_leave_no_file(self):
        # Truncated images: clusters past the end cannot be read.
        for name in ("ntfs-4k-truncated.img", "fat32-512-truncated.img"):
            with tempfile.TemporaryDirectory() as out, self.subTest(image=name):
                p = run("recover", "--json", image(name), "--to", out)
                if p.returncode == 2:  # refused as a whole: clusters are cut off
                    self.assertEqual(files_under(out), [])
                    continue
                results = json_lines(p.stdout)
                self.assertTrue(any(r["code"] == 778 for r in results), results)
                outputs = sorted(r["output"] for r in results if r["code"] in (776, 777))
                self.assertTrue(all(r["output"] is None for r in results if r["code"] not in (776, 777)))
                self.assertEqual(files_under(out), outputs)
                self.assertEqual(p.returncode, 1)

    def test_modification_time_is_the_stored_time_to_the_second(self):
        for name in ("ntfs-4k.img", "fat16-2k.img"):
            wanted = {d["path"].lower(): d["mtime"] for d in MANIFEST[name]["deleted"]}
            with tempfile.TemporaryDirectory() as out, self.subTest(image=name):
                checked = 0
                for r in json_lines(run("recover", "--json", image(name), "--to", out).stdout):
                    src = r["source"].lower()
                    if r["code"] != 776 or src not in wanted:
                        continue
                    got = os.stat(r["output"]).st_mtime
                    want = calendar.timegm(time.strptime(wanted[src], "%Y-%m-%dT%H:%M:%SZ"))
                    self.assertEqual(int(got), want, r["source"])
                    checked += 1
                self.assertGreater(checked, 2)


class Listing(unittest.TestCase):
    def test_modified_is_the_stored_time_to_the_second(self):
        for name, suffix in (("ntfs-4k.img", "Z"), ("fat16-2k.img", "")):
            wanted = {d["path"].lower(): d["mtime"] for d in MANIFEST[name]["deleted"]}
            listed = json_lines(run("search", "--json", image(name)).stdout)
            checked = 0
            for r in listed:
                path = (r["folder"] + r["name"]).lower()
                if path in wanted:
                    # The test volumes were written with TZ=UTC, so FAT's local time reads as UTC here.
                    self.assertEqual(r["modified"], wanted[path][:-1] + suffix, path)
                    checked += 1
            self.assertGreater(checked, 2, name)


class Holes(unittest.TestCase):
    def test_holes_of_a_sparse_file_stay_holes(self):
        # 24 MiB in 2 MiB clusters, 3 of them stored.
        name = "ntfs-2m.img"
        d = next(x for x in MANIFEST[name]["deleted"] if x["path"] == "\\sparse-deleted.bin")
        listed = json_lines(run("search", "--json", image(name)).stdout)
        rec = next(r for r in listed if r["name"] == "sparse-deleted.bin")
        with tempfile.TemporaryDirectory() as out:
            p = run("recover", "--json", image(name), "--to", out, "--id", str(rec["locator"]))
            r = json_lines(p.stdout)[0]
            self.assertEqual(r["code"], 776)
            st = os.stat(r["output"])
            self.assertEqual(st.st_size, d["size"])
            self.assertLessEqual(st.st_blocks * 512, 8 << 20)
            self.assertEqual(sha256_file(r["output"]), d["sha256"])


class BigSparse(unittest.TestCase):
    """ntfs-big-sparse.img (tests/images/make-big-sparse.sh): one deleted 4.25 GiB sparse file."""
    SIZE = (4 << 30) + (256 << 20)

    def test_a_file_over_4_gib_keeps_its_size_bytes_and_holes(self):
        path = image("ntfs-big-sparse.img")
        if not os.path.exists(path):
            self.skipTest("ntfs-big-sparse.img not unpacked")
        listed = json_lines(run("search", "--json", path).stdout)
        self.assertEqual(len(listed), 1)
        self.assertEqual(listed[0]["size"], self.SIZE)
        self.assertEqual(listed[0]["modified"], "2023-11-14T22:13:25Z")
        self.assertEqual(listed[0]["recoverable"], 100)
        self.assertIn(b"4563402752", run("search", path).stdout)
        with tempfile.TemporaryDirectory() as out:
            r = json_lines(run("recover", "--json", path, "--to", out).stdout)[0]
            self.assertEqual(r["code"], 776)
            st = os.stat(r["output"])
            self.assertEqual(st.st_size, self.SIZE)
            self.assertLessEqual(st.st_blocks * 512, 1 << 20)
            self.assertEqual(int(st.st_mtime), 1700000005)
            with open(r["output"], "rb") as f:
                self.assertEqual(f.read(65536), bytes((i * 7) & 255 for i in range(65536)))
                self.assertEqual(f.read(65536), bytes(65536))
                f.seek((4 << 30) + (1 << 20))
                self.assertEqual(f.read(65536), bytes((i * 13 + 5) & 255 for i in range(65536)))
                f.seek(self.SIZE - 4096)
                self.assertEqual(f.read(), bytes(4096))


class DaylightSaving(unittest.TestCase):
    """ntfs-dst.img (tests/images/make-dst-times.sh): times in the hour that repeats in New York."""

    def test_times_come_back_exactly_in_the_repeated_hour(self):
        path = image("ntfs-dst.img")
        if not os.path.exists(path):
            self.skipTest("ntfs-dst.img not unpacked")
        env = dict(ENV, TZ="America/New_York")
        want = {"edt.txt": 1699162207 * 10**9, "est.txt": 1699165807 * 10**9, "seconds.txt": 1675141567500000000}
        with tempfile.TemporaryDirectory() as out:
            p = subprocess.run([RETRIVA, "recover", "--json", path, "--to", out], capture_output=True, env=env)
            results = json_lines(p.stdout)
            self.assertEqual(len(results), 3, p.stderr)
            for r in results:
                name = os.path.basename(r["output"])
                self.assertEqual(os.stat(r["output"]).st_mtime_ns, want[name], name)
        listed = json_lines(subprocess.run([RETRIVA, "search", "--json", path], capture_output=True, env=env).stdout)
        times = {r["name"]: (r["time"], r["modified"]) for r in listed}
        # The contract's minute text is local and the same for both; "modified" tells them apart.
        self.assertEqual(times["edt.txt"], ("11/05/2023 01:30", "2023-11-05T05:30:07Z"))
        self.assertEqual(times["est.txt"], ("11/05/2023 01:30", "2023-11-05T06:30:07Z"))


class Verbose(unittest.TestCase):
    def test_damaged_records_and_entries_are_named_with_where_they_are(self):
        # A deleted record whose update sequence no longer checks (a torn write).
        d = next(x for x in MANIFEST["ntfs-4k.img"]["deleted"] if x["path"] == "\\notes-deleted.txt")
        with tempfile.TemporaryDirectory() as tmp:
            img = os.path.join(tmp, "torn.img")
            shutil.copyfile(image("ntfs-4k.img"), img)
            with open(img, "r+b") as f:
                boot = f.read(512)
                bpc = int.from_bytes(boot[11:13], "little") * boot[13]
                mft = int.from_bytes(boot[0x30:0x38], "little") * bpc
                at = mft + d["mft_record"] * 1024 + 510  # the first sector's last two bytes
                f.seek(at)
                f.write(b"\xde\xad")
            p = run("search", "--verbose", img)
            self.assertIn(f"MFT record {d['mft_record']}".encode(), p.stderr)
            self.assertIn(b"update sequence", p.stderr)
            self.assertNotIn(f"MFT record {d['mft_record']}".encode(), run("search", img).stderr)
        p = run("search", "--verbose", image("fat16-lost.img"))
        self.assertIn(b"passed over FAT entry", p.stderr)
        self.assertIn(b"\\DAMAGED\\", p.stderr)
        self.assertNotIn(b"Volume{", p.stderr)


class Volumes(unittest.TestCase):
    def test_fifo_socket_and_character_devices_are_refused_at_once(self):
        with tempfile.TemporaryDirectory() as tmp:
            fifo = os.path.join(tmp, "fifo")
            os.mkfifo(fifo)
            for v in (fifo, "/dev/null", "/dev/zero", tmp):
                p = run("info", v, timeout=20)
                self.assertEqual(p.returncode, 2, v)
                self.assertIn(b"not a disk", p.stderr)


class FullDestination(unittest.TestCase):
    def test_a_full_destination_is_785_and_leaves_no_partial_file(self):
        if os.geteuid() != 0:
            self.skipTest("mounting a small tmpfs needs root")
        with tempfile.TemporaryDirectory() as mnt:
            if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=96k", "tmpfs", mnt]).returncode != 0:
                self.skipTest("cannot mount a tmpfs here")
            try:
                p = run("recover", "--json", image("ntfs-4k.img"), "--to", mnt)
                results = json_lines(p.stdout)
                codes = [r["code"] for r in results]
                self.assertIn(785, codes)
                self.assertEqual(p.returncode, 1)
                outputs = sorted(r["output"] for r in results if r["code"] in (776, 777))
                self.assertEqual(files_under(mnt), outputs)
                self.assertIn(b"too little free space", p.stderr)
            finally:
                subprocess.run(["umount", mnt])


class SameVolume(unittest.TestCase):
    """A destination on a file system mounted from the searched image, whatever
    name the FUSE driver gives the mount's source."""

    def mounted(self, tool, args, img_name):
        why = can_mount(tool)
        if why:
            self.skipTest(f"mounting with {tool} needs root, /dev/fuse and {tool}: {why}")
        tmp = tempfile.mkdtemp()
        img = os.path.join(tmp, "copy.img")
        shutil.copyfile(image(img_name), img)
        mnt = os.path.join(tmp, "mnt")
        os.mkdir(mnt)
        if subprocess.run([tool, *args(img, mnt)], capture_output=True).returncode != 0:
            shutil.rmtree(tmp)
            self.skipTest(f"{tool} could not mount the image here")
        self.addCleanup(shutil.rmtree, tmp, True)
        self.addCleanup(subprocess.run, ["fusermount", "-u", mnt], capture_output=True)
        return img, mnt

    def check_refused(self, img, mnt):
        before = json_lines(run("search", "--json", img).stdout)
        p = run("recover", img, "--to", os.path.join(mnt, "rescued"))
        self.assertEqual(p.returncode, 2, p.stderr)
        self.assertIn(b"volume being searched", p.stderr)
        self.assertFalse(os.path.exists(os.path.join(mnt, "rescued")))
        subprocess.run(["sync"])
        self.assertEqual(json_lines(run("search", "--json", img).stdout), before)

    def test_fusefat_mount_is_refused(self):
        # fusefat names its mount's source "fusefat", not the image.
        img, mnt = self.mounted("fusefat", lambda i, m: ["-o", "rw+", i, m], "fat16-2k.img")
        self.check_refused(img, mnt)

    def test_ntfs3g_mount_is_refused(self):
        img, mnt = self.mounted("ntfs-3g", lambda i, m: [i, m], "ntfs-4k.img")
        self.check_refused(img, mnt)


if __name__ == "__main__":
    unittest.main(verbosity=2)
