# A second, independent model of the lexer and both reports, written straight
# from the rules in the README, used to check the tool on large real inputs.

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
HEAD = (b"<HTML><TITLE> quarnel - by morvellan </TITLE><BODY><PRE> <center>quarnel results: <br>"
        b"<TABLE border=1><TH>Token #<TH> Token <TH> Type <TR>")
TAIL = b"</TABLE></center></PRE></BODY></HTML>"


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
        elif text[i:i + 2] in (b"/*", b"//"):
            closer = b"*/" if text[i + 1:i + 2] == b"*" else b"\n"
            end = text.find(closer, i + 2)
            end = n if end < 0 else end
            yield "Comment", text[i + 2:end]
            i = end + len(closer)
        elif c in SYMBOLS:
            width = 2 if text[i:i + 2] in PAIRS else 1
            yield "Symbol", text[i:i + width]
            i += width
        else:
            i += 1


def listing_and_page(text):
    # The listing and the page of a source file's bytes.
    found = list(tokens(text.split(b"\0", 1)[0]))
    listing = b"".join(b"(%d : %s ) ->%s\n" % (n, kind.encode(), body) for n, (kind, body) in enumerate(found))
    return listing, page((body.replace(b"<", b"&lt;").replace(b">", b"&gt;"), kind) for kind, body in found)


def page(rows):
    # The page of these (escaped text, type) rows, numbered from 0.
    return HEAD + b"".join(b"<TH>%d<TH>%s<TH>%s<TR>" % (n, text, LABELS[kind])
                           for n, (text, kind) in enumerate(rows)) + TAIL
