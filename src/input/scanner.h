#pragma once
// A read cursor over the source text, the only way the lexer moves through it.
//
// NUL doubles as the end marker: the loaded text never holds one, so get and
// peek return NUL once the text is exhausted. The accessors are defined here
// because the lexer calls them once per character.

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

class zor_scanner {
public:
    explicit zor_scanner(std::string source) : text(std::move(source)) {}

    /// The character at the cursor, consuming it; NUL at the end, without moving.
    char get() { return pos < text.size() ? text[pos++] : '\0'; }

    /// The character at the cursor, without consuming it; NUL at the end,
    /// where the string holds its terminating NUL: the cursor never passes it.
    char peek() const { return text[pos]; }

    /// The character consumed last; NUL before the first get.
    char previous() const { return pos >= 1 ? text[pos - 1] : '\0'; }

    /// Gives back the character that the last get returned.
    void unget() {
        if (pos > 0) --pos;
    }

    std::size_t position() const { return pos; }
    std::size_t length() const { return text.size(); }

    /// The characters consumed from position start up to the cursor, so that
    /// a reader can take its token's text in one piece.
    std::string_view consumed_since(std::size_t start) const {
        return std::string_view(text.data() + start, pos - start);
    }

private:
    std::string text;
    std::size_t pos = 0;  // 64-bit: texts of 4 GiB and more must not wrap
};
