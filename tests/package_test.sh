#!/usr/bin/env bash
# Builds the Debian package with CPack and checks what it holds: the programs,
# the units (naming the programs where the package puts them) and the man pages.
# usage: package_test.sh BUILD_DIR WITH_TAP(0|1)
set -euo pipefail
build=$1
with_tap=$2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log") || { cat "$out/cpack.log"; exit 1; }
deb=$(ls "$out"/*.deb)
echo "$(basename "$deb"):"
dpkg-deb -c "$deb" | tee "$out/list"

expected=(./usr/sbin/touchkeyd ./usr/sbin/touchkey-bridge ./usr/sbin/touchkey-calibrate
          ./usr/lib/systemd/system/touchkeyd.service ./usr/lib/systemd/system/touchkey-bridge.service
          ./usr/share/man/man8/touchkeyd.8 ./usr/share/man/man8/touchkey-bridge.8
          ./usr/share/man/man8/touchkey-calibrate.8
          ./usr/share/man/man1/touchkey-tap.1)
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
exit $status
