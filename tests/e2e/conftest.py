# What the end-to-end tests share: the binary under test, a fresh folder for
# each test, file systems of the tests' own, one bounded run of the binary,
# and sources with their expected listing and page.
import ctypes
import os
import shutil
import subprocess
import tempfile

import pytest

import model

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(DATA)))
NOBODY, USERS, DAEMON = 65534, 100, 1
OWN_MOUNTS = []  # holds True once the tests have a mount namespace of their own
NO_PROC = ["unshare", "-m", "sh", "-c", 'mount -t tmpfs none /proc && exec "$0" "$@"']  # a run without /proc
NO_FOWNER = ["setpriv", "--inh-caps=-fowner", "--bounding-set=-fowner"]  # root, but not the owner of every file


def pytest_addoption(parser):
    parser.addoption("--quarnel", help="the binary under test")
    parser.addoption("--emulator", default="", help="what runs the binary (wine for quarnel.exe)")
    parser.addoption("--build", help="the build folder, where packages are made")
    parser.addoption("--shim", help="the library that the tests preload into quarnel")


def pytest_configure(config):
    # Run as root, the tests mount in a namespace of their own, which the
    # kernel tears down with them however they end: made here, before any
    # test starts a thread, since a process with threads cannot leave its
    # namespace.
    if os.geteuid() == 0 and ctypes.CDLL(None).unshare(0x00020000) == 0:  # CLONE_NEWNS
        OWN_MOUNTS.append(succeeds("mount", "--make-rprivate", "/"))


def pytest_sessionfinish(session, exitstatus):
    # ctest counts a run whose every test was skipped as skipped (77).
    stats = session.config.pluginmanager.get_plugin("terminalreporter").stats
    if exitstatus == 0 and stats.get("skipped") and not stats.get("passed"):
        session.exitstatus = 77


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, text):
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, "wb") as f:
        f.write(text)


def acl(path):
    # A file's access ACL as the system stores it, or None.
    try:
        return os.getxattr(path, "system.posix_acl_access", follow_symlinks=False)
    except OSError:
        return None


def expected(source):
    # The listing and the page of a source, by the model.
    return model.listing_and_page(read(source) if os.path.isfile(source) else b"")


def succeeds(*argv):
    # Whether a command ran and succeeded; not where it is not installed.
    return shutil.which(argv[0]) is not None and subprocess.run(argv, capture_output=True).returncode == 0


def need(condition, reason):
    if not condition:
        pytest.skip(reason)


def strace(*options):
    # strace, its trace thrown away, for a run that LeakSanitizer, which
    # cannot work under ptrace, then leaves alone.
    need(shutil.which("strace"), "strace is not installed")
    need(subprocess.run(["strace", "-o", "/dev/null", "true"]).returncode == 0, "strace cannot trace here")
    return ["strace", "-f", "-o", "/dev/null", "--quiet=attach,personality,path-resolution", "-E",
            "ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0", *options]


@pytest.fixture
def quarnel(request):
    return os.path.abspath(request.config.getoption("--quarnel"))


@pytest.fixture
def command(quarnel, request):
    # What runs quarnel: the binary, under its emulator if it has one.
    return [*request.config.getoption("--emulator").split(), quarnel]


@pytest.fixture
def work():
    # A fresh folder, current while the test runs, that any user may enter
    # wherever the build tree lies.
    folder = tempfile.mkdtemp(prefix="quarnel-e2e-")
    os.chmod(folder, 0o755)
    previous = os.getcwd()
    os.chdir(folder)
    yield folder
    os.chdir(previous)
    subprocess.run(["chmod", "-R", "u+rwx", folder], capture_output=True)
    shutil.rmtree(folder)


@pytest.fixture
def mount(work):
    # mount(FOLDER, KIND, OPTIONS) mounts a file system of the tests' own on
    # FOLDER: a tmpfs or ramfs, a bindfs of the folder itself, or an ext4
    # image made with mkfs.ext4's OPTIONS ("-I 128": of whole seconds). File
    # attributes set there vanish with the tests however they end.
    need(OWN_MOUNTS == [True], "mounting needs root and a mount namespace of the tests' own")
    points = []

    def make(folder, kind="tmpfs", options=""):
        os.makedirs(folder, exist_ok=True)
        if kind == "bindfs":  # over the folder itself, with what it holds
            need(shutil.which("bindfs"), "bindfs is not installed")
            argv = ["bindfs", *options.split(), folder, folder]
        elif kind == "ext4":
            subprocess.run(["truncate", "-s", "8M", folder + ".img"], check=True)
            subprocess.run(["mkfs.ext4", "-q", *options.split(), folder + ".img"], check=True, capture_output=True)
            argv = ["mount", "-o", "loop", folder + ".img", folder]
        else:
            argv = ["mount", "-t", kind, "-o", (options or "size=64m") + ",mode=755", kind, folder]
        subprocess.run(argv, check=True, capture_output=True)
        points.append(os.path.abspath(folder))
        os.chdir(os.getcwd())  # into what is mounted over the current folder, if it is
    yield make
    os.chdir(work)
    for point in reversed(points):
        subprocess.run(["umount", point], check=True)


@pytest.fixture
def run(command):
    # run(ARGS..., OPTIONS...) runs quarnel in the current folder with
    # standard input closed, so that the files it opens may get descriptor 0,
    # and with subprocess's OPTIONS (env); it must end with status 0 and
    # write nothing to standard error. Returns the listing.
    def run_quarnel(*args, **options):
        done = subprocess.run(command + list(args), capture_output=True, timeout=120, umask=0o022,
                              preexec_fn=lambda: os.close(0), **options)
        assert (done.returncode, done.stderr[:300]) == (0, b"")
        return done.stdout
    return run_quarnel


@pytest.fixture
def shim(request, work):
    # The environment that preloads the test shim, with its settings; a copy
    # of the shim in the work folder, so that any user's run may load it.
    library = shutil.copy(request.config.getoption("--shim"), os.path.join(work, ".shim.so"))

    def environment(**settings):
        return dict(os.environ, LD_PRELOAD=library,
                    ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0",
                    **{"QUARNEL_SHIM_" + key: str(value) for key, value in settings.items() if value is not None})
    return environment


@pytest.fixture
def nobody(quarnel, work):
    # Options that run a copy of quarnel as the user nobody, in the group users
    # besides its own, in a work folder that nobody may write.
    need(os.geteuid() == 0, "running as another user needs root")
    os.chmod(work, 0o777)
    copy = shutil.copy(quarnel, os.path.join(work, ".quarnel"))
    return {"binary": copy, "user": NOBODY, "group": NOBODY, "extra_groups": [USERS]}
