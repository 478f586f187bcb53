#!/usr/bin/env bash
# Installs on Debian what the project needs, by named group, with apt-get:
# only the packages that are missing, and silently when none is.
#   scripts/install-deps.sh [GROUP...]     (no group: all of them)
# Elsewhere it names what to install and leaves the rest to the build.
set -euo pipefail

declare -A groups=(
  # Compiling the daemon and the tools: enough for `make build` and `make demo`.
  [build]="build-essential cmake"
  # The tests, and the tools the end-to-end tests drive.
  [test]="googletest libgtest-dev libgmock-dev strace util-linux"
  # Fuzzing (clang with libFuzzer) and static checks. libclang-rt-dev is the
  # default clang's runtime (libFuzzer, sanitizers), so the name holds on
  # every release, whatever clang's version.
  [quality]="clang libclang-rt-dev clang-tidy clang-format cppcheck"
  # make bench: the layout's microbenchmark.
  [bench]="libbenchmark-dev"
  # Man page lint, unit checks, the Debian package and its lint, in clean roots
  # of a release (mmdebstrap) and through piuparts; the package test copies the
  # tree's files as git lists them.
  [package]="mandoc man-db systemd dpkg-dev debhelper lintian mmdebstrap piuparts git"
  # make test-board: Debian's own kernels under full-system qemu, booting a
  # Debian root made with debootstrap (its arm64 half run under qemu-user).
  [board]="qemu-system-x86 qemu-system-arm debootstrap cpio kmod xz-utils zstd"
  # Cross builds for ARM boards and s390x, and qemu-user to test them
  # (make test-cross; scripts/run-foreign.sh registers qemu in a namespace of
  # its own, so qemu-user-binfmt is not needed).
  [cross]="crossbuild-essential-arm64 crossbuild-essential-armhf crossbuild-essential-s390x qemu-user"
)
order=(build test quality bench package board cross)

wanted=("$@")
[ ${#wanted[@]} -gt 0 ] || wanted=("${order[@]}")
packages=()
for group in "${wanted[@]}"; do
  [ -n "${groups[$group]+set}" ] || { echo "install-deps.sh: unknown group '$group' (groups: ${order[*]})" >&2; exit 2; }
  read -ra more <<< "${groups[$group]}"
  packages+=("${more[@]}")
done

if ! command -v dpkg-query >/dev/null || ! command -v apt-get >/dev/null; then
  echo "install-deps.sh: not Debian: install the equivalents of these yourself: ${packages[*]}" >&2
  exit 0
fi
missing=()
# Installed whatever is wanted of it: "install ok installed", or "hold ok
# installed" for a package held at its version.
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null) || status=
  [[ $status == *" ok installed" ]] || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0

if [ "$(id -u)" != 0 ]; then
  echo "install-deps.sh: missing packages; as root run: apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "install-deps.sh: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Another installation may hold the lock for a while: wait for it.
apt=(apt-get -q -o DPkg::Lock::Timeout=600)
"${apt[@]}" update >/dev/null
# Without recommends: qemu-user's would register qemu for foreign binaries
# machine-wide, which the project neither needs nor wants.
"${apt[@]}" install -y --no-install-recommends "${missing[@]}" >/dev/null
