# What users install: the build installed under a prefix, the Debian package
# with its documents compressed, the Windows ZIP; each binary found there
# lists the example right. Neither the install nor cpack touches the build's
# install_manifest.txt, the list of a user's own install. (lintian, in CI,
# checks the package's fields and changelog.)
import os
import re
import shutil
import subprocess
import zipfile

import pytest

from conftest import DATA, ROOT, need, read

VERSION = re.search(rb"project\(quarnel VERSION ([0-9.]+)", read(os.path.join(ROOT, "CMakeLists.txt")))[1].decode()
DEB_FILES = ["bin/quarnel", "share/doc/quarnel/NEWS.gz", "share/doc/quarnel/README.md.gz", "share/doc/quarnel/changelog.gz",
             "share/doc/quarnel/copyright", "share/man/man1/quarnel.1.gz"]


@pytest.fixture
def build(request):
    manifest = os.path.join(request.config.getoption("--build"), "install_manifest.txt")
    before = os.path.exists(manifest) and read(manifest)
    yield request.config.getoption("--build")
    assert (os.path.exists(manifest) and read(manifest)) == before


def check_binary(binary):
    shutil.copy(os.path.join(ROOT, "examples", "hello.cpp"), ".")
    listing = subprocess.run([binary, "-c", "hello.cpp"], capture_output=True, check=True, timeout=60).stdout
    assert [listing, read("hello.cpp.html")] == [read(os.path.join(DATA, n)) for n in ("hello.cpp.listing", "hello.cpp.html")]


def cpack(generator, build):
    subprocess.run(["cpack", "-G", generator, "-B", os.path.abspath("pkg")], cwd=build, capture_output=True, check=True)


def test_install(work, build):
    subprocess.run(["cmake", "--install", build, "--prefix", "prefix", "--component", "quarnel"], check=True)
    check_binary("prefix/bin/quarnel")


def test_deb(work, build):
    need(shutil.which("dpkg-deb") and shutil.which("dpkg-shlibdeps"), "dpkg-deb or dpkg-shlibdeps (dpkg-dev) is not installed")
    cpack("DEB", build)
    subprocess.run(["dpkg-deb", "-x", f"pkg/quarnel_{VERSION}_amd64.deb", "root"], check=True)
    assert sorted(os.path.relpath(os.path.join(d, f), "root/usr") for d, _, names in os.walk("root") for f in names) == DEB_FILES
    check_binary("root/usr/bin/quarnel")


def test_zip(work, build):
    cpack("ZIP", build)
    names = zipfile.ZipFile(f"pkg/quarnel-{VERSION}-win64.zip").namelist()
    assert sorted(names) == [f"quarnel-{VERSION}-win64/{name}" for name in ("LICENSE", "NEWS", "README.md", "quarnel.exe")]
