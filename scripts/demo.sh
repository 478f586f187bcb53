#!/usr/bin/env bash
# The daemon's whole road in one command: in the sandbox, a shell runs on the
# console pty, touchkey-tap types a command on the keypad through the
# touchscreen FIFO, and touchkeyd turns the taps into keystrokes on the console.
#   scripts/demo.sh [--build-dir DIR] [--no-build]
# Exit status: 0 when the shell's output appeared on the console, 77 when the
# demo cannot run on this machine, anything else when it failed.
set -euo pipefail

typed='echo hello from the touch keypad'
expected='hello from the touch keypad'

step() { printf '==> %s\n' "$*"; }
fail() { printf 'demo: FAILED: %s\n' "$*"; exit 1; }

# Reads the console's output into $screen until it matches the glob $1, or
# fails after $2 seconds. One byte per read, so nothing past the match is lost.
screen=''
read_screen_until() {
  local pattern=$1 left c
  local deadline=$(( ${EPOCHREALTIME/./} + $2 * 1000000 ))
  while [[ $screen != $pattern ]]; do
    left=$(( deadline - ${EPOCHREALTIME/./} ))
    (( left > 0 )) || return 1
    if IFS= read -r -N 1 -t "$((left / 1000000)).$(printf '%06d' $((left % 1000000)))" -u "$master" c; then
      screen+=$c
    elif (( $? <= 128 )); then
      return 1  # the shell hung up
    fi
  done
}

show_screen() {
  step "The console screen, as read from the pty's master side:"
  local line
  while IFS= read -r line; do
    printf '    | %s\n' "${line%$'\r'}"
  done <<< "$screen"
}

# Runs in the sandbox, with the shell already on the console.
inside() {
  local build=$1
  # Through a pipe: reading the master itself byte by byte, bash's read would
  # change the console's terminal modes under the shell's feet.
  exec {master}< <(exec cat <&"$TOUCHKEY_CONSOLE_MASTER_FD")
  step "Console: interactive bash --norc --noprofile (PID $TOUCHKEY_SHELL_PID) on the pty $TOUCHKEY_CONSOLE, which is bound on /dev/tty0"
  read_screen_until '*[#$] ' 5 || { show_screen; fail "the shell showed no prompt"; }

  # Holding the FIFO open both ways: touchkeyd's open of it does not wait for a
  # writer, and its reads never see end-of-file between taps. A free descriptor
  # number, so that the console's master cannot be closed by mistake.
  local touch_fd
  exec {touch_fd}<>/dev/tsdev
  step "Touchscreen: /dev/tsdev is a FIFO; starting touchkeyd, which reports:"
  "$build/touchkeyd" > /dev/shm/report || fail "touchkeyd did not start"
  sed 's/^/    /' /dev/shm/report

  local taps=$(( $("$build/touchkey-tap" --stdout "$typed\\n" | wc -c) / 16 ))
  step "Typing '$typed' and Enter with touchkey-tap: $taps taps, pen down and pen up at each key's centre"
  "$build/touchkey-tap" "$typed\\n" || fail "touchkey-tap could not type"

  # The command's output line, then the next prompt.
  read_screen_until "*"$'\n'"$expected"$'\r\n''*[#$] ' 5 || true
  show_screen
  local line
  while IFS= read -r line; do
    if [ "${line%$'\r'}" = "$expected" ]; then
      step "Done: the shell printed '$expected' on a line of its own"
      exit 0
    fi
  done <<< "$screen"
  fail "the shell's output line '$expected' did not appear"
}

if [ "${1-}" = --inside ]; then
  inside "$2"
fi

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
do_build=1
while [ $# -gt 0 ]; do
  case $1 in
    --build-dir) build=$2; shift 2 ;;
    --no-build) do_build=0; shift ;;
    *) echo "usage: scripts/demo.sh [--build-dir DIR] [--no-build]" >&2; exit 2 ;;
  esac
done

if [ "$(id -u)" != 0 ]; then
  echo "demo: cannot run here: it needs root, to give touchkeyd a private /dev in its own mount and PID namespaces"
  exit 77
fi

if [ "$do_build" = 1 ]; then
  step "Building touchkeyd, touchkey-tap and touchkey-sandbox in $build"
  log=$(mktemp)
  trap 'rm -f "$log"' EXIT
  if ! { cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
         cmake --build "$build" -j "${JOBS:-$(nproc)}" --target touchkeyd touchkey-tap touchkey-sandbox; } > "$log" 2>&1; then
    cat "$log"
    fail "the build failed"
  fi
fi
build=$(cd "$build" && pwd)

if ! why=$("$build/touchkey-sandbox" true 2>&1); then
  echo "demo: cannot run here: no private mount and PID namespaces (${why:-the sandbox failed})"
  exit 77
fi

step "Sandbox: private /dev with a FIFO as /dev/tsdev and a pty as /dev/tty0, in new mount and PID namespaces"
"$build/touchkey-sandbox" --shell -- bash "$0" --inside "$build"
