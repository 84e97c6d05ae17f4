#pragma once
// Character classes of the 7-bit characters: which token a character starts
// and whether it continues a word or a number.
//
// The table is filled once per run by init_char_table before any lookup.
// Bytes of code 128 and above lie outside it and count as other.

#include <cstdint>

enum zor_char_class : std::uint8_t {
    class_letter = 1,  // A-Z, a-z and _
    class_digit = 2,
    class_quote = 3,   // " and '
    class_symbol = 6,  // operators and punctuation
    class_other = 7,   // white space, control codes, $ ? @ \ ` ~
};

extern std::uint8_t zor_char_table[128];

void init_char_table();

inline std::uint8_t char_class_of(char c) {
    const auto code = static_cast<unsigned char>(c);
    return code < 128 ? zor_char_table[code] : std::uint8_t{class_other};
}
