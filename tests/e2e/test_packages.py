# What users install: the build installed under a prefix, the Debian package
# and the Windows ZIP as packaging/deb and packaging/zip make them; each
# binary found there lists the example right, and each package names the
# code linked into it. The recipes leave the build's install_manifest.txt,
# the list of a user's own install, as it was. (In CI, lintian checks the
# package's fields, and two releases made on different file systems, by
# different users, in different time zones, must be the same bytes.)
import os
import re
import shutil
import subprocess
import zipfile

import pytest

from conftest import DATA, ROOT, need, read, write

VERSION = re.search(rb"project\(quarnel VERSION ([0-9.]+)", read(os.path.join(ROOT, "CMakeLists.txt")))[1].decode()
SOURCE_DATE_EPOCH = 1796698876  # an even second: a ZIP dates files to two seconds
INSTALLED = ["bin/quarnel", "share/doc/quarnel/LICENSE", "share/doc/quarnel/NEWS", "share/doc/quarnel/README.md",
             "share/man/man1/quarnel.1.gz"]
DEB_FILES = ["bin/quarnel", "share/doc/quarnel/NEWS.gz", "share/doc/quarnel/README.md.gz", "share/doc/quarnel/changelog.gz",
             "share/doc/quarnel/copyright", "share/lintian/overrides/quarnel", "share/man/man1/quarnel.1.gz"]
ZIP_FILES = ["LICENSE", "NEWS", "README.md", "THIRD-PARTY-NOTICES.txt", "quarnel.exe"]  # in this order
NOTICES = [
    # a source of code linked into quarnel.exe, a licence; whether THIRD-PARTY-NOTICES.txt names it under that licence
    ("import stubs of libkernel32.a", "ZPL-2.1", True),  # objects without a source come under "Files: *"
    ("mingw-w64-crt/crt/crtexe.c", "public-domain", True),  # crt2.o, an object linked whole
    ("mingw-w64-crt/gdtoa/gdtoa.c", "Lucent", True),  # the last paragraph that matches a file holds
    ("mingw-w64-crt/gdtoa/gdtoa.c", "ZPL-2.1", False),
    ("mingw-w64-crt/gdtoa/strtodnrp.c", "David-Gay", True),
    ("mingw-w64-crt/gdtoa/strtodnrp.c", "Lucent", False),
    ("mingw-w64-crt/stdio/mingw_pformat.c", "Lucent", True),  # named by two paragraphs
    ("mingw-w64-crt/stdio/mingw_pformat.c", "Keith-Marshall", True),
]


@pytest.fixture
def build(request):
    manifest = os.path.join(request.config.getoption("--build"), "install_manifest.txt")
    before = os.path.exists(manifest) and read(manifest)
    yield request.config.getoption("--build")
    assert (os.path.exists(manifest) and read(manifest)) == before


def files(root):
    return sorted(os.path.relpath(os.path.join(d, f), root) for d, _, names in os.walk(root) for f in names)


def check_binary(binary):
    shutil.copy(os.path.join(ROOT, "examples", "hello.cpp"), ".")
    listing = subprocess.run([binary, "-c", "hello.cpp"], capture_output=True, check=True, timeout=60).stdout
    assert [listing, read("hello.cpp.html")] == [read(os.path.join(DATA, n)) for n in ("hello.cpp.listing", "hello.cpp.html")]


def make(recipe, build):
    # Runs a recipe of packaging/ on the build, far from UTC, into pkg/.
    os.mkdir("pkg")
    env = dict(os.environ, SOURCE_DATE_EPOCH=str(SOURCE_DATE_EPOCH), TZ="Pacific/Auckland")
    subprocess.run(["sh", os.path.join(ROOT, "packaging", recipe), build, "pkg"], env=env, capture_output=True,
                   check=True, timeout=240)
    [made] = os.listdir("pkg")
    return os.path.join("pkg", made)


def test_install(work, build):
    # All that `cmake --install` installs, as a user runs it; it writes its list
    # to the build's install_manifest.txt, which is put back as it was.
    manifest = os.path.join(build, "install_manifest.txt")
    kept = read(manifest) if os.path.exists(manifest) else None
    try:
        subprocess.run(["cmake", "--install", build, "--prefix", "prefix"], capture_output=True, check=True)
    finally:
        if kept is None:
            os.remove(manifest)
        else:
            write(manifest, kept)
    assert files("prefix") == INSTALLED
    check_binary("prefix/bin/quarnel")


def test_deb(work, build):
    need(shutil.which("dpkg-deb") and shutil.which("dpkg-shlibdeps"), "dpkg-deb or dpkg-shlibdeps (dpkg-dev) is not installed")
    deb = make("deb", build)
    subprocess.run(["dpkg-deb", "-x", deb, "root"], check=True)
    assert files("root/usr") == DEB_FILES
    check_binary("root/usr/bin/quarnel")
    fields = subprocess.run(["dpkg-deb", "-f", deb, "Static-Built-Using"], capture_output=True, text=True, check=True)
    # The C library's start files are linked into every program.
    glibc = subprocess.run(["dpkg-query", "-W", "-f", "${source:Package} (= ${source:Version})", "libc6-dev"],
                           capture_output=True, text=True, check=True).stdout
    assert glibc in fields.stdout.strip().split(", ")


def test_zip(work, build):
    need(shutil.which("zip"), "zip is not installed")
    archive = zipfile.ZipFile(make("zip", build))
    members = archive.infolist()
    assert [m.filename for m in members] == [f"quarnel-{VERSION}-win64/{name}" for name in ZIP_FILES]
    notices = archive.read(f"quarnel-{VERSION}-win64/THIRD-PARTY-NOTICES.txt").decode()
    named = set()
    for paragraph in notices.split("\n\n"):
        if paragraph.startswith("Sources: "):
            sources = paragraph.split("\nCopyright: ")[0].removeprefix("Sources: ").split(",\n ")
            named |= {(source, re.search(r"^License: (.*)", paragraph, re.M)[1]) for source in sources}
    assert [(source, licence, (source, licence) in named) for source, licence, _ in NOTICES] == NOTICES
    # Only what is linked: not the notices of the soft maths, nor of a runtime other than mingw-w64's and GCC's.
    assert ("Permissive-Sun" in notices, "GCC Runtime Library Exception" in notices) == (False, True)
