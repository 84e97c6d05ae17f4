#pragma once
// How both reports name each token type. An unknown type has empty labels.

#include <cstdint>
#include <iterator>
#include <string_view>

#include "lexer/token.h"

struct zor_type_labels {
    std::string_view console, html;
};

inline constexpr zor_type_labels zor_labels_by_type[] = {
    {"", ""},  // any type that is not one of the five below
    {"Number", "<font color=\"#BD0000\">Number</font>"},
    {"Word", "<b>Word</b>"},
    {"String", "<font color=\"blue\">String</font>"},
    {"Symbol", "<font color=\"orange\">Symbol</font>"},
    {"Comment", "<font color=\"green\">Comment</font>"},
};
static_assert(std::size(zor_labels_by_type) == type_comment + 1, "one pair of labels per token type");

inline const zor_type_labels& labels_of(std::int32_t type) {
    return zor_labels_by_type[type >= type_number && type <= type_comment ? type : 0];
}
