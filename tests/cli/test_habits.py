#!/usr/bin/env python3
"""End-to-end tests of what users of other recovery tools expect from the
retriva command: kept folders, filters, one file to standard output, body
files and CSV, the terminal table, help, version and exit codes.

Environment: RETRIVA (the binary), IMAGES (the unpacked test-images folder).
"""
import hashlib
import json
import os
import re
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


def display_width(text):
    import unicodedata
    w = 0
    for ch in text:
        if unicodedata.combining(ch) or ch in "\u200d\ufe0f":
            continue
        w += 2 if unicodedata.east_asian_width(ch) in ("W", "F") else 1
    return w


def on_terminal(args, cols=100, stdout_too=True, env=None):
    """Runs retriva with stderr (and stdout) on a pseudo-terminal of `cols`
    columns; returns (screen lines as a terminal shows them, raw terminal
    bytes, stdout bytes when it was a pipe)."""
    import fcntl
    import pty
    import select
    import struct
    import termios
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 40, cols, 0, 0))
    p = subprocess.Popen([RETRIVA, *args], stdin=subprocess.DEVNULL, stderr=slave,
                         stdout=slave if stdout_too else subprocess.PIPE, env=env or ENV)
    os.close(slave)
    raw = b""
    piped = b""
    while True:
        r, _, _ = select.select([master], [], [], 30)
        if not r:
            break
        try:
            chunk = os.read(master, 65536)
        except OSError:
            break
        if not chunk:
            break
        raw += chunk
    if not stdout_too:
        piped = p.stdout.read()
        p.stdout.close()
    p.wait(timeout=60)
    os.close(master)
    # What the screen holds: "\r" returns to the line's start, text overwrites.
    lines, cur, col = [], [], 0
    for ch in raw.decode("utf-8", errors="replace").replace("\r\n", "\n"):
        if ch == "\n":
            lines.append("".join(cur).rstrip())
            cur, col = [], 0
        elif ch == "\r":
            col = 0
        else:
            if col < len(cur):
                cur[col] = ch
            else:
                cur.append(ch)
            col += 1
    if "".join(cur).strip():
        lines.append("".join(cur).rstrip())
    return lines, raw, piped


class Terminal(unittest.TestCase):
    def test_rows_fit_the_width_with_an_ellipsis_and_no_progress_is_left(self):
        for name in ("ntfs-lost.img", "fat16-long.img"):
            _, path = image(name)
            with self.subTest(image=name):
                lines, raw, _ = on_terminal(["search", path], cols=100)
                self.assertNotIn(b"\x1b", raw)
                rows = [l for l in lines if l]
                self.assertTrue(rows[0].startswith("NAME"), rows[:2])
                self.assertRegex(rows[-1], r"^\d+ deleted files? found")
                for l in rows:
                    self.assertNotIn("Searching", l)
                    if not l.startswith(("retriva:", "1 deleted entries")):
                        self.assertLessEqual(display_width(l), 99, l)
                self.assertTrue(any("\u2026" in l for l in rows), rows)
                # To a pipe the same rows are whole.
                _, _, piped = on_terminal(["search", path], cols=100, stdout_too=False)
                self.assertNotIn("\u2026", piped.decode())
                self.assertTrue(any(len(l) > 200 for l in piped.decode().splitlines()))

    def test_columns_are_padded_by_display_width(self):
        _, path = image("ntfs-512.img")
        lines, _, _ = on_terminal(["search", path], cols=200)
        rows = [l for l in lines if l and not l.startswith(("NAME", "retriva")) and "found" not in l]
        wide = [l for l in rows if "日本語" in l]
        self.assertTrue(wide)
        for l in rows:
            name = l.split("  ")[0].rstrip()
            if display_width(name) > 40:
                continue
            # The size column ends at column 53 whatever script the name is in.
            cut = 0
            w = 0
            for i, ch in enumerate(l):
                w += display_width(ch)
                if w == 53:
                    cut = i + 1
                    break
            self.assertTrue(l[:cut].rstrip()[-1].isdigit(), l)
            self.assertEqual(l[cut:cut + 2], "  ", l)

    def test_human_sizes_and_quiet(self):
        _, path = image("ntfs-512.img")
        out = run("search", "-h", path, check_code=0).stdout.decode()
        self.assertIn(" 150K ", out)
        self.assertIn("(", out.splitlines()[-1])
        quiet = run("search", "-q", path, check_code=0).stdout.decode()
        self.assertNotIn("found", quiet)
        lines, raw, _ = on_terminal(["search", "-q", path])
        self.assertNotIn(b"Searching", raw)
        with tempfile.TemporaryDirectory() as out:
            p = run("recover", "-q", path, "--to", out)
            self.assertEqual(p.stdout, b"")
            self.assertTrue(os.listdir(out))
        run("search", "-q", "-v", path, check_code=2)


class Conventions(unittest.TestCase):
    def test_version_names_the_project_version_and_revision(self):
        out = run("--version", check_code=0).stdout.decode().strip()
        self.assertRegex(out, r"^retriva \d+\.\d+")
        src = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        if subprocess.run(["git", "-C", src, "rev-parse", "HEAD"], capture_output=True).returncode != 0:
            return  # built from sources without their history
        # The revision the binary was built from (HEAD then; maybe not now).
        m = re.search(r"\(([0-9a-f]{7,})(-dirty)?\)$", out)
        self.assertIsNotNone(m, out)
        self.assertEqual(subprocess.run(["git", "-C", src, "cat-file", "-e", m.group(1) + "^{commit}"]).returncode, 0)

    def test_help_names_the_program_and_shows_examples_and_codes(self):
        top = run("--help", check_code=0).stdout.decode()
        self.assertIn("Usage: retriva ", top)
        self.assertNotIn(RETRIVA, top)
        for text in ("Examples:", "Exit codes:", "Result codes", "776", "785", "--keep-folders"):
            self.assertIn(text, top)
        for cmd in ("info", "search", "recover"):
            with self.subTest(command=cmd):
                h = run(cmd, "--help", check_code=0).stdout.decode()
                self.assertIn(f"retriva {cmd}", h)
                self.assertIn("Examples:", h)
                self.assertIn("Exit codes:", h)
        self.assertIn("Result codes", run("recover", "--help").stdout.decode())
        everything = run("--help-all", check_code=0).stdout.decode()
        for option in ("--keep-folders", "--stdout", "--bodyfile", "--min-size", "--human-readable"):
            self.assertIn(option, everything)

    def test_unknown_command_is_named(self):
        p = run("serach", "x.img", check_code=2)
        self.assertIn(b"unknown command 'serach'", p.stderr)
        self.assertIn(b"'search'", p.stderr)
        p = run("frobnicate", check_code=2)
        self.assertIn(b"unknown command 'frobnicate'", p.stderr)

    def test_json_keys_in_the_documented_order(self):
        _, ntfs = image("ntfs-512.img")
        _, fat = image("fat32-4k.img")
        info = run("info", "--json", ntfs, check_code=0).stdout.decode()
        self.assertEqual(list(json.loads(info)), ["volume", "image_format", "image_formats_not_built_in",
                                                   "file_system", "label", "sector_size", "cluster_size",
                                                   "cluster_count", "free_clusters", "supported", "partition_table",
                                                   "partitions"])
        first = run("search", "--json", ntfs, check_code=0).stdout.decode().splitlines()[0]
        self.assertEqual(list(json.loads(first)), ["name", "folder", "size", "time", "modified", "locator", "index",
                                                    "recoverable"])
        with tempfile.TemporaryDirectory() as out:
            for path, extra in ((ntfs, []), (fat, ["contiguous_guess"])):
                lines = json_lines(run("recover", "--json", path, "--to", out).stdout)
                for r in lines:
                    self.assertEqual(list(r), ["locator", "index", "code", "source", "output"] + extra + ["zeroed"])
                    if r["code"] not in (776, 777):
                        self.assertIsNone(r["output"])
                self.assertTrue(any(r["output"] is None for r in lines) or path == fat)

    def test_manual_page_install_and_completion(self):
        build = os.path.dirname(os.path.abspath(RETRIVA))
        man = os.path.join(build, "retriva.1")
        if not os.path.exists(man):
            self.skipTest("help2man not installed: no manual page was made")
        with open(man, encoding="utf-8", errors="replace") as f:
            page = f.read()
        for text in (".TH RETRIVA", "\\-\\-keep\\-folders", "Exit codes"):
            self.assertIn(text, page)
        with tempfile.TemporaryDirectory() as prefix:
            p = subprocess.run(["cmake", "--install", build, "--prefix", prefix], capture_output=True)
            self.assertEqual(p.returncode, 0, p.stderr)
            for rel in ("bin/retriva", "share/man/man1/retriva.1", "share/bash-completion/completions/retriva"):
                self.assertTrue(os.path.exists(os.path.join(prefix, rel)), rel)
            script = os.path.join(prefix, "share/bash-completion/completions/retriva")
            def complete(*words):
                cmd = f'source "{script}"; COMP_WORDS=({" ".join(words)}); COMP_CWORD={len(words) - 1}; _retriva; ' \
                      'echo "${COMPREPLY[@]}"'
                return subprocess.run(["bash", "-c", cmd], capture_output=True, text=True).stdout.split()
            self.assertEqual(complete("retriva", "rec"), ["recover"])
            self.assertIn("--keep-folders", complete("retriva", "recover", "--k"))
            self.assertIn("--bodyfile", complete("retriva", "search", "--b"))
            self.assertNotIn("--bodyfile", complete("retriva", "recover", "--b"))


if __name__ == "__main__":
    unittest.main()
