#include "lexer/token.h"

#include <memory>

zor_token_list token_list;

namespace {

// Blocks of token storage, handed out front to back.
class token_arena {
public:
    /// size: that of a token class, far below a block's.
    void* allocate(std::size_t size) {
        size = (size + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);
        if (blocks.empty() || size > block_size - used) {
            // Left uninitialised: every token constructs its own bytes.
            blocks.emplace_back(new unsigned char[block_size]);
            used = 0;
        }
        void* slot = blocks.back().get() + used;
        used += size;
        return slot;
    }

    void release() {
        std::vector<std::unique_ptr<unsigned char[]>>().swap(blocks);
        used = 0;
    }

private:
    static constexpr std::size_t block_size = std::size_t{1} << 20;
    std::vector<std::unique_ptr<unsigned char[]>> blocks;
    std::size_t used = 0;
};

// At namespace scope, so that it outlives the exit-time release_token_list.
token_arena arena;

// Ends a token through its own class's destructor. Those destructors do
// nothing and the arena frees all tokens' storage at once, so a direct call
// compiles to nothing, where a virtual delete would cost every token of a
// large file an indirect call, in an order as mixed as the tokens' types.
void destroy(zor_token* token) {
    switch (token->type) {
        case type_number: static_cast<zor_int_token*>(token)->~zor_int_token(); break;
        case type_word: static_cast<zor_word_token*>(token)->~zor_word_token(); break;
        case type_string: static_cast<zor_string_token*>(token)->~zor_string_token(); break;
        case type_symbol: static_cast<zor_special_token*>(token)->~zor_special_token(); break;
        case type_comment: static_cast<zor_comment_token*>(token)->~zor_comment_token(); break;
    }
}

}  // namespace

void* zor_token::operator new(std::size_t size) { return arena.allocate(size); }

void release_token_list() {
    for (zor_token* token : token_list) destroy(token);
    zor_token_list().swap(token_list);
    arena.release();
}
