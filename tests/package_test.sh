#!/usr/bin/env bash
# Builds the Debian package with CPack and checks what it holds: the programs,
# the units (naming the programs where the package puts them), the gzipped man
# pages, licence and changelog; then lintian, which must find no error and no
# warning.
# usage: package_test.sh BUILD_DIR WITH_TAP(0|1) [DEBIAN_ARCH]
set -euo pipefail
build=$1
with_tap=$2
arch=${3:-$(dpkg --print-architecture)}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log") || { cat "$out/cpack.log"; exit 1; }
deb=$(ls "$out"/*.deb)
echo "$(basename "$deb"):"
dpkg-deb -c "$deb" | tee "$out/list"

units=./usr/lib/systemd/system
expected=(./usr/sbin/touchkeyd ./usr/sbin/touchkey-bridge ./usr/sbin/touchkey-calibrate
          $units/touchkeyd.service $units/touchkey-bridge.service $units/touchkey-bridge.socket
          $units/touchkey-calibrate.service
          ./usr/share/man/man8/touchkeyd.8.gz ./usr/share/man/man8/touchkey-bridge.8.gz
          ./usr/share/man/man8/touchkey-calibrate.8.gz ./usr/share/man/man1/touchkey-tap.1.gz
          ./usr/share/doc/touchkeyd/copyright ./usr/share/doc/touchkeyd/changelog.gz)
[ "$with_tap" = 1 ] && expected+=(./usr/bin/touchkey-tap)
status=0
for path in "${expected[@]}"; do
  if ! grep -q " $path\$" "$out/list"; then
    echo "FAIL: $path missing"
    status=1
  fi
done
for program in ./usr/sbin/touchkeyd ./usr/sbin/touchkey-bridge ./usr/sbin/touchkey-calibrate; do
  grep -q "^-rwxr-xr-x root/root .* $program\$" "$out/list" || { echo "FAIL: $program not root-owned 0755"; status=1; }
done

dpkg-deb -x "$deb" "$out/root"
for unit in touchkeyd touchkey-bridge; do
  grep -qx "ExecStart=/usr/sbin/$unit" "$out/root/usr/lib/systemd/system/$unit.service" ||
    { echo "FAIL: $unit.service does not start /usr/sbin/$unit"; status=1; }
done
[ "$(dpkg-deb -f "$deb" Package)" = touchkeyd ] || { echo "FAIL: package name"; status=1; }
[ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || { echo "FAIL: not labelled $arch"; status=1; }
# The target's own packages, by their names there (no cross package, no
# qualifier), and what the maintainer scripts run (deb-systemd-helper).
depends=$(dpkg-deb -f "$deb" Depends)
[[ $depends == *"libc6 (>= "* && $depends == *init-system-helpers* && $depends != *-cross* && $depends != *:* ]] ||
  { echo "FAIL: dependencies: $depends"; status=1; }
# Informational tags may stay; README names them and why.
if command -v lintian >/dev/null; then
  lintian_ok=1
  out=$(lintian --fail-on error,warning --display-info "$deb" 2>&1) || lintian_ok=0
  echo "lintian:"
  grep -v -e 'running with root privileges' -e '^N:' <<<"$out" || true
  [ $lintian_ok = 1 ] || { echo "FAIL: lintian found errors or warnings"; status=1; }
else
  echo "FAIL: no lintian (scripts/install-deps.sh package)"
  status=1
fi
exit $status
