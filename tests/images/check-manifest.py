#!/usr/bin/env python3
"""Check manifest.json against the compressed images and originals.

For each image: decompress to a temp dir, check the size, check that the deleted
paths show up in sleuthkit's `fls -r -d -p` (where sleuthkit reads the volume),
that live paths show up in `fls -r -p`, that `icat` of live files gives their bytes,
and that every original's SHA-256 and size match.  Usage: check-manifest.py [name ...]
"""
import hashlib
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
errors = []


def err(msg):
    errors.append(msg)
    print("FAIL:", msg, flush=True)


def unzstd(path, dst=None):
    if dst:
        subprocess.run(["zstd", "-d", "-q", "-f", path, "-o", dst], check=True)
        return None
    return subprocess.run(["zstd", "-d", "-q", "-c", path], check=True, capture_output=True).stdout


def fls(img, offset_sectors, deleted):
    cmd = ["fls", "-r", "-p"] + (["-d"] if deleted else []) + ["-o", str(offset_sectors), img]
    p = subprocess.run(cmd, capture_output=True)
    if p.returncode != 0:
        return None
    out = {}
    for line in p.stdout.decode("utf-8", "replace").splitlines():
        if "\t" not in line:
            continue
        meta, name = line.split("\t", 1)
        inode = meta.split()[-1].rstrip(":")
        out["\\" + name.replace("/", "\\")] = inode
    return out


def check_original(e, what):
    path = os.path.join(HERE, e["original"])
    if not os.path.exists(path):
        err("%s: missing %s" % (what, e["original"]))
        return
    data = unzstd(path)
    if hashlib.sha256(data).hexdigest() != e["sha256"] or len(data) != e["size"]:
        err("%s: original mismatch" % what)


def sleuthkit_shows(units):
    """A name as fls prints it: control characters as '^'; a lone surrogate as '^' that swallows the
    unit after it."""
    out, i = [], 0
    while i < len(units):
        u = units[i]
        if 0xD800 <= u <= 0xDBFF and i + 1 < len(units) and 0xDC00 <= units[i + 1] <= 0xDFFF:
            out.append(chr(0x10000 + ((u - 0xD800) << 10) + units[i + 1] - 0xDC00))
            i += 2
        elif 0xD800 <= u <= 0xDBFF:
            out.append("^")
            i += 2
        elif 0xDC00 <= u <= 0xDFFF:
            out.append("^")
            i += 1
        elif u == 0:
            break                         # NTFS: fls ends the name at a NUL unit
        else:
            out.append("^" if u < 0x20 else chr(u))
            i += 1
    return "".join(out)


def check_hostile(name, im, e, got, by_inode, img, offset):
    """A deleted file whose on-disk name is hostile: fls lists it under that name (NTFS: as its MFT
    record; fls hides FAT entries named "." or ".." and short names with separator bytes)."""
    raw = bytes.fromhex(e["name_utf16"])
    units = [raw[i] | raw[i + 1] << 8 for i in range(0, len(raw), 2)]
    shown = "\\" + sleuthkit_shows(units).replace("/", "\\")
    if e.get("mft_record") is not None:
        listed = by_inode.get(str(e["mft_record"]))
        if listed is None:
            err("%s: deleted record %s (%s) not listed by fls -d" % (name, e["mft_record"], e["case"]))
        elif listed != shown and not (len(shown.encode()) > 256 and shown.startswith(listed.rstrip("\ufffd"))):
            # fls cuts names at about 256 UTF-8 bytes, even inside a character
            err("%s: record %s listed as %r, manifest name shows as %r" % (name, e["mft_record"], listed, shown))
        data = subprocess.run(["icat", "-o", str(offset), img, str(e["mft_record"])], capture_output=True).stdout
        if hashlib.sha256(data).hexdigest() != e["sha256"]:
            err("%s: icat of deleted record %s differs" % (name, e["mft_record"]))
        return 1
    if shown in got or any(len(shown.encode()) > 256 and shown.startswith(k.rstrip("\ufffd")) and
                           len(k) > 64 for k in got):
        return 1
    if im["fs"] != "NTFS" and (e["case"] in ("dot", "dotdot", "short-name")):
        print("note: %s: %s (%s) not listed by fls, which hides such FAT names" % (name, e["path"], e["case"]))
        return 0
    err("%s: deleted %s (%s) not listed by fls -d" % (name, e["path"], e["case"]))
    return 0


def main():
    m = json.load(open(os.path.join(HERE, "manifest.json"), encoding="utf-8"))
    only = set(sys.argv[1:])
    with tempfile.TemporaryDirectory() as tmp:
        for im in m["images"]:
            if only and im["name"] not in only:
                continue
            name = im["name"]
            img = os.path.join(tmp, name)
            unzstd(os.path.join(HERE, im["file"]), img)
            if os.path.getsize(img) != im["size"]:
                err("%s: size %d != %d" % (name, os.path.getsize(img), im["size"]))
            for e in im["deleted"]:
                check_original(e, name + e["path"])
                for s in e.get("streams", []):
                    check_original(s, name + e["path"] + ":" + s["name"])
            parts = im.get("partitions") or [{"number": None, "start": 0}]
            checked = 0
            for p in parts:
                sec = im["sector_size"]
                dels = [e for e in im["deleted"] if e.get("partition") == p["number"]]
                lives = [e for e in im["live"] if e.get("partition") == p["number"]]
                if not im.get("sleuthkit", True):
                    if im["fs"] == "NTFS" and not im["damaged"]:
                        for e in lives:
                            data = subprocess.run(["ntfscat", img, e["path"].replace("\\", "/")],
                                                  capture_output=True).stdout
                            if hashlib.sha256(data).hexdigest() != e["sha256"]:
                                err("%s: ntfscat of live %s differs" % (name, e["path"]))
                            checked += 1
                    continue
                got = fls(img, p["start"] // 512, True)
                if got is None:
                    err("%s: fls failed" % name)
                    continue
                def find(path):
                    if path in got:
                        return got[path]
                    want = path.lower().split("\\")
                    for k, v in got.items():
                        have = k.lower().split("\\")
                        if len(have) == len(want) and all(
                                a == b or (len(a) == len(b) and all(
                                    x == y or i == 0 or (x == "^" and ord(y) > 127) for i, (x, y) in enumerate(zip(a, b))))
                                for a, b in zip(have, want)):
                            return v       # FAT: deleted short names lose char 1; sleuthkit shows OEM chars as ^
                    return None
                by_inode = {v.split("-")[0]: k for k, v in got.items()}
                for e in dels:
                    if "name_utf16" in e:
                        checked += check_hostile(name, im, e, got, by_inode, img, p["start"] // 512)
                        continue
                    ino = None
                    for cand in [e["path"]] + e.get("links", []):
                        ino = ino or find(cand)
                    if ino is None and "listed_as" in e and str(e["mft_record"]) in by_inode:
                        # Parents rewritten or a name emptied: fls shows the record elsewhere.
                        ino = str(e["mft_record"])
                    if ino is None:
                        if im["damaged"] == "truncated":
                            print("note: %s: %s not listed (volume cut short)" % (name, e["path"]))
                        elif "listed_as" in e:
                            print("note: %s: %s (%s) not listed by fls" % (name, e["path"][:80], e["case"]))
                        else:
                            err("%s: deleted %s not listed by fls -d" % (name, e["path"]))
                    elif im["damaged"] == "truncated":
                        pass
                    elif e.get("mft_record") is not None and not e["reused"] and not e.get("overwritten") and e["size"] \
                            and "damaged_bytes" not in e:
                        data = subprocess.run(["icat", "-o", str(p["start"] // 512), img, str(e["mft_record"])],
                                              capture_output=True).stdout
                        if hashlib.sha256(data).hexdigest() != e["sha256"]:
                            err("%s: icat of deleted %s differs" % (name, e["path"]))
                    if ino is not None and e.get("mft_record") is not None and ino.split("-")[0] != str(e["mft_record"]):
                        err("%s: %s is MFT record %s, manifest says %s" % (name, e["path"], ino, e["mft_record"]))
                    checked += 1
                live = fls(img, p["start"] // 512, False) or {}
                for e in lives:
                    if im["damaged"] == "truncated":
                        continue
                    if e["path"] not in live:
                        err("%s: live %s not listed by fls" % (name, e["path"]))
                        continue
                    if e["size"] > 64 * 1024 * 1024:
                        continue
                    data = subprocess.run(["icat", "-o", str(p["start"] // 512), img, live[e["path"]]],
                                          capture_output=True).stdout
                    if hashlib.sha256(data).hexdigest() != e["sha256"]:
                        err("%s: icat of live %s differs" % (name, e["path"]))
                    checked += 1
            print("%-28s %-5s %d entries checked with sleuthkit" % (name, im["fs"], checked), flush=True)
            os.unlink(img)
    if errors:
        print("%d problem(s)" % len(errors))
        sys.exit(1)
    print("manifest OK")


if __name__ == "__main__":
    main()
