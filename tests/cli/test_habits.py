#!/usr/bin/env python3
"""End-to-end tests of what users of other recovery tools expect from the
retriva command: kept folders, filters, one file to standard output, body
files and CSV, the terminal table, help, version and exit codes.

Environment: RETRIVA (the binary), IMAGES (the unpacked test-images folder).
"""
import hashlib
import json
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_cli import (RETRIVA, ENV, images, run, json_lines, supported, deleted_listing,  # noqa: E402
                      source_in_volume, same_fat_path, tree)


def image(name):
    found = images(lambda i: i["name"] == name)
    if not found:
        raise unittest.SkipTest(f"{name} not unpacked")
    return found[0]


def sha(data):
    return hashlib.sha256(data).hexdigest()


def safe_folder(folder):
    """The folder inside the volume as the destination holds it: each name made safe."""
    parts = [p for p in folder.split("\\") if p]
    out = []
    for p in parts:
        p = "".join("_" if c in '\\/:*?"<>|' or ord(c) < 32 else c for c in p)
        while p and p[-1] in ". ":
            p = p[:-1] + "_"
        out.append(p)
    return out


class KeepFolders(unittest.TestCase):
    def test_volume_folders_are_made_again_with_the_bytes(self):
        for name in ("ntfs-512.img", "fat32-4k.img", "fat16-2k.img"):
            img, path = image(name)
            with self.subTest(image=name), tempfile.TemporaryDirectory() as out:
                p = run("recover", "--json", "--keep-folders", path, "--to", out)
                self.assertIn(p.returncode, (0, 1), p.stderr)
                results = {source_in_volume(r["source"]).lower(): r for r in json_lines(p.stdout)}
                checked = 0
                for d in img["deleted"]:
                    if d.get("reused") or d.get("overwritten") or "fragmented" in d.get("kinds", []):
                        continue
                    r = results.get(d["path"].lower())
                    if r is None:
                        r = next((v for k, v in results.items() if same_fat_path(k, d["path"])), None)
                    if r is None:
                        continue  # a second hard-link name
                    self.assertEqual(r["code"], 776, r)
                    rel = os.path.relpath(r["output"], out).split(os.sep)
                    want = safe_folder(source_in_volume(r["source"]).rsplit("\\", 1)[0])
                    self.assertEqual(rel[:-1], want, r)
                    with open(r["output"], "rb") as f:
                        self.assertEqual(sha(f.read()), d["sha256"], d["path"])
                    checked += 1
                self.assertGreater(checked, 5)

    def test_hostile_folder_names_stay_inside_and_a_colliding_name_is_counted_before_the_extension(self):
        img, path = image("fat16-names.img")
        with tempfile.TemporaryDirectory() as base:
            dest = os.path.join(base, "d")
            os.makedirs(dest)
            with open(os.path.join(base, "x"), "wb") as f:
                f.write(b"outside")
            before = tree(base)
            for _ in range(2):
                p = run("recover", "--json", "--keep-folders", path, "--to", dest)
                self.assertEqual(p.returncode, 0, p.stderr)
            after = tree(base)
            for k, v in before.items():
                self.assertEqual(after[k], v)
            for k in after:
                if k not in before:
                    self.assertTrue(os.path.realpath(k).startswith(os.path.realpath(dest) + os.sep), k)
            names = [os.path.basename(k) for k, v in after.items() if isinstance(v, bytes)]
            # "same:name.txt" and "same|name.txt" meet as same_name.txt: the
            # second is counted before its extension, and a second run goes on.
            for n in ("same_name.txt", "same_name;1.txt", "same_name;2.txt", "same_name;3.txt"):
                self.assertIn(n, names)
            self.assertNotIn("same_name.txt;0", names)

    def test_flat_stays_the_default(self):
        img, path = image("ntfs-512.img")
        with tempfile.TemporaryDirectory() as out:
            run("recover", path, "--to", out)
            self.assertFalse([n for n in os.listdir(out) if os.path.isdir(os.path.join(out, n))])


class Filters(unittest.TestCase):
    """Each filter gives the unfiltered listing's files that pass it, on search and recover alike."""

    def listing(self, path, *extra):
        return json_lines(run("search", "--json", path, *extra, check_code=0).stdout)

    def key(self, r):
        return (r["locator"], -1 if r["index"] is None else r["index"])

    def check(self, path, args, keep):
        everything = self.listing(path)
        want = sorted(self.key(r) for r in everything if keep(r))
        got = sorted(self.key(r) for r in self.listing(path, *args))
        self.assertEqual(got, want, args)
        with tempfile.TemporaryDirectory() as out:
            res = json_lines(run("recover", "--json", path, "--to", out, *args).stdout)
            self.assertEqual(sorted(self.key(r) for r in res), want, args)
        return want

    def test_size_bounds_with_units(self):
        for name in ("ntfs-512.img", "fat32-4k.img"):
            _, path = image(name)
            with self.subTest(image=name):
                self.assertTrue(self.check(path, ["--min-size", "4K", "--max-size", "0.01M"],
                                           lambda r: 4096 <= r["size"] <= 10485))
                self.check(path, ["--max-size", "0"], lambda r: r["size"] == 0)
                self.check(path, ["--min-size", "1g"], lambda r: False)

    def test_modification_bounds_local_and_utc(self):
        for name in ("ntfs-512.img", "fat32-4k.img"):
            _, path = image(name)
            with self.subTest(image=name):
                # TZ=UTC in ENV: local and UTC bounds agree; "after" includes its moment.
                sel = self.check(path, ["--modified-after", "2023-02-01", "--modified-before", "2023-02-01T12:00Z"],
                                 lambda r: r["modified"] and "2023-02-01T00:00:00" <= r["modified"][:19] < "2023-02-01T12:00:00")
                self.assertTrue(sel)
                first = min(r["modified"][:19] for r in self.listing(path) if r["modified"])
                self.check(path, ["--modified-after", first.replace("T", " ")],
                           lambda r: r["modified"] and r["modified"][:19] >= first)
        # A zone east of UTC moves a local bound one hour earlier.
        _, path = image("ntfs-512.img")
        env = dict(ENV, TZ="Etc/GMT-1")
        got = json_lines(subprocess.run([RETRIVA, "search", "--json", path, "--modified-before", "2023-01-31T13:00"],
                                        capture_output=True, env=env).stdout)
        self.assertTrue(got)
        self.assertTrue(all(r["modified"] < "2023-01-31T12:00:00Z" for r in got))

    def test_recoverable_share(self):
        _, path = image("ntfs-512.img")
        self.check(path, ["--min-recoverable", "100"], lambda r: r["recoverable"] == 100)
        self.check(path, ["--min-recoverable", "1"], lambda r: r["recoverable"] >= 1)

    def test_bad_values_are_usage_errors_naming_the_option(self):
        _, path = image("ntfs-512.img")
        for args in (["--min-size", "4Q"], ["--max-size", "-1"], ["--modified-after", "2023-02-30"],
                     ["--modified-before", "yesterday"], ["--min-recoverable", "101"]):
            with self.subTest(args=args):
                p = run("search", path, *args, check_code=2)
                self.assertIn(args[0], p.stderr.decode())


class Stdout(unittest.TestCase):
    def test_one_file_to_a_pipe_with_its_bytes_and_nothing_on_disk(self):
        for name in ("ntfs-512.img", "fat32-4k.img"):
            img, path = image(name)
            listed = {(r["folder"] + r["name"]).lower(): r for r in deleted_listing(path)}
            checked = 0
            with self.subTest(image=name), tempfile.TemporaryDirectory() as cwd:
                for d in img["deleted"]:
                    if d.get("reused") or d.get("overwritten") or "fragmented" in d.get("kinds", []):
                        continue
                    r = listed.get(d["path"].lower()) or next(
                        (v for k, v in listed.items() if same_fat_path(k, d["path"])), None)
                    if r is None:
                        continue
                    ident = str(r["locator"]) if r["index"] is None or img["fs"] == "NTFS" else f"{r['locator']}:{r['index']}"
                    p = subprocess.run([os.path.abspath(RETRIVA), "recover", os.path.abspath(path), "--id", ident, "--stdout"],
                                       capture_output=True, env=ENV, cwd=cwd)
                    self.assertEqual(p.returncode, 0, p.stderr)
                    self.assertEqual(sha(p.stdout), d["sha256"], d["path"])
                    self.assertEqual(p.stderr, b"")
                    checked += 1
                self.assertEqual(os.listdir(cwd), [])
            self.assertGreater(checked, 4)

    def test_usage_errors(self):
        _, path = image("ntfs-512.img")
        with tempfile.TemporaryDirectory() as out:
            for args in (["--stdout"], ["--stdout", "--id", "77", "--id", "79"], ["--stdout", "--id", "77", "--to", out],
                         ["--stdout", "--id", "77", "--json"], ["--stdout", "--id", "77", "--keep-folders"], []):
                with self.subTest(args=args):
                    p = run("recover", path, *args, check_code=2)
                    self.assertEqual(p.stdout, b"")
            run("recover", path, "--stdout", "--id", "5", check_code=2)  # no deleted file


def body_lines(text):
    out = []
    for line in text.splitlines():
        f = line.split("|")
        if len(f) == 11:
            out.append(f)
    return out


class Timeline(unittest.TestCase):
    """--bodyfile gives every time the volume keeps, as sleuthkit's `fls -m` reads them."""

    def ours(self, path, tz="UTC"):
        p = subprocess.run([RETRIVA, "search", "--bodyfile", path], capture_output=True, env=dict(ENV, TZ=tz))
        self.assertEqual(p.returncode, 0, p.stderr)
        return body_lines(p.stdout.decode())

    def fls(self, path, tz="UTC"):
        p = subprocess.run(["fls", "-m", "/", "-r", "-d", path], capture_output=True, env=dict(ENV, TZ=tz), check=True)
        return body_lines(p.stdout.decode())

    def test_ntfs_four_standard_information_times_match_fls(self):
        for name in ("ntfs-512.img", "ntfs-4k.img"):
            _, path = image(name)
            with self.subTest(image=name):
                theirs = {}
                for f in self.fls(path):
                    inode = f[2].split("-")
                    if len(inode) == 3 and inode[1] == "128" and "($FILE_NAME)" not in f[1] and ":" not in f[1]:
                        theirs[int(inode[0])] = f
                compared = 0
                for f in self.ours(path):
                    self.assertEqual(f[0], "0")
                    self.assertTrue(f[1].startswith("/") and f[1].endswith(" (deleted)"), f)
                    if ":" in f[1] or int(f[2]) not in theirs:
                        continue
                    t = theirs[int(f[2])]
                    self.assertEqual(f[6:], t[6:], (f, t))  # size, atime, mtime, ctime, crtime
                    self.assertEqual(f[1], t[1])
                    self.assertTrue(all(int(x) > 0 for x in f[7:]), f)
                    compared += 1
                self.assertGreater(compared, 8)

    def test_fat_created_modified_and_access_date_match_fls_in_any_zone(self):
        _, path = image("fat32-4k.img")
        for tz in ("UTC", "America/New_York"):
            with self.subTest(tz=tz):
                theirs = {}
                for f in self.fls(path, tz):
                    theirs.setdefault((f[6], f[8]), f)
                compared = 0
                for f in self.ours(path, tz):
                    t = theirs.get((f[6], f[8]))
                    if t is None:
                        continue
                    self.assertEqual(f[6:], t[6:], (f, t))
                    self.assertEqual(f[9], "0")  # FAT keeps no change time
                    compared += 1
                self.assertGreater(compared, 5)

    def test_csv_has_a_header_and_one_quoted_row_per_file(self):
        import csv
        import io
        for name in ("ntfs-names.img", "fat32-4k.img"):
            _, path = image(name)
            with self.subTest(image=name):
                listed = deleted_listing(path)
                rows = list(csv.reader(io.StringIO(run("search", "--csv", path, check_code=0).stdout.decode(), newline="")))
                self.assertEqual(rows[0], ["name", "folder", "size", "modified", "created", "changed", "accessed", "id",
                                           "recoverable"])
                self.assertEqual(len(rows) - 1, len(listed))
                for row, r in zip(rows[1:], listed):
                    self.assertEqual(row[0], r["name"])
                    self.assertEqual(row[1], r["folder"])
                    self.assertEqual(int(row[2]), r["size"])
                    self.assertEqual(row[3], r["modified"].rstrip("Z") if row[3] and not row[3].endswith("Z") else r["modified"])
                    self.assertEqual(row[8], str(r["recoverable"]))

    def test_machine_formats_exclude_each_other(self):
        _, path = image("ntfs-512.img")
        run("search", "--csv", "--json", path, check_code=2)
        run("search", "--bodyfile", "--csv", path, check_code=2)


if __name__ == "__main__":
    unittest.main()
