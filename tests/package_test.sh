#!/usr/bin/env bash
# The Debian package as `make package` builds it in a clean root of RELEASE
# (default: this machine's release; the unit tests and that release's lintian
# run in that build): what it holds, debhelper's maintainer scripts, and an
# installation with dpkg --root, as a board's maker runs it, that must leave
# the machine's own systemd alone, whose removal keeps the calibration and the
# first boot's record and whose purge removes them. tests/piuparts.sh installs,
# upgrades and purges it in a root of RELEASE.
# usage: package_test.sh SOURCE_DIR [RELEASE]    (as root)
set -euo pipefail
source_dir=$(realpath "$1")
release=${2:-$(. /etc/os-release && echo "$VERSION_CODENAME")}
work=$(mktemp -d /var/tmp/touchkeyd-package-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

# Built twice, the second time without the unit tests: the two must be identical.
arch=$(dpkg --print-architecture)
for build in tested untested; do
  DEB_BUILD_OPTIONS=$([ $build = tested ] || echo nocheck) make -s -C "$source_dir" package RELEASE="$release" \
    >"$work/$build.log" 2>&1 || { tail -40 "$work/$build.log"; echo "FAIL: make package RELEASE=$release ($build)"; exit 1; }
  deb=$(ls -t "$source_dir/build-deb/$release"/touchkeyd_*_"$arch".deb | head -1)
  cp "$deb" "$work/$build.deb"
done
sed -n '/^lintian:$/,/^package:/p' "$work/tested.log"
cmp "$work/tested.deb" "$work/untested.deb" || fail "two builds of one tree differ"
echo "$(basename "$deb"):"
dpkg-deb -c "$deb" | tee "$work/list"
units=./usr/lib/systemd/system
for path in ./usr/sbin/touchkeyd ./usr/sbin/touchkey-bridge ./usr/sbin/touchkey-calibrate ./usr/bin/touchkey-tap \
            $units/touchkeyd.service $units/touchkey-bridge.service $units/touchkey-bridge.socket \
            $units/touchkey-calibrate.service \
            ./usr/share/man/man8/touchkeyd.8.gz ./usr/share/man/man8/touchkey-bridge.8.gz \
            ./usr/share/man/man8/touchkey-calibrate.8.gz ./usr/share/man/man1/touchkey-tap.1.gz \
            ./usr/share/doc/touchkeyd/copyright ./usr/share/doc/touchkeyd/changelog.gz; do
  grep -q "^-r.* root/root .* $path\$" "$work/list" || fail "$path missing or not root's"
done
dpkg-deb -x "$deb" "$work/files"
for unit in touchkeyd touchkey-bridge; do
  grep -qx "ExecStart=/usr/sbin/$unit" "$work/files/$units/$unit.service" || fail "$unit.service does not start /usr/sbin/$unit"
done
dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm postrm; do
  grep -q "^# Automatically added by dh_installsystemd" "$work/control/$script" || fail "$script lacks debhelper's block"
done

# dpkg --root as image builders run it: maintainer scripts outside the image,
# DPKG_ROOT set, on a machine whose systemd runs (a private /run says so).
# Whatever they ask of the machine's systemctl is logged.
image=$work/image
mkdir -p "$image"/var/lib/dpkg/{info,updates} "$image"/var/log "$work/stubs"
touch "$image/var/lib/dpkg/status"
for stub in systemctl deb-systemd-invoke; do
  printf '#!/bin/sh\necho "%s $*" >>%s/machine-calls\n' "$stub" "$work" >"$work/stubs/$stub"
  chmod 755 "$work/stubs/$stub"
done
dpkg_root() {
  unshare -m sh -c 'mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/system && exec "$@"' sh \
    env PATH="$work/stubs:$PATH" dpkg --root="$image" --force-script-chrootless --force-depends "$@" >>"$work/dpkg.log" 2>&1
}
dpkg_root -i "$deb" || { cat "$work/dpkg.log"; fail "dpkg --root -i"; }
[ -L "$image/etc/systemd/system/multi-user.target.wants/touchkeyd.service" ] || fail "dpkg --root: not enabled in the image"
mkdir -p "$image/etc/touchkey" "$image/var/lib/touchkey"
echo '# written by touchkey-calibrate' >"$image/etc/touchkey/calibration"
touch "$image/var/lib/touchkey/calibration-asked"
dpkg_root -r touchkeyd || { cat "$work/dpkg.log"; fail "dpkg --root -r"; }
[ -f "$image/etc/touchkey/calibration" ] || fail "removal lost the calibration"
[ -f "$image/var/lib/touchkey/calibration-asked" ] || fail "removal lost the first boot's record"
dpkg_root -P touchkeyd || { cat "$work/dpkg.log"; fail "dpkg --root -P"; }
# Bookworm's debhelper reloads after a removal whatever the root; nothing else may reach the machine.
calls=$(grep -v '^systemctl --system daemon-reload$' "$work/machine-calls" 2>/dev/null || true)
[ -z "$calls" ] || fail "dpkg --root reached the machine's systemd: $calls"
[ ! -e "$image/etc/touchkey" ] || fail "purge left /etc/touchkey"
[ ! -e "$image/var/lib/touchkey" ] || fail "purge left /var/lib/touchkey"
[ -z "$(find "$image/etc/systemd" "$image/var/lib/systemd" -name 'touchkeyd.service*' 2>/dev/null)" ] ||
  fail "purge left the enablement"
exit $status
