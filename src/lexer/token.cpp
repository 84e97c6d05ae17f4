#include "lexer/token.h"

#include <memory>
#include <type_traits>
#include <utility>

zor_token_list token_list;

namespace {

// Blocks of token storage, handed out front to back.
class token_blocks {
public:
    /// size: that of a token class, which keeps the next token aligned (checked below).
    void* allocate(std::size_t size) {
        if (size > block_size - used) {
            std::unique_ptr<unsigned char[]> block(new unsigned char[block_size]);
            blocks.push_back(std::move(block));
            used = 0;
        }
        void* slot = blocks.back().get() + used;
        used += size;
        return slot;
    }

    void release() {
        std::vector<std::unique_ptr<unsigned char[]>>().swap(blocks);
        used = block_size;
    }

private:
    static constexpr std::size_t block_size = std::size_t{1} << 20;
    std::vector<std::unique_ptr<unsigned char[]>> blocks;
    std::size_t used = block_size;  // no room until the first block
};

// Tokens are packed one after another and released with their blocks, never
// destroyed one by one: sound only while no token class adds anything to
// zor_token, whose size fills whole alignment units and which has nothing to
// destroy.
static_assert(sizeof(zor_token) % alignof(std::max_align_t) == 0 &&
                  std::is_trivially_destructible_v<zor_token>,
              "a token could not be packed and released with its block");
static_assert(sizeof(zor_int_token) == sizeof(zor_token) && sizeof(zor_word_token) == sizeof(zor_token) &&
                  sizeof(zor_string_token) == sizeof(zor_token) &&
                  sizeof(zor_special_token) == sizeof(zor_token) &&
                  sizeof(zor_comment_token) == sizeof(zor_token),
              "a token class adds to zor_token");

// At namespace scope, so that it outlives the exit-time release_token_list.
token_blocks storage;

}  // namespace

void* zor_token::operator new(std::size_t size) { return storage.allocate(size); }

void release_token_list() {
    zor_token_list().swap(token_list);
    storage.release();
}
