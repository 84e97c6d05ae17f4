# The page is the previous one or the complete new one, whatever stops a run
# from writing it; it is written in place where a folder takes no new file or
# would refuse the rename; and it is dated with the moment its source was read.
import os
import resource
import signal
import stat
import subprocess
import threading
import time

import pytest

from conftest import NO_FOWNER, NOBODY, expected, need, read, repeat_sample, strace, temporary_files, write

ENDING = ["HUP", "INT", "QUIT", "TERM", "ALRM", "USR1", "USR2", "VTALRM", "PROF", "XCPU"]


def over_previous_page(run, folder=".", before=lambda: None, **options):
    # Runs quarnel on a source in folder over a previous page, after before():
    # which page is left ("previous", "new", or the kind of what stands
    # there), and the temporary files.
    repeat_sample(30, f"{folder}/s.c")
    page = expected(f"{folder}/s.c")[1]
    write(f"{folder}/s.c.html", b"previous")
    before()
    run("-c", f"{folder}/s.c", **options)
    kind = stat.S_IFMT(os.lstat(f"{folder}/s.c.html").st_mode)
    left = read(f"{folder}/s.c.html") if kind == stat.S_IFREG else kind
    return {b"previous": "previous", page: "new"}.get(left, left), temporary_files(folder)


@pytest.fixture
def shim(request):
    # The environment that preloads the test shim, with its settings.
    def environment(**settings):
        return dict(os.environ, LD_PRELOAD=request.config.getoption("--shim"),
                    ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0",
                    **{"QUARNEL_SHIM_" + key: str(value) for key, value in settings.items()})
    return environment


@pytest.fixture
def small_tmpfs(work):
    need(os.geteuid() == 0, "mounting a small file system needs root")
    os.mkdir("small")
    yield lambda options: need(subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", "small"]).returncode == 0,
                               "mounting a tmpfs is not permitted here")
    subprocess.run(["umount", "small"], capture_output=True)


def test_failures_keep_the_previous_page(work, run, shim):
    assert over_previous_page(run, limits=[(resource.RLIMIT_FSIZE, (40 << 10,) * 2)]) == ("previous", [])
    assert over_previous_page(run, env=shim(CLOSE=1)) == ("previous", [])
    assert over_previous_page(run, env=shim(DATE=1)) == ("previous", [])  # a page that looks fresher than it is


def test_full_disk(small_tmpfs, run):
    small_tmpfs("size=64k")
    assert over_previous_page(run, "small") == ("previous", [])


def test_folder_that_takes_no_new_file(small_tmpfs, run):
    # For another reason than its mode (out of inodes, immutable): the page is
    # written in place.
    small_tmpfs("size=1m,nr_inodes=3")  # the folder, the source and the page
    assert over_previous_page(run, "small") == ("new", [])
    immutable = subprocess.run(["chattr", "+i", "."], capture_output=True).returncode == 0
    need(immutable and subprocess.run(["chattr", "-i", "."]).returncode == 0, "chattr +i is refused here")
    assert over_previous_page(run, before=lambda: subprocess.run(["chattr", "+i", "."])) == ("new", [])


def test_rename_refused_after_all(work, run, quarnel, shim):
    # Then the page is written in place, dated with the moment its source was
    # read though the run has waited a second on the way.
    rename = "renameat,renameat2"
    binary = strace("-e", f"trace={rename}", "-e", f"inject={rename}:error=EPERM", quarnel)
    started = time.time()
    assert over_previous_page(run, binary=binary, env=shim(STALL=1)) == ("new", [])
    assert os.stat("s.c.html").st_mtime < started + 0.5


def test_temporary_name_taken(work, run, shim):
    # With no page to write in place, a page comes only from a fresh name
    # tried after the taken one.
    repeat_sample(1, "s.c")
    run("-c", "s.c", env=shim(TAKE=1))
    assert (read("s.c.html"), [read(name) for name in temporary_files()]) == (expected("s.c")[1], [b"taken"])


@pytest.mark.parametrize("moment", ["before", "after"])
def test_signal_as_the_temporary_is_created(moment, work, quarnel, shim):
    # Just before the create of a name that turns out taken, or just after
    # the create of the run's own file: the signal waits until that file is
    # marked, and removes it, never the file that held the name first.
    repeat_sample(1, "s.c")
    write("s.c.html", b"previous")
    env = shim(TAKE=1, SIGNAL=int(signal.SIGTERM), **({"SIGNAL_AFTER": 1} if moment == "after" else {}))
    done = subprocess.run([quarnel, "-c", "s.c"], env=env, capture_output=True, timeout=60,
                          preexec_fn=lambda: signal.signal(signal.SIGTERM, signal.SIG_DFL))
    assert done.returncode == -signal.SIGTERM
    assert (read("s.c.html"), [read(name) for name in temporary_files()]) == (b"previous", [b"taken"])


@pytest.mark.parametrize("swapped_for", ["link", "FIFO"])
def test_page_swapped_before_written_in_place(swapped_for, work, run, shim):
    # Between the look at the page and its opening in place: nothing is
    # written through a link, and nothing waits on a FIFO.
    write("target", b"keep")
    os.symlink("target", "swap") if swapped_for == "link" else os.mkfifo("swap")
    kind = stat.S_IFMT(os.lstat("swap").st_mode)
    assert over_previous_page(run, env=shim(REFUSE=1, SWAP="swap")) == (kind, [])
    assert read("target") == b"keep"


@pytest.mark.parametrize("who", ["nobody", "root without CAP_FOWNER"])
def test_sticky_folder_decided_before_writing(who, run, nobody, quarnel):
    # Another user's page in a third user's sticky folder is written in place
    # at once, without a temporary file first; being root does not decide it.
    os.mkdir("sticky")
    os.chown("sticky", 1234, 1234)
    os.chmod("sticky", 0o1777)

    def others_page():
        os.chmod("sticky/s.c.html", 0o666)
        os.chown("sticky/s.c.html", *(2 * [0 if who == "nobody" else NOBODY]))
    traced = strace("-e", "trace=openat", nobody.pop("binary") if who == "nobody" else quarnel)
    options = {**nobody, "binary": traced} if who == "nobody" else {"binary": NO_FOWNER + traced}
    assert over_previous_page(run, "sticky", others_page, **options) == ("new", [])
    assert ".quarnel-" not in read("trace").decode()


def limited(kb):
    return [(resource.RLIMIT_AS, (kb << 10, kb << 10))]


def test_out_of_memory(work, run, quarnel):
    # Within every limit from just enough to start up to enough to finish, 64
    # KB apart, the page is the previous one or the complete new one: a source
    # that cannot be held in memory is not a source without tokens.
    need(not os.environ.get("QUARNEL_SANITIZED"), "sanitizers need more address space than this allows")
    repeat_sample(3000)
    listing, page = expected("big.c")
    limit_kb = 2000
    while subprocess.run([quarnel], stderr=subprocess.DEVNULL,
                         preexec_fn=lambda: resource.setrlimit(*limited(limit_kb)[0])).returncode != 0:
        limit_kb += 100
    seen = {}
    while (listing, page) not in seen:
        write("big.c.html", b"previous")
        outcome = run("-c", "big.c", limits=limited(limit_kb)), read("big.c.html")
        assert outcome in [(b"", b"previous"), (listing, b"previous"), (listing, page)], limit_kb
        assert temporary_files() == [], limit_kb
        seen.setdefault(outcome, limit_kb)
        limit_kb += 64
    # Where the source could not be held and there was no page, none is written.
    os.remove("big.c.html")
    run("-c", "big.c", limits=limited(seen[b"", b"previous"]))
    assert not os.path.exists("big.c.html")


@pytest.mark.parametrize("where", ["replaced", "in place"])
def test_page_dated_when_its_source_was_read(where, work, run, command, request, settle=0, newline=b"\n"):
    # A source changed while a run is blocked on its listing, after the
    # source was read, is newer than the page; an unchanged one is older.
    # settle: a pause before the change, for a run that dates by another
    # clock than the file system's; newline: what the run writes for a line feed.
    options = request.getfixturevalue("nobody") if where == "in place" else {}
    source = "locked/s.c" if options else "s.c"
    if options:  # in a folder that takes no new file, the user's own page
        os.mkdir("locked")
        write("locked/s.c.html", b"previous")
        os.chown("locked/s.c.html", NOBODY, NOBODY)
        os.chmod("locked", 0o555)
    write(source, b"word 12 /* c */\n" * 5000)
    listing, page = (text.replace(b"\n", newline) for text in expected(source))
    binary = options.pop("binary", None)
    running = subprocess.Popen(([binary] if binary else command) + ["-c", source], stdout=subprocess.PIPE, **options)
    threading.Thread(target=lambda: (time.sleep(60), running.kill()), daemon=True).start()  # bounds the reads
    first_line = running.stdout.readline()  # the listing waits on its reader
    time.sleep(settle)
    write(source, b"changed")
    time.sleep(0.05)  # so that a page written now is dated after the change, past the coarse clock's tick
    assert (first_line + running.stdout.read(), running.wait(60), read(source + ".html")) == (listing, 0, page)
    assert os.stat(source + ".html").st_mtime_ns < os.stat(source).st_mtime_ns
    time.sleep(0.05)
    run("-c", source, binary=binary, **options)
    assert os.stat(source + ".html").st_mtime_ns > os.stat(source).st_mtime_ns


@pytest.mark.parametrize("name, ignored", [(name, False) for name in ENDING] + [("HUP", True)])
def test_signal_mid_page(name, ignored, work, quarnel, shim):
    # The new file is removed, the previous page kept, and the run ends as the
    # signal would have ended it; a signal it was started to ignore stays
    # ignored. The run waits a second on its first write to the new file, and
    # is started as a shell with job control would start it.
    def prepare():
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
        for other in ENDING:
            signal.signal(signal.Signals["SIG" + other], signal.SIG_IGN if ignored and other == name else signal.SIG_DFL)
    repeat_sample(30)
    write("big.c.html", b"previous")
    running = subprocess.Popen([quarnel, "-c", "big.c"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                               preexec_fn=prepare, env=shim(STALL=1 if ignored else 60))
    deadline = time.monotonic() + 60
    while not temporary_files():
        assert running.poll() is None and time.monotonic() < deadline, "no page file seen"
    running.send_signal(signal.Signals["SIG" + name])
    ended = (0, expected("big.c")[1]) if ignored else (-signal.Signals["SIG" + name], b"previous")
    assert (running.wait(60), read("big.c.html"), running.stderr.read(), temporary_files()) == (*ended, b"", [])
