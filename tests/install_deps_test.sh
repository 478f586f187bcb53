#!/usr/bin/env bash
# Checks which packages scripts/install-deps.sh takes for installed, by dpkg's
# status, against fake dpkg-query, apt-get and id: a held package is installed
# and must not be asked for again (as a normal user that stops `make build`).
# usage: install_deps_test.sh SOURCE_DIR
set -euo pipefail
script=$1/scripts/install-deps.sh
fake=$(mktemp -d)
trap 'rm -rf "$fake"' EXIT
# cmake's status comes from $fake_status ("" when dpkg knows no such package);
# build-essential, the group's other package, is always installed.
cat >"$fake/dpkg-query" <<'FAKE'
#!/bin/sh
for last; do :; done
case $last in build-essential) printf 'install ok installed' ;; *) [ -n "$fake_status" ] || exit 1; printf "%s" "$fake_status" ;; esac
FAKE
printf '#!/bin/sh\necho "$*" >>"%s/apt.log"\n' "$fake" >"$fake/apt-get"
printf '#!/bin/sh\necho 0\n' >"$fake/id"
chmod 755 "$fake/dpkg-query" "$fake/apt-get" "$fake/id"

fails=0
# status of cmake | whether install-deps.sh installs it
while IFS='|' read -r status wanted; do
  rm -f "$fake/apt.log"
  fake_status=$status PATH="$fake:$PATH" "$script" build >/dev/null
  installs=no
  grep -q '^.*install -y .*cmake' "$fake/apt.log" 2>/dev/null && installs=yes
  if grep -q build-essential "$fake/apt.log" 2>/dev/null || [ "$installs" != "$wanted" ]; then
    echo "FAIL status '$status': install-deps.sh installs cmake: $installs, wanted $wanted"
    fails=1
  fi
done <<'TABLE'
install ok installed|no
hold ok installed|no
deinstall ok installed|no
hold ok half-installed|yes
install ok unpacked|yes
deinstall ok config-files|yes
unknown ok not-installed|yes
|yes
TABLE
exit $fails
