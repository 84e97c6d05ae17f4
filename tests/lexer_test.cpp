#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "input/scanner.h"
#include "lexer/char_table.h"
#include "lexer/token.h"
#include "lexer/tokenizer.h"

namespace {

// The tokens of a text, lexed as a run does. Their texts are views into the
// scanner, which therefore lives until the next call. The list comes back as
// a copy: a reference to it, returned from a call given a temporary, is what
// GCC 14 warns may dangle.
zor_token_list lex(const std::string& text) {
    static std::optional<zor_scanner> in;
    release_token_list();
    init_char_table();
    in.emplace(text);
    tokenize(*in);
    return token_list;
}

// Texts that end inside a token in ways no other test's text does; the
// differential test checks the rest of the rules against the model.
TEST(Lexer, TextEndingInsideAToken) {
    const std::pair<std::string, std::vector<std::pair<int, std::string>>> cases[] = {
        {"\"open", {{type_string, "\"open"}}},
        {"/*/ x /", {{type_comment, "/ x /"}}},  // the opening * closes nothing
    };
    for (const auto& [text, expected] : cases) {
        std::vector<std::pair<int, std::string>> seen;
        for (const zor_token* token : lex(text)) seen.emplace_back(token->type, token->text);
        EXPECT_EQ(seen, expected) << text;
    }
}

// Kinds show in no output: this is their only test. The 41 symbols in the
// order of their kinds, 1 to 41; a comma, which has none (0); and a / at the
// very end, where peek shows NUL: a Symbol of its own kind, not a comment.
TEST(Lexer, EverySymbolHasItsKind) {
    std::vector<int> expected(41), kinds;
    std::iota(expected.begin(), expected.end(), 1);
    expected.insert(expected.end(), {0, 24});
    for (const zor_token* token : lex("( ) > >= < <= + ++ - -- & && | || -> ! != = == += -= "
                                      "* *= / /= &= |= ; : . ^ ^= % [ ] { } # >> << :: , /")) {
        kinds.push_back(token->kind);
        // Packed into blocks, each token must still sit where its class may.
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(token) % alignof(zor_token), 0u);
    }
    EXPECT_EQ(kinds, expected);
}

}  // namespace
