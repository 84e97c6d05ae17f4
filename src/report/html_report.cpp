#include "report/html_report.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "report/block_writer.h"
#include "report/labels.h"

namespace {

bool needs_entity(char c) { return (c | 2) == '>'; }  // '<' is 0x3C, '>' is 0x3E

constexpr std::uint64_t ones = 0x0101010101010101;

// The high bit of each byte of word that is '<' or '>'; zero if none is.
std::uint64_t entity_bits(std::uint64_t word) {
    const std::uint64_t marked = (word | ones * 2) ^ (ones * '>');
    return (marked - ones) & ~marked & (ones * 0x80);
}

// Whether text holds a '<' or '>'. Most texts hold neither and are short:
// they are tested in one or two loads each, without a loop over bytes.
bool holds_entity(std::string_view text) {
    const char* from = text.data();
    const std::size_t size = text.size();
    if (size >= 8) {
        std::uint64_t found = 0, word;
        for (std::size_t at = 0; at + 8 <= size; at += 8) {
            std::memcpy(&word, from + at, 8);
            found |= entity_bits(word);
        }
        std::memcpy(&word, from + size - 8, 8);  // the tail, overlapping
        return (found | entity_bits(word)) != 0;
    }
    if (size >= 4) {
        std::uint32_t head, tail;
        std::memcpy(&head, from, 4);
        std::memcpy(&tail, from + size - 4, 4);
        return entity_bits(head | std::uint64_t{tail} << 32) != 0;
    }
    if (size == 0) return false;
    // One to three bytes: the first, the middle and the last are all of them.
    const auto byte = [from](std::size_t at) { return std::uint64_t{static_cast<unsigned char>(from[at])}; };
    return entity_bits(byte(0) | byte(size / 2) << 8 | byte(size - 1) << 16) != 0;
}

// The index of the first '<' or '>' in text at or after from, or its size.
std::size_t find_entity(std::string_view text, std::size_t from) {
    while (text.size() - from >= 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + from, 8);
        if (entity_bits(word) != 0) break;
        from += 8;
    }
    while (from < text.size() && !needs_entity(text[from])) ++from;
    return from;
}

// Emits text in runs between the characters that need an entity.
template <typename Emit>
void emit_escaped(std::string_view text, Emit emit) {
    if (!holds_entity(text)) {
        emit(text);
        return;
    }
    for (std::size_t from = 0;;) {
        const std::size_t at = find_entity(text, from);
        emit(text.substr(from, at - from));
        if (at == text.size()) return;
        emit(text[at] == '<' ? std::string_view("&lt;") : std::string_view("&gt;"));
        from = at + 1;
    }
}

}  // namespace

// The text comes by value, as the interface has always taken it.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
std::string escape(std::string text) {  // cppcheck-suppress passedByValue
    std::string escaped;
    escaped.reserve(text.size());
    emit_escaped(text, [&](std::string_view piece) { escaped.append(piece); });
    return escaped;
}

std::ostream& write_report(std::ostream& out, const zor_token_list& tokens) {
    // "<TH>Label<TR>" for each slot: the fixed end of a row in one piece.
    std::array<padded_piece, label_slots> row_ends;
    for (std::size_t slot = 0; slot < label_slots; ++slot)
        row_ends[slot] =
            padded_piece("<TH>" + std::string(labels_of(static_cast<std::int32_t>(slot)).html) + "<TR>");

    block_writer writer(out);
    writer.append("<HTML><TITLE> quarnel - by morvellan </TITLE><BODY><PRE>");
    writer.append(" <center>quarnel results: <br>");
    writer.append("<TABLE border=1>");
    writer.append("<TH>Token #<TH> Token <TH> Type <TR>");
    numbering number("<TH>", "<TH>");
    for (const zor_token* token : tokens) {
        const padded_piece& row_end = row_ends[label_slot(token->type)];
        // An escaped text is at most four times as long as the text.
        const std::size_t bound = number.framed().size() + 4 * token->text.size() + row_end.text().size();
        writer.write_entry(bound, [&](auto emit) {
            emit(number.framed());
            number.step();
            emit_escaped(token->text, emit);
            emit(row_end);
        });
    }
    writer.append("</TABLE></center>");
    writer.append("</PRE></BODY></HTML>");
    writer.flush();
    return out;
}
