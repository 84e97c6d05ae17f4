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
# Mostly the characters that decide token bounds; now and then any byte but NUL.
alphabet = b"aZ_09\"'\\/*+-<>=!&|:.,#;%^(){}[] \t\n\r$?@~\x80\xff"
with open("random.c", "wb") as f:
    f.write(bytes(rng.choice(alphabet) if rng.random() < 0.9 else rng.randrange(1, 256)
                  for _ in range(300000)))
PY
    cp "$data/sample.c" "$data/../../../examples/hello.cpp" .
    for source in random.c sample.c hello.cpp; do
        run -c "$source"
        python3 "$data/../../differential/model.py" "$source" model.listing model.html
        cmp out model.listing || fail "$source: listing differs from the model"
        cmp "$source.html" model.html || fail "$source: page differs from the model"
    done
    ;;
broken_pipe | closed_stdout)
    # The page must not depend on the console taking the whole listing.
    for i in $(seq 400); do cat "$data/sample.c"; done | tr -d '\000' > big.c
    run -c big.c
    mv big.c.html expected.html
    if [ "$case" = broken_pipe ]; then
        "$quarnel" -c big.c 2>err | head -1 > first
        status=${PIPESTATUS[0]}
        [ "$(cat first)" = "$(head -1 out)" ] || fail "first line: $(cat first)"
    else
        "$quarnel" -c big.c 2>err >&-
        status=$?
    fi
    [ "$status" -eq 0 ] || fail "exit status $status"
    [ ! -s err ] || fail "wrote to standard error: $(head -c 200 err)"
    cmp big.c.html expected.html || fail "page differs"
    printf 'int x;' > small.c
    "$quarnel" -c small.c >&- 2>err
    [ "$(cat small.c.html)" = "$(sed 's/<TR><\/TABLE>/<TR><TH>0<TH>int<TH><b>Word<\/b><TR><TH>1<TH>x<TH><b>Word<\/b><TR><TH>2<TH>;<TH><font color="orange">Symbol<\/font><TR><\/TABLE>/' <<< "$empty_page")" ] ||
        fail "small page: $(cat small.c.html)"
    ;;
odd_paths)
    name=$'with space \xc3\xa9\xff.c'
    printf 'k' > "$name"
    run -c "$name"
    [ "$(cat out)" = '(0 : Word ) ->k' ] || fail "listing: $(cat out)"
    [ -f "$name.html" ] || fail "page not written"
    # Root reads any file, so the unreadable case runs as nobody, with a copy
    # of the binary that nobody can reach wherever the build tree lies.
    binary=$quarnel
    if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
        as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
        cp "$quarnel" ./quarnel.copy && binary=$work/quarnel.copy
        chmod 777 .
    else
        as_user=()
    fi
    printf 'secret' > locked.c
    chmod 000 locked.c
    "${as_user[@]}" "$binary" -c locked.c >out 2>err || fail "exit status $?"
    [ ! -s out ] && [ ! -s err ] || fail "unreadable file printed something"
    expect_empty_page locked.c.html
    ;;
out_of_memory)
    # A text that fits in memory once but not twice, or not at all, counts as
    # too large to load: an empty listing and page, no abort, nothing on stderr.
    [ -z "${QUARNEL_SANITIZED:-}" ] || { echo "sanitizers need more address space than this allows"; exit 77; }
    { printf 'first'; head -c 100000000 /dev/zero | tr '\000' ' '; printf 'last'; } > big.c
    for limit_kb in 80000 180000; do
        (ulimit -v $limit_kb && run -c big.c) || exit 1
        [ ! -s out ] || fail "printed a listing within $limit_kb KB"
        expect_empty_page big.c.html
    done
    (ulimit -v 400000 && run -c big.c) || exit 1
    [ "$(cat out)" = "$(printf '(0 : Word ) ->first\n(1 : Word ) ->last')" ] || fail "listing: $(head -c 200 out)"
    ;;
memcheck)
    command -v valgrind >/dev/null || { echo "valgrind is not installed"; exit 77; }
    cp "$data/sample.c" "$data/../../../examples/hello.cpp" .
    # A real source as well, copied here so that its page lands here too.
    real=$(ls /usr/include/c++/*/bits/stl_algo.h 2>/dev/null | head -1)
    [ -z "$real" ] || cp "$real" stl_algo.h
    for source in sample.c hello.cpp ${real:+stl_algo.h}; do
        valgrind --quiet --error-exitcode=3 --leak-check=full --show-leak-kinds=definite,indirect,possible \
            --errors-for-leak-kinds=definite,indirect,possible "$quarnel" -c "$source" >out 2>err ||
            fail "$source: $(head -c 2000 err)"
        [ ! -s err ] || fail "$source: $(head -c 2000 err)"
    done
    ;;
huge_text)
    # A text past 4 GiB: a cursor narrower than 64 bits would wrap here.
    [ -n "${QUARNEL_STRESS:-}" ] || { echo "set QUARNEL_STRESS=1 to run (10 GB of memory, a minute)"; exit 77; }
    { printf 'first'; head -c 4400000000 /dev/zero | tr '\000' ' '; printf 'last'; } > huge.c
    run -c huge.c
    [ "$(cat out)" = "$(printf '(0 : Word ) ->first\n(1 : Word ) ->last')" ] || fail "listing: $(head -c 200 out)"
    rm -f huge.c
    ;;
*)
    fail "no such case"
    ;;
esac
echo "ok [$case]"
