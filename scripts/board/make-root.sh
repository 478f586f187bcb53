#!/usr/bin/env bash
# Builds the board's Debian root for ARCH and RELEASE in a tmpfs (dpkg's many
# syncs cost nothing there) and packs it as a cpio archive into FILE, without
# documentation or apt lists. Run by root.sh in a mount namespace of its own;
# a foreign ARCH's second stage runs under EMULATOR (second-stage.sh).
#   scripts/board/make-root.sh ARCH RELEASE FILE [EMULATOR]
set -euo pipefail
source "$(dirname "$0")/common.sh"
# The root's recipe: Debian's minimal base, and an init with its bus (for
# systemd-run), device events, modprobe, the player of recorded input devices
# and chvt. A change here rebuilds the roots (root.sh).
root_packages=systemd,systemd-sysv,dbus,udev,kmod,evemu-tools,kbd

arch=$1 release=$2 file=$3 emulator=${4-}
build=$cache/build-$arch-$release started=$SECONDS
mkdir -p "$build"
mount -t tmpfs -o mode=0755 tmpfs "$build"
debootstrap ${emulator:+--foreign} --arch="$arch" --variant=minbase --include="$root_packages" "$release" \
  "$build/root" "$(mirror)" >"$build/log" 2>&1 || { tail -20 "$build/log" >&2; fail "debootstrap failed"; }
if [ -n "$emulator" ]; then
  say "$arch $release root: first stage in $((SECONDS - started)) s"
  # Root of a new user namespace (with its own mounts and processes) that maps
  # the machine's first 65536 users and groups onto themselves, so that the
  # files it makes keep their owners.
  unshare --user --mount --pid --fork --propagation private -- \
    sh -c 'until grep -q . /proc/self/uid_map; do sleep 0.01; done; exec "$@"' sh \
    "$board_dir/second-stage.sh" "$build/root" "$arch" "$emulator" >"$build/log" 2>&1 &
  inside=$!
  until [ "$(readlink "/proc/$inside/ns/user")" != "$(readlink /proc/self/ns/user)" ]; do sleep 0.01; done
  echo '0 0 65536' >"/proc/$inside/gid_map"
  echo '0 0 65536' >"/proc/$inside/uid_map"
  wait "$inside" || { tail -20 "$build/root/debootstrap/debootstrap.log" >&2; fail "debootstrap's second stage failed"; }
fi
cd "$build/root"
rm -rf usr/share/doc/* usr/share/man/* usr/share/info/* usr/share/locale/* var/cache/apt/* var/lib/apt/lists/*
find . -print0 | LC_ALL=C sort -z | cpio --null -o -H newc --quiet >"$file.new"
mv "$file.new" "$file"
say "$arch $release root: built in $((SECONDS - started)) s"
