#!/usr/bin/env bash
# The Windows executable, run under Wine, against the native build:
#   - the same image, byte for byte, on the sample inputs for a set of window
#     offsets (a malformed text among them), and the reference digests;
#   - usage errors and a missing input give status 1 and the message (Windows
#     ends the line with CRLF), and a directory as input names the file;
#   - an existing image is replaced, and a failed run leaves it as it was, with
#     no new file left beside it;
#   - what stands under the image's name decides how it is written, each case
#     a row of the table below: written in place, refused, replaced where a
#     link leads, stopped or interrupted part-way (strace drives those);
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
work=$(cd "$(mktemp -d)" && pwd -P)  # as strace sees the paths
trap 'wineserver -k 2>/dev/null || true; umount "$work/small" "$work/tiny" 2>/dev/null; chattr -i "$work"/row* 2>/dev/null
  rm -rf "$work"' EXIT
# One Wine server for every run (it may already be running), and one warm-up
# run that creates the prefix.
mkdir -p "$WINEPREFIX"
wineserver -p 2>/dev/null || true
wineboot -i >/dev/null 2>&1 || true
exe=$windows/gen_tarsilp6.exe
wine "$exe" >/dev/null 2>&1 || true

# run DIR ARGS...: runs the Windows tool in DIR, with Wine run by the command
# `wine`; sets status and err (CR removed). wine_run.sh starts a run again when
# Wine itself failed to start.
wine=wine
run() {
  local dir=$1
  shift
  status=0
  err=$(cd "$dir" && WINE=$wine "$here/wine_run.sh" "$exe" "$@" 2>&1 >/dev/null) || status=$?
  err=${err//$'\r'/}
}
expect() {  # expect STATUS MESSAGE WHAT
  [ "$status" = "$1" ] && [ "$err" = "$2" ] || fail "$3: status $status, message '$err'"
}
no_leftovers() {
  ! compgen -G "$1/*.d88.?*" >/dev/null || fail "$2 left a new file behind"
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
expect 1 "data5.bin: Is a directory" "directory as input"
cmp -s "$old" "$work/old.d88" || fail "a failed run changed the existing image"
no_leftovers "$work/windows" "a failed run"
rmdir "$work/windows/data5.bin"
mv "$work/data5.bin" "$work/windows/data5.bin"
run "$work/windows" v1 5
expect 0 "" "replacing an existing image"
(cd "$work/native" && "$native/gen_tarsilp6" v1 5)
cmp -s "$old" "$work/native/zemra8p6.d88" || fail "the existing image was not replaced"
echo "windows: usage, missing input, directory as input, replacing and keeping an image: ok"

# Rows: each runs `v1 0` in a folder of its own that holds the inputs and an
# old image of 1000 bytes. Its setup, a function below, changes what stands
# there (failing when it cannot here) and may set `at`, where the image is
# looked for afterwards; `trace`, the options of strace for the run;
# `stopped`, what is done while strace holds the run stopped; `check`, what
# else must hold; `undo`, what is undone after the run. Afterwards `at`
# holds "new" (the image, in a file made anew), "same" (the image, in the
# file that stood there), "other" (another run's image, offset 5, in a file
# made anew) or "kept" (what stood there, as the same file), or is "none"
# (nothing there), and no new file is left beside it or the name.
img=zemra8p6.d88
old() { head -c "${2:-1000}" /dev/zero | tr '\0' Z >"$1"; }
mkdir "$work/inputs"
"$native/make_sample_inputs" "$work/inputs" v1
old "$work/inputs/$img"
(cd "$work/native" && "$native/gen_tarsilp6" v1 5 && cp "$img" "$work/other.d88")
(cd "$work/native" && "$native/gen_tarsilp6" v1 0)
mkdir "$work/small"  # a disk without room for the image, where root may mount one
mount -t tmpfs -o size=300k tmpfs "$work/small" 2>/dev/null || rmdir "$work/small"
mkdir "$work/tiny"  # and one with an inode for the old image and none beside it
mount -t tmpfs -o size=1m,nr_inodes=2 tmpfs "$work/tiny" 2>/dev/null || rmdir "$work/tiny"
strace=$(command -v strace) || [ "${CI:-}" != true ] || fail "strace (Debian package strace) is not installed"

linked() { old "$d/$img" 400000 && ln "$d/$img" "$d/other.d88"; }  # longer: cut to the image
no_image() { rm "$d/$img"; }
input_linked() { ln -f "$d/data1.bin" "$d/$img"; }
input_symlinked() { ln -sf ipl1.bin "$d/$img"; }
bad_read() { ln -sf /proc/self/mem "$d/data7.bin"; }  # opens, then fails to read
read_only() { chmod 444 "$d/$img"; }
read_only_linked() { read_only && ln "$d/$img" "$d/other.d88"; }
elsewhere() {
  at=$d/else/disk.d88
  mkdir "$d/else" && mv "$d/$img" "$at" && ln -s else/disk.d88 "$d/$img"
}
device() { ln -sf /dev/null "$d/$img"; }
japanese() { mv "$d" "$work/日本語$rows" && d=$work/日本語$rows at=$work/日本語$rows/$img; }
no_new_file() {  # immutable for root, not writable for others
  undo="chattr -i $d 2>/dev/null; chmod 755 $d"
  { chattr +i "$d" 2>/dev/null || chmod 555 "$d"; } && ! touch "$d/probe" 2>/dev/null
}
full() {
  at=$work/small/disk.d88 undo="rm -f $work/small/*"
  [ -d "$work/small" ] && old "$at" && ln -sf "$at" "$d/$img"
}
full_linked() { full && ln "$at" "$work/small/other.d88"; }
no_inode() {
  at=$work/tiny/disk.d88 undo="rm -f $work/tiny/*"
  [ -d "$work/tiny" ] && old "$at" && ln -sf "$at" "$d/$img"
}
traced() { trace=("$@") && [ -n "$strace" ]; }
# Ctrl+C, which Wine raises on SIGINT, on a thread of the handler's own:
# strace sends it as the new file is written (the run's only pwrite64) and
# holds the main thread a while as it flushes; or, in place, as the part past
# the old end is written first, holding the main thread at the lseek that
# Wine makes after it, before the rest. strace follows no other thread,
# since it can hang as they end.
ctrl_c_new() {
  traced -e trace=pwrite64,fsync -e inject=pwrite64:signal=INT:when=1 \
    -e inject=fsync:delay_enter=500000
}
ctrl_c_in_place() {
  ln "$d/$img" "$d/other.d88" && traced -P "$d/$img" -e trace=pwrite64,lseek \
    -e inject=pwrite64:signal=INT:when=1 -e inject=lseek:delay_enter=500000
}
# The run stopped as it flushes the new file; meanwhile the image is moved
# aside and another file put under its name, which the new image replaces.
moved_aside() {
  at=$d/aside stopped="mv $d/$img $at && printf other >$d/$img" check="cmp -s $d/$img $work/native/$img"
  traced -e trace=fsync -e inject=fsync:signal=STOP:when=1
}
removed() {  # meanwhile: the new image takes the name
  stopped="rm $d/$img"
  traced -e trace=fsync -e inject=fsync:signal=STOP:when=1
}
# Meanwhile another run replaces the image: both succeed, the last one's image stays.
other_run() {
  stopped="wine=wine run $d v1 0; inner=\$status" check="[ \$inner = 0 ]"
  traced -e trace=fsync -e inject=fsync:signal=STOP:when=1
}
# No image: this run makes it; meanwhile another run (offset 5) replaces what it made, then
# this run's flush fails: it removes nothing that is not its own, and the other's image stays.
made_then_other_run() {
  no_image && stopped="wine=wine run $d v1 5; inner=\$status" check="[ \$inner = 0 ]"
  traced -e trace=fsync -e inject=fsync:error=EIO:signal=STOP:when=1
}
# The new file's flush fails with EIO, which Wine gives as ERROR_NOT_READY: no
# errno names it, so the message is the system's (Wine's message table: "Not ready.").
flush_fails() { traced -e trace=fsync -e inject=fsync:error=EIO:when=1; }
no_image_flush_fails() { no_image && flush_fails; }
# No image: this run makes it; meanwhile it is removed, then the flush fails: nothing is left to
# remove, and only the reason is said.
made_removed_then_fails() {
  no_image && stopped="rm $d/$img"
  traced -e trace=fsync -e inject=fsync:error=EIO:signal=STOP:when=1
}
# No image: this run makes it; meanwhile its whole folder is removed, then the flush fails:
# nothing is left to remove, and only the reason is said.
made_folder_removed_then_fails() {
  no_image && stopped="rm -r $d"
  traced -e trace=fsync -e inject=fsync:error=EIO:signal=STOP:when=1
}
# ReplaceFileW refuses an image that became read-only meanwhile.
made_read_only() {
  stopped="chmod 444 $d/$img"
  traced -e trace=fsync -e inject=fsync:signal=STOP:when=1
}

# Another program holds a shared lock on an image with a second link a while: the run waits for
# it to let go before it writes (the image is as it was when the lock ends), then writes in place.
locked_by_another() {
  linked && rm -f "$work/lock" || return
  python3 - "$d/$img" "$work/lock" <<'PY' &
import fcntl, sys, time
with open(sys.argv[1], "rb") as image:
    fcntl.lockf(image, fcntl.LOCK_SH)
    before = image.read()
    open(sys.argv[2], "w").close()
    time.sleep(2)
    image.seek(0)
    with open(sys.argv[2], "w") as result:
        result.write("kept" if image.read() == before else "written")
PY
  locker=$!
  until [ -e "$work/lock" ]; do sleep 0.1; done
  check="wait $locker && grep -qx kept $work/lock"
}

row() {  # row WHAT SETUP STATUS MESSAGE OUTCOME
  d=$work/row$((++rows)) at=$work/row$rows/$img trace=() stopped="" check=true undo="" wine=wine
  cp -r "$work/inputs" "$d"
  rm -f "$work/trace"
  if ! "$2"; then
    eval "$undo"
    echo "windows: not run here: $1"
    return
  fi
  if [ ${#trace[@]} != 0 ]; then  # Wine run by strace, the run's number left in $work/pid
    wine=$work/traced_wine
    { printf '#!/bin/bash\nexec strace -qq -o %q' "$work/trace"
      printf ' %q' "${trace[@]}" sh -c "echo \$\$ >$work/pid && exec wine \"\$@\"" sh
      printf ' "$@"\n'; } >"$wine"
    chmod +x "$wine"
  fi
  local was=$at inode="" now want=$work/native/$img
  [ -e "$was" ] || was=$d/$img
  : >"$work/before"
  [ ! -e "$was" ] || { cp "$was" "$work/before" && inode=$(stat -L -c %i "$was"); }
  if [ -z "$stopped" ]; then
    run "$d" v1 0
  else
    (run "$d" v1 0; echo "$status" >"$work/status"; echo "$err" >"$work/err") &
    until grep -q 'stopped by' "$work/trace" 2>/dev/null || ! kill -0 $! 2>/dev/null; do sleep 0.1; done
    eval "$stopped"
    kill -CONT "$(cat "$work/pid")" 2>/dev/null || true  # unless it ended unstopped
    wait $!
    status=$(cat "$work/status") err=$(cat "$work/err")
  fi
  expect "$3" "$4" "$1"
  [ "$5" != kept ] || want=$work/before
  [ "$5" != other ] || want=$work/other.d88
  if [ "$5" = none ]; then
    [ ! -e "$at" ] || fail "$1: $at was left"
  else
    cmp -s "$at" "$want" || fail "$1: $at does not hold what it should"
    now=$(stat -L -c %i "$at")
    case $5 in new | other) [ "$now" != "$inode" ] ;; *) [ "$now" = "$inode" ] ;; esac ||
      fail "$1: $at is not the file it should be"
  fi
  eval "$check" || fail "$1: $check"
  no_leftovers "$d" "$1"
  no_leftovers "$(dirname "$at")" "$1"
  [ ${#trace[@]} = 0 ] || grep -q -e DELAYED -e INJECTED -e 'stopped by' "$work/trace" || fail "$1: strace never acted"
  eval "$undo"
}

rows=0
ctrl_c=58  # the status Wine gives for STATUS_CONTROL_C_EXIT, its low byte
#   what                                                         setup            status   message                                  outcome
row "a longer file with a second hard link: in place, cut"      linked           0        ""                                       same
row "the same, locked by another a while: waits, then writes"   locked_by_another 0       ""                                       same
row "an input's hard link as the image"                         input_linked     1        "$img: same file as input data1.bin"     kept
row "an input's symbolic link as the image"                     input_symlinked  1        "$img: same file as input ipl1.bin"      kept
row "an input that opens but fails to read"                     bad_read         1        "data7.bin: Not ready"                   kept
row "a read-only image"                                         read_only        1        "$img: Permission denied"                kept
row "a read-only image with a second hard link"                 read_only_linked 1        "$img: Permission denied"                kept
row "a link to a file elsewhere: that file replaced"            elsewhere        0        ""                                       new
row "a link to a device: written there, nothing made"           device           0        ""                                       kept
row "a folder with a Japanese name, in no ANSI code page here"   japanese         0        ""                                       new
row "a folder that takes no new file: written in place"         no_new_file      0        ""                                       same
row "a file on a full disk"                                     full             1        "$img: No space left on device"          kept
row "a file with a second hard link on a full disk"             full_linked      1        "$img: No space left on device"          kept
row "no inode for the new file: refused, not written in place"  no_inode         1        "$img: No space left on device"          kept
row "Ctrl+C while the new file exists: removed, then the end"   ctrl_c_new       $ctrl_c  ""                                       kept
row "Ctrl+C during a write in place: written, then the end"     ctrl_c_in_place  $ctrl_c  ""                                       same
row "the image moved aside meanwhile: what came replaced"       moved_aside      0        ""                                       kept
row "the image removed meanwhile: the new one takes the name"   removed          0        ""                                       new
row "another run meanwhile: both replace the image"             other_run        0        ""                                       new
row "made; another run's image meanwhile, then a failed flush"  made_then_other_run 1     "$img: Not ready"                        other
row "made; removed meanwhile, then a failed flush"              made_removed_then_fails 1 "$img: Not ready"                      none
row "made; its folder removed meanwhile, then a failed flush"   made_folder_removed_then_fails 1 "$img: Not ready"               none
row "the new file's flush fails: the system's words"            flush_fails      1        "$img: Not ready"                        kept
row "no image yet, its flush fails: nothing left"               no_image_flush_fails 1    "$img: Not ready"                    none
row "made read-only meanwhile: the replace refused"             made_read_only   1        "$img: Permission denied"                kept
wine=wine
echo "windows: $rows rows of what stands under the image's name: ok"

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
