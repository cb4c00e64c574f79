#!/usr/bin/env bash
# Two builds of the commit at HEAD must give byte-identical packages. The
# commit is cloned twice, into folders of different names and lengths, and
# each clone is configured, built and packed on its own, the second some
# seconds later, in another time zone and built under another umask; SOURCE_DATE_EPOCH
# is left unset, so the packages take their times from the commit. The
# packages are compared byte for byte and, when they differ, member by
# member, naming what differs. The .deb's files must also carry the commit's
# time. Both are packed under umask 022: CPack writes the modes of the .deb's
# members, as the packing user's umask made them, into the .deb. The page
# that cpack puts beside the package must be the same file too.
# Usage: reproducible_check.sh [TOOLCHAIN_FILE]
#   Without a toolchain file, the native .deb; with one, that target's
#   package (cmake/mingw-w64-x86_64.cmake: the Windows zip). The file is
#   named relative to the top of the tree.
# Uncommitted changes are not part of the check. The tests are not built:
# they are no part of a package. Needs git, cmake, python3 and, for a .deb,
# dpkg-dev; without them the check is skipped (exit 77), except under
# CI=true, where it fails.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
toolchain=${1:-}
fail() { echo "FAIL: $*"; exit 1; }
skip() {
  [ "${CI:-}" = true ] && fail "$*"
  echo "SKIP: $*"
  exit 77
}
for tool in git cmake cpack python3; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
top=$(git -C "$here" rev-parse --show-toplevel 2>&1) || skip "git finds no work tree here: $top"
commit=$(git -C "$top" rev-parse HEAD)
epoch=$(git -C "$top" log -1 --format=%ct "$commit")
case $toolchain in
  *mingw*) ;;
  *) for tool in dpkg-architecture dpkg-shlibdeps; do
       command -v "$tool" >/dev/null || skip "$tool (dpkg-dev) is not installed"
     done ;;
esac

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# build_and_pack FOLDER UMASK TZ: a clone of the commit in FOLDER, built and
# packed there; the package is left in FOLDER/package.
build_and_pack() {
  local dir=$1 mask=$2 zone=$3
  mkdir -p "$dir"
  git -c advice.detachedHead=false clone -q "$top" "$dir/src"
  git -C "$dir/src" checkout -q --detach "$commit"
  (
    umask "$mask"
    export TZ=$zone
    unset SOURCE_DATE_EPOCH
    cd "$dir/src"
    cmake -S . -B build -DGEN_TARSILP6_TESTS=OFF \
      ${toolchain:+-DCMAKE_TOOLCHAIN_FILE=$toolchain} >"$dir/log" 2>&1 &&
      cmake --build build -j2 >>"$dir/log" 2>&1 &&
      (umask 0022 && cd build && cpack -B "$dir/package" >>"$dir/log" 2>&1)
  ) || { tail -n 30 "$dir/log"; fail "building or packing in $dir failed"; }
}

started=$SECONDS
build_and_pack "$work/a" 0022 UTC0
build_and_pack "$work/second-folder/longer-name" 0002 JST-9
one=$(find "$work/a/package" -maxdepth 1 -type f \( -name '*.deb' -o -name '*.zip' \))
two=$(find "$work/second-folder/longer-name/package" -maxdepth 1 -type f \( -name '*.deb' -o -name '*.zip' \))
[ -n "$one" ] && [ "$(wc -l <<<"$one")" = 1 ] || fail "the first build made no single package: $one"
[ -n "$two" ] && [ "$(wc -l <<<"$two")" = 1 ] || fail "the second build made no single package: $two"
[ "$(basename "$one")" = "$(basename "$two")" ] ||
  fail "the packages are named differently: $(basename "$one"), $(basename "$two")"

# The executables as built, before CPack strips them: no folder, time or
# other trace of the build in them.
for exe in gen_tarsilp6 gen_tarsilp6.exe; do
  a=$work/a/src/build/$exe b=$work/second-folder/longer-name/src/build/$exe
  [ -e "$a" ] || continue
  cmp -s "$a" "$b" || fail "two builds of $commit give different executables: build/$exe ($(cmp "$a" "$b" 2>&1 | head -n 1))"
done

# What differs between two .debs or two zips: members, their metadata, their bytes.
if ! cmp -s "$one" "$two"; then
  python3 - "$one" "$two" <<'PY' || true
import io, sys, tarfile, zipfile

def ar_members(data):
    assert data[:8] == b"!<arch>\n", "not an ar archive"
    at, out = 8, []
    while at < len(data):
        head = data[at:at + 60]
        name, size = head[:16].decode().strip(), int(head[48:58])
        out.append((name, head, data[at + 60:at + 60 + size]))
        at += 60 + size + (size & 1)
    return out

def tar_entries(blob):
    with tarfile.open(fileobj=io.BytesIO(blob)) as t:
        return {m.name: (m.mode, m.uid, m.gid, m.uname, m.gname, m.mtime, m.type,
                         t.extractfile(m).read() if m.isfile() else m.linkname)
                for m in t.getmembers()}

def compare_entries(where, a, b):
    for name in sorted(set(a) | set(b)):
        if name not in a or name not in b:
            print(f"  {where}: {name} is only in the {'second' if name in b else 'first'} package")
        elif a[name] != b[name]:
            fields = ("mode", "uid", "gid", "user", "group", "time", "type", "contents")
            diff = [f for f, x, y in zip(fields, a[name], b[name]) if x != y]
            print(f"  {where}: {name} differs in {', '.join(diff)}")

one, two = (open(p, "rb").read() for p in sys.argv[1:3])
if sys.argv[1].endswith(".deb"):
    a, b = ar_members(one), ar_members(two)
    if [m[0] for m in a] != [m[0] for m in b]:
        print(f"  ar members differ: {[m[0] for m in a]} against {[m[0] for m in b]}")
    for (name, head_a, body_a), (_, head_b, body_b) in zip(a, b):
        if head_a != head_b:
            print(f"  ar header of {name} differs: {head_a!r} against {head_b!r}")
        if body_a != body_b:
            if name.endswith((".tar", ".tar.gz", ".tar.xz", ".tar.bz2")):
                ea, eb = tar_entries(body_a), tar_entries(body_b)
                compare_entries(name, ea, eb)
                if ea == eb:
                    print(f"  {name}: the same files, differently archived or compressed")
            else:
                print(f"  {name} differs")
else:
    def entries(blob):
        with zipfile.ZipFile(io.BytesIO(blob)) as z:
            return {i.filename: (i.date_time, i.external_attr, i.create_system, i.extra,
                                 i.compress_type, z.read(i)) for i in z.infolist()}
    ea, eb = entries(one), entries(two)
    for name in sorted(set(ea) | set(eb)):
        if name not in ea or name not in eb:
            print(f"  zip: {name} is only in the {'second' if name in eb else 'first'} package")
        elif ea[name] != eb[name]:
            fields = ("time", "attributes", "system", "extra fields", "compression", "contents")
            diff = [f for f, x, y in zip(fields, ea[name], eb[name]) if x != y]
            print(f"  zip: {name} differs in {', '.join(diff)}")
    if ea == eb:
        print("  zip: the same entries, differently laid out (order, headers or compression)")
PY
  fail "two builds of $commit give different packages: $(basename "$one") differs as listed above"
fi

# The page that cpack puts beside the package, when the build made one (in
# CI it must have): the same file from both builds.
page_one=$work/a/package/gen_tarsilp6.html
page_two=$work/second-folder/longer-name/package/gen_tarsilp6.html
if [ -e "$page_one" ] || [ -e "$page_two" ] || [ "${CI:-}" = true ]; then
  [ -e "$page_one" ] && [ -e "$page_two" ] || fail "gen_tarsilp6.html is not beside both packages"
  cmp -s "$page_one" "$page_two" ||
    fail "two builds of $commit give different pages: $(cmp "$page_one" "$page_two" 2>&1 | head -n 1)"
  page=" and gen_tarsilp6.html"
fi

# The files in a .deb carry the commit's time.
if [[ "$one" == *.deb ]]; then
  times=$(dpkg-deb --fsys-tarfile "$one" | python3 -c '
import sys, tarfile
with tarfile.open(fileobj=sys.stdin.buffer, mode="r|") as t:
    print(" ".join(sorted({str(m.mtime) for m in t})))')
  [ "$times" = "$epoch" ] || fail "the files in $(basename "$one") carry times $times, not the commit's $epoch"
fi
echo "reproducible: two builds of ${commit:0:12} give the same $(basename "$one")${page:-}" \
  "($(wc -c <"$one") bytes, $((SECONDS - started)) s)"
