#include "driver/page_file.h"

#include <chrono>
#include <filesystem>

namespace {

std::string folder_of(const std::string& path) {
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    return folder.empty() ? "." : folder.string();
}

}  // namespace

std::streamsize zor_page_file::file_buffer::xsputn(const char* data, std::streamsize size) {
    return platform::write_file(file, data, static_cast<std::size_t>(size)) ? size : 0;
}

zor_page_file::zor_page_file(const std::string& source)
    : source_path(source),
      folder(folder_of(source + ".html")),
      name(std::filesystem::path(source + ".html").filename().string()),
      source_read(platform::identify(source)),
      // Just before this moment, so that a source changed after it was read,
      // even within the same tick of the file system's clock, is newer than
      // its page.
      read_at(platform::file_system_now() - std::chrono::nanoseconds(1)) {}

// How the page is written, by what stands at its name: decided before
// anything is made.
zor_page_file::way zor_page_file::chosen_way() const {
    using platform::entry;
    switch (previous.kind) {
        case entry::none:
        case entry::other:  // a link, FIFO, socket or device: replaced, never written through
            return folder.unchangeable() ? way::none : way::replacing;
        case entry::regular:
            if (previous.unchangeable) return way::none;
            // Where a new file could not take the page's place, and would be left behind.
            if (folder.unchangeable() || folder.refuses_replacing(previous)) return way::in_place;
            return way::replacing;
        case entry::directory:
        case entry::unknown:  // not knowing what stands there is not "nothing there"
            break;
    }
    return way::none;
}

bool zor_page_file::open() {
    if (!folder.is_open()) return false;
    previous = folder.look(name.c_str());
    way chosen = chosen_way();
    const bool replaces_a_page = previous.kind == platform::entry::regular;
    if (chosen == way::replacing) {
        replacement.emplace(folder, replaces_a_page ? static_cast<int>(previous.permissions) : -1);
        if (replacement->is_open()) {
            if (replaces_a_page) platform::give_access(replacement->descriptor(), previous);
            buffer.file = replacement->descriptor();
            return true;
        }
        // The folder takes no new file (its mode, a full file system): the
        // page itself may still take the new text.
        if (replacement->folder_takes_none() && replaces_a_page) chosen = way::in_place;
        replacement.reset();
    }
    if (chosen == way::in_place) {
        in_place.emplace(folder, name.c_str());
        buffer.file = in_place->descriptor();
    }
    return buffer.file >= 0;
}

platform::file_time zor_page_file::page_date() const {
    const platform::file_identity now = platform::identify(source_path);
    if (now.same_file(source_read) || (!now.found && !source_read.found)) return read_at;
    // Another file at the source's path (saved by a rename), or none: the
    // page is older than whatever stands there, so that make rebuilds it.
    return now.found ? now.modified - std::chrono::nanoseconds(1) : platform::file_time{};
}

void zor_page_file::commit() {
    out.flush();
    buffer.file = -1;
    const bool written = out.good();
    const platform::file_time date = page_date();
    if (in_place) {
        if (written) in_place->finish(date);
        in_place.reset();  // unfinished, it is dated at the epoch
        return;
    }
    const int file = replacement->descriptor();
    // A new file that keeps the time of its writing could look newer than
    // a source changed during the run: undated, it is not put in place.
    if (!written || !platform::set_modified_time(file, date)) return replacement.reset();
    // Dated first: a page given to its previous owner may be dated only by them.
    if (previous.kind == platform::entry::regular) platform::give_owner(file, previous);
    if (replacement->finish_writing() && !replacement->take_place_of(name.c_str())) {
        // The rename was refused after all: the complete page is copied in.
        platform::file_in_place page(folder, name.c_str());
        if (page.is_open() && replacement->copy_into(page.descriptor())) page.finish(date);
    }
    replacement.reset();
}
