#!/usr/bin/env python3
"""A second, independent model of the lexer and both reports, written
straight from the rules in the README, used to check the tool on large real
inputs. Usage: model.py SOURCE LISTING_OUT PAGE_OUT"""
import sys

LETTERS = set(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_")
DIGITS = set(b"0123456789")
QUOTES = set(b"\"'")
SYMBOLS = set(b"!#%&()*+,-./:;<=>[]^{|}")
PAIRS = {b">=", b"<=", b"++", b"--", b"&&", b"||", b"->", b"!=", b"==", b"+=", b"-=",
         b"*=", b"/=", b"&=", b"|=", b"^=", b">>", b"<<", b"::"}
LABELS = {
    "Number": b'<font color="#BD0000">Number</font>', "Word": b"<b>Word</b>",
    "String": b'<font color="blue">String</font>', "Symbol": b'<font color="orange">Symbol</font>',
    "Comment": b'<font color="green">Comment</font>',
}


def tokens(text):
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if c in LETTERS or c in DIGITS:
            run = LETTERS | DIGITS if c in LETTERS else DIGITS
            j = i + 1
            while j < n and text[j] in run:
                j += 1
            yield ("Word" if c in LETTERS else "Number"), text[i:j]
            i = j
        elif c in QUOTES:
            j = i + 1
            while j < n:
                j += 1
                if text[j - 1] in QUOTES and text[j:j + 1] != b"\\":
                    break
            yield "String", text[i:j]
            i = j
        elif text[i:i + 2] == b"/*":
            end = text.find(b"*/", i + 2)
            end = n if end < 0 else end
            yield "Comment", text[i + 2:end]
            i = min(end + 2, n)
        elif text[i:i + 2] == b"//":
            end = text.find(b"\n", i + 2)
            end = n if end < 0 else end
            yield "Comment", text[i + 2:end]
            i = end + 1
        elif c in SYMBOLS:
            width = 2 if text[i:i + 2] in PAIRS else 1
            yield "Symbol", text[i:i + width]
            i += width
        else:
            i += 1


def main():
    source, listing_path, page_path = sys.argv[1:4]
    with open(source, "rb") as f:
        text = f.read().split(b"\0", 1)[0]
    listing, page = [], [b"<HTML><TITLE> quarnel - by morvellan </TITLE><BODY><PRE>",
                          b" <center>quarnel results: <br><TABLE border=1>",
                          b"<TH>Token #<TH> Token <TH> Type <TR>"]
    for number, (kind, body) in enumerate(tokens(text)):
        listing.append(b"(%d : %s ) ->%s\n" % (number, kind.encode(), body))
        escaped = body.replace(b"<", b"&lt;").replace(b">", b"&gt;")
        page.append(b"<TH>%d<TH>%s<TH>%s<TR>" % (number, escaped, LABELS[kind]))
    page.append(b"</TABLE></center></PRE></BODY></HTML>")
    with open(listing_path, "wb") as f:
        f.write(b"".join(listing))
    with open(page_path, "wb") as f:
        f.write(b"".join(page))


main()
