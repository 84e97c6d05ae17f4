#!/usr/bin/env python3
"""Mutation check: puts one small fault at a time into src/ and runs the fast
tests against it, to see whether some test fails.

Each mutant swaps a relational or equality operator, swaps && and ||, moves
an integer constant by one, changes a character or string literal, or
deletes a statement. Mutants are drawn with a fixed seed, applied one at a
time to a copy of the tree in BUILD/tree, built there, and tested with ctest,
which stops at the first failure. Only what the build compiles into quarnel
is mutated: the sources under src/ in the build's compile commands and the
headers they include (on Linux, not the Windows file). A mutant that does
not build is left out of the kill rate; one whose tests all pass survived.

Usage: scripts/mutate.py [--seed N] [--count N] [--build DIR]"""
import argparse
import json
import pathlib
import random
import re
import shlex
import shutil
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
SLOW = "stress|package"

RELATIONAL = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
LOGICAL = {"&&": "||", "||": "&&"}


def code_spans(line):
    """The parts of a line outside comments and literals, as (start, end)."""
    spans, start, i, quote = [], 0, 0, None
    while i < len(line):
        c = line[i]
        if quote:
            if c == "\\":
                i += 1
            elif c == quote:
                quote, start = None, i + 1
        elif line.startswith("//", i):
            break
        elif c in "\"'":
            spans.append((start, i))
            quote = c
        i += 1
    if not quote:
        spans.append((start, i))
    return spans


def literals(line):
    """String and character literals of a line, as (start, end, text)."""
    found = []
    for match in re.finditer(r'"(\\.|[^"\\])*"|\'(\\.|[^\'\\])+\'|//', line):
        if match.group() == "//":
            break
        found.append((match.start(), match.end(), match.group()))
    return found


def mutants_of(path, lines):
    """Every mutant of one file, as (path, line number, new line, description)."""
    out, windows_only, in_assertion = [], False, False
    for number, line in enumerate(lines):
        stripped = line.strip()
        # A static_assert holds no behaviour of its own to mutate.
        if stripped.startswith("static_assert") or in_assertion:
            in_assertion = not stripped.endswith(";")
            continue
        if stripped.startswith("#"):
            if stripped.startswith("#ifdef _WIN32"):
                windows_only = True
            elif stripped.startswith(("#else", "#endif")):
                windows_only = False
            continue
        if windows_only or stripped.startswith("//") or not stripped:
            continue

        def add(start, end, new, what):
            out.append((path, number, line[:start] + new + line[end:], what))

        for a, b in code_spans(line):
            segment = line[a:b]
            # Binary operators stand between spaces; template brackets, shifts and arrows do not.
            for match in re.finditer(r"(?<= )(<=|>=|==|!=|<|>)(?= )", segment):
                op = match.group()
                add(a + match.start(), a + match.end(), RELATIONAL[op], f"{op} -> {RELATIONAL[op]}")
            for match in re.finditer(r"&&|\|\|", segment):
                add(a + match.start(), a + match.end(), LOGICAL[match.group()],
                    f"{match.group()} -> {LOGICAL[match.group()]}")
            for match in re.finditer(r"(?<![\w.])(\d+)(?![\w.])", segment):
                value = int(match.group(1))
                add(a + match.start(), a + match.end(), str(value + 1), f"{value} -> {value + 1}")
                if value > 0:
                    add(a + match.start(), a + match.end(), str(value - 1), f"{value} -> {value - 1}")
        for start, end, text in literals(line):
            if text.startswith("'"):
                body = text[1:-1]
                new = "'?'" if body != "?" else "'!'"
                add(start, end, new, f"{text} -> {new}")
            elif len(text) > 2:
                new = '"' + ("X" if text[1] != "X" else "Y") + text[2:]
                add(start, end, new, f"{text} -> {new}")
        if stripped.endswith(";") and not re.match(r"(return\b|using\b|namespace\b|[\w:<>,\s*&]+\s+\w+\s*(=|;|\{|\())",
                                                    stripped) and "{" not in stripped:
            out.append((path, number, "", "statement deleted"))
    return out


def compiled_files(objects, src):
    """The files under src that the build in objects compiles: each source of
    its compile commands, and the headers each includes, as the compiler
    finds them (-MM lists them instead of compiling)."""
    found = set()
    for entry in json.loads((objects / "compile_commands.json").read_text()):
        if not pathlib.Path(entry["file"]).is_relative_to(src):
            continue
        argv = entry.get("arguments") or shlex.split(entry["command"])
        at = argv.index("-o")
        listed = subprocess.run(argv[:at] + argv[at + 2:] + ["-MM"], cwd=entry["directory"], capture_output=True,
                                text=True, check=True).stdout
        found.update(pathlib.Path(entry["directory"], name).resolve() for name in listed.replace("\\\n", " ").split()[1:])
    return sorted(path for path in found if path.is_relative_to(src))


def run(command, cwd, timeout):
    try:
        return subprocess.run(command, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return "timeout"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--count", type=int, default=40)
    parser.add_argument("--build", default=str(ROOT / "build-mutation"))
    args = parser.parse_args()
    build = pathlib.Path(args.build).resolve()
    tree = build / "tree"
    shutil.rmtree(tree, ignore_errors=True)
    shutil.copytree(ROOT, tree, ignore=shutil.ignore_patterns("build*", ".git"))
    objects = build / "objects"
    if run(["cmake", "-S", tree, "-B", objects, "-DQUARNEL_TESTS=ON", "-DCMAKE_BUILD_TYPE=Release"], tree, 600) != 0 or \
            run(["cmake", "--build", objects, "-j2"], tree, 1800) != 0:
        sys.exit("the unchanged tree does not build")
    test = ["ctest", "--test-dir", objects, "-LE", SLOW, "--stop-on-failure", "--timeout", "120", "-j2"]
    if run(test, tree, 3600) != 0:
        sys.exit("the unchanged tree fails its fast tests")

    candidates = []
    for path in compiled_files(objects, tree.resolve() / "src"):
        candidates += mutants_of(path, path.read_text().splitlines(keepends=True))
    random.Random(args.seed).shuffle(candidates)
    chosen = candidates[:args.count]
    print(f"{len(candidates)} mutants possible; testing {len(chosen)} (seed {args.seed})")

    counts = {"killed": 0, "survived": 0, "not built": 0}
    for index, (path, number, new_line, what) in enumerate(chosen, 1):
        original = path.read_text()
        lines = original.splitlines(keepends=True)
        lines[number] = new_line
        try:
            path.write_text("".join(lines))
            built = run(["cmake", "--build", objects, "-j2"], tree, 1800) == 0
            verdict = "not built" if not built else ("killed" if run(test, tree, 3600) != 0 else "survived")
        finally:
            path.write_text(original)
        counts[verdict] += 1
        where = f"{path.relative_to(tree)}:{number + 1}"
        print(f"{index:3} {verdict:9} {where:32} {what}    {lines[number].strip() or '(deleted)'}"
              if verdict == "survived" else f"{index:3} {verdict:9} {where:32} {what}", flush=True)
    run(["cmake", "--build", objects, "-j2"], tree, 1800)  # leave the build matching the tree
    tested = counts["killed"] + counts["survived"]
    print(f"killed {counts['killed']} of {tested} that built ({100 * counts['killed'] / max(tested, 1):.0f}%); "
          f"{counts['not built']} did not build")


main()
