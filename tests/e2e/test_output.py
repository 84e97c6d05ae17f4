# What a run prints and writes, against the independent model.
import os
import random
import shutil

from conftest import DATA, ROOT, expected, read, write

REAL = [os.path.join(DATA, "sample.c"), os.path.join(ROOT, "examples", "hello.cpp")]


def test_differential(work, run):
    # Seeded random text dense in the characters that decide token bounds,
    # now and then any byte but NUL, after a word longer than the reports'
    # buffer, which goes out whole between the pieces around it; and two
    # real sources.
    rng = random.Random(20261206)
    alphabet = b"aZ_09\"'\\/*+-<>=!&|:.,#;%^(){}[] \t\n\r$?@~\x80\xff"
    text = bytes(rng.choice(alphabet) if rng.random() < 0.9 else rng.randrange(1, 256) for _ in range(300000))
    write("random.c", b"w" * 300000 + b" " + text)
    for source in ["random.c"] + [shutil.copy(path, ".") for path in REAL]:
        listing, page = expected(source)
        assert (run("-c", source), read(source + ".html")) == (listing, page), source


def test_huge_text(work, run):
    # A text past 4 GiB: a cursor narrower than 64 bits would wrap here.
    with open("huge.c", "wb") as f:
        f.writelines([b"first", *(b" " * 1000000 for _ in range(4400)), b"last"])
    assert run("-c", "huge.c") == b"(0 : Word ) ->first\n(1 : Word ) ->last\n"
