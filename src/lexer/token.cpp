#include "lexer/token.h"

#include <memory>
#include <type_traits>
#include <utility>

zor_token_list token_list;

namespace {

// Blocks of token storage, handed out front to back.
class token_blocks {
public:
    void* allocate(std::size_t size) {
        size = (size + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);
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

// Released with their storage, never destroyed one by one: that is only
// sound while destroying a token would do nothing.
static_assert(std::is_trivially_destructible_v<zor_int_token> &&
                  std::is_trivially_destructible_v<zor_word_token> &&
                  std::is_trivially_destructible_v<zor_string_token> &&
                  std::is_trivially_destructible_v<zor_special_token> &&
                  std::is_trivially_destructible_v<zor_comment_token>,
              "tokens are released without being destroyed");

// At namespace scope, so that it outlives the exit-time release_token_list.
token_blocks storage;

}  // namespace

void* zor_token::operator new(std::size_t size) { return storage.allocate(size); }

void release_token_list() {
    zor_token_list().swap(token_list);
    storage.release();
}
