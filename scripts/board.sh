#!/usr/bin/env bash
# Boots a Debian machine under full-system qemu (TCG: no KVM needed) to run a
# script there: Debian's own kernel for the architecture, and a Debian
# bookworm root with systemd, udev and evemu-tools handed over whole as the
# initramfs. The script runs as root once the system is up, with the files
# given beside it in /board; its output comes back line by line, and the
# machine powers off when it ends. Kernels and roots are cached under
# /var/cache/touchkeyd-test (TOUCHKEYD_TEST_CACHE); a root is rebuilt when its
# recipe below changes.
#   scripts/board.sh [--arch amd64|arm64] [--backports] [--append 'KERNEL ARGS']
#                    [--timeout SECONDS] [--install DEB] [--login] [--panel DESC]
#                    [--early] [--file SRC:DEST]... SCRIPT [FILE...]
#   scripts/board.sh [--arch amd64|arm64] --prepare
# --backports boots bookworm-backports' kernel instead of bookworm's;
# --prepare only fetches both kernels and builds the root, ahead of time.
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

cache=${TOUCHKEYD_TEST_CACHE:-/var/cache/touchkeyd-test}
# The root's recipe: Debian's minimal base, and an init with its bus (for
# systemd-run), device events, modprobe, the player of recorded input devices
# and chvt.
root_packages=systemd,systemd-sysv,dbus,udev,kmod,evemu-tools,kbd
# Units a test machine does without: logins on the consoles (the tests read
# and switch the virtual consoles themselves) and daily maintenance.
masked_units=(getty@.service serial-getty@.service getty-static.service apt-daily.timer
              apt-daily-upgrade.timer dpkg-db-backup.timer e2scrub_all.timer e2scrub_reap.service fstrim.timer)
# The input modules the tests need: evdev for /dev/input/event*, uinput for
# evemu-device's panels.
modules=(evdev uinput)

declare -A qemu_name=([amd64]=x86_64 [arm64]=aarch64)
declare -A elf_machine=([amd64]='\x3e\x00' [arm64]='\xb7\x00')
declare -A serial=([amd64]=ttyS0 [arm64]=ttyAMA0)

say() { printf 'board: %s\n' "$*" >&2; }
fail() { say "$*"; exit 1; }

# The machine's Debian mirror: the URI of the first of its apt sources that
# serves bookworm (deb822 or one-line style).
mirror() {
  {
    cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk -v RS= '{
      uri = ""; ok = 0; n = split($0, lines, "\n")
      for (i = 1; i <= n; i++) {
        k = split(lines[i], w, /[ \t]+/)
        if (w[1] == "URIs:") uri = w[2]
        if (w[1] == "Suites:") for (j = 2; j <= k; j++) ok = ok || w[j] == "bookworm"
      }
      if (ok && uri != "") print uri }'
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
      awk '$1 == "deb" { i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ } if ($(i + 1) == "bookworm") print $i }'
  } | head -1
}

# apt-get or apt-cache on a private configuration for ARCH's packages: the
# machine's own sources plus bookworm-backports from its mirror, with lists,
# downloads and dpkg status of its own, so that the machine's apt and dpkg
# never hear of another architecture. The lists are renewed once a day.
apt_for() {
  local arch=$1 tool=$2 dir=$cache/apt-$1
  shift 2
  local options=(-q -o Dir::State="$dir" -o Dir::State::status="$dir/status" -o Dir::Cache="$dir"
                 -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$dir/sources"
                 -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts="$dir/preferences"
                 -o APT::Architecture="$arch" -o APT::Architectures="$arch" -o APT::Sandbox::User=root)
  exec {lock}>"$dir.lock"
  flock "$lock"
  if [ -z "$(find "$dir/lists" -maxdepth 1 -name '*backports*Packages*' -mtime -1 2>/dev/null)" ]; then
    local uri
    uri=$(mirror)
    [ -n "$uri" ] || fail "no Debian bookworm source in /etc/apt to take the mirror from"
    rm -rf "$dir/sources"
    mkdir -p "$dir/sources" "$dir/preferences" "$dir/lists/partial" "$dir/archives/partial"
    touch "$dir/status"
    cp /etc/apt/sources.list.d/*.sources /etc/apt/sources.list.d/*.list "$dir/sources/" 2>/dev/null || true
    [ ! -s /etc/apt/sources.list ] || cp /etc/apt/sources.list "$dir/sources/machine.list"
    printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\n' "$uri" >"$dir/sources/backports.sources"
    apt-get "${options[@]}" update >"$dir/update.log" 2>&1 || { cat "$dir/update.log" >&2; fail "apt-get update for $arch failed"; }
  fi
  exec {lock}>&-
  "$tool" "${options[@]}" "$@"
}

# Downloads PACKAGE (for ARCH, from RELEASE when given) into the current directory.
download() {
  apt_for "$1" apt-get download "$2${3:+/$3}" >download.log 2>&1 || { cat download.log >&2; fail "cannot download $2"; }
}

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

# Debian's kernel for ARCH (bookworm's, or bookworm-backports' with RELEASE):
# its image, ready for qemu, and the input modules with their index. Prints
# the directory (image, release, lib/modules/...).
kernel() {
  local arch=$1 release=${2-} package dir started=$SECONDS
  package=$(apt_for "$arch" apt-cache ${release:+-t "$release"} depends "linux-image-$arch" |
            sed -n 's/^ *Depends: \(linux-image-[^ ]*\)$/\1/p' | head -1)
  [ -n "$package" ] || fail "no linux-image-$arch in the apt sources"
  dir=$cache/kernels/$package
  exec {lock}>"$cache/kernels/.lock"
  flock "$lock"
  if [ ! -s "$dir/image" ]; then
    rm -rf "$dir" "$dir.new"
    mkdir -p "$dir.new"
    (cd "$dir.new" && download "$arch" "$package" "$release")
    local patterns=('./boot/vmlinuz-*' '*/modules/*/modules.order' '*/modules/*/modules.builtin*')
    for module in "${modules[@]}"; do
      patterns+=("*/modules/*/$module.ko*")
    done
    dpkg-deb --fsys-tarfile "$dir.new"/*.deb | tar -x -C "$dir.new" --wildcards "${patterns[@]}"
    local modules_dir
    modules_dir=$(ls -d "$dir.new"/lib/modules/* "$dir.new"/usr/lib/modules/* 2>/dev/null | head -1)
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
}

# The statically linked qemu-user for ARCH's programs, taken from Debian's
# qemu-user-static package without installing it (its installation would
# register it for every foreign program of the machine). Static, since it
# runs chrooted in the foreign tree, where this machine's libraries are not.
static_emulator() {
  local host emulator
  host=$(dpkg --print-architecture)
  emulator=$cache/qemu-${qemu_name[$1]}-static
  if [ ! -x "$emulator" ]; then
    local tmp
    tmp=$(mktemp -d)
    (cd "$tmp" && download "$host" qemu-user-static)
    dpkg-deb --fsys-tarfile "$tmp"/*.deb | tar -x -O "./usr/bin/qemu-${qemu_name[$1]}-static" >"$emulator.new"
    chmod 755 "$emulator.new"
    mv "$emulator.new" "$emulator"
    rm -rf "$tmp"
  fi
  echo "$emulator"
}

# Runs a command as root of a new user namespace (with its own mounts and
# processes) that maps the machine's first 65536 users and groups onto
# themselves, so that the files it makes keep their owners.
in_user_namespace() {
  unshare --user --mount --pid --fork --propagation private -- \
    sh -c 'until grep -q . /proc/self/uid_map; do sleep 0.01; done; exec "$@"' sh "$@" &
  local inside=$!
  until [ "$(readlink "/proc/$inside/ns/user")" != "$(readlink /proc/self/ns/user)" ]; do sleep 0.01; done
  echo '0 0 65536' >"/proc/$inside/gid_map"
  echo '0 0 65536' >"/proc/$inside/uid_map"
  wait "$inside"
}

# debootstrap's second stage for a foreign ROOT, inside in_user_namespace:
# a binfmt_misc instance of the namespace's own (Linux 6.7 or later) hands
# ARCH's programs to EMULATOR; nothing is registered on the machine.
second_stage() {
  local root=$1 arch=$2 emulator=$3
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  # ELF, 64-bit, little-endian, executable or shared object, the machine.
  printf ':board-%s:M::\\x7fELF\\x02\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00%s:%s:%s:FP\n' \
    "$arch" "${elf_machine[$arch]}" \
    '\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff' "$emulator" \
    >/proc/sys/fs/binfmt_misc/register
  # container=lxc: debootstrap skips its test of making a device node, which a
  # user namespace may not; the first stage made the nodes.
  container=lxc chroot "$root" /debootstrap/debootstrap --second-stage
}

# Builds ARCH's root in a tmpfs (dpkg's many syncs cost nothing there) and
# packs it as a cpio archive into FILE, without documentation or apt lists.
make_root() {
  local arch=$1 file=$2 build=$cache/build-$1 started=$SECONDS
  mount -t tmpfs -o mode=0755 tmpfs "$build"
  local foreign=() emulator=''
  if [ "$arch" != "$(dpkg --print-architecture)" ]; then
    foreign=(--foreign)
    emulator=$(static_emulator "$arch")
  fi
  debootstrap "${foreign[@]}" --arch="$arch" --variant=minbase --include="$root_packages" bookworm "$build/root" \
    "$(mirror)" >"$build/log" 2>&1 || { tail -20 "$build/log" >&2; fail "debootstrap failed"; }
  if [ -n "$emulator" ]; then
    say "$arch root: first stage in $((SECONDS - started)) s"
    in_user_namespace "$0" --second-stage "$build/root" "$arch" "$emulator" >"$build/log" 2>&1 ||
      { tail -20 "$build/root/debootstrap/debootstrap.log" >&2; fail "debootstrap's second stage failed"; }
  fi
  cd "$build/root"
  rm -rf usr/share/doc/* usr/share/man/* usr/share/info/* usr/share/locale/* var/cache/apt/* var/lib/apt/lists/*
  find . -print0 | LC_ALL=C sort -z | cpio --null -o -H newc --quiet >"$file.new"
  mv "$file.new" "$file"
  say "$arch root: built in $((SECONDS - started)) s"
}

# ARCH's root, built when its recipe has none yet: prints the archive's path.
root() {
  local arch=$1 key file
  key=$(printf '%s\n' "$root_packages" "$(declare -f make_root second_stage)" | sha256sum | cut -c1-16)
  file=$cache/root-$arch-$key.cpio
  exec {lock}>"$cache/root-$arch.lock"
  flock "$lock"
  if [ ! -s "$file" ]; then
    rm -f "$cache/root-$arch"-*.cpio
    mkdir -p "$cache/build-$arch"
    unshare --mount --propagation private -- "$0" --make-root "$arch" "$file" >&2
  fi
  exec {lock}>&-
  echo "$file"
}

# The package DEB installed in a copy of ROOT (unpacked into DIR) as an image
# builder for boards does it: dpkg --root, with the maintainer scripts run
# here (--force-script-chrootless: they are shell, whatever the architecture;
# dpkg sets DPKG_ROOT, so debhelper's snippets enable the units in the copy and
# leave this machine's systemd alone). Prints a cpio archive of what dpkg added
# or changed, to be unpacked over the root.
installed() {
  local root=$1 deb=$2 dir=$3 arch
  arch=$(dpkg-deb -f "$deb" Architecture)
  mkdir "$dir"
  cd "$dir"
  cpio -idm --quiet --no-absolute-filenames <"$root"
  find . -printf '%T@ %p\n' | LC_ALL=C sort >../before
  # This machine's dpkg takes another architecture's package for one of a
  # foreign architecture, whose unqualified dependencies that architecture's
  # packages meet; the root's own list of architectures is kept as it was.
  [ ! -e var/lib/dpkg/arch ] || cp -p var/lib/dpkg/arch ../arch
  [ "$arch" = all ] || [ "$arch" = "$(dpkg --print-architecture)" ] || dpkg --root="$dir" --add-architecture "$arch"
  dpkg --root="$dir" --force-script-chrootless -i "$deb" >../dpkg.log 2>&1 || { cat ../dpkg.log >&2; fail "dpkg --root -i $deb failed"; }
  rm -f var/lib/dpkg/arch var/lib/dpkg/arch-old
  [ ! -e ../arch ] || cp -p ../arch var/lib/dpkg/arch
  find . -printf '%T@ %p\n' | LC_ALL=C sort | LC_ALL=C comm -13 ../before - | cut -d' ' -f2- | cpio -o -H newc --quiet
}

# The unit that makes --panel's touch panel before the boot's services start,
# once uinput is loaded; it is started once its node exists.
panel_unit() {
  cat <<'EOF'
[Unit]
Description=The board's touch panel, there from boot
DefaultDependencies=no
After=systemd-modules-load.service
Before=sysinit.target

[Service]
ExecStart=/usr/bin/evemu-device /board/panel.desc
StandardOutput=file:/run/board-panel
ExecStartPost=/usr/bin/timeout 20 /bin/sh -c 'until grep -q /dev/input/event /run/board-panel; do sleep 0.05; done'
EOF
}

# The initramfs's second archive: the script and its files in /board, the
# unit that runs it, the masks and the kernel's input modules, and what the
# options for a first boot add.
overlay() {
  local kernel=$1 dir=$2 script=$3
  shift 3
  local units=etc/systemd/system
  mkdir -p "$dir/board" "$dir/$units/multi-user.target.wants" "$dir/etc/modules-load.d" "$dir/usr/lib"
  [ $# = 0 ] || cp -rL "$@" "$dir/board/"
  cp "$script" "$dir/board/script"
  chmod 755 "$dir/board/script"
  # The script runs in a process group of its own, its lines marked as its
  # own; once it has ended, what it left running there ends too (and with it
  # the output), and the end line says how it ended.
  cat >"$dir/board/run" <<'EOF'
#!/bin/bash
mkfifo /run/board-output
sed -u 's/^/| /' </run/board-output &
printer=$!
setsid ./script >/run/board-output 2>&1 &
script=$!
wait $script
status=$?
kill -- -$script 2>/dev/null
wait $printer
echo "board: end $status"
EOF
  chmod 755 "$dir/board/run"
  cat >"$dir/$units/board.service" <<EOF
[Unit]
Description=The board's script
${early:-After=multi-user.target}

[Service]
Type=oneshot
TimeoutStartSec=infinity
WorkingDirectory=/board
ExecStart=/board/run
StandardOutput=file:/dev/console
ExecStopPost=/bin/systemctl start --no-block --job-mode=replace-irreversibly poweroff.target
EOF
  ln -s ../board.service "$dir/$units/multi-user.target.wants/"
  for unit in "${masked_units[@]}"; do
    [ -z "$login" ] || [ "$unit" != getty@.service ] || continue
    ln -s /dev/null "$dir/$units/$unit"
  done
  if [ -n "$panel" ]; then
    cp "$panel" "$dir/board/panel.desc"
    panel_unit >"$dir/$units/board-panel.service"
    mkdir -p "$dir/$units/sysinit.target.wants"
    ln -s ../board-panel.service "$dir/$units/sysinit.target.wants/"
  fi
  local file
  for file in "${files[@]}"; do
    mkdir -p "$dir/$(dirname "${file#*:}")"
    cp "${file%%:*}" "$dir/${file#*:}"
  done
  printf '%s\n' "${modules[@]}" >"$dir/etc/modules-load.d/board.conf"
  cp -r "$kernel/lib/modules" "$dir/usr/lib/"
  (cd "$dir" && find . | cpio -o -H newc --quiet)
}

boot() {
  local arch=$1 kernel=$2 root=$3 append=$4 timeout=$5 work=$6
  shift 6
  overlay "$kernel" "$work/overlay" "$@" >"$work/overlay.cpio"
  : >"$work/installed.cpio"
  [ -z "$install" ] || (installed "$root" "$install" "$work/root") >"$work/installed.cpio"
  rm -rf "$work/root"
  cat "$root" "$work/installed.cpio" "$work/overlay.cpio" >"$work/initrd"
  local machine
  case $arch in
    amd64) machine=(qemu-system-x86_64 -M q35 -bios /usr/share/qemu/qboot.rom) ;;
    arm64) machine=(qemu-system-aarch64 -M virt -cpu cortex-a57) ;;
  esac
  local started=$SECONDS
  timeout -k 5 "$timeout" "${machine[@]}" -m 1024 -smp 1 -display none -monitor none -nic none -no-reboot \
    -serial "file:$work/console" -kernel "$kernel/image" -initrd "$work/initrd" \
    -append "console=${serial[$arch]} quiet panic=-1 rdinit=/lib/systemd/systemd systemd.show_status=0 $append" \
    </dev/null >"$work/qemu.log" 2>&1 &
  local qemu=$!
  # The script's lines as they come; the rest stays in the console's log. The
  # verdict is the end line's, whatever tail says.
  tail -n +1 -s 0.2 -F --pid="$qemu" "$work/console" 2>/dev/null | tr -d '\r' | sed -un 's/^| //p' || true
  wait "$qemu" || true
  local status
  status=$(tr -d '\r' <"$work/console" | sed -n 's/^board: end \([0-9]*\)$/\1/p')
  if [ -z "$status" ]; then
    tr -d '\r' <"$work/console" | tail -30 >&2
    cat "$work/qemu.log" >&2
    fail "the machine did not reach the script's end within $timeout s"
  fi
  say "$arch, $(cat "$kernel/release"): booted, ran and powered off in $((SECONDS - started)) s"
  return "$status"
}

case ${1-} in
  --make-root) make_root "$2" "$3"; exit ;;
  --second-stage) shift; second_stage "$@"; exit ;;
esac

arch=$(dpkg --print-architecture) backports='' append='' timeout=900 prepare=''
install='' login='' panel='' early='' files=()
while [ $# -gt 0 ]; do
  case $1 in
    --arch) arch=$2; shift 2 ;;
    --backports) backports=bookworm-backports; shift ;;
    --prepare) prepare=yes; shift ;;
    --append) append=$2; shift 2 ;;
    --timeout) timeout=$2; shift 2 ;;
    --install) install=$(realpath "$2"); shift 2 ;;
    --login) login=yes; shift ;;
    --panel) panel=$2; shift 2 ;;
    --early) early='# Beside the boot: after basic.target, as services are.'; shift ;;
    --file) files+=("$2"); shift 2 ;;
    *) break ;;
  esac
done
[ $# -ge 1 -o -n "$prepare" ] && [ -n "${qemu_name[$arch]-}" ] || {
  echo "usage: scripts/board.sh [--arch amd64|arm64] [--backports] [--append ARGS] [--timeout S]" >&2
  echo "                        [--install DEB] [--login] [--panel DESC] [--early] [--file SRC:DEST]... SCRIPT [FILE...]" >&2
  echo "       scripts/board.sh [--arch amd64|arm64] --prepare" >&2
  exit 2
}
[ "$(id -u)" = 0 ] || fail "needs root (debootstrap, namespaces)"
mkdir -p "$cache/kernels"
if [ -n "$prepare" ]; then
  kernel "$arch" >/dev/null && kernel "$arch" bookworm-backports >/dev/null && root "$arch" >/dev/null
  exit
fi
kernel_dir=$(kernel "$arch" "$backports")
root_file=$(root "$arch")
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
boot "$arch" "$kernel_dir" "$root_file" "$append" "$timeout" "$work" "$@"
