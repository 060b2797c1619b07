#!/usr/bin/env bash
# Cross-builds the container libraries for 64-bit Windows with MinGW-w64:
# libewf (E01), libvhdi (VHD/VHDX), libvmdk (VMDK), libqcow (QCOW2), and
# libbfio, whose file pools libvmdk takes. Each is built from Debian's own
# source package of the version the system's -dev package has (apt-get
# source), the library alone (no tools, no Python), static, without its
# optional dependencies (zlib, OpenSSL, FUSE, libuuid: the libraries fall
# back to their own deflate and hashes).
#
# Usage: cmake/build-mingw-libyal.sh [LIBRARY...]    (default: all four)
# Prints one line per library built, "libewf=DIR" (DIR holds include/ and
# lib/libewf.a); progress and failures go to stderr. A library that fails
# to build is left out (its log is kept beside it) and the others are kept.
#
# The results are cached by package and version in RETRIVA_LIBYAL_CACHE,
# by default /var/cache/retriva-mingw-libyal (when writable, else
# ~/.cache/retriva-mingw-libyal): later builds and other checkouts on the
# machine reuse them, and a cached run costs nothing. A failed build is not
# retried until its .failed file is removed.
#
# Source packages are fetched through a private apt list of the archive's
# deb-src entries kept in the cache (the same mirror and release as the
# system's binary entries), so the system's apt configuration is left as
# it is and root is not needed.
#
# Each library bundles its own copies of libcerror, libcdata, libuna and
# the rest, of different versions. Linked together those copies would
# clash or, worse, one library would silently call another's version; so
# in each static library every global but its own API is renamed.
set -euo pipefail
host=x86_64-w64-mingw32
root=$(cd "$(dirname "$0")/.." && pwd -P)
log() { echo "mingw-libyal: $*" >&2; }

if [ -n "${RETRIVA_LIBYAL_CACHE:-}" ]; then
  cache=$RETRIVA_LIBYAL_CACHE
elif mkdir -p /var/cache/retriva-mingw-libyal 2>/dev/null && [ -w /var/cache/retriva-mingw-libyal ]; then
  cache=/var/cache/retriva-mingw-libyal
else
  cache=${XDG_CACHE_HOME:-$HOME/.cache}/retriva-mingw-libyal
fi
mkdir -p "$cache"

for tool in "$host-gcc" "$host-ld" "$host-ar" "$host-nm" "$host-objcopy" make dpkg-source apt-get flock; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    log "$tool is missing: building without the container libraries"
    exit 0
  fi
done
cc="$host-gcc"
command -v "$host-gcc-posix" >/dev/null 2>&1 && cc="$host-gcc-posix"
command -v ccache >/dev/null 2>&1 && cc="ccache $cc"

# The source version of a library: that of the installed -dev package
# (what the native build links), else the archive's candidate.
source_version() {
  local v
  v=$(dpkg-query -W -f '${db:Status-Status} ${source:Version}\n' "$1-dev" 2>/dev/null | awk '$1 == "installed" {print $2}')
  if [ -z "$v" ]; then
    v=$(apt-cache show --no-all-versions "$1-dev" 2>/dev/null |
        awk '/^Version:/ {bin = $2} /^Source:/ && $3 ~ /^\(/ {src = substr($3, 2, length($3) - 2)}
             END {print (src != "" ? src : bin)}')
  fi
  echo "$v"
}

apt_dir=$cache/apt
apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/none"
          -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o "Debug::NoLocking=1")
apt_ready=0
fetch_source() {  # PACKAGE VERSION DEST: unpacks the source package into DEST
  # apt's lists and caches here serve one apt-get at a time.
  exec 7>"$cache/.apt-lock"
  flock 7
  if [ "$apt_ready" = 0 ]; then
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/none"
    local mirror release
    mirror=$(grep -hoE '^(URIs:|deb) +https?://[^ ]+/debian/?( |$)' /etc/apt/sources.list \
             /etc/apt/sources.list.d/*.sources /etc/apt/sources.list.d/*.list 2>/dev/null |
             grep -oE 'https?://[^ ]+' | head -1 || true)
    release=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
    echo "deb-src ${mirror:-http://deb.debian.org/debian} $release main" >"$apt_dir/sources.list"
    apt-get "${apt_opts[@]}" -qq update >&2 || { exec 7>&-; return 1; }
    apt_ready=1
  fi
  local work
  work=$(mktemp -d "$cache/.fetch-XXXXXX")
  if ! (cd "$work" && apt-get "${apt_opts[@]}" -qq --download-only source "$1=$2" >&2 2>/dev/null &&
        dpkg-source --no-check -x ./*.dsc src >/dev/null); then
    exec 7>&-
    rm -rf "$work"
    return 1
  fi
  exec 7>&-
  mv "$work/src" "$3"
  rm -rf "$work"
}

# The library subfolders of the source tree, in build order, up to and
# including the library itself.
library_dirs() {  # SOURCE LIBRARY
  sed -n '/^SUBDIRS/,/^$/p' "$1/Makefile.am" | tr -d '\\' | tr -s ' \t' '\n\n' | grep -v '^SUBDIRS\|^=\|^$' |
    sed "/^$2\$/q" | grep -v '^include$'
}

build() {  # LIBRARY VERSION DEST [CONFIGURE OPTIONS...]
  local lib=$1 version=$2 dest=$3
  shift 3
  local work=$dest.build
  rm -rf "$work"
  mkdir -p "$work"
  fetch_source "$lib" "$version" "$work/src" || { log "$lib $version: the source package could not be fetched"; return 2; }
  local started=$SECONDS
  log "$lib $version: building (a few minutes, once; cached in $dest)"
  # errexit holds in the subshell only outside a condition: the status is
  # taken afterwards.
  set +e
  (
    set -e
    cd "$work/src"
    # Debian's patches to configure.ac change only how pkg-config is
    # found, which this build does not use: the shipped configure and
    # Makefile.in stay current, so no autotools run (nor need be installed).
    touch aclocal.m4
    find . \( -name configure -o -name Makefile.in -o -name config.h.in \) -exec touch {} +
    # MinGW-w64's headers are lower-case; libcthreads asks for Synchapi.h.
    mkdir -p "$work/shim"
    echo '#include <synchapi.h>' >"$work/shim/Synchapi.h"
    # Only the library is built; every optional dependency is left out.
    # The callers lock each handle, so the libraries need no locks of
    # their own. The small code model reaches data directly, without the
    # .refptr stubs: those are COMDAT symbols merged by name across
    # libraries, which the renaming below cannot give each library alone.
    ./configure --host=$host --enable-static --disable-shared --disable-nls --disable-python \
      --disable-python2 --disable-python3 --enable-winapi=yes --enable-wide-character-type \
      --disable-multi-threading-support --without-libfuse --without-zlib --without-openssl \
      --without-libuuid --without-pthread CC="$cc" CFLAGS="-O2 -g0 -mcmodel=small" CPPFLAGS="-I$work/shim" "$@"
    for d in $(library_dirs . "$lib"); do make -C "$d" -j2; done
    mkdir -p "$work/out/lib" "$work/out/include/$lib"
    cp "include/$lib.h" "$work/out/include/"
    cp include/"$lib"/*.h "$work/out/include/$lib/"
    # Every global but the library's own API gets the library's prefix, in
    # every object of the archive (references renamed with definitions).
    # The objects stay apart: a partial link (ld -r) of PE objects leaves
    # .pdata entries pointing at the wrong code, and then a C++ exception
    # thrown anywhere in the program may fail to unwind.
    $host-nm -g --defined-only "$lib/.libs/$lib.a" | awk 'NF == 3 {print $3}' | grep -v "^${lib}_" |
      sort -u | awk -v prefix="${lib}__" '{print $1, prefix $1}' >"$work/rename"
    $host-objcopy --redefine-syms="$work/rename" "$lib/.libs/$lib.a" "$work/out/lib/$lib.a"
  ) >"$dest.log" 2>&1
  local status=$?
  set -e
  if [ $status != 0 ]; then
    log "$lib $version: the build failed (log: $dest.log)"
    touch "$dest.failed"
    return 1
  fi
  rm -rf "$dest"
  mv "$work/out" "$dest"
  rm -rf "$work"
  log "$lib $version: built in $((SECONDS - started)) s"
}

# DIR of a cached or newly built library, empty when it cannot be had.
ensure() {  # LIBRARY KEY VERSION [CONFIGURE OPTIONS...]
  local lib=$1 key=$2 version=$3
  shift 3
  # The recipe's revision is part of the key: a change to how a library
  # is made rebuilds it.
  local dest=$cache/$key.r2
  if [ -f "$dest/lib/$lib.a" ]; then echo "$dest"; return; fi
  # One build of a library at a time (another checkout may be at it): the
  # second waits and takes the first one's result.
  exec 8>"$dest.lock"
  flock 8
  if [ -f "$dest/lib/$lib.a" ]; then echo "$dest"; return; fi
  if [ -f "$dest.failed" ]; then log "$lib $version: failed to build before (log: $dest.log)"; return; fi
  build "$lib" "$version" "$dest" "$@" && echo "$dest" || true
}

started=$SECONDS
bfio_version=$(source_version libbfio)
bfio=
if [ -n "$bfio_version" ]; then
  bfio=$(ensure libbfio "libbfio_$bfio_version" "$bfio_version")
fi
libs=("$@")
[ ${#libs[@]} -gt 0 ] || libs=(libewf libvhdi libvmdk libqcow)
for lib in "${libs[@]}"; do
  version=$(source_version $lib)
  if [ -z "$version" ]; then
    log "$lib: no such package in the archive"
    continue
  fi
  if [ "$lib" = libvmdk ]; then
    # libvmdk takes a pool of libbfio handles from its caller: the caller's
    # libbfio and libvmdk's must be the same one.
    [ -n "$bfio" ] || { log "libvmdk: libbfio is missing"; continue; }
    dir=$(ensure $lib "${lib}_${version}+libbfio_$bfio_version" "$version" --with-libbfio="$bfio")
  else
    dir=$(ensure $lib "${lib}_$version" "$version" --without-libbfio)
  fi
  [ -n "$dir" ] && echo "$lib=$dir"
done
[ -n "$bfio" ] && echo "libbfio=$bfio"
if [ $((SECONDS - started)) -gt 5 ]; then log "done in $((SECONDS - started)) s"; fi
exit 0
