#!/usr/bin/env bash
# Installs the Debian package built by CPack and checks the installed agent as a user would
# meet it: the executables run, usage errors behave, the man page and the license are there.
#
#   smoke.sh PACKAGE.deb
set -euo pipefail
deb=$(realpath "$1")
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

echo "== package metadata"
dpkg-deb --info "$deb" | sed -n '/Package:/,$p'
depends=$(dpkg-deb --field "$deb" Depends)
grep -q 'libpipewire-0.3-0' <<<"$depends" || fail "library dependencies were not computed: $depends"

echo "== installing"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --reinstall "$deb" >/dev/null

echo "== the installed agent"
[ "$(command -v quenwick)" = /usr/bin/quenwick ] || fail "quenwick is not on the PATH"
[ -x /usr/bin/quenwick-convert ] || fail "quenwick-convert is not installed"
set +e
line=$(quenwick 2>&1 >/dev/null)
status=$?
set -e
[ "$status" -eq 1 ] || fail "no arguments: exit status $status"
[ "$line" = '{"event":"error","message":"give --pids or --global"}' ] || fail "no arguments: $line"
set +e
line=$(quenwick --pids=42 2>&1 >/dev/null)
status=$?
set -e
[ "$status" -eq 1 ] || fail "--pids=42: exit status $status"
[ "$line" = '{"event":"error","message":"unknown argument --pids=42"}' ] || fail "--pids=42: $line"
head -c 32 /dev/zero | quenwick-convert --rate 48000 --channels 2 --layout f32 | cmp - <(printf '\0\0') ||
  fail "quenwick-convert does not convert"

echo "== the man page"
page=$(dpkg -L quenwick | grep '/man1/quenwick\.1')
[ -n "$page" ] || fail "no man page in the package"
zcat -f "$page" | grep -q '^\.Sh EXIT STATUS' || fail "the man page has no exit statuses"
grep -q '^MIT License' /usr/share/doc/quenwick/copyright || fail "no license in the package"
echo "PASS: package $(basename "$deb")"
