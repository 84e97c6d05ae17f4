#include "lexer/char_table.h"
#include "lexer/token.h"

namespace {

bool continues_word(char c) {
    const auto cls = char_class_of(c);
    return cls == class_letter || cls == class_digit;
}

bool is_quote(char c) { return c == '"' || c == '\''; }

}  // namespace

void zor_int_token::read(zor_scanner& in) {
    for (char d = in.previous();; ) {
        text += d;
        d = in.get();
        if (d == '\0') return;
        if (char_class_of(d) != class_digit) {
            in.unget();
            return;
        }
    }
}

void zor_word_token::read(zor_scanner& in) {
    for (char d = in.previous();; ) {
        text += d;
        d = in.get();
        if (d == '\0') return;
        if (!continues_word(d)) {
            in.unget();
            return;
        }
    }
}

void zor_string_token::read(zor_scanner& in) {
    text += in.previous();
    for (;;) {
        const char c = in.get();
        if (c == '\0') return;  // unterminated: runs to the end of the text
        const char next = in.peek();
        text += c;
        // Either quote ends the string, whichever opened it, unless a
        // backslash follows; this is how the lexer has always split them.
        if (is_quote(c) && next != '\\') return;
    }
}

void zor_comment_token::read(zor_scanner& in) {
    const char opener = in.get();
    if (opener == '*') {
        for (;;) {
            const char x = in.get();
            if (x == '\0') return;  // unterminated: runs to the end of the text
            if (x == '*' && in.peek() == '/') {
                in.get();
                return;
            }
            text += x;
        }
    }
    if (opener == '/') {
        for (;;) {
            const char x = in.get();
            if (x == '\0' || x == '\n') return;
            text += x;
        }
    }
}
