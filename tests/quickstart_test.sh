#!/usr/bin/env bash
# README's quick start as printed, run as root on a fresh minimal Debian of
# RELEASE (git and nothing else: scripts/in-root.sh --bare) in a new clone of
# the committed HEAD, as a newcomer clones it: the first command must show the
# demo's output, the second (every test) must pass, the real console's test
# skipped for want of a console rather than failed.
#   tests/quickstart_test.sh [RELEASE]    (default trixie; as root)
set -euo pipefail
me=quickstart_test.sh
[ $# -le 1 ] || { echo "usage: tests/quickstart_test.sh [RELEASE]" >&2; exit 2; }
src=$(cd "$(dirname "$0")/.." && pwd)
release=${1:-trixie}
head=$(git -C "$src" rev-parse HEAD)

# The commands: the lines of the first fenced block under "## Quick start".
mapfile -t commands < <(git -C "$src" show HEAD:README.md | awk '
  /^## / { section = $0 == "## Quick start"; next }
  section && /^```/ { if (fenced) { closed = 1; exit } fenced = 1; next }
  section && fenced && NF { print }
  END { if (!closed) print "(no closed fenced block under ## Quick start)" }')
if [ ${#commands[@]} != 2 ] || [[ ${commands[*]} == "(no closed"* ]]; then
  echo "$me: README's quick start is not a fenced block of two commands:" >&2
  printf '    %s\n' "${commands[@]}" >&2
  exit 1
fi
[ -z "$(git -C "$src" status --porcelain --untracked-files=no)" ] ||
  echo "$me: uncommitted changes are not part of the test: it clones HEAD ($head)"

# Beside the tree, as a clone is, so that ../shared holds the recordings.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
clone=$(dirname "$src")/touchkeyd-quickstart
started=$SECONDS
"$src/scripts/in-root.sh" --bare "$release" -- bash -c '
  clone=$1 head=$2
  shift 2
  git clone -q --no-local "$PWD" "$clone" && cd "$clone" && git checkout -q --detach "$head" || exit 1
  for command; do
    echo "=== quick start: $command"
    started=$SECONDS
    status=0
    sh -c "$command" </dev/null 2>&1 || status=$?
    echo "=== quick start: status $status after $((SECONDS - started)) s"
  done' quickstart "$clone" "$head" "${commands[@]}" | tee "$log"

# The output of each command, and its status line.
output() { awk -v n="$1" '/^=== quick start: / && !/: status [0-9]+ after/ { i++ } i == n' "$log"; }
first=$(output 1) second=$(output 2)
status=0
fail() { echo "FAIL: $*"; status=1; }
grep -qx '=== quick start: status 0 after .*' <<<"$first" || fail "'${commands[0]}' failed"
# The shell's output line on the console screen, not the command it echoes.
grep -qx '    | hello from the touch keypad' <<<"$first" || fail "'${commands[0]}' did not show the demo's output line"
grep -qx '=== quick start: status 0 after .*' <<<"$second" || fail "'${commands[1]}' failed"
# Without a virtual console the real console's test skips, in both builds,
# and no other test does (the package's too run, in roots of their own).
grep -qE 'touchkeyd_e2e_real_console \.+\*+Skipped' <<<"$second" || fail "the real console's test did not skip"
skipped=$(grep -E '\*+Skipped' <<<"$second" | grep -v touchkeyd_e2e_real_console || true)
[ -z "$skipped" ] || fail "tests skipped beyond the real console's: $skipped"
for name in demo package_test piuparts_test; do
  grep -qE " $name \.+ +Passed" <<<"$second" || fail "$name did not pass"
done
echo "$me: $release, HEAD $head: status $status in $((SECONDS - started)) s"
exit $status
