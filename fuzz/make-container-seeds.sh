#!/usr/bin/env bash
# Seeds for fuzz_containers: a 512 KiB disk (an MBR and one FAT12 partition,
# from the test volumes) in every container format, made with qemu-img and
# ewfacquire. Made at fuzz time rather than kept: the VHD and VHDX seeds are
# megabytes of mostly zeros. Missing tools leave their formats out.
# Usage: fuzz/make-container-seeds.sh IMAGES_DIR OUT_DIR
set -euo pipefail
images=$1
out=$2
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
python3 - "$images" "$tmp/small.raw" <<'PY'
import struct, sys
images, out = sys.argv[1:]
mbr = bytearray(open(f"{images}/disk-mbr.img", "rb").read(512))
mbr[446:510] = bytes(64)
mbr[446:462] = bytes([0, 0, 0, 0, 0x01, 0, 0, 0]) + struct.pack("<II", 128, 896)
fat = open(f"{images}/fat12.img", "rb").read(896 * 512)
open(out, "wb").write(bytes(mbr) + bytes(128 * 512 - 512) + fat)
PY
if command -v qemu-img >/dev/null; then
  qemu-img convert -O vpc "$tmp/small.raw" "$out/seed.vhd"
  qemu-img convert -O vpc -o subformat=fixed "$tmp/small.raw" "$out/seed-fixed.vhd"
  qemu-img convert -O vhdx -o block_size=1M,log_size=1M "$tmp/small.raw" "$out/seed.vhdx"
  qemu-img convert -O vmdk "$tmp/small.raw" "$out/seed.vmdk"
  qemu-img convert -O qcow2 -o cluster_size=4096 "$tmp/small.raw" "$out/seed.qcow2"
  qemu-img convert -O qcow2 -c -o cluster_size=4096 "$tmp/small.raw" "$out/seed-compressed.qcow2"
else
  echo "make-container-seeds: qemu-img missing (qemu-utils): no VHD, VHDX, VMDK or QCOW2 seeds" >&2
fi
if command -v ewfacquire >/dev/null; then
  ewfacquire -u -q -t "$tmp/seed" -c deflate:fast "$tmp/small.raw" >/dev/null </dev/null
  cp "$tmp/seed.E01" "$out/seed.E01"
else
  echo "make-container-seeds: ewfacquire missing (ewf-tools): no E01 seed" >&2
fi
