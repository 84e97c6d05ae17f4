# The Windows build under an emulator (Wine). There, text mode folds CR LF to
# LF on reading and writes every LF as CR LF, in the listing and the page.
import os
import subprocess
import threading
import time

import pytest

from conftest import need, read, write
from model import page

LISTING = b"(0 : Word ) ->a\r\n(1 : Comment ) -> one\r\ntwo \r\n(2 : Word ) ->b\r\n(3 : Comment ) -> c\r\n(4 : Word ) ->d\r\n"
PAGE = page([(b"a", "Word"), (b" one\r\ntwo ", "Comment"), (b"b", "Word"), (b" c", "Comment"), (b"d", "Word")])
CASES = [
    # source, listing, page
    (b"a /* one\ntwo */ b // c\nd\n", LISTING, PAGE),
    (b"a /* one\r\ntwo */ b // c\r\nd\r\n", LISTING, PAGE),
    # a lone CR separates tokens and stays in a comment
    (b"x\ry /* p\rq */", b"(0 : Word ) ->x\r\n(1 : Word ) ->y\r\n(2 : Comment ) -> p\rq \r\n",
     page([(b"x", "Word"), (b"y", "Word"), (b" p\rq ", "Comment")])),
    (b"k", b"(0 : Word ) ->k\r\n", None),  # a directory at the page's name: no page, nothing else left
]


@pytest.fixture(scope="module", autouse=True)
def emulator(request):
    need(request.config.getoption("--emulator"), "no emulator for the Windows build (install wine)")
    # The first run sets up the emulator's prefix, talking on standard error.
    subprocess.run([request.config.getoption("--emulator"), request.config.getoption("--quarnel")], capture_output=True)


@pytest.mark.parametrize("source, listing, page", CASES, ids=["LF", "CR LF", "CR", "directory at the page's name"])
def test_text_mode(source, listing, page, work, run):
    write("a.c", source)
    os.mkdir("a.c.html") if page is None else write("a.c.html", b"previous")
    assert (run("-c", "a.c"), read("a.c.html") if page else os.listdir("a.c.html"), sorted(os.listdir("."))) == (
        listing, page or [], ["a.c", "a.c.html"])


@pytest.mark.parametrize("change", ["changed", "saved by a rename"])
def test_page_dated_when_its_source_was_read(change, work, command):
    # The source changes once the run has read it and is held on its
    # listing's reader: the page is older than the source.
    write("s.c", b"word 12 /* c */\n" * 5000)  # a listing that fills the reader's pipe
    write("saved.c", b"int saved;")
    os.utime("saved.c", ns=(10 ** 18, 10 ** 18))
    running = subprocess.Popen(command + ["-c", "s.c"], stdout=subprocess.PIPE)
    killer = threading.Timer(60, running.kill)  # bounds every wait below
    killer.start()
    running.stdout.readline()
    if change == "changed":
        write("s.c", b"changed")
        os.utime("s.c", ns=(time.time_ns(), time.time_ns()))  # by the clock the run read, not the file system's
    else:
        os.replace("saved.c", "s.c")
    running.stdout.read()
    killer.cancel()
    assert (running.wait(), os.stat("s.c.html").st_mtime_ns < os.stat("s.c").st_mtime_ns) == (0, True)
