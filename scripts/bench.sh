#!/usr/bin/env bash
# The benchmarks behind docs/performance.md: the whole daemon against its
# floor in the sandbox (CPU per record, idle CPU, memory, allocations, start
# time), then the layout's microbenchmark. usage: scripts/bench.sh BUILD_DIR
# BENCH_ROUNDS and BENCH_RECORDS change the rounds and records per round.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
# The layout's microbenchmark is built only where Google Benchmark is installed
# (make bench installs it on Debian; elsewhere it is up to the user).
[ -x "$build/bench/keypad_bench" ] || {
  echo "bench.sh: $build/bench/keypad_bench is not built: install Google Benchmark" \
       "(scripts/install-deps.sh bench, or your system's Google Benchmark package) and run make bench again" >&2
  exit 1
}
echo "== machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores," \
     "$(uname -sr), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "== touchkeyd against the floor (in touchkey-sandbox)"
"$build/touchkey-sandbox" -- "$build/bench/touchkey-bench" "$build/touchkeyd" "$build/bench/touchkey-floor" \
  "$build/bench/libtouchkey-alloc-count.so" "${BENCH_ROUNDS:-21}" "${BENCH_RECORDS:-60000}"
echo "== keypad_key_at"
"$build/bench/keypad_bench"
