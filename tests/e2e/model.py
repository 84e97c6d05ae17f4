# A second, independent model of the lexer and both reports, written straight
# from the rules in the README, used to check the tool on large real inputs.
import re

# Token rules in the order they are tried at each byte; a byte that starts
# none is skipped. A string runs to the next quote of either kind that no
# backslash follows, a comment to its closer; either may run to the end.
TOKEN = re.compile(rb"(?P<Word>[A-Za-z_]\w*)|(?P<Number>[0-9]+)|(?P<String>[\"'](?:[^\"']|[\"'](?=\\))*(?:[\"']|\Z))"
                   rb"|/\*(?P<Block>.*?)(?:\*/|\Z)|//(?P<Line>[^\n]*)\n?"
                   rb"|(?P<Symbol>>=|<=|\+\+|--|&&|\|\||->|!=|==|\+=|-=|\*=|/=|&=|\|=|\^=|>>|<<|::|[!#%&()*+,\-./:;<=>\[\]^{|}])",
                   re.S)
LABELS = {
    "Number": b'<font color="#BD0000">Number</font>', "Word": b"<b>Word</b>",
    "String": b'<font color="blue">String</font>', "Symbol": b'<font color="orange">Symbol</font>',
    "Comment": b'<font color="green">Comment</font>',
}
HEAD = (b"<HTML><TITLE> quarnel - by morvellan </TITLE><BODY><PRE> <center>quarnel results: <br>"
        b"<TABLE border=1><TH>Token #<TH> Token <TH> Type <TR>")
TAIL = b"</TABLE></center></PRE></BODY></HTML>"


def tokens(text):
    for match in TOKEN.finditer(text):
        kind = match.lastgroup
        yield ("Comment" if kind in ("Block", "Line") else kind), match[kind]


def listing_and_page(text):
    # The listing and the page of a source file's bytes.
    found = list(tokens(text.split(b"\0", 1)[0]))
    listing = b"".join(b"(%d : %s ) ->%s\n" % (n, kind.encode(), body) for n, (kind, body) in enumerate(found))
    return listing, page((body.replace(b"<", b"&lt;").replace(b">", b"&gt;"), kind) for kind, body in found)


def page(rows):
    # The page of these (escaped text, type) rows, numbered from 0.
    return HEAD + b"".join(b"<TH>%d<TH>%s<TH>%s<TR>" % (n, text, LABELS[kind])
                           for n, (text, kind) in enumerate(rows)) + TAIL
