#include "lexer/token.h"

#include <algorithm>
#include <memory>
#include <new>
#include <type_traits>

#include "platform/platform.h"

zor_token_list token_list;

namespace {

// Blocks of token storage, handed out front to back. A large file makes
// tens of megabytes of tokens, and first touching memory costs a page fault
// each 4 KiB: a block for tokens that are sure to come is one large page,
// aligned as one and offered as one, to cost one fault. The others are
// plain, since a large page is resident whole however little of it is used.
class token_blocks {
public:
    /// size: that of a token class, which keeps the next token aligned (checked below).
    void* allocate(std::size_t size) {
        if (size > capacity - used) add_block();
        void* slot = blocks.back().get() + used;
        used += size;
        return slot;
    }

    void expect(std::size_t bytes) { expected = bytes; }

    void release() {
        std::vector<block>().swap(blocks);
        used = capacity = expected = 0;
    }

private:
    static constexpr std::size_t large_page = std::size_t{1} << 21;
    static constexpr std::size_t plain_block_size = std::size_t{1} << 20;
    static constexpr std::align_val_t alignment{large_page};

    struct aligned_delete {
        void operator()(unsigned char* start) const { ::operator delete[](start, alignment); }
    };
    using block = std::unique_ptr<unsigned char[], aligned_delete>;

    void add_block() {
        const bool large = expected >= large_page;
        capacity = large ? large_page : plain_block_size;
        blocks.emplace_back(static_cast<unsigned char*>(::operator new[](capacity, alignment)));
        if (large) platform::prefer_large_pages(blocks.back().get(), capacity);
        expected -= std::min(expected, capacity);
        used = 0;
    }

    std::vector<block> blocks;
    std::size_t capacity = 0, used = 0;
    std::size_t expected = 0;  // bytes of tokens sure to come that no block holds yet
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

void expect_tokens(std::size_t count) { storage.expect(count * sizeof(zor_token)); }

void release_token_list() {
    zor_token_list().swap(token_list);
    storage.release();
}
