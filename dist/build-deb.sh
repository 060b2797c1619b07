#!/usr/bin/env bash
# Builds the Debian package, retriva_VERSION_ARCH.deb, from this checkout
# with `dpkg-buildpackage -us -uc -b`, and writes SHA256SUMS beside it.
# The build runs in a copy of the tree, since dpkg-buildpackage leaves its
# results beside the source folder; the copy holds the tracked files as
# they are now (with changes not yet committed) when this is a git
# checkout, and --version names the checkout's revision.
#
# Usage: dist/build-deb.sh [OUTDIR]          (default: build-deb)
# Needs the packages of debian/control's Build-Depends, and
# build-essential; as root `apt-get build-dep ./` installs them. lintian,
# where installed, checks the package.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd -P)
out=${1:-$root/build-deb}
mkdir -p "$out"
out=$(cd "$out" && pwd -P)
work=$(mktemp -d /tmp/retriva-deb-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/retriva"

if git -C "$root" rev-parse --git-dir >/dev/null 2>&1; then
  (cd "$root" && git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf -) | tar -xf - -C "$work/retriva"
  # The revision that --version prints is this checkout's.
  RETRIVA_REVISION=$(git -C "$root" describe --always --dirty --abbrev=10)
  export RETRIVA_REVISION
else
  (cd "$root" && tar --exclude='./build*' --exclude='./obj-*' -cf - .) | tar -xf - -C "$work/retriva"
fi

(cd "$work/retriva" && dpkg-buildpackage -us -uc -b)
rm -f "$out"/retriva_*.deb "$out"/retriva-dbgsym_*.deb
cp "$work"/retriva_*.deb "$out"/
(cd "$out" && sha256sum retriva_*.deb >SHA256SUMS)
deb=$(ls "$out"/retriva_*.deb)
if command -v lintian >/dev/null 2>&1; then
  echo "== lintian $(basename "$deb")"
  lintian "$deb" || { echo "build-deb: lintian reports errors" >&2; exit 1; }
fi
echo "== $deb"
cat "$out/SHA256SUMS"
