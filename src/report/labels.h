#pragma once
// How both reports name each token type. An unknown type has empty labels.

#include <cstddef>
#include <cstdint>
#include <string_view>

struct zor_type_labels {
    std::string_view console;
    std::string_view html;
};

/// Label slots: one per token type, and slot 0 for every unknown type.
inline constexpr std::size_t label_slots = 6;

/// The slot of a type's labels: the type itself, or 0 when it is unknown.
inline std::size_t label_slot(std::int32_t type) {
    return type > 0 && static_cast<std::size_t>(type) < label_slots ? static_cast<std::size_t>(type) : 0;
}

const zor_type_labels& labels_of(std::int32_t type);
