#include "lexer/char_table.h"
#include "lexer/token.h"

namespace {

bool continues_word(char c) {
    const auto cls = char_class_of(c);
    return cls == class_letter || cls == class_digit;
}

bool is_quote(char c) { return c == '"' || c == '\''; }

// Consumes characters while they satisfy continues, giving back the first
// one that does not; the text is then taken from the scanner in one piece.
template <typename Predicate>
void read_run(zor_scanner& in, std::string_view& text, Predicate continues) {
    const std::size_t start = in.position() - 1;  // the first character, already taken
    for (char d = in.get(); d != '\0'; d = in.get()) {
        if (!continues(d)) {
            in.unget();
            break;
        }
    }
    text = in.consumed_since(start);
}

}  // namespace

void zor_int_token::read(zor_scanner& in) {
    read_run(in, text, [](char d) { return char_class_of(d) == class_digit; });
}

void zor_word_token::read(zor_scanner& in) { read_run(in, text, continues_word); }

void zor_string_token::read(zor_scanner& in) {
    const std::size_t start = in.position() - 1;  // the opening quote
    for (char c = in.get(); c != '\0'; c = in.get()) {
        // Either quote ends the string, whichever opened it, unless a
        // backslash follows; this is how the lexer has always split them.
        if (is_quote(c) && in.peek() != '\\') break;
    }
    text = in.consumed_since(start);  // unterminated: runs to the end
}

void zor_comment_token::read(zor_scanner& in) {
    const char opener = in.get();
    const std::size_t body = in.position();
    if (opener == '*') {
        for (char x = in.get(); x != '\0'; x = in.get()) {
            if (x == '*' && in.peek() == '/') {
                text = in.consumed_since(body).substr(0, in.position() - 1 - body);
                in.get();
                return;
            }
        }
        text = in.consumed_since(body);  // unterminated: runs to the end
    } else if (opener == '/') {
        for (char x = in.get(); x != '\0'; x = in.get()) {
            if (x == '\n') {
                text = in.consumed_since(body).substr(0, in.position() - 1 - body);
                return;
            }
        }
        text = in.consumed_since(body);
    }
}
