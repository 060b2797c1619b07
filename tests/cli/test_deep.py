#!/usr/bin/env python3
"""End-to-end tests of the deep scan (search and recover --deep) on volumes
made by real tools (tests/images/make-deep-images.sh): a FAT32 card, an
exFAT card and an NTFS volume written with files from real encoders, then
formatted again. Every file whose clusters the new file system left alone
comes back byte for byte: under its own name where the old file system's
record of it survives (src/lost), else under its format's extension; the
decoys (random bytes behind a JPEG and a PNG signature) never come out as
carved files, only as the files the old records name.

Environment: RETRIVA (the binary), IMAGES (the unpacked test-images folder).
"""
import hashlib
import json
import os
import shutil
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ET

RETRIVA = os.environ.get("RETRIVA", "build/retriva")
IMAGES = os.environ.get("IMAGES", "build/test-images")
ENV = dict(os.environ, TZ="UTC", LC_ALL="C.UTF-8")

# Files below this size are resident in their MFT record on NTFS, which the
# quick format's new MFT wrote over: the format leaves no clusters of them.
NTFS_RESIDENT_BELOW = 1024
# Extensions of the manifest's files as the deep scan names them.
EXTENSIONS = {"jpg": "jpg", "png": "png", "gif": "gif", "bmp": "bmp", "tif": "tif", "pdf": "pdf", "wav": "wav",
              "ogg": "ogg", "docx": "docx", "xlsx": "xlsx", "odt": "odt", "zip": "zip", "sqlite": "sqlite",
              "mp3": "mp3", "flac": "flac", "mkv": "mkv", "gz": "gz", "rar": "rar", "psd": "psd"}


def manifest():
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, "..", "images", "deep-manifest.json")) as f:
        return json.load(f)["files"]


def image(name):
    path = os.path.join(IMAGES, name)
    if not os.path.exists(path):
        raise unittest.SkipTest(f"{name} not unpacked")
    return path


def run(*args, check=True):
    p = subprocess.run([RETRIVA, *args], capture_output=True, env=ENV)
    if check and p.returncode != 0:
        raise AssertionError(f"retriva {' '.join(args)}: exit {p.returncode}\n{p.stderr.decode()}")
    return p


def recovered(out):
    """sha256 -> path of every file under `out`."""
    found = {}
    for root, _, names in os.walk(out):
        for n in names:
            path = os.path.join(root, n)
            with open(path, "rb") as f:
                found[hashlib.sha256(f.read()).hexdigest()] = os.path.relpath(path, out)
    return found


class DeepRecovery(unittest.TestCase):
    def check_volume(self, name, expected):
        path = image(name)
        with tempfile.TemporaryDirectory() as out:
            p = run("recover", path, "--deep", "--to", out, "--json")
            lines = [json.loads(l) for l in p.stdout.decode().splitlines()]
            got = recovered(out)
            for f in expected:
                with self.subTest(volume=name, file=f["name"]):
                    self.assertIn(f["sha256"], got, f"{f['name']} not recovered byte for byte")
                    ext = f["name"].rsplit(".", 1)[1]
                    rel = got[f["sha256"]]
                    if rel != f["name"]:  # not named by an old record: carved
                        self.assertEqual(rel.split(os.sep)[:2], ["carved", EXTENSIONS[ext]])
                        self.assertTrue(rel.endswith("." + EXTENSIONS[ext]))
            # Nothing else came out: no carved decoy, no file run into the
            # next one. Old records give back more (the decoys, NTFS's
            # resident files), each whole and under its own name.
            names = {f["sha256"]: f["name"] for f in manifest()}
            extra = {h: r for h, r in got.items() if h not in {f["sha256"] for f in expected}}
            self.assertTrue(all(names.get(h) == r for h, r in extra.items()), sorted(extra.values()))
            for l in lines:
                self.assertEqual(list(l)[:5], ["locator", "index", "code", "source", "output"])
                self.assertEqual(l["code"], 776)
                self.assertFalse(l["truncated"])
                self.assertTrue(l["id"].startswith("deep:") or l["id"].startswith("old:"))
            # No temporary name is left in the destination.
            self.assertFalse([r for r in got.values() if r.endswith(".part")])

    def test_formatted_fat32_exfat_and_ntfs_give_back_every_whole_file(self):
        files = [f for f in manifest() if not f["decoy"]]
        self.check_volume("deep-fat32.img", files)
        self.check_volume("deep-exfat.img", files)
        self.check_volume("deep-ntfs.img", [f for f in files if f["size"] >= NTFS_RESIDENT_BELOW])

    def test_without_a_file_system_sectors_are_scanned(self):
        # The FAT32 card with its boot region and FATs wiped: no file system
        # is found, the scan goes by sectors and names files by sector.
        path = image("deep-fat32.img")
        files = [f for f in manifest() if not f["decoy"]]
        with tempfile.TemporaryDirectory() as work:
            wiped = os.path.join(work, "wiped.img")
            shutil.copyfile(path, wiped)
            with open(wiped, "r+b") as f:
                f.write(bytes(1 << 19))
            p = run("search", wiped, "--deep", "--json")
            rows = [json.loads(l) for l in p.stdout.decode().splitlines()]
            self.assertEqual(len(rows), len(files))
            for r in rows:
                self.assertEqual(r["name"], "f%07d.%s" % (r["offset"] // 512, r["extension"]))
            out = os.path.join(work, "out")
            # A report asked for on a volume no engine serves: each carved
            # file is one run from its first byte.
            report = os.path.join(work, "report.xml")
            run("recover", wiped, "--deep", "--to", out, "-q", "--report", report)
            got = recovered(out)
            for f in files:
                self.assertIn(f["sha256"], got, f["name"])
            ns = {"d": "http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML", "r": "urn:retriva:report"}
            objects = ET.parse(report).getroot().findall(".//d:fileobject", ns)
            self.assertEqual(len(objects), len(files))
            with open(wiped, "rb") as img:
                for o in objects:
                    runs = o.findall("d:byte_runs/d:byte_run", ns)
                    self.assertEqual(len(runs), 1)
                    img.seek(int(runs[0].get("img_offset")))
                    with open(o.find("r:result", ns).text, "rb") as written:
                        self.assertEqual(img.read(int(runs[0].get("len"))), written.read())


class DeepListing(unittest.TestCase):
    def test_search_lists_after_the_deleted_files_and_ids_recover_one(self):
        path = image("deep-exfat.img")
        rows = [json.loads(l) for l in run("search", path, "--deep", "--json").stdout.decode().splitlines()]
        keys = ["name", "folder", "size", "time", "modified", "locator", "index", "recoverable", "carved", "format",
                "extension", "offset", "truncated", "id"]
        for r in rows:
            self.assertEqual(list(r), keys)
        photo = next(r for r in rows if r["extension"] == "jpg")
        with tempfile.TemporaryDirectory() as out:
            p = run("recover", path, "--deep", "--to", out, "--id", photo["id"])
            got = recovered(out)
            # Named by its old record, or carved.
            where = photo["name"] if not photo["carved"] else os.path.join("carved", "jpg", photo["name"])
            self.assertEqual(list(got.values()), [where])
            p = run("recover", path, "--deep", "--to", out, "--id", "deep:1", check=False)
            self.assertEqual(p.returncode, 1)
            self.assertIn(b"deep:1", p.stderr)

    def test_types_csv_and_bodyfile(self):
        path = image("deep-fat32.img")
        csv = run("search", path, "--deep", "--types", "docx,PDF", "--csv").stdout.decode().splitlines()
        self.assertEqual(csv[0], "name,folder,size,modified,created,changed,accessed,id,recoverable,format,offset,"
                                 "truncated")
        self.assertEqual(sorted(l.split(",")[0].split(".")[1] for l in csv[1:]), ["docx", "pdf"])
        body = run("search", path, "--deep", "--types", "png", "--bodyfile").stdout.decode().splitlines()
        self.assertEqual(len(body), 1)
        self.assertRegex(body[0], r"^0\|(/carved/png/f\d{7}\.png \(carved\)\|deep:\d+|/.*photo\.png \(old record\)\|old:\d+)"
                                  r"\|r/rrwxrwxrwx\|0\|0\|\d+\|0\|\d+\|0\|0$")
        p = run("search", path, "--deep", "--types", "exe", check=False)
        self.assertEqual(p.returncode, 2)
        p = run("search", path, "--types", "jpg", check=False)
        self.assertEqual(p.returncode, 2)

    def test_output_without_deep_is_unchanged(self):
        path = image("deep-fat32.img")
        self.assertEqual(run("search", path, "--csv").stdout.decode(),
                         "name,folder,size,modified,created,changed,accessed,id,recoverable\n")
        self.assertNotIn(b"carved", run("search", path).stdout)


class OldRecords(unittest.TestCase):
    """Volumes formatted over a full file system (tests/images/make-lost-images.py):
    recover --deep --keep-folders gives the old files back in their folders."""

    @staticmethod
    def content(seed, size):
        h = 0x811C9DC5
        for c in seed.encode():
            h = ((h ^ c) * 0x01000193) & 0xFFFFFFFF
        out = bytearray()
        off = 0
        while len(out) < size:
            out += ("%08x %010d lorem ipsum dolor sit amet, consectetur adipiscing" % (h, off))[:63].encode() + b"\n"
            off += 64
        return bytes(out[:size])

    def test_keep_folders_puts_old_files_where_they_were(self):
        path = image("ntfs-reformatted.img")
        with open(os.path.join(IMAGES, "lost-manifest.json")) as f:
            files = [e for e in json.load(f)["files"] if e["image"] == "ntfs-reformatted.img"]
        with tempfile.TemporaryDirectory() as out:
            p = run("recover", path, "--deep", "--keep-folders", "--to", out, "--json")
            lines = [json.loads(l) for l in p.stdout.decode().splitlines()]
            self.assertEqual(len([l for l in lines if l["id"].startswith("old:")]), len(files))
            for e in files:
                where = os.path.join(out, *e["path"].strip("\\").split("\\"))
                with self.subTest(file=e["path"]), open(where, "rb") as f:
                    self.assertEqual(f.read(), self.content(e["seed"], e["size"]))

    def test_fragments_on_a_formatted_card_come_back_whole_in_their_folders(self):
        # fat16-formatted.img (make-fragment-images.py): photos and documents
        # in one to four pieces, then mkfs.fat over them; CARD's old cluster
        # names DCIM\100CANON and DOCS, the root's name is gone.
        path = image("fat16-formatted.img")
        with open(os.path.join(IMAGES, "formatted-manifest.json")) as f:
            files = json.load(f)["files"]
        with tempfile.TemporaryDirectory() as out:
            p = run("recover", path, "--deep", "--keep-folders", "--to", out, "--json")
            rows = {l["source"]: l for l in map(json.loads, p.stdout.decode().splitlines())}
            got = recovered(out)
            for e in files:
                with self.subTest(file=e["path"]):
                    self.assertIn(e["sha256"], got)
                    self.assertTrue(got[e["sha256"]].endswith(e["path"].replace("\\CARD\\", "").replace("\\", os.sep)))
                    row = [r for s, r in rows.items() if s.endswith(e["path"][len("\\CARD"):])]
                    self.assertEqual(len(row), 1)
                    self.assertFalse(row[0]["contiguous_guess"])
                    self.assertEqual(row[0]["code"], 776)


class NamesFromDeletedEntries(unittest.TestCase):
    """A FAT16 card whose files were deleted with mtools (make-deep-deleted.sh):
    the search lists them by name, their chains are gone. A carved file that
    starts where such an entry does is that file: listed once, under the
    entry's name and folder, and recovered there byte for byte."""

    @staticmethod
    def deleted_manifest():
        here = os.path.dirname(os.path.abspath(__file__))
        with open(os.path.join(here, "..", "images", "deep-deleted-manifest.json")) as f:
            return [e for e in json.load(f)["files"] if not e["live"]]

    def rows(self, *extra):
        p = run("search", image("deep-fat16-deleted.img"), "--json", *extra)
        return [json.loads(l) for l in p.stdout.decode().splitlines()]

    def test_each_deleted_file_is_listed_once_under_its_name(self):
        plain = self.rows()
        deep = self.rows("--deep")
        # Every deleted file once, under the name and folder the search gives.
        self.assertEqual(sorted((r["folder"], r["name"]) for r in deep), sorted((r["folder"], r["name"]) for r in plain))
        carved = {r["name"]: r for r in deep if r.get("carved")}
        kept = {r["name"] for r in deep if not r.get("carved")}
        for name, r in carved.items():
            # A carved file takes the entry's name, folder and time, and its
            # size is what the entry says.
            entry = next(p for p in plain if p["name"] == name)
            self.assertEqual((r["folder"], r["size"], r["modified"]), (entry["folder"], entry["size"], entry["modified"]))
            self.assertTrue(r["id"].startswith("deep:"))
        # The FAT engine places these files by their format already (their
        # clusters are no guess), so each keeps its own row; a carved row
        # would take the place only of a file whose clusters are guessed.
        self.assertEqual(carved, {})
        self.assertEqual(len(kept), len(self.deleted_manifest()))
        self.assertFalse(any(r.get("contiguous_guess") for r in deep))
        # The clusters the entries account for are not carved again: no f… file.
        self.assertFalse([r for r in deep if r["name"].startswith("f0")])

    def test_recover_keep_folders_puts_each_file_in_its_folder(self):
        plain = {r["size"]: r for r in self.rows()}
        with tempfile.TemporaryDirectory() as out:
            run("recover", image("deep-fat16-deleted.img"), "--deep", "--keep-folders", "--to", out, "-q")
            got = recovered(out)
            files = self.deleted_manifest()
            self.assertEqual(len(got), len(files))
            for e in files:
                with self.subTest(file=e["path"]):
                    self.assertIn(e["sha256"], got)
                    listed = plain[e["size"]]
                    want = os.path.join(*[c for c in listed["folder"].split("\\") if c], listed["name"])
                    self.assertEqual(got[e["sha256"]], want)
            self.assertFalse(os.path.exists(os.path.join(out, "carved")))

    def test_carved_folders_are_made_inside_the_destination(self):
        # A link planted where carved/ would go leads nowhere outside.
        with tempfile.TemporaryDirectory() as work:
            out, outside = os.path.join(work, "out"), os.path.join(work, "outside")
            os.makedirs(out)
            os.makedirs(outside)
            os.symlink(outside, os.path.join(out, "carved"))
            # Without a file system every find is carved (and unnamed).
            wiped = os.path.join(work, "wiped.img")
            shutil.copyfile(image("deep-fat32.img"), wiped)
            with open(wiped, "r+b") as f:
                f.write(bytes(1 << 19))
            run("recover", wiped, "--deep", "--types", "png", "--to", out, "-q")
            self.assertEqual(os.listdir(outside), [])
            got = list(recovered(out).values())
            self.assertEqual(len(got), 1)
            self.assertRegex(got[0], r"^carved[^/]+/png/f\d{7}\.png$")


if __name__ == "__main__":
    unittest.main()
