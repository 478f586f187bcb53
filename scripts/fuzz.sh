#!/usr/bin/env bash
# Runs every libFuzzer target for a bounded time from its committed corpus.
# usage: scripts/fuzz.sh BUILD_DIR SECONDS TARGET...
# New inputs go to BUILD_DIR/corpus/TARGET, never into the committed corpus;
# a crash leaves its reproducer in BUILD_DIR/artifacts/TARGET and fails.
set -uo pipefail
build=$1 seconds=$2
shift 2
failed=()
for target in "$@"; do
  work=$build/corpus/$target artifacts=$build/artifacts/$target
  mkdir -p "$work" "$artifacts"
  echo "== fuzzing $target for ${seconds}s"
  # Standard error is closed for the target (the loop reports every failed
  # read there); libFuzzer and the sanitizers keep their own copy of it.
  if [ ! -x "$build/fuzz/$target" ]; then
    echo "!! $build/fuzz/$target is not built"
    failed+=("$target")
    continue
  fi
  if ! "$build/fuzz/$target" -max_total_time="$seconds" -close_fd_mask=2 -print_final_stats=1 \
       -artifact_prefix="$artifacts/" "$work" "fuzz/corpus/$target" 2>"$build/$target.log"; then
    tail -n 60 "$build/$target.log"
    echo "!! $target failed; reproducer(s):" "$artifacts"/*
    echo "!! keep one as a regression input: cp it into fuzz/corpus/$target/ and commit it with the fix"
    failed+=("$target")
  else
    grep -E '^(stat::number_of_executed_units|stat::new_units_added|#[0-9]+ +DONE)' "$build/$target.log"
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing failed: ${failed[*]}"
  exit 1
fi
