#include "driver/page_file.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>
#include <utility>

#include "driver/platform.h"

namespace fs = std::filesystem;

std::streamsize zor_page_file::file_buffer::xsputn(const char* data, std::streamsize size) {
    return platform::write_file(file, data, static_cast<std::size_t>(size)) ? size : 0;
}

zor_page_file::zor_page_file(std::string page_path) : page(std::move(page_path)) {
    std::error_code error;
    const fs::file_status existing = fs::symlink_status(page, error);
    if (fs::is_directory(existing)) return;
    const bool regular = fs::is_regular_file(existing);
    if (!create_temporary(regular ? static_cast<int>(existing.permissions() & fs::perms::mask) : -1)) {
        const bool denied = errno == EACCES || errno == EPERM;
        if (denied && regular) buffer.file = platform::open_regular_file(page.c_str());
    }
}

// A fresh name in the page's directory, so that the rename stays on one
// file system. Names need only differ between runs, not be secret: one that
// is taken is never opened, only skipped.
bool zor_page_file::create_temporary(int permissions) {
    std::mt19937_64 random(
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        reinterpret_cast<std::uintptr_t>(this));
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, ".quarnel-%016llx.tmp", static_cast<unsigned long long>(random()));
        temporary = fs::path(page).replace_filename(name).string();
        platform::remove_on_abnormal_end(temporary.c_str(), -1);
        buffer.file = platform::create_new_file(temporary.c_str(), permissions);
        const int error = errno;
        if (is_open()) {
            platform::remove_on_abnormal_end(temporary.c_str(), buffer.file);
            return true;
        }
        forget_temporary();
        errno = error;
        if (error != EEXIST) return false;
    }
    return false;
}

void zor_page_file::forget_temporary() {
    platform::remove_on_abnormal_end(nullptr, -1);
    temporary.clear();
}

void zor_page_file::discard_temporary() {
    if (temporary.empty()) return;
    std::remove(temporary.c_str());
    forget_temporary();
}

void zor_page_file::commit() {
    if (!is_open()) return;
    out.flush();
    const bool written = out.good();
    const bool closed = platform::close_file(buffer.file);
    buffer.file = -1;
    if (temporary.empty()) return;  // written in place
    std::error_code error;
    if (written && closed) fs::rename(temporary, page, error);
    if (!written || !closed || error) return discard_temporary();
    forget_temporary();
}

zor_page_file::~zor_page_file() {
    if (is_open()) platform::close_file(buffer.file);
    discard_temporary();
}
