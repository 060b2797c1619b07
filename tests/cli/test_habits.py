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


if __name__ == "__main__":
    unittest.main()
