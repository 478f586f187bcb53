#!/bin/bash
# A machine's first boots with the package installed in its image, run by
# scripts/board.sh --install --login --early for tests/board_test.sh: the
# kernel argument board.boot= says which. "turned": a panel mounted turned by
# a quarter is there from boot; the corners are tapped as tty1 asks for them
# (read back from /dev/vcs1), and the login prompt then shows the keys tapped.
# "untapped": nobody taps. "asked": the next boot, with what "untapped" left in
# /var/lib/touchkey; "corrupt": the same with a calibration file gone bad.
# "panel-less": no panel. One line per check, "ok: ID: ..." or "FAIL: ID:
# ...", and tty1's screens as "tty1: ..." lines.
set -uo pipefail
# shellcheck source=tests/board_support.sh
source /board/board_support.sh
boot=$(sed -n 's/.*board\.boot=\([a-z-]*\).*/\1/p' /proc/cmdline)
asked=/var/lib/touchkey/calibration-asked

show_screen() { screen | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}' | sed 's/^/tty1: /'; }
last_line_is() { [ "$(screen | grep . | tail -1)" = "$1" ]; }
login_shown() { screen | grep -q 'login: *$'; }
typed_at_login() { screen | grep -qF "login: $keys"; }

# Seconds between two of systemd's monotonic timestamps (microseconds since
# boot): UNIT PROPERTY, then the later UNIT PROPERTY.
at() { systemctl show -p "$2" --value "$1"; }
seconds() { awk -v from="$(at "$1" "$2")" -v to="$(at "$3" "$4")" 'BEGIN { printf "%.1f", (to - from) / 1e6 }'; }
getty_active() { [ "$(at getty@tty1.service ActiveState)" = active ]; }
calibrate=touchkey-calibrate.service
# How long the calibration ran, and how long after it began the login prompt came.
timings() {
  took=$(seconds $calibrate ExecMainStartTimestampMonotonic $calibrate ActiveEnterTimestampMonotonic)
  delay=$(seconds $calibrate ExecMainStartTimestampMonotonic getty@tty1.service ActiveEnterTimestampMonotonic)
}
# The login prompt: getty@tty1 started, its prompt on the screen; when, since boot.
wait_login() { within 120 getty_active && within 30 login_shown; }
since_boot() { echo "$(($(at getty@tty1.service ActiveEnterTimestampMonotonic) / 1000000)) s after boot"; }
# getty@tty1 and the bridge started once the calibration was over.
after_calibrate() {
  local over
  over=$(at "$calibrate" ActiveEnterTimestampMonotonic)
  [ "$over" -gt 0 ] && [ "$(at getty@tty1.service ActiveEnterTimestampMonotonic)" -ge "$over" ] &&
    [ "$(at touchkey-bridge.service ExecMainStartTimestampMonotonic)" -ge "$over" ]
}

# The panel there from boot, if any.
node=$(grep -so '/dev/input/event[0-9]*' /run/board-panel)

# The panel (x 250..3849, y 150..3999) is turned by a quarter: the screen's
# (s, t), s to the right and t downwards, lies on the panel's (t, 1 - s).
turned() {
  local corner point
  for corner in top-left:250,3999 top-right:250,150 bottom-right:3849,150 bottom-left:3849,3999; do
    within 60 last_line_is "Touch the ${corner%:*} corner of the screen, then lift." || break
    [ "${corner%:*}" != bottom-left ] || show_screen
    taps "${corner#*:}"
  done
  check "prompts: the four corners asked for on tty1 and tapped, the picture shown" \
    within 60 last_line_is "Tap the screen to go on."
  show_screen
  # One tap per key the picture shows, on a cell whose neighbours show the same
  # key; not Enter or backspace, which the login prompt would act on.
  # The picture's rows end a line before "Written to ...".
  mapfile -t cells < <(screen | awk '/^Written to/ { last = n - 2 } { line[n++] = $0 }
    END { first = last; while (first > 0 && length(line[first - 1]) == length(line[last])) first--
      for (r = first; r <= last; r++) print line[r] }' |
    key_cells | awk '$3 !~ /[<>]/ { printf "%d,%d %s\n", 250 + $2 * 3599, 150 + (1 - $1) * 3849, $3 }')
  local points=()
  keys=''
  for point in "${cells[@]}"; do points+=("${point% *}") keys+=${point#* }; done
  keys=${keys//\~/ }
  taps 2050,2075 # on to the login prompt
  wait_login && within 30 eval 'journalctl -b -o cat | grep -qF "touchkey-bridge: serving /dev/tsdev from $node ("'
  taps "${points[@]}"
  check "typed: in the same boot, the keys the picture shows typed at the login prompt: $keys" \
    eval '[ ${#keys} = 40 ] && within 20 typed_at_login'
  show_screen
  check "turned: calibration written, asked file '$(cat $asked)', getty and bridge after it" \
    eval '[ -s /etc/touchkey/calibration ] && [ "$(cat $asked)" = "asked at first boot; calibrated" ] && after_calibrate'
}

# Nobody taps: the calibration gives up after 30 s without a tap, and says
# so on tty1 before the login prompt takes the screen.
untapped() {
  within 90 eval 'screen | grep -q "^No tap for 30 s"' && show_screen
  wait_login && timings
  check "untapped: the login prompt came $delay s after the calibration began ($took s; $(since_boot))" \
    eval '[ ${delay%.*} -ge 25 ] && [ ${delay%.*} -lt 60 ] && after_calibrate && login_shown'
  check "recorded: '$(cat $asked)', no calibration" \
    eval '[ "$(cat $asked)" = "asked at first boot; no tap for 30 s" ] && [ ! -e /etc/touchkey/calibration ]'
  echo "asked: $(cat $asked)"
}

# The next boot: the calibration finds the record of asking and ends at once,
# the panel there.
skipped() {
  wait_login && timings
  check "asked: not asked again ('$(cat $asked)' kept): over in $took s, login prompt $delay s after it began ($(since_boot))" \
    eval '[ "$(cat $asked)" = "asked at first boot; no tap for 30 s" ] && [ -n "$node" ] && [ ${took%.*} -lt 10 ] &&
          [ ${delay%.*} -lt 15 ] && ! screen | grep -q "corner of the screen" && login_shown'
}

# A calibration file gone bad after a boot that asked: this boot asks again.
corrupt() {
  check "corrupt: a calibration file gone bad is asked for again, the corners on tty1" \
    eval 'within 60 eval "screen | grep -q \"Touch the top-left corner of the screen\"" &&
          journalctl -b -o cat -u $calibrate | grep -q "asking for the corners again"'
  show_screen
}

# No panel: the calibration waits 5 s for one, by its own clock, and lets the
# boot go on. The rest of the unit's time is an emulated, busy machine
# starting a sandboxed program (up to 18 s seen): the bound only tells a wait
# for a panel from one for taps (30 s) or for ever.
panel_less() {
  wait_login && timings
  check "panel-less: calibration over in $took s, login prompt $delay s after it began ($(since_boot)), nothing recorded" \
    eval '[ ${took%.*} -lt 30 ] && [ ${delay%.*} -lt 32 ] && [ -z "$node" ] && after_calibrate && login_shown &&
          [ ! -e $asked ] && [ ! -e /etc/touchkey/calibration ] &&
          journalctl -b -o cat -u $calibrate | grep -q "within 5 s; the keypad goes on uncalibrated"'
}

case $boot in
  turned) turned ;;
  untapped) untapped ;;
  asked) skipped ;;
  corrupt) corrupt ;;
  panel-less) panel_less ;;
  *) check "boot: board.boot=$boot names a first boot" false ;;
esac
check "units: no unit failed or refused" test -z "$(systemctl --failed --no-legend; refused | tee /dev/stderr)"
exit $failed
