#!/usr/bin/env python3
"""Disk images in containers (E01, VHD, VHDX, VMDK, QCOW2) read as volumes.

Each container is made at test time from a raw test volume or disk with the
real tools (qemu-img from qemu-utils, ewfacquire from ewf-tools); searching
and recovering through it must give exactly what the raw image gives.
Damaged and cut-short containers get a clear refusal, never a crash.

Environment: RETRIVA (the binary), IMAGES (the unpacked test-images folder);
for the Windows build RETRIVA_WRAPPER, tests/wine-run.sh, which runs
retriva.exe under Wine and hands Unix paths over as Z: paths. Every run
there pays for a Wine process, so fewer containers and damages are tried:
still every format and every kind the tools write.
"""
import functools
import hashlib
import json
import os
import shutil
import subprocess
import tempfile
import unittest

RETRIVA = os.path.abspath(os.environ.get("RETRIVA", "build/retriva"))
IMAGES = os.path.abspath(os.environ.get("IMAGES", "build/test-images"))
ENV = dict(os.environ, TZ="UTC", LC_ALL="C.UTF-8")

WRAPPER = os.environ.get("RETRIVA_WRAPPER")
VOLUMES = ["ntfs-4k.img"] if WRAPPER else ["ntfs-4k.img", "ntfs-4kn.img", "fat32-512.img"]
DISKS = ["disk-mbr.img"] if WRAPPER else ["disk-mbr.img", "disk-gpt.img"]
# qemu-img output formats (and options) with the name retriva reports.
QEMU_FORMATS = [
    ("vpc", [], "VHD"),
    ("vpc", ["-o", "subformat=fixed"], "VHD"),
    ("vhdx", [], "VHDX"),
    ("vmdk", [], "VMDK"),
    ("vmdk", ["-o", "subformat=twoGbMaxExtentSparse"], "VMDK"),
    ("qcow2", [], "QCOW2"),
    ("qcow2", ["-c"], "QCOW2"),
]
FORMAT_NAMES = {"VHD", "VHDX", "VMDK", "QCOW2", "E01"}


def run(*args, timeout=300):
    command = [WRAPPER, RETRIVA] if WRAPPER else [RETRIVA]
    return subprocess.run([*command, *args], capture_output=True, env=ENV, timeout=timeout)


def shown(path):
    """A Unix path as the program names it (Z:\\... under Wine)."""
    return "Z:" + path.replace("/", "\\") if WRAPPER else path


def unix_path(path):
    """A path the program printed, as this test opens it."""
    if WRAPPER and path.startswith("Z:\\"):
        return path[2:].replace("\\", "/")
    return path


def info_json(path, *extra):
    p = run("info", "--json", *extra, path)
    return p.returncode, json.loads(p.stdout) if p.stdout.strip() else None


def built_in():
    """The container formats this retriva reads (info lists those it lacks)."""
    p = run("info", "--json", os.path.join(IMAGES, VOLUMES[0]))
    return FORMAT_NAMES - set(json.loads(p.stdout)["image_formats_not_built_in"])


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def search_json(path, *extra):
    p = run("search", "--json", *extra, path)
    return p.returncode, p.stdout, p.stderr.decode(errors="replace")


def recover_all(path, dest, *extra):
    """{source: (code, sha256 of the output or None)} of recovering every file."""
    p = run("recover", "--json", *extra, path, "--to", dest)
    out = {}
    for line in p.stdout.decode().splitlines():
        r = json.loads(line)
        if "unreadable" in r:
            continue  # the closing object of a listing known to be short
        out[r["source"]] = (r["code"], sha256(unix_path(r["output"])) if r["output"] else None)
    return p.returncode, out


@functools.lru_cache(maxsize=None)
def raw_info(raw):
    return info_json(raw)


@functools.lru_cache(maxsize=None)
def raw_results(raw, extra):
    """search_json and recover_all of a raw image, each done once."""
    with tempfile.TemporaryDirectory() as dest:
        return search_json(raw, *extra), recover_all(raw, dest, *extra)


class Containers(unittest.TestCase):
    """Containers of every format and of every kind the tools write."""

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="retriva-containers-")
        cls.formats = built_in()
        cls.made = []  # (container path, raw path, format name)
        missing = [t for t in ("qemu-img", "ewfacquire") if shutil.which(t) is None]
        cls.skipped = missing
        if "qemu-img" not in missing:
            for raw in VOLUMES + DISKS:
                for n, (fmt, opts, name) in enumerate(QEMU_FORMATS):
                    if name not in cls.formats:
                        continue
                    if WRAPPER and raw in DISKS and fmt != "vhdx":
                        continue  # under Wine the disk goes in one of them (and the E01 set)
                    # A neutral extension: the format is known by its content.
                    out = os.path.join(cls.work, f"{n}-{raw}.{fmt}")
                    subprocess.run(["qemu-img", "convert", "-O", fmt, *opts, os.path.join(IMAGES, raw), out],
                                   check=True, capture_output=True)
                    cls.made.append((out, os.path.join(IMAGES, raw), name))
        if "ewfacquire" not in missing and "E01" in cls.formats:
            for raw in VOLUMES + DISKS:
                # Compressed chunks for the volumes, 1 MiB segments (a set of
                # .E01, .E02, ...) for the disks.
                target = os.path.join(cls.work, "ewf-" + raw)
                opts = ["-S", str(1 << 20)] if raw in DISKS else ["-c", "deflate:fast"]
                subprocess.run(["ewfacquire", "-u", "-q", "-t", target, *opts, os.path.join(IMAGES, raw)],
                               check=True, capture_output=True, stdin=subprocess.DEVNULL)
                cls.made.append((target + ".E01", os.path.join(IMAGES, raw), "E01"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def setUp(self):
        if self.skipped:
            print(f"\nnote: {', '.join(self.skipped)} not installed (qemu-utils, ewf-tools): "
                  "those containers are not tested")
        if not self.made:
            self.skipTest("no container could be made (tools missing or formats not built in)")

    def volumes(self):
        return [m for m in self.made if os.path.basename(m[1]) in VOLUMES]

    def disks(self):
        return [m for m in self.made if os.path.basename(m[1]) in DISKS]

    def test_split_e01_has_several_segments(self):
        segments = [f for f in os.listdir(self.work) if f.startswith("ewf-disk-mbr.img.E")]
        if "E01" in self.formats and shutil.which("ewfacquire"):
            self.assertGreater(len(segments), 10)

    def test_info_names_the_format_and_the_same_facts(self):
        for path, raw, name in self.made:
            with self.subTest(container=os.path.basename(path)):
                code, j = info_json(path)
                want_code, want = raw_info(raw)
                self.assertEqual(code, want_code)
                self.assertEqual(j["image_format"], name)
                self.assertEqual(want["image_format"], "raw")
                for k in ("file_system", "label", "sector_size", "cluster_size", "cluster_count", "free_clusters",
                          "partition_table", "partitions", "supported"):
                    self.assertEqual(j[k], want[k], k)
                text = run("info", path).stdout.decode()
                self.assertIn(f"Image format:  {name}", text)

    def test_search_and_every_recovered_file_match_the_raw_image(self):
        for path, raw, name in self.volumes():
            with self.subTest(container=os.path.basename(path)):
                self.assert_same_as_raw(path, raw, [])

    def test_each_partition_of_a_disk_matches_the_raw_disk(self):
        for path, raw, name in self.disks():
            _, j = info_json(raw)
            self.assertGreaterEqual(len(j["partitions"]), 1)
            for p in j["partitions"]:
                with self.subTest(container=os.path.basename(path), partition=p["number"]):
                    self.assert_same_as_raw(path, raw, ["--partition", str(p["number"])])
            # --offset reaches the same volume, and a whole disk is refused
            # for a search exactly as the raw disk is.
            first = j["partitions"][0]
            with self.subTest(container=os.path.basename(path), offset=first["start"]):
                self.assertEqual(search_json(path, "--offset", str(first["start"]))[:2],
                                 search_json(raw, "--partition", str(first["number"]))[:2])
                self.assertEqual(search_json(path)[0], 2)
                code, _ = info_json(path, "--offset", str(10 ** 12))
                self.assertEqual(code, 2)

    def assert_same_as_raw(self, path, raw, extra):
        code, out, err = search_json(path, *extra)
        (want_code, want_out, _), (want_recover_code, want) = raw_results(raw, tuple(extra))
        self.assertEqual(code, want_code, err)
        self.assertEqual(out, want_out)
        self.assertGreater(len(out.splitlines()), 0)
        with tempfile.TemporaryDirectory() as a:
            got_code, got = recover_all(path, a, *extra)
            self.assertEqual(got_code, want_recover_code)
            self.assertEqual(got, want)
            self.assertTrue(any(c == 776 for c, _ in got.values()))

    def test_renamed_containers_are_known_by_their_content(self):
        # A sparse VMDK names itself inside; a copy under another name must
        # still read its own bytes.
        for path, raw, name in self.volumes()[:len(QEMU_FORMATS) + 1]:
            if "twoGb" in path:
                continue
            with self.subTest(container=os.path.basename(path)):
                if name == "E01":
                    continue  # its segments are found by their names
                other = os.path.join(self.work, "renamed.bin")
                shutil.copyfile(path, other)
                try:
                    self.assertEqual(search_json(other)[:2], search_json(raw)[:2])
                    self.assertEqual(info_json(other)[1]["image_format"], name)
                finally:
                    os.unlink(other)


class Damaged(unittest.TestCase):
    """Cut-short, patched and incomplete containers: a clear refusal (exit
    2), or the parts that can be read, never a crash or a hang; a file that
    cannot be read whole is not reported recovered."""

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="retriva-damaged-")
        cls.raw = os.path.join(IMAGES, "ntfs-4k.img")
        cls.containers = {}
        formats = built_in()
        if shutil.which("qemu-img"):
            for fmt, name in (("vpc", "VHD"), ("vhdx", "VHDX"), ("vmdk", "VMDK"), ("qcow2", "QCOW2")):
                if name in formats:
                    out = os.path.join(cls.work, "whole." + fmt)
                    subprocess.run(["qemu-img", "convert", "-O", fmt, cls.raw, out], check=True, capture_output=True)
                    cls.containers[name] = out
        if shutil.which("ewfacquire") and "E01" in formats:
            target = os.path.join(cls.work, "split")
            subprocess.run(["ewfacquire", "-u", "-q", "-t", target, "-S", str(1 << 20), cls.raw],
                           check=True, capture_output=True, stdin=subprocess.DEVNULL)
            cls.containers["E01"] = target + ".E01"

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def setUp(self):
        if not self.containers:
            self.skipTest("qemu-img and ewfacquire missing (qemu-utils, ewf-tools), or no format built in")

    def check_never_crashes(self, path):
        p = run("search", "--json", path, timeout=120)
        self.assertIn(p.returncode, (0, 2), p.stderr)
        if p.returncode == 2:
            err = p.stderr.decode()
            self.assertEqual(len(err.strip().splitlines()), 1, err)
            self.assertIn(shown(path), err)
        with tempfile.TemporaryDirectory() as dest:
            p = run("recover", "--json", path, "--to", dest, timeout=120)
            self.assertIn(p.returncode, (0, 1, 2), p.stderr)
            return p

    def originals(self):
        with tempfile.TemporaryDirectory() as dest:
            return recover_all(self.raw, dest)[1]

    def test_cut_short_containers(self):
        want = self.originals()
        for name, path in self.containers.items():
            size = os.path.getsize(path)
            for keep in (600, size // 2) if WRAPPER else (600, size // 10, size // 2, size - 1000):
                with self.subTest(format=name, keep=keep):
                    cut = os.path.join(self.work, f"cut-{keep}-" + os.path.basename(path))
                    with open(path, "rb") as f, open(cut, "wb") as g:
                        g.write(f.read(keep))
                    p = self.check_never_crashes(cut)
                    if keep == 600:
                        # Nothing but the header: refused before any search.
                        self.assertEqual(p.returncode, 2)
                        self.assertIn(name, p.stderr.decode())
                    # Whatever is reported recovered is the original file:
                    # a missing part of the container is an unreadable
                    # sector, never zeros.
                    with tempfile.TemporaryDirectory() as dest:
                        _, got = recover_all(cut, dest)
                    for source, (code, digest) in got.items():
                        if code == 776:
                            self.assertEqual(digest, want[source][1], source)
                    if name == "QCOW2":
                        # Data clusters past the cut are found before the
                        # library is given the file (it would read past
                        # its buffer for the one cut through).
                        self.assertEqual(p.returncode, 2)
                        self.assertIn("past the end of the file", p.stderr.decode())
                    os.unlink(cut)

    def test_a_cut_sparse_container_says_what_it_lost(self):
        """A VMDK cut short loses grains anywhere on the disk: a folder whose
        clusters are gone is named on stderr and in the JSON stream's closing
        object and makes the search exit 1; a file's recoverable share counts
        its cut-off clusters as lost, so a file listed whole comes back whole,
        one listed partly comes back with '*' there, and none listed 0 %."""
        if "VMDK" not in built_in() or not shutil.which("qemu-img"):
            self.skipTest("no VMDK support or no qemu-img")
        cases = (("exfat-4k.img", True), ("fat32-4k.img", False), ("ntfs-4k.img", False))
        for raw, folders_lost in cases[:1] if WRAPPER else cases:
            with self.subTest(volume=raw):
                whole = os.path.join(self.work, raw + ".vmdk")
                subprocess.run(["qemu-img", "convert", "-O", "vmdk", os.path.join(IMAGES, raw), whole],
                               check=True, capture_output=True)
                cut = whole + ".cut"
                with open(whole, "rb") as f, open(cut, "wb") as g:
                    g.write(f.read(os.path.getsize(whole) * 2 // 3))
                with tempfile.TemporaryDirectory() as dest:
                    want = recover_all(os.path.join(IMAGES, raw), dest)[1]
                rc, out, err = search_json(cut)
                lines = [json.loads(l) for l in out.decode().splitlines()]
                files = [j for j in lines if "unreadable" not in j]
                closing = [j for j in lines if "unreadable" in j]
                if folders_lost:
                    self.assertEqual(rc, 1, err)
                    self.assertIn("could not read", err)
                    self.assertEqual(len(closing), 1)
                    self.assertIs(lines[-1], closing[0])
                    self.assertGreaterEqual(closing[0]["unreadable"], 1)
                    self.assertEqual(len(closing[0]["unreadable_at"]), closing[0]["unreadable"])
                    self.assertIn("cluster", closing[0]["unreadable_at"][0])
                else:
                    self.assertEqual(closing, [])
                share = {j["folder"] + j["name"]: j["recoverable"] for j in files}
                self.assertLess(min(share.values()), 100, "the cut should take some file's clusters")
                with tempfile.TemporaryDirectory() as dest:
                    _, got = recover_all(cut, dest)
                for source, (code, digest) in got.items():
                    percent = share[source]
                    if percent == 100:
                        self.assertEqual((code, digest), (776, want[source][1]), source)
                    elif percent == 0:
                        self.assertEqual(code, 778, source)
                    else:
                        self.assertEqual(code, 777, source)
                os.unlink(cut)

    def test_patched_headers(self):
        for name, path in self.containers.items():
            with open(path, "rb") as f:
                data = f.read()
            for at in range(8, 512, 168 if WRAPPER else 24):
                with self.subTest(format=name, at=at):
                    bad = os.path.join(self.work, "patched-" + os.path.basename(path))
                    with open(bad, "wb") as f:
                        f.write(data[:at] + b"\xff\xff\xff\xff" + data[at + 4:])
                    self.check_never_crashes(bad)
                    os.unlink(bad)

    def test_a_missing_e01_segment_is_refused(self):
        if "E01" not in self.containers:
            self.skipTest("no E01")
        first = self.containers["E01"]
        gone = first[:-2] + "03"
        self.assertTrue(os.path.exists(gone))
        saved = gone + ".saved"
        os.rename(gone, saved)
        try:
            p = run("info", first)
            self.assertEqual(p.returncode, 2)
            self.assertIn("E01", p.stderr.decode())
        finally:
            os.rename(saved, gone)
        self.assertEqual(run("info", first).returncode, 0)

    def test_a_corrupt_e01_chunk_is_unreadable_not_wrong(self):
        if "E01" not in self.containers:
            self.skipTest("no E01")
        want = self.originals()
        seg = self.containers["E01"][:-2] + "05"
        bad_dir = os.path.join(self.work, "badchunk")
        os.makedirs(bad_dir, exist_ok=True)
        base = os.path.basename(self.containers["E01"])[:-4]
        for f in os.listdir(self.work):
            if f.startswith(base + ".E"):
                shutil.copyfile(os.path.join(self.work, f), os.path.join(bad_dir, f))
        with open(os.path.join(bad_dir, os.path.basename(seg)), "r+b") as f:
            f.seek(500000)
            f.write(b"\xaa" * 4096)
        with tempfile.TemporaryDirectory() as dest:
            _, got = recover_all(os.path.join(bad_dir, base + ".E01"), dest)
        for source, (code, digest) in got.items():
            if code == 776:
                self.assertEqual(digest, want[source][1], source)


class Detection(unittest.TestCase):
    def test_raw_images_stay_raw(self):
        # A raw image whose last sector says "conectix" is no fixed VHD
        # unless the footer's size matches the file.
        raw = os.path.join(IMAGES, "ntfs-4k.img")
        with tempfile.TemporaryDirectory() as d:
            fake = os.path.join(d, "fake.img")
            with open(raw, "rb") as f:
                data = bytearray(f.read())
            data[-512:-504] = b"conectix"
            with open(fake, "wb") as f:
                f.write(data)
            code, j = info_json(fake)
            self.assertEqual(j["image_format"], "raw")
            self.assertEqual(code, 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
