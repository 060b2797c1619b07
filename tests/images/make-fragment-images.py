#!/usr/bin/env python3
"""fat16-fragments.img: a FAT16 card (2 KiB clusters) written with mtools,
where deleted photos and documents lie in the space of files deleted before
them, contiguous over those files' first clusters or in 2, 3 and 4 pieces
around files that were there when they were written.

    OLD\\Onn.TXT    text files; two of every three deleted (holes of two files)
    DCIM\\IMG_nnnn  JPEG and PNG photos (ImageMagick) written into those holes
    FILL\\Fnn.TXT   fillers; every other one deleted before a target is written
    FRAG\\*         JPEG, PNG, PDF (ghostscript) and ZIP (zipfile) targets that
                   the allocator split around the live fillers
    PAD*.BIN       live files that fill what is left of the holes

At the end the photos, the targets and the remaining fillers are deleted too,
so every gap a target jumped is free and only its content can tell where it
goes on. Writes fragment-manifest.json (path, size, sha256, clusters while
live, pieces) and each deleted file's bytes to originals/. Needs mtools,
dosfstools, imagemagick, ghostscript, zstd.

Also makes fat16-overlap.img (see overlap()), fat16-formatted.img (see
formatted()), exfat-fragments.img (see exfat()) and exfat-overlap.img (see
exfat_overlap(); both need root, a loop device, /dev/fuse, exfatprogs and
exfat-fuse); with the argument "overlap", "formatted", "exfat" or
"exfat-overlap" only that one.

    tests/images/make-fragment-images.py [overlap|formatted|exfat|exfat-overlap]
"""
import hashlib, io, json, os, re, struct, subprocess, tempfile, time, zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
C = 2048
IMG = "fat16-fragments.img"


def run(*cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, **kw).stdout.decode(errors="replace")


def text(seed, size):
    out, off = bytearray(), 0
    while len(out) < size:
        out += ("%s %08d the quick brown fox jumps over the lazy dog\n" % (seed, off)).encode()
        off += 1
    return bytes(out[:size])


class Card:
    def __init__(self, tmp):
        self.tmp, self.img, self.t = tmp, os.path.join(tmp, IMG), 1_610_000_000
        run("mkfs.fat", "-C", "-F", "16", "-S", "512", "-s", "4", "-n", "FRAGS", self.img, str(12 * 1024))
        self.files = {}

    def put(self, path, data):
        self.t += 60
        src = os.path.join(self.tmp, "src")
        with open(src, "wb") as f:
            f.write(data)
        os.utime(src, (self.t, self.t))
        run("mcopy", "-m", "-i", self.img, src, "::" + path.replace("\\", "/"))
        out = run("mshowfat", "-i", self.img, "::" + path.replace("\\", "/"))
        runs = [(int(a), int(b or a) - int(a) + 1) for a, b in re.findall(r"<(\d+)(?:-(\d+))?>", out)]
        self.files[path] = {"path": path, "size": len(data), "runs": runs, "data": data}
        return self.files[path]

    def rm(self, path):
        run("mdel", "-i", self.img, "::" + path.replace("\\", "/"))
        self.files[path]["deleted"] = True

    def free_below_tail(self):
        with open(self.img, "rb") as f:
            d = f.read()
        res = int.from_bytes(d[14:16], "little")
        fatsz = int.from_bytes(d[22:24], "little")
        fat = d[res * 512:(res + fatsz) * 512]
        n = (len(d) // 512 - res - 2 * fatsz - 32) // 4
        used = [int.from_bytes(fat[2 * c:2 * c + 2], "little") != 0 for c in range(2, n + 2)]
        top = max(i for i, u in enumerate(used) if u) if any(used) else -1
        return sum(1 for u in used[:top] if not u)

    def pad(self, name):
        free = self.free_below_tail()
        if free:
            self.put("\\" + name, text(name, free * C))


def image(tmp, args, name):
    out = os.path.join(tmp, name)
    run("convert", *args, out)
    with open(out, "rb") as f:
        return f.read()


def pdf(tmp, seed):
    jpg = os.path.join(tmp, "p.jpg")
    run("convert", "-size", "240x180", "-seed", str(seed), "plasma:fractal", "-quality", "90", jpg)
    run("convert", jpg, "eps2:" + os.path.join(tmp, "p.eps"))
    run("gs", "-q", "-dNOPAUSE", "-dBATCH", "-sDEVICE=pdfwrite", "-sOutputFile=" + os.path.join(tmp, "p.pdf"),
        os.path.join(tmp, "p.eps"))
    with open(os.path.join(tmp, "p.pdf"), "rb") as f:
        return f.read()


def zipped(seed):
    b = io.BytesIO()
    with zipfile.ZipFile(b, "w") as z:
        z.writestr("notes.txt", text("zip%d" % seed, 9000), zipfile.ZIP_DEFLATED)
        z.writestr("noise.bin", os.urandom(14000), zipfile.ZIP_STORED)
        z.writestr("more.txt", text("zop%d" % seed, 5000), zipfile.ZIP_DEFLATED)
    return b.getvalue()


def main():
    with tempfile.TemporaryDirectory() as tmp:
        card = Card(tmp)
        for d in ("OLD", "DCIM", "FILL", "FRAG"):
            run("mmd", "-i", card.img, "::" + d)
        photos = write_photos(card, tmp, "\\DCIM")
        card.pad("PAD1.BIN")
        targets = split_targets(tmp)
        fillers = write_split(card, targets, "\\FILL", "\\FRAG")
        for f in photos + [card.files["\\FRAG\\" + t[0]] for t in targets] + fillers:
            card.rm(f["path"])
        manifest = {"image": IMG, "cluster_bytes": C, "files": []}
        for f in card.files.values():
            if f.get("deleted"):
                manifest["files"].append(manifest_row(f))
        run("zstd", "-q", "-19", "-f", card.img, "-o", os.path.join(HERE, IMG + ".zst"))
        with open(os.path.join(HERE, "fragment-manifest.json"), "w") as out:
            json.dump(manifest, out, indent=1)
            out.write("\n")


def write_photos(card, tmp, folder):
    """Old files, two of every three deleted (holes of two files each), and
    nine JPEG and PNG photos written into those holes."""
    for i in range(30):
        card.put("\\OLD\\O%02d.TXT" % i, text("old%d" % i, (1 + i % 4) * C - 100))
    for i in range(30):
        if i % 3:
            card.rm("\\OLD\\O%02d.TXT" % i)
    photos = []
    for i in range(9):
        if i % 3 == 2:
            data = image(tmp, ["-size", "48x40", "-seed", str(10 + i), "plasma:fractal"], "x.png")
            ext = "PNG"
        else:
            data = image(tmp, ["-size", "%dx%d" % (150 + 20 * i, 110 + 10 * i), "-seed", str(10 + i),
                               "plasma:fractal", "-quality", "85"], "x.jpg")
            ext = "JPG"
        photos.append(card.put("%s\\IMG_%04d.%s" % (folder, 1000 + i, ext), data))
    return photos


def split_targets(tmp):
    """JPEG, PNG, PDF and ZIP files, each with the number of pieces the
    allocator is to split it into."""
    return [
            ("T2.JPG", 2, image(tmp, ["-size", "260x190", "-seed", "31", "plasma:fractal", "-quality", "85"], "x.jpg")),
            ("T3.JPG", 3, image(tmp, ["-size", "300x220", "-seed", "32", "plasma:fractal", "-quality", "85"], "x.jpg")),
            ("T4.JPG", 4, image(tmp, ["-size", "420x320", "-seed", "33", "plasma:fractal", "-quality", "85"], "x.jpg")),
            ("T2.PNG", 2, image(tmp, ["-size", "40x40", "-seed", "34", "plasma:fractal"], "x.png")),
            ("T3.PNG", 3, image(tmp, ["-size", "56x56", "-seed", "35", "plasma:fractal"], "x.png")),
            ("T4.PNG", 4, image(tmp, ["-size", "64x64", "-seed", "36", "plasma:fractal"], "x.png")),
            ("T2.PDF", 2, pdf(tmp, 37)),
            ("T3.ZIP", 3, zipped(38)),
    ]


def write_split(card, targets, fill, frag):
    """Each target written after a group of fillers of which every other one
    was deleted: holes of h clusters with (k - 1) h < n <= k h give k
    pieces around the live fillers. Returns the live fillers."""
    fillers = []
    for g, (name, k, data) in enumerate(targets):
        n = (len(data) + C - 1) // C
        h = next(h for h in range(1, n + 1) if (k - 1) * h < n <= k * h)
        group = [card.put("%s\\F%d_%d.TXT" % (fill, g, i), text("fill%d_%d" % (g, i), h * C - 10))
                 for i in range(2 * k + 1)]
        for i in range(1, 2 * k + 1, 2):
            card.rm(group[i]["path"])
        f = card.put(frag + "\\" + name, data)
        assert len(f["runs"]) == k, (name, f["runs"])
        fillers += [group[i] for i in range(0, 2 * k + 1, 2)]
        card.pad("PAD%d.BIN" % (g + 2))
    return fillers


def manifest_row(f):
    """A file's manifest entry, its bytes kept in originals/."""
    sha = hashlib.sha256(f["data"]).hexdigest()
    orig = os.path.join(HERE, "originals", sha + ".zst")
    if not os.path.exists(orig):
        subprocess.run(["zstd", "-q", "-19", "-o", orig], input=f["data"], check=True)
    return {"path": f["path"], "size": f["size"], "sha256": sha, "original": "originals/%s.zst" % sha,
            "runs": f["runs"], "pieces": len(f["runs"])}


def formatted():
    """fat16-formatted.img: the photos and split targets of main(), left in
    place (not deleted), then the card formatted again by mkfs.fat with the
    same geometry, as a camera's quick format does: the FATs and the root
    folder are new, every other cluster keeps its bytes. The folders sit
    below CARD, so that their own names survive in CARD's old cluster; the
    files' chains went with the old FAT, so only their formats place the
    pieces. Writes formatted-manifest.json (the photos and targets)."""
    with tempfile.TemporaryDirectory() as tmp:
        card = Card(tmp)
        for d in ("CARD", "CARD\\DCIM", "CARD\\DCIM\\100CANON", "CARD\\FILL", "CARD\\DOCS", "OLD"):
            run("mmd", "-i", card.img, "::" + d.replace("\\", "/"))
        photos = write_photos(card, tmp, "\\CARD\\DCIM\\100CANON")
        card.pad("PAD1.BIN")
        targets = split_targets(tmp)
        write_split(card, targets, "\\CARD\\FILL", "\\CARD\\DOCS")
        run("mkfs.fat", "-F", "16", "-S", "512", "-s", "4", "-n", "FORMATTED", card.img)
        files = [manifest_row(f) for f in photos + [card.files["\\CARD\\DOCS\\" + t[0]] for t in targets]]
        run("zstd", "-q", "-19", "-f", card.img, "-o", os.path.join(HERE, "fat16-formatted.img.zst"))
        with open(os.path.join(HERE, "formatted-manifest.json"), "w") as out:
            json.dump({"image": "fat16-formatted.img", "cluster_bytes": C, "files": files}, out, indent=1)
            out.write("\n")


def overlap():
    """fat16-overlap.img: deleted files whose first clusters lie inside the
    span of a file deleted before them. OLD\\OLD.TXT (6 clusters) is deleted;
    NEW\\SMALL.TXT (2) and NEW\\NEW.TXT (4) are written into its place, then deleted
    too: NEW.TXT's first cluster is OLD.TXT's third, and the clusters its
    size covers are its own. Text, so no format places them: only the
    entries' ages tell. Writes overlap-manifest.json."""
    with tempfile.TemporaryDirectory() as tmp:
        card = Card(tmp)
        # In folders of their own, so that no new entry takes the old
        # one's slot.
        for d in ("OLD", "NEW"):
            run("mmd", "-i", card.img, "::" + d)
        card.put("\\KEEP.TXT", text("keep", 3 * C - 7))
        old = card.put("\\OLD\\OLD.TXT", text("old", 6 * C - 30))
        card.rm(old["path"])
        small = card.put("\\NEW\\SMALL.TXT", text("small", 2 * C - 11))
        new = card.put("\\NEW\\NEW.TXT", text("new", 4 * C - 5))
        assert small["runs"] == [(old["runs"][0][0], 2)], (small, old)
        assert new["runs"] == [(old["runs"][0][0] + 2, 4)], (new, old)
        card.rm(small["path"])
        card.rm(new["path"])
        files = []
        for f in (old, small, new):
            files.append({"path": f["path"], "size": f["size"], "sha256": hashlib.sha256(f["data"]).hexdigest(),
                          "runs": f["runs"]})
        run("zstd", "-q", "-19", "-f", card.img, "-o", os.path.join(HERE, "fat16-overlap.img.zst"))
        with open(os.path.join(HERE, "overlap-manifest.json"), "w") as out:
            json.dump({"image": "fat16-overlap.img", "cluster_bytes": C, "files": files}, out, indent=1)
            out.write("\n")


def exfat_chain(img, name, folder_name=None):
    """(first cluster, NoFatChain, clusters) of a live file in the root
    folder of an exFAT image (or in its subfolder `folder_name`), read from
    its entry set and the FAT."""
    with open(img, "rb") as f:
        d = f.read()
    fat_off, fat_len, heap, count, root = struct.unpack_from("<IIIII", d, 80)
    bps, C = 1 << d[108], 1 << (d[108] + d[109])
    fat = d[fat_off * bps:(fat_off + fat_len) * bps]

    def chain(c, n):
        out = []
        while 2 <= c < count + 2 and len(out) < n:
            out.append(c)
            c = struct.unpack_from("<I", fat, 4 * c)[0]
        return out

    def clusters_of(first, nofat, n):
        return list(range(first, first + n)) if nofat else chain(first, n)

    def find(clusters, wanted):
        folder = b"".join(d[heap * bps + (c - 2) * C:heap * bps + (c - 1) * C] for c in clusters)
        for i in range(0, len(folder) - 64, 32):
            if folder[i] != 0x85:
                continue
            s, k = folder[i + 32:i + 64], folder[i + 1]
            names = b"".join(folder[i + 64 + 32 * j + 2:i + 96 + 32 * j] for j in range(k - 1))
            if names.decode("utf-16-le")[:s[3]] != wanted:
                continue
            first, size = struct.unpack_from("<I", s, 20)[0], struct.unpack_from("<Q", s, 24)[0]
            n, nofat = (size + C - 1) // C, bool(s[1] & 2)
            return first, nofat, clusters_of(first, nofat, n)
        raise KeyError(wanted)

    where = chain(root, count)
    if folder_name is not None:
        where = find(where, folder_name)[2]
    return find(where, name)


class ExfatCard:
    """A 4 MiB exFAT image (2 KiB clusters) on a loop device, mounted through
    exfat-fuse at `mnt` while inside a `with card.mounted():` block."""

    def __init__(self, tmp, name, label):
        self.img, self.mnt = os.path.join(tmp, name), os.path.join(tmp, "mnt")
        os.makedirs(self.mnt, exist_ok=True)
        with open(self.img, "wb") as f:
            f.truncate(4 * 1024 * 1024)
        self.dev = run("losetup", "-f", "--show", self.img).strip()
        run("mkfs.exfat", "-c", str(C), "-L", label, self.dev)

    def mounted(self):
        card = self

        class Mounted:
            def __enter__(self):
                run("mount.exfat-fuse", card.dev, card.mnt)

            def __exit__(self, *a):
                os.sync()
                for _ in range(50):
                    if subprocess.run(["umount", card.mnt]).returncode == 0:
                        break
                    time.sleep(0.2)
        return Mounted()

    def put(self, name, data):
        with open(os.path.join(self.mnt, name), "wb") as f:
            f.write(data)

    def rm(self, name):
        os.remove(os.path.join(self.mnt, name))

    def close(self):
        subprocess.run(["losetup", "-d", self.dev])


def exfat_overlap():
    """exfat-overlap.img: OLD\\OLD.TXT (8 clusters, contiguous: exfat-fuse
    sets NoFatChain) is deleted; NEW\\NEW.TXT (3 clusters), written 2 s
    later, takes its first three clusters, and is deleted too. OLD.TXT's
    entry still names all eight: the first three hold NEW.TXT's bytes now.
    Writes exfat-overlap-manifest.json."""
    with tempfile.TemporaryDirectory() as tmp:
        card = ExfatCard(tmp, "exfat-overlap.img", "OVERLAP")
        try:
            old, new = text("old", 8 * C - 30), text("new", 3 * C - 5)
            with card.mounted():
                os.makedirs(os.path.join(card.mnt, "OLD"))
                os.makedirs(os.path.join(card.mnt, "NEW"))
                card.put("KEEP.TXT", text("keep", 3 * C - 7))
                card.put("OLD/OLD.TXT", old)
            runs = {}

            def note(name):
                first, nofat, clusters = exfat_chain(card.img, name + ".TXT", name)
                assert nofat, name
                runs[name] = [[first, len(clusters)]]
            note("OLD")
            with card.mounted():
                card.rm("OLD/OLD.TXT")
            time.sleep(2.1)
            with card.mounted():
                card.put("NEW/NEW.TXT", new)
            note("NEW")
            assert runs["NEW"][0][0] == runs["OLD"][0][0], runs
            with card.mounted():
                card.rm("NEW/NEW.TXT")
        finally:
            card.close()
        files = [{"path": "\\OLD\\OLD.TXT", "size": len(old), "sha256": hashlib.sha256(old).hexdigest(),
                  "runs": runs["OLD"], "overwritten_clusters": 3},
                 {"path": "\\NEW\\NEW.TXT", "size": len(new), "sha256": hashlib.sha256(new).hexdigest(),
                  "runs": runs["NEW"]}]
        with open(os.path.join(tmp, "old.txt"), "wb") as f:
            f.write(old)
        run("zstd", "-q", "-19", "-f", card.img, "-o", os.path.join(HERE, "exfat-overlap.img.zst"))
        run("zstd", "-q", "-19", "-f", os.path.join(tmp, "old.txt"), "-o", os.path.join(HERE, "exfat-overlap-old.txt.zst"))
        with open(os.path.join(HERE, "exfat-overlap-manifest.json"), "w") as out:
            json.dump({"image": "exfat-overlap.img", "cluster_bytes": C, "files": files}, out, indent=1)
            out.write("\n")


def exfat():
    """exfat-fragments.img: an exFAT card (2 KiB clusters) written through
    exfat-fuse, where JPEG (2, 3 and 4 pieces), PNG, PDF and ZIP files were
    split around live fillers (every other one deleted first; the target
    written at least 2 s after them, so its entry is the newer) and then
    deleted, the fillers after them: exfat-fuse clears a deleted file's FAT
    chain, so only the content (and the older files around it) tells where
    each goes on. Writes exfat-fragment-manifest.json."""
    with tempfile.TemporaryDirectory() as tmp:
        card = ExfatCard(tmp, "exfat-fragments.img", "FRAGS")
        img, mnt, put, Mounted = card.img, card.mnt, card.put, card.mounted
        try:
            targets = [t for t in split_targets(tmp) if t[0] in ("T2.JPG", "T3.JPG", "T4.JPG", "T4.PNG", "T2.PDF", "T3.ZIP")]
            fillers = []
            with Mounted():
                for g, (name, k, data) in enumerate(targets):
                    n = (len(data) + C - 1) // C
                    h = next(h for h in range(1, n + 1) if (k - 1) * h < n <= k * h)
                    group = ["F%d_%d.TXT" % (g, i) for i in range(2 * k + 1)]
                    for i, f in enumerate(group):
                        put(f, text(f, h * C - 10))
                    os.sync()
                    for f in group[1::2]:
                        os.remove(os.path.join(mnt, f))
                    os.sync()
                    # exFAT times count 2 s steps (exfat-fuse leaves the 10 ms
                    # part 0): the target is written in a later step than its
                    # fillers, so the fillers left around it are the older files.
                    time.sleep(2.1)
                    put(name, data)
                    # What is left of the last hole, filled so that the next group starts after it.
                    if k * h > n:
                        put("P%d.BIN" % g, text("pad%d" % g, (k * h - n) * C))
                    os.sync()
                    fillers += group[0::2]
            files = []
            for name, k, data in targets:
                first, nofat, clusters = exfat_chain(img, name)
                runs = []
                for c in clusters:
                    if runs and runs[-1][0] + runs[-1][1] == c:
                        runs[-1][1] += 1
                    else:
                        runs.append([c, 1])
                assert not nofat and len(runs) == k, (name, runs)
                files.append(manifest_row({"path": "\\" + name, "size": len(data), "runs": runs, "data": data}))
            with Mounted():
                for name, k, data in targets:
                    os.remove(os.path.join(mnt, name))
                for f in fillers:
                    os.remove(os.path.join(mnt, f))
        finally:
            card.close()
        run("zstd", "-q", "-19", "-f", img, "-o", os.path.join(HERE, "exfat-fragments.img.zst"))
        with open(os.path.join(HERE, "exfat-fragment-manifest.json"), "w") as out:
            json.dump({"image": "exfat-fragments.img", "cluster_bytes": C, "files": files}, out, indent=1)
            out.write("\n")


if __name__ == "__main__":
    import sys
    # "overlap" or "formatted" makes only that image.
    if not sys.argv[1:]:
        main()
    if sys.argv[1:] in ([], ["overlap"]):
        overlap()
    if sys.argv[1:] in ([], ["formatted"]):
        formatted()
    if sys.argv[1:] in ([], ["exfat"]):
        exfat()
    if sys.argv[1:] in ([], ["exfat-overlap"]):
        exfat_overlap()
