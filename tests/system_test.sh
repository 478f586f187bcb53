#!/usr/bin/env bash
# The package under a booted systemd: a cached Debian tree boots in
# systemd-nspawn (changes go to a throw-away overlay), the .deb goes in with
# dpkg -i, and the units are started, killed, stopped and cold-started as a
# user would. The bridge reads recorded evdev events from a FIFO this script
# writes (a drop-in), and /dev/tty0 is a pty that this script holds as its
# controlling terminal, as the real /dev/tty0 is nobody's; and /dev/tty1, where
# the first start's calibration asks (the container's getty there is masked).
# usage: system_test.sh BUILD_DIR EVENTS_PROGRAM
# Status 77 (skipped, with the reason) where the machine cannot host the
# container; in CI (CI=true) that is a failure.
set -euo pipefail
build=$1
events=$2
cache=${TOUCHKEYD_TEST_CACHE:-/var/cache/touchkeyd-test/bookworm}

skip() {
  echo "system_test: cannot run here: $*"
  [ "${CI-}" = true ] && exit 1
  exit 77
}
[ "$(id -u)" = 0 ] || skip "it needs root"
for tool in systemd-nspawn debootstrap nsenter script; do
  command -v $tool >/dev/null || skip "no $tool (scripts/install-deps.sh system)"
done
cgroot=/sys/fs/cgroup/unified
[ "$(stat -fc %T /sys/fs/cgroup)" = cgroup2fs ] && cgroot=/sys/fs/cgroup
[ -e $cgroot/cgroup.procs ] || skip "no cgroup2 hierarchy for the container's systemd"

# The tree is made once and reused; a build that did not finish is redone.
mkdir -p "$(dirname "$cache")"
exec {lock}>"$cache.lock"
flock "$lock"
if [ ! -x "$cache/usr/bin/systemctl" ]; then
  rm -rf "$cache" "$cache.new"
  started=$SECONDS
  debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus bookworm "$cache.new" >"$cache.log" 2>&1 ||
    { tail -20 "$cache.log"; skip "debootstrap failed (no way to Debian's packages?)"; }
  mv "$cache.new" "$cache"
  echo "debootstrap of $cache: $((SECONDS - started)) s"
fi

work=$(mktemp -d /var/tmp/touchkeyd-system-test.XXXXXX)
cgroup=$cgroot/$(basename "$work")
holder='' nspawn=''
cleanup() {
  [ -z "$nspawn" ] || { kill "$nspawn"; timeout 20 tail --pid="$nspawn" -f /dev/null || kill -9 "$nspawn"; }
  [ -z "$holder" ] || kill "$holder"
  [ ! -d "$cgroup" ] || find "$cgroup" -depth -type d -exec rmdir {} +
  rm -rf "$work"
}
trap cleanup EXIT

# The package that make package makes.
"$(dirname "$0")/../scripts/package.sh" >"$work/package.log" 2>&1 || { cat "$work/package.log"; exit 1; }
mkdir "$work/share"
cp "$(dirname "$0")/../build-deb/touchkeyd_"*"_$(dpkg --print-architecture).deb" "$work/share/touchkeyd.deb"

# The console: what the daemon types into the pty goes to cat, and cat's
# output through script into $work/console. script reads a FIFO held here.
mkfifo "$work/keyboard"
exec {keyboard}<>"$work/keyboard"
script -qfec "tty >$work/tty; stty raw -echo; exec cat" "$work/console" <"$work/keyboard" >/dev/null 2>&1 &
holder=$!
mkfifo "$work/share/events"
exec {panel}<>"$work/share/events"

# Polls (every 0.1 s) until the command succeeds or $1 seconds have passed.
within() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
}
within 5 test -s "$work/tty" || { echo "FAIL: no pty for the console"; exit 1; }

now_us() { echo "${EPOCHREALTIME/./}"; }
since() { echo "$((($(now_us) - $1) / 1000)) ms"; }
mkdir "$cgroup"
started=$(now_us)
(
  echo $BASHPID >"$cgroup/cgroup.procs"
  SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 exec systemd-nspawn -q -D "$cache" --volatile=overlay --boot --register=no \
    --keep-unit --private-network --console=pipe --system-call-filter=bpf --capability=CAP_BPF \
    --bind="$work/share:/run/touchkey-test" --bind="$(cat "$work/tty"):/dev/tty0" \
    --bind="$(cat "$work/tty"):/dev/tty1" --bind-ro=/dev/null:/etc/systemd/system/getty@tty1.service
) >"$work/boot.log" 2>&1 &
nspawn=$!
# systemctl works once the container's systemd listens on its private socket.
container_up() {
  leader=$(cat "/proc/$nspawn/task/$nspawn/children") && leader=${leader%% *} &&
    [ -S "/proc/$leader/root/run/systemd/private" ]
}
within 60 container_up || { cat "$work/boot.log"; echo "FAIL: the container's systemd did not come up"; exit 1; }
in_container() { nsenter -t "$leader" -a "$@"; }
timeout 60 nsenter -t "$leader" -a systemctl is-system-running --wait >/dev/null || true
echo "booted in $(since "$started")"

failed=0
check() { if "${@:2}"; then echo "ok: $1"; else echo "FAIL: $1" && failed=1; fi; }
enabled() { in_container systemctl is-enabled touchkeyd; }
main_pid() { in_container systemctl show -p MainPID --value "$1"; }
states() { in_container systemctl show -p ActiveState --value touchkeyd touchkey-bridge.service touchkey-bridge.socket | xargs; }
typed() { grep -qxF "${1%$'\n'}" "$work/console"; }
tap() { "$events" "$1" >&"$panel"; }

# The bridge reads the recorded panel; cold starts come quicker than the
# start limits allow a user.
for unit in touchkeyd.service touchkey-bridge.service touchkey-bridge.socket touchkey-calibrate.service; do
  mkdir -p "/proc/$leader/root/etc/systemd/system/$unit.d"
  printf '[Unit]\nStartLimitIntervalSec=0\n' >"/proc/$leader/root/etc/systemd/system/$unit.d/test.conf"
done
printf '[Service]\nExecStart=\nExecStart=%s\n' \
  '/usr/sbin/touchkey-bridge --device /run/touchkey-test/events --x-range 250,3849 --y-range 150,3999' \
  >>"/proc/$leader/root/etc/systemd/system/touchkey-bridge.service.d/test.conf"
# The first start's calibration: the identity, so that taps type as before.
"$events" --corners >"$work/share/corners"
printf '[Service]\nExecStart=\nExecStart=%s\n' \
  '/usr/sbin/touchkey-calibrate --first-boot --device /run/touchkey-test/corners --x-range 250,3849 --y-range 150,3999' \
  >>"/proc/$leader/root/etc/systemd/system/touchkey-calibrate.service.d/test.conf"

install() { in_container dpkg -i /run/touchkey-test/touchkeyd.deb >"$work/dpkg.log"; }
check "dpkg -i installs" install
root=/proc/$leader/root
asked() { test -s "$root/etc/touchkey/calibration" -a -e "$root/var/lib/touchkey/calibration-asked" && grep -q "Touch the bottom-left corner" "$work/console"; }
check "first start: asked on tty1, calibrated, recorded that it asked" within 5 asked
bridge_calibrated() { in_container journalctl -b -u touchkey-bridge.service | grep -q 'calibration from /etc/touchkey/calibration'; }
check "first start: the bridge started after it, with the calibration" within 5 bridge_calibrated
check "touchkeyd enabled; daemon, bridge and FIFO active" test "$(enabled) $(states)" = "enabled active active active"
tap 'hi\n'
check "taps typed into the console" within 5 typed $'hi\n'

daemon=$(main_pid touchkeyd)
bridge=$(main_pid touchkey-bridge)
in_container systemctl kill -s KILL touchkey-bridge
bridge_back() { [[ ! $(main_pid touchkey-bridge) =~ ^(0|$bridge)$ ]]; }
check "a SIGKILLed bridge comes back" within 15 bridge_back
tap 'ok\n'
check "taps typed again after it" within 5 typed $'ok\n'
check "the daemon lived on meanwhile" test "$(main_pid touchkeyd)" = "$daemon"

in_container systemctl stop touchkeyd
# Nothing runs, nothing waits to restart (that shows as activating), no job.
check "stop touchkeyd: all inactive, no job" test "$(states) $(in_container systemctl list-jobs --no-legend | wc -l)" = "inactive inactive inactive 0"
check "stop touchkeyd: /dev/tsdev removed" test ! -e "/proc/$leader/root/dev/tsdev"
in_container systemctl enable --now touchkeyd 2>/dev/null
in_container systemctl disable --now touchkeyd 2>/dev/null
check "disable --now: disabled, all inactive" test "$(enabled) $(states)" = "disabled inactive inactive inactive"
in_container systemctl enable --now touchkeyd 2>/dev/null
check "enable --now: enabled, all active" test "$(enabled) $(states)" = "enabled active active active"

cold_starts=0
started=$(now_us)
for _ in $(seq 20); do
  # stop returns once the daemon is down; the bridge and the FIFO follow it
  # (PartOf) a moment later, and the FIFO must be gone before it is removed.
  in_container sh -c 'systemctl stop touchkeyd touchkey-bridge.service touchkey-bridge.socket && rm -f /dev/tsdev &&
    systemctl start touchkeyd' &&
    [ "$(states)" = "active active active" ] && cold_starts=$((cold_starts + 1))
done
check "cold starts without a failed job: $cold_starts of 20 in $(since "$started")" test $cold_starts = 20
tap 'go\n'
check "taps typed after the cold starts" within 5 typed $'go\n'

# Once asked, a start without a calibration (as on a later boot) does not ask again.
rm "$root/etc/touchkey/calibration"
in_container systemctl stop touchkeyd touchkey-calibrate
in_container systemctl start touchkeyd
check "asked once: not again without a calibration" \
  test "$(in_container systemctl show -p ConditionResult --value touchkey-calibrate) $(grep -c 'Touch the top-left' "$work/console")" = "no 1"
check "the calibration is static: enabled and disabled with touchkeyd" test "$(in_container systemctl is-enabled touchkey-calibrate)" = static

journal=$(in_container journalctl -b --no-pager -u touchkeyd.service -u touchkey-bridge.service -u touchkey-bridge.socket -u touchkey-calibrate.service)
check "no failed job, EPERM, EACCES or SIGSYS in the journal" \
  test -z "$(grep -E 'Failed to start|EPERM|EACCES|SIGSYS|status=31|not permitted|Permission denied' <<<"$journal")"
in_container dpkg -r touchkeyd >/dev/null 2>&1
check "dpkg -r: all inactive, /dev/tsdev removed" test "$(states)" = "inactive inactive inactive" -a ! -e "/proc/$leader/root/dev/tsdev"
in_container dpkg -P touchkeyd >/dev/null 2>&1
leftovers() { find "/proc/$leader/root/"{etc/systemd/system,var/lib/systemd} -name 'touchkeyd.service*' -not -name '*.d'; }
check "dpkg -P: no enablement or mask left" test -z "$(leftovers)"
# Without this the hardening checks above would prove nothing: a systemd that
# cannot attach device programs silently lets every device through.
refused() {
  local out
  ! out=$(in_container systemd-run --wait --pipe -q -p DevicePolicy=strict head -c1 /dev/zero 2>&1) &&
    [[ $out == *"'/dev/zero'"*"Operation not permitted"* ]]
}
check "DevicePolicy=strict is enforced (/dev/zero refused)" refused
if [ $failed != 0 ]; then
  echo "--- journal of the units:"
  echo "$journal"
  echo "--- console:"
  cat -A "$work/console"
fi
exit $failed
