#include "lexer/char_table.h"
#include "lexer/token.h"

namespace {

bool continues_word(char c) {
    const auto cls = char_class_of(c);
    return cls == class_letter || cls == class_digit;
}

bool is_quote(char c) { return c == '"' || c == '\''; }

// Consumes characters for as long as they continue the run; the text is
// then taken from the scanner in one piece. NUL continues no run.
template <typename Predicate>
void read_run(zor_scanner& in, std::string_view& text, Predicate continues) {
    const std::size_t start = in.position() - 1;  // the first character, already taken
    while (continues(in.peek())) in.get();
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
        // backslash follows: that is the String rule, loose as it is for C,
        // and listings that users keep depend on it.
        if (is_quote(c) && in.peek() != '\\') break;
    }
    text = in.consumed_since(start);  // unterminated: runs to the end
}

void zor_comment_token::read(zor_scanner& in) {
    const char opener = in.get();  // the * or the second /
    const std::size_t body = in.position();
    if (opener == '*') {  // a block comment ends at the first */
        for (char x = in.get(); x != '\0'; x = in.get()) {
            if (x == '*' && in.peek() == '/') {
                text = in.consumed_since(body);
                text.remove_suffix(1);  // the *
                in.get();               // the /
                return;
            }
        }
    } else if (opener == '/') {  // a line comment ends at the line feed, which it consumes
        for (char x = in.get(); x != '\0'; x = in.get()) {
            if (x == '\n') {
                text = in.consumed_since(body);
                text.remove_suffix(1);
                return;
            }
        }
    }
    text = in.consumed_since(body);  // unterminated: runs to the end
}
