#!/usr/bin/env bash
# debootstrap's second stage for a foreign ROOT, run by make-root.sh as root of
# a user namespace: a binfmt_misc instance of the namespace's own (Linux 6.7
# or later) hands ARCH's programs to EMULATOR; nothing is registered on the
# machine.
#   scripts/board/second-stage.sh ROOT ARCH EMULATOR
set -euo pipefail
root=$1 arch=$2 emulator=$3
declare -A elf_machine=([amd64]='\x3e\x00' [arm64]='\xb7\x00')
mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
# ELF, 64-bit, little-endian, executable or shared object, the machine.
printf ':board-%s:M::\\x7fELF\\x02\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00%s:%s:%s:FP\n' \
  "$arch" "${elf_machine[$arch]}" \
  '\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff' "$emulator" \
  >/proc/sys/fs/binfmt_misc/register
# container=lxc: debootstrap skips its test of making a device node, which a
# user namespace may not; the first stage made the nodes.
container=lxc chroot "$root" /debootstrap/debootstrap --second-stage
