#!/usr/bin/env bash
# The package's previous version, to test upgrades from: the files of DEB
# under the version before the latest in debian/changelog, written to OUT.
#   tests/previous_deb.sh DEB OUT
set -euo pipefail
[ $# = 2 ] || { echo "usage: tests/previous_deb.sh DEB OUT" >&2; exit 2; }
source_dir=$(cd "$(dirname "$0")/.." && pwd)
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
version=$(dpkg-parsechangelog -l "$source_dir/debian/changelog" -o1 -c1 -SVersion)
dpkg-deb -R "$1" "$tree/package"
sed -i "s/^Version: .*/Version: $version/" "$tree/package/DEBIAN/control"
dpkg-deb -b --root-owner-group "$tree/package" "$2" >/dev/null
