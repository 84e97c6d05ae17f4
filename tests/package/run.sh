#!/usr/bin/env bash
# Packaging cases: installs the build into a temporary prefix, or builds the
# Debian package and extracts it, and runs the binary found there.
# Usage: run.sh BUILD_DIR SOURCE_DIR CASE
set -u
build=$1 source=$2 case=$3
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL [$case]: $*"; exit 1; }

# check_binary BINARY: the installed binary lists the example as expected.
check_binary() {
    mkdir -p "$work/run"
    cp "$source/examples/hello.cpp" "$work/run/"
    (cd "$work/run" && "$1" -c hello.cpp > listing) || fail "$1 failed"
    cmp "$work/run/listing" "$source/tests/e2e/data/hello.cpp.listing" || fail "listing of $1 differs"
    cmp "$work/run/hello.cpp.html" "$source/tests/e2e/data/hello.cpp.html" || fail "page of $1 differs"
}

case $case in
install)
    cmake --install "$build" --prefix "$work/prefix" > "$work/log" || fail "$(cat "$work/log")"
    for file in bin/quarnel share/man/man1/quarnel.1 share/doc/quarnel/README.md share/doc/quarnel/NEWS; do
        [ -f "$work/prefix/$file" ] || fail "$file not installed"
    done
    check_binary "$work/prefix/bin/quarnel"
    ;;
deb)
    command -v dpkg-deb >/dev/null && command -v dpkg-shlibdeps >/dev/null ||
        { echo "dpkg-deb or dpkg-shlibdeps (dpkg-dev) is not installed"; exit 77; }
    (cd "$build" && cpack -G DEB -B "$work/pkg" > "$work/log" 2>&1) || fail "$(cat "$work/log")"
    version=$(sed -n 's/^project(quarnel VERSION \([0-9.]*\)$/\1/p' "$source/CMakeLists.txt")
    deb=$(ls "$work/pkg/quarnel_${version}_amd64.deb" 2>/dev/null) || fail "no quarnel_${version}_amd64.deb"
    dpkg-deb -f "$deb" Maintainer Description Depends > "$work/fields"
    grep -q '^Maintainer: .*@' "$work/fields" || fail "no maintainer"
    grep -q '^Depends: .*libc6' "$work/fields" || fail "no shared library dependencies"
    dpkg-deb -x "$deb" "$work/root"
    [ -f "$work/root/usr/share/man/man1/quarnel.1" ] || fail "no man page in /usr/share/man/man1"
    [ -f "$work/root/usr/share/doc/quarnel/NEWS" ] || fail "no NEWS in /usr/share/doc/quarnel"
    check_binary "$work/root/usr/bin/quarnel"
    ;;
zip)
    (cd "$build" && cpack -G ZIP -B "$work/pkg" > "$work/log" 2>&1) || fail "$(cat "$work/log")"
    version=$(sed -n 's/^project(quarnel VERSION \([0-9.]*\)$/\1/p' "$source/CMakeLists.txt")
    python3 - "$work/pkg/quarnel-$version-win64.zip" "quarnel-$version-win64" <<'PY' || fail "the ZIP is not as expected"
import sys, zipfile
names = sorted(zipfile.ZipFile(sys.argv[1]).namelist())
want = sorted(f"{sys.argv[2]}/{name}" for name in ("NEWS", "README.md", "quarnel.exe"))
sys.exit(0 if names == want else f"{names} != {want}")
PY
    ;;
*)
    fail "no such case"
    ;;
esac
echo "ok [$case]"
