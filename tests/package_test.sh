#!/usr/bin/env bash
# The Debian package as dpkg-buildpackage makes it: built twice from this
# tree, once by `make package` as a normal user on a machine without the test
# tools (as README tells a board's owner; the unit tests run in that build)
# and once with its source package as root; the two .debs must be identical.
# Then lintian on the source and binary .changes, what the package holds,
# debhelper's maintainer scripts, and an installation with dpkg --root that
# must leave the machine's own systemd alone and whose purge removes the
# calibration.
# usage: package_test.sh SOURCE_DIR
set -euo pipefail
source_dir=$(realpath "$1")
work=$(mktemp -d /var/tmp/touchkeyd-package-test.XXXXXX)
chmod 755 "$work"  # the normal user builds in it
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

# Two copies of the tree in different places: the build path must not show.
for copy in user/touchkeyd admin/touchkeyd; do
  mkdir -p "$work/$copy"
  git -C "$source_dir" ls-files -z -co --exclude-standard |
    (cd "$source_dir" && while IFS= read -r -d '' f; do [ ! -e "$f" ] || printf '%s\0' "$f"; done |
       tar --null -cf - -T -) | tar -xf - -C "$work/$copy"
done

# A board as README sets it up has the build dependencies, not mandoc or
# lintian, which only the tests use.
mkdir "$work/board-bin"
cat >"$work/board-bin/dpkg-query" <<'EOF'
#!/bin/sh
case "$*" in *mandoc* | *lintian*) exit 1 ;; esac
exec /usr/bin/dpkg-query "$@"
EOF
chmod 755 "$work/board-bin/dpkg-query"
chown -R nobody:nogroup "$work/user"
setpriv --reuid=nobody --regid=nogroup --clear-groups \
  env HOME="$work/user" PATH="$work/board-bin:/usr/sbin:/usr/bin:/sbin:/bin" \
  make -C "$work/user/touchkeyd" package >"$work/user.log" 2>&1 || { tail -20 "$work/user.log"; fail "make package as a normal user"; }
(cd "$work/admin/touchkeyd" && DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -us -uc -Jauto >"$work/admin.log" 2>&1) ||
  { tail -20 "$work/admin.log"; fail "dpkg-buildpackage -us -uc"; }
arch=$(dpkg --print-architecture)
deb=$(echo "$work"/admin/touchkeyd_*_"$arch".deb)
[ -f "$deb" ] || { echo "FAIL: no package built"; exit 1; }
cmp "$deb" "$work/user/touchkeyd/build-deb/$(basename "$deb")" || fail "two builds of one tree differ"

echo "lintian:"
lintian --fail-on error,warning --display-info "$work"/admin/touchkeyd_*_"$arch".changes 2>&1 |
  grep -v 'running with root privileges' || fail "lintian found errors or warnings"

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
mkdir -p "$image/etc/touchkey" && echo '# written by touchkey-calibrate' >"$image/etc/touchkey/calibration"
dpkg_root -P touchkeyd || { cat "$work/dpkg.log"; fail "dpkg --root -P"; }
# Bookworm's debhelper reloads after a removal whatever the root; nothing else may reach the machine.
calls=$(grep -v '^systemctl --system daemon-reload$' "$work/machine-calls" 2>/dev/null || true)
[ -z "$calls" ] || fail "dpkg --root reached the machine's systemd: $calls"
[ ! -e "$image/etc/touchkey" ] || fail "purge left /etc/touchkey"
[ -z "$(find "$image/etc/systemd" "$image/var/lib/systemd" -name 'touchkeyd.service*' 2>/dev/null)" ] ||
  fail "purge left the enablement"
exit $status
