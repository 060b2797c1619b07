#!/usr/bin/env bash
# Builds retriva if needed, then runs the main job on the bundled demo
# volume: describe it, list its deleted files, recover them all.
set -euo pipefail
cd "$(dirname "$0")"

need=()
for p in cmake ninja-build g++ libcli11-dev nlohmann-json3-dev zstd libgtest-dev; do
  dpkg -s "$p" >/dev/null 2>&1 || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "== installing ${need[*]}"
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi
if [ ! -x build/retriva ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  ninja -C build retriva >/dev/null
fi

mkdir -p build/demo
zstd -q -d -f demo/demo.img.zst -o build/demo/demo.img
rm -rf build/demo/recovered

set -x
build/retriva info build/demo/demo.img
build/retriva search build/demo/demo.img
build/retriva recover build/demo/demo.img --to build/demo/recovered
