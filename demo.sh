#!/usr/bin/env bash
# Builds the retriva command (only it, in build-demo/), then runs the main
# job on the bundled demo volume: describe it, list its deleted files,
# recover them all into build-demo/recovered.
#
# Packages: run as root, this installs the few Debian packages the build
# needs with apt-get. Without root, install them first yourself:
#   sudo apt-get install cmake ninja-build g++ libcli11-dev nlohmann-json3-dev zstd
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake ninja-build g++ libcli11-dev nlohmann-json3-dev zstd)
need=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "demo.sh: missing packages: ${need[*]}" >&2
    echo "install them as root, then run this again:  sudo apt-get install ${need[*]}" >&2
    exit 1
  fi
  echo "== installing as root with apt-get: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# The demo needs the command alone: no tests, so no GoogleTest or Python.
cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DRETRIVA_TESTS=OFF >/dev/null
ninja -C build-demo retriva >/dev/null

zstd -q -d -f demo/demo.img.zst -o build-demo/demo.img
rm -rf build-demo/recovered

set -x
build-demo/retriva info build-demo/demo.img
build-demo/retriva search build-demo/demo.img
# Exit 1 means some file could not be recovered: on this volume one deleted
# file's clusters all belong to a newer file, as happens on real disks.
build-demo/retriva recover build-demo/demo.img --to build-demo/recovered || [ $? = 1 ]
