#pragma once
// Lexes a text the way a run does and returns what the tests compare.

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "input/scanner.h"
#include "lexer/char_table.h"
#include "lexer/token.h"
#include "lexer/tokenizer.h"

// Short type names so that expected tokens read as one case a line.
constexpr int N = type_number, W = type_word, Q = type_string, S = type_symbol, C = type_comment;

using lexed = std::vector<std::pair<int, std::string>>;

// The tokens' texts are views into the scanner, which therefore lives until
// the next call. The list comes back as a copy: a reference to it, returned
// from a call given a temporary, is what GCC 14 warns may dangle.
inline zor_token_list lex_tokens(const std::string& text) {
    static std::optional<zor_scanner> in;
    release_token_list();
    init_char_table();
    in.emplace(text);
    tokenize(*in);
    return token_list;
}

inline lexed lex(const std::string& text) {
    lexed tokens;
    for (const zor_token* token : lex_tokens(text)) tokens.emplace_back(token->type, token->text);
    return tokens;
}
