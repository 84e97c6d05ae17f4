#include <array>

#include "lexer/symbol_kinds.h"
#include "lexer/token.h"

namespace {

// What one symbol character can become: its own kind, and the pairs it
// starts, in the order they are tried.
struct symbol_start {
    std::int32_t single_kind = comma_kind;
    int pair_count = 0;
    std::array<char, 3> pair_second{};
    std::array<std::int32_t, 3> pair_kind{};
};

constexpr std::array<symbol_start, 128> make_symbol_starts() {
    std::array<symbol_start, 128> starts{};
    for (const auto& symbol : zor_symbol_kinds) {
        auto& start = starts[static_cast<unsigned char>(symbol.text[0]) & 127];
        if (symbol.text[1] == '\0') {
            start.single_kind = symbol.kind;
        } else {
            start.pair_second.at(start.pair_count) = symbol.text[1];  // at: too many pairs fail the build
            start.pair_kind.at(start.pair_count) = symbol.kind;
            ++start.pair_count;
        }
    }
    return starts;
}

constexpr std::array<symbol_start, 128> symbol_starts = make_symbol_starts();

}  // namespace

void zor_special_token::read(zor_scanner& in) {
    const std::size_t start = in.position() - 1;  // the symbol character, already taken
    const auto code = static_cast<unsigned char>(in.previous());
    if (code < symbol_starts.size()) {
        const symbol_start& symbol = symbol_starts[code];
        kind = symbol.single_kind;
        const char next = in.peek();
        for (int i = 0; i < symbol.pair_count; ++i) {
            if (symbol.pair_second[i] == next) {
                in.get();
                kind = symbol.pair_kind[i];
                break;
            }
        }
    }
    text = in.consumed_since(start);
}
