#include "lexer/tokenizer.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>

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

    // Real code has about one token per eight bytes; reserving a little more
    // spares the list its copies while it grows. A pathological text only
    // pays a few doublings, and the cap keeps a huge text from reserving
    // more address space than it will ever touch.
    constexpr std::size_t reserve_cap = std::size_t{1} << 26;
    try {
        token_list.reserve(token_list.size() + std::min(in.length() / 6, reserve_cap));
    } catch (const std::bad_alloc&) {
        // Only a head start: the list grows as it must.
    }

    for (char c = in.get(); c != '\0'; c = in.get()) {
        std::unique_ptr<zor_token> token = token_starting_with(c, in);
        if (!token) continue;
        token->read(in);
        token_list.push_back(token.get());
        static_cast<void>(token.release());  // the list owns it now
    }
}
