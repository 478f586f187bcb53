#!/usr/bin/env bash
# Builds the Debian package with dpkg-buildpackage, natively or for ARCH
# (arm64, armhf: Debian's cross toolchain, profiles cross and nocheck), in a
# copy of the tree under build-deb/, where the .deb, .buildinfo and .changes
# land. What the build needs is what dpkg-checkbuilddeps finds missing in
# debian/control; as root it is installed, otherwise named.
#   scripts/package.sh [ARCH]
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:-}
out=build-deb

build=(-us -uc -b -Jauto)
profiles=()
if [ -n "$arch" ]; then
  build+=(-a "$arch")
  profiles=(-Pcross,nocheck)
fi

# The cross compiler is no build dependency: dpkg-checkbuilddeps asks only for
# this machine's build-essential.
cross_compiler=
[ -z "$arch" ] || cross_compiler=$(dpkg-architecture -a"$arch" -qDEB_HOST_GNU_TYPE 2>/dev/null)-g++
if ! dpkg-checkbuilddeps "${profiles[@]}" 2>/dev/null || { [ -n "$arch" ] && ! command -v "$cross_compiler" >/dev/null; }; then
  if [ "$(id -u)" != 0 ]; then
    dpkg-checkbuilddeps "${profiles[@]}" || true
    echo "package.sh: as root, run: apt-get build-dep ${profiles[*]} ./${arch:+ && apt-get install crossbuild-essential-$arch}" >&2
    exit 1
  fi
  echo "package.sh: installing the build dependencies"
  export DEBIAN_FRONTEND=noninteractive
  apt=(apt-get -q -y --no-install-recommends -o DPkg::Lock::Timeout=600)
  "${apt[@]}" update >/dev/null
  "${apt[@]}" build-dep "${profiles[@]}" ./ >/dev/null
  [ -z "$arch" ] || "${apt[@]}" install "crossbuild-essential-$arch" >/dev/null
fi

# The tree as it stands, without the products of earlier builds; dpkg-buildpackage
# puts its own next to the copy.
copy=$out/source-${arch:-native}
rm -rf "$copy"
mkdir -p "$copy"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z -co --exclude-standard | while IFS= read -r -d '' f; do
    [ ! -e "$f" ] || printf '%s\0' "$f"  # not files deleted but not yet committed
  done
else
  find . \( -path './build*' -o -path './obj-*' -o -path ./.git \) -prune -o -type f -print0
fi | tar --null -cf - -T - | tar -xf - -C "$copy"
(cd "$copy" && dpkg-buildpackage "${build[@]}" "${profiles[@]}")
rm -rf "$copy"
ls "$out"/touchkeyd_*_"${arch:-$(dpkg --print-architecture)}".*
