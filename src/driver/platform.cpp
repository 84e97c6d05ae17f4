#include "driver/platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace platform {
namespace {

#ifdef _WIN32

long write_some(int file, const char* data, std::size_t size) {
    return _write(file, data, static_cast<unsigned>(std::min<std::size_t>(size, 1u << 30)));
}
int unlink_path(const char* path) { return _unlink(path); }
bool is_ignored(int signal_number) {
    const auto previous = std::signal(signal_number, SIG_IGN);
    std::signal(signal_number, previous);
    return previous == SIG_IGN;
}

#else

long write_some(int file, const char* data, std::size_t size) {
    ssize_t written;
    do written = write(file, data, size);
    while (written < 0 && errno == EINTR);
    return written;
}
int unlink_path(const char* path) { return unlink(path); }
bool is_ignored(int signal_number) {
    struct sigaction current {};
    return sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

#endif

// What a signal handler removes; atomic so that a handler never sees half an update.
std::atomic<const char*> doomed_path{nullptr};
std::atomic<int> doomed_file{-1};
static_assert(std::atomic<const char*>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "signal handlers may only touch lock-free atomics");

constexpr int ending_signals[] = {
    SIGINT,
    SIGTERM,
#ifdef SIGHUP
    SIGHUP,
#endif
};

void remove_doomed_file() {
    const char* path = doomed_path.exchange(nullptr);
    const int file = doomed_file.exchange(-1);
    if (path == nullptr) return;
    if (file >= 0) close_file(file);
    unlink_path(path);
}

extern "C" void end_by_signal(int signal_number) {
    remove_doomed_file();
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);  // delivered as the handler returns
}

}  // namespace

#ifdef _WIN32

// The C runtime's descriptors, in text mode like a file stream. Windows has
// only a read-only flag for permissions, and no FIFOs or devices at file
// names.
int create_new_file(const char* path, int /*permissions*/) {
    return _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_TEXT | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}
int open_regular_file(const char* path) { return _open(path, _O_WRONLY | _O_TRUNC | _O_TEXT | _O_NOINHERIT); }
bool close_file(int file) { return _close(file) == 0; }
void prefer_large_pages(void* /*start*/, std::size_t /*size*/) {}

#else

int create_new_file(const char* path, int permissions) {
    const int file = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, permissions < 0 ? 0666 : 0600);
    // Set after the fact: the umask must not narrow the permissions of a page being replaced.
    if (file >= 0 && permissions >= 0 && fchmod(file, static_cast<mode_t>(permissions)) != 0) {
        const int error = errno;
        close(file);
        unlink(path);
        errno = error;
        return -1;
    }
    return file;
}
int open_regular_file(const char* path) {
    const int file = open(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (file < 0) return -1;
    struct stat status {};
    if (fstat(file, &status) == 0 && S_ISREG(status.st_mode) && ftruncate(file, 0) == 0) return file;
    close(file);
    errno = EINVAL;
    return -1;
}
bool close_file(int file) { return close(file) == 0; }
void prefer_large_pages([[maybe_unused]] void* start, [[maybe_unused]] std::size_t size) {
#ifdef MADV_HUGEPAGE
    constexpr std::size_t large_page = std::size_t{1} << 21;
    const std::size_t to_boundary =
        (large_page - reinterpret_cast<std::uintptr_t>(start) % large_page) % large_page;
    // Only whole large pages can be backed so: a range holding none spares the call.
    if (size < to_boundary + large_page) return;
    madvise(static_cast<char*>(start) + to_boundary, (size - to_boundary) / large_page * large_page,
            MADV_HUGEPAGE);
#endif
}

#endif

bool write_file(int file, const char* data, std::size_t size) {
    while (size > 0) {
        const long written = write_some(file, data, size);
        if (written <= 0) return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

void remove_on_abnormal_end(const char* path, int file) {
    [[maybe_unused]] static const bool handlers_installed = [] {
        for (const int signal_number : ending_signals)
            if (!is_ignored(signal_number)) std::signal(signal_number, end_by_signal);
        return true;
    }();
    doomed_file = file;
    doomed_path = path;
}

void end_quietly() {
    remove_doomed_file();
    std::_Exit(0);
}

}  // namespace platform
