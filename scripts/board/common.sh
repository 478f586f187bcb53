# shellcheck shell=bash disable=SC2034  # (board_dir, qemu_name: for the parts)
# What the board's parts share (sourced): the cache, messages, and apt on a
# private configuration for one architecture and one Debian release.
cache=${TOUCHKEYD_TEST_CACHE:-/var/cache/touchkeyd-test}
board_dir=$(dirname "${BASH_SOURCE[0]}")
declare -A qemu_name=([amd64]=x86_64 [arm64]=aarch64)

say() { printf 'board: %s\n' "$*" >&2; }
fail() { say "$*"; exit 1; }

# The machine's Debian mirrors (mirror, security_mirror).
# shellcheck source=scripts/debian-mirrors.sh
source "$board_dir/../debian-mirrors.sh"

# apt-get or apt-cache on a private configuration for ARCH's packages of
# RELEASE (its suites, updates, security updates and backports, from the
# machine's mirrors), with lists, downloads and dpkg status of its own, so that
# the machine's apt and dpkg never hear of another architecture or release.
# The lists are renewed once a day.
#   apt_for ARCH RELEASE TOOL ARGS...
apt_for() {
  local arch=$1 release=$2 tool=$3 dir=$cache/apt-$1-$2
  shift 3
  local options=(-q -o Dir::State="$dir" -o Dir::State::status="$dir/status" -o Dir::Cache="$dir"
                 -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$dir/sources"
                 -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts="$dir/preferences"
                 -o APT::Architecture="$arch" -o APT::Architectures="$arch" -o APT::Sandbox::User=root)
  mkdir -p "$cache"
  exec {lock}>"$dir.lock"
  flock "$lock"
  if [ -z "$(find "$dir/lists" -maxdepth 1 -name "*_${release}_*Packages*" -mtime -1 2>/dev/null)" ]; then
    local uri security keyring=''
    uri=$(mirror) security=$(security_mirror)
    [ -n "$uri" ] || fail "no Debian source in /etc/apt to take the mirror from"
    for keyring in /usr/share/keyrings/debian-archive-keyring.{pgp,gpg} ''; do [ ! -e "$keyring" ] || break; done
    rm -rf "$dir/sources"
    mkdir -p "$dir/sources" "$dir/preferences" "$dir/lists/partial" "$dir/archives/partial"
    touch "$dir/status"
    source_entry "$uri" "$release $release-updates $release-backports" "$keyring" >"$dir/sources/debian.sources"
    [ -z "$security" ] || source_entry "$security" "$release-security" "$keyring" >"$dir/sources/security.sources"
    apt-get "${options[@]}" update >"$dir/update.log" 2>&1 ||
      { cat "$dir/update.log" >&2; fail "apt-get update for $arch $release failed"; }
  fi
  exec {lock}>&-
  "$tool" "${options[@]}" "$@"
}
source_entry() {
  printf 'Types: deb\nURIs: %s\nSuites: %s\nComponents: main\n' "$1" "$2"
  [ -z "$3" ] || printf 'Signed-By: %s\n' "$3"
}

# Downloads PACKAGE (for ARCH, from RELEASE's suite SUITE when given) into the
# current directory.
#   download ARCH RELEASE PACKAGE [SUITE]
download() {
  apt_for "$1" "$2" apt-get download "$3${4:+/$4}" >download.log 2>&1 ||
    { cat download.log >&2; fail "cannot download $3"; }
}
