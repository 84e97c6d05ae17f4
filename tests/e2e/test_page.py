# Runs of quarnel on files made for each, one row each, with what the run must
# leave. The page is the previous one or the complete new one, whatever stops
# a run; it is written in place only where the folder refuses a new file for
# want of permission or for its attributes, and then never looks finished
# before it is; it is dated with the moment its source was read, or before a
# source that replaced it; nobody who could not read the previous page can
# read it; and no run leaves a name behind or changes another file.
import fcntl
import os
import resource
import select
import signal
import stat
import subprocess
from collections import namedtuple

import pytest

from conftest import (DAEMON, DATA, NO_FOWNER, NO_PROC, NOBODY, OWN_MOUNTS, USERS, acl, expected, need, read,
                      strace, succeeds, write)

Entry = namedtuple("Entry", "what mode uid gid acl flags fs", defaults=(None,) * 6)
DIR, FIFO = "directory", "FIFO"
ENDING = ["HUP", "INT", "QUIT", "TERM", "ALRM", "USR1", "USR2", "VTALRM", "PROF", "XCPU"]
EARLIER = 1_700_000_000_123_456_789  # every file's time before a run, in nanoseconds
HELPERS = {".quarnel", ".shim.so", "f.img", "lost+found"}  # what the tests' own machinery keeps beside the files
SOURCE = read(os.path.join(DATA, "sample.c")).replace(b"\0", b"") * 30  # its page fills 77 KB
PAGE = {"f/s.c": SOURCE, "f/s.c.html": b"previous", "saved.c": b"int saved;", "t": b"keep"}  # a row's usual files
NOBODYS = {path: Entry(what, uid=NOBODY) for path, what in PAGE.items()}
LOCKED = {"f": Entry(DIR, 0o555), **NOBODYS}  # a folder nobody may not write, with nobody's page: written in place
SHARED = {"f": Entry(DIR, 0o777), **PAGE}  # a folder all may write


def on(fs, **folder):  # the usual files in a file system of their own
    return {"f": Entry(DIR, fs=fs, **folder), **PAGE}


def sticky(owner):  # a third user's sticky folder with room for one page, not two, and owner's page
    return {**on("tmpfs size=128k", mode=0o1777, uid=1234), "f/s.c.html": Entry(b"previous", 0o666, owner)}


def at(call, action, when=1):
    return f"-e inject={call}:{action}:when={when} "


NEW_FILE = "-P f " + at("openat", "{}", 3)  # opened after the folder itself and the look at the page
CHANGE = "echo >> f/s.c && touch -d @$TICK f/s.c"  # a change within the tick the source was read in
TAKEN = ", left b'taken'"  # a file that took the first fresh name, kept
LONG = "/".join(["d" * 254] * 16)  # with the page's name, just short of PATH_MAX

ROWS = [
    # name, files (a path's bytes, DIR, FIFO, ("link" or "hard link", target), or an Entry), how
    # it runs (args: "-c" and f/s.c, or a path, or a list; as: a user, or a command that runs quarnel; strace:
    # what strace injects; start: a signal started ignored or blocked; limits; umask; the rest the shim's),
    # what is left: see outcome. A comment names the mistake that a row, or each row of a table, alone fails on.
    # Any other command line is ignored: one too short or too long, "-c" in another case, or as a prefix, or
    # elsewhere.
    *((f"ignored: {' '.join(args) or 'no arguments'}", PAGE, {"args": args}, "no page") for args in (
        [], ["-c", "f/s.c", "f/s.c"], ["-C", "f/s.c"], ["-cx", "f/s.c"], ["f/s.c", "-c"])),
    # An empty file, an unreadable one or a FIFO (opened before its kind is known, it waits for a writer) is
    # an empty source, not a failed read.
    ("empty source", {"e.c": b""}, {"args": "e.c"}, "new"),
    ("FIFO as source, which nothing writes", {"fifo.c": FIFO}, {"args": "fifo.c"}, "new"),
    ("unreadable source", {"f": Entry(DIR, 0o777), "f/s.c": Entry(b"secret", 0)}, {"as": "nobody"},
     "empty table, no listing"),
    # The page goes to the folder the source's path named as the run began, whatever it names once read.
    ("folder swapped as the source is looked at", {**PAGE, "g/s.c": SOURCE, "l": ("link", "f")},
     {"args": "l/s.c", "AT_SOURCE": "ln -sfn g l"}, "none, changed f/s.c.html, changed l"),
    # The folder taken up to the first slash, or a path longer than the system takes built.
    ("folder path near PATH_MAX", {LONG + "/a.c": b"k"}, {"args": LONG + "/a.c"}, "new"),
    # Whatever else stands at the page's name is replaced, never written through or waited on; a directory stays:
    # a link written through; what a link names looked at; a FIFO opened, or left; a link's owner kept.
    ("directory at the page's name", {**PAGE, "f/s.c.html": DIR}, {}, "d"),
    *((f"{name} at the page's name", {**PAGE, "f/s.c.html": what}, {}, "new") for name, what in [
        ("link", ("link", "../t")), ("link to a directory", ("link", ".")), ("FIFO", FIFO),
        ("another user's link", Entry(("link", "../t"), uid=NOBODY))]),
    # A replaced page keeps its mode, ACL, and (as root) owner and group, but no set-id or sticky bit; only
    # the owner's bits until all is set; group bits, and the ACL's owning group's entry, for its group alone.
    # A new page's mode not from the umask; the umask taken to a replaced page.
    ("new page under umask 027", {"f/s.c": SOURCE}, {"umask": 0o027}, "new"),
    ("page of mode 666 under umask 022", {**PAGE, "f/s.c.html": Entry(b"previous", 0o666)}, {}, "new"),
    # The page given to its owner before it is dated, which only they may then do.
    ("another user's page, as root without CAP_FOWNER", {**PAGE, "f/s.c.html": Entry(b"previous", 0o644, NOBODY)},
     {"as": NO_FOWNER}, "new"),
    # Set-id or sticky bits kept; the owner not kept.
    ("page of mode 7755", {**PAGE, "f/s.c.html": Entry(b"previous", 0o7755, NOBODY)}, {}, "new"),
    # The new file made with the page's whole mode; only its times given, not both, on FUSE.
    ("page of mode 1644 whose mode cannot be set",
     {**on("bindfs --chmod-deny"), "f/s.c.html": Entry(b"previous", 0o1644)}, {}, "new mode 600"),
    # The group taken as kept because chgrp succeeded, and the ACL's owning group's entry kept with it.
    ("another user's page, as root where owners cannot be kept",
     {**on("bindfs --chown-ignore --chgrp-ignore"), "f/s.c.html": Entry(b"previous", 0o640, NOBODY, DAEMON, "u:nobody:r")},
     {}, "new owner 0:0 acl user::rw-,user:65534:r--,group::---,mask::r--,other::---"),
    # The sticky rule applied to a folder that is not sticky; the group's bits dropped for a member of it.
    ("group's page in a shared folder", {**SHARED, "f/s.c.html": Entry(b"previous", 0o664, 0, USERS)}, {"as": "nobody"},
     "new owner 65534:100"),
    ("page of mode 6755 in a shared folder", {**SHARED, "f/s.c.html": Entry(b"previous", 0o6755)}, {"as": "nobody"},
     "new mode 705 owner 65534:65534"),
    # The ACL read through /proc, or without it, but not the page's own; none where a file system has none.
    ("page with an ACL", {**PAGE, "f/s.c.html": Entry(b"previous", 0o600, 0, DAEMON, "u:nobody:r")}, {}, "new"),
    ("page with an ACL, no /proc", {**PAGE, "f/s.c.html": Entry(b"previous", 0o640, 0, DAEMON, "u:nobody:r")},
     {"as": NO_PROC}, "new"),
    ("page with an ACL, no /proc, swapped as it is read", {
        **PAGE, "f/s.c.html": Entry(b"previous", 0o640, acl="u:nobody:r"), "f/link": ("hard link", "f/s.c.html"),
        "f/o": Entry(b"o", 0o660, acl="u:nobody:rw")}, {"as": NO_PROC, "AT_READ": "mv f/o f/s.c.html"},
     "new mode 600 acl none, gone f/o"),
    ("page of mode 644 on a file system without ACLs", on("ramfs"), {}, "new"),
    # The folder's default ACL left on the new file; the folder opened for reading.
    ("folder with a default ACL",
     {**PAGE, "f": Entry(DIR, acl="d:u:nobody:rw"), "f/s.c.html": Entry(b"previous", 0o640)}, {}, "new"),
    ("folder that may not be read", {**PAGE, "f": Entry(DIR, 0o333), "f/s.c.html": None}, {"as": "nobody"}, "new"),
    # Whatever stops a run, the previous page or the complete new one: SIGXFSZ not ignored; a full disk answered
    # by writing in place; ENOSPC for a new file taken as a refusal.
    ("file-size limit", PAGE, {"limits": [(resource.RLIMIT_FSIZE, (40 << 10,) * 2)]}, "previous"),
    ("full file system", on("tmpfs size=64k"), {}, "previous"),
    ("out of inodes", on("tmpfs size=1m,nr_inodes=3"), {}, "previous"),
    # Written in place only where the folder refuses a new file for want of permission or for its attributes: each
    # errno taken the other way; an attribute not looked at; a link written in place; a refused rename copied in
    # place; the page not emptied first; a FIFO waited on; the sticky rule not applied, or CAP_FOWNER looked for
    # among the permitted, or the real user taken for the effective, or CAP_FOWNER not honoured, or the page's
    # or the folder's owner not compared with the user.
    *((f"no new file: {name}", PAGE, {"strace": NEW_FILE.format("error=" + name)}, left) for name, left in [
        ("EACCES", "new in place"), ("EPERM", "new in place"), ("EROFS", "previous"), ("ENOSPC", "previous"),
        ("EDQUOT", "previous"), ("EIO", "previous")]),
    ("append-only folder", on("tmpfs", flags="+a"), {}, "new in place"),
    ("append-only folder, a link at the page's name",
     {**on("tmpfs", flags="+a"), "f/s.c.html": ("link", "s.c")}, {}, "l"),
    ("immutable folder", on("tmpfs", flags="+i"), {}, "new in place"),
    ("immutable page", {**on("tmpfs"), "f/s.c.html": Entry(b"previous", flags="+i")}, {}, "previous"),
    ("in place", LOCKED, {"as": "nobody"}, "new in place"),
    ("in place, over a longer page", {**LOCKED, "f/s.c.html": Entry(b"previous" * 999, uid=NOBODY)}, {"as": "nobody"},
     "new in place"),
    ("in place, FIFO at the page's name", {**LOCKED, "f/s.c.html": Entry(FIFO, 0o666, NOBODY)}, {"as": "nobody"}, "p"),
    *((f"sticky folder, {name}", sticky(owner), {"as": who}, "new in place") for name, owner, who in [
        ("nobody", 0, "nobody"), ("nobody, CAP_FOWNER permitted only", 0, "nobody, CAP_FOWNER permitted"),
        ("root without CAP_FOWNER, nobody its real user", NOBODY, NO_FOWNER + ["--ruid=65534"])]),
    ("sticky folder, as root", sticky(NOBODY), {}, "new"),
    ("the user's page in a sticky folder, with a hard link", {**sticky(NOBODY), "f/s.c": Entry(SOURCE, uid=NOBODY),
     "f/link": ("hard link", "f/s.c.html")}, {"as": "nobody"}, "new"),
    ("sticky folder of the user's", {**on("tmpfs", mode=0o1777, uid=NOBODY), "f/s.c.html": Entry(b"previous", 0o666)},
     {"as": "nobody"}, "new mode 606 owner 65534:65534"),
    # Each errno by which a system says it has no unnamed files; unnamed files named only through /proc.
    *((f"no unnamed files: {name}", PAGE, {"NAMED": number}, "new") for name, number in [
        ("EOPNOTSUPP", 95), ("EISDIR", 21), ("EINVAL", 22)]),
    ("no /proc to name an unnamed file through", PAGE, {"as": NO_PROC}, "new"),
    # A complete page that cannot take the previous one's place is removed; its hard links keep their text: a
    # refused link written in place; the new name left; close's deferred error, or the date, not checked; the
    # quiet end leaving the new file; the whole mode given first; a short read taken as whole.
    ("link refused", PAGE, {"strace": at("linkat", "error=EDQUOT")}, "previous"),
    ("rename refused", {**PAGE, "f/link": ("hard link", "f/s.c.html")}, {"strace": at("renameat", "error=EIO")},
     "previous"),
    ("a deferred write error", PAGE, {"CLOSE": 1}, "previous"),
    ("the date does not take", PAGE, {"strace": at("utimensat", "retval=0")}, "previous"),
    ("memory runs out, the page's file open", PAGE, {"NOMEM": 1}, "previous"),
    ("mode cannot be set", PAGE, {"strace": at("fchmod", "error=EPERM")}, "new mode 600"),
    ("source cut short as it is read", PAGE, {"strace": "-P f/s.c " + at("read", "retval=0", "1+")}, "previous, no listing"),
    # Not knowing is never taken as a yes; the listing is complete before the page is looked at. An ACL that
    # cannot be read or given narrows the page to its owner.
    ("the source cannot be looked at", PAGE, {"strace": "-P f/s.c " + at("newfstatat", "error=EIO", 2)},
     "previous, no listing"),
    ("the page's name cannot be looked at", PAGE, {"strace": "-P f " + at("openat", "error=EIO", 2)}, "previous"),
    ("the folder cannot be looked at", PAGE, {"strace": "-P f " + at("statx", "error=EIO")}, "previous"),
    *((f"the page's ACL cannot be {name}", {**PAGE, "f/s.c.html": Entry(b"previous", 0o640, acl="u:nobody:r")},
       {"strace": at(calls, "error=EIO", "1+")}, "new mode 600 acl none") for name, calls in [
        ("read", "getxattr,fgetxattr"), ("given", "fsetxattr")]),
    # Standard output: a full or interrupted one waits, only a failing one ends the listing; a reader that leaves
    # (EPIPE, and SIGPIPE) ends the listing, not the run.
    *((f"standard output answers {name}", PAGE, {"strace": at("write", "error=" + name)}, left) for name, left in [
        ("EAGAIN", "new"), ("EINTR", "new"), ("EPIPE:signal=PIPE", "new, no listing")]),
    # Unfinished in place, the page is dated at the epoch; what is swapped in is neither followed nor waited on.
    ("in place, memory runs out", LOCKED, {"as": "nobody", "NOMEM": 1}, "cut in place at the epoch"),
    ("in place, a deferred write error", LOCKED, {"as": "nobody", "CLOSE": 1}, "new in place at the epoch"),
    ("in place, a link swapped in", PAGE, {"strace": NEW_FILE.format("error=EACCES"),
                                           "AT_PLACE": "ln -sfn ../t f/s.c.html"}, "l"),
    ("in place, a FIFO swapped in", PAGE, {"strace": NEW_FILE.format("error=EACCES"),
                                           "AT_PLACE": "rm f/s.c.html && mkfifo f/s.c.html"}, "p"),
    # An ending signal mid-page (as the page is checked before dating) removes the page's new file first, which
    # has a name where there are no unnamed files; SIGKILL, which cannot be caught, leaves an unnamed file nothing.
    # Each signal left out; a named file where unnamed ones exist; a handler put on an ignored signal; the
    # mask cleared; the page in place not dated at the epoch.
    *((f"{name} mid-page, named", PAGE, {"NAMED": 95, "strace": at("dup", "signal=" + name)},
       "previous, killed by " + name) for name in ENDING),
    ("KILL mid-page", PAGE, {"strace": at("dup", "signal=KILL")}, "previous, killed by KILL"),
    ("HUP mid-page, started ignored", PAGE, {"strace": at("dup", "signal=HUP"), "start": "ignored HUP"}, "new"),
    ("TERM mid-page, started blocked", PAGE, {"strace": at("dup", "signal=TERM"), "start": "blocked TERM"}, "new"),
    ("TERM mid-page, in place", LOCKED, {"as": "nobody", "strace": at("dup", "signal=TERM")},
     "new in place at the epoch, killed by TERM"),
    # A fresh name taken by another file is skipped, and that file kept; a signal as a name is made waits
    # until the name is the run's own: a taken name ending the tries; a named file made without O_EXCL; signals
    # not held around the link and the rename, or as the name is made.
    ("name taken", PAGE, {"TAKE": 1}, "new" + TAKEN),
    ("name taken, named", PAGE, {"TAKE": 1, "NAMED": 95}, "new" + TAKEN),
    ("TERM as the name is made", PAGE, {"TAKE": 1, "strace": at("linkat", "signal=TERM")},
     "new, killed by TERM" + TAKEN),
    ("TERM as the name is made, named", PAGE,
     {"TAKE": 1, "NAMED": 95, "strace": at("rt_sigprocmask", "signal=TERM", 2)}, "previous, killed by TERM" + TAKEN),
    # A page newer than its source is a page of the source as it now is: dated as it is written; a source
    # replaced, removed, dated before 1970 or missing from the start, or of whole seconds, or reached through a
    # link, or on FUSE, or of the same inode number on another device, dated wrongly.
    ("unchanged", PAGE, {}, "new"),
    ("changed", PAGE, {"AT_PAGE": CHANGE}, "new older"),
    ("changed, the page in place", LOCKED, {"as": "nobody", "AT_PAGE": CHANGE}, "new in place older"),
    ("saved by a rename", PAGE, {"AT_PAGE": "mv saved.c f/s.c"}, "new older, gone saved.c"),
    ("saved by a rename, the page in place", {"g": Entry(DIR, 0o555), "g/s.c": ("link", "../f/s.c"), "g/s.c.html": Entry(
        b"previous", uid=NOBODY), **SHARED, "f/s.c": Entry(SOURCE, uid=NOBODY), "saved.c": Entry(b"int saved;", uid=NOBODY)},
     {"as": "nobody", "args": "g/s.c", "AT_PAGE": "mv saved.c f/s.c"}, "new in place older, changed f/s.c, gone saved.c"),
    ("saved by a rename, dated before 1970", PAGE, {"AT_PAGE": "touch -d @-1000.5 saved.c && mv saved.c f/s.c"},
     "new older, gone saved.c"),
    ("removed", PAGE, {"AT_PAGE": "rm f/s.c"}, "new at the epoch"),
    ("missing from the start", {**PAGE, "f/s.c": None}, {}, "new"),
    ("unchanged, on a file system of whole seconds", on("ext4 -I 128"), {}, "new"),
    ("changed, reached through a link to a file system of whole seconds",
     {**on("ext4 -I 128"), "g/s.c": ("link", "../f/s.c"), "g/s.c.html": b"previous"},
     {"args": "g/s.c", "AT_PAGE": CHANGE}, "new older, changed f/s.c"),
    ("changed, on FUSE", on("bindfs"), {"AT_PAGE": CHANGE}, "new older"),
    ("replaced by a file of the same inode number on another device", {  # each the first file of its tmpfs
        "a": Entry(DIR, fs="tmpfs"), "a/s.c": SOURCE, "b": Entry(DIR, fs="tmpfs"), "b/s.c": b"int b;",
        "g/s.c": ("link", "../a/s.c"), "g/s.c.html": b"previous"},
     {"args": "g/s.c", "AT_PAGE": "ln -sfn ../b/s.c g/s.c"}, "new older"),
]

MAKE = {DIR: lambda path: os.makedirs(path, exist_ok=True), FIFO: os.mkfifo}


def make(path, entry, mount):
    what, mode, uid, gid, entries, flags, fs = entry if isinstance(entry, Entry) else Entry(entry)
    if isinstance(what, bytes):
        write(path, what)
        os.utime(path, ns=(EARLIER, EARLIER))
    elif isinstance(what, tuple):
        os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
        (os.symlink if what[0] == "link" else os.link)(what[1], path)
    else:
        MAKE[what](path)
    if uid is not None:
        need(os.geteuid() == 0, "making another user's file needs root")
        os.lchown(path, uid, uid if gid is None else gid)
    if mode is not None:
        os.chmod(path, mode)
    for command in ([["setfacl", "-m", entries]] if entries else []) + ([["chattr", flags]] if flags else []):
        need(succeeds(*command, path), f"{command[0]} is missing or refused here")
    if fs and fs.startswith("bindfs"):  # over what the folder holds
        mount(path, *fs.split(" ", 1))


def make_all(files, mount):
    # File systems first, folders' own modes last, so that they stop no file being made.
    for path, entry in files.items():
        if getattr(entry, "fs", None) and not entry.fs.startswith("bindfs"):
            mount(path, *entry.fs.split(" ", 1))
    for path, entry in sorted(files.items(), key=lambda item: getattr(item[1], "what", item[1]) == DIR):
        entry is not None and make(path, entry, mount)


def entry_of(path):
    # A file's kind and mode, owner and group, what it holds (bytes, a link's
    # target), ACL and inode.
    status = os.lstat(path)
    held = read(path) if stat.S_ISREG(status.st_mode) else os.readlink(path) if stat.S_ISLNK(status.st_mode) else None
    return (stat.S_IFMT(status.st_mode), stat.S_IMODE(status.st_mode), status.st_uid, status.st_gid, held, acl(path),
            status.st_ino)


def snapshot():
    # Every file below the current folder but the tests' own.
    return {os.path.normpath(os.path.join(folder, name)): entry_of(os.path.join(folder, name))
            for folder, names, files in os.walk(".") for name in set(names + files) - HELPERS}


def acl_text(path):  # as getfacl lists it: user::rw-,user:65534:r--,group::---,mask::r--,other::---
    return ",".join(subprocess.run(["getfacl", "-cnE", path], capture_output=True, text=True).stdout.split())


def outcome(page_path, source, was, page):
    # What stands at the page's name: "none"; the kind of what is not a file
    # (d, l, p, s, c); or else what it holds ("previous", "new", "empty table",
    # "cut"), whether "in place", its mode, owner and ACL where they differ
    # from was, the previous page's (or a new file's), and when it is dated
    # against its source ("older", "at the epoch", "the same"; nothing for
    # newer).
    if not os.path.lexists(page_path):
        return "none"
    now = entry_of(page_path)
    if now[0] != stat.S_IFREG:
        return stat.filemode(now[0])[0]
    content = "previous" if now[4] == b"previous" else "new" if now[4] == page else "empty table" if now[4] == \
        expected("/dev/null")[1] else "cut"
    same_file = content == "previous" or now[6] == was[6]
    words = [content] + ["in place"] * (content != "previous" and same_file)
    words += [f"mode {now[1]:o}"] * (now[1] != was[1] & (0o7777 if same_file else 0o777))
    words += [f"owner {now[2]}:{now[3]}"] * (now[2:4] != was[2:4])
    words += [f"acl {acl_text(page_path) if now[5] else 'none'}"] * (now[5] != was[5])
    page_time, source_time = (os.stat(path).st_mtime_ns if os.path.exists(path) else 0 for path in (page_path, source))
    if content != "previous" and page_time <= source_time:
        words.append("at the epoch" if page_time == 0 else "older" if page_time < source_time else "the same")
    return " ".join(words)


@pytest.mark.parametrize("files, how, left", [row[1:] for row in ROWS], ids=[row[0] for row in ROWS])
def test_run(files, how, left, work, quarnel, shim, request):
    how = dict(how)
    args, who, traced, start, limits, umask = (how.pop(key, default) for key, default in [
        ("args", "f/s.c"), ("as", None), ("strace", None), ("start", " "), ("limits", ()), ("umask", 0o022)])
    args = ["-c", args] if isinstance(args, str) else args
    sanitized = os.environ.get("QUARNEL_SANITIZED")
    need(not (sanitized and ("NOMEM" in how or "inject=write" in str(traced))),
         "the sanitizers hold their memory beforehand, and write before the run does")
    options = dict(request.getfixturevalue("nobody")) if "nobody" in str(who) else {}
    if who and "CAP_FOWNER permitted" in who:
        need(succeeds("setcap", "cap_fowner=p", options["binary"]), "setcap is missing or refused")
    elif isinstance(who, list):
        need(os.geteuid() == 0, "dropping a capability needs root")
        need(who != NO_PROC or OWN_MOUNTS == [True] and not os.environ.get("QUARNEL_SANITIZED"),
             "hiding /proc needs a mount namespace of the tests' own, and a run without sanitizers, which read it")
    make_all(files, lambda *fs: request.getfixturevalue("mount")(*fs))  # mounts only where a row asks
    source = args[1] if len(args) == 2 and args[0] == "-c" else None
    listing, page = expected(source) if source else (b"", None)
    argv = (who if isinstance(who, list) else []) + [options.pop("binary", quarnel)] + args
    if traced:
        argv = strace(*traced.split()) + argv

    def prepare():  # as a shell with job control starts a command, whatever the tests were started with
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
        for limit in limits:
            resource.setrlimit(*limit)
        how, _, name = start.partition(" ")
        for other in ENDING:
            ignored = (how, name) == ("ignored", other)
            signal.signal(signal.Signals["SIG" + other], signal.SIG_IGN if ignored else signal.SIG_DFL)
        signal.pthread_sigmask(signal.SIG_SETMASK, [signal.Signals["SIG" + name]] if how == "blocked" else [])
    before = snapshot()
    done = subprocess.run(argv, capture_output=True, timeout=120, preexec_fn=prepare, env=shim(**how), umask=umask,
                          **options)
    after = snapshot()
    page_path = source and source + ".html"
    was = before.get(page_path)
    was = was if was and was[0] == stat.S_IFREG else (stat.S_IFREG, 0o666 & ~umask, options.get("user", os.geteuid()),
                                                      options.get("group", os.getegid()), None, None, None)
    words = [outcome(page_path, source, was, page) if source else "no page"]
    words += [", no listing" if done.stdout == b"" else ", listing differs"] * (done.stdout != listing)
    words += [f", killed by {signal.Signals(-done.returncode).name[3:]}" if done.returncode < 0 else
              f", status {done.returncode}"] * (done.returncode != 0)
    for path in sorted((set(before) | set(after)) - {source, page_path}):  # every other file as it was
        change = "gone" if path not in after else "left" if path not in before else "changed" if before[path] != after[
            path] else None
        words += [f", {change} {after[path][4] if change == 'left' else path}"] * bool(change)
    assert (done.stderr, "".join(words)) == (b"", left)


def test_the_model_gives_the_sample_its_listing_and_page():
    # The expected outputs above are the model's; here the model is held to
    # outputs written out by hand.
    assert expected(os.path.join(DATA, "sample.c")) == tuple(read(os.path.join(DATA, "sample.c" + end))
                                                             for end in (".listing", ".html"))


def test_in_place_waits_for_another_hold(work, shim, nobody):
    # A run that finds the page held by another writer waits for it to let go
    # before it empties the page: a page is never made of both.
    make_all(LOCKED, None)
    ready, tell = os.pipe()
    with open("f/s.c.html", "r+b") as held:
        fcntl.lockf(held, fcntl.LOCK_EX)
        running = subprocess.Popen([nobody["binary"], "-c", "f/s.c"], stdout=subprocess.DEVNULL, user=NOBODY,
                                   pass_fds=[tell], env=shim(READY=tell))
        os.close(tell)
        assert select.select([ready], [], [], 60)[0] and os.read(ready, 1) == b"r", "the run did not wait"
        assert read("f/s.c.html") == b"previous"
    assert (running.wait(60), read("f/s.c.html")) == (0, expected("f/s.c")[1])
