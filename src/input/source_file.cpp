#include "input/source_file.h"

#include <filesystem>

#include "platform/platform.h"

namespace {

// Room for size characters, offered large pages before anything is written
// to it: the hint must come before the first write to count.
void reserve_in_large_pages(std::string& text, std::size_t size) {
    text.reserve(size);
    platform::prefer_large_pages(text.data(), text.capacity());
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
    if (!std::filesystem::is_regular_file(path, error)) return;

    open(path, std::ios::in);
    if (!is_open() || !good()) return;

    seekg(0, std::ios::end);
    const std::streamoff size = tellg();
    seekg(0, std::ios::beg);
    if (size < 0 || !good()) {
        close();
        return;
    }

    reserve_in_large_pages(text, static_cast<std::size_t>(size));
    text.resize(static_cast<std::size_t>(size));
    read(&text[0], size);
    // Text mode may deliver fewer characters than the size on disk.
    text.resize(static_cast<std::size_t>(gcount()));
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
