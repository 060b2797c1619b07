#!/usr/bin/env python3
"""End-to-end tests of the retriva command on the test volumes.

Environment: RETRIVA (the binary), IMAGES (the unpacked test-images folder).
Every search result is compared with the manifest the images were made with.
"""
import collections
import datetime
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

RETRIVA = os.environ.get("RETRIVA", "build/retriva")
IMAGES = os.environ.get("IMAGES", "build/test-images")
ENV = dict(os.environ, TZ="UTC", LC_ALL="C.UTF-8")


def manifest():
    path = os.path.join(IMAGES, "manifest.json")
    if not os.path.exists(path):
        return {"images": []}
    with open(path, encoding="utf-8") as f:
        return json.load(f)


MANIFEST = manifest()


def images(pred=lambda i: True):
    out = []
    for img in MANIFEST["images"]:
        path = os.path.join(IMAGES, img["name"])
        if os.path.exists(path) and pred(img):
            out.append((img, path))
    return out


def run(*args, check_code=None, env_tz=None):
    env = dict(ENV, TZ=env_tz) if env_tz else ENV
    p = subprocess.run([RETRIVA, *args], capture_output=True, env=env, timeout=600)
    if check_code is not None and p.returncode != check_code:
        raise AssertionError(f"retriva {' '.join(args)} exited {p.returncode}, wanted {check_code}\n"
                             f"stdout: {p.stdout.decode(errors='replace')[:2000]}\n"
                             f"stderr: {p.stderr.decode(errors='replace')[:2000]}")
    return p


def json_lines(stdout):
    return [json.loads(line) for line in stdout.decode("utf-8").splitlines() if line.strip()]


def supported(img):
    """The general volumes; those made for one purpose (hostile names) have their own cases."""
    return (img["fs"] in ("NTFS", "FAT16", "FAT32") and not img.get("damaged") and not img.get("partitions")
            and not img.get("purpose"))


class Info(unittest.TestCase):
    def test_facts_match_the_manifest(self):
        for img, path in images(supported):
            with self.subTest(image=img["name"]):
                j = json.loads(run("info", "--json", path, check_code=0).stdout)
                self.assertEqual(j["file_system"], img["fs"])
                self.assertEqual(j["sector_size"], img["sector_size"])
                self.assertEqual(j["cluster_size"], img["cluster_size"])
                if img.get("cluster_count"):
                    self.assertEqual(j["cluster_count"], img["cluster_count"])
                if img.get("label") is not None:
                    self.assertEqual(j["label"], img["label"])
                self.assertTrue(j["supported"])

    def test_text_output_names_the_file_system(self):
        for img, path in images(supported)[:2]:
            out = run("info", path, check_code=0).stdout.decode()
            self.assertIn(img["fs"], out)
            self.assertIn(str(img["cluster_size"]), out)

    def test_refused_volumes_exit_2_with_a_reason_naming_the_volume(self):
        refused = images(lambda i: i.get("damaged") or i["fs"] == "FAT12" or (i["fs"] == "none" and not i.get("partitions")))
        for img, path in refused:
            with self.subTest(image=img["name"]):
                p = run("info", path, check_code=2)
                err = p.stderr.decode()
                self.assertIn(path, err)
                self.assertEqual(len(err.strip().splitlines()), 1, err)


    def test_supported_is_what_search_does_and_refusals_name_every_file_system(self):
        # info's "supported" and search's exit code come from one check:
        # 2048-byte sectors and 128 KiB clusters are searched, FAT12 is not.
        for img, path in images(lambda i: i["fs"] != "none" and not i.get("damaged")):
            with self.subTest(image=img["name"]):
                info = json.loads(run("info", path, "--json").stdout)
                code = run("search", path, "--json").returncode
                self.assertEqual(info["supported"], code == 0, (info, code))
        fat12 = images(lambda i: i["fs"] == "FAT12")[0][1]
        self.assertIn("NTFS, FAT16, FAT32 and exFAT", run("search", fat12, check_code=2).stderr.decode())
        self.assertIn("NTFS, FAT16, FAT32 and exFAT", run("info", fat12, check_code=2).stderr.decode())
        self.assertIn("NTFS, FAT16, FAT32 and exFAT", run("--help", check_code=0).stdout.decode())
        with tempfile.NamedTemporaryFile(suffix=".img") as blank:
            blank.write(bytes(1 << 20))
            blank.flush()
            for cmd in ("info", "search"):
                err = run(cmd, blank.name, check_code=2).stderr.decode()
                self.assertIn(": no NTFS, FAT or exFAT file system found (", err)
    def test_missing_file_and_bad_usage(self):
        p = run("info", "/nonexistent/volume.img", check_code=2)
        self.assertIn("/nonexistent/volume.img", p.stderr.decode())
        run("info", check_code=2)
        run("frobnicate", check_code=2)
        run("info", "--partition", "1", "--offset", "0", "x.img", check_code=2)

    def test_whole_disk_lists_partitions_and_each_can_be_opened(self):
        for img, path in images(lambda i: bool(i.get("partitions"))):
            with self.subTest(image=img["name"]):
                j = json.loads(run("info", "--json", path, check_code=0).stdout)
                got = [(p["number"], p["start"], p["size"]) for p in j["partitions"]]
                want = [(p["number"], p["start"], p["size"]) for p in img["partitions"]]
                self.assertEqual(got, want)
                for p in img["partitions"]:
                    pj = json.loads(run("info", "--json", "--partition", str(p["number"]), path).stdout)
                    by_offset = json.loads(run("info", "--json", "--offset", str(p["start"]), path).stdout)
                    self.assertEqual(pj["file_system"], by_offset["file_system"])
                run("search", path, check_code=2)  # a whole disk needs --partition


def mmls_allocated(path):
    """(start, size) in bytes of every partition sleuthkit's mmls lists (no tables, no unallocated
    space, no extended containers)."""
    out = subprocess.run(["mmls", path], capture_output=True, check=True).stdout.decode()
    got = []
    for line in out.splitlines():
        m = re.match(r"^\d+:\s+\d+(?::\d+)?\s+(\d+)\s+\d+\s+(\d+)\s+(.*)$", line)
        if m and "Extended" not in m.group(3):
            got.append((int(m.group(1)) * 512, int(m.group(2)) * 512))
    return sorted(got)


class WholeDisks(unittest.TestCase):
    @unittest.skipUnless(shutil.which("mmls"), "sleuthkit's mmls is not installed")
    def test_partitions_are_those_mmls_lists(self):
        # disk-ext.img: the first extended boot record holds a logical
        # partition in its second slot, where most tools put the link.
        disks = images(lambda i: bool(i.get("partitions")))
        self.assertIn("disk-ext.img", [i["name"] for i, _ in disks])
        for img, path in disks:
            with self.subTest(image=img["name"]):
                j = json.loads(run("info", "--json", path, check_code=0).stdout)
                self.assertEqual(sorted((p["start"], p["size"]) for p in j["partitions"]), mmls_allocated(path))
                for p in j["partitions"]:
                    pj = json.loads(run("info", "--json", "--partition", str(p["number"]), path, check_code=0).stdout)
                    self.assertTrue(pj["supported"], p)


def deleted_listing(path, extra=()):
    return json_lines(run("search", "--json", path, *extra, check_code=0).stdout)


def full_path(rec):
    return rec["folder"] + rec["name"]


def same_fat_path(listed, original):
    """A FAT search shows a deleted short name with '~' for its lost first
    character, in folder names too."""
    a, b = listed.lower().split("\\"), original.lower().split("\\")
    return len(a) == len(b) and all(x == y or (x.startswith("~") and x[1:] == y[1:]) for x, y in zip(a, b))


def source_in_volume(src):
    """The source name as the path inside the volume."""
    if src.startswith("\\\\?\\Volume{"):
        return src[src.index("}") + 1:]
    return src[2:] if len(src) > 1 and src[1] == ":" else src


class Search(unittest.TestCase):
    def test_json_shape_is_the_contract(self):
        for img, path in images(supported):
            with self.subTest(image=img["name"]):
                for rec in deleted_listing(path):
                    self.assertTrue({"name", "folder", "size", "time", "locator", "index", "recoverable"} <= set(rec), rec)
                    self.assertIsInstance(rec["recoverable"], int, rec)
                    self.assertTrue(0 <= rec["recoverable"] <= 100, rec)
                    self.assertTrue(rec["folder"].startswith("\\") and rec["folder"].endswith("\\"), rec)
                    self.assertRegex(rec["time"], r"^\d\d/\d\d/\d{4} \d\d:\d\d$")
                    if img["fs"] == "NTFS" and ":" in rec["name"]:
                        self.assertIsInstance(rec["index"], int)  # the number of a named data stream
                    elif img["fs"] == "NTFS":
                        self.assertIsNone(rec["index"])
                    else:
                        self.assertIsInstance(rec["index"], int)

    def test_every_deleted_ntfs_file_is_listed_with_size_and_time(self):
        for img, path in images(lambda i: supported(i) and i["fs"] == "NTFS"):
            with self.subTest(image=img["name"]):
                listed = {full_path(r).lower(): r for r in deleted_listing(path)}
                for d in img["deleted"]:
                    # A file with several names is listed under one of them.
                    names = [d["path"].lower()] + [n.lower() for n in d.get("links", [])]
                    key = next((n for n in names if n in listed), names[0])
                    self.assertIn(key, listed, f"{d['path']} not listed")
                    r = listed[key]
                    self.assertEqual(r["size"], d["size"] & 0xFFFFFFFF)
                    y, mo, rest = d["mtime"][:4], d["mtime"][5:7], d["mtime"][8:]
                    self.assertEqual(r["time"], f"{mo}/{rest[:2]}/{y} {rest[3:8]}")
                    if d.get("mft_record") is not None:
                        self.assertEqual(r["locator"], d["mft_record"])

    def test_every_deleted_fat_file_is_listed(self):
        for img, path in images(lambda i: supported(i) and i["fs"] in ("FAT16", "FAT32")):
            with self.subTest(image=img["name"]):
                listed = [r for r in deleted_listing(path)]
                for d in img["deleted"]:
                    hits = [r for r in listed if same_fat_path(full_path(r), d["path"])]
                    self.assertTrue(hits, f"{d['path']} not listed")
                    self.assertEqual(hits[0]["size"], d["size"])

    def test_recoverable_tells_intact_files_from_reused_ones(self):
        for img, path in images(supported):
            with self.subTest(image=img["name"]):
                listed = deleted_listing(path)
                for d in img["deleted"]:
                    hits = [r for r in listed if full_path(r).lower() == d["path"].lower() or
                            (img["fs"] != "NTFS" and same_fat_path(full_path(r), d["path"]))]
                    if not hits:
                        continue
                    if d.get("reused"):
                        self.assertLess(hits[0]["recoverable"], 100, d["path"])
                    elif not d.get("overwritten") and "fragmented" not in d.get("kinds", []):
                        self.assertEqual(hits[0]["recoverable"], 100, d["path"])

    def test_pattern_and_folder_filters(self):
        for img, path in images(supported):
            with self.subTest(image=img["name"]):
                every = deleted_listing(path)
                txt = deleted_listing(path, ("--pattern", "*.TXT"))
                # A named stream is listed with its file ("a.txt:s" with "a.txt").
                self.assertEqual(sorted(map(full_path, txt)),
                                 sorted(full_path(r) for r in every
                                        if r["name"].split(":")[0].lower().endswith(".txt")))
                root_only = deleted_listing(path, ("--no-subfolders",))
                self.assertTrue(all(r["folder"] == "\\" for r in root_only))
                self.assertEqual(len(root_only), sum(r["folder"] == "\\" for r in every))
                for folder in sorted({r["folder"] for r in every if r["folder"] != "\\"})[:3]:
                    sub = deleted_listing(path, ("--folder", folder.strip("\\").replace("\\", "/")))
                    self.assertTrue(all(r["folder"].lower().startswith(folder.lower()) for r in sub))
                    self.assertEqual(len(sub), sum(r["folder"].lower().startswith(folder.lower()) for r in every))

    def test_text_table_and_summary(self):
        for img, path in images(supported)[:2]:
            out = run("search", path, check_code=0).stdout.decode()
            self.assertIn("NAME", out.splitlines()[0])
            self.assertRegex(out.splitlines()[-1], r"^\d+ deleted files? found")

    def test_damaged_volumes_are_refused_or_searched_without_crashing(self):
        for img, path in images(lambda i: bool(i.get("damaged"))):
            with self.subTest(image=img["name"]):
                p = run("search", "--json", path)
                self.assertIn(p.returncode, (0, 2), p.stderr)
                if p.returncode == 2:
                    self.assertIn(path, p.stderr.decode())


class LostEntries(unittest.TestCase):
    """The volumes made to hold what a search must not lose or invent (fat16-lost.img, fat32-lost.img)."""

    def lost(self):
        got = images(lambda i: i.get("purpose") == "lost-entries")
        self.assertTrue(got)
        return got

    def test_entries_that_are_not_files_are_left_out_and_every_file_comes_back(self):
        for img, path in self.lost():
            with self.subTest(image=img["name"]), tempfile.TemporaryDirectory() as out:
                listed = deleted_listing(path)
                self.assertEqual(len(listed), len(img["deleted"]))
                for d in img["deleted"]:
                    self.assertTrue([r for r in listed if same_fat_path(full_path(r), d["path"])], d["path"])
                text = run("search", path, check_code=0).stdout.decode()
                self.assertIn("%d deleted entries left out" % len(img["not_files"]), text)
                p = run("recover", "--json", path, "--to", out, check_code=0)
                self.assertTrue(all(r["code"] == 776 for r in json_lines(p.stdout)))

    def test_a_file_of_several_clusters_is_marked_as_a_guess(self):
        for img, path in self.lost():
            with self.subTest(image=img["name"]), tempfile.TemporaryDirectory() as out:
                results = json_lines(run("recover", "--json", path, "--to", out, check_code=0).stdout)
                sizes = {(r["locator"], r["index"]): r["size"] for r in deleted_listing(path)}
                for r in results:
                    self.assertEqual(r["contiguous_guess"], sizes[(r["locator"], r["index"])] > img["cluster_size"], r)
                a = next(d for d in img["deleted"] if d["path"] == "\\FRAG\\A.BIN")
                got = [r for r in results if r["source"].lower() == "\\frag\\~.bin" and r["contiguous_guess"]]
                self.assertEqual(len(got), 1)
                self.assertEqual(sha256_file(got[0]["output"]), a["sha256"])
                text = run("recover", path, "--to", out, check_code=0).stdout.decode()
                self.assertTrue(any("(guessed" in l for l in text.splitlines() if "FRAG" in l), text)


def fls_deleted_files(path, offset):
    """The deleted files sleuthkit's `fls -r -d -p` lists (folders and orphans left out)."""
    out = subprocess.run(["fls", "-r", "-d", "-p", "-o", str(offset // 512), path], capture_output=True,
                         check=True).stdout.decode("utf-8", "replace")
    files = []
    for line in out.splitlines():
        meta, name = line.split("\t", 1)
        if not meta.startswith("d/d") and "$OrphanFiles" not in name:
            files.append("\\" + name.replace("/", "\\"))
    return files


def same_as_fls(listed, shown):
    """fls shows a deleted short name's lost first character as '_' and characters it cannot show as '^';
    it cuts folder names of more than 195 characters to their first 195."""
    a, b = listed.lower().split("\\"), shown.lower().split("\\")
    return len(a) == len(b) and all(x == y or (len(y) == 195 and x.startswith(y)) or (len(x) == len(y) and all(
        p == q or i == 0 or q == "^" or ord(p) > 127 for i, (p, q) in enumerate(zip(x, y)))) for x, y in zip(a, b))


class AgainstSleuthkit(unittest.TestCase):
    @unittest.skipUnless(shutil.which("fls"), "sleuthkit's fls is not installed")
    def test_fat_search_lists_what_fls_lists(self):
        # Hostile names have their own checks; a truncated volume is refused.
        for img, path in images(lambda i: i.get("purpose") != "hostile-names" and i.get("damaged") is None):
            for part in img.get("partitions") or [{"number": None, "start": 0, "fs": img["fs"]}]:
                if part["fs"] not in ("FAT16", "FAT32"):
                    continue
                with self.subTest(image=img["name"], partition=part["number"]):
                    extra = ("--partition", str(part["number"])) if part["number"] else ()
                    listed = [full_path(r) for r in deleted_listing(path, extra)]
                    # Entries the volume was made to hold as not files (an impossible date fls shows).
                    not_files = [n["path"] for n in img.get("not_files", [])]
                    for shown in fls_deleted_files(path, part["start"]):
                        if any(same_as_fls(n, shown) for n in not_files):
                            continue
                        self.assertTrue(any(same_as_fls(l, shown) for l in listed), shown)


class TruncatedImages(unittest.TestCase):
    """info, search and recover judge a FAT image shorter than its boot sector says by one rule:
    only the tail past the last cluster missing is a warning, clusters cut off refuse the volume."""

    def test_missing_tail_past_the_last_cluster_is_a_warning(self):
        tails = images(lambda i: i.get("purpose") == "tail-missing")
        self.assertTrue(tails)
        for img, path in tails:
            with self.subTest(image=img["name"]):
                p = run("info", "--json", path, check_code=0)
                self.assertTrue(json.loads(p.stdout)["supported"])
                self.assertIn("warning", p.stderr.decode())
                p = run("search", "--json", path, check_code=0)
                self.assertIn("warning", p.stderr.decode())
                listed = json_lines(p.stdout)
                for d in img["deleted"]:
                    self.assertTrue([r for r in listed if same_fat_path(full_path(r), d["path"])], d["path"])

    def test_clusters_cut_off_refuse_the_volume_everywhere(self):
        cut = images(lambda i: i.get("damaged") == "truncated" and i["fs"] != "NTFS")
        self.assertTrue(cut)
        for img, path in cut:
            with tempfile.TemporaryDirectory() as out:
                for args in (("info",), ("search",), ("recover", "--to", out)):
                    with self.subTest(image=img["name"], command=args[0]):
                        p = run(*args, path, check_code=2)
                        self.assertIn("truncated", p.stderr.decode())
def lost_image(fs="NTFS"):
    found = images(lambda i: i.get("purpose") == "lost-files" and i["fs"].startswith(fs))
    return found[0] if found else (None, None)


class NamedStreams(unittest.TestCase):
    """Each named $DATA stream of a deleted file is its own entry, "name:stream", and comes back to
    its own output name with its own bytes; the file itself is listed and recovered as before."""

    def test_streams_listed_and_recovered(self):
        imgs = images(lambda i: i["fs"] == "NTFS" and not i.get("damaged") and
                      any(d.get("streams") for d in i["deleted"]))
        self.assertTrue(imgs)
        for img, path in imgs:
            with self.subTest(image=img["name"]):
                listed = {full_path(r): r for r in deleted_listing(path)}
                ids, want = [], {}
                for d in img["deleted"]:
                    for s in d.get("streams", []):
                        r = listed.get(d["path"] + ":" + s["name"])
                        self.assertIsNotNone(r, d["path"] + ":" + s["name"])
                        self.assertEqual(r["size"], s["size"])
                        self.assertEqual(r["locator"], d["mft_record"])
                        self.assertEqual(r["recoverable"], 0 if s["reused"] else 100)
                        ids += ["--id", "%d:%d" % (r["locator"], r["index"])]
                        want[d["path"] + ":" + s["name"]] = s
                    ids += ["--id", str(d["mft_record"])] if d.get("streams") else []
                with tempfile.TemporaryDirectory() as dest:
                    out = json_lines(run("recover", "--json", path, "--to", dest, *ids).stdout)
                    got = {source_in_volume(o["source"]): o for o in out}
                    for name, s in want.items():
                        o = got[name]
                        self.assertEqual(o["code"], 777 if s["reused"] else 776, o)
                        self.assertEqual(os.path.basename(o["output"]), name.split("\\")[-1].replace(":", "_"))
                        if not s["reused"]:
                            self.assertEqual(sha256_file(o["output"]), s["sha256"])
                    for o in out:
                        if ":" not in o["source"][2:]:
                            self.assertIsNone(o["index"])


class LostFiles(unittest.TestCase):
    """ntfs-lost.img: every deleted file is listed where it can be placed, under \\$Orphan\\ with the
    folders that can be trusted where it cannot, whatever its path length; and recovered."""

    def test_listed_where_the_manifest_says(self):
        img, path = lost_image()
        if not img:
            self.skipTest("ntfs-lost.img not unpacked")
        listed = {full_path(r): r for r in deleted_listing(path)}
        for d in img["deleted"]:
            with self.subTest(case=d["case"]):
                r = listed.get(d["listed_as"])
                self.assertIsNotNone(r, d["listed_as"][:120])
                self.assertEqual(r["locator"], d["mft_record"])
        # The long paths are longer than 260 units with the image's volume name in front.
        self.assertGreater(max(len(k) for k in listed), 800)
        self.assertEqual(len([k for k in listed if ":" not in k]), len(img["deleted"]))

    def test_every_file_recovered_with_its_bytes(self):
        img, path = lost_image()
        if not img:
            self.skipTest("ntfs-lost.img not unpacked")
        with tempfile.TemporaryDirectory() as dest:
            p = run("recover", "--json", path, "--to", dest)
            out = {source_in_volume(o["source"]): o for o in json_lines(p.stdout)}
            for d in img["deleted"]:
                with self.subTest(case=d["case"]):
                    o = out[d["listed_as"]]
                    if "damaged_bytes" in d:
                        continue  # the invalid data runs have tests of their own
                    self.assertEqual(o["code"], 776, o)
                    self.assertEqual(sha256_file(o["output"]), d["sha256"])

    def test_fat_long_paths_listed_and_recovered(self):
        """FAT: deleted files whose paths (with the image's 48-unit volume name in front) are 260
        units and longer are listed and come back."""
        img, path = lost_image("FAT")
        if not img:
            self.skipTest("fat16-long.img not unpacked")
        listed = deleted_listing(path)
        self.assertEqual(len(listed), len(img["deleted"]))
        with tempfile.TemporaryDirectory() as dest:
            out = json_lines(run("recover", "--json", path, "--to", dest, check_code=0).stdout)
            for d in img["deleted"]:
                with self.subTest(case=d["case"]):
                    r = [r for r in listed if same_fat_path(full_path(r), d["path"])]
                    self.assertEqual(len(r), 1, d["path"][:100])
                    o = [o for o in out if same_fat_path(source_in_volume(o["source"]), d["path"])]
                    self.assertEqual(len(o), 1)
                    self.assertEqual(o[0]["code"], 776)
                    self.assertEqual(sha256_file(o[0]["output"]), d["sha256"])

    def test_invalid_data_runs_are_damage_not_zeros(self):
        """A run list cut short by a run with a negative cluster number loses the clusters past it:
        listed as partly recoverable, recovered as 777 with "*" in their place. A resident value
        running past its record: listed as not recoverable, 778, no output."""
        img, path = lost_image()
        if not img:
            self.skipTest("ntfs-lost.img not unpacked")
        listed = {full_path(r): r for r in deleted_listing(path)}
        damaged = [d for d in img["deleted"] if "damaged_bytes" in d]
        self.assertEqual(len(damaged), 2)
        with tempfile.TemporaryDirectory() as dest:
            ids = [a for d in damaged for a in ("--id", str(d["mft_record"]))]
            p = run("recover", "--json", path, "--to", dest, *ids, check_code=1)
            out = {o["locator"]: o for o in json_lines(p.stdout)}
            for d in damaged:
                with self.subTest(case=d["case"]):
                    r, o = listed[d["listed_as"]], out[d["mft_record"]]
                    lo, hi = d["damaged_bytes"]
                    self.assertEqual(r["recoverable"], 100 * lo // d["size"] if lo else 0)
                    if lo == 0:
                        self.assertEqual(o["code"], 778)
                        self.assertIsNone(o["output"])
                        continue
                    self.assertEqual(o["code"], 777)
                    with open(o["output"], "rb") as f:
                        data = f.read()
                    self.assertEqual(len(data), d["size"])
                    self.assertEqual(data[lo:hi], b"*" * (hi - lo))
                    self.assertEqual(hashlib.sha256(data[:lo]).hexdigest(),
                                     hashlib.sha256(original_bytes(d)[:lo]).hexdigest())
            self.assertEqual(os.listdir(dest), ["neg-run.bin"])


class SleuthkitCoverage(unittest.TestCase):
    """On every NTFS volume sleuthkit reads, `search` lists at least the deleted files `fls -r -d -p`
    lists (each MFT record, as often as fls lists it: the file and each named stream), apart from
    system files and the unnamed records fls shows as orphans."""

    def test_search_lists_what_fls_lists(self):
        if not shutil.which("fls"):
            self.skipTest("fls (sleuthkit) not installed")
        imgs = images(lambda i: i["fs"] == "NTFS" and i.get("sleuthkit") and not i.get("damaged"))
        self.assertTrue(imgs)
        for img, path in imgs:
            with self.subTest(image=img["name"]):
                p = subprocess.run(["fls", "-r", "-d", "-p", path], capture_output=True)
                self.assertEqual(p.returncode, 0)
                want = collections.Counter()
                for line in p.stdout.decode("utf-8", "replace").splitlines():
                    meta, _, name = line.partition("\t")
                    kind, *rest = meta.split()
                    if not kind.endswith("/r") or "(realloc)" in meta:
                        continue
                    inode = rest[-1].rstrip(":").split("-")
                    record = int(inode[0])
                    if record < 16 or name.split("/")[-1].startswith("OrphanFile-"):
                        continue  # system files, unnamed records
                    want[record] += 1
                got = collections.Counter(r["locator"] for r in deleted_listing(path))
                self.assertEqual(want - got, collections.Counter())


def sha256_file(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def original_bytes(d):
    p = os.path.join(IMAGES, d["original"][:-4] if d["original"].endswith(".zst") else d["original"])
    with open(p, "rb") as f:
        return f.read()


class Recover(unittest.TestCase):
    def test_recovered_bytes_match_the_originals(self):
        for img, path in images(supported):
            with self.subTest(image=img["name"]), tempfile.TemporaryDirectory() as out:
                p = run("recover", "--json", path, "--to", out)
                self.assertIn(p.returncode, (0, 1), p.stderr)
                results = json_lines(p.stdout)
                by_source = {}
                for r in results:
                    self.assertIn(r["code"], (776, 777, 778, 785))
                    by_source[source_in_volume(r["source"]).lower()] = r
                    if r["code"] in (776, 777):
                        self.assertTrue(r["output"].startswith(out), r)
                        self.assertTrue(os.path.isfile(r["output"]), r)
                for d in img["deleted"]:
                    if d.get("reused") or d.get("overwritten") or ("fragmented" in d.get("kinds", []) and img["fs"] != "NTFS"):
                        continue
                    r = by_source.get(d["path"].lower())
                    for other in d.get("links", []):
                        r = r or by_source.get(other.lower())
                    if r is None and img["fs"] != "NTFS":
                        r = next((v for k, v in by_source.items() if same_fat_path(k, d["path"])), None)
                    self.assertIsNotNone(r, d["path"])
                    self.assertEqual(r["code"], 776, (d["path"], r))
                    with open(r["output"], "rb") as f:
                        got = f.read()
                    self.assertEqual(hashlib.sha256(got).hexdigest(), d["sha256"], d["path"])

    def test_nothing_is_written_to_the_searched_image(self):
        for img, path in images(supported)[:2]:
            before = sha256_file(path)
            st = os.stat(path)
            with tempfile.TemporaryDirectory() as out:
                run("recover", path, "--to", out)
            self.assertEqual(sha256_file(path), before)
            self.assertEqual(os.stat(path).st_mtime_ns, st.st_mtime_ns)

    def test_zeroed_clusters_are_said_as_such(self):
        """A deleted file whose freed clusters the device zeroed (TRIM) is recovered but said zeroed."""
        img = os.path.join(IMAGES, "fat16-zeroed.img")
        if not os.path.exists(img):
            self.skipTest("fat16-zeroed.img not unpacked")
        with tempfile.TemporaryDirectory() as out:
            p = run("recover", "--json", img, "--to", os.path.join(out, "j"), check_code=1)
            by = {r["source"]: r for r in json_lines(p.stdout)}
            self.assertEqual(list(by["\\~RIMMED.BIN"])[-1], "zeroed")
            self.assertEqual((by["\\~RIMMED.BIN"]["code"], by["\\~RIMMED.BIN"]["zeroed"]), (776, True))
            self.assertEqual((by["\\~EPT.TXT"]["code"], by["\\~EPT.TXT"]["zeroed"]), (776, False))
            with open(by["\\~RIMMED.BIN"]["output"], "rb") as f:
                self.assertEqual(f.read(), bytes(40000))
            with open(by["\\~EPT.TXT"]["output"], "rb") as f:
                self.assertEqual(f.read(), (b"kept\n" * 600)[:3000])
            self.assertIn("~RIMMED.BIN: recovered but zeroed", p.stderr.decode())
            self.assertNotIn("~EPT.TXT", p.stderr.decode())
            text = run("recover", img, "--to", os.path.join(out, "t"), check_code=1).stdout.decode()
            self.assertIn("1 recovered, 0 partly overwritten", text)
            self.assertIn(" 1 zeroed, 0 not recovered, of 2 file(s).", text)
            # Only the file that is whole: exit 0.
            run("recover", img, "--to", os.path.join(out, "k"), "--pattern", "*.TXT", check_code=0)

    def test_recovering_twice_never_overwrites(self):
        for img, path in images(supported)[:1]:
            with tempfile.TemporaryDirectory() as out:
                first = json_lines(run("recover", "--json", path, "--to", out).stdout)
                second = json_lines(run("recover", "--json", path, "--to", out).stdout)
                outs1 = {r["output"] for r in first if r["output"]}
                outs2 = {r["output"] for r in second if r["output"]}
                self.assertFalse(outs1 & outs2)
                self.assertTrue(all(";" in os.path.basename(o) for o in outs2))

    def test_recovered_files_keep_the_modification_time(self):
        for img, path in images(lambda i: supported(i) and i["fs"] == "NTFS")[:1]:
            with tempfile.TemporaryDirectory() as out:
                listed = {r["locator"]: r for r in deleted_listing(path)}
                for r in json_lines(run("recover", "--json", path, "--to", out).stdout):
                    if r["code"] in (776, 777):
                        t = listed[r["locator"]]["time"]
                        import time
                        got = time.strftime("%m/%d/%Y %H:%M", time.gmtime(os.stat(r["output"]).st_mtime))
                        self.assertEqual(got, t)

    def test_id_selects_files(self):
        for img, path in images(supported)[:2]:
            listed = deleted_listing(path)
            if not listed:
                continue
            pick = listed[0]
            ident = str(pick["locator"]) if pick["index"] is None else f"{pick['locator']}:{pick['index']}"
            with tempfile.TemporaryDirectory() as out:
                res = json_lines(run("recover", "--json", path, "--to", out, "--id", ident).stdout)
                self.assertEqual(len(res), 1)
                self.assertEqual(res[0]["locator"], pick["locator"])

    def test_destination_that_is_a_file_is_refused(self):
        for img, path in images(supported)[:1]:
            with tempfile.NamedTemporaryFile() as f:
                run("recover", path, "--to", f.name, check_code=2)


def tree(base):
    """Every entry under base: 'dir', 'link' or the file's bytes."""
    out = {}
    for root, dirs, files in os.walk(base):
        for n in dirs + files:
            p = os.path.join(root, n)
            if os.path.islink(p):
                out[p] = "link"
            elif os.path.isdir(p):
                out[p] = "dir"
            else:
                with open(p, "rb") as f:
                    out[p] = f.read()
    return out


class HostileNames(unittest.TestCase):
    """Deleted files whose on-disk names are ".", "..", hold separators, ":", control characters, device
    names, lone surrogates, or make the same output name: every output is a new regular file directly in
    the destination, nothing outside it changes, and a second run into the same folder overwrites nothing."""

    def recover(self, path, dest):
        p = run("recover", "--json", path, "--to", dest)
        self.assertIn(p.returncode, (0, 1), p.stderr)
        return json_lines(p.stdout)

    def check_run(self, img, base, dest, before, results):
        after = tree(base)
        for k, v in before.items():
            self.assertEqual(after.get(k), v, f"{k} changed or vanished")
        fresh = {k: v for k, v in after.items() if k not in before}
        for k, v in fresh.items():
            self.assertEqual(os.path.dirname(k), dest, f"{k} is not directly in the destination")
            self.assertIsInstance(v, bytes, f"{k} is not a regular file")
        by_record = {d["mft_record"]: d for d in img["deleted"]}
        by_path = {d["path"]: d for d in img["deleted"]}
        recovered = [r for r in results if r["code"] in (776, 777)]
        for r in recovered:
            out = r["output"]
            self.assertEqual(os.path.dirname(os.path.realpath(out)), os.path.realpath(dest), r)
            self.assertIn(out, fresh, r)
            d = by_record.get(r["locator"]) if img["fs"] == "NTFS" else by_path.get(r["source"])
            self.assertIsNotNone(d, r)
            self.assertEqual(hashlib.sha256(fresh[out]).hexdigest(), d["sha256"], r)
        self.assertEqual(len(fresh), len(recovered))
        return recovered

    def test_outputs_stay_in_the_destination_and_never_overwrite(self):
        hostile = images(lambda i: i.get("purpose") == "hostile-names")
        for img, path in hostile:
            with self.subTest(image=img["name"]), tempfile.TemporaryDirectory() as base:
                dest = os.path.join(base, "a", "b", "dest")
                os.makedirs(dest)
                for rel, text in (("a/b/keep", b"next to the destination"), ("a/keep", b"two levels up"),
                                  ("a/x", b"where ../../x would land")):
                    with open(os.path.join(base, rel), "wb") as f:
                        f.write(text)
                listed = deleted_listing(path)
                self.assertGreater(len(listed), 10)
                names = set()
                for rnd in range(2):
                    before = tree(base)
                    results = self.recover(path, dest)
                    self.assertEqual(len(results), len(listed))
                    recovered = self.check_run(img, base, dest, before, results)
                    self.assertEqual(len(recovered), len(listed))
                    outs = {os.path.basename(r["output"]) for r in recovered}
                    self.assertEqual(len(outs), len(recovered))
                    self.assertFalse(outs & names)
                    names |= outs
                    for n in outs:
                        self.assertNotIn(n, (".", ".."))
                # the two names that make the same output name both came back
                both = [d["sha256"] for d in img["deleted"] if d.get("case") in ("same-a", "same-b")]
                got = {hashlib.sha256(v).hexdigest() for k, v in tree(dest).items()}
                self.assertTrue(set(both) <= got)

    def test_text_output_carries_no_control_characters(self):
        # A name holding ESC or another control character must not reach a
        # terminal raw: the table and the result lines show "?" instead.
        hostile = images(lambda i: i.get("purpose") == "hostile-names")
        self.assertTrue(hostile)
        for img, path in hostile:
            with self.subTest(image=img["name"]), tempfile.TemporaryDirectory() as dest:
                controls = [d for d in img["deleted"] if d.get("name") and any(ord(c) < 0x20 for c in d["name"])]
                self.assertTrue(controls, "the image has no names with control characters")
                for args in (("search", path), ("recover", path, "--to", dest)):
                    out = run(*args).stdout.decode("utf-8", errors="replace")
                    bad = [c for c in out if (ord(c) < 0x20 and c != "\n") or 0x7F <= ord(c) <= 0x9F]
                    self.assertEqual(bad, [], args[0])
                self.assertIn("?", run("search", path).stdout.decode())


def exfat_set_checksum(entries):
    """The checksum of an exFAT entry set as it was written (every type byte in use)."""
    s = 0
    for i, b in enumerate(entries):
        if i in (2, 3):
            continue
        if i % 32 == 0:
            b |= 0x80
        s = (((s & 1) << 15) + (s >> 1) + b) & 0xFFFF
    return s


def exfat_find_set(img, name):
    """Byte offset of the file entry of the deleted set whose name starts with `name`."""
    pos = img.find(b"\x41\x00" + name[:15].encode("utf-16-le"))
    assert pos >= 64 and img[pos - 64] == 0x05, name
    return pos - 64


def exfat_rewrite_set(img, at, edit):
    """Applies `edit` to the set's bytes and writes its checksum back."""
    count = 1 + img[at + 1]
    entries = bytearray(img[at:at + 32 * count])
    edit(entries)
    count = 1 + entries[1]
    entries = bytearray(entries[:32 * count]) if len(entries) >= 32 * count else entries
    img[at:at + len(entries)] = entries
    full = img[at:at + 32 * count]
    img[at + 2:at + 4] = exfat_set_checksum(full).to_bytes(2, "little")


class Exfat(unittest.TestCase):
    """exFAT volumes made by mkfs.exfat and written through exfat-fuse."""

    def volumes(self):
        got = images(lambda i: i["fs"] == "exFAT" and not i.get("purpose"))
        self.assertTrue(got, "no exFAT images unpacked")
        return got

    def edited(self, purpose):
        got = images(lambda i: i.get("purpose") == purpose)
        self.assertTrue(got, "no exFAT image for %s unpacked" % purpose)
        return got[0]

    def recovered(self, path, out):
        p = run("recover", "--json", path, "--to", out)
        self.assertIn(p.returncode, (0, 1), p.stderr)
        return p, {source_in_volume(r["source"]): r for r in json_lines(p.stdout)}

    def test_a_volume_whose_main_boot_region_fails_is_read_through_its_backup(self):
        img, path = self.edited("backup-boot")
        p = run("search", "--json", path, check_code=0)
        self.assertIn("read through its backup boot region (sectors 12-23)", p.stderr.decode())
        self.assertEqual({full_path(r) for r in json_lines(p.stdout)}, {d["path"] for d in img["deleted"]})
        self.assertTrue(json.loads(run("info", "--json", path, check_code=0).stdout)["supported"])
        with tempfile.TemporaryDirectory() as out:
            p, results = self.recovered(path, out)
            self.assertEqual(p.returncode, 0)
            self.assertIn("backup boot region", p.stderr.decode())
            for d in img["deleted"]:
                self.assertEqual(sha256_file(results[d["path"]]["output"]), d["sha256"], d["path"])

    def test_folders_deleted_while_open_bogus_folder_sizes_and_a_nul_in_a_name(self):
        img, path = self.edited("reused-folders")
        listed = {full_path(r): r for r in deleted_listing(path)}
        self.assertEqual(set(listed), {d["path"] for d in img["deleted"]})
        for d in img["deleted"]:
            self.assertEqual((listed[d["path"]]["size"], listed[d["path"]]["modified"]), (d["size"], d["mtime"]))
        with tempfile.TemporaryDirectory() as out:
            p, results = self.recovered(path, out)
            self.assertEqual(p.returncode, 0, p.stderr)
            for d in img["deleted"]:
                r = results[d["path"]]
                with open(r["output"], "rb") as f:
                    got = f.read()
                want = original_bytes(d)
                if "second-cluster-in-use" in d["kinds"]:
                    # The bitmap shows that cluster in use: '*' there, the rest as it was.
                    self.assertEqual(r["code"], 777, d["path"])
                    want = want[:4096] + b"*" * 4096 + want[8192:]
                else:
                    self.assertEqual(r["code"], 776, d["path"])
                self.assertEqual(got, want, d["path"])
                when = datetime.datetime.fromtimestamp(os.path.getmtime(r["output"]), datetime.timezone.utc)
                self.assertEqual(when.strftime("%Y-%m-%dT%H:%M:%SZ"), d["mtime"], d["path"])
            # The NUL is shown as U+2400 and becomes "_" in the output name, as control characters do.
            self.assertEqual(os.path.basename(results["\\nul\u2400name.txt"]["output"]), "nul_name.txt")

    def test_info_names_the_file_system_and_its_geometry(self):
        for img, path in self.volumes():
            with self.subTest(image=img["name"]):
                j = json.loads(run("info", "--json", path, check_code=0).stdout)
                self.assertEqual((j["file_system"], j["sector_size"], j["cluster_size"], j["cluster_count"], j["label"]),
                                 ("exFAT", img["sector_size"], img["cluster_size"], img["cluster_count"], img["label"]))
                self.assertTrue(j["supported"])
                self.assertLess(j["free_clusters"], j["cluster_count"])

    def test_every_deleted_file_is_listed_with_size_time_and_estimate(self):
        for img, path in self.volumes():
            with self.subTest(image=img["name"]):
                listed = {full_path(r): r for r in deleted_listing(path)}
                self.assertEqual(set(listed), {d["path"] for d in img["deleted"]})
                for d in img["deleted"]:
                    r = listed[d["path"]]
                    self.assertEqual(r["size"], d["size"], d["path"])
                    self.assertEqual(r["modified"], d["mtime"], d["path"])
                    self.assertRegex(str(r["locator"]) + ":" + str(r["index"]), r"^\d+:\d+$")
                    # A chain exfat-fuse zeroed leaves the clusters after the gap to guess,
                    # and the file's tail lies behind a live spacer.
                    self.assertEqual(r["recoverable"] < 100, "chain-lost" in d["kinds"], d["path"])

    @unittest.skipUnless(shutil.which("fls"), "sleuthkit's fls is not installed")
    def test_search_lists_what_fls_lists(self):
        for img, path in self.volumes():
            with self.subTest(image=img["name"]):
                listed = {full_path(r) for r in deleted_listing(path)}
                self.assertEqual(set(fls_deleted_files(path, 0)), listed)

    def test_recovered_bytes_times_and_guesses(self):
        for img, path in self.volumes():
            with self.subTest(image=img["name"]), tempfile.TemporaryDirectory() as out:
                p = run("recover", "--json", path, "--to", out, env_tz="Asia/Kolkata")
                results = {source_in_volume(r["source"]): r for r in json_lines(p.stdout)}
                self.assertEqual(set(results), {d["path"] for d in img["deleted"]})
                for d in img["deleted"]:
                    r = results[d["path"]]
                    if "chain-lost" in d["kinds"]:
                        # Its chain is gone: the clusters after the first are guessed and the
                        # guess runs into a live spacer.
                        self.assertEqual((r["code"], r["contiguous_guess"]), (777, True), d["path"])
                        self.assertEqual(p.returncode, 0)
                        continue
                    self.assertEqual((r["code"], r["contiguous_guess"]), (776, False), d["path"])
                    self.assertEqual(sha256_file(r["output"]), d["sha256"], d["path"])
                    # The entry's UTC offset makes the time exact whatever the zone.
                    when = datetime.datetime.fromtimestamp(os.path.getmtime(r["output"]), datetime.timezone.utc)
                    self.assertEqual(when.strftime("%Y-%m-%dT%H:%M:%SZ"), d["mtime"], d["path"])

    def test_ids_select_files_and_nothing_is_overwritten(self):
        img, path = self.volumes()[0]
        listed = deleted_listing(path)
        pick = next(r for r in listed if r["name"] == "notes-deleted.txt")
        ident = "%d:%d" % (pick["locator"], pick["index"])
        with tempfile.TemporaryDirectory() as out:
            for _ in range(2):
                p = run("recover", path, "--to", out, "--id", ident, check_code=0)
                self.assertIn("1 recovered", p.stdout.decode())
            self.assertEqual(sorted(os.listdir(out)), ["notes-deleted.txt", "notes-deleted;1.txt"])
            run("recover", path, "--to", out, "--id", "%d:%d" % (pick["locator"], pick["index"] + 1), check_code=2)

    def damaged(self, edit):
        img, path = next((i, p) for i, p in self.volumes() if i["name"] == "exfat-4k.img")
        with open(path, "rb") as f:
            data = bytearray(f.read())
        edit(data)
        tmp = tempfile.NamedTemporaryFile(suffix=".img", delete=False)
        tmp.write(data)
        tmp.close()
        self.addCleanup(os.unlink, tmp.name)
        return img, tmp.name

    def test_a_boot_region_is_refused_only_when_its_backup_fails_too(self):
        def flip(region):
            def edit(d):
                sec = 1 << d[108]
                d[region * 12 * sec + 300] ^= 0xFF  # boot code, covered by the checksum
            return edit
        img, main_only = self.damaged(flip(0))
        _, both = self.damaged(lambda d: (flip(0)(d), flip(1)(d)))
        for cmd in ("info", "search"):
            err = run(cmd, main_only, check_code=0).stderr.decode()
            self.assertIn("backup boot region (sectors 12-23)", err)
            self.assertIn(main_only, err)
            err = run(cmd, both, check_code=2).stderr.decode()
            self.assertIn("checksum", err)
            self.assertIn("backup", err)
            self.assertIn(both, err)
        listed = {full_path(r) for r in deleted_listing(main_only)}
        self.assertEqual(listed, {d["path"] for d in img["deleted"]})

    def test_damaged_sets_and_chains_end_cleanly(self):
        def fat_of(d):
            sec = 1 << d[108]
            return int.from_bytes(d[80:84], "little") * sec

        def bogus_length(d):
            at = exfat_find_set(d, "photo-deleted.jpg")
            exfat_rewrite_set(d, at, lambda e: e.__setitem__(slice(56, 64), (1 << 62).to_bytes(8, "little")))

        def runs_past_end(d):
            at = exfat_find_set(d, "notes-deleted.txt")
            d[at + 1] = 255  # the secondary count now reaches past the folder

        def bad_checksum(d):
            at = exfat_find_set(d, "empty-deleted.txt")
            d[at + 2] ^= 0x55

        def looping_chain(d):
            # frag-kept.bin's chain (written back after deletion) now loops on its first cluster.
            at = exfat_find_set(d, "frag-kept.bin")
            first = int.from_bytes(d[at + 32 + 20:at + 32 + 24], "little")
            fat = fat_of(d)
            d[fat + 4 * first:fat + 4 * first + 4] = first.to_bytes(4, "little")

        def looping_root(d):
            root = int.from_bytes(d[96:100], "little")
            fat = fat_of(d)
            d[fat + 4 * root:fat + 4 * root + 4] = root.to_bytes(4, "little")

        cases = {"bogus-length": bogus_length, "runs-past-end": runs_past_end, "bad-checksum": bad_checksum,
                 "looping-chain": looping_chain, "looping-root": looping_root}
        for case, edit in cases.items():
            with self.subTest(case=case), tempfile.TemporaryDirectory() as out:
                img, path = self.damaged(edit)
                p = run("search", path, check_code=0)
                text = p.stdout.decode()
                listed = {full_path(r) for r in deleted_listing(path)}
                q = run("recover", "--json", path, "--to", out)
                self.assertIn(q.returncode, (0, 1), q.stderr)
                results = {source_in_volume(r["source"]): r for r in json_lines(q.stdout)}
                if case in ("runs-past-end", "bad-checksum"):
                    gone = "\\notes-deleted.txt" if case == "runs-past-end" else "\\empty-deleted.txt"
                    self.assertNotIn(gone, listed)
                    self.assertIn("1 deleted entry sets left out", text)
                if case == "bogus-length":
                    r = results["\\photo-deleted.jpg"]
                    # No file holds more clusters than the volume: cut there, said by 777.
                    self.assertEqual(r["code"], 777)
                    self.assertLessEqual(os.path.getsize(r["output"]), img["size"])
                if case == "looping-chain":
                    r = results["\\Frag\\frag-kept.bin"]
                    self.assertTrue(r["contiguous_guess"])
                if case != "looping-root":
                    self.assertIn("\\Frag\\frag-kept.bin", listed)


if __name__ == "__main__":
    if not os.path.exists(RETRIVA):
        print(f"retriva binary not found at {RETRIVA}", file=sys.stderr)
        sys.exit(1)
    unittest.main(verbosity=1)
