#!/usr/bin/env python3
"""Renders a generated page in headless Chromium and checks what the browser
parsed: one row of cells per token after the heading row, one more empty row
opened by the final <TR>, and Token cells whose text is exactly the token's
text for texts holding <, >, <<, -> and a line break.

Usage: check_page.py QUARNEL_BINARY [--screenshot PNG]
Exits 77 (skipped) when no Chromium is installed."""
import html.parser
import os
import shutil
import subprocess
import sys
import tempfile

SOURCE = b"if (a < b && c > d) x = y << 2; p->q;\n/* multi\n   line */ s = \"<b>\";\n"
TOKENS = [
    ("Word", "if"), ("Symbol", "("), ("Word", "a"), ("Symbol", "<"), ("Word", "b"),
    ("Symbol", "&&"), ("Word", "c"), ("Symbol", ">"), ("Word", "d"), ("Symbol", ")"),
    ("Word", "x"), ("Symbol", "="), ("Word", "y"), ("Symbol", "<<"), ("Number", "2"),
    ("Symbol", ";"), ("Word", "p"), ("Symbol", "->"), ("Word", "q"), ("Symbol", ";"),
    ("Comment", " multi\n   line "), ("Word", "s"), ("Symbol", "="), ("String", '"<b>"'),
    ("Symbol", ";"),
]


class Rows(html.parser.HTMLParser):
    """The text of every th cell, row by row, of the first table."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.rows, self.cell = [], None

    def handle_starttag(self, tag, attrs):
        if tag == "tr":
            self.rows.append([])
        elif tag == "th":
            self.cell = []
            self.rows[-1].append(self.cell)

    def handle_endtag(self, tag):
        if tag == "th":
            self.cell = None

    def handle_data(self, data):
        if self.cell is not None:
            self.cell.append(data)


def chromium(args, work):
    browser = shutil.which("chromium")
    profile = os.path.join(work, "profile")
    return subprocess.run(
        [browser, "--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
         "--disable-component-update", "--disable-sync", "--no-first-run",
         f"--user-data-dir={profile}"] + args,
        capture_output=True, timeout=120, check=True).stdout.decode()


def main():
    if not shutil.which("chromium"):
        print("chromium is not installed")
        return 77
    quarnel = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory() as work:
        with open(os.path.join(work, "page.c"), "wb") as f:
            f.write(SOURCE)
        subprocess.run([quarnel, "-c", "page.c"], cwd=work, check=True, capture_output=True)
        page_url = "file://" + os.path.join(work, "page.c.html")
        if "--screenshot" in sys.argv:
            png = os.path.abspath(sys.argv[sys.argv.index("--screenshot") + 1])
            chromium([f"--screenshot={png}", "--window-size=700,620", page_url], work)
        parser = Rows()
        parser.feed(chromium(["--dump-dom", page_url], work))
    rows = [["".join(cell) for cell in row] for row in parser.rows]
    failures = []
    if len(rows) != len(TOKENS) + 2:
        failures.append(f"{len(rows)} rows, expected {len(TOKENS) + 2}")
    if rows and rows[0] != ["Token #", " Token ", " Type "]:
        failures.append(f"heading row {rows[0]!r}")
    if rows and rows[-1] != []:
        failures.append(f"last row is not empty: {rows[-1]!r}")
    for number, ((kind, text), row) in enumerate(zip(TOKENS, rows[1:])):
        if row != [str(number), text, kind]:
            failures.append(f"row {number}: {row!r}, expected {[str(number), text, kind]!r}")
    for failure in failures:
        print("FAIL:", failure)
    print(f"{len(rows)} rows checked" if not failures else "")
    return 1 if failures else 0


sys.exit(main())
