#include "input/source_file.h"

#include <exception>
#include <filesystem>

#include "driver/platform.h"

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

    try {
        text.reserve(static_cast<std::size_t>(size));
        platform::prefer_large_pages(text.data(), text.capacity());
        text.resize(static_cast<std::size_t>(size));
    } catch (const std::exception&) {  // too large to hold in memory
        close();
        return;
    }
    read(&text[0], size);
    // Text mode may deliver fewer characters than the size on disk.
    text.resize(static_cast<std::size_t>(gcount()));
    const std::size_t nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);
    close();
}

std::string zor_source_file::get_text() const {
    // Room first, so that the hint comes before the copy is written.
    std::string copy;
    copy.reserve(text.size());
    platform::prefer_large_pages(copy.data(), copy.capacity());
    copy.assign(text);
    return copy;
}
