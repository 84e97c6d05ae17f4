#pragma once
// Collects report output in large blocks, so that the stream sees one big
// write per quarter megabyte instead of several small ones per token, and
// numbers the entries with a counter that steps its digits in place.

#include <cstddef>
#include <cstring>
#include <memory>
#include <ostream>
#include <string_view>

/// A short fixed text kept in a buffer wider than itself, so that it is
/// copied with one copy of fixed size: no branch on its length.
class padded_piece {
public:
    static constexpr std::size_t width = 48;

    padded_piece() = default;
    /// text: at most width bytes.
    explicit padded_piece(std::string_view text) : size(text.copy(bytes, width)) {}

    std::string_view text() const { return std::string_view(bytes, size); }

    /// Copies the whole buffer to cursor and returns the cursor after the text.
    char* put(char* cursor) const {
        std::memcpy(cursor, bytes, width);
        return cursor + size;
    }

private:
    char bytes[width] = {};
    std::size_t size = 0;
};

class block_writer {
public:
    explicit block_writer(std::ostream& stream) : out(stream), block(new char[block_size]) {}
    ~block_writer() { flush(); }
    block_writer(const block_writer&) = delete;
    block_writer& operator=(const block_writer&) = delete;

    /// Where to write up to size more bytes, flushing the block if it must;
    /// null when they would not fit even in an empty block. The caller
    /// writes through a local cursor (see put) and hands it back to commit:
    /// stores through a char pointer would otherwise make the compiler
    /// reload the writer's members after every byte.
    char* claim(std::size_t size) {
        if (size > block_size - used) flush();
        return size <= block_size - used ? block.get() + used : nullptr;
    }

    /// Takes the bytes written since claim, up to end, into the block.
    void commit(const char* end) { used = static_cast<std::size_t>(end - block.get()); }

    /// Copies text to cursor and returns the cursor after it.
    static char* put(char* cursor, std::string_view text) {
        copy_bytes(cursor, text.data(), text.size());
        return cursor + text.size();
    }

    /// Appends text of any size; a huge token goes out as it is.
    void append(std::string_view text) {
        if (char* cursor = claim(text.size()))
            commit(put(cursor, text));
        else
            write(text.data(), text.size());
    }

    /// Writes one entry: write_pieces(emit) calls emit(piece) for each of
    /// its pieces, texts or padded pieces, which take at most bound bytes
    /// together. An entry that fits goes through a local cursor; a larger
    /// one piece by piece.
    template <typename WritePieces>
    void write_entry(std::size_t bound, WritePieces write_pieces) {
        // A padded piece may write its whole width, past the bound.
        if (char* cursor = claim(bound + padded_piece::width)) {
            struct {
                char*& cursor;
                void operator()(std::string_view piece) { cursor = put(cursor, piece); }
                void operator()(const padded_piece& piece) { cursor = piece.put(cursor); }
            } emit{cursor};
            write_pieces(emit);
            commit(cursor);
        } else {
            struct {
                block_writer& writer;
                void operator()(std::string_view piece) { writer.append(piece); }
                void operator()(const padded_piece& piece) { writer.append(piece.text()); }
            } emit{*this};
            write_pieces(emit);
        }
    }

    /// False once the stream has failed: nobody takes what follows.
    bool good() const { return static_cast<bool>(out); }

    void flush() {
        write(block.get(), used);
        used = 0;
    }

private:
    // Most pieces are a few bytes long; fixed-size copies compile to plain
    // loads and stores, where a call to memcpy would cost more than the copy.
    static void copy_bytes(char* to, const char* from, std::size_t size) {
        if (size >= 16) {
            std::memcpy(to, from, size);
        } else if (size >= 8) {
            std::memcpy(to, from, 8);
            std::memcpy(to + size - 8, from + size - 8, 8);
        } else if (size >= 4) {
            std::memcpy(to, from, 4);
            std::memcpy(to + size - 4, from + size - 4, 4);
        } else if (size > 0) {
            to[0] = from[0];
            to[size / 2] = from[size / 2];
            to[size - 1] = from[size - 1];
        }
    }

    void write(const char* data, std::size_t size) {
        if (size > 0 && out) out.write(data, static_cast<std::streamsize>(size));
    }

    static constexpr std::size_t block_size = std::size_t{1} << 18;
    std::ostream& out;
    std::unique_ptr<char[]> block;
    std::size_t used = 0;
};

// The token numbers 0, 1, 2, ... in decimal, each framed by a fixed prefix
// and suffix. Reports number their entries in order, so stepping the digits
// in place costs a couple of instructions where formatting each number afresh
// costs dozens, and the frame comes along in the same piece.
class numbering {
public:
    static constexpr std::size_t max_frame = 8;

    /// prefix and suffix: at most max_frame characters each.
    numbering(std::string_view prefix, std::string_view suffix) : prefix_size(prefix.size()) {
        *first_digit = '0';
        std::memcpy(digits_end, suffix.data(), suffix.size());
        stop = digits_end + suffix.size();
        std::memcpy(first_digit - prefix_size, prefix.data(), prefix_size);
    }
    numbering(const numbering&) = delete;
    numbering& operator=(const numbering&) = delete;

    /// prefix + the current number + suffix.
    std::string_view framed() const {
        const char* start = first_digit - prefix_size;
        return std::string_view(start, static_cast<std::size_t>(stop - start));
    }

    /// Moves to the next number. Call it as soon as the frame is copied:
    /// the next copy reads the digits back eight bytes at a time, and a load
    /// that overlaps a byte store still in flight waits for that store.
    void step() {
        for (char* digit = digits_end; digit != first_digit;) {
            --digit;
            if (*digit != '9') {
                ++*digit;
                return;
            }
            *digit = '0';
        }
        // All nines: one digit more, and the prefix moves left to make room.
        std::memmove(first_digit - prefix_size - 1, first_digit - prefix_size, prefix_size);
        *--first_digit = '1';
    }

private:
    static constexpr std::size_t max_digits = 20;  // any 64-bit count

    char buffer[max_frame + max_digits + max_frame] = {};
    char* const digits_end = buffer + max_frame + max_digits;
    char* first_digit = digits_end - 1;
    char* stop = digits_end;
    const std::size_t prefix_size;
};
