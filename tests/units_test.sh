#!/usr/bin/env bash
# Checks the installed systemd units: installs into a scratch prefix, so that
# the units name programs that exist, then wants systemd-analyze to load them
# without a single complaint (it only warns about unknown keys and bad values)
# and their exposure to stay low.
# usage: units_test.sh BUILD_DIR
set -euo pipefail
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cmake --install "$build" --prefix "$stage/usr" >/dev/null
units=$stage/usr/lib/systemd/system
status=0
for unit in touchkey-bridge touchkey-calibrate touchkeyd; do
  file=$units/$unit.service
  if ! grep -qE "^ExecStart=$stage/usr/sbin/$unit( |\$)" "$file"; then
    echo "FAIL $unit.service: ExecStart does not name the installed program"
    status=1
  fi
  # MANPATH lets verify find the pages named by Documentation=.
  if ! out=$(cd "$stage" && MANPATH=$stage/usr/share/man systemd-analyze verify "$file" 2>&1) || [ -n "$out" ]; then
    echo "FAIL $unit.service: systemd-analyze verify:"
    echo "$out"
    status=1
  fi
  # Exposure on systemd's scale of 0 to 10 (threshold in tenths): 2.0 at most.
  if ! out=$(systemd-analyze security --offline=true --threshold=20 "$file" 2>&1); then
    echo "FAIL $unit.service: exposure above 2.0:"
    echo "$out" | grep -v '^✓'
    status=1
  fi
  echo "$unit.service: $(echo "$out" | grep 'Overall exposure level')"
done
# The socket unit: loads cleanly too (it has no process to expose).
out=$(cd "$stage" && MANPATH=$stage/usr/share/man systemd-analyze verify "$units/touchkey-bridge.socket" 2>&1) &&
  [ -z "$out" ] || { echo "FAIL touchkey-bridge.socket: systemd-analyze verify:"; echo "$out"; status=1; }

# systemd 257 ignores a ListenFIFO= below /dev, /proc or /sys and then refuses
# the whole socket unit, which an older systemd-analyze does not tell. So the
# FIFO lives elsewhere, and /dev/tsdev, the daemon's fixed path, is the
# socket's link to it, removed with it.
socket=$units/touchkey-bridge.socket
fifo=$(sed -n 's/^ListenFIFO=//p' "$socket")
case $fifo in
  /* ) case $fifo in /dev/* | /proc/* | /sys/*) fifo_fault="below an API file system" ;; *) fifo_fault= ;; esac ;;
  *) fifo_fault="not one absolute path" ;;
esac
[ -z "$fifo_fault" ] || { echo "FAIL touchkey-bridge.socket: ListenFIFO=$fifo is $fifo_fault"; status=1; }
for line in Symlinks=/dev/tsdev RemoveOnStop=yes SocketMode=0600; do
  grep -qx "$line" "$socket" || { echo "FAIL touchkey-bridge.socket: no $line"; status=1; }
done

# Staged installation (DESTDIR): the files land under it, the units name the
# programs where they will be run from.
DESTDIR=$stage/destdir cmake --install "$build" --prefix /usr >/dev/null
grep -qx "ExecStart=/usr/sbin/touchkeyd" "$stage/destdir/usr/lib/systemd/system/touchkeyd.service" &&
  [ -x "$stage/destdir/usr/sbin/touchkey-bridge" ] || { echo "FAIL: DESTDIR installation"; status=1; }
exit $status
