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

# run ARGS...: runs quarnel, keeping stdout, stderr and the status. Standard
# input is closed, so that the files quarnel opens may get descriptor 0.
run() {
    "$quarnel" "$@" <&- >out 2>err
    status=$?
    [ "$status" -eq 0 ] || fail "exit status $status for: $*"
    [ ! -s err ] || fail "wrote to standard error: $(head -c 200 err)"
}

empty_page='<HTML><TITLE> quarnel - by morvellan </TITLE><BODY><PRE> <center>quarnel results: <br><TABLE border=1><TH>Token #<TH> Token <TH> Type <TR></TABLE></center></PRE></BODY></HTML>'

models=$data/../../differential/model.py

# repeat_sample N: the sample source N times over, without its NUL.
repeat_sample() {
    python3 -c 'import sys; sys.stdout.buffer.write(open(sys.argv[1], "rb").read().replace(b"\0", b"") * int(sys.argv[2]))' \
        "$data/sample.c" "$1"
}

# need_strace: skips the case where strace is missing or cannot trace.
need_strace() {
    command -v strace >/dev/null || { echo "strace is not installed"; exit 77; }
    strace -o /dev/null true 2>/dev/null || { echo "strace cannot trace here"; exit 77; }
}

no_temporary_files() {
    ! compgen -G '.quarnel-*' >/dev/null || fail "temporary files left: $(ls -A)"
}

page_head=${empty_page%%</TABLE>*}
page_tail=${empty_page#"$page_head"}

# expect_page FILE [ROWS]: FILE is the page with these rows, or with none.
expect_page() {
    [ -f "$1" ] || fail "$1 was not written"
    [ "$(cat "$1"; echo x)" = "$page_head${2:-}${page_tail}x" ] || fail "$1 is not as expected: $(head -c 300 "$1")"
}
expect_empty_page() { expect_page "$1"; }
k_row='<TH>0<TH>k<TH><b>Word</b><TR>'


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
    mkfifo fifo.c  # nothing ever writes to it: opening it to read would wait for ever
    timeout 20 "$quarnel" -c fifo.c >out 2>err || fail "a FIFO as the source: status $?"
    [ ! -s out ] && [ ! -s err ] || fail "printed something for a FIFO"
    expect_empty_page fifo.c.html
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
    expect_page sub/dir/f.cpp.html "$k_row"
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
        python3 "$models" "$source" model.listing model.html
        cmp out model.listing || fail "$source: listing differs from the model"
        cmp "$source.html" model.html || fail "$source: page differs from the model"
    done
    ;;
broken_pipe | closed_stdout)
    # The page must not depend on the console taking the whole listing.
    repeat_sample 400 > big.c
    python3 "$models" big.c expected.listing expected.html
    if [ "$case" = broken_pipe ]; then
        "$quarnel" -c big.c 2>err | head -1 > first
        status=${PIPESTATUS[0]}
        [ "$(cat first)" = "$(head -1 expected.listing)" ] || fail "first line: $(cat first)"
    else
        "$quarnel" -c big.c 2>err >&-
        status=$?
    fi
    [ "$status" -eq 0 ] || fail "exit status $status"
    [ ! -s err ] || fail "wrote to standard error: $(head -c 200 err)"
    cmp big.c.html expected.html || fail "page differs"
    printf 'int x;' > small.c
    "$quarnel" -c small.c >&- 2>err || fail "exit status $? for a small page"
    [ ! -s err ] || fail "wrote to standard error: $(head -c 200 err)"
    expect_page small.c.html '<TH>0<TH>int<TH><b>Word</b><TR><TH>1<TH>x<TH><b>Word</b><TR><TH>2<TH>;<TH><font color="orange">Symbol</font><TR>'
    ;;
odd_paths)
    name=$'with space \xc3\xa9\xff.c'
    printf 'k' > "$name"
    run -c "$name"
    [ "$(cat out)" = '(0 : Word ) ->k' ] || fail "listing: $(cat out)"
    expect_page "$name.html" "$k_row"
    # Root reads and writes any file, so the permission cases run as nobody,
    # with a copy of the binary that nobody can reach wherever the build tree lies.
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
    printf 'k' > readonly.c  # read, never opened for writing
    chmod 444 readonly.c
    "${as_user[@]}" "$binary" -c readonly.c >out 2>err || fail "exit status $?"
    [ "$(cat out)" = '(0 : Word ) ->k' ] && [ ! -s err ] || fail "read-only source: $(cat out err)"
    expect_page readonly.c.html "$k_row"
    ;;
out_of_memory)
    [ -z "${QUARNEL_SANITIZED:-}" ] || { echo "sanitizers need more address space than this allows"; exit 77; }
    # A text that does not fit in memory, or fits once but not twice, counts
    # as too large to load: an empty listing and a complete empty page.
    { printf 'first'; head -c 100000000 /dev/zero | tr '\000' ' '; printf 'last'; } > big.c
    for limit_kb in 80000 180000; do
        rm -f big.c.html
        (ulimit -v $limit_kb && run -c big.c) || exit 1
        [ ! -s out ] || fail "printed a listing within $limit_kb KB"
        expect_empty_page big.c.html
    done
    rm big.c big.c.html
    # Every limit from just enough to start up to enough to finish, 16 KB
    # apart: status 0, nothing on stderr, no temporary file left, and the
    # page either the previous one or complete (empty when the text did not load).
    repeat_sample 300 > src.c
    python3 "$models" src.c model.listing model.html
    python3 - "$quarnel" "$empty_page" <<'PY' || exit 1
import glob, resource, subprocess, sys
quarnel, empty_page = sys.argv[1], sys.argv[2].encode()
model = open("model.html", "rb").read()

def run(limit_kb, *args):
    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (limit_kb << 10, limit_kb << 10))
    return subprocess.run([quarnel, *args], preexec_fn=limit, capture_output=True)

start_kb = 2000
while run(start_kb).returncode != 0:
    start_kb += 100
for limit_kb in range(start_kb, start_kb + 4000, 16):
    open("src.c.html", "wb").write(b"previous")
    done = run(limit_kb, "-c", "src.c")
    page = open("src.c.html", "rb").read()
    complete = page == model or (page == empty_page and done.stdout == b"")
    if done.returncode != 0 or done.stderr or glob.glob(".quarnel-*") or not (page == b"previous" or complete):
        sys.exit(f"FAIL [out_of_memory]: within {limit_kb} KB: status {done.returncode}, "
                 f"stderr {done.stderr[:100]!r}, page {page[:100]!r}")
if page != model or done.stdout != open("model.listing", "rb").read():
    sys.exit(f"FAIL [out_of_memory]: {limit_kb} KB is not enough to finish")
PY
    ;;
odd_page_entries)
    # Whatever stands at the page's name is replaced by the page; nothing
    # is written through a link and nothing waits on a FIFO.
    cp "$data/sample.c" .
    printf 'keep' > target
    ln -s target link.c.html
    ln -s nowhere dangling.c.html
    ln -s sample.c source.c.html
    ln -s "$PWD" dir-link.c.html
    mkfifo fifo.c.html
    python3 -c 'import socket; socket.socket(socket.AF_UNIX).bind("socket.c.html")'
    mknod device.c.html c 1 3 2>/dev/null || echo "device case skipped: mknod is not permitted"
    for page in *.c.html; do
        ln -s sample.c "${page%.html}"
        timeout 20 "$quarnel" -c "${page%.html}" >out 2>err || fail "$page: status $?"
        [ -f "$page" ] && [ ! -L "$page" ] || fail "$page is not a regular file"
        cmp "$page" "$data/sample.c.html" || fail "$page differs"
    done
    [ "$(cat target)" = keep ] || fail "written through a link"
    [ ! -e nowhere ] || fail "a dangling link's target was created"
    cmp sample.c "$data/sample.c" || fail "the source was overwritten"
    no_temporary_files
    ;;
page_permissions)
    cp "$data/sample.c" .
    (umask 027 && run -c sample.c)
    [ "$(stat -c %a sample.c.html)" = 640 ] || fail "a new page has mode $(stat -c %a sample.c.html)"
    chmod 604 sample.c.html
    run -c sample.c
    [ "$(stat -c %a sample.c.html)" = 604 ] || fail "a replaced page has mode $(stat -c %a sample.c.html)"
    cmp sample.c.html "$data/sample.c.html" || fail "the replaced page differs"
    chmod 000 sample.c.html
    run -c sample.c
    [ "$(stat -c %a sample.c.html)" = 0 ] || fail "a page of mode 000 has mode $(stat -c %a sample.c.html)"
    chmod 644 sample.c.html
    # A directory that takes no new file: a writable page is written in
    # place, and nothing else is written. Root writes anywhere, so this runs
    # as nobody, with a copy of the binary that nobody can reach.
    [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null || { echo "needs root and setpriv"; exit 77; }
    chmod 755 .
    cp "$quarnel" quarnel.copy
    mkdir locked
    cp "$data/sample.c" locked/a.c
    cp "$data/sample.c" locked/b.c
    printf 'previous' > locked/a.c.html
    printf 'previous' > locked/b.c.html
    chown 65534 locked/a.c.html
    chmod 555 locked
    for source in a.c b.c c.c; do
        setpriv --reuid=65534 --regid=65534 --clear-groups ./quarnel.copy -c locked/$source <&- >out 2>err ||
            fail "status $? for $source"
        [ ! -s err ] || fail "wrote to standard error: $(head -c 200 err)"
    done
    cmp locked/a.c.html "$data/sample.c.html" || fail "the writable page was not written in place"
    [ "$(cat locked/b.c.html)" = previous ] || fail "a page nobody may write was changed"
    [ "$(ls -A locked)" = "$(printf 'a.c\na.c.html\nb.c\nb.c.html')" ] || fail "files left: $(ls -A locked)"
    ;;
full_disk)
    [ "$(id -u)" -eq 0 ] || { echo "mounting a small file system needs root"; exit 77; }
    mkdir small
    mount -t tmpfs -o size=64k tmpfs small 2>/dev/null || { echo "mounting a tmpfs is not permitted here"; exit 77; }
    trap 'umount "$work/small"; rm -rf "$work"' EXIT
    repeat_sample 30 > small/big.c
    printf 'previous' > small/big.c.html
    run -c small/big.c
    [ "$(cat small/big.c.html)" = previous ] || fail "the previous page was lost: $(head -c 100 small/big.c.html)"
    (cd small && no_temporary_files)
    ;;
file_size_limit)
    repeat_sample 30 > big.c
    printf 'previous' > big.c.html
    # The listing goes through a pipe, which the limit does not cover.
    (ulimit -f 40 && "$quarnel" -c big.c 2>err; echo $? > status) | cat > out
    [ "$(cat status)" = 0 ] || fail "exit status $(cat status)"
    [ ! -s err ] || fail "wrote to standard error: $(head -c 200 err)"
    [ "$(cat big.c.html)" = previous ] || fail "the previous page was lost: $(head -c 100 big.c.html)"
    no_temporary_files
    ;;
signals)
    # A signal while the page is written removes the new file, keeps the
    # previous page and ends the run as that signal does; an ignored one
    # stays ignored. Job control keeps SIGINT from being ignored here.
    set -m
    repeat_sample 20000 > big.c
    for signal in INT TERM HUP; do
        printf 'previous' > big.c.html
        "$quarnel" -c big.c >/dev/null 2>err &
        until compgen -G '.quarnel-*' >/dev/null; do kill -0 $! 2>/dev/null || fail "$signal: no page file seen"; done
        kill -s $signal $!
        wait $!
        status=$?
        [ "$status" -eq $((128 + $(kill -l $signal))) ] || fail "$signal: exit status $status"
        [ "$(cat big.c.html)" = previous ] || fail "$signal: the previous page was lost"
        no_temporary_files
    done
    ( trap '' HUP; exec "$quarnel" -c big.c >/dev/null 2>err ) &
    until compgen -G '.quarnel-*' >/dev/null; do :; done
    kill -s HUP $!
    wait $! || fail "an ignored SIGHUP ended the run"
    [ "$(head -c 6 big.c.html)" = '<HTML>' ] || fail "an ignored SIGHUP cost the page"
    ;;
listing_before_page)
    # The whole listing is written before the page's file is created.
    need_strace
    repeat_sample 100 > big.c
    strace -o trace -e trace=write,openat "$quarnel" -c big.c > out 2>err
    cmp -s out <(python3 "$models" big.c /dev/stdout /dev/null) || fail "listing differs"
    last_listing=$(grep -n '^write(1,' trace | tail -1 | cut -d: -f1)
    page_created=$(grep -nE 'openat\(.*(\.quarnel-|\.html")' trace | head -1 | cut -d: -f1)
    [ -n "$last_listing" ] && [ -n "$page_created" ] && [ "$last_listing" -lt "$page_created" ] ||
        fail "the page's file was created before the listing was complete"
    ;;
large_pages)
    # Both copies of a large text are offered large pages: whole 2 MiB pages
    # within their own mappings. A small text, which holds no whole large
    # page, makes no call.
    [ "$(uname -s)" = Linux ] || { echo "large pages are asked for on Linux only"; exit 77; }
    [ -e /sys/kernel/mm/transparent_hugepage/enabled ] ||
        { echo "this kernel has no transparent huge pages to ask for"; exit 77; }
    need_strace
    repeat_sample 20000 > big.c  # 7 MB
    cp "$data/sample.c" small.c
    for source in big.c small.c; do
        strace -o "$source.trace" -e trace=mmap,madvise "$quarnel" -c "$source" >/dev/null 2>err
    done
    python3 - big.c.trace small.c.trace <<'CHECK' || fail "large pages asked for wrongly"
import re, sys
large = 2 << 20
def calls(trace):
    text = open(trace).read()
    maps = [(int(a, 16), int(n)) for n, a in re.findall(r"mmap\(NULL, (\d+), .*MAP_ANONYMOUS.*= (0x[0-9a-f]+)", text)]
    hints = [(int(a, 16), int(n)) for a, n in re.findall(r"madvise\((0x[0-9a-f]+), (\d+), MADV_HUGEPAGE\) = 0", text)]
    return maps, hints
maps, hints = calls(sys.argv[1])
assert len(hints) == 2
for start, size in hints:
    assert start % large == 0 and size % large == 0 and size >= 2 * large
    assert any(m <= start and start + size <= m + n for m, n in maps)
assert calls(sys.argv[2])[1] == []
CHECK
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
