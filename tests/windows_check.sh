#!/usr/bin/env bash
# The Windows executable, run under Wine, against the native build:
#   - the same image, byte for byte, on the sample inputs for a set of window
#     offsets (a malformed text among them), and the reference digests;
#   - usage errors and a missing input give status 1 and the message (Windows
#     ends the line with CRLF), and a directory as input names the file;
#   - an existing image is replaced, and a failed run leaves it as it was, with
#     no new file left beside it;
#   - the zip holds the executable, README.md and LICENSE, and that executable
#     runs.
# Usage: windows_check.sh NATIVE_BUILD_DIR WINDOWS_BUILD_DIR
# Needs wine (Debian: wine, wine64); without it the check is skipped (exit 77),
# except under CI=true, where it fails.
set -euo pipefail
native=$(cd "$1" && pwd)
windows=$(cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*"; exit 1; }

if ! command -v wine >/dev/null; then
  [ "${CI:-}" = true ] && fail "wine (Debian packages wine, wine64) is not installed"
  echo "SKIP: wine is not installed"
  exit 77
fi
export WINEDEBUG=-all
export WINEPREFIX=${WINEPREFIX:-${HOME:-/tmp}/.wine-gen_tarsilp6}
work=$(mktemp -d)
trap 'wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
# One Wine server for every run (it may already be running), and one warm-up
# run that creates the prefix.
mkdir -p "$WINEPREFIX"
wineserver -p 2>/dev/null || true
wineboot -i >/dev/null 2>&1 || true
exe=$windows/gen_tarsilp6.exe
wine "$exe" >/dev/null 2>&1 || true

# run DIR ARGS...: runs the Windows tool in DIR; sets status and err (CR removed).
# wine_run.sh starts a run again when Wine itself failed to start.
run() {
  local dir=$1
  shift
  status=0
  err=$(cd "$dir" && "$here/wine_run.sh" "$exe" "$@" 2>&1 >/dev/null) || status=$?
  err=${err//$'\r'/}
}
expect() {  # expect STATUS MESSAGE WHAT
  [ "$status" = "$1" ] && [ "$err" = "$2" ] || fail "$3: status $status, message '$err'"
}
no_leftovers() {
  ! compgen -G "$1/.zemra8p6.d88.*" >/dev/null || fail "$2 left a new file behind"
}

mkdir "$work/native" "$work/windows"
"$native/make_sample_inputs" "$work/native" v1
"$native/make_sample_inputs" "$work/windows" v1
for offset in 0 5 -3 -4096 533 -125 2147483647 " +12abc"; do
  (cd "$work/native" && "$native/gen_tarsilp6" v1 "$offset")
  run "$work/windows" v1 "$offset"
  expect 0 "" "offset '$offset'"
  cmp -s "$work/native/zemra8p6.d88" "$work/windows/zemra8p6.d88" ||
    fail "offset '$offset': the Windows image differs from the native one"
done
no_leftovers "$work/windows" "a successful run"
echo "windows: images identical to the native build's for 8 window offsets"

python3 "$here/reference_digests.py" "$exe" "$here/wine_run.sh" >/dev/null || fail "reference digests differ"
echo "windows: reference digests match"

for args in "" "v1" "v1 0 extra"; do
  # shellcheck disable=SC2086
  run "$work/windows" $args
  expect 1 "Usage: gen_tarsilp6 v1|v2 offset" "arguments '$args'"
done

old=$work/windows/zemra8p6.d88
cp "$old" "$work/old.d88"
mv "$work/windows/data5.bin" "$work/data5.bin"
run "$work/windows" v1 0
expect 1 "data5.bin: No such file or directory" "missing input"
mkdir "$work/windows/data5.bin"
run "$work/windows" v1 0
[ "$status" = 1 ] && [[ "$err" == "data5.bin: "* ]] || fail "directory as input: $status '$err'"
cmp -s "$old" "$work/old.d88" || fail "a failed run changed the existing image"
no_leftovers "$work/windows" "a failed run"
rmdir "$work/windows/data5.bin"
mv "$work/data5.bin" "$work/windows/data5.bin"
run "$work/windows" v1 5
expect 0 "" "replacing an existing image"
(cd "$work/native" && "$native/gen_tarsilp6" v1 5)
cmp -s "$old" "$work/native/zemra8p6.d88" || fail "the existing image was not replaced"
echo "windows: usage, missing input, directory as input, replacing and keeping an image: ok"

(cd "$windows" && cpack -G ZIP -B "$work/zip" >/dev/null)
zip=$(ls "$work"/zip/gen_tarsilp6-*-windows-x64.zip)
python3 - "$zip" "$work/unzipped" <<'PY' || fail "the zip does not hold the executable, README.md and LICENSE"
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    assert sorted(z.namelist()) == ["LICENSE", "README.md", "gen_tarsilp6.exe"], z.namelist()
    z.extractall(sys.argv[2])
PY
exe=$work/unzipped/gen_tarsilp6.exe
run "$work/windows" v1 0
expect 0 "" "the executable from the zip"
echo "windows: $(basename "$zip") holds gen_tarsilp6.exe, README.md and LICENSE, and it runs"
