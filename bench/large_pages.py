#!/usr/bin/env python3
"""Checks the system calls of the large-page hint, the speed device of the
two copies of the source text (bench/README.md, 2026-12-08): a run on a text
of 7 MB offers both copies large pages, whole 2 MiB pages within the copy's
own mapping, and a run on a small text, which holds no whole large page,
asks for none. It watches the calls with strace; prints what it saw and
exits 1 if the hint is not as described.

Usage: bench/large_pages.py [QUARNEL_BINARY]   (default: build/quarnel)"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

LARGE_PAGE = 2 << 20
LINE = b"int main() { return p->x << 2; }  // a line of C\n"


def calls(quarnel, text, work):
    """The anonymous mappings and the ranges offered large pages, as
    (start, size), of a run on text."""
    source, trace = os.path.join(work, "source.c"), os.path.join(work, "trace")
    with open(source, "wb") as f:
        f.write(text)
    subprocess.run(["strace", "-f", "-o", trace, "-e", "trace=mmap,madvise", quarnel, "-c", source],
                   stdout=subprocess.DEVNULL, check=True, timeout=60)
    with open(trace) as f:
        seen = f.read()
    maps = [(int(a, 16), int(n)) for n, a in re.findall(r"mmap\(NULL, (\d+), .*MAP_ANONYMOUS.*= (0x[0-9a-f]+)", seen)]
    return maps, [(int(a, 16), int(n)) for a, n in re.findall(r"madvise\((0x\w+), (\d+), MADV_HUGEPAGE\)", seen)]


def main():
    quarnel = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/quarnel")
    if not shutil.which("strace"):
        sys.exit("strace is not installed")
    if not os.path.exists("/sys/kernel/mm/transparent_hugepage/enabled"):
        sys.exit("this kernel has no transparent huge pages to ask for")
    with tempfile.TemporaryDirectory() as work:
        maps, large = calls(quarnel, LINE * (7_000_000 // len(LINE)), work)
        small = calls(quarnel, LINE, work)[1]
    whole = [start % LARGE_PAGE == 0 and size % LARGE_PAGE == 0 and size >= 2 * LARGE_PAGE and
             any(m <= start and start + size <= m + n for m, n in maps) for start, size in large]
    print(f"7 MB text: {len(large)} ranges offered large pages, {sum(whole)} of them whole large pages "
          f"within a mapping of their own (expected: 2 and 2)")
    print(f"small text: {len(small)} ranges offered large pages (expected: none)")
    sys.exit(0 if len(large) == 2 and all(whole) and not small else 1)


main()
