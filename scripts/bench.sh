#!/usr/bin/env bash
# The benchmarks behind docs/performance.md: the whole daemon against its
# floor in the sandbox (CPU per record, idle CPU, memory, allocations, start
# time), then the layout's microbenchmark. usage: scripts/bench.sh BUILD_DIR
# BENCH_ROUNDS and BENCH_RECORDS change the rounds and records per round.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
echo "== machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores," \
     "$(uname -sr), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "== touchkeyd against the floor (in touchkey-sandbox)"
"$build/touchkey-sandbox" -- "$build/bench/touchkey-bench" "$build/touchkeyd" "$build/bench/touchkey-floor" \
  "$build/bench/libtouchkey-alloc-count.so" "${BENCH_ROUNDS:-21}" "${BENCH_RECORDS:-60000}"
echo "== keypad_key_at"
"$build/bench/keypad_bench"
