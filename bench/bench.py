#!/usr/bin/env python3
"""Times quarnel against the I/O floor on a corpus of real C++.

The corpus is every libstdc++ header installed on this machine, concatenated
(about 12 MB). The floor is what any tool must spend at least: cat the source
to /dev/null, then cat a saved copy of the listing to standard output and a
saved copy of the page over an existing file. The atomic floor writes the
page as quarnel does, to a new file that a rename puts in the old one's
place; on a disk that costs more than writing in place, so a run there is
best judged against it. Runs are interleaved over several rounds, each
round running the commands in an order of its own, and the medians are
printed, for the corpus and for the corpus four times over. A second binary,
given with --baseline, is timed in the same rounds.

Each run replaces the page that the run before it wrote, as a user's rerun
does; --fresh removes it first, to time first runs instead. --pause waits
that many seconds before each run, as a user's single run starts on a
machine that was idle: a virtual machine may have given its free memory
back to the host by then, and memory is first touched at a higher cost.

--tree times a whole tree instead: every file of a system include folder
(by default the newest libstdc++ headers) is copied to a temporary folder,
and quarnel is run on each file in turn, its listing thrown away, against
cat of each file in the same rounds; it prints the time per file.

Usage: bench/bench.py QUARNEL_BINARY [--rounds N] [--baseline OTHER_BINARY] [--fresh] [--pause SECONDS]
       bench/bench.py QUARNEL_BINARY --tree [FOLDER] [--rounds N] [--baseline OTHER_BINARY]"""
import argparse
import glob
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def libstdcxx_headers():
    roots = sorted(glob.glob("/usr/include/c++/[0-9]*"), key=lambda p: int(os.path.basename(p)))
    if not roots:
        sys.exit("no libstdc++ headers under /usr/include/c++")
    return roots[-1]


def make_corpus(path, copies):
    root = libstdcxx_headers()
    files = sorted(os.path.join(d, f) for d, _, names in os.walk(root) for f in names)
    with open(path, "wb") as out:
        for _ in range(copies):
            for name in files:
                with open(name, "rb") as f:
                    shutil.copyfileobj(f, out)


def timed(argv, stdout_path, stale_page=None, pause=0):
    """Wall seconds, peak resident kilobytes and CPU seconds (user and
    system: what a busy machine adds to the wall time by running others
    stays out of them) of one command, started
    pause seconds after the last; stale_page, if given, is removed first, so
    that the command writes a new page rather than replacing one."""
    if stale_page and os.path.exists(stale_page):
        os.remove(stale_page)
    os.sync()  # so that no run pays for writing back the previous run's output
    time.sleep(pause)
    with open(stdout_path, "wb") as out:
        start = time.perf_counter()
        proc = subprocess.Popen(argv, stdout=out)
        _, status, usage = os.wait4(proc.pid, 0)
        seconds = time.perf_counter() - start
    if status != 0:
        sys.exit(f"{argv} failed with status {status}")
    return seconds, usage.ru_maxrss, usage.ru_utime + usage.ru_stime


def measure(binaries, source, rounds, work, fresh, pause):
    """Median seconds of the floor, and median seconds, peak MB and median CPU seconds of each binary."""
    listing, page = os.path.join(work, "listing.saved"), os.path.join(work, "page.saved")
    timed([binaries[0], "-c", source], listing)
    shutil.copyfile(source + ".html", page)
    page_copy = os.path.join(work, "page.copy")
    floor_cmds = {
        "floor": ["sh", "-c", 'cat "$1" >/dev/null; cat "$2"; cat "$3" > "$4"', "floor",
                  source, listing, page, page_copy],
        "atomic": ["sh", "-c", 'cat "$1" >/dev/null; cat "$2"; cat "$3" > "$4.new" && mv "$4.new" "$4"',
                   "atomic", source, listing, page, page_copy],
    }
    floors, runs = {name: [] for name in floor_cmds}, {b: ([], [], []) for b in binaries}
    # Each round runs the commands in an order of its own: a run pays for
    # what the run before it left, such as memory it freed or did not free,
    # so no command may always follow the same one. (Turning one order round
    # would not do: each command would still follow the same one.)
    commands = list(floor_cmds) + list(binaries)
    shuffle = random.Random(20261207).shuffle
    for _ in range(rounds):
        shuffle(commands)
        for command in list(commands):
            if command in floor_cmds:
                floors[command].append(timed(floor_cmds[command], os.path.join(work, "out"), fresh and page_copy,
                                             pause)[0])
                continue
            for column, value in zip(runs[command], timed([command, "-c", source], os.path.join(work, "out"),
                                                          fresh and source + ".html", pause)):
                column.append(value)
    return ({name: statistics.median(f) for name, f in floors.items()},
            {b: (statistics.median(s), max(k) / 1e3, statistics.median(c)) for b, (s, k, c) in runs.items()})


def measure_tree(binaries, folder, rounds, work):
    """Median seconds per file of cat and of each binary over a copy of folder."""
    tree = os.path.join(work, "tree")
    shutil.copytree(folder, tree, symlinks=True)
    files = sorted(os.path.join(d, f) for d, _, names in os.walk(tree) for f in names
                   if os.path.isfile(os.path.join(d, f)) and not os.path.islink(os.path.join(d, f)))
    listing = os.path.join(work, "files")
    with open(listing, "w") as f:
        f.write("".join(name + "\n" for name in files))
    # One shell loop each, so that both sides pay the same for starting a process.
    loop = 'while IFS= read -r f; do {} "$f" >/dev/null; done < "$0"'
    commands = {"cat": ["sh", "-c", loop.format("cat"), listing]}
    commands.update({b: ["sh", "-c", loop.format('"$1" -c'), listing, b] for b in binaries})
    times = {name: [] for name in commands}
    for _ in range(rounds):
        for name, argv in commands.items():
            times[name].append(timed(argv, os.devnull)[0] / len(files))
    return len(files), {name: statistics.median(t) for name, t in times.items()}


def main_tree(args, binaries, names):
    with tempfile.TemporaryDirectory() as work:
        count, per_file = measure_tree(binaries, args.tree, args.rounds, work)
    print(f"{count} files of {args.tree}, median of {args.rounds} rounds")
    print(f"{'command':>9} {'ms/file':>8} {'x cat':>6}")
    for name, seconds in per_file.items():
        print(f"{names.get(name, name):>9} {seconds * 1e3:8.3f} {seconds / per_file['cat']:6.2f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("quarnel")
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--baseline")
    parser.add_argument("--fresh", action="store_true",
                        help="time first runs: no page is left from an earlier run to replace")
    parser.add_argument("--pause", type=float, default=0,
                        help="seconds to wait before each run, to time runs on an idle machine")
    parser.add_argument("--tree", nargs="?", const="", default=None,
                        help="time a run on each file of FOLDER (default: the libstdc++ headers) against cat")
    args = parser.parse_args()
    binaries = [os.path.abspath(args.quarnel)] + ([os.path.abspath(args.baseline)] if args.baseline else [])
    names = {binaries[0]: "quarnel"}
    if args.baseline:
        names[binaries[1]] = "baseline"
    if args.tree is not None:
        args.tree = args.tree or libstdcxx_headers()
        return main_tree(args, binaries, names)
    results = []
    with tempfile.TemporaryDirectory() as work:
        for copies in (1, 4):
            source = os.path.join(work, f"corpus{copies}.cpp")
            make_corpus(source, copies)
            results.append((copies, os.path.getsize(source) / 1e6,
                            *measure(binaries, source, args.rounds, work, args.fresh, args.pause)))
            os.remove(source)
            os.remove(source + ".html")
    print(f"{'binary':>9} {'corpus':>7} {'MB':>6} {'seconds':>8} {'floor s':>8} {'x floor':>8} "
          f"{'atomic s':>9} {'x atomic':>9} {'MB/s':>6} {'peak MB':>8} {'x source':>9} {'cpu s':>6}")
    for copies, mb, floors, by_binary in results:
        floor, atomic = floors["floor"], floors["atomic"]
        for binary, (seconds, peak, cpu) in by_binary.items():
            print(f"{names[binary]:>9} {copies:>6}x {mb:6.1f} {seconds:8.3f} {floor:8.3f} {seconds / floor:8.2f} "
                  f"{atomic:9.3f} {seconds / atomic:9.2f} {mb / seconds:6.1f} {peak:8.1f} {peak / mb:9.2f} {cpu:6.3f}")
    for binary in binaries:
        growth = results[1][3][binary][0] / results[0][3][binary][0]
        print(f"growth ({names[binary]}): 4x the corpus takes {growth:.2f}x the time")
    # The floor's own growth shows what the file system adds: on a disk,
    # replacing a page four times as large costs more than four times as much.
    for name in ("floor", "atomic"):
        print(f"growth ({name}): 4x the corpus takes {results[1][2][name] / results[0][2][name]:.2f}x the time")


main()
