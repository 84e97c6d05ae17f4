#pragma once
// Collects report output in large blocks, so that the stream sees one big
// write per megabyte instead of several small ones per token, and formats
// numbers without the stream's locale machinery.

#include <charconv>
#include <cstddef>
#include <cstring>
#include <memory>
#include <ostream>
#include <string_view>

class block_writer {
public:
    explicit block_writer(std::ostream& stream) : out(stream), block(new char[block_size]) {}
    ~block_writer() { flush(); }
    block_writer(const block_writer&) = delete;
    block_writer& operator=(const block_writer&) = delete;

    void append(std::string_view text) {
        if (text.size() > block_size - used) {
            flush();
            if (text.size() > block_size) {  // a huge token goes out as it is
                write(text.data(), text.size());
                return;
            }
        }
        copy_bytes(block.get() + used, text.data(), text.size());
        used += text.size();
    }

    void append_number(std::size_t number) {
        constexpr std::size_t max_digits = 20;
        if (max_digits > block_size - used) flush();
        char* const at = block.get() + used;
        used += static_cast<std::size_t>(std::to_chars(at, at + max_digits, number).ptr - at);
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

    static constexpr std::size_t block_size = std::size_t{1} << 20;
    std::ostream& out;
    std::unique_ptr<char[]> block;
    std::size_t used = 0;
};
