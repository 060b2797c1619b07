#!/usr/bin/env python3
"""Compares what the window program listed and recovered (written by
quorvex_driver.exe under BUILD/window-results) with the command line's
`search --json` and `recover --json` on the same mapped volumes.

Usage: compare_results.py BUILD_DIR WINE_RUN_SCRIPT
"""
import csv
import hashlib
import json
import os
import re
import subprocess
import sys

build, run = sys.argv[1], sys.argv[2]
results = os.path.join(build, "window-results")
here = os.path.dirname(os.path.abspath(__file__))
failures = 0


def check(ok, what):
    global failures
    print(("ok     " if ok else "FAILED ") + what)
    if not ok:
        failures += 1


def library_strings():
    texts = {}
    rc = open(os.path.join(here, "..", "..", "res", "pgres.rc"), encoding="utf-8").read()
    for m in re.finditer(r'^\s+(\d+) "((?:[^"]|"")*)"\s*$', rc, re.M):
        texts[int(m.group(1))] = m.group(2).replace('""', '"').replace("\\\\", "\\")
    return texts


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def retriva(*args):
    out = subprocess.run([run, os.path.join(build, "retriva.exe"), *args], capture_output=True, text=True,
                         encoding="utf-8")
    return [json.loads(line) for line in out.stdout.splitlines() if line.startswith("{")]


def grouped(n):
    return "{:,}B".format(n)


def signed32(n):
    return str(n - (1 << 32) if n >= (1 << 31) else n)


strings = library_strings()


def window_name(cli_name):
    """The name the window program gives the file the command line named: the
    command line counts a taken name before its extension from 1 ("x;1.txt"),
    the window after the whole name from 0 ("x.txt;0")."""
    m = re.match(r"^(.+?);(\d+)((?:\.[^.;\\/]*)?)$", cli_name)
    if not m or int(m.group(2)) == 0:
        return cli_name
    return m.group(1) + m.group(3) + ";" + str(int(m.group(2)) - 1)


report_ids = {776: (101, "output"), 777: (102, "output"), 778: (104, "source"), 785: (377, "source")}

def condition_word(share, guessed, zeroed):
    """The word the window's condition column gives a file."""
    if zeroed:
        return strings[475]
    if share == 0:
        return strings[473]
    if guessed:
        return strings[474]
    return strings[471] if share >= 100 else strings[472]


# The committed images window-test.sh maps, by kind. The command line is
# run on the image itself for what it tells only of images: a drive letter
# of Wine answers the cluster size of the folder it maps, which the guess
# of a recovery reads, and the deep scan reads images and devices only.
images = {"ntfs": "ntfs-4k", "fat16": "fat16-2k", "fat32": "fat32-512", "ntfs-long-path": "ntfs-long-path",
          "deep-fat32": "deep-fat32"}


def image_of(kind):
    return windows_path(os.path.join(build, "test-images", images[kind] + ".img"))


def check_conditions(letter, kind, drive):
    """The window's condition of each file: the share `search` gives and the
    guess `recover` makes of it."""
    found = retriva("search", image_of(kind), "--json")
    outcomes = retriva("recover", image_of(kind), "--to", windows_path(os.path.join(results, letter + "-guess")),
                       "--json")
    path = os.path.join(results, letter + "-conditions.tsv")
    shown = dict(l.rstrip("\n").split("\t", 1) for l in open(path, encoding="utf-8")) if os.path.exists(path) else {}
    guess = {o["source"]: (o.get("contiguous_guess", False), o.get("zeroed", False)) for o in outcomes}
    bad = []
    for j in found:
        g, z = guess.get(j["folder"] + j["name"], (False, False))
        want = "%d%% %s" % (j["recoverable"], condition_word(j["recoverable"], g, z))
        got = shown.get(drive + j["folder"] + j["name"])
        if got != want:
            bad.append((j["folder"] + j["name"], got, want))
    words = sorted(set(v.split(" ", 1)[-1] for v in shown.values()))
    check(len(found) > 0 and not bad, "the condition column of %d files says the share and guess of the command "
          "line (%s)" % (len(found), ", ".join(words)))
    for b in bad:
        print("   %s: window %r, command line %r" % b)


def deep_file(letter, kind):
    """The file the window undeleted from the deep scan's rows against
    `recover --deep --id` of the same id."""
    drive = letter.upper() + ":"
    print("-- %s (deep scan): the window against the command line" % drive)
    id_file = os.path.join(results, letter + "-deep-id.txt")
    ident = open(id_file).read().strip() if os.path.exists(id_file) else ""
    cli_out = os.path.join(results, letter + "-cli")
    outcomes = retriva("recover", image_of(kind), "--deep", "--id", ident, "--to", windows_path(cli_out),
                       "--json") if ident else []
    gui = os.path.join(results, letter + "-out", "big1.jpg")
    cli = os.path.join(cli_out, "big1.jpg")
    same = os.path.exists(gui) and os.path.exists(cli) and open(gui, "rb").read() == open(cli, "rb").read()
    check(len(outcomes) == 1 and same, "the deep-scan file %s recovered byte for byte as recover --deep --id" % ident)
    # The report beside it lists it under the same id, with its digest.
    beside = os.path.join(results, letter + "-out", strings[440])
    rows = []
    if os.path.exists(beside):
        text = open(beside, encoding="utf-8").read()
        rows = list(csv.DictReader(l for l in text.splitlines() if not l.startswith("#")))
    digest = hashlib.sha256(open(gui, "rb").read()).hexdigest() if os.path.exists(gui) else None
    check(len(rows) == 1 and rows[0]["id"] == ident and rows[0]["sha256"] == digest,
          "the report beside it has its row: id %s and the SHA-256 of its bytes (%r)" % (ident, rows))


for line in open(os.path.join(build, "window-volumes.tsv")):
    letter, kind = line.split()
    if kind in ("fat12", "large", "ntfs-big-sparse"):
        continue
    if kind == "deep-fat32":
        deep_file(letter, kind)
        continue
    drive = letter.upper() + ":"
    print("-- %s (%s): the window against the command line" % (drive, kind))
    found = retriva("search", drive, "--json")
    want = sorted([j["name"], grouped(j["size"]), j["time"], drive + j["folder"], signed32(j["locator"]),
                   " " if j["index"] is None else str(j["index"])] for j in found)
    rows_file = os.path.join(results, letter + "-rows.tsv")
    rows = [r.rstrip("\n").split("\t") for r in open(rows_file, encoding="utf-8")] if os.path.exists(rows_file) else []
    rows = sorted(rows)
    check(len(found) > 0 and rows == want, "%d rows equal the %d files of search --json" % (len(rows), len(found)))
    if rows != want:
        for r in rows:
            if r not in want:
                print("   window only: %r" % (r,))
        for r in want:
            if r not in rows:
                print("   cli only:    %r" % (r,))

    gui_out = os.path.join(results, letter + "-out")
    cli_out = os.path.join(results, letter + "-cli")
    outcomes = retriva("recover", drive, "--to", windows_path(cli_out), "--json")
    check_conditions(letter, kind, drive)
    report_name = strings[440]
    gui_files = sorted(n for n in os.listdir(gui_out) if n != report_name) if os.path.isdir(gui_out) else []
    cli_names = {window_name(n): n for n in os.listdir(cli_out)} if os.path.isdir(cli_out) else {}
    cli_files = sorted(cli_names)
    check(len(cli_files) > 0 and gui_files == cli_files, "the same %d files recovered" % len(cli_files))
    same = all(open(os.path.join(gui_out, n), "rb").read() == open(os.path.join(cli_out, cli_names[n]), "rb").read()
               for n in gui_files if n in cli_names)
    check(same and gui_files == cli_files, "recovered bytes equal recover's")

    wanted_lines = []
    for o in outcomes:
        sid, which = report_ids.get(o["code"], (143, "source"))
        name = (o[which] or "").replace(windows_path(cli_out), windows_path(gui_out))
        if which == "output":
            head, _, tail = name.rpartition("\\")
            name = head + "\\" + window_name(tail)
        wanted_lines.append(strings[sid].replace("%s", name))
    report_file = os.path.join(results, letter + "-report.txt")
    lines = open(report_file, encoding="utf-8").read().splitlines() if os.path.exists(report_file) else []
    check(sorted(lines) == sorted(wanted_lines), "%d report lines match the result codes" % len(lines))
    if sorted(lines) != sorted(wanted_lines):
        for l in sorted(set(lines) ^ set(wanted_lines)):
            print("   differs: %s" % l)

    # The report the window wrote beside the files: a row per file asked,
    # each written file's SHA-256 that of its bytes.
    beside = os.path.join(gui_out, report_name)
    rows = []
    if os.path.exists(beside):
        text = open(beside, encoding="utf-8").read()
        rows = list(csv.DictReader(l for l in text.splitlines() if not l.startswith("#")))
    check(len(rows) == len(outcomes), "the report beside the files has a row for each of the %d files" % len(outcomes))
    hashed = [r for r in rows if r["output"]]
    good = all(hashlib.sha256(open(os.path.join(gui_out, r["output"].rpartition("\\")[2]), "rb").read()).hexdigest()
               == r["sha256"] for r in hashed)
    check(len(hashed) > 0 and good, "its %d SHA-256 digests match the recovered files" % len(hashed))

print("%d failed" % failures)
sys.exit(1 if failures else 0)
