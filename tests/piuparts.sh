#!/usr/bin/env bash
# Debian's installation, upgrade and purge test (piuparts) of the package that
# `make package` built for RELEASE, in a minimal root of that release: it
# installs, and its purge leaves nothing behind; and it upgrades the
# changelog's previous version (the same files under that version, offered to
# the root's apt as the release's own would be), then purges.
# usage: tests/piuparts.sh [RELEASE]    (default: this machine's; as root)
set -euo pipefail
[ $# -le 1 ] || { echo "usage: tests/piuparts.sh [RELEASE]" >&2; exit 2; }
source_dir=$(cd "$(dirname "$0")/.." && pwd)
release=${1:-$(. /etc/os-release && echo "$VERSION_CODENAME")} arch=$(dpkg --print-architecture)
deb=$(ls -t "$source_dir/build-deb/$release"/touchkeyd_*_"$arch".deb 2>/dev/null | head -1) ||
  { echo "piuparts.sh: no package in build-deb/$release: make package RELEASE=$release first" >&2; exit 1; }
base=$("$source_dir/scripts/debian-root.sh" base "$release")
work=$(mktemp -d /var/tmp/touchkeyd-piuparts.XXXXXX)
trap 'rm -rf "$work"' EXIT
started=$SECONDS

# The previous version in a flat repository, which piuparts mounts into its root.
version=$(dpkg-parsechangelog -l "$source_dir/debian/changelog" -o1 -c1 -SVersion)
mkdir "$work/repository"
"$source_dir/tests/previous_deb.sh" "$deb" "$work/repository/touchkeyd_${version}_$arch.deb"
(cd "$work/repository" && dpkg-scanpackages . >Packages 2>/dev/null)

# The root's own sources (its mirror, RELEASE-updates and -security) as
# piuparts writes its own: the first as the mirror, the others as extras.
mapfile -t sources < <(tar -xzOf "$base" ./etc/apt/sources.list | grep '^deb ')
read -r _ mirror _ components <<<"${sources[0]}"
options=(--basetgz "$base" --distribution "$release" --mirror "$mirror $components"
         --bindmount "$work/repository" --extra-repo "deb [trusted=yes] file://$work/repository ./"
         --log-file "$work/piuparts.log"
         # trixie's debconf leaves the directory of apt's preconfiguration behind after
         # any installation, which bookworm's piuparts does not yet expect.
         --ignore /var/cache/debconf/tmp.ci/)
for line in "${sources[@]:1}"; do options+=(--extra-repo "$line"); done

status=0
piuparts "${options[@]}" "$deb" >/dev/null 2>&1 || status=$?
grep -E 'PASS:|FAIL:|ERROR:' "$work/piuparts.log" || true
tail -3 "$work/piuparts.log"
grep -F "over ($version)" "$work/piuparts.log" && grep -q "PASS: Installation, upgrade and purging tests" "$work/piuparts.log" ||
  { echo "piuparts.sh: the upgrade from $version was not tested"; status=1; }
echo "piuparts.sh: $release, $(basename "$deb") from $version: status $status in $((SECONDS - started)) s"
[ $status = 0 ] || cp "$work/piuparts.log" "$source_dir/build-deb/$release/piuparts.log"
exit $status
