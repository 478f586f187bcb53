# shellcheck shell=bash
# What the board's guest scripts share (sourced from /board): their checks'
# lines, polling with a deadline, and taps on a panel.
# One line per check: "ok: ID: ..." or "FAIL: ID: ...", and $failed set.
failed=0
check() { if "${@:2}"; then echo "ok: $1"; else echo "FAIL: $1"; failed=1; fi; }
# Polls every 0.25 s until the command succeeds or $1 seconds have passed:
# each poll costs the emulated machine a few processes, which are slow there.
within() {
  local deadline=$((${EPOCHREALTIME/./} + $1 * 1000000))
  until "${@:2}"; do ((${EPOCHREALTIME/./} < deadline)) || return 1; sleep 0.25; done
}
# Taps at the points X,Y, 0.2 s apart, on the panel $node.
taps() {
  printf '%s\n' "$@" | awk -F, '{ t = NR * 0.2; u = t + 0.05
    printf "E: %f 0001 014a 1\nE: %f 0003 0000 %d\nE: %f 0003 0001 %d\nE: %f 0000 0000 0\n", t, t, $1, t, $2, t
    printf "E: %f 0001 014a 0\nE: %f 0000 0000 0\n", u, u }' | evemu-play "$node"
}
# The keys of a keypad picture (its rows on standard input), one cell each
# whose four neighbours show the same key: "S T KEY", the cell's middle in
# fractions of the picture's width (rightwards) and height (downwards).
key_cells() {
  awk '{ row[n++] = $0 } END { for (r = 1; r < n - 1; r++) for (c = 2; c < length(row[r]); c++) {
    g = substr(row[r], c, 1)
    if (g in seen || substr(row[r - 1], c, 1) != g || substr(row[r + 1], c, 1) != g ||
        substr(row[r], c - 1, 1) != g || substr(row[r], c + 1, 1) != g) continue
    seen[g] = 1; printf "%f %f %s\n", (c - 0.5) / length(row[r]), (r + 0.5) / n, g } }'
}
# tty1's screen, line by line, from /dev/vcs1 (its width from /dev/vcsa1's
# header: lines, columns, cursor).
screen() { fold -w "$(od -An -tu1 -j1 -N1 /dev/vcsa1 | tr -d ' ')" /dev/vcs1 | sed 's/ *$//'; }
# What systemd refused of the package's units, one line each: its refusals in
# this boot's journal ("Refusing ...", "... bad unit file setting"; a refused
# unit does not show as failed) and each unit whose load state is not
# "loaded". Nothing when all were taken.
refused() {
  local unit state
  journalctl -b -o cat | grep -E 'Refusing|bad unit file setting'
  for unit in $(dpkg -L touchkeyd | sed -n 's|.*/lib/systemd/system/\([^/]*\.[a-z]*\)$|\1|p'); do
    state=$(systemctl show -p LoadState --value "$unit")
    [ "$state" = loaded ] || echo "$unit: load state $state"
  done
}
