#!/usr/bin/env bash
# End-to-end cases: runs the built binary in a fresh temporary folder and
# compares what it prints and writes, byte for byte.
# Usage: run.sh QUARNEL_BINARY DATA_DIR CASE
set -u
quarnel=$1 data=$2 case=$3
work=$(mktemp -d) || exit 1
trap 'chmod -R u+rwx "$work"; rm -rf "$work"' EXIT
cd "$work" || exit 1

fail() { echo "FAIL [$case]: $*"; exit 1; }

# run ARGS...: runs quarnel, keeping stdout, stderr and the status.
run() {
    "$quarnel" "$@" >out 2>err
    status=$?
    [ "$status" -eq 0 ] || fail "exit status $status for: $*"
    [ ! -s err ] || fail "wrote to standard error: $(head -c 200 err)"
}

empty_page='<HTML><TITLE> quarnel - by morvellan </TITLE><BODY><PRE> <center>quarnel results: <br><TABLE border=1><TH>Token #<TH> Token <TH> Type <TR></TABLE></center></PRE></BODY></HTML>'

expect_empty_page() {
    [ -f "$1" ] || fail "$1 was not written"
    [ "$(cat "$1"; echo x)" = "${empty_page}x" ] || fail "$1 is not the empty page: $(head -c 300 "$1")"
}

case $case in
ignored_command_lines)
    printf 'int x;\n' > a.c
    for args in "" "-c" "-c a.c a.c" "-C a.c" "-cx a.c" "a.c" "a.c -c" "--c a.c" "- a.c"; do
        # shellcheck disable=SC2086
        run $args
        [ ! -s out ] || fail "printed something for '$args'"
        [ "$(ls)" = "$(printf 'a.c\nerr\nout')" ] || fail "wrote a file for '$args': $(ls)"
    done
    ;;
missing_file)
    run -c missing.cpp
    [ ! -s out ] || fail "printed a listing"
    expect_empty_page missing.cpp.html
    ;;
empty_file)
    : > empty.c
    run -c empty.c
    [ ! -s out ] || fail "printed a listing"
    expect_empty_page empty.c.html
    ;;
not_a_regular_file)
    mkdir src.d
    run -c src.d
    [ ! -s out ] || fail "printed a listing"
    expect_empty_page src.d.html
    ln -s /dev/null null.c
    run -c null.c
    [ ! -s out ] || fail "printed a listing for /dev/null"
    expect_empty_page null.c.html
    ;;
report_cannot_open)
    printf 'int x;\n' > a.c
    mkdir a.c.html
    run -c a.c
    [ "$(cat out)" = "$(printf '(0 : Word ) ->int\n(1 : Word ) ->x\n(2 : Symbol ) ->;')" ] ||
        fail "listing: $(cat out)"
    [ -z "$(ls a.c.html)" ] || fail "wrote into the directory"
    ;;
sample)
    cp "$data/sample.c" .
    run -c sample.c
    cmp out "$data/sample.c.listing" || fail "listing differs"
    cmp sample.c.html "$data/sample.c.html" || fail "page differs"
    printf 'stale' > sample.c.html
    run -c sample.c
    cmp sample.c.html "$data/sample.c.html" || fail "second run's page differs"
    ;;
relative_path)
    mkdir -p sub/dir
    printf 'k' > sub/dir/f.cpp
    run -c sub/dir/f.cpp
    [ "$(cat out)" = '(0 : Word ) ->k' ] || fail "listing: $(cat out)"
    [ -f sub/dir/f.cpp.html ] || fail "page not written next to the source"
    ;;
differential)
    # Seeded random text dense in the characters that decide token bounds,
    # lexed by the tool and by the independent model; both must agree.
    python3 - <<'PY'
import random
rng = random.Random(20261206)
alphabet = b"aZ_09\"'\\/*+-<>=!&|:.,#;%^ \t\n\r$?@~\x80\xff"
with open("random.c", "wb") as f:
    f.write(bytes(rng.choice(alphabet) for _ in range(300000)))
PY
    cp "$data/sample.c" "$data/../../../examples/hello.cpp" .
    for source in random.c sample.c hello.cpp; do
        run -c "$source"
        python3 "$data/../../differential/model.py" "$source" model.listing model.html
        cmp out model.listing || fail "$source: listing differs from the model"
        cmp "$source.html" model.html || fail "$source: page differs from the model"
    done
    ;;
*)
    fail "no such case"
    ;;
esac
echo "ok [$case]"
