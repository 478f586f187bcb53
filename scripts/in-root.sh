#!/usr/bin/env bash
# Runs a command as root in a minimal Debian root of another release, with this
# source tree at its own path, so that `make test` is proved on each release.
#   scripts/in-root.sh [--bare] RELEASE -- COMMAND...
# The root (debootstrap, then scripts/install-deps.sh for TOUCHKEYD_ROOT_GROUPS,
# all groups by default) is cached in TOUCHKEYD_TEST_CACHE (/var/cache/touchkeyd-test),
# keyed by this recipe, and never changed by a run: each run writes to an
# overlay that is thrown away. The command runs in mount and pid namespaces of
# its own with /proc, /sys, a devpts instance and the usual /dev nodes, and the
# machine's virtual consoles when it has them (for the real console's test).
# --bare: a fresh minimal machine instead, as the quick start finds one: the
# root holds git and nothing else, the command sees no virtual console and no
# CI, and apt's downloads alone are kept, per release, for the next run.
set -euo pipefail
me=in-root.sh
usage() { echo "usage: $me [--bare] RELEASE -- COMMAND..." >&2; exit 2; }
case "${1:-}" in -h | --help) echo "usage: $me [--bare] RELEASE -- COMMAND..."; exit 0 ;; esac
bare=
[ "${1:-}" != --bare ] || { bare=1; shift; }
if [ $# -lt 3 ] || [ "$2" != -- ]; then usage; fi
release=$1
shift 2
[[ $release =~ ^[a-z]+$ ]] || { echo "$me: not a release name: '$release'" >&2; exit 2; }
[ "$(id -u)" = 0 ] || { echo "$me: needs root (debootstrap, namespaces, mounts)" >&2; exit 1; }
src=$(cd "$(dirname "$0")/.." && pwd)
cache=${TOUCHKEYD_TEST_CACHE:-/var/cache/touchkeyd-test}
groups=${TOUCHKEYD_ROOT_GROUPS:-}

# The machine's Debian mirrors, whichever release it runs; without a security
# source, the usual place beside the mirror.
# shellcheck source=scripts/debian-mirrors.sh
source "$src/scripts/debian-mirrors.sh"
mirror=$(mirror)
security=$(security_mirror)
[ -n "$mirror" ] || { echo "$me: no Debian mirror in the machine's apt sources" >&2; exit 1; }
[ -n "$security" ] || security=${mirror%/}-security

# Runs "$@" in DIR with the namespaces' mounts set up; with LOWER, DIR is
# first an overlay of LOWER (writes go to DIR.upper). The mounts end with the
# namespace.
in_namespaces() {
  local dir=$1 lower=$2 archives=
  shift 2
  [ -z "$bare" ] || [ -z "$lower" ] || archives=$cache/bare-apt-$release
  unshare --mount --pid --fork --propagation private bash -euc '
    dir=$1 src=$2 lower=$3 archives=$4 bare=$5
    shift 5
    if [ -n "$lower" ]; then
      mount -t overlay overlay -o "lowerdir=$lower,upperdir=$dir.upper,workdir=$dir.work" "$dir"
    fi
    mount -t proc proc "$dir/proc"
    mount --rbind /sys "$dir/sys"
    mount -t tmpfs -o mode=755,nosuid dev "$dir/dev"
    consoles=(/dev/tty[0-9]*)
    [ -z "$bare" ] || { consoles=(); unset CI; }
    for node in /dev/null /dev/zero /dev/full /dev/random /dev/urandom /dev/tty "${consoles[@]}"; do
      [ -e "$node" ] || continue
      touch "$dir$node"
      mount --bind "$node" "$dir$node"
    done
    mkdir "$dir/dev/pts" "$dir/dev/shm"
    mount -t devpts -o newinstance,ptmxmode=0666,mode=0620,gid=5 devpts "$dir/dev/pts"
    ln -s pts/ptmx "$dir/dev/ptmx"
    mount -t tmpfs -o mode=1777,nosuid,nodev shm "$dir/dev/shm"
    ln -s /proc/self/fd "$dir/dev/fd"
    for n in 0:stdin 1:stdout 2:stderr; do ln -s "/proc/self/fd/${n%%:*}" "$dir/dev/${n#*:}"; done
    cp -L /etc/resolv.conf "$dir/etc/resolv.conf" 2>/dev/null || true
    if [ -n "$archives" ]; then
      mkdir -p "$archives"
      mount --bind "$archives" "$dir/var/cache/apt/archives"
    fi
    # The tree at its own path, the repository when it lies outside (for a
    # worktree), and the recordings beside the tree, read-only.
    mkdir -p "$dir$src"
    mount --bind "$src" "$dir$src"
    for extra in "$(git -C "$src" rev-parse --path-format=absolute --git-common-dir 2>/dev/null)" \
                 "$(dirname "$src")/shared"; do
      [ -d "$extra" ] && [[ $extra != "$src"/* ]] || continue
      mkdir -p "$dir$extra"
      mount --bind -o ro "$extra" "$dir$extra"
    done
    # None of the descriptors the caller left open: a tool inside may need low
    # free ones (mmdebstrap hands dash descriptor numbers, which stop at 9).
    for fd in /proc/self/fd/*; do
      fd=${fd##*/}
      [ "$fd" -le 2 ] || exec {fd}>&- 2>/dev/null || true
    done
    exec chroot "$dir" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      LANG=C.UTF-8 TERM="${TERM:-dumb}" ${CI:+CI=$CI} "$@"
  ' in-root "$dir" "$src" "$lower" "$archives" "$bare" "$@"
}

# Builds the root in $1: debootstrap, the release's own sources with its
# updates and security suites, then install-deps.sh's packages (bare: git).
build_root() {
  local tmp=$1 suites=$release
  debootstrap --variant=minbase "$release" "$tmp" "$mirror" >"$log" 2>&1 ||
    { tail -20 "$log" >&2; echo "$me: debootstrap failed" >&2; return 1; }
  case $release in sid | unstable) ;; *) suites="$release $release-updates" ;; esac
  {
    printf 'Types: deb\nURIs: %s\nSuites: %s\nComponents: main\n' "$mirror" "$suites"
    printf 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n'
    case $release in sid | unstable) ;; *)
      printf '\nTypes: deb\nURIs: %s\nSuites: %s-security\nComponents: main\n' "$security" "$release"
      printf 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' ;;
    esac
  } >"$tmp/etc/apt/sources.list.d/debian.sources"
  rm -f "$tmp/etc/apt/sources.list"
  local install="apt-get -qy install --no-install-recommends git >/dev/null"
  if [ -z "$bare" ]; then
    mkdir -p "$tmp/tmp/install-deps"
    cp "$src/scripts/install-deps.sh" "$tmp/tmp/install-deps/"
    install="/tmp/install-deps/install-deps.sh $groups"
  fi
  in_namespaces "$tmp" "" sh -c "apt-get -q update >/dev/null && apt-get -qy upgrade >/dev/null &&
    $install && apt-get clean" >>"$log" 2>&1 ||
    { tail -20 "$log" >&2; echo "$me: installing the packages failed" >&2; return 1; }
  rm -rf "$tmp/tmp/install-deps"
}

# The cache's key is the recipe: the function above, the package lists and
# where they come from.
key=$( (declare -f build_root; cat "$src/scripts/install-deps.sh"
        echo "$release $mirror $security $groups $bare") | sha256sum | cut -c1-16)
name=release-root-$release
[ -z "$bare" ] || name=bare-root-$release
root=$cache/$name-$key
log=$cache/$name.log
mkdir -p "$cache"
# Runs share the root (a shared lock); a build, which removes the older
# roots, waits for them to end (an exclusive one).
exec 9>"$cache/$name.lock"
flock -s 9
if [ ! -d "$root" ]; then
  flock 9
  if [ ! -d "$root" ]; then
    echo "$me: building the $release root in $root"
    start=$(date +%s)
    rm -rf "$cache/$name"-*
    build_root "$root.tmp"
    mv "$root.tmp" "$root"
    echo "$me: the $release root took $(($(date +%s) - start)) s"
  fi
  flock -s 9
fi

# Each run on an overlay of its own: the cached root stays as built.
run=$(mktemp -d "$cache/${name/root/run}.XXXXXX")
trap 'rm -rf "$run"' EXIT
trap 'exit 143' TERM HUP INT  # through the EXIT trap, which bash skips on a signal
mkdir "$run/root" "$run/root.upper" "$run/root.work"
in_namespaces "$run/root" "$root" sh -c 'cd "$0" && exec "$@"' "$src" "$@"

