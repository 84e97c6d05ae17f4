"""The page is the previous one or the complete new one, whatever stops a run
from writing it: a full disk, a file size limit, too little memory, a signal."""
import glob
import os
import resource
import signal
import subprocess
import time

import pytest

from conftest import need, repeat_sample
from model import page

EMPTY_PAGE = page([])


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, text):
    with open(path, "wb") as f:
        f.write(text)


def no_temporary_files(folder="."):
    assert glob.glob(os.path.join(folder, ".quarnel-*")) == []


def test_full_disk(work, run):
    need(os.geteuid() == 0, "mounting a small file system needs root")
    os.mkdir("small")
    need(subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", "small"]).returncode == 0,
         "mounting a tmpfs is not permitted here")
    try:
        repeat_sample(30, "small/big.c")
        write("small/big.c.html", b"previous")
        run("-c", "small/big.c")
        assert read("small/big.c.html") == b"previous"
        no_temporary_files("small")
    finally:
        subprocess.run(["umount", "small"])


def test_file_size_limit(work, run):
    repeat_sample(30)
    write("big.c.html", b"previous")
    run("-c", "big.c", limits=[(resource.RLIMIT_FSIZE, 40 << 10)])  # the listing goes to a pipe
    assert read("big.c.html") == b"previous"
    no_temporary_files()


def test_out_of_memory(work, run, quarnel):
    need(not os.environ.get("QUARNEL_SANITIZED"), "sanitizers need more address space than this allows")
    # A text that does not fit in memory, or fits once but not twice, counts
    # as too large to load: an empty listing and a complete empty page.
    with open("big.c", "wb") as f:
        f.write(b"first" + b" " * 100000000 + b"last")
    for limit_kb in (80000, 180000):
        assert run("-c", "big.c", limits=[(resource.RLIMIT_AS, limit_kb << 10)]) == b""
        assert read("big.c.html") == EMPTY_PAGE
        os.remove("big.c.html")
    os.remove("big.c")
    # Every limit from just enough to start up to enough to finish, 16 KB
    # apart: the page either the previous one or complete (empty when the
    # text did not load), and no temporary file left.
    listing, full_page = repeat_sample(300)
    start_kb = 2000
    while subprocess.run([quarnel], preexec_fn=lambda: resource.setrlimit(
            resource.RLIMIT_AS, (start_kb << 10, start_kb << 10))).returncode != 0:
        start_kb += 100
    for limit_kb in range(start_kb, start_kb + 4000, 16):
        write("big.c.html", b"previous")
        printed = run("-c", "big.c", limits=[(resource.RLIMIT_AS, limit_kb << 10)])
        assert read("big.c.html") in (b"previous", full_page, EMPTY_PAGE if printed == b"" else full_page), limit_kb
        no_temporary_files()
    assert (printed, read("big.c.html")) == (listing, full_page), "not enough to finish"


def start_mid_page(quarnel, ignored=()):
    """A run on a large source, once it has begun its page."""
    def prepare():  # as a shell with job control would start it
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(number, signal.SIG_IGN if number in ignored else signal.SIG_DFL)
    running = subprocess.Popen([quarnel, "-c", "big.c"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                               preexec_fn=prepare)
    deadline = time.monotonic() + 60
    while not glob.glob(".quarnel-*"):
        assert running.poll() is None and time.monotonic() < deadline, "no page file seen"
    return running


@pytest.mark.parametrize("name", ["INT", "TERM", "HUP"])
def test_signal_mid_page(name, work, quarnel):
    # The new file is removed, the previous page kept, and the run ends as
    # the signal would have ended it.
    repeat_sample(20000)
    write("big.c.html", b"previous")
    running = start_mid_page(quarnel)
    running.send_signal(signal.Signals["SIG" + name])
    assert running.wait(60) == -signal.Signals["SIG" + name]
    assert (running.stderr.read(), read("big.c.html")) == (b"", b"previous")
    no_temporary_files()


def test_ignored_signal(work, quarnel):
    _, full_page = repeat_sample(20000)
    running = start_mid_page(quarnel, ignored=[signal.SIGHUP])
    running.send_signal(signal.SIGHUP)
    assert running.wait(60) == 0
    assert read("big.c.html") == full_page
