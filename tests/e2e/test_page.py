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

from conftest import DAEMON, NO_FOWNER, NOBODY, OWN_MOUNTS, acl, expected, need, read, repeat_sample, strace, succeeds, \
    write

ENDING = ["HUP", "INT", "QUIT", "TERM", "ALRM", "USR1", "USR2", "VTALRM", "PROF", "XCPU"]
EACCES, EPERM, EIO, EINVAL, EISDIR, ENOSPC, EROFS, EOPNOTSUPP, EDQUOT = 13, 1, 5, 22, 21, 28, 30, 95, 122
FSIZE_40K = [(resource.RLIMIT_FSIZE, (40 << 10,) * 2)]
EARLIER = 1_700_000_000_123_456_789  # long before any run, in nanoseconds


@pytest.fixture
def place(request, work):
    # place(WHERE) makes the folder f that a source and its page go in, and
    # returns the options that run quarnel there and what locks it once they
    # are written. WHERE: "." (a plain folder), "locked" (nobody's page in a
    # folder nobody may not write, written in place by nobody's run), or a
    # file system of its own: "full" (no room for the page), "no inodes"
    # (room, but no new file), "append-only", "immutable", "whole seconds"
    # (ext4 of 128-byte inodes), "fuse" (bindfs, which dates a file only when
    # given both of its times).
    def make(where):
        if where in (".", "locked"):
            os.makedirs("f")
        else:
            request.getfixturevalue("mount")("f", *{
                "full": ("tmpfs", "size=64k"), "no inodes": ("tmpfs", "size=1m,nr_inodes=3"),
                "whole seconds": ("ext4 -I 128", ""), "fuse": ("bindfs", "")}.get(where, ("tmpfs", "size=64m")))
        if where in ("append-only", "immutable"):
            return {}, lambda: need(succeeds("chattr", "+a" if where == "append-only" else "+i", "f"),
                                    "chattr is missing or refused")
        if where != "locked":
            return {}, lambda: None
        return dict(request.getfixturevalue("nobody")), lambda: (
            [os.chown(f"f/{name}", NOBODY, NOBODY) for name in os.listdir("f")], os.chmod("f", 0o555))
    return make


def prepared(lock, copies=30):
    # A source, dated long before the run, and a previous page in f, locked:
    # the expected listing and page, and the previous page's inode.
    repeat_sample(copies, "f/s.c")
    os.utime("f/s.c", ns=(EARLIER, EARLIER))
    write("f/s.c.html", b"previous")
    lock()
    return (*expected("f/s.c"), os.stat("f/s.c.html").st_ino)


def outcome(page, inode):
    # Which page is left: "previous"; "new" (replaced) or "new in place",
    # newer than its source; "stale" (in place, cut short or undated, no newer
    # than its source); "none"; or else the kind of what stands there.
    if not os.path.lexists("f/s.c.html"):
        return "none"
    status = os.lstat("f/s.c.html")
    if not stat.S_ISREG(status.st_mode):
        return stat.filemode(status.st_mode)[0]  # l for a link, p for a FIFO
    text, fresh = read("f/s.c.html"), status.st_mtime_ns > os.stat("f/s.c").st_mtime_ns
    if text == b"previous":
        return "previous"
    if not fresh:
        return "stale"
    if text in (page, expected("/dev/null")[1]):
        return ("new" if status.st_ino != inode else "new in place") + ("" if text == page else " empty table")
    return repr(text[:60])


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


def names_left():
    # What the files left in f beside the source and its page hold.
    return sorted(read(f"f/{name}") for name in set(os.listdir("f")) - {"s.c", "s.c.html"})


def traced(quarnel, fails):
    # quarnel under strace, failing calls by fails: "[PATH ]CALL:error=...".
    path, _, inject = fails.rpartition(" ")
    return strace(*(["-P", os.path.abspath(path)] if path else []), "-e", f"inject={inject}", quarnel, output="/dev/null")


FAILURES = [
    # name, where, shim settings (and fails: calls failed by strace, or /proc hidden; limits), which page is left
    ("file-size limit", ".", {"limits": FSIZE_40K}, "previous"),
    ("full file system", "full", {}, "previous"),
    ("out of inodes", "no inodes", {}, "previous"),
    # Written in place only where the folder refuses a new file for want of permission or for its attributes.
    *((f"no new file: {name}", ".", {"REFUSE": number}, left) for name, number, left in [
        ("EACCES", EACCES, "new in place"), ("EPERM", EPERM, "new in place"), ("EROFS", EROFS, "previous"),
        ("ENOSPC", ENOSPC, "previous"), ("EDQUOT", EDQUOT, "previous"), ("EIO", EIO, "previous")]),
    ("append-only folder", "append-only", {}, "new in place"),
    ("immutable folder", "immutable", {}, "new in place"),
    *((f"no unnamed files: {name}", ".", {"NAMED": number}, "new") for name, number in [
        ("EOPNOTSUPP", EOPNOTSUPP), ("EISDIR", EISDIR), ("EINVAL", EINVAL)]),
    ("no /proc to name an unnamed file through", ".", {"fails": "/proc"}, "new"),
    # A complete page that cannot take the previous one's place is removed; its hard links keep their text.
    *((f"{call.lower()} refused: {name}{', named' * named}", ".", {call: number, "NAMED": EOPNOTSUPP if named else None},
       "previous") for call, name, number, named in [("LINK", "EDQUOT", EDQUOT, 0), ("RENAME", "EIO", EIO, 0),
                                                     ("RENAME", "ENOSPC", ENOSPC, 1)]),
    ("a deferred write error", ".", {"CLOSE": 1}, "previous"),
    ("cannot be dated", ".", {"DATE": EPERM}, "previous"),
    ("the date does not take", ".", {"DATE": 0}, "previous"),
    ("memory runs out, the page's file open", ".", {"NOMEM": 1}, "previous"),
    ("mode cannot be set", ".", {"CHMOD": 1}, "new"),
    ("read error", ".", {"fails": "f/s.c read:error=EIO"}, "previous, no listing"),
    ("seek error", ".", {"fails": "f/s.c lseek:error=EIO"}, "previous, no listing"),
    # Standard output: a full or interrupted one waits, only a failing one ends the listing.
    *((f"standard output answers {name}", ".", {"fails": f"write:error={name}:when=1"}, left) for name, left in [
        ("EAGAIN", "new"), ("EINTR", "new"), ("EPIPE", "new, no listing"), ("EIO", "new, no listing")]),
    # Unfinished in place, the page is no newer than its source.
    ("in place, file-size limit", "locked", {"limits": FSIZE_40K}, "stale"),
    ("in place, memory runs out", "locked", {"NOMEM": 1}, "stale"),
    ("in place, a deferred write error", "locked", {"CLOSE": 1}, "stale"),
    # What is put at the page's name just before it is opened in place is never written through or waited on.
    ("in place, a link swapped in", ".", {"REFUSE": EACCES, "AT_PLACE": "ln -sfn ../target f/s.c.html"}, "l"),
    ("in place, a FIFO swapped in", ".", {"REFUSE": EACCES, "AT_PLACE": "rm f/s.c.html && mkfifo f/s.c.html"}, "p"),
]


@pytest.mark.parametrize("where, settings, left", [row[1:] for row in FAILURES], ids=[row[0] for row in FAILURES])
def test_page_whatever_fails(where, settings, left, run, place, shim, quarnel):
    settings = dict(settings)
    fails, limits = settings.pop("fails", None), settings.pop("limits", ())
    need(not ("NOMEM" in settings and os.environ.get("QUARNEL_SANITIZED")), "sanitizers hold their memory beforehand")
    options, lock = place(where)
    listing, page, inode = prepared(lock)
    write("target", b"keep")
    if fails == "/proc":
        need(OWN_MOUNTS == [True] and not os.environ.get("QUARNEL_SANITIZED"),
             "hiding /proc needs a mount namespace of the tests' own, and a run without sanitizers, which read it")
        options["binary"] = ["unshare", "-m", "sh", "-c", 'mount -t tmpfs none /proc && exec "$0" "$@"', quarnel]
    elif fails:
        options["binary"] = traced(quarnel, fails)
    listed = run("-c", "f/s.c", env=shim(**settings), limits=limits, **options)
    assert (outcome(page, inode) + ("" if listed == listing else ", no listing" if listed == b"" else ", cut"),
            names_left(), read("target")) == (left, [], b"keep")


TERM, HUP = int(signal.SIGTERM), int(signal.SIGHUP)
SIGNALS = [
    # name, the signal the test sends mid-page, where, shim settings, how the
    # run starts, how it may end, which page is left, the names left beside it
    *((f"{name} mid-page", name, ".", {}, None, [name], "previous", []) for name in ENDING + ["KILL"]),
    ("HUP mid-page, started ignored", "HUP", ".", {}, "ignored", [0], "new", []),
    ("TERM mid-page, started blocked", "TERM", ".", {}, "blocked", [0], "new", []),
    ("TERM mid-page, named", "TERM", ".", {"NAMED": EOPNOTSUPP}, None, ["TERM"], "previous", []),
    ("TERM mid-page, in place", "TERM", "locked", {}, None, ["TERM"], "stale", []),
    # A second signal waits for the first one's clean-up.
    ("TERM mid-page, HUP in the clean-up, named", "TERM", ".", {"NAMED": EOPNOTSUPP, "SIGNAL": HUP, "SIGNAL_AT": "again"},
     None, ["TERM", "HUP"], "previous", []),
    ("TERM mid-page, HUP in the clean-up, in place", "TERM", "locked", {"SIGNAL": HUP, "SIGNAL_AT": "again"}, None,
     ["TERM", "HUP"], "stale", []),
    # A fresh name taken by another file is skipped, and that file kept; a
    # signal as a name is made waits until the name is the run's own.
    ("name taken", None, ".", {"TAKE": 1}, None, [0], "new", [b"taken"]),
    ("name taken, named", None, ".", {"TAKE": 1, "NAMED": EOPNOTSUPP}, None, [0], "new", [b"taken"]),
    ("TERM as the name is made", None, ".", {"TAKE": 1, "SIGNAL": TERM}, None, ["TERM"], "new", [b"taken"]),
    ("TERM as the name is made, named", None, ".", {"TAKE": 1, "NAMED": EOPNOTSUPP, "SIGNAL": TERM}, None, ["TERM"],
     "previous", [b"taken"]),
    ("TERM once the name is made, named", None, ".", {"TAKE": 1, "NAMED": EOPNOTSUPP, "SIGNAL": TERM,
     "SIGNAL_AT": "named"}, None, ["TERM"], "previous", [b"taken"]),
]


@pytest.mark.parametrize("sent, where, settings, start, ends, left, names", [row[1:] for row in SIGNALS],
                         ids=[row[0] for row in SIGNALS])
def test_page_whatever_signal(sent, where, settings, start, ends, left, names, place, shim, quarnel):
    # Mid-page, the run waits on its first write to the page's file. It is
    # started as a shell with job control would start it.
    options, lock = place(where)
    listing, page, inode = prepared(lock)
    (ready, tell), (stalled, resume) = os.pipe(), os.pipe()
    sent = sent and signal.Signals["SIG" + sent]

    def prepare():
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
        for other in ENDING:
            signal.signal(signal.Signals["SIG" + other], signal.SIG_IGN if start == "ignored" and other == sent.name[3:]
                          else signal.SIG_DFL)
        signal.pthread_sigmask(signal.SIG_SETMASK, [sent] if start == "blocked" else [])
    running = subprocess.Popen([options.pop("binary", quarnel), "-c", "f/s.c"], stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, preexec_fn=prepare, pass_fds=[tell, stalled], **options,
                               env=shim(**settings, **({"STALL": stalled, "READY": tell} if sent else {})))
    os.close(tell)
    if sent:
        assert select.select([ready], [], [], 60)[0], "the run did not reach its page"
        running.send_signal(sent)
        os.write(resume, b"go") if start else None
    assert running.wait(60) in [-signal.Signals["SIG" + end] if end else 0 for end in ends]
    assert (running.stderr.read(), outcome(page, inode), names_left()) == (b"", left, names)


CHANGE = "echo >> f/s.c && touch -d @$TICK f/s.c"  # a change within the tick the source was read in
DATES = [
    # name, where, how the source stands (None: f/s.c itself; g/s.c, a link to f/s.c or to a/s.c), what
    # happens once it was read and listed, the page's time against the source's
    ("unchanged", ".", None, None, "newer"),
    ("changed", ".", None, CHANGE, "older"),
    ("changed, the page in place", "locked", None, CHANGE, "older"),
    ("saved by a rename", ".", None, "mv saved.c f/s.c", "older"),
    ("saved by a rename, dated before 1970", ".", None, "touch -d @-1000.5 saved.c && mv saved.c f/s.c", "older"),
    ("removed", ".", None, "rm f/s.c", "at the epoch"),
    ("missing from the start", ".", "missing", None, "newer"),
    ("unchanged, on a file system of whole seconds", "whole seconds", None, None, "newer"),
    ("changed, on a file system of whole seconds", "whole seconds", None, CHANGE, "older"),
    ("changed, reached through a link to a file system of whole seconds", "whole seconds", "link", CHANGE, "older"),
    ("changed, on FUSE", "fuse", None, CHANGE, "older"),
    ("replaced by a file of the same inode number on another device", ".", "same inode", "ln -sfn ../b/s.c g/s.c",
     "older"),
]


@pytest.mark.parametrize("where, setup, change, dated", [row[1:] for row in DATES], ids=[row[0] for row in DATES])
def test_page_dated_when_its_source_was_read(where, setup, change, dated, run, place, shim, request):
    # A page newer than its source is a page of the source as it now is.
    options, lock = place(where)
    write("f/s.c", b"word 12 /* c */\n" * 50)
    write("saved.c", b"int saved;")
    source = "g/s.c" if setup in ("link", "same inode") else "f/s.c"
    if setup == "same inode":  # two tmpfs, each with its one file: the same inode number
        for folder, text in [("a", read("f/s.c")), ("b", b"int b;")]:
            request.getfixturevalue("mount")(folder)
            write(f"{folder}/s.c", text)
        need(os.stat("a/s.c").st_ino == os.stat("b/s.c").st_ino, "the two files have different inode numbers")
    if setup in ("link", "same inode"):
        os.makedirs("g")
        os.symlink("../a/s.c" if setup == "same inode" else "../f/s.c", source)
    for path in ("saved.c", source, "b/s.c"):
        os.path.exists(path) and os.utime(path, ns=(EARLIER, EARLIER))
    write(source + ".html", b"previous")
    lock()
    if setup == "missing":
        os.remove(source)
    listing, page = expected(source)
    assert (run("-c", source, env=shim(AT_PAGE=change), **options), read(source + ".html")) == (listing, page)
    page_time = os.stat(source + ".html").st_mtime_ns
    source_time = os.stat(source).st_mtime_ns if os.path.exists(source) else 0
    assert ("at the epoch" if page_time == 0 else "newer" if page_time > source_time else "older"
            if page_time < source_time else "the same") == dated


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
    # written in place, no newer than its source), never open to more than
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
        assert left in ("previous", "stale", "new in place" if where == "locked" else "new") or (
            left.endswith("empty table") and opens_source) or (left == "none" and not before), (call, nth, left)
        assert names_left() == [] or call == "unlinkat", (call, nth)  # but where removing it failed
        if left == "new":
            after = os.lstat("f/s.c.html")
            wider = {who: bits for who, bits in rights("f/s.c.html").items()
                     if bits & ~before_rights.get(who, 0) and who != ("user", after.st_uid)}
            assert (after.st_uid in owners, after.st_mode & 0o7000, wider) == (True, 0, {}), (call, nth)


STICKY = [
    # who runs (a prefix to run quarnel with; None: nobody, with CAP_FOWNER permitted), whose page it is
    ("nobody", [], 0),
    ("nobody with CAP_FOWNER permitted only", None, 0),
    ("root without CAP_FOWNER", NO_FOWNER, NOBODY),
    ("root without CAP_FOWNER, its real user the page's owner", NO_FOWNER + ["--ruid=65534"], NOBODY),
]


@pytest.mark.parametrize("prefix, owner", [row[1:] for row in STICKY], ids=[row[0] for row in STICKY])
def test_sticky_folder_decided_before_writing(prefix, owner, run, nobody, quarnel, request):
    # Another user's page in a third user's sticky folder is written in place
    # at once, with no new file made first: with room for one page and not
    # two, it still gets its page. What decides is the capability in effect
    # and the effective user, not being root.
    request.getfixturevalue("mount")("sticky", "tmpfs", "size=128k")
    os.chown("sticky", 1234, 1234)
    os.chmod("sticky", 0o1777)
    repeat_sample(30, "sticky/s.c")
    page = expected("sticky/s.c")[1]
    write("sticky/s.c.html", b"p" * len(page))
    os.chmod("sticky/s.c.html", 0o666)
    os.chown("sticky/s.c.html", owner, owner)
    if prefix is None:
        need(succeeds("setcap", "cap_fowner=p", nobody["binary"]), "setcap is missing or refused")
    run("-c", "sticky/s.c", **({"binary": prefix + [quarnel]} if prefix else nobody))
    assert read("sticky/s.c.html") == page


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
