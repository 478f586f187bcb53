#!/usr/bin/env bash
# The package on Debian's own kernel for ARCH under full-system qemu
# (scripts/board.sh), as on a user's board: bookworm's kernel runs every check
# of tests/board_guest.sh, bookworm-backports' (where dev.tty.legacy_tiocsti
# is 0) its typing checks. Passes when every check expected here said ok.
#   tests/board_test.sh ARCH BUILD_DIR
# BUILD_DIR is this machine's build (recorded_keys); the recordings of real
# panels are ../shared/touch-recordings beside the source tree
# (TOUCHKEY_RECORDINGS), and their checks are skipped when it is absent.
set -euo pipefail
arch=$1 build=$(realpath "$2")
source_dir=$(realpath "$(dirname "$0")/..")
recordings=${TOUCHKEY_RECORDINGS:-$source_dir/../shared/touch-recordings}

# The package under test, as `make package` builds it for ARCH: the one place
# that knows where the .deb lands.
deb() {
  local dir=$build
  if [ "$arch" = "$(dpkg --print-architecture)" ]; then
    make -s -C "$source_dir" package ARCH= BUILD="$build" >&2
  else
    make -s -C "$source_dir" package ARCH="$arch" >&2
    dir=$source_dir/build-$arch
  fi
  ls -t "$dir"/touchkeyd_*_"$arch".deb | head -1
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$(deb)" "$work/touchkeyd.deb"
files=("$work/touchkeyd.deb")
typing=(install units hotplug replug refusal) recorded=()
if [ -d "$recordings" ]; then
  "$build/tests/recorded_keys" "$recordings" >"$work/expected"
  ln -s "$recordings" "$work/recordings"
  files+=("$work/expected" "$work/recordings")
  recorded=(panel typing)
  while read -r events _; do recorded+=("typed: $events"); done <"$work/expected"
else
  echo "board_test: no recordings of real panels in $recordings: their checks are skipped"
fi

# Boots with the options given; fails unless each check in `expected` said ok.
failed=0
run() {
  local log=$work/console status=0
  "$source_dir/scripts/board.sh" --arch "$arch" "$@" "$source_dir/tests/board_guest.sh" "${files[@]}" |
    tee "$log" || status=$?
  for check in "${expected[@]}"; do
    awk -v ok="ok: $check:" 'index($0, ok) == 1 { found = 1 } END { exit !found }' "$log" ||
      { echo "board_test: no ok from the check '$check'"; status=1; }
  done
  [ $status = 0 ] || failed=1
}
expected=("${typing[@]}" "${recorded[@]}" console pid calibrate calibrated switch kill stop disable enable cold journal remove purge policy)
run
expected=("${typing[@]}" legacy_tiocsti)
run --backports --append board.checks=typing
exit $failed
