#!/usr/bin/env bash
# Maps volume images to drive letters of the build's Wine prefix and checks
# what the Windows build makes of them:
#   - the Win32Drive unit tests (raw \\.\X: device, file-system kind, label,
#     cluster count, FAT12 refusal) in retriva_tests.exe;
#   - `retriva.exe info X: --json` and `retriva.exe info Z:\...\image --json`,
#     and `search` on both, which must find the same deleted files.
# A drive letter in Wine: dosdevices/x: is the drive's root folder (an empty
# folder here), dosdevices/x:: the raw device (the image file).
#
# The volumes: small FAT12, FAT16, FAT32 and NTFS images made here with
# mkfs.fat and mkntfs, plus the whole-volume images of the committed test
# set (build/test-images/manifest.json) that are not damaged, two exFAT
# volumes first, as far as the drive letters go.
#
# Usage: win32-drive-test.sh BUILD_DIR RETRIVA_TESTS_EXE RETRIVA_EXE
set -euo pipefail

build=$(cd "$1" && pwd -P)
tests_exe=$2
retriva_exe=$3
here=$(cd "$(dirname "$0")" && pwd -P)
run="$here/wine-run.sh"
work="$build/win32-drives"
export WINEPREFIX=${RETRIVA_WINEPREFIX:-$build/wineprefix}

PATH=$PATH:/usr/sbin:/sbin
for tool in mkfs.fat fsck.fat mkntfs ntfsinfo python3 flock; do
  command -v "$tool" >/dev/null || { echo "win32-drive-test: $tool is missing (dosfstools, ntfs-3g, python3, util-linux)" >&2; exit 1; }
done

mkdir -p "$work"
# Makes the prefix if this is the first Wine run of the build.
"$run" "$retriva_exe" --help >/dev/null

# ---- images made here ------------------------------------------------------
# name fat-bits size-MiB label [mkfs.fat options]
make_fat() {
  local name=$1 bits=$2 mib=$3 label=$4
  shift 4
  local img="$work/$name.img"
  if [ ! -f "$img" ]; then
    rm -f "$img.tmp"
    truncate -s "${mib}M" "$img.tmp"
    mkfs.fat -F "$bits" -n "$label" -i 52545256 "$@" "$img.tmp" >/dev/null
    mv "$img.tmp" "$img"
  fi
  local clusters
  clusters=$(fsck.fat -n -v "$img" | sed -n 's/^ *\([0-9]*\) data clusters.*/\1/p')
  local cluster_bytes
  cluster_bytes=$(fsck.fat -n -v "$img" | sed -n 's/^ *\([0-9]*\) bytes per cluster.*/\1/p')
  printf '%s\tFAT%s\t%s\t%s\t512\t%s\n' "$img" "$bits" "$label" "$clusters" "$cluster_bytes"
}

make_ntfs() {
  local name=$1 mib=$2 label=$3 cluster=$4
  local img="$work/$name.img"
  if [ ! -f "$img" ]; then
    rm -f "$img.tmp"
    truncate -s "${mib}M" "$img.tmp"
    mkntfs -F -q -Q -L "$label" -c "$cluster" -s 512 -p 0 -H 0 -S 0 "$img.tmp" >/dev/null 2>&1
    mv "$img.tmp" "$img"
  fi
  local clusters
  clusters=$(ntfsinfo -m "$img" 2>/dev/null | sed -n 's/^[[:space:]]*Volume Size in Clusters: *\([0-9]*\).*/\1/p')
  printf '%s\tNTFS\t%s\t%s\t512\t%s\n' "$img" "$label" "$clusters" "$cluster"
}

{
  make_fat gen-fat12 12 2 WINFAT12 -s 1
  make_fat gen-fat16 16 32 WINFAT16 -s 4
  make_fat gen-fat32 32 48 WINFAT32 -s 1
  make_ntfs gen-ntfs 16 "Win Ntfs" 4096
} >"$work/generated.tsv"

# ---- drive letters ---------------------------------------------------------
python3 - "$work" "$build/test-images/manifest.json" <<'EOF'
import json, os, sys
work, manifest = sys.argv[1], sys.argv[2]
volumes = []
for line in open(os.path.join(work, "generated.tsv")):
    img, fs, label, clusters, sector, cluster = line.rstrip("\n").split("\t")
    volumes.append(dict(image=img, fs=fs, label=label, cluster_count=int(clusters),
                        sector_size=int(sector), cluster_size=int(cluster)))
if os.path.exists(manifest):
    m = json.load(open(manifest))
    base = os.path.dirname(manifest)
    # Two exFAT volumes (512-byte and 4 KiB sectors) come first: the letters run out.
    images = m.get("images", [])
    images = [i for i in images if i["name"] in ("exfat-4k.img", "exfat-4kn.img")] + [
        i for i in images if i.get("fs") != "exFAT"]
    for i in images:
        if i.get("fs") not in ("NTFS", "FAT12", "FAT16", "FAT32", "exFAT") or i.get("damaged") or i.get("partitions"):
            continue
        # "file" is the packed name in tests/images; "name" the unpacked one.
        path = os.path.join(base, i.get("name") or i["file"].removesuffix(".zst"))
        if not os.path.exists(path):
            continue
        volumes.append(dict(image=path, fs=i["fs"], label=i.get("label", ""), cluster_count=i["cluster_count"],
                            sector_size=i["sector_size"], cluster_size=i["cluster_size"]))
# Letters from H up; A-G and Z stay with the prefix (C: is drive_c, Z: is /).
letters = "HIJKLMNOPQRSTUVWXY"
volumes = volumes[:len(letters)]
for v, letter in zip(volumes, letters):
    v["letter"] = letter
    v["unix_image"] = v["image"]
    v["image"] = "Z:" + v["image"].replace("/", "\\")
json.dump({"drives": volumes}, open(os.path.join(work, "drives.json"), "w"), indent=1)
EOF
python3 -c 'import json,sys; [print(d["letter"].lower(), d["unix_image"]) for d in json.load(open(sys.argv[1]))["drives"]]' \
  "$work/drives.json" >"$work/letters.txt"

(
  flock 9
  while read -r letter img; do
    mkdir -p "$work/root-$letter"
    ln -sfn "$work/root-$letter" "$WINEPREFIX/dosdevices/$letter:"
    ln -sfn "$img" "$WINEPREFIX/dosdevices/$letter::"
  done <"$work/letters.txt"
) 9>"$WINEPREFIX.lock"
echo "win32-drive-test: $(wc -l <"$work/letters.txt") volumes mapped to drive letters"

# ---- unit tests on the mapped drives ----------------------------------------
status=0
RETRIVA_WIN32_DRIVES="Z:${work//\//\\}\\drives.json" "$run" "$tests_exe" --gtest_filter='Win32Drive.*' || status=1

# ---- retriva info and search on a drive letter and on the image path -----
python3 - "$run" "$retriva_exe" "$work/drives.json" <<'EOF' || status=1
import json, os, subprocess, sys
from concurrent.futures import ThreadPoolExecutor
run, exe, drives = sys.argv[1], sys.argv[2], sys.argv[3]
drives = json.load(open(drives))["drives"]

def retriva(*args):
    p = subprocess.run([run, exe, *args], capture_output=True, text=True)
    return p.returncode, p.stdout, p.stderr

# Every Wine start costs a moment: run them side by side.
jobs = {}
with ThreadPoolExecutor(max_workers=os.cpu_count() or 4) as pool:
    for d in drives:
        for volume in (d["letter"] + ":", d["unix_image"]):
            jobs[("info", volume)] = pool.submit(retriva, "info", volume, "--json")
            if d["fs"] != "FAT12":
                jobs[("search", volume)] = pool.submit(retriva, "search", volume, "--json")
results = {k: f.result() for k, f in jobs.items()}

failed = 0
for d in drives:
    for volume in (d["letter"] + ":", d["unix_image"]):
        rc, out, err = results[("info", volume)]
        want_rc = 2 if d["fs"] == "FAT12" else 0
        try:
            got = json.loads(out.strip().splitlines()[0])
        except (ValueError, IndexError):
            got = {}
        want = dict(file_system=d["fs"], label=d["label"], cluster_count=d["cluster_count"],
                    sector_size=d["sector_size"], cluster_size=d["cluster_size"], supported=d["fs"] != "FAT12")
        bad = {k: (got.get(k), v) for k, v in want.items() if got.get(k) != v}
        if rc != want_rc:
            bad["exit status"] = (rc, want_rc)
        shown = volume if volume.endswith(":") else "Z:" + volume.replace("/", "\\")
        if bad:
            failed += 1
            print(f"FAILED retriva info {shown} -> " + ", ".join(f"{k} is {g!r}, want {w!r}" for k, (g, w) in bad.items()))
            if err.strip():
                print("  stderr: " + err.strip())
        else:
            print(f"ok     retriva info {shown} -> {d['fs']} {d['label']!r} {d['cluster_count']} clusters")
    # The engines find the same deleted files through the drive letter as
    # through the image file.
    if d["fs"] == "FAT12":
        continue
    found = []
    for volume in (d["letter"] + ":", d["unix_image"]):
        rc, out, err = results[("search", volume)]
        found.append((rc, sorted(l.strip() for l in out.splitlines() if l.strip())))
    if found[0] != found[1] or found[0][0] != 0:
        failed += 1
        print(f"FAILED retriva search {d['letter']}: differs from the image's (exit {found[0][0]} vs {found[1][0]}, "
              f"{len(found[0][1])} vs {len(found[1][1])} files)")
    else:
        print(f"ok     retriva search {d['letter']}: -> {len(found[0][1])} deleted files, as in the image")
sys.exit(1 if failed else 0)
EOF

# Recovering never writes onto the volume searched, however the volume is
# spelled; destinations take "/" and relative names as Windows users type.
python3 - "$run" "$retriva_exe" "$work/drives.json" "$work" <<'EOF' || status=1
import hashlib, json, os, shutil, subprocess, sys
run, exe, drives, work = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4]
drives = json.load(open(drives))["drives"]
d = next(x for x in drives if x["fs"] == "NTFS" and os.path.basename(x["unix_image"]) == "ntfs-4k.img")
letter = d["letter"]
root = os.path.join(work, "root-" + letter.lower())

def retriva(*args, cwd=None):
    p = subprocess.run([run, exe, *args], capture_output=True, text=True, cwd=cwd)
    return p.returncode, p.stdout, p.stderr

def digest(path):
    return hashlib.sha256(open(path, "rb").read()).hexdigest()

failed = 0
before = digest(d["unix_image"])
for spelling in (f"{letter}:", f"{letter}:\\", f"\\\\.\\{letter}:", f"\\\\?\\{letter}:", f"\\\\.\\{letter}:\\"):
    for dest in (f"{letter}:\\rescued", f"{letter}:/rescued"):
        rc, out, err = retriva("recover", spelling, "--to", dest)
        made = os.path.exists(os.path.join(root, "rescued"))
        if rc != 2 or made or "volume being searched" not in err:
            failed += 1
            print(f"FAILED retriva recover {spelling} --to {dest} -> exit {rc}, folder made: {made}; {err.strip()}")
        else:
            print(f"ok     retriva recover {spelling} --to {dest} -> refused")
        shutil.rmtree(os.path.join(root, "rescued"), ignore_errors=True)
if digest(d["unix_image"]) != before:
    failed += 1
    print("FAILED the searched image changed")

# Recycle folders and recovery bins of another volume (C: here), in any
# case, are refused with the window's reason; nothing is made there.
drive_c = os.path.join(os.environ["WINEPREFIX"], "drive_c")
for folder in ("$Recycle.Bin", "$RECYCLE.BIN\\S-1-5-21", "RECYCLER", "recycled\\x", "RecoveryBin", "recoverybin"):
    dest = "C:\\" + folder
    rc, out, err = retriva("recover", f"{letter}:", "--to", dest)
    made = os.path.exists(os.path.join(drive_c, folder.split("\\")[0]))
    if rc != 2 or made or "recycle folder or a recovery bin" not in err:
        failed += 1
        print(f"FAILED retriva recover {letter}: --to {dest} -> exit {rc}, folder made: {made}; {err.strip()}")
    else:
        print(f"ok     retriva recover {letter}: --to {dest} -> refused as a recycle folder or recovery bin")
    shutil.rmtree(os.path.join(drive_c, folder.split("\\")[0]), ignore_errors=True)

out_base = os.path.join(work, "dest-forms")
shutil.rmtree(out_base, ignore_errors=True)
os.makedirs(out_base)
forms = [("Z:" + out_base + "/slashes", os.path.join(out_base, "slashes"), None),
         ("Z:" + out_base.replace("/", "\\") + "\\a/b", os.path.join(out_base, "a", "b"), None),
         ("rescued", os.path.join(out_base, "rescued"), out_base)]
for typed, unix, cwd in forms:
    rc, out, err = retriva("recover", f"{letter}:", "--to", typed, cwd=cwd)
    got = os.listdir(unix) if os.path.isdir(unix) else []
    if rc not in (0, 1) or not got:
        failed += 1
        print(f"FAILED retriva recover {letter}: --to {typed} -> exit {rc}, {len(got)} files; {err.strip()}")
    else:
        print(f"ok     retriva recover {letter}: --to {typed} -> {len(got)} files")
sys.exit(1 if failed else 0)
EOF

# An exFAT drive: every deleted file comes back through the drive letter with
# the bytes the manifest gives (the guessed one, whose chain is gone, aside).
python3 - "$run" "$retriva_exe" "$work/drives.json" "$work" "$build/test-images/manifest.json" <<'EOF' || status=1
import hashlib, json, os, shutil, subprocess, sys
run, exe, drives, work, manifest = sys.argv[1:6]
drives = json.load(open(drives))["drives"]
images = {i["name"]: i for i in json.load(open(manifest))["images"]}
failed = 0
for d in (x for x in drives if x["fs"] == "exFAT"):
    img = images[os.path.basename(d["unix_image"])]
    dest = os.path.join(work, "exfat-" + d["letter"])
    shutil.rmtree(dest, ignore_errors=True)
    p = subprocess.run([run, exe, "recover", d["letter"] + ":", "--to", "Z:" + dest, "--json"],
                       capture_output=True, text=True)
    results = [json.loads(line) for line in p.stdout.splitlines() if line.strip()]
    for e in img["deleted"]:
        r = next((v for v in results if v["source"].endswith(e["path"])), None)
        want = 777 if "chain-lost" in e["kinds"] else 776
        ok = r is not None and r["code"] == want
        if ok and want == 776:
            out = r["output"]
            out = out[2:].replace("\\", "/") if out[1:2] == ":" else out
            ok = os.path.exists(out) and hashlib.sha256(open(out, "rb").read()).hexdigest() == e["sha256"]
        if not ok:
            failed += 1
            print(f"FAILED retriva recover {d['letter']}: {e['path']} -> {r}")
    if not failed:
        print(f"ok     retriva recover {d['letter']}: (exFAT) -> {len(results)} files with their bytes")
sys.exit(1 if failed else 0)
EOF
exit $status
