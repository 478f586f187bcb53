#!/usr/bin/env bash
# The board's Debian root for ARCH and RELEASE, a cpio archive in the cache,
# built (make-root.sh) when its recipe has none yet: prints the archive's path.
#   scripts/board/root.sh ARCH RELEASE
set -euo pipefail
# shellcheck source=SCRIPTDIR/common.sh
source "$(dirname "$0")/common.sh"
arch=$1 release=$2

# The statically linked qemu-user for ARCH's programs, taken without
# installing it (its installation would register it for every foreign program
# of the machine) from the package of this machine's architecture that holds
# it: /usr/bin/qemu-NAME-static in qemu-user-static, or, once that package is
# transitional (trixie), /usr/bin/qemu-NAME in the qemu-user it depends on,
# which is static there. Static, since it runs chrooted in the foreign tree,
# where this machine's libraries are not.
static_emulator() {
  local host name=${qemu_name[$arch]} emulator package binary tmp
  host=$(dpkg --print-architecture)
  emulator=$cache/qemu-$name-static
  [ ! -x "$emulator" ] || { echo "$emulator"; return; }
  tmp=$(mktemp -d)
  for package in qemu-user-static $(apt_for "$host" "$release" apt-cache depends qemu-user-static |
                                    sed -n 's/^ *Depends: \([a-z0-9.+-]*\)$/\1/p'); do
    rm -rf "${tmp:?}"/*
    (cd "$tmp" && download "$host" "$release" "$package")
    dpkg-deb -x "$tmp"/*.deb "$tmp/tree"
    for binary in "$tmp/tree/usr/bin/qemu-$name-static" "$tmp/tree/usr/bin/qemu-$name"; do
      if [ -f "$binary" ] && ! readelf -l "$binary" | grep -q 'program interpreter'; then
        cp -L "$binary" "$emulator.new"
        chmod 755 "$emulator.new"
        mv "$emulator.new" "$emulator"
        break 2
      fi
    done
  done
  rm -rf "$tmp"
  [ -x "$emulator" ] || fail "no static qemu-$name in qemu-user-static or the packages it depends on"
  echo "$emulator"
}

key=$(printf '%s\n' "$release" | cat - "$board_dir/make-root.sh" "$board_dir/second-stage.sh" | sha256sum | cut -c1-16)
file=$cache/root-$arch-$release-$key.cpio
mkdir -p "$cache"
exec {lock}>"$cache/root-$arch-$release.lock"
flock "$lock"
if [ ! -s "$file" ]; then
  rm -f "$cache/root-$arch-$release"-*.cpio
  emulator=''
  [ "$arch" = "$(dpkg --print-architecture)" ] || emulator=$(static_emulator)
  unshare --mount --propagation private -- "$board_dir/make-root.sh" "$arch" "$release" "$file" ${emulator:+"$emulator"} >&2
fi
exec {lock}>&-
echo "$file"
