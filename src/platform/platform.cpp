#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "platform/os.h"

namespace platform {

namespace {

// What an ending signal cleans up: a named new file, which it removes, and a
// page written in place, which it dates at the epoch. Atomic, so that a
// handler never sees half an update.
std::atomic<const folder*> marked_folder{nullptr};
std::atomic<const char*> marked_name{nullptr};
std::atomic<int> marked_file{-1};
std::atomic<int> marked_in_place{-1};
static_assert(std::atomic<const char*>::is_always_lock_free && std::atomic<int>::is_always_lock_free &&
                  std::atomic<const folder*>::is_always_lock_free,
              "signal handlers may only touch lock-free atomics");

void clean_up_marked() {
    if (const char* name = marked_name.exchange(nullptr))
        os::remove(*marked_folder, name, marked_file.exchange(-1));
    if (const int file = marked_in_place.exchange(-1); file >= 0) os::set_times(file, file_time{});
}

void mark(const folder& in, const char* name, int file) {
    marked_folder = &in;
    marked_file = file;
    marked_name = name;
}

void unmark() {
    marked_name = nullptr;
    marked_file = -1;
}

// Names need only differ between runs, not be secret: one that is taken is
// never opened, only skipped.
void fresh_name(char (&name)[32]) {
    static std::mt19937_64 random(
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        os::process_id());
    std::snprintf(name, sizeof name, ".quarnel-%016llx.tmp", static_cast<unsigned long long>(random()));
}

// Gives a file a fresh name with make(name), trying another while the name is
// taken; leaves name empty if none could be made.
template <typename Make>
bool under_fresh_name(char (&name)[32], Make make) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        fresh_name(name);
        if (make(name)) return true;
        if (errno != EEXIST) break;
    }
    name[0] = '\0';
    return false;
}

bool write_whole(int file, const char* data, std::size_t size) {
    while (size > 0) {
        const long long written = os::write_some(file, data, size);
        if (written > 0) {
            data += written;
            size -= static_cast<std::size_t>(written);
        } else if (written < 0 && errno == EAGAIN) {
            os::wait_until_writable(file);
        } else if (written == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" void end_by_signal(int signal_number) {
    if (os::defers(signal_number)) return;
    clean_up_marked();
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);  // delivered as the handler returns, with a core dump where it makes one
}

void prepare_signals() { os::catch_ending_signals(); }

void end_quietly() {
    clean_up_marked();
    std::_Exit(0);
}

std::streamsize file_output::xsputn(const char* data, std::streamsize size) {
    return write_whole(file, data, static_cast<std::size_t>(size)) ? size : 0;
}

standard_output::standard_output() { file = 1; }

page_output::page_output(const folder& in, int permissions) : place(in), in_place(false) {
    const auto mode = static_cast<unsigned>(permissions < 0 ? 0666 : permissions & 0777);
    file = os::make_unnamed(place, mode);
    if (file >= 0) return;
    failure = errno;
    // EISDIR and EINVAL: a system that knows no unnamed files takes the request for a folder.
    if (failure != EOPNOTSUPP && failure != EISDIR && failure != EINVAL) return;
    signals_held hold;
    under_fresh_name(name, [&](const char* fresh) {
        file = os::make_named(place, fresh, mode);
        failure = errno;
        return file >= 0;
    });
    if (file >= 0) mark(place, name, file);
}

page_output::page_output(const folder& in, const char* name) : place(in), in_place(true) {
    const int opened = os::open_in_place(place, name);
    if (opened < 0) return;
    if (os::hold_exclusively(opened)) {  // waits for another run writing it in place
        signals_held hold;
        if (os::empty(opened)) {
            file = opened;
            marked_in_place = file;
            return;
        }
    }
    os::close(opened);
}

bool page_output::refused() const { return failure == EACCES || failure == EPERM; }

bool page_output::written() const { return os::written_through(file); }

bool page_output::date(file_time when) {
    const std::optional<file_time> dated = os::set_times(file, when) ? os::modified(file) : std::nullopt;
    return dated && *dated <= when;  // a file system of whole seconds may date it earlier
}

void page_output::take_access_of(const entry& like) { os::take_access_of(file, like); }

bool page_output::keep(const char* target) {
    if (in_place) return kept = true;
    signals_held hold;
    const bool named = name[0] != '\0' || under_fresh_name(name, [&](const char* fresh) {
                           if (!os::name_unnamed(place, file, fresh)) return false;
                           mark(place, name, file);
                           return true;
                       });
    if (!named) return false;
    os::close(file);  // Windows renames no open file
    file = marked_file = -1;
    if (!os::rename(place, name, target)) return false;
    unmark();
    name[0] = '\0';
    return true;
}

void page_output::remove() {
    signals_held hold;
    os::remove(place, name, file);
    unmark();
    name[0] = '\0';
    file = -1;
}

page_output::~page_output() {
    if (name[0] != '\0') remove();
    if (file < 0) return;
    signals_held hold;
    if (in_place && !kept) os::set_times(file, file_time{});
    if (in_place) marked_in_place = -1;
    os::close(file);
}

}  // namespace platform
