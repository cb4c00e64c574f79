#!/usr/bin/env bash
# The Debian package as a person would use it: built with CPack, passed by
# lintian without errors and with the hardening Debian expects, installed
# with dpkg, the installed tool run on the sample inputs (giving the build
# tree's image), its manual page read with `man gen_tarsilp6`, and the
# package removed again.
# A cross build's package (for another architecture than the host's) is
# checked as far as this host can: lintian, its architecture and Depends as
# `dpkg-deb --info` lists them, and the packaged tool, run through the
# emulator, giving the build tree's image.
# Usage: package_check.sh BUILD_DIR [ARCHITECTURE EMULATOR...]
#   ARCHITECTURE and EMULATOR (the command that runs the target's programs)
#   for a cross build, e.g. build-arm64 arm64 qemu-aarch64 -L /usr/aarch64-linux-gnu
# Needs root, dpkg-dev (shlibdeps), lintian and man-db (a cross build's check
# needs neither root nor man-db); without them the check is skipped (exit
# 77), except under CI=true, where it fails.
set -euo pipefail
build=$(cd "$1" && pwd)
arch=${2:-}
emulator=("${@:3}")
fail() { echo "FAIL: $*"; exit 1; }
skip() {
  [ "${CI:-}" = true ] && fail "$*"
  echo "SKIP: $*"
  exit 77
}
if [ -z "$arch" ]; then
  [ "$(id -u)" = 0 ] || skip "installing a package needs root"
  for tool in cpack dpkg-shlibdeps lintian man; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
  done
  dpkg -s gen-tarsilp6 >/dev/null 2>&1 && fail "gen-tarsilp6 is installed already; remove it first"
  arch=$(dpkg --print-architecture)
  native=true
else
  [ ${#emulator[@]} -gt 0 ] || fail "a cross build's check needs the emulator that runs its programs"
  for tool in cpack dpkg-deb lintian "${emulator[0]}"; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
  done
  native=false
fi

work=$(mktemp -d)
trap '[ "$native" = true ] && { dpkg -r gen-tarsilp6 >/dev/null 2>&1 || true; }; rm -rf "$work"' EXIT
(cd "$build" && cpack -G DEB -B "$work/package" >/dev/null)
deb=$(ls "$work"/package/gen-tarsilp6_*.deb)
[[ "$(basename "$deb")" == gen-tarsilp6_*_"$arch".deb ]] || fail "package named $(basename "$deb"), not for $arch"
status=0
tags=$(lintian --fail-on error -I "$deb" 2>&1) || status=$?
tags=$(grep -v 'running with root privileges' <<<"$tags" || true)
[ -z "$tags" ] || echo "$tags"
[ "$status" = 0 ] || fail "lintian reports errors"
if [[ "$tags" == *hardening-* ]]; then fail "the binary is not built hardened: $tags"; fi
info=$(dpkg-deb --info "$deb")
grep -q "^ Architecture: $arch\$" <<<"$info" || fail "dpkg-deb --info lists no Architecture: $arch: $info"
grep -Eq '^ Depends: libc6 \(>= 2\.[0-9]+(\.[0-9]+)?\)$' <<<"$info" ||
  fail "the only dependency is not libc6 at a version: $(dpkg-deb -f "$deb" Depends)"

if [ "$native" = false ]; then
  dpkg-deb -x "$deb" "$work/root"
  mkdir "$work/run" "$work/reference"
  "${emulator[@]}" "$build/make_sample_inputs" "$work/run" v1
  "${emulator[@]}" "$build/make_sample_inputs" "$work/reference" v1
  (cd "$work/run" && "${emulator[@]}" "$work/root/usr/bin/gen_tarsilp6" v1 5) ||
    fail "the packaged tool failed"
  (cd "$work/reference" && "${emulator[@]}" "$build/gen_tarsilp6" v1 5)
  cmp -s "$work/run/zemra8p6.d88" "$work/reference/zemra8p6.d88" ||
    fail "the packaged tool writes another image"
  echo "package: $(basename "$deb") passes lintian, is listed as $arch with" \
    "$(dpkg-deb -f "$deb" Depends), and its tool runs"
  exit 0
fi

dpkg -i "$deb" >/dev/null
[ "$(command -v gen_tarsilp6)" = /usr/bin/gen_tarsilp6 ] || fail "not installed as /usr/bin/gen_tarsilp6"
mkdir "$work/run" "$work/reference"
"$build/make_sample_inputs" "$work/run" v1
"$build/make_sample_inputs" "$work/reference" v1
(cd "$work/run" && gen_tarsilp6 v1 5) || fail "the installed tool failed"
(cd "$work/reference" && "$build/gen_tarsilp6" v1 5)
cmp -s "$work/run/zemra8p6.d88" "$work/reference/zemra8p6.d88" ||
  fail "the installed tool writes another image"
version=$(dpkg-deb -f "$deb" Version)
MANWIDTH=80 man gen_tarsilp6 2>/dev/null | grep -q "gen_tarsilp6 $version" ||
  fail "man gen_tarsilp6 does not show the page with the package's version, $version"
dpkg -r gen-tarsilp6 >/dev/null
[ ! -e /usr/bin/gen_tarsilp6 ] && [ ! -e /usr/share/man/man1/gen_tarsilp6.1.gz ] ||
  fail "removing the package left its files"
echo "package: $(basename "$deb") passes lintian, installs, runs, shows its manual page, removes"
