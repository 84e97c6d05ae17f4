# The Windows build under an emulator (Wine). There, text mode folds CR LF to
# LF on reading and writes every LF as CR LF, in the listing and the page.
import os
import subprocess
import time

import pytest

import test_page
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
    # Windows dates files by its coarse clock, but Wine by the precise one:
    # the change waits for a tick of the coarse one.
    name, where, act, dated = next(row for row in test_page.DATES if row[0] == change)
    test_page.test_page_dated_when_its_source_was_read(where, lambda: (time.sleep(0.01), act()), dated, command,
                                                       lambda folder: (folder, {}, lambda: None), None, b"\r\n")
