#!/usr/bin/env python3
"""Times quarnel against the I/O floor on a corpus of real C++.

The corpus is every libstdc++ header installed on this machine, concatenated
(about 12 MB). The floor is what any tool must spend at least: cat the source
to /dev/null, then cat a saved copy of the listing to standard output and a
saved copy of the page to a file. Runs are interleaved over several rounds
and the medians are printed, for the corpus and for the corpus four times
over. Usage: bench/bench.py QUARNEL_BINARY [ROUNDS]"""
import glob
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def make_corpus(path, copies):
    roots = sorted(glob.glob("/usr/include/c++/[0-9]*"), key=lambda p: int(os.path.basename(p)))
    if not roots:
        sys.exit("no libstdc++ headers under /usr/include/c++")
    files = sorted(os.path.join(d, f) for d, _, names in os.walk(roots[-1]) for f in names)
    with open(path, "wb") as out:
        for _ in range(copies):
            for name in files:
                with open(name, "rb") as f:
                    shutil.copyfileobj(f, out)


def timed(argv, stdout_path):
    """Wall seconds and peak resident kilobytes of one command."""
    os.sync()  # so that no run pays for writing back the previous run's output
    with open(stdout_path, "wb") as out:
        start = time.perf_counter()
        proc = subprocess.Popen(argv, stdout=out)
        _, status, usage = os.wait4(proc.pid, 0)
        seconds = time.perf_counter() - start
    if status != 0:
        sys.exit(f"{argv} failed with status {status}")
    return seconds, usage.ru_maxrss


def measure(quarnel, source, rounds, work):
    listing, page = os.path.join(work, "listing.saved"), os.path.join(work, "page.saved")
    timed([quarnel, "-c", source], listing)
    shutil.copyfile(source + ".html", page)
    floor_cmd = ["sh", "-c", 'cat "$1" >/dev/null; cat "$2"; cat "$3" > "$4"', "floor",
                 source, listing, page, os.path.join(work, "page.copy")]
    floors, runs, rss = [], [], []
    for _ in range(rounds):
        floors.append(timed(floor_cmd, os.path.join(work, "out"))[0])
        seconds, kb = timed([quarnel, "-c", source], os.path.join(work, "out"))
        runs.append(seconds)
        rss.append(kb)
    size_mb = os.path.getsize(source) / 1e6
    return size_mb, statistics.median(runs), statistics.median(floors), max(rss) / 1e3


def main():
    quarnel = os.path.abspath(sys.argv[1])
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 7
    with tempfile.TemporaryDirectory() as work:
        rows = []
        for copies in (1, 4):
            source = os.path.join(work, f"corpus{copies}.cpp")
            make_corpus(source, copies)
            rows.append(measure(quarnel, source, rounds, work))
            os.remove(source)
            os.remove(source + ".html")
    print(f"{'corpus':>8} {'MB':>7} {'quarnel s':>10} {'floor s':>8} {'x floor':>8} "
          f"{'MB/s':>7} {'peak MB':>8} {'x source':>9}")
    for copies, (mb, run, floor, peak) in zip((1, 4), rows):
        print(f"{copies:>7}x {mb:7.1f} {run:10.3f} {floor:8.3f} {run / floor:8.2f} "
              f"{mb / run:7.1f} {peak:8.1f} {peak / mb:9.2f}")
    print(f"growth: 4x the corpus takes {rows[1][1] / rows[0][1]:.2f}x the time")


main()
