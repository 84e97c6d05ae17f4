#include "platform/platform.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <filesystem>
#else
#include <sys/mman.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/capability.h>
#include <sys/syscall.h>
#endif
#endif

namespace platform {
namespace {

using std::chrono::system_clock;

// The signals that end a run by default, each of which must first remove the
// temporary file. Faults get no handler: their state is not to be trusted.
constexpr int ending_signals[] = {
    SIGINT, SIGTERM,
#ifndef _WIN32
    SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF, SIGXCPU,
#endif
};

// The temporary file that an ending signal removes (on Windows its path, on
// POSIX its name in marked_folder); atomic so that a handler never sees half
// an update.
std::atomic<const char*> marked_name{nullptr};
static_assert(std::atomic<const char*>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "signal handlers may only touch lock-free atomics");

void unmark() { marked_name = nullptr; }

void remove_marked_file();

#ifdef _WIN32

// Windows delivers a console's Ctrl-C on a thread of its own, and has no
// signal mask: a signal that arrives while they are held is kept here and
// acted on as they are released.
std::atomic<bool> holding{false};
std::atomic<int> held_signal{0};
std::string marked_path;
std::atomic<int> marked_file{-1};

extern "C" void end_by_signal(int signal_number) {
    if (holding) {
        held_signal = signal_number;
        return;
    }
    remove_marked_file();
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

class signals_held {
public:
    signals_held() { holding = true; }
    ~signals_held() {
        holding = false;
        if (const int signal_number = held_signal.exchange(0)) end_by_signal(signal_number);
    }
};

void handle_unless_ignored(int signal_number) {
    const auto previous = std::signal(signal_number, end_by_signal);
    if (previous == SIG_IGN) std::signal(signal_number, SIG_IGN);
}

void remove_marked_file() {
    const char* path = marked_name.exchange(nullptr);
    if (path == nullptr) return;
    if (const int file = marked_file.exchange(-1); file >= 0) _close(file);  // Windows removes no open file
    _unlink(path);
}

long write_some(int file, const char* data, std::size_t size) {
    return _write(file, data, static_cast<unsigned>(std::min<std::size_t>(size, 1u << 30)));
}
long read_some(int file, char* data, std::size_t size) {
    return _read(file, data, static_cast<unsigned>(size));
}

// File times count 100 ns from 1601.
constexpr std::int64_t ticks_before_1970 = 116444736000000000;
using ticks = std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>;

#else

std::atomic<int> marked_folder{-1};

sigset_t ending_set() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : ending_signals) sigaddset(&set, signal_number);
    return set;
}

class signals_held {
public:
    signals_held() {
        const sigset_t ending = ending_set();
        sigprocmask(SIG_BLOCK, &ending, &previous);
    }
    ~signals_held() { sigprocmask(SIG_SETMASK, &previous, nullptr); }

private:
    sigset_t previous{};
};

extern "C" void end_by_signal(int signal_number) {
    remove_marked_file();
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);  // delivered as the handler returns, with a core dump where it makes one
}

void handle_unless_ignored(int signal_number) {
    struct sigaction action {};
    if (sigaction(signal_number, nullptr, &action) != 0 || action.sa_handler == SIG_IGN) return;
    action.sa_handler = end_by_signal;
    action.sa_mask = ending_set();  // one removal at a time
    action.sa_flags = 0;
    sigaction(signal_number, &action, nullptr);
}

void remove_marked_file() {
    const char* name = marked_name.exchange(nullptr);
    if (name != nullptr) unlinkat(marked_folder, name, 0);
}

long write_some(int file, const char* data, std::size_t size) {
    ssize_t written;
    do written = write(file, data, size);
    while (written < 0 && errno == EINTR);
    return written;
}
long read_some(int file, char* data, std::size_t size) {
    ssize_t got;
    do got = read(file, data, size);
    while (got < 0 && errno == EINTR);
    return got;
}

// Whether this process may do what a file's owner may, whoever owns it.
bool acts_as_any_owner() {
#ifdef __linux__
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    return syscall(SYS_capget, &header, data) == 0 && (data[0].effective & (1u << CAP_FOWNER)) != 0;
#else
    return geteuid() == 0;
#endif
}

#endif

bool copy_bytes(int from, int to) {
    char block[1 << 16];
    for (long got; (got = read_some(from, block, sizeof block)) != 0;)
        if (got < 0 || !write_file(to, block, static_cast<std::size_t>(got))) return false;
    return true;
}

void handle_ending_signals_once() {
    [[maybe_unused]] static const bool handled = [] {
        for (const int signal_number : ending_signals) handle_unless_ignored(signal_number);
        return true;
    }();
}

}  // namespace

#ifdef _WIN32

folder::folder(const std::string& folder_path) : path(folder_path) {}
folder::~folder() = default;
bool folder::is_open() const { return true; }
std::string folder::path_of(const char* name) const { return (std::filesystem::path(path) / name).string(); }

entry folder::status(const char* name) const {
    std::error_code error;
    const auto named = std::filesystem::symlink_status(path_of(name), error);
    entry found;
    if (std::filesystem::is_regular_file(named))
        found.kind = entry::regular;
    else if (std::filesystem::is_directory(named))
        found.kind = entry::directory;
    else if (std::filesystem::exists(named))
        found.kind = entry::other;
    return found;
}

bool folder::refuses_replacing(const entry& /*existing*/) const { return false; }

// The C runtime's descriptors, in text mode like a file stream. Windows has
// only a read-only flag for permissions, and no FIFOs or devices at file
// names.
int folder::open_in_place(const char* name) const {
    return _open(path_of(name).c_str(), _O_WRONLY | _O_TRUNC | _O_TEXT | _O_NOINHERIT);
}

int folder::create_temporary(const char* name, int /*permissions*/) const {
    std::string temporary = path_of(name);
    signals_held hold;
    handle_ending_signals_once();
    const int file = _open(temporary.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_TEXT | _O_NOINHERIT,
                           _S_IREAD | _S_IWRITE);
    if (file < 0) return -1;
    marked_path.swap(temporary);
    marked_file = file;
    marked_name = marked_path.c_str();
    return file;
}

bool folder::replace(const char* temporary, const char* name) const {
    signals_held hold;
    std::error_code error;
    std::filesystem::rename(path_of(temporary), path_of(name), error);  // replaces an existing file
    if (!error) unmark();
    return !error;
}

void folder::remove(const char* temporary) const {
    signals_held hold;
    _unlink(path_of(temporary).c_str());
    unmark();
}

bool folder::copy(const char* temporary, int file) const {
    const int from = _open(path_of(temporary).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (from < 0) return false;
    _setmode(file, _O_BINARY);  // the bytes are already as text mode wrote them
    const bool copied = copy_bytes(from, file);
    _close(from);
    return copied;
}

void give_owner(int /*file*/, const entry& /*like*/) {}

bool close_file(int file) { return _close(file) == 0; }

system_clock::time_point file_system_now() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const std::int64_t since_1601 = static_cast<std::int64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
    return system_clock::time_point(
        std::chrono::duration_cast<system_clock::duration>(ticks(since_1601 - ticks_before_1970)));
}

bool set_modified_time(int file, system_clock::time_point when) {
    const auto since_1601 = static_cast<std::uint64_t>(
        std::chrono::duration_cast<ticks>(when.time_since_epoch()).count() + ticks_before_1970);
    const FILETIME modified{static_cast<DWORD>(since_1601), static_cast<DWORD>(since_1601 >> 32)};
    return SetFileTime(reinterpret_cast<HANDLE>(_get_osfhandle(file)), nullptr, nullptr, &modified) != 0;
}

void prefer_large_pages(void* /*start*/, std::size_t /*size*/) {}

#else

folder::folder(const std::string& path) {
#ifdef O_PATH
    // Only a place to reach names from: no right to read the folder is needed.
    handle = open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
#else
    handle = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#endif
}

folder::~folder() {
    if (handle >= 0) close(handle);
}

bool folder::is_open() const { return handle >= 0; }

entry folder::status(const char* name) const {
    struct stat named {};
    entry found;
    if (fstatat(handle, name, &named, AT_SYMLINK_NOFOLLOW) != 0) return found;
    found.kind = S_ISREG(named.st_mode)   ? entry::regular
                 : S_ISDIR(named.st_mode) ? entry::directory
                                          : entry::other;
    found.permissions = named.st_mode & 07777;
    found.owner = named.st_uid;
    found.group = named.st_gid;
    return found;
}

// The rule by which the system refuses to remove or replace a file in a
// sticky folder, such as /tmp.
bool folder::refuses_replacing(const entry& existing) const {
    struct stat own {};
    if (fstat(handle, &own) != 0 || (own.st_mode & S_ISVTX) == 0) return false;
    const auto me = static_cast<long long>(geteuid());
    return existing.owner != me && static_cast<long long>(own.st_uid) != me && !acts_as_any_owner();
}

int folder::open_in_place(const char* name) const {
    const int file = openat(handle, name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    // ftruncate empties a regular file and refuses anything else (a FIFO
    // that has a reader, a device).
    if (file < 0 || ftruncate(file, 0) == 0) return file;
    const int error = errno;
    close(file);
    errno = error;
    return -1;
}

int folder::create_temporary(const char* name, int permissions) const {
    int file;
    {
        signals_held hold;
        handle_ending_signals_once();
        file = openat(handle, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, permissions < 0 ? 0666 : 0600);
        if (file < 0) return -1;
        marked_folder = handle;
        marked_name = name;
    }
    // Set after the fact, so that the umask does not narrow them.
    if (permissions < 0 || fchmod(file, static_cast<mode_t>(permissions & 0777)) == 0) return file;
    const int error = errno;
    close(file);
    remove(name);
    errno = error;
    return -1;
}

void give_owner(int file, const entry& like) {
    // Only a privileged process may give a file to another owner, and only a
    // member of a group may give it that group: what fails is left.
    [[maybe_unused]] const bool given =
        fchown(file, static_cast<uid_t>(like.owner), static_cast<gid_t>(like.group)) == 0 ||
        fchown(file, static_cast<uid_t>(-1), static_cast<gid_t>(like.group)) == 0;
}

bool folder::replace(const char* temporary, const char* name) const {
    signals_held hold;
    const bool replaced = renameat(handle, temporary, handle, name) == 0;
    if (replaced) unmark();
    return replaced;
}

void folder::remove(const char* temporary) const {
    signals_held hold;
    unlinkat(handle, temporary, 0);
    unmark();
}

bool folder::copy(const char* temporary, int file) const {
    const int from = openat(handle, temporary, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (from < 0) return false;
    const bool copied = copy_bytes(from, file);
    close(from);
    return copied;
}

bool close_file(int file) { return close(file) == 0; }

system_clock::time_point file_system_now() {
#ifdef CLOCK_REALTIME_COARSE
    constexpr clockid_t file_clock = CLOCK_REALTIME_COARSE;  // Linux's clock for file times
#else
    constexpr clockid_t file_clock = CLOCK_REALTIME;
#endif
    timespec now{};
    clock_gettime(file_clock, &now);
    return system_clock::time_point(std::chrono::duration_cast<system_clock::duration>(
        std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec)));
}

bool set_modified_time(int file, system_clock::time_point when) {
    const auto since_1970 =
        std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
    const timespec times[2] = {{0, UTIME_OMIT}, {since_1970 / 1000000000, since_1970 % 1000000000}};
    return futimens(file, times) == 0;
}

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

void end_quietly() {
    remove_marked_file();
    std::_Exit(0);
}

}  // namespace platform
