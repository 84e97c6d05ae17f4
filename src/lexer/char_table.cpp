#include "lexer/char_table.h"

#include <algorithm>
#include <iterator>

std::uint8_t zor_char_table[128];

void init_char_table() {
    std::fill(std::begin(zor_char_table), std::end(zor_char_table), class_other);
    for (int c = 'a'; c <= 'z'; ++c) zor_char_table[c] = class_letter;
    for (int c = 'A'; c <= 'Z'; ++c) zor_char_table[c] = class_letter;
    for (int c = '0'; c <= '9'; ++c) zor_char_table[c] = class_digit;
    for (const char* s = "!#%&()*+,-./:;<=>[]^{|}"; *s != '\0'; ++s)
        zor_char_table[static_cast<unsigned char>(*s)] = class_symbol;
    zor_char_table[static_cast<unsigned char>('\'')] = class_quote;
    zor_char_table[static_cast<unsigned char>('"')] = class_quote;
    zor_char_table[static_cast<unsigned char>('_')] = class_letter;
}
