# shellcheck shell=bash
# What the board's guest scripts share (sourced from /board): their checks'
# lines, polling with a deadline, and taps on a panel.
# One line per check: "ok: ID: ..." or "FAIL: ID: ...", and $failed set.
failed=0
check() { if "${@:2}"; then echo "ok: $1"; else echo "FAIL: $1"; failed=1; fi; }
# Polls every 0.05 s until the command succeeds or $1 seconds have passed.
within() {
  local deadline=$((${EPOCHREALTIME/./} + $1 * 1000000))
  until "${@:2}"; do ((${EPOCHREALTIME/./} < deadline)) || return 1; sleep 0.05; done
}
# Taps at the points X,Y, 0.2 s apart, on the panel $node.
taps() {
  printf '%s\n' "$@" | awk -F, '{ t = NR * 0.2; u = t + 0.05
    printf "E: %f 0001 014a 1\nE: %f 0003 0000 %d\nE: %f 0003 0001 %d\nE: %f 0000 0000 0\n", t, t, $1, t, $2, t
    printf "E: %f 0001 014a 0\nE: %f 0000 0000 0\n", u, u }' | evemu-play "$node"
}
