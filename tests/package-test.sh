#!/usr/bin/env bash
# The Debian package as a user gets it: bootstraps a minimal Debian 12
# (debootstrap, from the Debian archive this machine already uses), clones
# this repository into it, installs build-essential and the package's
# Build-Depends (apt-get build-dep), builds retriva_VERSION_amd64.deb with
# dist/build-deb.sh (dpkg-buildpackage -us -uc -b) and checks it with
# lintian; then installs it with `apt-get install ./retriva_*.deb` into a
# second fresh Debian 12 (a copy of the first one as debootstrap left it)
# and there runs `retriva --version`, `man -w retriva`, the bash
# completion and the demo volume's info, search and recover. Reports each
# step's result and time. Not part of the test command: it needs root, the
# network and some 20-40 minutes.
#
# Usage: tests/package-test.sh [WORKDIR]     (default: a new mktemp folder)
# The clone is of the committed HEAD of this repository. The package and
# its SHA256SUMS are left in WORKDIR/out.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd -P)
work=${1:-$(mktemp -d /tmp/retriva-package-XXXXXX)}
base=$work/base
builder=$work/build-root
target=$work/install-root

[ "$(id -u)" = 0 ] || { echo "package-test.sh: run as root (debootstrap, chroot)" >&2; exit 2; }
command -v debootstrap >/dev/null || { apt-get update -qq; apt-get install -y -qq debootstrap >/dev/null; }

mirror=$(grep -hoE '^(URIs:|deb) +https?://[^ ]+/debian/?( |$)' /etc/apt/sources.list /etc/apt/sources.list.d/*.sources \
         /etc/apt/sources.list.d/*.list 2>/dev/null | grep -oE 'https?://[^ ]+' | head -1 || true)
mirror=${mirror:-http://deb.debian.org/debian}

unmount_all() {
  for r in "$builder" "$target"; do
    for m in dev/pts dev proc sys; do
      mountpoint -q "$r/$m" 2>/dev/null && umount -l "$r/$m" 2>/dev/null || true
    done
  done
}
trap unmount_all EXIT
unmount_all
for r in "$base" "$builder" "$target"; do rm -rf "$r"; done
mkdir -p "$work/out"

mount_system() {
  cp /etc/resolv.conf "$1/etc/resolv.conf" 2>/dev/null || true
  mount -t proc proc "$1/proc"
  mount -t sysfs sys "$1/sys"
  mount --rbind /dev "$1/dev"
  mount --make-rslave "$1/dev"
}
in_root() {  # ROOT COMMAND
  chroot "$1" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    TERM=dumb LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive bash -c "$2"
}

report=()
failed=0
step() {  # NAME LOG COMMAND...
  local name=$1 log=$work/$2 start=$SECONDS rc=0
  shift 2
  echo "== $name"
  "$@" >"$log" 2>&1 || rc=$?
  local took=$((SECONDS - start))
  tail -n 12 "$log" | sed 's/^/   /'
  report+=("$(printf '%-44s %s, %d min %02d s' "$name:" "$([ $rc = 0 ] && echo ok || echo "FAILED (exit $rc)")" \
              $((took / 60)) $((took % 60)))")
  [ $rc = 0 ] || failed=1
  return $rc
}

bootstrap() {
  debootstrap --variant=minbase bookworm "$base" "$mirror" &&
  cp -a "$base" "$builder" && cp -a "$base" "$target"
}
prepare_builder() {
  mount_system "$builder" &&
  git clone -q "$root" "$builder/root/retriva" &&
  in_root "$builder" "apt-get update -qq && apt-get install -y -qq --no-install-recommends build-essential >/dev/null &&
                      cd /root/retriva && apt-get build-dep -y -qq ./ >/dev/null && echo installed"
}
build_package() {
  in_root "$builder" "cd /root/retriva && dist/build-deb.sh /root/out" &&
  cp "$builder"/root/out/retriva_*.deb "$builder/root/out/SHA256SUMS" "$work/out/"
}
run_lintian() {
  # This machine's lintian (the same Debian release): the build root
  # stays as small as the package needs.
  lintian --info "$work"/out/retriva_*.deb
  local errors
  errors=$(lintian "$work"/out/retriva_*.deb | grep -c '^E:' || true)
  echo "lintian errors: $errors"
  [ "$errors" = 0 ]
}
install_package() {
  mount_system "$target" &&
  cp "$work"/out/retriva_*.deb "$target/root/" &&
  # man-db: a minimal system has no man command, which the check below uses.
  in_root "$target" "apt-get update -qq && apt-get install -y -qq --no-install-recommends man-db >/dev/null &&
                     cd /root && apt-get install -y --no-install-recommends ./retriva_*.deb &&
                     dpkg -L retriva && dpkg -s retriva | grep -E '^(Version|Depends|Installed-Size):'"
}
check_version() {
  in_root "$target" "retriva --version | tee /dev/stderr | grep -q \"^retriva \$(dpkg-query -W -f '\${Version}' retriva)\""
}
check_man() {
  in_root "$target" "man -w retriva && man retriva 2>/dev/null | grep -q 'retriva recover'"
}
check_completion() {
  in_root "$target" "test -s /usr/share/bash-completion/completions/retriva &&
                     ls /usr/share/doc/retriva/ && test -s /usr/share/doc/retriva/copyright"
}
demo_search() {
  zstd -q -d -c "$root/demo/demo.img.zst" >"$target/root/demo.img" &&
  in_root "$target" "cd /root && retriva info demo.img && retriva search demo.img &&
                     { retriva recover demo.img --to /root/recovered || [ \$? = 1 ]; } && ls -l /root/recovered"
}

t0=$SECONDS
step "debootstrap a minimal Debian 12" debootstrap.log bootstrap || true
if [ "$failed" = 0 ]; then
  step "build root: build-essential, apt-get build-dep" build-deps.log prepare_builder &&
  step "dpkg-buildpackage -us -uc -b (dist/build-deb.sh)" build.log build_package &&
  { step "lintian" lintian.log run_lintian || true; } &&
  step "second root: apt-get install ./retriva_*.deb" install.log install_package &&
  { step "retriva --version" version.log check_version || true
    step "man -w retriva" man.log check_man || true
    step "bash completion, /usr/share/doc/retriva" doc.log check_completion || true
    step "demo volume: info, search, recover" demo.log demo_search || true; } || true
fi

unmount_all
# The three roots go once nothing is mounted in them any more; the logs and
# the package stay.
if ! grep -q " $work/" /proc/mounts; then rm -rf "$base" "$builder" "$target"; fi

echo
echo "== package test on fresh Debian 12 ($work)"
for r in "${report[@]}"; do echo "   $r"; done
echo "   total: $(((SECONDS - t0) / 60)) min $(((SECONDS - t0) % 60)) s"
ls -l "$work"/out/ 2>/dev/null | sed 's/^/   /' || true
exit $failed
