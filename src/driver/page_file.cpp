#include "driver/page_file.h"

#include <chrono>
#include <filesystem>

namespace {

std::string folder_of(const std::string& path) {
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    return folder.empty() ? "." : folder.string();
}

using std::chrono::nanoseconds;

}  // namespace

zor_page_file::zor_page_file(const std::string& source)
    : source_path(source),
      folder(folder_of(source + ".html")),
      name(std::filesystem::path(source + ".html").filename().string()),
      source_read(platform::identify(source)),
      // Just before this moment, so that a source changed after it was read,
      // even within the same tick of the file system's clock, is newer than
      // its page.
      read_at(platform::file_system_now() - nanoseconds(1)) {}

// How the page is written, by what stands at its name: decided before
// anything is made. Not knowing is never taken as a yes.
zor_page_file::way zor_page_file::chosen_way() const {
    using platform::entry;
    if (previous.kind == entry::directory || previous.kind == entry::unknown) return way::none;
    // A link, FIFO, socket or device is replaced, never written through.
    const std::optional<bool> refused = folder.refuses_replacing(previous);
    if (refused == false) return way::replacing;
    return refused == true && previous.kind == entry::regular ? way::in_place : way::none;
}

bool zor_page_file::open() {
    if (!folder.is_open()) return false;
    previous = folder.look(name.c_str());
    chosen = chosen_way();
    const bool replaces_a_page = previous.kind == platform::entry::regular;
    if (chosen == way::replacing) {
        // The owner's bits until the page is complete: the rest only once its owner and group are known.
        file.emplace(folder, replaces_a_page ? static_cast<int>(previous.permissions & 0700) : -1);
        if (!file->is_open() && file->refused() && replaces_a_page) chosen = way::in_place;
    }
    if (chosen == way::in_place) file.emplace(folder, name.c_str());
    if (!file || !file->is_open()) return false;
    out.rdbuf(&*file);
    return true;
}

platform::file_time zor_page_file::page_date() const {
    const platform::file_identity now = platform::identify(source_path);
    // Another file at the source's path (saved by a rename), or none: the
    // page is older than whatever stands there, so that make rebuilds it.
    if (now.found && !now.same_file(source_read)) return now.modified - nanoseconds(1);
    if (!now.found && source_read.found) return platform::file_time{};
    // A source dated to the whole second lies on a file system that keeps
    // whole seconds, or FAT's even ones: a change after the read may be dated
    // as early as the start of the even second it was read in.
    using even_seconds = std::chrono::duration<long long, std::ratio<2>>;
    if (source_read.found &&
        source_read.modified == std::chrono::floor<std::chrono::seconds>(source_read.modified))
        return std::chrono::floor<even_seconds>(read_at) - nanoseconds(1);
    return read_at;
}

void zor_page_file::commit() {
    out.flush();
    // A page that keeps the time of its writing could look newer than a
    // source changed during the run: undated, it is not kept.
    if (out.good() && file->written() && file->date(page_date())) {
        // Dated first: a page given to its previous owner may be dated only by them.
        if (chosen == way::replacing && previous.kind == platform::entry::regular)
            file->take_access_of(previous);
        file->keep(name.c_str());
    }
    out.rdbuf(nullptr);
    file.reset();  // removes a new file not put in place, and dates an unfinished page in place at the epoch
}
