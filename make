#!/bin/sh
# make, installed first where it is missing. A minimal Debian (a board's lite
# image) has no make, and scripts/install-deps.sh, which installs it with the
# rest, is otherwise reached only through make: `./make demo` works there too.
set -eu
here=$(cd "$(dirname "$0")" && pwd -P)

# The first make in PATH that is not this script (PATH may hold ".").
real_make() {
  old_ifs=$IFS
  IFS=:
  for dir in $PATH; do
    candidate=${dir:-.}/make
    if [ -f "$candidate" ] && [ -x "$candidate" ] && [ "$(cd "${dir:-.}" && pwd -P)" != "$here" ]; then
      IFS=$old_ifs
      echo "$candidate"
      return 0
    fi
  done
  IFS=$old_ifs
  return 1
}

if ! found=$(real_make); then
  # build-essential holds make; cmake comes with it, as `make demo` needs both.
  "$here/scripts/install-deps.sh" build
  found=$(real_make) || { echo "make: no make in PATH, even after scripts/install-deps.sh build" >&2; exit 127; }
fi
exec "$found" "$@"
