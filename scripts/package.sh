#!/usr/bin/env bash
# Builds the Debian package for RELEASE in a clean root of that release (an
# mmdebstrap tarball, scripts/debian-root.sh), never on this machine's own:
# natively with the unit tests and the source package, or for ARCH (arm64,
# armhf) with Debian's cross toolchain, the build profiles cross and nocheck
# (-Pcross,nocheck) and the build option nocheck (DEB_BUILD_OPTIONS). Then that
# release's lintian, which may find no error and no warning. The products land
# in build-deb/RELEASE/ (the .deb, .buildinfo, .changes and the build's log).
# As root.
#   scripts/package.sh RELEASE [ARCH]
set -euo pipefail
cd "$(dirname "$0")/.."
say() { printf 'package: %s\n' "$*" >&2; }
fail() { say "$*"; exit 1; }

[ $# -ge 1 ] && [ $# -le 2 ] && [ -n "$1" ] || { echo "usage: scripts/package.sh RELEASE [ARCH]" >&2; exit 2; }
[ "$(id -u)" = 0 ] || fail "as root: the release's root is unpacked and entered with chroot"
release=$1 arch=${2:-$(dpkg --print-architecture)}
out=build-deb/$release
started=$SECONDS
tarball=$(scripts/debian-root.sh build "$release" "$arch")

work=$(mktemp -d /var/tmp/touchkeyd-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/root" "$work/products"

# The tree as it stands, without the products of earlier builds.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z -co --exclude-standard | while IFS= read -r -d '' f; do
    [ ! -e "$f" ] || printf '%s\0' "$f"  # not files deleted but not yet committed
  done
else
  find . \( -path './build*' -o -path './obj-*' -o -path ./.git \) -prune -o -type f -print0
fi | tar --null -cf "$work/source.tar" -T -

# Native: source and binary, with the unit tests unless DEB_BUILD_OPTIONS says
# nocheck (the build option; no profile is set, so GoogleTest is installed all
# the same). Cross: the binary alone, without tests: the nocheck profile drops
# GoogleTest from the build dependencies, the nocheck option the tests.
options=${DEB_BUILD_OPTIONS:-}
if [ "$arch" = "$(dpkg --print-architecture)" ]; then
  build=(-us -uc -Jauto)
else
  build=(-us -uc -b -Jauto -a "$arch" -Pcross,nocheck)
  options="$options nocheck"
fi
changes=touchkeyd_$(dpkg-parsechangelog -SVersion)_$arch.changes

# The root unpacked into memory, in namespaces of its own without the network:
# its mounts, processes and files end with it. The builder, its unprivileged
# user, owns the tree; dpkg-buildpackage puts the products beside it.
in_root() {
  local work=$1 tarball=$2 root=$1/root home=$1/root/home/builder
  shift 2
  mount -t tmpfs -o mode=755 tmpfs "$root"
  tar -xf "$tarball" -C "$root"
  mkdir "$home/touchkeyd"
  tar -xf "$work/source.tar" -C "$home/touchkeyd"
  chown -R --reference="$home" "$home/touchkeyd"
  mount -t proc proc "$root/proc"
  mount -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts"
  mount -t tmpfs tmpfs "$root/dev/shm"
  mount -t tmpfs tmpfs "$root/tmp"
  local status=0
  chroot --userspec=builder:builder "$root" "$@" || status=$?
  find "$home" -maxdepth 1 -type f -name 'touchkeyd*' -exec cp -t "$work/products" {} +
  return $status
}
script='cd touchkeyd && dpkg-buildpackage "$@" && cd .. && echo "lintian:" &&
  lintian --fail-on error,warning --display-info '"$changes"
status=0
unshare --mount --pid --net --uts --ipc --fork bash -c "set -e; $(declare -f in_root); in_root \"\$@\"" sh \
  "$work" "$tarball" env -i HOME=/home/builder PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 \
  DEB_BUILD_OPTIONS="${options# }" sh -c "cd && $script" sh "${build[@]}" >"$work/build.log" 2>&1 || status=$?

# The products, and the log, replace those of an earlier build of this architecture.
mkdir -p "$out"
exec {lock}>"$out/.lock"
flock "$lock"
rm -f "$out"/touchkeyd*_"$arch".*
[ "$arch" != "$(dpkg --print-architecture)" ] || rm -f "$out"/touchkeyd_*.dsc "$out"/touchkeyd_*.tar.*
cp "$work"/products/* "$out" 2>/dev/null || true
cp "$work/build.log" "$out/touchkeyd_$arch.build"
exec {lock}>&-
if [ $status != 0 ]; then
  tail -40 "$work/build.log" >&2
  fail "the $release build for $arch failed (whole log: $out/touchkeyd_$arch.build)"
fi
sed -n '/^lintian:$/,$p' "$work/build.log"
say "$release $arch: built and checked in $((SECONDS - started)) s"
ls "$out"/touchkeyd*_"$arch".*
