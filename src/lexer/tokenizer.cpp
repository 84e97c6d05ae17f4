#include "lexer/tokenizer.h"

#include <cstdlib>
#include <memory>

#include "lexer/char_table.h"
#include "lexer/token.h"

namespace {

std::unique_ptr<zor_token> token_starting_with(char c, const zor_scanner& in) {
    switch (char_class_of(c)) {
        case class_letter: return std::make_unique<zor_word_token>();
        case class_digit: return std::make_unique<zor_int_token>();
        case class_quote: return std::make_unique<zor_string_token>();
        case class_symbol:
            if (c == '/' && (in.peek() == '*' || in.peek() == '/'))
                return std::make_unique<zor_comment_token>();
            return std::make_unique<zor_special_token>();
        default: return nullptr;  // white space and other separators
    }
}

}  // namespace

void tokenize(zor_scanner& in) {
    static const bool cleanup_registered = std::atexit(release_token_list) == 0;
    (void)cleanup_registered;

    for (char c = in.get(); c != '\0'; c = in.get()) {
        std::unique_ptr<zor_token> token = token_starting_with(c, in);
        if (!token) continue;
        token->read(in);
        token_list.push_back(token.get());
        token.release();
    }
}
