# The page is the previous one or the complete new one, whatever stops a run
# from writing it; it is written in place only where no new file could take
# its place, and then never looks finished before it is; it is dated with
# the moment its source was read, or before a source that replaced it; and
# no run leaves a name behind.
import os
import re
import resource
import select
import signal
import stat
import subprocess
import threading
import time

import pytest

from conftest import (DAEMON, NO_FOWNER, NOBODY, OWN_MOUNTS, acl, expected, need, read, repeat_sample, strace,
                      succeeds, write)
from model import page as page_of

ENDING = ["HUP", "INT", "QUIT", "TERM", "ALRM", "USR1", "USR2", "VTALRM", "PROF", "XCPU"]
LOCKED = "locked"  # nobody's page in a folder nobody may not write: written in place


@pytest.fixture
def shim(request):
    # The environment that preloads the test shim, with its settings.
    def environment(**settings):
        return dict(os.environ, LD_PRELOAD=request.config.getoption("--shim"),
                    ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0",
                    **{"QUARNEL_SHIM_" + key: str(value) for key, value in settings.items()})
    return environment


@pytest.fixture
def place(request, work):
    # place(WHERE) makes the folder that a source and its page go in, and
    # returns it with the options that run quarnel there and what locks it
    # once the page is written: "." or any folder name, LOCKED, or a file
    # system of its own: "full" (no room for the page), "no inodes" (no new
    # file, but room), "no room" (neither), "append-only" or "immutable".
    def make(where):
        mount = {"full": "size=64k", "no inodes": "size=1m,nr_inodes=3", "no room": "size=64k,nr_inodes=3",
                 "append-only": "+a", "immutable": "+i"}.get(where)  # a size, or a flag on a tmpfs of 64 MB
        if mount:
            request.getfixturevalue("tmpfs")("small", mount if "=" in mount else "size=64m")
            return "small", {}, lambda: "=" in mount or need(succeeds("chattr", mount, "small"), "chattr is missing or refused")
        os.makedirs(where, exist_ok=True)
        if where != LOCKED:
            return where, {}, lambda: None
        return where, dict(request.getfixturevalue("nobody")), lambda: (
            os.chown(f"{where}/s.c.html", NOBODY, NOBODY), os.chmod(where, 0o555))
    return make


def outcome(folder, page, inode):
    # Which page is left: "previous"; "new" (replaced) or "new in place",
    # newer than its source; "new but stale" or "stale" (cut short), no newer
    # than its source; "none"; or else the kind of what stands there.
    path = f"{folder}/s.c.html"
    if not os.path.lexists(path):
        return "none"
    status = os.lstat(path)
    if not stat.S_ISREG(status.st_mode):
        return stat.filemode(status.st_mode)[0]  # l for a link, p for a FIFO
    text, fresh = read(path), status.st_mtime_ns > os.stat(f"{folder}/s.c").st_mtime_ns
    if text == b"previous":
        return "previous"
    if text in (page, page_of([])):
        return ("new" if status.st_ino != inode else "new in place") + ("" if text == page else " empty table") + (
            "" if fresh else " but stale")
    return "stale" if not fresh else repr(text[:60])


def prepared(place, where, copies=30):
    # A source and a previous page in place(where), locked: the folder, the
    # expected listing and page, the previous page's inode, and the options.
    folder, options, lock = place(where)
    repeat_sample(copies, f"{folder}/s.c")
    write(f"{folder}/s.c.html", b"previous")
    lock()
    return folder, expected(f"{folder}/s.c"), os.stat(f"{folder}/s.c.html").st_ino, options


def names_left(folder):
    # What the files left beside the source and its page hold.
    return sorted(read(f"{folder}/{name}") for name in set(os.listdir(folder)) - {"s.c", "s.c.html"})


FSIZE_40K = [(resource.RLIMIT_FSIZE, (40 << 10,) * 2)]


FAILURES = [
    # name, where, shim settings, options (fails: a call that fails, by strace, or /proc hidden), which page is left
    ("file-size limit", ".", {}, {"limits": FSIZE_40K}, "previous"),
    ("full file system", "full", {}, {}, "previous"),
    ("closing fails, named", ".", {"NAMED": 1, "CLOSE": 1}, {}, "previous"),
    ("cannot be dated", ".", {"DATE": 1}, {}, "previous"),  # it would look fresher than it is
    ("memory runs out, the page's file open", ".", {"NOMEM": 1}, {}, "previous"),
    ("read error", ".", {}, {"fails": "read"}, "previous, no listing"),
    ("seek error", ".", {}, {"fails": "lseek"}, "previous, no listing"),
    # Written in place only where no new file could take the page's place.
    ("mode cannot be set", ".", {"CHMOD": 1}, {}, "new"),
    ("no /proc to name an unnamed file through", ".", {}, {"fails": "/proc"}, "new"),
    ("folder takes no new file", ".", {"REFUSE": 13}, {}, "new in place"),  # EACCES
    ("an I/O error makes no new file", ".", {"REFUSE": 5}, {}, "previous"),  # EIO
    ("out of inodes", "no inodes", {}, {}, "new in place"),
    ("append-only folder", "append-only", {}, {}, "new in place"),
    ("immutable folder", "immutable", {}, {}, "new in place"),
    ("rename refused after all, named", ".", {"RENAME": 1, "NAMED": 1}, {}, "new in place"),
    ("rename refused after all, a small stack", ".", {"RENAME": 1}, {"limits": [(resource.RLIMIT_STACK, (64 << 10,) * 2)]},
     "new in place"),
    # Unfinished in place, the page is no newer than its source.
    ("in place, out of room", "no room", {}, {}, "stale"),
    ("in place, file-size limit", LOCKED, {}, {"limits": FSIZE_40K}, "stale"),
    ("in place, memory runs out", LOCKED, {"NOMEM": 1}, {}, "stale"),
    ("in place, cannot be dated", LOCKED, {"DATE": 1}, {}, "new in place"),  # complete, it keeps its time
]


@pytest.mark.parametrize("where, settings, options, left", [row[1:] for row in FAILURES], ids=[r[0] for r in FAILURES])
def test_page_whatever_fails(where, settings, options, left, run, place, shim, quarnel):
    need(not ("NOMEM" in settings and os.environ.get("QUARNEL_SANITIZED")), "sanitizers hold their memory beforehand")
    folder, (listing, page), inode, more = prepared(place, where)
    options, fails = dict(options), options.get("fails")
    if fails == "/proc":
        need(OWN_MOUNTS == [True] and not os.environ.get("QUARNEL_SANITIZED"),
             "hiding /proc needs a mount namespace of the tests' own, and a run without sanitizers, which read it")
        options["binary"] = ["unshare", "-m", "sh", "-c", 'mount -t tmpfs none /proc && exec "$0" "$@"', quarnel]
    elif fails:
        options["binary"] = strace("-P", os.path.abspath(f"{folder}/s.c"), "-e", f"inject={fails}:error=EIO", quarnel,
                                   output="/dev/null")
    options.pop("fails", None)
    listed = run("-c", f"{folder}/s.c", env=shim(**settings), **more, **options)
    assert (outcome(folder, page, inode) + ("" if listed == listing else ", no listing" if listed == b"" else ", cut"),
            names_left(folder)) == (left, [])


TERM, HUP = int(signal.SIGTERM), int(signal.SIGHUP)
SIGNALS = [
    # name, the signal the test sends mid-page, where, shim settings, how the
    # run starts, how it may end, which page is left, the names left beside it
    *((f"{name} mid-page", name, ".", {}, None, [name], "previous", []) for name in ENDING + ["KILL"]),
    ("HUP mid-page, started ignored", "HUP", ".", {}, "ignored", [0], "new", []),
    ("TERM mid-page, started blocked", "TERM", ".", {}, "blocked", [0], "new", []),
    ("TERM mid-page, named", "TERM", ".", {"NAMED": 1}, None, ["TERM"], "previous", []),
    ("TERM mid-page, named, in another folder", "TERM", "sub", {"NAMED": 1}, None, ["TERM"], "previous", []),
    ("TERM mid-page, in place", "TERM", LOCKED, {}, None, ["TERM"], "stale", []),
    # A second signal waits for the first one's clean-up.
    ("TERM mid-page, HUP in the clean-up, named", "TERM", ".", {"NAMED": 1, "AGAIN": HUP}, None, ["TERM", "HUP"],
     "previous", []),
    ("TERM mid-page, HUP in the clean-up, in place", "TERM", LOCKED, {"AGAIN": HUP}, None, ["TERM", "HUP"], "stale", []),
    ("TERM as the page is copied in", None, ".", {"RENAME": 1, "SIGNAL": TERM, "SIGNAL_AT": "in place"}, None,
     ["TERM"], "stale", []),
    ("TERM as the page is copied in, named", None, ".", {"RENAME": 1, "NAMED": 1, "SIGNAL": TERM,
     "SIGNAL_AT": "in place"}, None, ["TERM"], "stale", []),
    # A fresh name taken by another file is skipped, and that file kept; a
    # signal as a name is made waits until the name is the run's own.
    ("name taken", None, ".", {"TAKE": 1}, None, [0], "new", [b"taken"]),
    ("name taken, named", None, ".", {"TAKE": 1, "NAMED": 1}, None, [0], "new", [b"taken"]),
    ("TERM as the name is made", None, ".", {"TAKE": 1, "SIGNAL": TERM}, None, ["TERM"], "new", [b"taken"]),
    ("TERM as the name is made, named", None, ".", {"TAKE": 1, "NAMED": 1, "SIGNAL": TERM}, None, ["TERM"],
     "previous", [b"taken"]),
    ("TERM once the name is made, named", None, ".", {"TAKE": 1, "NAMED": 1, "SIGNAL": TERM, "SIGNAL_AT": "named"},
     None, ["TERM"], "previous", [b"taken"]),
]


@pytest.mark.parametrize("sent, where, settings, start, ends, left, names", [row[1:] for row in SIGNALS],
                         ids=[row[0] for row in SIGNALS])
def test_page_whatever_signal(sent, where, settings, start, ends, left, names, place, shim, quarnel):
    # Mid-page, the run waits on its first write to the page's file. It is
    # started as a shell with job control would start it.
    folder, (listing, page), inode, options = prepared(place, where)
    ready, tell = os.pipe()
    sent = sent and signal.Signals["SIG" + sent]

    def prepare():
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
        for other in ENDING:
            signal.signal(signal.Signals["SIG" + other], signal.SIG_IGN if start == "ignored" and other == sent.name[3:]
                          else signal.SIG_DFL)
        signal.pthread_sigmask(signal.SIG_SETMASK, [sent] if start == "blocked" else [])
    stall = {"STALL": 1 if start else 60, "READY": tell} if sent else {}
    running = subprocess.Popen([options.pop("binary", quarnel), "-c", f"{folder}/s.c"], stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, preexec_fn=prepare, env=shim(**settings, **stall),
                               pass_fds=[tell], **options)
    os.close(tell)
    if sent:
        assert select.select([ready], [], [], 60)[0], "the run did not reach its page"
        running.send_signal(sent)
    assert running.wait(60) in [-signal.Signals["SIG" + end] if end else 0 for end in ends]
    assert (running.stderr.read(), outcome(folder, page, inode), names_left(folder)) == (b"", left, names)


DATES = [
    # name, where, what happens to the source once the run has read it and is
    # held on its listing (or the shim's settings), the page's time against
    # the source's
    ("unchanged", ".", None, "newer"),
    ("changed", ".", lambda: write("s.c", b"changed"), "older"),
    ("changed, the page in place", LOCKED, lambda: write(f"{LOCKED}/s.c", b"changed"), "older"),
    ("changed within the tick it was read in", ".", {"TOUCH": "s.c"}, "older"),
    ("saved by a rename", ".", lambda: os.rename("saved.c", "s.c"), "older"),
    ("removed", ".", lambda: os.remove("s.c"), "at the epoch"),
]


@pytest.mark.parametrize("where, change, dated", [row[1:] for row in DATES], ids=[row[0] for row in DATES])
def test_page_dated_when_its_source_was_read(where, change, dated, command, place, shim, newline=b"\n"):
    # A page newer than its source is a page of the source as it now is.
    # newline: what the run writes for a line feed.
    folder, options, lock = place(where)
    write("saved.c", b"int saved;")
    write(f"{folder}/s.c", b"word 12 /* c */\n" * 5000)  # a listing that fills the reader's pipe
    write(f"{folder}/s.c.html", b"previous")
    lock()
    listing, page = (text.replace(b"\n", newline) for text in expected(f"{folder}/s.c"))
    running = subprocess.Popen(command[:-1] + [options.pop("binary", command[-1]), "-c", f"{folder}/s.c"],
                               stdout=subprocess.PIPE, env=shim(**change) if isinstance(change, dict) else None, **options)
    killer = threading.Timer(60, running.kill)  # bounds every wait below
    killer.start()
    first_line = running.stdout.readline()  # the source is read, and the run held on its listing's reader
    if callable(change):
        change()
    time.sleep(0.05)  # so that a page dated when written would be newer than the change, past a tick of the clock
    listed = first_line + running.stdout.read()
    killer.cancel()
    assert (running.wait(), listed, read(f"{folder}/s.c.html")) == (0, listing, page)
    page_time, source_time = (os.stat(f"{folder}/{name}").st_mtime_ns if os.path.exists(f"{folder}/{name}") else 0
                              for name in ("s.c.html", "s.c"))
    assert ("at the epoch" if page_time == 0 else "newer" if page_time > source_time else "older"
            if page_time < source_time else "the same") == dated


def test_folder_moved_as_the_source_is_read(work, run, shim):
    # The page goes to the folder as it was when the run began, whatever
    # the path names by the time the page is written.
    for folder in ("sub", "elsewhere"):
        repeat_sample(1, f"{folder}/s.c")
    run("-c", "sub/s.c", env=shim(MOVE="sub"))
    assert (read("sub.moved/s.c.html"), os.listdir("elsewhere")) == (expected("sub.moved/s.c")[1], ["s.c"])


@pytest.mark.parametrize("where", [".", "named", LOCKED, "no page", "rename refused"])
def test_every_call_failing(where, run, place, shim, quarnel):
    # Each call the run makes from its start on fails in turn (the Nth call
    # of its kind): the page is the previous one or the complete new one (or,
    # written in place, no newer than its source), never open to more than
    # before, owned by its owner or the run's; no name is left (but where
    # removing it failed); and only a run whose source cannot be opened
    # writes an empty table.
    need(not os.environ.get("QUARNEL_SANITIZED"), "the sanitizers' own calls would fail as well")
    folder, options, lock = place(LOCKED if where == LOCKED else "sub")
    source, page_path = f"{folder}/s.c", f"{folder}/s.c.html"
    write(source, b"int x; /* c */ y = x << 2;\n" * 50)
    page = expected(source)[1]
    settings = {"named": {"NAMED": 1}, "rename refused": {"RENAME": 1}}.get(where, {})
    preload = [f"-E{key}={value}" for key, value in shim(**settings).items() if key.startswith(("LD_PRELOAD", "QUARNEL_SHIM"))]
    program = options.pop("binary", quarnel)

    def previous_page():
        for name in set(os.listdir(folder)) - {"s.c"}:
            os.remove(f"{folder}/{name}")
        if where != "no page":
            write(page_path, b"previous")
            os.chown(page_path, DAEMON, DAEMON)
            os.chmod(page_path, 0o640)
            succeeds("setfacl", "-m", "u:nobody:r", page_path)  # where it can
        lock()
        return os.lstat(page_path) if os.path.exists(page_path) else None, acl(page_path)

    before, before_acl = previous_page()
    old_mode, owners = before.st_mode if before else 0o666, {before.st_uid if before else 0, options.get("user", 0)}
    run("-c", source, binary=strace(*preload, program, output="reference"), **options)
    trace = read("reference").decode().splitlines()
    # The new file is never open to more than the page, not even until its mode is set.
    # The whole listing is written before anything of the page is looked at.
    assert max(i for i, line in enumerate(trace) if re.match(r"\d+ +write\(1,", line)) < min(
        i for i, line in enumerate(trace) if "s.c.html" in line)
    made = re.findall(r"O_(?:TMPFILE|EXCL).*, (0[0-7]+)\)", "\n".join(trace))
    assert made and all(int(mode, 8) & ~old_mode & 0o777 == 0 for mode in made)
    calls, seen, started = [], {}, False
    for line in trace:
        call = re.match(r"\d+ +(\w+)\(", line)
        started = started or "rt_sigaction(SIGPIPE" in line
        if call and call[1] not in ("exit_group", "brk"):  # brk fails by the break it returns, never an error
            seen[call[1]] = seen.get(call[1], 0) + 1
            calls += [(call[1], seen[call[1]], f'"{source}", O_RDONLY' in line)] if started else []
    for call, nth, opens_source in calls:
        before, before_acl = previous_page()
        run("-c", source, binary=strace(*preload, f"-einject={call}:error=EIO:when={nth}", program, output="/dev/null"),
            **options)
        left = outcome(folder, page, before.st_ino if before else None)
        assert left in ("previous", "stale") or (left.startswith("new") and ("empty" not in left or opens_source)) or (
            left == "none" and not before), (call, nth, left)
        assert names_left(folder) == [] or call == "unlinkat", (call, nth)  # but where removing it failed
        if left.startswith("new") and "in place" not in left:
            after = os.lstat(page_path)
            assert (after.st_mode & ~old_mode & 0o7777, after.st_uid in owners,
                    acl(page_path) == before_acl or after.st_mode & 0o077 == 0) == (0, True, True), (call, nth)


@pytest.mark.parametrize("swapped_for", ["l", "p"])
def test_page_swapped_before_written_in_place(swapped_for, work, run, shim, place):
    # Between the look at the page and its opening in place: nothing is
    # written through a link, and nothing waits on a FIFO.
    write("target", b"keep")
    os.symlink(os.path.abspath("target"), "swap") if swapped_for == "l" else os.mkfifo("swap")
    folder, (listing, page), inode, options = prepared(place, "sub")
    run("-c", "sub/s.c", env=shim(REFUSE=13, SWAP="swap"))
    assert (outcome(folder, page, inode), names_left(folder), read("target")) == (swapped_for, [], b"keep")


@pytest.mark.parametrize("who", ["nobody", "root without CAP_FOWNER", "nobody with CAP_FOWNER permitted only"])
def test_sticky_folder_decided_before_writing(who, run, nobody, quarnel, tmpfs):
    # Another user's page in a third user's sticky folder is written in place
    # at once, with no new file made first: with room for one page and not
    # two, it still gets its page. What decides is the capability in effect,
    # not being root.
    tmpfs("sticky", "size=128k")
    os.chown("sticky", 1234, 1234)
    os.chmod("sticky", 0o1777)
    repeat_sample(30, "sticky/s.c")
    page = expected("sticky/s.c")[1]
    write("sticky/s.c.html", b"p" * len(page))
    os.chmod("sticky/s.c.html", 0o666)
    os.chown("sticky/s.c.html", *(2 * [NOBODY if who.startswith("root") else 0]))
    if who.endswith("permitted only"):
        need(succeeds("setcap", "cap_fowner=p", nobody["binary"]), "setcap is missing or refused")
    run("-c", "sticky/s.c", **({"binary": NO_FOWNER + [quarnel]} if who.startswith("root") else nobody))
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
