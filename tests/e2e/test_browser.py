# The page as headless Chromium parses it: one row of cells per token after
# the heading row, one more empty row opened by the final <TR>, and Token
# cells whose text is exactly the token's, for texts holding <, >, << and ->.
import html
import re
import shutil
import subprocess

from conftest import need, write

SOURCE = b'a < b > c << 2 -> e /* x\n  y */ "<b>"\n'
ROWS = [["Token #", " Token ", " Type "]] + [[str(n), text, kind] for n, (kind, text) in enumerate([
    ("Word", "a"), ("Symbol", "<"), ("Word", "b"), ("Symbol", ">"), ("Word", "c"), ("Symbol", "<<"), ("Number", "2"),
    ("Symbol", "->"), ("Word", "e"), ("Comment", " x\n  y "), ("String", '"<b>"')])] + [[]]


def test_page_in_chromium(work, run):
    need(shutil.which("chromium"), "chromium is not installed")
    write("page.c", SOURCE)
    run("-c", "page.c")
    dom = subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                          "--disable-component-update", "--disable-sync", "--no-first-run",
                          f"--user-data-dir={work}/profile", "--dump-dom", f"file://{work}/page.c.html"],
                         capture_output=True, timeout=120, check=True).stdout.decode()
    # The browser's own serialisation: every row and cell closed, texts escaped.
    rows = re.findall(r"<tr>(.*?)</tr>", dom, re.S)
    cells = [[html.unescape(re.sub(r"<[^>]*>", "", cell)) for cell in re.findall(r"<th>(.*?)</th>", row, re.S)]
             for row in rows]
    assert cells == ROWS
