#!/usr/bin/env bash
# Packaging cases: installs the build into a temporary prefix, or builds the
# Debian package and extracts it, and runs the binary found there.
# Usage: run.sh BUILD_DIR SOURCE_DIR CASE
set -u
build=$1 source=$2 case=$3
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL [$case]: $*"; exit 1; }

# check_binary BINARY: the binary lists the example like the built one does.
check_binary() {
    mkdir -p "$work/got" "$work/want"
    cp "$source/examples/hello.cpp" "$work/got/"
    cp "$source/examples/hello.cpp" "$work/want/"
    (cd "$work/got" && "$1" -c hello.cpp > listing) || fail "$1 failed"
    (cd "$work/want" && "$build/quarnel" -c hello.cpp > listing)
    [ -s "$work/got/listing" ] || fail "$1 listed nothing"
    cmp "$work/got/listing" "$work/want/listing" || fail "listing of $1 differs"
    cmp "$work/got/hello.cpp.html" "$work/want/hello.cpp.html" || fail "page of $1 differs"
}

case $case in
install)
    cmake --install "$build" --prefix "$work/prefix" > "$work/log" || fail "$(cat "$work/log")"
    for file in bin/quarnel share/man/man1/quarnel.1 share/doc/quarnel/README.md; do
        [ -f "$work/prefix/$file" ] || fail "$file not installed"
    done
    check_binary "$work/prefix/bin/quarnel"
    ;;
deb)
    command -v dpkg-deb >/dev/null && command -v dpkg-shlibdeps >/dev/null ||
        { echo "dpkg-deb or dpkg-shlibdeps (dpkg-dev) is not installed"; exit 77; }
    (cd "$build" && cpack -G DEB -B "$work/pkg" > "$work/log" 2>&1) || fail "$(cat "$work/log")"
    deb=$(ls "$work"/pkg/quarnel_*_amd64.deb 2>/dev/null) || fail "no quarnel_<version>_amd64.deb"
    dpkg-deb -f "$deb" Maintainer Description Depends > "$work/fields"
    grep -q '^Maintainer: .*@' "$work/fields" || fail "no maintainer"
    grep -q '^Depends: .*libc6' "$work/fields" || fail "no shared library dependencies"
    dpkg-deb -x "$deb" "$work/root"
    [ -f "$work/root/usr/share/man/man1/quarnel.1" ] || fail "no man page in /usr/share/man/man1"
    check_binary "$work/root/usr/bin/quarnel"
    ;;
*)
    fail "no such case"
    ;;
esac
echo "ok [$case]"
