# What the end-to-end tests share: the binary under test, a fresh folder for
# each test, one bounded run of the binary, and sources with their expected
# listing and page.
import glob
import os
import resource
import shutil
import subprocess
import tempfile

import pytest

import model

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(DATA)))
NOBODY, USERS = 65534, 100
NO_FOWNER = ["setpriv", "--inh-caps=-fowner", "--bounding-set=-fowner"]  # root, but not the owner of every file


def pytest_addoption(parser):
    parser.addoption("--quarnel", help="the binary under test")
    parser.addoption("--emulator", default="", help="what runs the binary (wine for quarnel.exe)")
    parser.addoption("--build", help="the build folder, for the package tests")
    parser.addoption("--shim", help="the library that the tests preload into quarnel")


def pytest_sessionfinish(session, exitstatus):
    # ctest counts a run whose every test was skipped as skipped (77).
    stats = session.config.pluginmanager.get_plugin("terminalreporter").stats
    if exitstatus == 0 and stats.get("skipped") and not stats.get("passed"):
        session.exitstatus = 77


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, text):
    with open(path, "wb") as f:
        f.write(text)


def temporary_files(folder="."):
    return glob.glob(os.path.join(folder, ".quarnel-*"))


def repeat_sample(copies, name="big.c"):
    # Writes the sample source, without its NUL, the given number of times over.
    write(name, read(os.path.join(DATA, "sample.c")).replace(b"\0", b"") * copies)


def expected(source):
    # The listing and the page of a source, by the model.
    return model.listing_and_page(read(source))


def need(condition, reason):
    if not condition:
        pytest.skip(reason)


def strace(*options):
    # strace writing to trace, for a run that LeakSanitizer, which cannot
    # work under ptrace, then leaves alone (and that the sanitizers let the
    # test shim be preloaded into, the shim's settings being replaced here).
    need(shutil.which("strace"), "strace is not installed")
    need(subprocess.run(["strace", "-o", "/dev/null", "true"]).returncode == 0, "strace cannot trace here")
    return ["strace", "-f", "-o", "trace", "-E", "ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0", *options]


@pytest.fixture
def quarnel(request):
    return os.path.abspath(request.config.getoption("--quarnel"))


@pytest.fixture
def command(quarnel, request):
    # What runs quarnel: the binary, under its emulator if it has one.
    return [*request.config.getoption("--emulator").split(), quarnel]


@pytest.fixture
def work():
    # A fresh folder, current while the test runs, that any user may enter.
    folder = tempfile.mkdtemp(prefix="quarnel-test-")
    os.chmod(folder, 0o755)
    previous = os.getcwd()
    os.chdir(folder)
    yield folder
    os.chdir(previous)
    subprocess.run(["chattr", "-R", "-i", folder], capture_output=True)
    subprocess.run(["chmod", "-R", "u+rwx", folder], capture_output=True)
    shutil.rmtree(folder)


@pytest.fixture
def run(command):
    # run(ARGS..., binary=PATH or ARGV, limits=[(LIMIT, (SOFT, HARD))], OPTIONS...)
    # runs quarnel in the current folder with standard input closed, so that
    # the files it opens may get descriptor 0, and with subprocess's OPTIONS
    # (user, umask, env); it must end with status 0 and write nothing to
    # standard error. Returns the listing.
    def run_quarnel(*args, binary=None, limits=(), **options):
        def prepare():
            os.close(0)
            for limit in limits:
                resource.setrlimit(*limit)
        argv = (binary if isinstance(binary, list) else [binary]) if binary else command
        options.setdefault("umask", 0o022)
        done = subprocess.run(argv + list(args), capture_output=True, timeout=120, preexec_fn=prepare, **options)
        assert (done.returncode, done.stderr[:300]) == (0, b"")
        return done.stdout
    return run_quarnel


@pytest.fixture
def nobody(quarnel, work):
    # Options that run a copy of quarnel as the user nobody, in the group users
    # besides its own, who can reach it wherever the build tree lies, in a
    # work folder that nobody may write.
    need(os.geteuid() == 0, "running as another user needs root")
    os.chmod(work, 0o777)
    shutil.copy(quarnel, "quarnel.copy")
    return {"binary": os.path.abspath("quarnel.copy"), "user": NOBODY, "group": NOBODY, "extra_groups": [USERS]}
