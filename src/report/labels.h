#pragma once
// How both reports name each token type. An unknown type has empty labels.

#include <cstdint>

struct zor_type_labels {
    const char* console;
    const char* html;
};

const zor_type_labels& labels_of(std::int32_t type);
