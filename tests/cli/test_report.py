#!/usr/bin/env python3
"""recover --report: the checksum form passes `sha256sum -c`, the CSV's
digests are those of the files written, and the DFXML holds the elements an
examiner's tools read (creator, source with the image's hash, and per file
filename, filesize, hashdigest, mtime, byte_runs), on NTFS, FAT and exFAT."""
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


def recover(image, report, work, name):
    out = os.path.join(work, name)
    subprocess.run([RETRIVA, "recover", image, "--to", out, "--keep-folders", "--report", report, "-q"], env=ENV,
                   capture_output=True)
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
        check(root.tag == "{%s}dfxml" % NS["d"], f"{name}: dfxml root")
        check(root.find("d:creator/d:program", NS) is not None and root.find("d:creator/d:version", NS) is not None,
              f"{name}: creator")
        check(root.find("d:creator/d:execution_environment/d:start_time", NS) is not None, f"{name}: start time")
        h = root.find("d:source/d:hashdigest[@type='sha256']", NS)
        check(h is not None and h.text == digest(image, "sha256"), f"{name}: the image's hash")
        objects = root.findall(".//d:fileobject", NS)
        check(len(objects) == len(rows), f"{name}: one fileobject per file ({len(objects)} vs {len(rows)})")
        for o in objects:
            for tag in ("filename", "filesize", "byte_runs"):
                check(o.find("d:" + tag, NS) is not None, f"{name}: fileobject has {tag}")
            result = o.find("r:result", NS)
            if result is not None and result.text:
                sha = o.find("d:hashdigest[@type='sha256']", NS)
                md5 = o.find("d:hashdigest[@type='md5']", NS)
                check(sha is not None and sha.text == digest(result.text, "sha256"), f"{name}: fileobject sha256")
                check(md5 is not None and md5.text == digest(result.text, "md5"), f"{name}: fileobject md5")
                run = o.find("d:byte_runs/d:byte_run", NS)
                check(run is not None and int(run.get("len")) == os.path.getsize(result.text), f"{name}: byte_run length")
        check(sum(o.find("d:mtime", NS) is not None for o in objects) >= 5, f"{name}: mtimes")
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    for name in ("ntfs-4k.img", "fat32-4k.img", "exfat-4k.img"):
        if os.path.exists(os.path.join(IMAGES, name)):
            check_image(name)
    print("failures:", len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
