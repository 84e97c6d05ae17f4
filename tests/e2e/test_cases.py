# Cases that are a command line and the files around it, each with the
# listing and the page it must give: one row each. After every run, each file
# that stood before is as it was, the page aside, and no other file is left.
import os
import socket
import stat
import subprocess
import tempfile
from collections import namedtuple

import pytest

from conftest import DAEMON, DATA, NO_FOWNER, NO_PROC, NOBODY, USERS, acl, need, read, succeeds, write
from model import page

DIR, FIFO, SOCKET, DEVICE = "directory", "FIFO", "socket", "device"
Case = namedtuple("Case", "name args files listing page user umask mode in_place owner acl fs",
                  defaults=(None, 0o022, None, False, None, None, None))
Entry = namedtuple("Entry", "what mode uid gid acl flags", defaults=(None, None, None, None, None))


K, PAGE_K = b"(0 : Word ) ->k\n", page([(b"k", "Word")])
INT_X = b"(0 : Word ) ->int\n(1 : Word ) ->x\n(2 : Symbol ) ->;\n"
SAMPLE, SAMPLE_LISTING, SAMPLE_PAGE = (read(os.path.join(DATA, name)) for name in ("sample.c", "sample.c.listing",
                                                                                    "sample.c.html"))
ODD = os.fsdecode(b"with space \xc3\xa9\xff.c")
LOCKED = {"locked": Entry(DIR, 0o555), "locked/a.c": b"k"}  # nobody may not write it
APPEND_ONLY = {"ap": Entry(DIR, 0o755, flags="+a"), "ap/a.c": b"k"}
STICKY = {"sticky": Entry(DIR, 0o1777, 1234), "sticky/a.c": b"k"}  # a third user's
SHARED = {"shared": Entry(DIR, 0o777), "shared/a.c": b"k"}
LONG = "/".join(["d" * 254] * 16)  # with the page's name, just short of PATH_MAX; not the temporary's

CASES = [
    # name, arguments ("-c" and a path, when a text), files before the run, listing, page (None: none written)
    *(Case(f"ignored: {' '.join(args) or 'no arguments'}", args, {"a.c": b"int x;"}, b"", None)
      for args in ([], ["-c"], ["-c", "a.c", "a.c"], ["-C", "a.c"], ["-cx", "a.c"], ["a.c"], ["a.c", "-c"],
                   ["--c", "a.c"], ["-", "a.c"])),
    Case("missing source", "missing.cpp", {}, b"", page([])),
    Case("empty source", "e.c", {"e.c": b""}, b"", page([])),
    Case("directory as source", "d.c", {"d.c": DIR}, b"", page([])),
    Case("device as source", "null.c", {"null.c": ("link", "/dev/null")}, b"", page([])),
    Case("FIFO as source, which nothing writes", "fifo.c", {"fifo.c": FIFO}, b"", page([])),
    Case("unreadable source", "s.c", {"s.c": Entry(b"secret", 0)}, b"", page([]), NOBODY),
    Case("read-only source", "s.c", {"s.c": Entry(b"k", 0o444)}, K, PAGE_K, NOBODY),
    Case("sample", "sample.c", {"sample.c": SAMPLE}, SAMPLE_LISTING, SAMPLE_PAGE),
    Case("relative path", "sub/dir/f.cpp", {"sub/dir/f.cpp": b"k"}, K, PAGE_K),
    Case("odd bytes in the name", ODD, {ODD: b"k"}, K, PAGE_K),
    Case("folder path near PATH_MAX", LONG + "/a.c", {LONG + "/a.c": b"k"}, K, PAGE_K),
    Case("directory at the page's name", "a.c", {"a.c": b"int x;", "a.c.html": DIR}, INT_X, None),
    # Whatever else stands at the page's name is replaced, never written through or waited on.
    *(Case(f"{name} at the page's name", "s.c", {"s.c": b"k", "s.c.html": what, "t": b"keep"}, K, PAGE_K)
      for name, what in [("link", ("link", "t")), ("dangling link", ("link", "nowhere")), ("link to the source", ("link", "s.c")),
                         ("link to a directory", ("link", ".")), ("FIFO", FIFO), ("socket", SOCKET), ("device", DEVICE),
                         ("another user's link", Entry(("link", "t"), None, NOBODY))]),
    Case("new page under umask 027", "s.c", {"s.c": b"k"}, K, PAGE_K, umask=0o027, mode=0o640),
    Case("page of mode 604", "s.c", {"s.c": b"k", "s.c.html": Entry(b"old", 0o604)}, K, PAGE_K),
    Case("page of mode 666 under umask 022", "s.c", {"s.c": b"k", "s.c.html": Entry(b"old", 0o666)}, K, PAGE_K),
    # Root keeps the page's owner and group, but no set-id bits.
    Case("another user's page", "s.c", {"s.c": b"k", "s.c.html": Entry(b"old", 0o640, NOBODY, USERS)}, K, PAGE_K),
    Case("another user's page, as root without CAP_FOWNER", "s.c", {"s.c": b"k", "s.c.html": Entry(b"old", 0o644, NOBODY)},
         K, PAGE_K, NO_FOWNER),
    Case("page of mode 7755", "s.c", {"s.c": b"k", "s.c.html": Entry(b"old", 0o7755, NOBODY)}, K, PAGE_K, mode=0o755),
    Case("page of mode 1644 whose mode cannot be set", "s.c", {"s.c": b"k", "s.c.html": Entry(b"old", 0o1644)}, K,
         PAGE_K, mode=0o600, fs="bindfs --chmod-deny"),
    # Group bits, and the ACL's owning-group entry, only for the page's own group.
    Case("another user's page, as root where owners cannot be kept", "s.c", {"s.c": b"k", "s.c.html": Entry(
         b"old", 0o640, NOBODY, DAEMON, "u:nobody:r")}, K, PAGE_K, owner=(0, 0), acl="u::rw,u:nobody:r,g::-,m::r,o::-",
         fs="bindfs --chown-deny --chgrp-deny"),
    # A folder that takes no new file: a page that may be written is written in place.
    Case("in place", "locked/a.c", {**LOCKED, "locked/a.c.html": Entry(b"old", 0o644, NOBODY)}, K, PAGE_K, NOBODY,
         in_place=True),
    Case("in place, over a longer page", "locked/a.c", {**LOCKED, "locked/a.c.html": Entry(b"old" * 999, 0o644, NOBODY)},
         K, PAGE_K, NOBODY, in_place=True),
    Case("in place, no page", "locked/a.c", LOCKED, K, None, NOBODY),
    Case("in place, page not writable", "locked/a.c", {**LOCKED, "locked/a.c.html": b"old"}, K, None, NOBODY),
    *(Case(f"in place, {name} at the page's name", "locked/a.c", {**LOCKED, "locked/a.c.html": Entry(what, 0o666, NOBODY)},
           K, None, NOBODY) for name, what in [("FIFO", FIFO), ("device", DEVICE)]),
    # An append-only folder would keep every name made in it.
    Case("append-only folder", "ap/a.c", {**APPEND_ONLY, "ap/a.c.html": b"old"}, K, PAGE_K, in_place=True),
    Case("append-only folder, no page", "ap/a.c", APPEND_ONLY, K, None),
    Case("append-only folder, a link at the page's name", "ap/a.c", {**APPEND_ONLY, "ap/a.c.html": ("link", "a.c")}, K,
         None),
    Case("immutable page", "s.c", {"s.c": b"k", "s.c.html": Entry(b"old", 0o644, flags="+i")}, K, None),
    # A sticky folder would refuse to let another user's page be replaced.
    Case("sticky folder", "sticky/a.c", {**STICKY, "sticky/a.c.html": Entry(b"old", 0o666)}, K, PAGE_K, NOBODY,
         in_place=True),
    Case("sticky folder, as root", "sticky/a.c", {**STICKY, "sticky/a.c.html": Entry(b"old", 0o666, NOBODY)}, K, PAGE_K),
    Case("the user's page in a sticky folder, with a hard link", "sticky/a.c", {**STICKY, "sticky/a.c.html": Entry(
         b"old", 0o644, NOBODY), "sticky/link": ("hard link", "sticky/a.c.html")}, K, PAGE_K, NOBODY),
    Case("sticky folder of the user's", "mine/a.c", {"mine": Entry(DIR, 0o1777, NOBODY), "mine/a.c": b"k",
         "mine/a.c.html": Entry(b"old", 0o666)}, K, PAGE_K, NOBODY, mode=0o606, owner=(NOBODY, NOBODY)),
    # Another user's page in a folder that all may write: a new page of the user's, with the old one's group
    # bits where the user is of that group.
    Case("group's page in a shared folder", "shared/a.c", {**SHARED, "shared/a.c.html": Entry(b"old", 0o664, 0, USERS)},
         K, PAGE_K, NOBODY, owner=(NOBODY, USERS)),
    Case("page of mode 6755 in a shared folder", "shared/a.c", {**SHARED, "shared/a.c.html": Entry(b"old", 0o6755)},
         K, PAGE_K, NOBODY, mode=0o705, owner=(NOBODY, NOBODY)),
    # A replaced page keeps its ACL, and gets none from its folder.
    Case("page with an ACL", "s.c", {"s.c": b"k", "s.c.html": Entry(b"old", 0o600, 0, DAEMON, "u:nobody:r")}, K, PAGE_K),
    Case("page with an ACL, no /proc", "s.c", {"s.c": b"k", "s.c.html": Entry(b"old", 0o640, 0, DAEMON, "u:nobody:r")},
         K, PAGE_K, NO_PROC),
    Case("page of mode 644 on a file system without ACLs", "s.c", {"s.c": b"k", "s.c.html": Entry(b"old", 0o644)}, K,
         PAGE_K, fs="ramfs"),
    Case("folder with a default ACL", "acl/a.c", {"acl": Entry(DIR, 0o755, acl="d:u:nobody:rw"), "acl/a.c": b"k",
         "acl/a.c.html": Entry(b"old", 0o640)}, K, PAGE_K),
    Case("folder that may not be read", "wx/a.c", {"wx": Entry(DIR, 0o333), "wx/a.c": b"k"}, K, PAGE_K, NOBODY),
]


MAKE = {DIR: lambda path: os.makedirs(path, exist_ok=True), FIFO: os.mkfifo,
        SOCKET: lambda path: socket.socket(socket.AF_UNIX).bind(path),
        DEVICE: lambda path: need(subprocess.run(["mknod", path, "c", "1", "3"]).returncode == 0,
                                  "making a device is not permitted here")}


def make(path, entry):
    what, mode, uid, gid, acl, flags = entry if isinstance(entry, Entry) else Entry(entry)
    LINK = {"link": lambda target: os.symlink(target, path), "hard link": lambda target: os.link(target, path)}
    write(path, what) if isinstance(what, bytes) else LINK[what[0]](what[1]) if isinstance(what, tuple) \
        else MAKE[what](path)
    if uid is not None:
        need(os.geteuid() == 0, "making another user's file needs root")
        os.lchown(path, uid, uid if gid is None else gid)
    if mode is not None:
        os.chmod(path, mode)
    for command in ([["setfacl", "-m", acl]] if acl else []) + ([["chattr", flags]] if flags else []):
        need(succeeds(*command, path), f"{command[0]} is missing or refused here")


def snapshot():
    # Every entry below the current folder: its kind and mode, its owner and
    # group, what it holds (a file's bytes, a link's target), and its ACL.
    found = {}
    for folder, names, files in os.walk("."):
        for name in names + files:
            path = os.path.normpath(os.path.join(folder, name))
            status = os.lstat(path)
            held = read(path) if stat.S_ISREG(status.st_mode) else os.readlink(path) if stat.S_ISLNK(status.st_mode) else None
            found[path] = (stat.S_IFMT(status.st_mode), stat.S_IMODE(status.st_mode), status.st_uid, status.st_gid, held,
                           acl(path))
    return found


@pytest.mark.parametrize("case", CASES, ids=[case.name for case in CASES])
def test_case(case, work, run, quarnel, request):
    options = request.getfixturevalue("nobody") if case.user == NOBODY else {}
    if isinstance(case.user, list):
        need(os.geteuid() == 0, "dropping a capability, or hiding /proc, needs root")
        options = {"binary": case.user + [quarnel]}
    kind, _, fs_options = (case.fs or "tmpfs size=64m").partition(" ")
    if case.fs or any(getattr(entry, "flags", None) for entry in case.files.values()):  # flags vanish with it
        mount = request.getfixturevalue("mount")
        mount("fs", kind, fs_options) if kind != "bindfs" else os.makedirs("fs")
        os.chdir("fs")
    # Folders last, so that their own modes do not stop their files being made.
    for path, what in sorted(case.files.items(), key=lambda item: getattr(item[1], "what", item[1]) == DIR):
        make(path, what)
    if kind == "bindfs":  # over the files made
        mount(".", kind, fs_options)
    args = ["-c", case.args] if isinstance(case.args, str) else case.args
    expected = snapshot()
    page_path = os.path.normpath(args[-1] + ".html") if args else ""
    inode = os.lstat(page_path).st_ino if os.path.isfile(page_path) else None
    if case.page is not None:
        previous = expected.get(page_path)
        keeps = previous is not None and previous[0] == stat.S_IFREG
        mode = case.mode if case.mode is not None else previous[1] if keeps else 0o666 & ~case.umask
        owner = case.owner or (previous[2:4] if keeps else (options.get("user", os.geteuid()), options.get("group", os.getegid())))
        expected[page_path] = (stat.S_IFREG, mode, *owner, case.page, acl_of(case.acl) if case.acl else
                               previous[5] if keeps else None)
    assert (run(*args, **{**options, "umask": case.umask}), snapshot()) == (case.listing, expected)
    if case.page is not None and inode is not None:  # a page written in place keeps its file, a replaced one not
        assert (os.lstat(page_path).st_ino == inode) == case.in_place


def acl_of(entries):
    # The ACL that setfacl --set makes of these entries, as the system stores it.
    with tempfile.NamedTemporaryFile() as scratch:
        subprocess.run(["setfacl", "--set", entries, scratch.name], check=True)
        return acl(scratch.name)
