# What a run prints and writes, against the independent model, whatever
# becomes of its standard output.
import os
import random
import shutil
import subprocess
import threading
import time

from conftest import DATA, ROOT, expected, read, repeat_sample, write

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


def test_page_whatever_the_reader_of_the_listing_does(work, quarnel):
    # The reader leaves after one line: SIGPIPE must not end the run.
    repeat_sample(400)
    listing, page = expected("big.c")
    running = subprocess.Popen([quarnel, "-c", "big.c"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    threading.Thread(target=lambda: (time.sleep(60), running.kill()), daemon=True).start()  # bounds the reads
    assert running.stdout.readline() == listing[:listing.index(b"\n") + 1]
    running.stdout.close()
    assert (running.wait(60), running.stderr.read(), read("big.c.html")) == (0, b"", page)


def test_huge_text(work, run):
    # A text past 4 GiB: a cursor narrower than 64 bits would wrap here.
    with open("huge.c", "wb") as f:
        f.writelines([b"first", *(b" " * 1000000 for _ in range(4400)), b"last"])
    assert run("-c", "huge.c") == b"(0 : Word ) ->first\n(1 : Word ) ->last\n"
