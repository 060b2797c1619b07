#!/usr/bin/env python3
"""recover --report: the checksum form passes `sha256sum -c`, the CSV's
digests are those of the files written, and the DFXML holds the elements an
examiner's tools read (creator, source with the image's hash, and per file
filename, filesize, hashdigest, mtime, byte_runs) in the order DFXML's schema
gives them, on NTFS, FAT and exFAT; each byte_run points at the file's bytes
in the image, also on partitions of a disk image."""
import csv
import hashlib
import io
import os
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

RETRIVA = os.environ["RETRIVA"]
IMAGES = os.environ["IMAGES"]
ENV = dict(os.environ, TZ="UTC", LC_ALL="C.UTF-8")
NS = {"d": "http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML", "r": "urn:retriva:report"}
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def digest(path, kind):
    with open(path, "rb") as f:
        return hashlib.new(kind, f.read()).hexdigest()


# The children DFXML's schema allows, in its order (a sequence).
DFXML_ORDER = ["metadata", "creator", "source", "volume", "fileobject"]
CREATOR_ORDER = ["program", "version", "build_environment", "execution_environment", "library"]
FILEOBJECT_ORDER = ["parent_object", "filename", "partition", "id", "name_type", "filesize", "unalloc", "alloc",
                    "used", "unused", "orphan", "compressed", "inode", "meta_type", "mode", "nlink", "uid", "gid",
                    "mtime", "ctime", "atime", "crtime", "seq", "dtime", "bkup_time", "link_target", "libmagic",
                    "byte_runs", "hashdigest"]


def in_schema_order(element, order, what):
    """The element's DFXML children come in the schema's order; elements of
    another namespace (this report's own) may only follow them."""
    at, foreign = 0, False
    for child in element:
        ns, _, tag = child.tag[1:].partition("}")
        if ns != NS["d"]:
            foreign = True
            continue
        check(not foreign, f"{what}: <{tag}> after an element of another namespace")
        check(tag in order and order.index(tag) >= at, f"{what}: <{tag}> out of the schema's order")
        if tag in order:
            at = order.index(tag)


def check_dfxml_structure(root, name):
    check(root.tag == "{%s}dfxml" % NS["d"] and root.get("version"), f"{name}: dfxml root and its version")
    in_schema_order(root, DFXML_ORDER, f"{name}: dfxml")
    meta = root.find("d:metadata", NS)
    check(meta is not None and any(c.tag.startswith("{http://purl.org/dc/elements/1.1/}") for c in meta),
          f"{name}: metadata holds a Dublin Core element")
    creator = root.find("d:creator", NS)
    check(creator is not None and creator.find("d:program", NS) is not None and
          creator.find("d:version", NS) is not None, f"{name}: creator")
    if creator is not None:
        in_schema_order(creator, CREATOR_ORDER, f"{name}: creator")
    check(root.find("d:creator/d:execution_environment/d:start_time", NS) is not None, f"{name}: start time")
    check(root.find("d:source/d:image_filename", NS) is not None, f"{name}: source names the image")
    for o in root.iter("{%s}fileobject" % NS["d"]):
        in_schema_order(o, FILEOBJECT_ORDER, f"{name}: fileobject")
        check(o.find("d:filename", NS) is not None and o.find("d:filesize", NS) is not None,
              f"{name}: fileobject has filename and filesize")


def check_byte_runs(image, root, name):
    """Each run of a file recovered whole points at its bytes: the image
    read at img_offset for len is the output at file_offset (fill="0" runs
    are zeros), and the runs cover the file. Returns how many files had
    runs, how many had more than one, and how many a fill run."""
    counts = {"files": 0, "fragmented": 0, "filled": 0, "resident": 0}
    volume = root.find("d:volume", NS)
    partition = int(volume.get("offset", "0")) if volume is not None else 0
    with open(image, "rb") as img:
        for o in root.iter("{%s}fileobject" % NS["d"]):
            result, runs = o.find("r:result", NS), o.find("d:byte_runs", NS)
            if runs is None or result is None or result.get("code") != "776" or not result.text:
                continue
            path = o.find("d:filename", NS).text
            data = open(result.text, "rb").read()
            covered = 0
            for r in runs:
                at, length = int(r.get("file_offset")), int(r.get("len"))
                check(at == covered, f"{name}: {path}: runs follow each other ({at} after {covered})")
                covered = at + length
                if r.get("fill") == "0":
                    counts["filled"] += 1
                    want = bytes(length)
                else:
                    check(int(r.get("img_offset")) - int(r.get("fs_offset")) == partition,
                          f"{name}: {path}: img_offset is fs_offset past the partition")
                    img.seek(int(r.get("img_offset")))
                    want = img.read(length)
                check(data[at:at + length] == want, f"{name}: {path}: the run at {at} holds the file's bytes")
            check(covered == len(data), f"{name}: {path}: runs cover {covered} of {len(data)} bytes")
            counts["files"] += len(runs) > 0
            counts["fragmented"] += len([r for r in runs if r.get("fill") != "0" and not r.get("type")]) > 1
            counts["resident"] += any(r.get("type") == "resident" for r in runs)
    return counts


def recover(image, report, work, name, *extra):
    out = os.path.join(work, name)
    subprocess.run([RETRIVA, "recover", image, *extra, "--to", out, "--keep-folders", "--report", report, "-q"],
                   env=ENV, capture_output=True)
    return out


def check_image(name):
    image = os.path.join(IMAGES, name)
    work = tempfile.mkdtemp(prefix="retriva-report-")
    try:
        sums = os.path.join(work, "r.sha256")
        recover(image, sums, work, "a")
        r = subprocess.run(["sha256sum", "-c", sums], capture_output=True, text=True)
        lines = open(sums).read().splitlines()
        check(r.returncode == 0 and len(lines) >= 5, f"{name}: sha256sum -c passes ({r.stdout[-300:]} {r.stderr[-300:]})")

        table = os.path.join(work, "r.csv")
        recover(image, table, work, "b")
        text = open(table, encoding="utf-8").read()
        head = [l for l in text.splitlines() if l.startswith("#")]
        check(any(l.startswith("# volume sha256: " + digest(image, "sha256")) for l in head), f"{name}: CSV names the image's hash")
        check(any(l.startswith("# started: ") for l in head) and any(l.startswith("# ended: ") for l in head), f"{name}: CSV times")
        rows = list(csv.DictReader(io.StringIO("\n".join(l for l in text.splitlines() if not l.startswith("#")))))
        written = [row for row in rows if row["output"]]
        check(len(written) >= 5, f"{name}: CSV rows")
        for row in written:
            check(row["md5"] == digest(row["output"], "md5") and row["sha256"] == digest(row["output"], "sha256"),
                  f"{name}: {row['path']} digests")
            check(row["code"] in ("776", "777"), f"{name}: {row['path']} code")
        for row in rows:
            if not row["output"]:
                check(row["code"] not in ("776", "777") and not row["sha256"], f"{name}: {row['path']} not written, no digest")

        dfxml = os.path.join(work, "r.xml")
        recover(image, dfxml, work, "c")
        root = ET.parse(dfxml).getroot()
        check_dfxml_structure(root, name)
        h = root.find("d:source/d:hashdigest[@type='sha256']", NS)
        check(h is not None and h.text == digest(image, "sha256"), f"{name}: the image's hash")
        objects = root.findall(".//d:fileobject", NS)
        check(len(objects) == len(rows), f"{name}: one fileobject per file ({len(objects)} vs {len(rows)})")
        for o in objects:
            result = o.find("r:result", NS)
            if result is not None and result.text:
                sha = o.find("d:hashdigest[@type='sha256']", NS)
                md5 = o.find("d:hashdigest[@type='md5']", NS)
                check(sha is not None and sha.text == digest(result.text, "sha256"), f"{name}: fileobject sha256")
                check(md5 is not None and md5.text == digest(result.text, "md5"), f"{name}: fileobject md5")
        check(sum(o.find("d:mtime", NS) is not None for o in objects) >= 5, f"{name}: mtimes")
        return check_byte_runs(image, root, name)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def check_deep(name):
    """recover --deep: the files of the old file system's records (FILE
    records, FAT folders) and the carved ones are in the report, each with
    the runs it was read from."""
    image = os.path.join(IMAGES, name)
    work = tempfile.mkdtemp(prefix="retriva-report-")
    try:
        dfxml = os.path.join(work, "r.xml")
        recover(image, dfxml, work, "d", "--deep")
        root = ET.parse(dfxml).getroot()
        check_dfxml_structure(root, name)
        written = [o for o in root.iter("{%s}fileobject" % NS["d"]) if o.find("r:result", NS).text]
        check(len(written) >= 15, f"{name}: the deep scan's files are reported ({len(written)})")
        for o in written:
            sha = o.find("d:hashdigest[@type='sha256']", NS)
            check(sha is not None and sha.text == digest(o.find("r:result", NS).text, "sha256"),
                  f"{name}: {o.find('d:filename', NS).text}: sha256 of the file written")
        return check_byte_runs(image, root, name)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def check_partition(name, number):
    """On a partition of a disk image, img_offset counts from the disk's
    first byte."""
    image = os.path.join(IMAGES, name)
    work = tempfile.mkdtemp(prefix="retriva-report-")
    try:
        dfxml = os.path.join(work, "r.xml")
        recover(image, dfxml, work, "p", "--partition", str(number))
        root = ET.parse(dfxml).getroot()
        offset = root.find("d:volume/d:partition_offset", NS)
        check(offset is not None and int(offset.text) > 0, f"{name} #{number}: partition_offset")
        return check_byte_runs(image, root, f"{name} #{number}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    # Per volume, at least: files with runs, files in more than one piece,
    # files with a hole (fill="0"), files of resident data.
    expected = {"ntfs-4k.img": (8, 2, 1, 2), "fat32-4k.img": (8, 0, 0, 0), "exfat-4k.img": (5, 0, 0, 0)}
    for name, (files, fragmented, filled, resident) in expected.items():
        if not os.path.exists(os.path.join(IMAGES, name)):
            continue
        counts = check_image(name)
        check(counts["files"] >= files and counts["fragmented"] >= fragmented and counts["filled"] >= filled and
              counts["resident"] >= resident, f"{name}: byte runs checked {counts}")
    for name, (files, resident) in {"deep-ntfs.img": (15, 2), "deep-fat32.img": (15, 0)}.items():
        if os.path.exists(os.path.join(IMAGES, name)):
            counts = check_deep(name)
            check(counts["files"] >= files and counts["resident"] >= resident, f"{name}: byte runs checked {counts}")
    if os.path.exists(os.path.join(IMAGES, "disk-mbr.img")):
        for number in (1, 2):
            counts = check_partition("disk-mbr.img", number)
            check(counts["files"] >= 5, f"disk-mbr.img #{number}: byte runs checked {counts}")
    print("failures:", len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
