#!/usr/bin/env bash
# Boots KERNEL (a directory of kernel.sh) with ROOT (an archive of root.sh) as
# the initramfs under full-system qemu for ARCH, to run SCRIPT there once the
# system is up, with the files given beside it in /board (guest/ holds the
# unit and the runner put there); its lines come back as they come. The
# options are scripts/board.sh's for a boot.
#   scripts/board/boot.sh ARCH KERNEL ROOT [--append ARGS] [--timeout S] [--install DEB]
#                         [--login] [--panel DESC] [--early] [--file SRC:DEST]... SCRIPT [FILE...]
set -euo pipefail
# shellcheck source=SCRIPTDIR/common.sh
source "$(dirname "$0")/common.sh"
# Units a test machine does without: logins on the consoles (the tests read
# and switch the virtual consoles themselves) and daily maintenance.
masked_units=(getty@.service serial-getty@.service getty-static.service apt-daily.timer
              apt-daily-upgrade.timer dpkg-db-backup.timer e2scrub_all.timer e2scrub_reap.service fstrim.timer)
declare -A serial=([amd64]=ttyS0 [arm64]=ttyAMA0)

arch=$1 kernel=$2 root=$3 append='' timeout=900 install='' login='' panel='' early='' files=()
shift 3
while [ $# -gt 0 ]; do
  case $1 in
    --append) append=$2; shift 2 ;;
    --timeout) timeout=$2; shift 2 ;;
    --install) install=$(realpath "$2"); shift 2 ;;
    --login) login=yes; shift ;;
    --panel) panel=$(realpath "$2"); shift 2 ;;
    --early) early=yes; shift ;;
    --file) files+=("$2"); shift 2 ;;
    *) break ;;
  esac
done
script=$1
shift

# The package DEB installed in a copy of the root (unpacked into DIR) as an
# image builder for boards does it: dpkg --root, with the maintainer scripts
# run here (--force-script-chrootless: they are shell, whatever the
# architecture; dpkg sets DPKG_ROOT, so debhelper's snippets enable the units
# in the copy and leave this machine's systemd alone). Prints a cpio archive of
# what dpkg added or changed, to be unpacked over the root.
installed() {
  local deb=$1 dir=$2 deb_arch
  deb_arch=$(dpkg-deb -f "$deb" Architecture)
  mkdir "$dir"
  cd "$dir"
  cpio -idm --quiet --no-absolute-filenames <"$root"
  find . -printf '%T@ %p\n' | LC_ALL=C sort >../before
  # This machine's dpkg takes another architecture's package for one of a
  # foreign architecture, whose unqualified dependencies that architecture's
  # packages meet; the root's own list of architectures is kept as it was.
  [ ! -e var/lib/dpkg/arch ] || cp -p var/lib/dpkg/arch ../arch
  [ "$deb_arch" = all ] || [ "$deb_arch" = "$(dpkg --print-architecture)" ] || dpkg --root="$dir" --add-architecture "$deb_arch"
  dpkg --root="$dir" --force-script-chrootless -i "$deb" >../dpkg.log 2>&1 || { cat ../dpkg.log >&2; fail "dpkg --root -i $deb failed"; }
  rm -f var/lib/dpkg/arch var/lib/dpkg/arch-old
  [ ! -e ../arch ] || cp -p ../arch var/lib/dpkg/arch
  find . -printf '%T@ %p\n' | LC_ALL=C sort | LC_ALL=C comm -13 ../before - | cut -d' ' -f2- | cpio -o -H newc --quiet
}

# The initramfs's second archive, made in DIR: the script and its files in
# /board, the unit that runs it, the masks and the kernel's input modules, and
# what the options for a first boot add.
overlay() {
  local dir=$1 units=etc/systemd/system unit file
  mkdir -p "$dir/board" "$dir/$units/multi-user.target.wants" "$dir/etc/modules-load.d" "$dir/usr/lib"
  [ $# = 1 ] || cp -rL "${@:2}" "$dir/board/"
  cp "$script" "$dir/board/script"
  cp "$board_dir/guest/run" "$dir/board/run"
  chmod 755 "$dir/board/script" "$dir/board/run"
  # --early: beside the boot, after basic.target as services are.
  sed "${early:+/^After=multi-user.target\$/d}" "$board_dir/guest/board.service" >"$dir/$units/board.service"
  ln -s ../board.service "$dir/$units/multi-user.target.wants/"
  for unit in "${masked_units[@]}"; do
    [ -z "$login" ] || [ "$unit" != getty@.service ] || continue
    ln -s /dev/null "$dir/$units/$unit"
  done
  if [ -n "$panel" ]; then
    cp "$panel" "$dir/board/panel.desc"
    cp "$board_dir/guest/board-panel.service" "$dir/$units/"
    mkdir -p "$dir/$units/sysinit.target.wants"
    ln -s ../board-panel.service "$dir/$units/sysinit.target.wants/"
  fi
  for file in "${files[@]}"; do
    mkdir -p "$dir/$(dirname "${file#*:}")"
    cp "${file%%:*}" "$dir/${file#*:}"
  done
  # The kernel's input modules (kernel.sh), loaded at boot.
  find "$kernel/lib/modules" -name '*.ko*' -printf '%f\n' | sed 's/\.ko.*//' >"$dir/etc/modules-load.d/board.conf"
  cp -r "$kernel/lib/modules" "$dir/usr/lib/"
  (cd "$dir" && find . | cpio -o -H newc --quiet)
}

# The console's lines without the terminal's control sequences (systemd writes
# some before its first line), and without carriage returns.
plain() { sed -u -e 's#\r##g' -e 's#\x1b\[[0-?]*[ -/]*[@-~]##g' -e 's#\x1b\][^\x07\x1b]*\(\x07\|\x1b\\\)##g' -e 's#\x1b[ -/]*[0-~]##g'; }

work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
overlay "$work/overlay" "$@" >"$work/overlay.cpio"
: >"$work/installed.cpio"
[ -z "$install" ] || (installed "$install" "$work/root") >"$work/installed.cpio"
rm -rf "$work/root"
cat "$root" "$work/installed.cpio" "$work/overlay.cpio" >"$work/initrd"
case $arch in
  amd64) machine=(qemu-system-x86_64 -M q35 -bios /usr/share/qemu/qboot.rom) ;;
  arm64) machine=(qemu-system-aarch64 -M virt -cpu cortex-a57) ;;
esac
started=$SECONDS
timeout -k 5 "$timeout" "${machine[@]}" -m 1024 -smp 1 -display none -monitor none -nic none -no-reboot \
  -serial "file:$work/console" -kernel "$kernel/image" -initrd "$work/initrd" \
  -append "console=${serial[$arch]} quiet panic=-1 rdinit=/lib/systemd/systemd systemd.show_status=0 $append" \
  </dev/null >"$work/qemu.log" 2>&1 &
qemu=$!
# The script's lines as they come; the rest stays in the console's log. The
# verdict is the end line's, whatever tail says.
tail -n +1 -s 0.2 -F --pid="$qemu" "$work/console" 2>/dev/null | plain | sed -un 's/^| //p' || true
wait "$qemu" || true
status=$(plain <"$work/console" | sed -n 's/^board: end \([0-9]*\)$/\1/p')
if [ -z "$status" ]; then
  plain <"$work/console" | tail -30 >&2
  cat "$work/qemu.log" >&2
  fail "the machine did not reach the script's end within $timeout s"
fi
say "$arch, $(cat "$kernel/release"): booted, ran and powered off in $((SECONDS - started)) s"
exit "$status"
