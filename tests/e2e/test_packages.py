# What users install: the build installed under a prefix, the Debian package,
# the Windows ZIP; each binary found there lists the example right.
import os
import re
import shutil
import subprocess
import zipfile

import pytest

from conftest import DATA, ROOT, need, read

VERSION = re.search(rb"project\(quarnel VERSION ([0-9.]+)", read(os.path.join(ROOT, "CMakeLists.txt")))[1].decode()


@pytest.fixture
def build(request):
    return request.config.getoption("--build")


def check_binary(binary):
    shutil.copy(os.path.join(ROOT, "examples", "hello.cpp"), ".")
    listing = subprocess.run([binary, "-c", "hello.cpp"], capture_output=True, check=True, timeout=60).stdout
    expected = [read(os.path.join(DATA, name)) for name in ("hello.cpp.listing", "hello.cpp.html")]
    assert [listing, read("hello.cpp.html")] == expected


def cpack(generator, build):
    subprocess.run(["cpack", "-G", generator, "-B", os.path.abspath("pkg")], cwd=build, capture_output=True, check=True)


def test_install(work, build):
    subprocess.run(["cmake", "--install", build, "--prefix", "prefix"], capture_output=True, check=True)
    for name in ("bin/quarnel", "share/man/man1/quarnel.1.gz", "share/doc/quarnel/README.md", "share/doc/quarnel/NEWS"):
        assert os.path.isfile("prefix/" + name), name
    check_binary("prefix/bin/quarnel")


def test_deb(work, build):
    need(shutil.which("dpkg-deb") and shutil.which("dpkg-shlibdeps"), "dpkg-deb or dpkg-shlibdeps (dpkg-dev) is not installed")
    cpack("DEB", build)
    deb = f"pkg/quarnel_{VERSION}_amd64.deb"
    fields = subprocess.run(["dpkg-deb", "-f", deb, "Maintainer", "Depends"], capture_output=True, check=True).stdout
    assert re.search(rb"^Maintainer: .*@", fields, re.M) and re.search(rb"^Depends: .*libc6", fields, re.M)
    subprocess.run(["dpkg-deb", "-x", deb, "root"], check=True)
    for name in ("man/man1/quarnel.1.gz", "doc/quarnel/NEWS", "doc/quarnel/copyright", "doc/quarnel/changelog.gz"):
        assert os.path.isfile("root/usr/share/" + name), name
    check_binary("root/usr/bin/quarnel")


def test_zip(work, build):
    cpack("ZIP", build)
    names = zipfile.ZipFile(f"pkg/quarnel-{VERSION}-win64.zip").namelist()
    assert sorted(names) == [f"quarnel-{VERSION}-win64/{name}" for name in ("LICENSE", "NEWS", "README.md", "quarnel.exe")]
