#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks the tree: the tool in
# bin/ and runnable, the manual page compressed in share/man/man1/ and
# rendering without a single warning, the copyright file and changelog.
# Usage: install_test.sh BUILD_DIR [EMULATOR...]
# EMULATOR, when given, is the command that runs the tool of a cross build.
set -euo pipefail
build=$1
shift
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
tool=$prefix/bin/gen_tarsilp6
page=$prefix/share/man/man1/gen_tarsilp6.1.gz
docs=$prefix/share/doc/gen-tarsilp6
[ -x "$tool" ] || fail "bin/gen_tarsilp6 not installed"
[ -f "$page" ] || fail "share/man/man1/gen_tarsilp6.1.gz not installed"
[ -f "$docs/copyright" ] && [ -f "$docs/changelog.gz" ] || fail "copyright or changelog missing"
status=0
usage=$("$@" "$tool" 2>&1) || status=$?
[ "$status" = 1 ] && [ "$usage" = "Usage: gen_tarsilp6 v1|v2 offset" ] || fail "installed tool: $usage"

warnings=$(zcat "$page" | groff -man -Tutf8 -ww -z 2>&1)
[ -z "$warnings" ] || fail "groff warns: $warnings"
warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man warns: $warnings"
text=$(MANWIDTH=80 man -l "$page" 2>/dev/null)
for section in NAME SYNOPSIS DESCRIPTION ARGUMENTS FILES "EXIT STATUS" DIAGNOSTICS EXAMPLES; do
  grep -q "^$section" <<<"$text" || fail "page lacks $section"
done
for name in ipl1.bin ipl2_tag.bin zemra80_prog_p6_tag.bin zemra80_org_tag.bin data1.bin zemra8p6.d88; do
  grep -q "$name" <<<"$text" || fail "page does not name $name"
done
echo "install tree and manual page: ok"
