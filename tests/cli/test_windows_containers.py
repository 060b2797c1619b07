#!/usr/bin/env python3
"""retriva.exe under Wine reading E01, VHD, VHDX, VMDK and QCOW2 containers.

Every Wine process costs one to two and a half seconds before it reads
anything, so this is the short form of test_containers.py: per format one
container of the NTFS test volume (made with qemu-img and ewfacquire; the
E01 split into 1 MiB segments, found by their names), one search and one
recovery compared with the files the volume was made with, and the same
container cut after its header refused with one clear line. The runs go two
at a time.

Environment: RETRIVA (retriva.exe), IMAGES (the unpacked test-images
folder), RETRIVA_WRAPPER (tests/wine-run.sh, which hands Unix paths over
as Z: paths).
"""
import concurrent.futures
import hashlib
import json
import os
import shutil
import subprocess
import tempfile
import unittest

RETRIVA = os.path.abspath(os.environ.get("RETRIVA", "build-win/retriva.exe"))
IMAGES = os.path.abspath(os.environ.get("IMAGES", "build-win/test-images"))
WRAPPER = os.environ.get("RETRIVA_WRAPPER", os.path.join(os.path.dirname(__file__), "..", "wine-run.sh"))
ENV = dict(os.environ, TZ="UTC", LC_ALL="C.UTF-8")
VOLUME = "ntfs-4k.img"
FORMATS = ["VHD", "VHDX", "VMDK", "QCOW2", "E01"]
QEMU = {"VHD": "vpc", "VHDX": "vhdx", "VMDK": "vmdk", "QCOW2": "qcow2"}


def run(*args):
    p = subprocess.run([WRAPPER, RETRIVA, *args], capture_output=True, env=ENV, timeout=300)
    return p.returncode, p.stdout.decode(errors="replace"), p.stderr.decode(errors="replace")


def unix_path(path):
    return path[2:].replace("\\", "/") if path.startswith("Z:\\") else path


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def in_volume(source):
    """The path inside the volume of a recovered file's source name."""
    if source.startswith("\\\\?\\Volume{"):
        return source[source.index("}") + 1:]
    return source[2:] if source[1:2] == ":" else source


def make(fmt, raw, out):
    if fmt == "E01":
        subprocess.run(["ewfacquire", "-u", "-q", "-t", out, "-S", str(1 << 20), raw],
                       check=True, capture_output=True, stdin=subprocess.DEVNULL)
        return out + ".E01"
    subprocess.run(["qemu-img", "convert", "-O", QEMU[fmt], raw, out], check=True, capture_output=True)
    return out


class WindowsContainers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="retriva-wincontainers-")
        with open(os.path.join(IMAGES, "manifest.json"), encoding="utf-8") as f:
            image = next(i for i in json.load(f)["images"] if i["name"] == VOLUME)
        # Files whose clusters other files took since come back different.
        cls.originals = {d["path"]: d["sha256"] for d in image["deleted"]
                         if not d["reused"] and not d["overwritten"]}
        # A hard-linked file is listed under any one of its names.
        cls.names = {d["path"]: [d["path"]] + d.get("links", []) for d in image["deleted"]}
        cls.missing = [t for t in ("qemu-img", "ewfacquire") if shutil.which(t) is None]
        raw = os.path.join(IMAGES, VOLUME)
        code, out, err = run("info", "--json", raw)
        lacking = set(json.loads(out)["image_formats_not_built_in"]) if code == 0 else set(FORMATS)
        cls.containers = {}
        for fmt in FORMATS:
            if fmt in lacking or ("ewfacquire" if fmt == "E01" else "qemu-img") in cls.missing:
                continue
            cls.containers[fmt] = make(fmt, raw, os.path.join(cls.work, "vol-" + fmt.lower()))
        cls.lacking = lacking & set(FORMATS)
        # Every run at once, two Wine processes at a time.
        jobs = {}
        with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
            for fmt, path in cls.containers.items():
                dest = os.path.join(cls.work, "to-" + fmt.lower())
                jobs[fmt, "search"] = pool.submit(run, "search", "--json", path)
                jobs[fmt, "recover"] = pool.submit(run, "recover", "--json", path, "--to", dest)
                cut = os.path.join(cls.work, "cut-" + os.path.basename(path))
                with open(path, "rb") as f, open(cut, "wb") as g:
                    g.write(f.read(600))
                jobs[fmt, "cut"] = pool.submit(run, "search", "--json", cut)
            cls.results = {k: v.result() for k, v in jobs.items()}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def setUp(self):
        if self.missing:
            print(f"\nnote: {', '.join(self.missing)} not installed (qemu-utils, ewf-tools): "
                  "those containers are not tested")

    def test_every_format_is_built_in(self):
        self.assertEqual(self.lacking, set(), "retriva.exe was built without these container formats")

    def test_split_e01_has_several_segments(self):
        if "E01" in self.containers:
            segments = [f for f in os.listdir(self.work) if f.startswith("vol-e01.E")]
            self.assertGreater(len(segments), 5)

    def test_search_lists_every_deleted_file(self):
        for fmt in self.containers:
            with self.subTest(format=fmt):
                code, out, err = self.results[fmt, "search"]
                self.assertEqual(code, 0, err)
                listed = {r["folder"] + r["name"] for r in map(json.loads, out.splitlines())}
                for path in self.originals:
                    self.assertTrue(set(self.names[path]) & listed, path)

    def test_recovered_files_equal_the_originals(self):
        for fmt in self.containers:
            with self.subTest(format=fmt):
                code, out, err = self.results[fmt, "recover"]
                self.assertIn(code, (0, 1), err)
                got = {in_volume(r["source"]): r for r in map(json.loads, out.splitlines())}
                for path, digest in self.originals.items():
                    r = next((got[n] for n in self.names[path] if n in got), None)
                    self.assertIsNotNone(r, path)
                    self.assertEqual(r["code"], 776, path)
                    self.assertEqual(sha256(unix_path(r["output"])), digest, path)

    def test_a_container_cut_after_its_header_is_refused(self):
        for fmt in self.containers:
            with self.subTest(format=fmt):
                code, out, err = self.results[fmt, "cut"]
                self.assertEqual(code, 2, err)
                self.assertEqual(out, "")
                self.assertEqual(len(err.strip().splitlines()), 1, err)
                self.assertIn(fmt, err)


if __name__ == "__main__":
    unittest.main(verbosity=2)
