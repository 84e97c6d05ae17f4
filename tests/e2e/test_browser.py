"""The page as headless Chromium parses it: one row of cells per token after
the heading row, one more empty row opened by the final <TR>, and Token cells
whose text is exactly the token's, for texts holding <, >, << and ->."""
import html.parser
import os
import shutil
import subprocess

from conftest import need

SOURCE = b"if (a < b && c > d) x = y << 2; p->q;\n/* multi\n   line */ s = \"<b>\";\n"
ROWS = [["Token #", " Token ", " Type "]] + [[str(n), text, kind] for n, (kind, text) in enumerate([
    ("Word", "if"), ("Symbol", "("), ("Word", "a"), ("Symbol", "<"), ("Word", "b"), ("Symbol", "&&"),
    ("Word", "c"), ("Symbol", ">"), ("Word", "d"), ("Symbol", ")"), ("Word", "x"), ("Symbol", "="),
    ("Word", "y"), ("Symbol", "<<"), ("Number", "2"), ("Symbol", ";"), ("Word", "p"), ("Symbol", "->"),
    ("Word", "q"), ("Symbol", ";"), ("Comment", " multi\n   line "), ("Word", "s"), ("Symbol", "="),
    ("String", '"<b>"'), ("Symbol", ";")])] + [[]]


class Rows(html.parser.HTMLParser):
    """The text of every th cell, row by row."""

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


def test_page_in_chromium(work, run):
    need(shutil.which("chromium"), "chromium is not installed")
    with open("page.c", "wb") as f:
        f.write(SOURCE)
    run("-c", "page.c")
    dom = subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                          "--disable-component-update", "--disable-sync", "--no-first-run",
                          f"--user-data-dir={work}/profile", "--dump-dom", f"file://{work}/page.c.html"],
                         capture_output=True, timeout=120, check=True).stdout.decode()
    parser = Rows()
    parser.feed(dom)
    assert [["".join(cell) for cell in row] for row in parser.rows] == ROWS
