"""Cases that are a command line and the files around it, each with the
listing and the page it must give: one row each. After every run, each file
that stood before is as it was, the page aside, and no other file is left."""
import os
import socket
import stat
from collections import namedtuple

import pytest

from conftest import DATA, NOBODY, need
from model import page

DIR, FIFO, SOCKET, DEVICE = "directory", "FIFO", "socket", "device"
Case = namedtuple("Case", "name args files listing page user umask mode", defaults=(None, 0o022, None))
Entry = namedtuple("Entry", "what mode uid", defaults=(None, None))


def link(target):
    return ("link", target)


def data(name):
    with open(os.path.join(DATA, name), "rb") as f:
        return f.read()


K, PAGE_K = b"(0 : Word ) ->k\n", page([(b"k", "Word")])
INT_X = b"(0 : Word ) ->int\n(1 : Word ) ->x\n(2 : Symbol ) ->;\n"
SAMPLE, SAMPLE_LISTING, SAMPLE_PAGE = data("sample.c"), data("sample.c.listing"), data("sample.c.html")
ODD = os.fsdecode(b"with space \xc3\xa9\xff.c")
LOCKED = {"locked": Entry(DIR, 0o555), "locked/a.c": b"k"}

CASES = [
    # name, arguments ("-c" and a path, when a text), files before the run, listing, page (None: none written)
    *(Case(f"ignored: {' '.join(args) or 'no arguments'}", args, {"a.c": b"int x;"}, b"", None)
      for args in ([], ["-c"], ["-c", "a.c", "a.c"], ["-C", "a.c"], ["-cx", "a.c"], ["a.c"], ["a.c", "-c"],
                   ["--c", "a.c"], ["-", "a.c"])),
    Case("missing source", "missing.cpp", {}, b"", page([])),
    Case("empty source", "e.c", {"e.c": b""}, b"", page([])),
    Case("directory as source", "d.c", {"d.c": DIR}, b"", page([])),
    Case("device as source", "null.c", {"null.c": link("/dev/null")}, b"", page([])),
    Case("FIFO as source, which nothing writes", "fifo.c", {"fifo.c": FIFO}, b"", page([])),
    Case("unreadable source", "s.c", {"s.c": Entry(b"secret", 0)}, b"", page([]), NOBODY),
    Case("read-only source", "s.c", {"s.c": Entry(b"k", 0o444)}, K, PAGE_K, NOBODY),
    Case("sample", "sample.c", {"sample.c": SAMPLE}, SAMPLE_LISTING, SAMPLE_PAGE),
    Case("stale page", "sample.c", {"sample.c": SAMPLE, "sample.c.html": b"stale"}, SAMPLE_LISTING, SAMPLE_PAGE),
    Case("relative path", "sub/dir/f.cpp", {"sub/dir/f.cpp": b"k"}, K, PAGE_K),
    Case("odd bytes in the name", ODD, {ODD: b"k"}, K, PAGE_K),
    Case("directory at the page's name", "a.c", {"a.c": b"int x;", "a.c.html": DIR}, INT_X, None),
    # Whatever else stands at the page's name is replaced, never written through or waited on.
    *(Case(f"{name} at the page's name", "s.c", {"s.c": b"k", "s.c.html": what, "t": b"keep"}, K, PAGE_K)
      for name, what in [("link", link("t")), ("dangling link", link("nowhere")), ("link to the source", link("s.c")),
                         ("link to a directory", link(".")), ("FIFO", FIFO), ("socket", SOCKET), ("device", DEVICE)]),
    Case("new page under umask 027", "s.c", {"s.c": b"k"}, K, PAGE_K, umask=0o027, mode=0o640),
    Case("page of mode 604", "s.c", {"s.c": b"k", "s.c.html": Entry(b"old", 0o604)}, K, PAGE_K),
    Case("page of mode 000", "s.c", {"s.c": b"k", "s.c.html": Entry(b"old", 0)}, K, PAGE_K),
    # A folder that takes no new file: a page that may be written is written in place.
    Case("in place", "locked/a.c", {**LOCKED, "locked/a.c.html": Entry(b"old", 0o644, NOBODY)}, K, PAGE_K, NOBODY),
    Case("in place, no page", "locked/a.c", LOCKED, K, None, NOBODY),
    Case("in place, page not writable", "locked/a.c", {**LOCKED, "locked/a.c.html": b"old"}, K, None, NOBODY),
]


def make(path, what):
    if isinstance(what, Entry):
        make(path, what.what)
        if what.uid is not None:
            os.lchown(path, what.uid, what.uid)
        if what.mode is not None:
            os.chmod(path, what.mode)
        return
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    if isinstance(what, bytes):
        with open(path, "wb") as f:
            f.write(what)
    elif isinstance(what, tuple):
        os.symlink(what[1], path)
    elif what == DIR:
        os.makedirs(path, exist_ok=True)
    elif what == FIFO:
        os.mkfifo(path)
    elif what == SOCKET:
        socket.socket(socket.AF_UNIX).bind(path)
    else:
        try:
            os.mknod(path, stat.S_IFCHR | 0o666, os.makedev(1, 3))
        except PermissionError:
            pytest.skip("making a device is not permitted here")


def snapshot():
    """Every entry below the current folder: its kind and mode, its owner, and
    what it holds (a file's bytes, a link's target)."""
    found = {}
    for folder, names, files in os.walk("."):
        for name in names + files:
            path = os.path.normpath(os.path.join(folder, name))
            status = os.lstat(path)
            held = os.readlink(path) if stat.S_ISLNK(status.st_mode) else None
            if stat.S_ISREG(status.st_mode):
                with open(path, "rb") as f:
                    held = f.read()
            found[path] = (stat.S_IFMT(status.st_mode), stat.S_IMODE(status.st_mode), status.st_uid, held)
    return found


@pytest.mark.parametrize("case", CASES, ids=[case.name for case in CASES])
def test_case(case, work, run, request):
    options = request.getfixturevalue("nobody") if case.user == NOBODY else {}
    # Folders last, so that their own modes do not stop their files being made.
    for path, what in sorted(case.files.items(), key=lambda item: getattr(item[1], "what", item[1]) == DIR):
        make(path, what)
    args = ["-c", case.args] if isinstance(case.args, str) else case.args
    expected = snapshot()
    if case.page is not None:
        page_path = os.path.normpath(args[1] + ".html")
        previous = expected.get(page_path)
        keeps = previous is not None and previous[0] == stat.S_IFREG
        mode = case.mode if case.mode is not None else previous[1] if keeps else 0o666 & ~case.umask
        owner = previous[2] if keeps else options.get("user", os.geteuid())
        expected[page_path] = (stat.S_IFREG, mode, owner, case.page)
    assert run(*args, umask=case.umask, **options) == case.listing
    assert snapshot() == expected
