#!/usr/bin/env bash
# Debian's kernel for ARCH from RELEASE (or from RELEASE's suite SUITE, such
# as bookworm-backports), fetched into the cache once: its image, ready for
# qemu, and the input modules the board needs with their index. Prints the
# directory (image, release, lib/modules/...).
#   scripts/board/kernel.sh ARCH RELEASE [SUITE]
set -euo pipefail
# shellcheck source=SCRIPTDIR/common.sh
source "$(dirname "$0")/common.sh"
arch=$1 release=$2 suite=${3-}
# The input modules the tests need: evdev for /dev/input/event*, uinput for
# evemu-device's panels.
modules=(evdev uinput)

# The ELF vmlinux inside an x86 bzImage, which qemu boots directly (PVH),
# saving the guest a slow decompression: the compressed payload is found by
# its magic number.
extract_vmlinux() {
  local image=$1 out=$2 magic offset
  for magic in '\xfd7zXZ\x00:xz' '\x28\xb5\x2f\xfd:zstd' '\x1f\x8b\x08:gzip'; do
    for offset in $(LC_ALL=C grep -obUaP "${magic%:*}" "$image" | cut -d: -f1); do
      tail -c +$((offset + 1)) "$image" | "${magic#*:}" -dc >"$out" 2>/dev/null || true
      [ "$(head -c4 "$out")" = $'\x7fELF' ] && return 0
    done
  done
  fail "no vmlinux found in $image"
}

started=$SECONDS
package=$(apt_for "$arch" "$release" apt-cache ${suite:+-t "$suite"} depends "linux-image-$arch" |
          sed -n 's/^ *Depends: \(linux-image-[^ ]*\)$/\1/p' | head -1)
[ -n "$package" ] || fail "no linux-image-$arch in $release's apt sources"
dir=$cache/kernels/$package
mkdir -p "$cache/kernels"
exec {lock}>"$cache/kernels/.lock"
flock "$lock"
if [ ! -s "$dir/image" ]; then
  rm -rf "$dir" "$dir.new"
  mkdir -p "$dir.new"
  (cd "$dir.new" && download "$arch" "$release" "$package" "$suite")
  patterns=('./boot/vmlinuz-*' '*/modules/*/modules.order' '*/modules/*/modules.builtin*')
  for module in "${modules[@]}"; do
    patterns+=("*/modules/*/$module.ko*")
  done
  dpkg-deb --fsys-tarfile "$dir.new"/*.deb | tar -x -C "$dir.new" --wildcards "${patterns[@]}"
  for modules_dir in "$dir.new"/lib/modules/* "$dir.new"/usr/lib/modules/*; do [ ! -d "$modules_dir" ] || break; done
  basename "$modules_dir" >"$dir.new/release"
  mkdir -p "$dir.new/lib/modules"
  [ "$modules_dir" = "$dir.new/lib/modules/$(cat "$dir.new/release")" ] || mv "$modules_dir" "$dir.new/lib/modules/"
  depmod -b "$dir.new" "$(cat "$dir.new/release")"
  if [ "$arch" = amd64 ]; then
    extract_vmlinux "$dir.new"/boot/vmlinuz-* "$dir.new/image"
  else
    mv "$dir.new"/boot/vmlinuz-* "$dir.new/image"
  fi
  rm -rf "$dir.new"/*.deb "$dir.new/boot" "$dir.new/usr" "$dir.new/download.log"
  mv "$dir.new" "$dir"
  say "$package: fetched in $((SECONDS - started)) s"
fi
exec {lock}>&-
echo "$dir"
