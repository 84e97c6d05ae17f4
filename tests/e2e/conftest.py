"""What the end-to-end tests share: the binary under test, a fresh folder for
each test, and one bounded run of the binary."""
import os
import resource
import shutil
import subprocess
import tempfile

import pytest

import model

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(DATA)))
NOBODY = 65534


def pytest_addoption(parser):
    parser.addoption("--quarnel", help="the binary under test")
    parser.addoption("--emulator", default="", help="what runs the binary (wine for quarnel.exe)")
    parser.addoption("--build", help="the build folder, for the package tests")


def pytest_sessionfinish(session, exitstatus):
    # ctest counts a run whose every test was skipped as skipped (77).
    stats = session.config.pluginmanager.get_plugin("terminalreporter").stats
    if exitstatus == 0 and stats.get("skipped") and not stats.get("passed"):
        session.exitstatus = 77


def repeat_sample(copies, name="big.c"):
    """The sample source, without its NUL, the given number of times over."""
    with open(os.path.join(DATA, "sample.c"), "rb") as f:
        text = f.read().replace(b"\0", b"") * copies
    with open(name, "wb") as f:
        f.write(text)
    return model.listing_and_page(text)


def need(condition, reason):
    if not condition:
        pytest.skip(reason)


@pytest.fixture
def quarnel(request):
    return os.path.abspath(request.config.getoption("--quarnel"))


@pytest.fixture
def work():
    """A fresh folder, current while the test runs, that any user may enter."""
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
def run(quarnel, request):
    """run(ARGS..., binary=, user=, umask=, limits=): runs quarnel in the current
    folder with standard input closed, so that the files it opens may get
    descriptor 0; it must end with status 0 and write nothing to standard
    error. Returns the listing."""
    emulator = request.config.getoption("--emulator").split()

    def run_quarnel(*args, binary=None, user=None, limits=(), **options):
        def prepare():
            os.close(0)
            for limit, value in limits:
                resource.setrlimit(limit, (value, value))
        if user is not None:
            options.update(user=user, group=user, extra_groups=[])
        options.setdefault("umask", 0o022)
        done = subprocess.run([*emulator, binary or quarnel, *args], capture_output=True, timeout=120,
                              preexec_fn=prepare, **options)
        assert (done.returncode, done.stderr[:300]) == (0, b"")
        return done.stdout
    return run_quarnel


@pytest.fixture
def nobody(quarnel, work):
    """Options that run a copy of quarnel as the user nobody, who can reach it
    wherever the build tree lies, in a work folder that nobody may write."""
    need(os.geteuid() == 0, "running as another user needs root")
    os.chmod(work, 0o777)
    shutil.copy(quarnel, "quarnel.copy")
    return {"binary": os.path.abspath("quarnel.copy"), "user": NOBODY}
