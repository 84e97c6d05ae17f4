#include "input/source_file.h"

#include <filesystem>

#include "platform/platform.h"

namespace {

// Room for size characters, offered large pages before anything is written
// to it: the hint must come before the first write to count. Without it a
// run takes 24% more CPU time (bench/README.md, 2026-12-08).
void reserve_in_large_pages(std::string& text, std::size_t size) {
    text.reserve(size);
    platform::prefer_large_pages(text.data(), text.capacity());
}

// A path that names nothing, or nothing this process may read, gives an
// empty text; any other failure to look at it is a failure to read it.
bool names_no_readable_file(const std::error_code& error) {
    return error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory ||
           error == std::errc::permission_denied || error == std::errc::too_many_symbolic_link_levels ||
           error == std::errc::filename_too_long;
}

std::ios_base::failure not_read_through() {
    return std::ios_base::failure("the source could not be read through");
}

}  // namespace

// NOLINTNEXTLINE(performance-unnecessary-value-param): the loader's interface takes a copy
zor_source_file::zor_source_file(std::string path) {  // cppcheck-suppress passedByValue
    load(path);
}

void zor_source_file::load(const std::string& path) {
    // Only a regular file has a size to take; a FIFO would also block the
    // open until some writer appears.
    std::error_code error;
    if (std::filesystem::status(path, error).type() != std::filesystem::file_type::regular) {
        if (error && !names_no_readable_file(error)) throw not_read_through();
        return;
    }

    open(path, std::ios::in);
    if (!is_open() || !good()) return;

    seekg(0, std::ios::end);
    const std::streamoff size = tellg();
    seekg(0, std::ios::beg);
    if (size < 0 || !good()) throw not_read_through();

    reserve_in_large_pages(text, static_cast<std::size_t>(size));
    text.resize(static_cast<std::size_t>(size));
    read(&text[0], size);
    // Text mode may deliver fewer characters than the size on disk; where it
    // delivers all, fewer is a read error (or a file cut short meanwhile).
    const auto delivered = static_cast<std::size_t>(gcount());
    if (bad() || (delivered < text.size() && !platform::text_mode_folds_line_ends)) throw not_read_through();
    text.resize(delivered);
    const std::size_t nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);
    close();
}

std::string zor_source_file::get_text() const {
    std::string copy;
    reserve_in_large_pages(copy, text.size());
    copy.assign(text);
    return copy;
}
