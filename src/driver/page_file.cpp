#include "driver/page_file.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>

namespace {

std::string folder_of(const std::string& path) {
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    return folder.empty() ? "." : folder.string();
}

}  // namespace

std::streamsize zor_page_file::file_buffer::xsputn(const char* data, std::streamsize size) {
    return platform::write_file(file, data, static_cast<std::size_t>(size)) ? size : 0;
}

zor_page_file::zor_page_file(const std::string& page_path,
                             std::chrono::system_clock::time_point source_read_at)
    : folder(folder_of(page_path)),
      name(std::filesystem::path(page_path).filename().string()),
      modified_at(source_read_at) {
    if (!folder.is_open()) return;
    previous = folder.status(name.c_str());
    if (previous.kind == platform::entry::directory) return;
    const bool replaces_a_page = previous.kind == platform::entry::regular;
    // Decided before a whole page is written to a file that could not take
    // the page's place.
    if (!(replaces_a_page && folder.refuses_replacing(previous)))
        create_temporary(replaces_a_page ? static_cast<int>(previous.permissions) : -1);
    if (!is_open() && replaces_a_page) buffer.file = folder.open_in_place(name.c_str());
}

// A fresh name in the page's folder, so that the rename stays on one file
// system. Names need only differ between runs, not be secret: one that is
// taken is never opened, only skipped.
void zor_page_file::create_temporary(int permissions) {
    std::mt19937_64 random(
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        reinterpret_cast<std::uintptr_t>(this));
    for (int attempt = 0; attempt < 100; ++attempt) {
        char random_name[32];
        std::snprintf(random_name, sizeof random_name, ".quarnel-%016llx.tmp",
                      static_cast<unsigned long long>(random()));
        temporary = random_name;
        buffer.file = folder.create_temporary(temporary.c_str(), permissions);
        if (is_open()) return;
        if (errno != EEXIST) break;
    }
    temporary.clear();
}

void zor_page_file::commit() {
    if (!is_open()) return;
    out.flush();
    // Only the owner may date a file: in another user's page, written in
    // place, the time of writing stays.
    const bool written =
        out.good() && (platform::set_modified_time(buffer.file, modified_at) || temporary.empty());
    // Dated first: a page given to its previous owner may be dated only by them.
    if (!temporary.empty() && previous.kind == platform::entry::regular)
        platform::give_owner(buffer.file, previous);
    const bool closed = platform::close_file(buffer.file);
    buffer.file = -1;
    if (temporary.empty()) return;  // written in place
    if (!written || !closed) return discard_temporary();
    if (folder.replace(temporary.c_str(), name.c_str())) return temporary.clear();
    write_in_place_from_temporary();  // the rename was refused after all
    discard_temporary();
}

void zor_page_file::write_in_place_from_temporary() {
    const int page = folder.open_in_place(name.c_str());
    if (page < 0) return;
    if (folder.copy(temporary.c_str(), page)) platform::set_modified_time(page, modified_at);
    platform::close_file(page);
}

void zor_page_file::discard_temporary() {
    if (temporary.empty()) return;
    folder.remove(temporary.c_str());
    temporary.clear();
}

zor_page_file::~zor_page_file() {
    if (is_open()) platform::close_file(buffer.file);
    discard_temporary();
}
