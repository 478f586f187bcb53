#!/bin/bash
# The board's checks, run by scripts/board.sh on Debian's own kernel for
# tests/board_test.sh: the package installed with dpkg -i and used as on a
# user's board, its units as installed, with kernel input devices that
# evemu-device makes from recordings of real panels (recordings/, with the keys
# each types by the recorded-stream road in expected) and from a panel of its
# own. One line per check, "ok: ID: ..." or "FAIL: ID: ..."; with the kernel
# argument board.checks=typing, the typing checks alone.
set -uo pipefail
source /board/board_support.sh
main_pid() { systemctl show -p MainPID --value "$1"; }
states() { systemctl show -p ActiveState --value touchkeyd touchkey-bridge.service touchkey-bridge.socket | xargs; }
typing_only() { grep -qw board.checks=typing /proc/cmdline; }

# What lands on virtual console N, kept in /run/typedN by a raw reader.
read_console() { { stty raw -echo && exec cat; } </dev/tty"$1" >>/run/typed"$1" & reader=$!; }
size() { stat -c %s /run/typed"$1"; }
hex() { od -An -v -tx1 | tr -d ' \n'; }
typed_from() { tail -c +$(($2 + 1)) /run/typed"$1" | hex; }
typed_on() { [ "$(typed_from "$1" "$2")" = "$(printf %s "$3" | hex)" ]; }
shown() { local text; text=$(printf '%b_' "$(sed 's/../\\x&/g' <<<"$1")"); printf '%q' "${text%_}"; }

# Panels: evemu-device makes one from a description, and the bridge's journal
# since the mark tells when it serves it. The board's own panel is a
# single-touch panel with the keypad's ranges: its points are keypad points.
mark() { cursor=$(journalctl -q -n0 --show-cursor | sed -n 's/^-- cursor: //p'); }
# (Not journalctl -u: it finds nothing after a cursor of another unit's line.
# grep reads to the end: with pipefail, a writer cut off early fails.)
serving="touchkey-bridge: serving /dev/tsdev from"
served() { journalctl -q --after-cursor="$cursor" -o cat | grep -F "$serving $node (" >/dev/null; }
# Waits at most $1 s for that line, following the journal: no polling.
served_within() { grep -m1 -qF "$serving $node (" < <(timeout "$1" journalctl -q -f --after-cursor="$cursor" -o cat); }
plug() {
  mark
  evemu-device "$1" >/run/plugged &
  device=$! node=''
  within 10 grep -q /dev/input/event /run/plugged && node=$(grep -o '/dev/input/event[0-9]*' /run/plugged) &&
    served_within 10
}
unplug() { kill "$device" && wait "$device"; }
# (An emulated machine that CI keeps busy may take seconds to start them.)
restart() { mark && systemctl restart "$1" && served_within 30; }
# Taps on the middle of the keys that type the text, as the keypad's picture shows them.
tap_text() {
  local rows=(mlkjihgfedcba zyxwvutsrqpon $'\n \b' '|_\-/.6543210') points=() i r before
  for ((i = 0; i < ${#1}; i++)); do
    for r in 0 1 2 3; do
      [[ ${rows[r]} == *"${1:i:1}"* ]] || continue
      before=${rows[r]%%"${1:i:1}"*}
      points+=("$((250 + (2 * ${#before} + 1) * 3600 / (2 * ${#rows[r]}))),$((150 + (2 * r + 1) * 3850 / 8))")
    done
  done
  taps "${points[@]}"
}

read_console 1
# The previous version first: the upgrade keeps an administrator's disable.
# On a machine already up, as a user installs it: the first boot's calibration
# is for boots alone, and neither holds dpkg nor asks on tty1.
systemctl is-system-running --wait >/dev/null
started=$SECONDS
check "install: dpkg -i installs the package" eval 'dpkg -i /board/touchkeyd-previous.deb >/run/dpkg.log 2>&1'
took=$((SECONDS - started))
# (Not bounded in time: an emulated machine that CI keeps busy takes a minute;
# that the calibration never started is what shows dpkg was not held by it.)
check "install: on a running machine in $took s, the first boot's calibration not run" \
  eval '[ "$(systemctl show -p ExecMainStartTimestampMonotonic --value touchkey-calibrate)" = 0 ] &&
        [ ! -e /var/lib/touchkey/calibration-asked ]'
units_up() { [ "$(systemctl is-enabled touchkeyd) $(states)" = "enabled active active active" ]; }
check "units: touchkeyd enabled; daemon, bridge and FIFO active; none refused" \
  eval 'within 10 units_up; up=$?; [ -z "$(refused | tee /dev/stderr)" ] && [ $up = 0 ]'
systemctl disable --now touchkeyd 2>/dev/null
check "upgrade: dpkg -i of $(dpkg-deb -f /board/touchkeyd.deb Version) over $(dpkg-query -Wf '${Version}' touchkeyd) keeps it disabled and stopped" \
  eval 'dpkg -i /board/touchkeyd.deb >/run/dpkg.log 2>&1 &&
        [ "$(systemctl is-enabled touchkeyd) $(states)" = "disabled inactive inactive inactive" ]'
systemctl enable --now touchkeyd 2>/dev/null
within 10 eval '[ "$(states)" = "active active active" ]'
daemon=$(main_pid touchkeyd) bridge=$(main_pid touchkey-bridge)
plug /board/board_panel.desc
check "hotplug: the bridge that waited (PID $bridge) serves the panel plugged in" \
  eval 'served && [ "$(main_pid touchkey-bridge)" = "$bridge" ]'
offset=$(size 1)
tap_text hi
check "hotplug: its taps are typed" within 5 typed_on 1 "$offset" hi

# Each real panel as a kernel device, its recordings replayed: after each,
# touchkey-tap types a key that neither it nor the next types, which ends its
# bytes and makes the next one's first key a new one for the repeat rule.
if [ -d /board/recordings ] && ! typing_only; then
  mapfile -t table </board/expected
  panel='' typing=0 started=$SECONDS
  for ((i = 0; i < ${#table[@]}; i++)); do
    read -r events description keys _ <<<"${table[i]} -"
    [ "$keys" != - ] || keys=''
    if [ "${description%%.*}" != "$panel" ]; then
      unplug
      plugged=${EPOCHREALTIME/./} panel=${description%%.*}
      plug "/board/recordings/$description"
      check "panel: $panel served $(((${EPOCHREALTIME/./} - plugged) / 1000)) ms after it was plugged in" served
    fi
    # Each was recorded on a new device, whose current slot was 0.
    offset=$(size 1)
    awk '/^E:/ && !n++ { print "E:", $2, "0003 002f 0" } { print }' "/board/recordings/$events" | evemu-play "$node"
    within 10 test "$(size 1)" -ge $((offset + ${#keys} / 2))
    read -r _ _ next _ <<<"${table[i + 1]-} - - -"
    for separator in a b c; do [[ $keys$next == *$(printf %s $separator | hex)* ]] || break; done
    touchkey-tap "$separator"
    within 5 eval '[ "$(tail -c1 /run/typed1)" = $separator ] && [ "$(size 1)" -gt $((offset + ${#keys} / 2)) ]'
    got=$(typed_from 1 "$offset")
    got=${got%??}
    [ -z "$got" ] || typing=$((typing + 1))
    check "typed: $events: $(shown "$got")" test "$got" = "$keys"
  done
  check "typing: $typing of ${#table[@]} recordings typed something (all replayed in $((SECONDS - started)) s)" \
    test $((2 * typing)) -gt ${#table[@]}
elif [ ! -d /board/recordings ]; then
  echo "skip: no recordings of real panels (../shared/touch-recordings)"
fi
# Unplugged, the same bridge waits; plugged in again, it serves the panel
# (well before the 5 s in which systemd would have restarted it) and types.
bridge=$(main_pid touchkey-bridge)
unplug
plugged=${EPOCHREALTIME/./}
plug /board/board_panel.desc
resumed=$(((${EPOCHREALTIME/./} - plugged) / 1000))
offset=$(size 1)
tap_text re
check "replug: the panel plugged in again served after $resumed ms by the same bridge, its taps typed" \
  eval 'within 5 typed_on 1 "$offset" re && [ $resumed -le 5000 ] && [ "$(main_pid touchkey-bridge)" = $bridge ]'

# touchkeyd without CAP_SYS_ADMIN, on a FIFO of its own in a mount namespace
# of its own (bound over the socket's FIFO, where the link /dev/tsdev leads):
# the kernel refuses its TIOCSTI into tty1.
offset=$(size 1)
unshare -m sh -c 'mount -t tmpfs tmpfs /mnt && mkfifo -m 600 /mnt/tsdev && mount --bind /mnt/tsdev /run/touchkey-tsdev &&
  exec 3<>/dev/tsdev && setpriv --bounding-set -sys_admin touchkeyd >/run/nocap.out 2>/run/nocap.err && touchkey-tap q'
within 5 grep -q 'Sending keystroke' /run/nocap.err
kill "$(grep -o '[0-9]*$' /run/nocap.out)"
refusal="Operation not permitted"
if [ -e /proc/sys/dev/tty/legacy_tiocsti ]; then
  check "legacy_tiocsti: dev.tty.legacy_tiocsti is 0 on $(uname -r)" test "$(cat /proc/sys/dev/tty/legacy_tiocsti)" = 0
  refusal="Input/output error"
fi
check "refusal: without CAP_SYS_ADMIN: $(cat /run/nocap.err)" \
  eval 'grep -qx "Sending keystroke: $refusal" /run/nocap.err && [ "$(size 1)" = "$offset" ]'
typing_only && exit $failed

# A shell on tty1, and its screen after a command typed on the panel.
kill "$reader"
stty -F /dev/tty1 sane
setsid -c bash --norc --noprofile -i </dev/tty1 >/dev/tty1 2>&1 &
shell=$!
within 10 eval '[ -n "$(screen)" ]' # its prompt
tap_text $'echo typed on the board\n'
check "console: the shell ran the command typed on the panel" within 10 eval 'screen | grep -x "typed on the board" >/dev/null'
screen | grep . | sed 's/^/tty1: /'
kill -KILL "$shell"
read_console 1
check "pid: the daemon's PID never changed, no unit failed" \
  test "$(main_pid touchkeyd) $(systemctl --failed --no-legend | wc -l)" = "$daemon 0"

# touchkey-calibrate, while the bridge runs, on a panel mounted turned by a
# quarter and mirrored: the screen's (s, t) lies on the panel's (1 - t, 1 - s).
# The running bridge takes the new calibration at once, by itself.
offset=$(size 1)
bridge=$(main_pid touchkey-bridge)
mark
touchkey-calibrate >/run/calibrate.out 2>&1 &
within 10 grep -q 'top-left corner' /run/calibrate.out
taps 3849,3999 3849,150 250,150 250,3999
within 20 eval '! kill -0 $! 2>/dev/null'
check "calibrate: the calibration is written, nothing was typed meanwhile" \
  eval 'wait $! && [ -s /etc/touchkey/calibration ] && [ "$(size 1)" = "$offset" ]'
# One tap per key the picture shows, on the panel turned and mirrored.
mapfile -t cells < <(awk '/^The keypad on the screen/ { on = 1; next } on && $0 == "" { exit } on' /run/calibrate.out |
  key_cells | awk '{ printf "%d,%d %s\n", 250 + (1 - $2) * 3599, 150 + (1 - $1) * 3849, $3 }')
points=() shown_keys=''
for cell in "${cells[@]}"; do points+=("${cell% *}") shown_keys+=${cell#* }; done
keys=${shown_keys//</$'\b'} keys=${keys//\~/ } keys=${keys//>/$'\n'}
# When the bridge said so, after the file was written (its time stamp).
changed="touchkey-bridge: calibration changed:"
changed_after() {
  journalctl -q --after-cursor="$cursor" -o short-unix | grep -F "$changed" | tail -1 |
    awk -v written="$(stat -c %.3Y /etc/touchkey/calibration)" '{ printf "%d", ($1 - written) * 1000 }'
}
within 10 eval 'journalctl -q --after-cursor="$cursor" -o cat | grep -qF "$changed"'
reloaded=$(changed_after)
offset=$(size 1)
taps "${points[@]}"
within 10 test "$(size 1)" -ge $((offset + ${#keys}))
check "calibrated: ${#keys} taps typed the keys the picture shows there, by the same bridge, which took the calibration $reloaded ms after it was written: $shown_keys" \
  eval '[ ${#keys} = 42 ] && typed_on 1 "$offset" "$keys" && [ "$(main_pid touchkey-bridge)" = $bridge ]'
# A calibration file gone bad (a power cut, a slip of an editor) leaves the
# keypad typing, uncalibrated; the next boot asks again (the first boots).
mark
echo 'not a calibration' >/etc/touchkey/calibration
within 10 eval 'journalctl -q --after-cursor="$cursor" -o cat | grep -F "$changed" | grep -qF "typing uncalibrated"'
offset=$(size 1)
tap_text ok
check "corrupt: with a calibration file gone bad the keypad types uncalibrated, by the same bridge" \
  eval 'within 5 typed_on 1 "$offset" ok && [ "$(main_pid touchkey-bridge)" = $bridge ]'
mark
rm /etc/touchkey/calibration
within 10 eval 'journalctl -q --after-cursor="$cursor" -o cat | grep -qF "$changed"'

# Keys go to the console in front: after chvt 2 to tty2, after chvt 1 back to
# tty1, the daemon running on all the while.
read_console 2
daemon=$(main_pid touchkeyd)
chvt 2
offset=$(size 1)
tap_text k
check "switch: after chvt 2 keys go to tty2" eval 'within 5 typed_on 2 0 k && [ "$(size 1)" = $offset ]'
chvt 1
tap_text j
check "switch: after chvt 1 they go to tty1 again, the daemon (PID $daemon) the same" \
  eval 'within 5 typed_on 1 $offset j && [ "$(size 2)" = 1 ] && [ "$(main_pid touchkeyd)" = $daemon ]'

# The units as a user handles them.
daemon=$(main_pid touchkeyd)
mark
systemctl kill -s KILL touchkey-bridge
check "kill: a SIGKILLed bridge comes back and serves the panel" served_within 15
offset=$(size 1)
tap_text ok
check "kill: taps typed again, the daemon lived on" eval 'within 5 typed_on 1 $offset ok && [ "$(main_pid touchkeyd)" = $daemon ]'
systemctl stop touchkeyd
# Nothing runs, nothing waits to restart (that shows as activating), no job,
# neither the socket's FIFO nor its link /dev/tsdev (-e alone passes a dangling link).
tsdev_left() { [ -e /run/touchkey-tsdev ] || [ -L /dev/tsdev ] || [ -e /dev/tsdev ]; }
stopped="$(states), $(systemctl list-jobs --no-legend 'touchkey*' | wc -l) jobs$(! tsdev_left || echo ', /dev/tsdev left')"
check "stop: all inactive, no job, /dev/tsdev and its FIFO removed: $stopped" test "$stopped" = "inactive inactive inactive, 0 jobs"
systemctl enable --now touchkeyd 2>/dev/null
systemctl disable --now touchkeyd 2>/dev/null
check "disable: disable --now leaves it disabled, all inactive" \
  test "$(systemctl is-enabled touchkeyd) $(states)" = "disabled inactive inactive inactive"
systemctl enable --now touchkeyd 2>/dev/null
check "enable: enable --now leaves it enabled, all active" \
  test "$(systemctl is-enabled touchkeyd) $(states)" = "enabled active active active"
# Cold starts come quicker than the start limits allow a user.
for unit in touchkeyd.service touchkey-bridge.service touchkey-bridge.socket; do
  mkdir -p /run/systemd/system/$unit.d
  printf '[Unit]\nStartLimitIntervalSec=0\n' >/run/systemd/system/$unit.d/board.conf
done
systemctl daemon-reload
cold_starts=0 started=$SECONDS
for _ in $(seq 20); do
  systemctl stop touchkeyd && rm -f /dev/tsdev /run/touchkey-tsdev && systemctl start touchkeyd &&
    [ "$(states)" = "active active active" ] && cold_starts=$((cold_starts + 1))
done
check "cold: $cold_starts of 20 cold starts without a failed job, in $((SECONDS - started)) s" test $cold_starts = 20
restart touchkeyd
restarted=$?
offset=$(size 1)
tap_text go
check "cold: taps typed after them (the bridge serving again: $([ $restarted = 0 ] && echo yes || echo no))" \
  eval '[ $restarted = 0 ] && within 10 typed_on 1 "$offset" go'
journal=$(journalctl -b --no-pager -u touchkeyd.service -u touchkey-bridge.service -u touchkey-bridge.socket)
check "journal: no failed start, EPERM, EACCES or SIGSYS, no unit refused" \
  test -z "$(grep -E 'Failed to start|EPERM|EACCES|SIGSYS|status=31|not permitted|Permission denied' <<<"$journal"; refused)"
dpkg -r touchkeyd >/run/dpkg.log 2>&1
check "remove: dpkg -r stops all, removes /dev/tsdev and its FIFO" eval '[ "$(states)" = "inactive inactive inactive" ] && ! tsdev_left'
dpkg -P touchkeyd >/run/dpkg.log 2>&1
check "purge: dpkg -P leaves no enablement or mask" \
  test -z "$(find /etc/systemd/system /var/lib/systemd -name 'touchkeyd.service*' -not -name '*.d')"
# Without this the hardening proves nothing: a systemd that cannot attach
# device programs lets every device through.
check "policy: DevicePolicy=strict is enforced (/dev/zero refused)" eval \
  '! out=$(systemd-run --wait --pipe -q -p DevicePolicy=strict head -c1 /dev/zero 2>&1) &&
   [[ $out == *"/dev/zero"*"Operation not permitted"* ]]'
[ $failed = 0 ] || { echo "--- the units' journal, its end:"; tail -40 <<<"$journal"; }
exit $failed
