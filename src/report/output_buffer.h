#pragma once
// Collects a report's output in one block and hands it to the stream a block
// at a time: a report is a few short pieces per token, and a stream write
// per piece would cost more than the report's own work (without the block,
// a run takes 6.4x the instructions). One append takes all the pieces of a
// line, so that the room for them is checked once (without: 16% more).
// Instructions of a run on the bench's corpus, by callgrind (bench/README.md).
//
// Once the stream has failed, everything appended is dropped.

#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <ostream>
#include <string_view>

class output_buffer {
public:
    explicit output_buffer(std::ostream& stream) : out(stream) {}
    ~output_buffer() { flush(); }

    /// Appends the pieces in order: each text as it is, each number
    /// (std::size_t) in decimal.
    template <typename... Pieces>
    void append(const Pieces&... pieces) {
        const std::size_t most = (most_bytes(pieces) + ...);
        if (most > block_size - used) {
            flush();
            if (most > block_size) return (append_alone(pieces), ...);
        }
        char* end = block.get() + used;
        ((end = put(end, pieces)), ...);
        used = static_cast<std::size_t>(end - block.get());
    }

    /// False once the stream has failed.
    bool good() const { return static_cast<bool>(out); }

    void flush() {
        if (used > 0 && out) out.write(block.get(), static_cast<std::streamsize>(used));
        used = 0;
    }

private:
    static constexpr std::size_t block_size = std::size_t{1} << 18;
    static constexpr std::size_t max_digits = std::numeric_limits<std::size_t>::digits10 + 1;
    static constexpr std::size_t digit_room = max_digits + 1;  // for the step past the largest number

    static std::size_t most_bytes(std::string_view text) { return text.size(); }
    static std::size_t most_bytes(std::size_t) { return max_digits; }

    // Most pieces are a few bytes long: two overlapping copies of fixed size
    // compile to plain loads and stores, where memcpy would cost a call and
    // a branch on the size inside it. Without them a run takes 11% more instructions.
    static char* put(char* end, std::string_view text) {
        const char* from = text.data();
        const std::size_t size = text.size();
        if (size >= 16) {
            std::memcpy(end, from, size);
        } else if (size >= 8) {
            std::memcpy(end, from, 8);
            std::memcpy(end + size - 8, from + size - 8, 8);
        } else if (size >= 4) {
            std::memcpy(end, from, 4);
            std::memcpy(end + size - 4, from + size - 4, 4);
        } else if (size > 0) {  // one to three bytes: the first, the middle and the last
            end[0] = from[0];
            end[size / 2] = from[size / 2];
            end[size - 1] = from[size - 1];
        }
        return end + size;
    }

    // Reports number their entries 0, 1, 2, ...: the digits of the next
    // number are made by stepping those of the last, a few instructions
    // where formatting afresh costs dozens. They are stepped right after
    // being copied, so that the next copy does not wait on those stores.
    // Formatting each number with std::to_chars instead: 25% more instructions.
    char* put(char* end, std::size_t number) {
        if (number != next_number || number == 0) {
            first_digit = digit_room;
            for (std::size_t rest = number; rest != 0 || first_digit == digit_room; rest /= 10)
                digits[--first_digit] = static_cast<char>('0' + rest % 10);
        }
        end = put(end, std::string_view(digits.get() + first_digit, digit_room - first_digit));
        std::size_t last = digit_room - 1;
        while (last >= first_digit && digits[last] == '9') digits[last--] = '0';
        if (last < first_digit) digits[first_digit = last] = '0';  // all nines: one digit more
        ++digits[last];
        next_number = number + 1;
        return end;
    }

    // A piece that does not fit in a block: a text larger than a block goes
    // to the stream as it is.
    void append_alone(std::string_view text) {
        if (text.size() <= block_size) return append(text);
        flush();
        if (out) out.write(text.data(), static_cast<std::streamsize>(text.size()));
    }
    void append_alone(std::size_t number) { append(number); }

    std::ostream& out;
    std::unique_ptr<char[]> block{new char[block_size]};
    std::size_t used = 0;
    // Apart from the object, whose counts the compiler can then keep in
    // registers while a line is copied (as a member array: 6% more instructions).
    std::unique_ptr<char[]> digits{new char[digit_room]};
    std::size_t first_digit = digit_room;
    std::size_t next_number = 0;
};
