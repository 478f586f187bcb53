#!/usr/bin/env bash
# The package on Debian's own kernel for ARCH and RELEASE under full-system
# qemu (scripts/board.sh), as on a user's board: RELEASE's kernel runs every
# check of tests/board_guest.sh, and tests/board_first_boot.sh boots it as a
# board's first boots. On bookworm, whose 6.1 kernel has no
# dev.tty.legacy_tiocsti, bookworm-backports' kernel (where it is 0) runs the
# typing checks too; trixie's own 6.12 has it at 0, checked in the main boot.
# Passes when every check expected here said ok.
#   tests/board_test.sh ARCH BUILD_DIR RELEASE
# BUILD_DIR is this machine's build (recorded_keys); the recordings of real
# panels are ../shared/touch-recordings beside the source tree
# (TOUCHKEY_RECORDINGS), and their checks are skipped when it is absent.
# BOARD_BOOTS names the boots to run, among the release's: first-boot, main
# and (bookworm) backports; all when unset.
set -euo pipefail
arch=$1 build=$(realpath "$2") release=$3
source_dir=$(realpath "$(dirname "$0")/..")
recordings=${TOUCHKEY_RECORDINGS:-$source_dir/../shared/touch-recordings}
case $release in
  bookworm) release_boots='first-boot main backports' main_checks=() ;;
  trixie) release_boots='first-boot main' main_checks=(legacy_tiocsti) ;;
  *) echo "board_test: no board for the release '$release' (bookworm, trixie)" >&2; exit 2 ;;
esac
for boot in ${BOARD_BOOTS-}; do
  [[ " $release_boots " == *" $boot "* ]] || { echo "board_test: no $boot boot on $release ($release_boots)" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The package under test, as `make package` builds it for ARCH in a root of
# RELEASE, into build-deb/RELEASE/ (natively with its unit tests, and checked
# by that release's lintian), and the previous version's: the same files under
# the changelog's previous version, to upgrade from.
deb() {
  make -s -C "$source_dir" package RELEASE="$release" ARCH="${arch/#$(dpkg --print-architecture)/}" \
    >"$work/package.log" 2>&1 || { cat "$work/package.log" >&2; return 1; }
  ls -t "$source_dir/build-deb/$release"/touchkeyd_*_"$arch".deb | head -1
}

package=$(deb)
cp "$package" "$work/touchkeyd.deb"
"$source_dir/tests/previous_deb.sh" "$work/touchkeyd.deb" "$work/touchkeyd-previous.deb"
files=("$work/touchkeyd.deb" "$work/touchkeyd-previous.deb" "$source_dir/tests/board_support.sh"
       "$source_dir/tests/board_panel.desc")
typing=(install units upgrade hotplug replug refusal) recorded=()
if [ -d "$recordings" ]; then
  "$build/tests/recorded_keys" "$recordings" >"$work/expected"
  ln -s "$recordings" "$work/recordings"
  files+=("$work/expected" "$work/recordings")
  recorded=(panel typing)
  while read -r events _; do recorded+=("typed: $events"); done <"$work/expected"
else
  echo "board_test: no recordings of real panels in $recordings: their checks are skipped"
fi

# Whether $1 is among the boots to run.
boots() { [[ " ${BOARD_BOOTS:-$release_boots} " == *" $1 "* ]]; }

# Boots with the options given; fails unless each check in `expected` said ok.
failed=0
run() {
  local log=$work/console status=0
  "$source_dir/scripts/board.sh" --arch "$arch" --release "$release" "$@" "${guest[@]}" |
    tee "$log" || status=$?
  for check in "${expected[@]}"; do
    awk -v ok="ok: $check:" 'index($0, ok) == 1 { found = 1 } END { exit !found }' "$log" ||
      { echo "board_test: no ok from the check '$check'"; status=1; }
  done
  [ $status = 0 ] || failed=1
}

# First boots with the package in the image, as a board's maker installs it
# (tests/board_first_boot.sh): a panel mounted turned by a quarter there from
# boot, tapped at the corners tty1 asks for; one that nobody taps, then the
# next boot with what it recorded; the same with a calibration file gone bad;
# none.
first_boot() { run --install "$work/touchkeyd.deb" --login --early --append "board.boot=$1" "${@:2}"; }
guest=("$source_dir/tests/board_first_boot.sh" "$source_dir/tests/board_support.sh") panel=$source_dir/tests/board_panel.desc
if boots first-boot; then
  expected=(prompts typed turned units)
  first_boot turned --panel "$panel"
  expected=(untapped recorded units)
  first_boot untapped --panel "$panel"
  sed -n 's/^asked: //p' "$work/console" >"$work/asked"
  expected=(asked units)
  first_boot asked --panel "$panel" --file "$work/asked:/var/lib/touchkey/calibration-asked"
  expected=(corrupt units)
  echo 'not a calibration' >"$work/corrupt"
  first_boot corrupt --panel "$panel" --file "$work/asked:/var/lib/touchkey/calibration-asked" \
    --file "$work/corrupt:/etc/touchkey/calibration"
  expected=(panel-less units)
  first_boot panel-less
fi

guest=("$source_dir/tests/board_guest.sh" "${files[@]}")
if boots main; then
  expected=("${typing[@]}" "${recorded[@]}" console pid calibrate calibrated corrupt switch kill stop disable enable cold journal
            remove purge policy "${main_checks[@]}")
  run
fi
if boots backports; then
  expected=("${typing[@]}" legacy_tiocsti)
  run --backports --append board.checks=typing
fi
exit $failed
