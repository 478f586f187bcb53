#!/usr/bin/env bash
# Static checks over every C++ source in src/, lib/, tools/, devtools/, tests/,
# fuzz/ and bench/: clang-format (layout), clang-tidy (.clang-tidy) and
# cppcheck. Any finding fails. usage: scripts/lint.sh BUILD_DIR (holding compile_commands.json)
# `scripts/lint.sh --format` lays the same sources out instead (make format).
set -uo pipefail
build=${1:-build}
mapfile -t sources < <(find src lib tools devtools tests fuzz bench -name '*.cc' -o -name '*.h' 2>/dev/null | sort)
if [ "$build" = --format ]; then
  exec clang-format -i "${sources[@]}"
fi
mapfile -t units < <(printf '%s\n' "${sources[@]}" | grep '\.cc$')
failed=()

echo "== clang-format: ${#sources[@]} files"
unformatted=()
for f in "${sources[@]}"; do
  clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || unformatted+=("$f")
done
if [ ${#unformatted[@]} -gt 0 ]; then
  failed+=(clang-format)
  echo "!! not laid out by .clang-format (see 'clang-format FILE | diff FILE -', fix with 'make format'):"
  printf '   %s\n' "${unformatted[@]}"
fi

echo "== clang-tidy: ${#units[@]} files"
if ! printf '%s\n' "${units[@]}" |
     xargs -P 2 -n 1 clang-tidy -p "$build" --quiet 2> >(grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated|^Suppressed|^Use -header-filter|NOLINT|^$' >&2); then
  failed+=(clang-tidy)
fi

# Style findings apart from useStlAlgorithm, which prefers algorithms to the
# plain loops this code is written in; normalCheckLevelMaxBranches (cppcheck
# 2.11 and later) only says that the analysis was bounded, as it is by default.
echo "== cppcheck"
if ! cppcheck --project="$build/compile_commands.json" --std=c++20 --library=googletest \
       --enable=warning,style,performance,portability --inline-suppr --error-exitcode=1 --quiet \
       --suppress=missingIncludeSystem --suppress=useStlAlgorithm --suppress=normalCheckLevelMaxBranches \
       --template='{file}:{line}: {severity} {id}: {message}'; then
  failed+=(cppcheck)
fi

if [ ${#failed[@]} -gt 0 ]; then
  echo "lint failed: ${failed[*]}"
  exit 1
fi
echo "lint: no findings"
