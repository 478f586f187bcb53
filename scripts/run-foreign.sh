#!/bin/sh
# Runs a command in which programs built for another architecture run as if
# they were native, however deep they are started: in a new user and mount
# namespace, a binfmt_misc instance of its own hands them to qemu-user, and
# the target's dynamic loader and libraries (from its cross sysroot) appear
# where its programs look for them. Nothing is registered or mounted on the
# machine itself, and all of it ends with the command.
#   scripts/run-foreign.sh EMULATOR SYSROOT PROGRAM -- COMMAND [ARG...]
# PROGRAM is one of the target's programs: its ELF header says which
# programs the emulator takes (those of its class, byte order and machine).
set -eu
if [ "${1-}" != --inside ]; then
  if [ $# -lt 5 ] || [ "$4" != -- ]; then
    echo "usage: scripts/run-foreign.sh EMULATOR SYSROOT PROGRAM -- COMMAND [ARG...]" >&2
    exit 2
  fi
  # The kernel gives a user namespace its own binfmt_misc instance (Linux 6.7).
  exec unshare --user --map-root-user --mount --propagation private -- "$0" --inside "$@"
fi
shift
emulator=$(command -v "$1") sysroot=$2 program=$3
shift 4

# binfmt_misc magic and mask: the ELF identification (class, byte order,
# version), executables and shared objects alike, and the machine.
magic='' mask='' index=0 data=1
for byte in $(od -An -v -tx1 -N20 "$program"); do
  case $index in
    5) data=$((0x$byte)) mask_byte=ff ;;
    7|8|9|10|11|12|13|14|15) mask_byte=00 ;;
    16|17) if [ "$index" = $((15 + data)) ]; then mask_byte=fe; else mask_byte=ff; fi ;;
    *) mask_byte=ff ;;
  esac
  magic="$magic\\x$(printf %02x $((0x$byte & 0x$mask_byte)))"
  mask="$mask\\x$mask_byte"
  index=$((index + 1))
done
mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
# F: the emulator is opened now, whatever the command's mounts hide later;
# P: a program's argv[0] reaches it as given.
printf ':touchkey-foreign:M::%s:%s:%s:FP\n' "$magic" "$mask" "$emulator" > /proc/sys/fs/binfmt_misc/register

# The loader the target's programs ask for, and its library directory, added
# to the directory the loader lives in by an overlay of this namespace only.
interpreter=$(readelf -l "$program" | sed -n 's/.*Requesting program interpreter: \(.*\)]$/\1/p')
if [ -n "$interpreter" ]; then
  loader_dir=$(realpath "$(dirname "$interpreter")")
  mount -t tmpfs -o mode=0755 tmpfs /dev/shm
  mkdir /dev/shm/upper /dev/shm/work
  ln -s "$sysroot/lib/$(basename "$interpreter")" /dev/shm/upper/
  ln -s "$sysroot/lib" "/dev/shm/upper/$(basename "$sysroot")"
  mount -t overlay overlay -o "lowerdir=$loader_dir,upperdir=/dev/shm/upper,workdir=/dev/shm/work" "$loader_dir"
fi
exec "$@"
