#!/usr/bin/env bash
# Boots a Debian machine under full-system qemu (TCG: no KVM needed) to run a
# script there: Debian's own kernel for the architecture from RELEASE, and a
# root of RELEASE with systemd, udev and evemu-tools handed over whole as the
# initramfs. The script runs as root once the system is up, with the files
# given beside it in /board; its output comes back line by line, and the
# machine powers off when it ends. Kernels and roots are cached under
# /var/cache/touchkeyd-test (TOUCHKEYD_TEST_CACHE); a root is rebuilt when its
# recipe (board/make-root.sh) changes. The parts are in board/: kernel.sh,
# root.sh (with make-root.sh and second-stage.sh) and boot.sh.
#   scripts/board.sh --release RELEASE [--arch amd64|arm64] [--backports] [--append 'KERNEL ARGS']
#                    [--timeout SECONDS] [--install DEB] [--login] [--panel DESC]
#                    [--early] [--file SRC:DEST]... SCRIPT [FILE...]
#   scripts/board.sh --release RELEASE [--arch amd64|arm64] [--backports] --prepare
# --backports boots RELEASE-backports' kernel instead of RELEASE's; --prepare
# only fetches the kernel and builds the root, ahead of time.
# For a machine's first boot: --install DEB boots with the package already
# installed and its units enabled, as an image for a board is made; --login
# keeps the login prompt on tty1; --panel DESC has evemu-device make a touch
# panel from DESC before the boot's services start (its node in
# /run/board-panel); --early starts the script beside the boot's services
# rather than after them; --file puts SRC at DEST in the root: what an earlier
# boot left there (the root lives in memory and nothing else survives; a disk
# would need the kernel's block and filesystem modules and a filesystem made
# for it, where a later boot here needs a file or two).
# Exit status: the script's; 1 when the machine did not reach the script's
# end within the timeout (default 900 s), with the console's last lines.
set -euo pipefail
parts=$(dirname "$0")/board
# shellcheck source=SCRIPTDIR/board/common.sh
source "$parts/common.sh"

arch=$(dpkg --print-architecture) release='' suite='' prepare='' boot=()
while [ $# -gt 0 ]; do
  case $1 in
    --arch) arch=$2; shift 2 ;;
    --release) release=$2; shift 2 ;;
    --backports) suite=backports; shift ;;
    --prepare) prepare=yes; shift ;;
    --append | --timeout | --install | --panel | --file) boot+=("$1" "$2"); shift 2 ;;
    --login | --early) boot+=("$1"); shift ;;
    *) break ;;
  esac
done
if [ $# = 0 ] && [ -z "$prepare" ] || [ -z "${qemu_name[$arch]-}" ] || ! [[ $release =~ ^[a-z]+$ ]]; then
  echo "usage: scripts/board.sh --release RELEASE [--arch amd64|arm64] [--backports] [--append ARGS] [--timeout S]" >&2
  echo "                        [--install DEB] [--login] [--panel DESC] [--early] [--file SRC:DEST]... SCRIPT [FILE...]" >&2
  echo "       scripts/board.sh --release RELEASE [--arch amd64|arm64] [--backports] --prepare" >&2
  exit 2
fi
[ "$(id -u)" = 0 ] || fail "needs root (debootstrap, namespaces)"
kernel=$("$parts/kernel.sh" "$arch" "$release" ${suite:+"$release-$suite"})
root=$("$parts/root.sh" "$arch" "$release")
[ -n "$prepare" ] || exec "$parts/boot.sh" "$arch" "$kernel" "$root" "${boot[@]}" "$@"
