# The page is the previous one or the complete new one, whatever stops a run
# from writing it; it is written in place only where the folder refuses a
# new file for want of permission or for its attributes, and then never
# looks finished before it is; it is dated with the moment its source was
# read, or before a source that replaced it; and no run leaves a name behind.
import os
import re
import resource
import select
import signal
import stat
import struct
import subprocess

import pytest

from conftest import DAEMON, NO_FOWNER, NO_PROC, NOBODY, OWN_MOUNTS, acl, expected, need, read, repeat_sample, strace, succeeds, \
    write

ENDING = ["HUP", "INT", "QUIT", "TERM", "ALRM", "USR1", "USR2", "VTALRM", "PROF", "XCPU"]
EOPNOTSUPP = 95
FSIZE_40K = [(resource.RLIMIT_FSIZE, (40 << 10,) * 2)]
EARLIER = 1_700_000_000_123_456_789  # long before any run, in nanoseconds


@pytest.fixture
def place(request, work, quarnel):
    # place(WHERE, WHO) makes the folder f that a source and its page go in,
    # and returns the options that run quarnel there as WHO ("nobody", with
    # "CAP_FOWNER permitted", or a command that runs quarnel) and what locks
    # it once its files are written. WHERE: "." (a plain folder), "locked"
    # (nobody's page in a folder nobody may not write: written in place by
    # nobody's run), or a file system of its own: "full" (no room for the
    # page), "no inodes" (room, but no new file), "append-only", "immutable",
    # "sticky" (a third user's sticky folder with room for one page, not two,
    # where the page is another user's), "whole seconds" (ext4 of 128-byte
    # inodes), "fuse" (bindfs, which dates a file only when given both times).
    def make(where, who=None):
        if where in (".", "locked"):
            os.makedirs("f")
        else:
            request.getfixturevalue("mount")("f", *{
                "full": ("tmpfs", "size=64k"), "no inodes": ("tmpfs", "size=1m,nr_inodes=3"),
                "sticky": ("tmpfs", "size=128k"), "whole seconds": ("ext4 -I 128", ""),
                "fuse": ("bindfs", "")}.get(where, ("tmpfs", "size=64m")))
        options = dict(request.getfixturevalue("nobody")) if where == "locked" or "nobody" in str(who) else {}
        if who and "CAP_FOWNER permitted" in who:
            need(succeeds("setcap", "cap_fowner=p", options["binary"]), "setcap is missing or refused")
        elif isinstance(who, list):
            need(os.geteuid() == 0, "dropping a capability needs root")
            options["binary"] = who + [quarnel]
        page_owner = 0 if options.get("user") else NOBODY
        return options, {
            "append-only": lambda: need(succeeds("chattr", "+a", "f"), "chattr is missing or refused"),
            "immutable": lambda: need(succeeds("chattr", "+i", "f"), "chattr is missing or refused"),
            "locked": lambda: ([os.chown(f"f/{name}", NOBODY, NOBODY) for name in os.listdir("f")], os.chmod("f", 0o555)),
            "sticky": lambda: (os.chown("f/s.c.html", page_owner, page_owner), os.chmod("f/s.c.html", 0o666),
                               os.chown("f", 1234, 1234), os.chmod("f", 0o1777))}.get(where, lambda: None)
    return make


def prepared(lock, copies=30):
    # A source, dated long before the run, and a previous page in f, locked:
    # the expected listing and page, and the previous page's inode.
    repeat_sample(copies, "f/s.c")
    os.utime("f/s.c", ns=(EARLIER, EARLIER))
    write("f/s.c.html", b"previous")
    lock()
    return (*expected("f/s.c"), os.stat("f/s.c.html").st_ino)


def outcome(page, inode, source="f/s.c"):
    # Which page is left: "previous", "none", "l" or "p" (a link or a FIFO),
    # or else what it holds ("new", "empty table", "cut"), whether "in place",
    # and when it is dated against its source (" but older", " at the epoch",
    # " the same"; nothing for newer).
    path = source + ".html"
    if not os.path.lexists(path) or not stat.S_ISREG(os.lstat(path).st_mode):
        return stat.filemode(os.lstat(path).st_mode)[0] if os.path.lexists(path) else "none"
    text, status = read(path), os.stat(path)
    if text == b"previous":
        return "previous"
    dated = status.st_mtime_ns - (os.stat(source).st_mtime_ns if os.path.exists(source) else 0)
    return ("new" if text == page else "empty table" if text == expected("/dev/null")[1] else "cut") + (
        " in place" if status.st_ino == inode else "") + (
        "" if dated > 0 else " at the epoch" if status.st_mtime_ns == 0 else " but older" if dated < 0 else " the same")


def rights(path):
    # Who may do what with a file, by its mode and ACL: {(kind, id): bits}.
    status, entries = os.lstat(path), acl(path) or b""
    found = {("user", status.st_uid): status.st_mode >> 6 & 7, ("group", status.st_gid): status.st_mode >> 3 & 7,
             ("other", None): status.st_mode & 7}
    tags = [struct.unpack_from("<HHI", entries, at) for at in range(4, len(entries), 8)]
    mask = next((bits for tag, bits, _ in tags if tag == 16), 7)
    for tag, bits, who in tags:  # named users, the owning group, named groups
        if tag in (2, 4, 8):
            found[("user" if tag == 2 else "group", status.st_gid if tag == 4 else who)] = bits & mask
    return found


def names_left(folder="f"):
    # What the files left beside the source and its page hold.
    return sorted(read(f"{folder}/{name}") for name in set(os.listdir(folder)) - {"s.c", "s.c.html", "lost+found"})


def at(call, action, when=1):
    return f"-e inject={call}:{action}:when={when} "


NEW_FILE = "-P f " + at("openat", "{}", 2)  # the second thing opened in the page's folder, after the look at the page
CHANGE = "echo >> f/s.c && touch -d @$TICK f/s.c"  # a change within the tick the source was read in
ROWS = [
    # name, where, settings (strace: what strace injects; start: a signal started ignored or blocked; limits;
    # source: how it stands, None for f/s.c itself, else g/s.c, a link to f/s.c or to a/s.c; proc; the rest
    # the shim's), what is left
    ("file-size limit", ".", {"limits": FSIZE_40K}, "previous"),
    ("full file system", "full", {}, "previous"),
    ("out of inodes", "no inodes", {}, "previous"),
    # Written in place only where the folder refuses a new file for want of permission or for its attributes.
    *((f"no new file: {name}", ".", {"strace": NEW_FILE.format("error=" + name)}, left) for name, left in [
        ("EACCES", "new in place"), ("EPERM", "new in place"), ("EROFS", "previous"), ("ENOSPC", "previous"),
        ("EDQUOT", "previous"), ("EIO", "previous")]),
    ("append-only folder", "append-only", {}, "new in place"),
    ("immutable folder", "immutable", {}, "new in place"),
    # In a sticky folder, written in place at once, with no new file made first, as its effective user and
    # the capability in effect decide.
    *((f"sticky folder, {name}", "sticky", {"as": who}, "new in place") for name, who in [
        ("nobody", "nobody"), ("nobody, CAP_FOWNER permitted only", "nobody, CAP_FOWNER permitted"),
        ("root without CAP_FOWNER", NO_FOWNER), ("root without CAP_FOWNER, nobody its real user", NO_FOWNER + ["--ruid=65534"])]),
    *((f"no unnamed files: {name}", ".", {"NAMED": number}, "new") for name, number in [
        ("EOPNOTSUPP", EOPNOTSUPP), ("EISDIR", 21), ("EINVAL", 22)]),
    ("no /proc to name an unnamed file through", ".", {"proc": False}, "new"),
    # A complete page that cannot take the previous one's place is removed; its hard links keep their text.
    ("link refused", ".", {"strace": at("linkat", "error=EDQUOT")}, "previous"),
    ("rename refused", ".", {"strace": at("renameat", "error=EIO")}, "previous"),
    ("rename refused, named", ".", {"NAMED": EOPNOTSUPP, "strace": at("renameat", "error=ENOSPC")}, "previous"),
    ("a deferred write error", ".", {"CLOSE": 1}, "previous"),
    ("cannot be dated", ".", {"strace": at("utimensat", "error=EPERM")}, "previous"),
    ("the date does not take", ".", {"strace": at("utimensat", "retval=0")}, "previous"),
    ("memory runs out, the page's file open", ".", {"NOMEM": 1}, "previous"),
    ("mode cannot be set", ".", {"strace": at("fchmod", "error=EPERM")}, "new"),
    ("read error", ".", {"strace": "-P f/s.c " + at("read", "error=EIO")}, "previous, no listing"),
    ("seek error", ".", {"strace": "-P f/s.c " + at("lseek", "error=EIO")}, "previous, no listing"),
    ("source cut short as it is read", ".", {"strace": "-P f/s.c " + at("read", "retval=0")}, "previous, no listing"),
    # Standard output: a full or interrupted one waits, only a failing one ends the listing.
    *((f"standard output answers {name}", ".", {"strace": at("write", "error=" + name)}, left) for name, left in [
        ("EAGAIN", "new"), ("EINTR", "new"), ("EPIPE", "new, no listing"), ("EIO", "new, no listing")]),
    # Unfinished in place, the page is dated at the epoch.
    ("in place, file-size limit", "locked", {"limits": FSIZE_40K}, "cut in place at the epoch"),
    ("in place, memory runs out", "locked", {"NOMEM": 1}, "cut in place at the epoch"),
    ("in place, a deferred write error", "locked", {"CLOSE": 1}, "new in place at the epoch"),
    # What is put at the page's name just before it is opened in place is never written through or waited on.
    ("in place, a link swapped in", ".", {"strace": NEW_FILE.format("error=EACCES"),
                                          "AT_PLACE": "ln -sfn ../target f/s.c.html"}, "l"),
    ("in place, a FIFO swapped in", ".", {"strace": NEW_FILE.format("error=EACCES"),
                                          "AT_PLACE": "rm f/s.c.html && mkfifo f/s.c.html"}, "p"),
    # An ending signal mid-page (as the page is checked before dating) cleans up first.
    *((f"{name} mid-page", ".", {"strace": at("dup", "signal=" + name)}, "previous, killed by " + name)
      for name in ENDING + ["KILL"]),
    ("HUP mid-page, started ignored", ".", {"strace": at("dup", "signal=HUP"), "start": "ignored HUP"}, "new"),
    ("TERM mid-page, started blocked", ".", {"strace": at("dup", "signal=TERM"), "start": "blocked TERM"}, "new"),
    ("TERM mid-page, named", ".", {"NAMED": EOPNOTSUPP, "strace": at("dup", "signal=TERM")}, "previous, killed by TERM"),
    ("TERM mid-page, in place", "locked", {"strace": at("dup", "signal=TERM")},
     "new in place at the epoch, killed by TERM"),
    # A second signal waits for the first one's clean-up.
    ("TERM mid-page, HUP in the clean-up, named", ".", {
        "NAMED": EOPNOTSUPP, "strace": at("dup", "signal=TERM") + at("unlinkat", "signal=HUP")}, "previous, killed by HUP"),
    ("TERM mid-page, HUP in the clean-up, in place", "locked", {
        "strace": at("dup", "signal=TERM") + at("utimensat", "signal=HUP")}, "new in place at the epoch, killed by HUP"),
    # A fresh name taken by another file is skipped, and that file kept; a
    # signal as a name is made waits until the name is the run's own.
    ("name taken", ".", {"TAKE": 1}, "new, left [b'taken']"),
    ("name taken, named", ".", {"TAKE": 1, "NAMED": EOPNOTSUPP}, "new, left [b'taken']"),
    ("TERM as the name is made", ".", {"TAKE": 1, "strace": at("linkat", "signal=TERM")},
     "new, killed by TERM, left [b'taken']"),
    ("TERM as the name is made, named", ".", {"TAKE": 1, "NAMED": EOPNOTSUPP, "strace": at("rt_sigprocmask",
     "signal=TERM", 2)}, "previous, killed by TERM, left [b'taken']"),
    # A page newer than its source is a page of the source as it now is.
    ("unchanged", ".", {}, "new"),
    ("changed", ".", {"AT_PAGE": CHANGE}, "new but older"),
    ("changed, the page in place", "locked", {"AT_PAGE": CHANGE}, "new in place but older"),
    ("saved by a rename", ".", {"AT_PAGE": "mv saved.c f/s.c"}, "new but older"),
    ("saved by a rename, dated before 1970", ".", {"AT_PAGE": "touch -d @-1000.5 saved.c && mv saved.c f/s.c"},
     "new but older"),
    ("removed", ".", {"AT_PAGE": "rm f/s.c"}, "new at the epoch"),
    ("missing from the start", ".", {"source": "missing"}, "new"),
    ("unchanged, on a file system of whole seconds", "whole seconds", {}, "new"),
    ("changed, on a file system of whole seconds", "whole seconds", {"AT_PAGE": CHANGE}, "new but older"),
    ("changed, reached through a link to a file system of whole seconds", "whole seconds",
     {"source": "link", "AT_PAGE": CHANGE}, "new but older"),
    ("changed, on FUSE", "fuse", {"AT_PAGE": CHANGE}, "new but older"),
    ("replaced by a file of the same inode number on another device", ".",
     {"source": "same inode", "AT_PAGE": "ln -sfn ../b/s.c g/s.c"}, "new but older"),
]


@pytest.mark.parametrize("where, settings, left", [row[1:] for row in ROWS], ids=[row[0] for row in ROWS])
def test_page(where, settings, left, place, shim, quarnel, request):
    settings = dict(settings)
    traced, start, limits, setup, who = (settings.pop(key, None) for key in ("strace", "start", "limits", "source", "as"))
    need(not ("NOMEM" in settings and os.environ.get("QUARNEL_SANITIZED")), "sanitizers hold their memory beforehand")
    options, lock = place(where, who)
    repeat_sample(30, "f/s.c")
    write("saved.c", b"int saved;")
    write("target", b"keep")
    source = "g/s.c" if setup in ("link", "same inode") else "f/s.c"
    if setup == "same inode":  # two tmpfs, each with its one file: the same inode number
        for folder, text in [("a", read("f/s.c")), ("b", b"int b;")]:
            request.getfixturevalue("mount")(folder)
            write(f"{folder}/s.c", text)
        need(os.stat("a/s.c").st_ino == os.stat("b/s.c").st_ino, "the two files have different inode numbers")
    if source == "g/s.c":
        os.makedirs("g")
        os.symlink("../a/s.c" if setup == "same inode" else "../f/s.c", source)
    for path in ("saved.c", source, "b/s.c"):
        os.path.exists(path) and os.utime(path, ns=(EARLIER, EARLIER))
    write(source + ".html", b"previous")
    lock()
    setup == "missing" and os.remove(source)
    listing, page = expected(source)
    inode = os.stat(source + ".html").st_ino
    binary = options.pop("binary", quarnel)
    argv = (binary if isinstance(binary, list) else [binary]) + ["-c", source]
    if traced:
        argv = strace(*traced.replace("-P ", f"-P {os.getcwd()}/").split(), output="/dev/null") + argv
    if settings.pop("proc", True) is False:
        need(OWN_MOUNTS == [True] and not os.environ.get("QUARNEL_SANITIZED"),
             "hiding /proc needs a mount namespace of the tests' own, and a run without sanitizers, which read it")
        argv = NO_PROC + argv

    def prepare():  # as a shell with job control starts a command, whatever the tests were started with
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
        for limit in limits or ():
            resource.setrlimit(*limit)
        how, _, name = (start or " ").partition(" ")
        for other in ENDING:
            signal.signal(signal.Signals["SIG" + other], signal.SIG_IGN if (how, name) == ("ignored", other) else signal.SIG_DFL)
        signal.pthread_sigmask(signal.SIG_SETMASK, [signal.Signals["SIG" + name]] if how == "blocked" else [])
    done = subprocess.run(argv, capture_output=True, timeout=120, preexec_fn=prepare, env=shim(**settings), **options)
    ended = f", killed by {signal.Signals(-done.returncode).name[3:]}" if done.returncode < 0 else (
        f", status {done.returncode}" if done.returncode else "")
    listed = "" if done.stdout == listing else ", no listing" if done.stdout == b"" else ", cut"
    names = names_left(os.path.dirname(source))
    assert (done.stderr, outcome(page, inode, source) + listed + ended + (f", left {names}" if names else "")) == (
        b"", left)


def test_two_runs_in_place(place, shim):
    # A run that finds the page being written in place by another waits for
    # it to end: a page is never made of both.
    options, lock = place("locked")
    listing, page, inode = prepared(lock)
    (ready, tell), (stalled, resume), (waiting, tell_waiting) = os.pipe(), os.pipe(), os.pipe()

    def start(ready_fd, **stall):
        return subprocess.Popen([options["binary"], "-c", "f/s.c"], stdout=subprocess.DEVNULL, user=NOBODY,
                                pass_fds=[ready_fd, stalled], env=shim(READY=ready_fd, **stall))
    first = start(tell, STALL=stalled)
    assert select.select([ready], [], [], 60)[0], "the first run did not reach its page"
    write("f/s.c", b"int changed;")
    second = start(tell_waiting)
    os.close(tell_waiting)
    assert select.select([waiting], [], [], 60)[0], "the second run neither waited nor ended"  # ends: EOF
    os.write(resume, b"go")
    assert (first.wait(60), second.wait(60), outcome(expected("f/s.c")[1], inode)) == (0, 0, "new in place")


def test_folder_moved_as_the_source_is_read(work, run, shim):
    # The page goes to the folder as it was when the run began, whatever
    # the path names by the time the page is written.
    for folder in ("sub", "elsewhere"):
        repeat_sample(1, f"{folder}/s.c")
    run("-c", "sub/s.c", env=shim(AT_SOURCE="mv sub sub.moved && ln -s elsewhere sub"))
    assert (read("sub.moved/s.c.html"), os.listdir("elsewhere")) == (expected("sub.moved/s.c")[1], ["s.c"])


@pytest.mark.parametrize("where", [".", "named", "locked", "no page"])
def test_every_call_failing(where, run, place, shim, quarnel):
    # Each call the run makes from its start on fails in turn (the Nth call
    # of its kind): the page is the previous one or the complete new one (or,
    # written in place, dated older than its source), never open to more than
    # before, its group bits only for its group, owned by its owner or the
    # run's; no name is left (but where removing it failed); and only a run
    # whose source cannot be opened writes an empty table.
    need(not os.environ.get("QUARNEL_SANITIZED"), "the sanitizers' own calls would fail as well")
    options, lock = place("locked" if where == "locked" else ".")
    write("f/s.c", b"int x; /* c */ y = x << 2;\n" * 50)
    os.utime("f/s.c", ns=(EARLIER, EARLIER))
    page = expected("f/s.c")[1]
    preload = [f"-E{key}={value}" for key, value in shim(NAMED=EOPNOTSUPP if where == "named" else None).items()
               if key.startswith(("LD_PRELOAD", "QUARNEL_SHIM"))]
    program = options.pop("binary", quarnel)

    def previous_page():
        for name in set(os.listdir("f")) - {"s.c"}:
            os.remove(f"f/{name}")
        if where != "no page":
            write("f/s.c.html", b"previous")
            os.geteuid() == 0 and os.chown("f/s.c.html", DAEMON, DAEMON)
            os.chmod("f/s.c.html", 0o640)
            succeeds("setfacl", "-m", "u:nobody:r", "f/s.c.html")  # where it can
        lock()
        return os.lstat("f/s.c.html") if os.path.exists("f/s.c.html") else None

    before = previous_page()
    old_mode, owners = before.st_mode if before else 0o666, {before.st_uid if before else 0, options.get("user", os.geteuid())}
    run("-c", "f/s.c", binary=strace(*preload, program, output="reference"), **options)
    trace = read("reference").decode().splitlines()
    # The new file is never open to more than the page, not even until its mode is set.
    # The whole listing is written before anything of the page is looked at.
    assert max(i for i, line in enumerate(trace) if re.match(r"\d+ +write\(1,", line)) < min(
        i for i, line in enumerate(trace) if "s.c.html" in line)
    made = re.findall(r"O_(?:TMPFILE|EXCL).*, (0[0-7]+)\)", "\n".join(trace))
    assert all(int(mode, 8) & ~old_mode & 0o777 == 0 for mode in made) and (made or where == "locked")
    calls, seen, started = [], {}, False
    for line in trace:
        call = re.match(r"\d+ +(\w+)\(", line)
        started = started or "rt_sigaction(SIGPIPE" in line
        if call and call[1] not in ("exit_group", "brk", "futex"):  # brk fails by the break it returns
            seen[call[1]] = seen.get(call[1], 0) + 1
            calls += [(call[1], seen[call[1]], '"f/s.c", O_RDONLY' in line)] if started else []
    for call, nth, opens_source in calls:
        before = previous_page()
        before_rights = rights("f/s.c.html") if before else {("group", os.getegid()): 6, ("other", None): 6}
        run("-c", "f/s.c", binary=strace(*preload, f"-einject={call}:error=EIO:when={nth}", program,
                                         output="/dev/null"), **options)
        left = outcome(page, before.st_ino if before else None)
        shape = re.fullmatch(r"(new|cut|empty table)( in place)?( but older| at the epoch)?", left)
        assert left == "previous" or (left == "none" and not before) or (
            shape and bool(shape[2]) == (where == "locked") and (shape[1] != "cut" or shape[2] and shape[3]) and (
                shape[1] != "empty table" or opens_source)), (call, nth, left)
        assert names_left() == [] or call == "unlinkat", (call, nth)  # but where removing it failed
        if left.startswith("new") and where != "locked":
            after = os.lstat("f/s.c.html")
            wider = {who: bits for who, bits in rights("f/s.c.html").items()
                     if bits & ~before_rights.get(who, 0) and who != ("user", after.st_uid)}
            assert (after.st_uid in owners, after.st_mode & 0o7000, wider) == (True, 0, {}), (call, nth)


def limited(kb):
    return [(resource.RLIMIT_AS, (kb << 10, kb << 10))]


def test_out_of_memory(work, run, quarnel):
    # Within every limit from just enough to start up to enough to finish, 64
    # KB apart, the page is the previous one or the complete new one: a source
    # that cannot be held in memory is not a source without tokens.
    need(not os.environ.get("QUARNEL_SANITIZED"), "sanitizers need more address space than this allows")
    repeat_sample(3000)
    listing, page = expected("big.c")
    start = next(kb for kb in range(2000, 50000, 100) if subprocess.run(
        [quarnel], stderr=subprocess.DEVNULL, preexec_fn=lambda: resource.setrlimit(*limited(kb)[0])).returncode == 0)
    for limit_kb in range(start, start + 64 * 1000, 64):
        write("big.c.html", b"previous")
        outcome = run("-c", "big.c", limits=limited(limit_kb)), read("big.c.html")
        assert (outcome in [(b"", b"previous"), (listing, b"previous"), (listing, page)],
                sorted(os.listdir("."))) == (True, ["big.c", "big.c.html"]), limit_kb
        if outcome == (listing, page):
            return
    pytest.fail("64 MB more than a start needs did not let the run finish")
