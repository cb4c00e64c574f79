#!/usr/bin/env bash
# The Debian package as a person would use it: built with CPack, passed by
# lintian without errors and with the hardening Debian expects, installed
# with dpkg, the installed tool run on the sample inputs (giving the build
# tree's image), its manual page read with `man gen_tarsilp6`, and the
# package removed again.
# Usage: package_check.sh BUILD_DIR
# Needs root, dpkg-dev (shlibdeps), lintian and man-db; without them the check
# is skipped (exit 77), except under CI=true, where it fails.
set -euo pipefail
build=$(cd "$1" && pwd)
fail() { echo "FAIL: $*"; exit 1; }
skip() {
  [ "${CI:-}" = true ] && fail "$*"
  echo "SKIP: $*"
  exit 77
}
[ "$(id -u)" = 0 ] || skip "installing a package needs root"
for tool in cpack dpkg-shlibdeps lintian man; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
dpkg -s gen-tarsilp6 >/dev/null 2>&1 && fail "gen-tarsilp6 is installed already; remove it first"

work=$(mktemp -d)
trap 'dpkg -r gen-tarsilp6 >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
(cd "$build" && cpack -G DEB -B "$work/package" >/dev/null)
deb=$(ls "$work"/package/gen-tarsilp6_*.deb)
status=0
tags=$(lintian --fail-on error -I "$deb" 2>&1) || status=$?
tags=$(grep -v 'running with root privileges' <<<"$tags" || true)
[ -z "$tags" ] || echo "$tags"
[ "$status" = 0 ] || fail "lintian reports errors"
if [[ "$tags" == *hardening-* ]]; then fail "the binary is not built hardened: $tags"; fi
dpkg-deb -f "$deb" Depends | grep -q '^libc6 ' || fail "no libc dependency: $(dpkg-deb -f "$deb" Depends)"

dpkg -i "$deb" >/dev/null
[ "$(command -v gen_tarsilp6)" = /usr/bin/gen_tarsilp6 ] || fail "not installed as /usr/bin/gen_tarsilp6"
mkdir "$work/run" "$work/reference"
"$build/make_sample_inputs" "$work/run" v1
"$build/make_sample_inputs" "$work/reference" v1
(cd "$work/run" && gen_tarsilp6 v1 5) || fail "the installed tool failed"
(cd "$work/reference" && "$build/gen_tarsilp6" v1 5)
cmp -s "$work/run/zemra8p6.d88" "$work/reference/zemra8p6.d88" ||
  fail "the installed tool writes another image"
MANWIDTH=80 man gen_tarsilp6 2>/dev/null | grep -q 'gen_tarsilp6 1.0.0' ||
  fail "man gen_tarsilp6 does not show the page with its version"
dpkg -r gen-tarsilp6 >/dev/null
[ ! -e /usr/bin/gen_tarsilp6 ] && [ ! -e /usr/share/man/man1/gen_tarsilp6.1.gz ] ||
  fail "removing the package left its files"
echo "package: $(basename "$deb") passes lintian, installs, runs, shows its manual page, removes"
