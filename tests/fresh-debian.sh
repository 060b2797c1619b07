#!/usr/bin/env bash
# Runs README's two commands as a new user would: bootstraps a minimal
# Debian 12 into a temporary folder (debootstrap, from the Debian archive
# this machine already uses), adds git, clones this repository into it,
# and runs ./demo.sh and then ./run-tests.sh there as root, reporting each
# one's result and time. Not part of the test command: it needs root, the
# network and some 20-40 minutes.
#
# Usage: tests/fresh-debian.sh [WORKDIR]     (default: /tmp/retriva-fresh)
# The clone is of the committed HEAD of this repository.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd -P)
work=${1:-/tmp/retriva-fresh}
target=$work/debian

[ "$(id -u)" = 0 ] || { echo "fresh-debian.sh: run as root (debootstrap, chroot)" >&2; exit 2; }
command -v debootstrap >/dev/null || { apt-get update -qq; apt-get install -y -qq debootstrap >/dev/null; }

# The mirror this machine's apt uses.
mirror=$(grep -hoE '^(URIs:|deb) +https?://[^ ]+/debian/?( |$)' /etc/apt/sources.list /etc/apt/sources.list.d/*.sources \
         /etc/apt/sources.list.d/*.list 2>/dev/null | grep -oE 'https?://[^ ]+' | head -1 || true)
mirror=${mirror:-http://deb.debian.org/debian}

cleanup() {
  for m in dev/pts dev proc sys; do umount -l "$target/$m" 2>/dev/null || true; done
}
trap cleanup EXIT
cleanup
rm -rf "$work"
mkdir -p "$work"

t0=$SECONDS
echo "== debootstrap --variant=minbase bookworm from $mirror"
debootstrap --variant=minbase bookworm "$target" "$mirror" >"$work/debootstrap.log" 2>&1 ||
  { tail -20 "$work/debootstrap.log"; exit 1; }
echo "   $((SECONDS - t0)) s"

cp /etc/resolv.conf "$target/etc/resolv.conf" 2>/dev/null || true
mount -t proc proc "$target/proc"
mount -t sysfs sys "$target/sys"
mount --rbind /dev "$target/dev"

in_chroot() { chroot "$target" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  TERM=dumb bash -c "$1"; }

t0=$SECONDS
echo "== apt-get install git (the only package added by hand)"
in_chroot "apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq git >/dev/null"
git clone -q "$root" "$target/root/retriva"
echo "   $((SECONDS - t0)) s"

report=()
run_step() {
  local name=$1 cmd=$2 log=$work/$3 start=$SECONDS rc=0
  echo "== $name"
  in_chroot "cd /root/retriva && $cmd" >"$log" 2>&1 || rc=$?
  local took=$((SECONDS - start))
  tail -15 "$log"
  report+=("$name: exit $rc, $((took / 60)) min $((took % 60)) s (log: $log)")
}
run_step "./demo.sh" "./demo.sh" demo.log
run_step "./run-tests.sh" "./run-tests.sh" run-tests.log

echo
echo "== fresh Debian 12 results"
for r in "${report[@]}"; do echo "   $r"; done
grep -E '^-- .*: [0-9]+ s$' "$work/run-tests.log" | sed 's/^/   /' || true
