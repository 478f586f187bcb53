#!/usr/bin/env bash
# A minimal Debian root of RELEASE as an mmdebstrap tarball, made once per
# recipe and week and cached; prints its path. A `build` root holds build-essential,
# the package's build dependencies and lintian (for ARCH other than this
# machine's: crossbuild-essential-ARCH and no test dependencies); a `base`
# root is apt and what Debian requires, for piuparts.
#   scripts/debian-root.sh build|base RELEASE [ARCH]
set -euo pipefail
cd "$(dirname "$0")/.."
say() { printf 'debian-root: %s\n' "$*" >&2; }
fail() { say "$*"; exit 1; }

[ $# -ge 2 ] && [ $# -le 3 ] && [[ $1 == build || $1 == base ]] ||
  { echo "usage: scripts/debian-root.sh build|base RELEASE [ARCH]" >&2; exit 2; }
kind=$1 release=$2 arch=${3:-}
[ "$arch" != "$(dpkg --print-architecture)" ] || arch=
cache=${TOUCHKEYD_TEST_CACHE:-/var/cache/touchkeyd-test}

# The machine's Debian mirrors, whichever release it runs.
# shellcheck source=scripts/debian-mirrors.sh
source scripts/debian-mirrors.sh
uri=$(mirror)
security_uri=$(security_mirror)
[ -n "$uri" ] || fail "no Debian source in /etc/apt to take the mirror from"
sources=("deb $uri $release main" "deb $uri $release-updates main")
[ -z "$security_uri" ] || sources+=("deb $security_uri $release-security main")

# What goes in: for a build, the build dependencies as debian/control names
# them, resolved by the root's own apt with the build's profiles; passwd for
# the builder's useradd, which trixie's mmdebstrap leaves out of buildd.
options=(--mode=root --format=tar --aptopt='Acquire::Retries "3"')
if [ "$kind" = build ]; then
  profiles=${arch:+-Pcross,nocheck}
  options+=(--variant=buildd --include="lintian,passwd${arch:+,crossbuild-essential-$arch}"
            --customize-hook='mkdir -p "$1/tmp/control/debian"'
            --customize-hook='upload debian/control /tmp/control/debian/control'
            --customize-hook="chroot \"\$1\" apt-get -y --no-install-recommends build-dep $profiles /tmp/control"
            --customize-hook='rm -rf "$1/tmp/control"'
            --customize-hook='chroot "$1" useradd --create-home --uid 2000 builder')
else
  options+=(--variant=minbase)
fi

# Keyed by everything that shapes the root; a changed recipe replaces the old
# root, and so does a week's age, which brings in the release's updates.
name=$release-$kind${arch:+-$arch}
build_depends=
[ "$kind" != build ] || build_depends=$(sed -n '/^Build-Depends:/,/^[^ ]/{/^Build-Depends:\|^ /p}' debian/control)
key=$(printf '%s\n' "${sources[@]}" "${options[@]}" "$build_depends" | sha256sum | cut -c1-16)
# piuparts unpacks its roots with gzip.
extension=tar
[ "$kind" = build ] || extension=tar.gz
file=$cache/roots/$name-$key.$extension
new=$cache/roots/new-$name.$extension  # mmdebstrap compresses by the name's end
mkdir -p "$cache/roots"
exec {lock}>"$cache/roots/$name.lock"
flock "$lock"
if [ ! -f "$file" ] || [ -n "$(find "$file" -mtime +6)" ]; then
  started=$SECONDS
  say "making the $name root from $uri"
  mmdebstrap "${options[@]}" "$release" "$new" "${sources[@]}" >"$cache/roots/$name.log" 2>&1 ||
    { tail -30 "$cache/roots/$name.log" >&2; rm -f "$new"; fail "mmdebstrap of $name failed"; }
  rm -f "$cache/roots/$name"-*."$extension"  # earlier recipes, or this one's old root
  mv "$new" "$file"
  say "$name root made in $((SECONDS - started)) s"
fi
echo "$file"
