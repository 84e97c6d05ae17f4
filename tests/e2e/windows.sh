#!/usr/bin/env bash
# End-to-end cases for the Windows build, run under an emulator (Wine) in a
# fresh temporary folder. There, text mode folds CR LF to LF on reading and
# writes every LF as CR LF, in the listing and in the page alike.
# Usage: windows.sh EMULATOR QUARNEL_EXE CASE
set -u
emulator=$1 quarnel=$2 case=$3
[ -n "$emulator" ] || { echo "no emulator for the Windows build (install wine)"; exit 77; }
export WINEDEBUG=-all
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
"$emulator" "$quarnel" >/dev/null 2>&1  # the first run under Wine sets up its prefix

fail() { echo "FAIL [$case]: $*"; exit 1; }

# run SOURCE: runs quarnel on SOURCE, keeping the listing in out.
run() {
    "$emulator" "$quarnel" -c "$1" >out 2>/dev/null || fail "exit status $? for $1"
}

# expect FILE TEXT: FILE holds exactly TEXT (printf escapes allowed).
expect() {
    printf "$2" > expected
    cmp -s "$1" expected || fail "$1 differs: $(od -c "$1" | head -5)"
}

head='<HTML><TITLE> quarnel - by morvellan </TITLE><BODY><PRE> <center>quarnel results: <br><TABLE border=1><TH>Token #<TH> Token <TH> Type <TR>'
tail='</TABLE></center></PRE></BODY></HTML>'
word='<TH><b>Word</b><TR>' comment='<TH><font color="green">Comment</font><TR>'

case $case in
text_mode)
    printf 'a /* one\ntwo */ b // c\nd\n' > lf.c
    printf 'a /* one\r\ntwo */ b // c\r\nd\r\n' > crlf.c
    for source in lf.c crlf.c; do
        run $source
        expect out '(0 : Word ) ->a\r\n(1 : Comment ) -> one\r\ntwo \r\n(2 : Word ) ->b\r\n(3 : Comment ) -> c\r\n(4 : Word ) ->d\r\n'
        expect $source.html "$head<TH>0<TH>a$word<TH>1<TH> one\r\ntwo $comment<TH>2<TH>b$word<TH>3<TH> c$comment<TH>4<TH>d$word$tail"
    done
    printf 'x\ry /* p\rq */' > cr.c  # a lone CR separates tokens and stays in a comment
    run cr.c
    expect out '(0 : Word ) ->x\r\n(1 : Word ) ->y\r\n(2 : Comment ) -> p\rq \r\n'
    ;;
page)
    printf 'k' > a.c
    printf 'previous' > a.c.html
    run a.c
    expect a.c.html "$head<TH>0<TH>k$word$tail"
    mkdir b.c.html
    printf 'k' > b.c
    run b.c
    expect out '(0 : Word ) ->k\r\n'
    [ -z "$(ls -A b.c.html)" ] || fail "wrote into the directory"
    [ -z "$(ls -A | grep quarnel-)" ] || fail "temporary files left: $(ls -A)"
    ;;
*)
    fail "no such case"
    ;;
esac
echo "ok [$case]"
