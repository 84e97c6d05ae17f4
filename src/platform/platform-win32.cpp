#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <filesystem>

#include "platform/os.h"

// Windows has no folder handles, no unnamed files, no owners, modes or ACLs
// to carry, and no signal mask. Files are the C runtime's descriptors, in
// text mode like a file stream.

namespace platform {

const bool text_mode_folds_line_ends = true;

namespace {

// Windows delivers a console's Ctrl-C on a thread of its own, and has no
// signal mask: a signal that arrives while they are held is kept here and
// acted on as they are released.
std::atomic<int> holding{0};
std::atomic<int> held_signal{0};

std::string path_in(const std::string& folder_path, const char* name) {
    return (std::filesystem::path(folder_path) / name).string();
}

HANDLE handle_of(int file) { return reinterpret_cast<HANDLE>(_get_osfhandle(file)); }

// File times count 100 ns from 1601.
constexpr std::int64_t ticks_before_1970 = 116444736000000000;
using ticks = std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>;

file_time from_filetime(const FILETIME& when) {
    const std::int64_t since_1601 = static_cast<std::int64_t>(when.dwHighDateTime) << 32 | when.dwLowDateTime;
    return file_time(ticks(since_1601 - ticks_before_1970));
}

}  // namespace

signals_held::signals_held() : previous{} { ++holding; }

signals_held::~signals_held() {
    if (--holding == 0)
        if (const int signal_number = held_signal.exchange(0)) end_by_signal(signal_number);
}

// Ctrl-C and a request to end.
void os::catch_ending_signals() {
    for (const int signal_number : {SIGINT, SIGTERM})
        if (std::signal(signal_number, end_by_signal) == SIG_IGN) std::signal(signal_number, SIG_IGN);
}

bool os::defers(int signal_number) {
    if (holding > 0) held_signal = signal_number;
    return holding > 0;
}

unsigned long os::process_id() { return GetCurrentProcessId(); }

file_time file_system_now() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return from_filetime(now);
}

file_identity identify(const std::string& path) {
    const HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    BY_HANDLE_FILE_INFORMATION information{};
    const bool found = GetFileInformationByHandle(file, &information) != 0;
    CloseHandle(file);
    if (!found) return {};
    return {true, information.dwVolumeSerialNumber,
            static_cast<unsigned long long>(information.nFileIndexHigh) << 32 | information.nFileIndexLow,
            from_filetime(information.ftLastWriteTime)};
}

folder::folder(const std::string& folder_path) : path(folder_path) {}
folder::~folder() = default;
bool folder::is_open() const { return true; }

entry folder::look(const char* name) const {
    std::error_code error;
    const auto named = std::filesystem::symlink_status(path_in(path, name), error);
    entry found;
    found.access_acl = "";
    if (std::filesystem::is_regular_file(named))
        found.kind = entry::regular;
    else if (std::filesystem::is_directory(named))
        found.kind = entry::directory;
    else if (named.type() == std::filesystem::file_type::not_found)
        found.kind = entry::none;
    else if (!error)
        found.kind = entry::other;
    return found;
}

std::optional<bool> folder::refuses_replacing(const entry& /*existing*/) const { return false; }

int os::make_unnamed(const folder& /*in*/, unsigned /*mode*/) {
    errno = EOPNOTSUPP;
    return -1;
}

int os::make_named(const folder& in, const char* name, unsigned /*mode*/) {
    return _open(path_in(in.path, name).c_str(), _O_RDWR | _O_CREAT | _O_EXCL | _O_TEXT | _O_NOINHERIT,
                 _S_IREAD | _S_IWRITE);
}

bool os::name_unnamed(const folder& /*in*/, int /*file*/, const char* /*name*/) { return false; }

bool os::rename(const folder& in, const char* from, const char* to) {
    std::error_code error;
    std::filesystem::rename(path_in(in.path, from), path_in(in.path, to), error);  // replaces a file
    return !error;
}

// An open file cannot be removed.
void os::remove(const folder& in, const char* name, int file) {
    if (file >= 0) _close(file);
    _unlink(path_in(in.path, name).c_str());
}

int os::open_in_place(const folder& in, const char* name) {
    return _open(path_in(in.path, name).c_str(), _O_WRONLY | _O_TEXT | _O_NOINHERIT);
}

bool os::hold_exclusively(int file) {
    OVERLAPPED from_the_start{};
    return LockFileEx(handle_of(file), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &from_the_start) != 0;
}

bool os::empty(int file) { return _chsize_s(file, 0) == 0; }

void os::close(int file) { _close(file); }

long long os::write_some(int file, const char* data, std::size_t size) {
    return _write(file, data, static_cast<unsigned>(std::min<std::size_t>(size, 1u << 30)));
}

void os::wait_until_writable(int /*file*/) {}

bool os::written_through(int file) {
    const int duplicate = _dup(file);
    return duplicate >= 0 && _close(duplicate) == 0;
}

bool os::set_times(int file, file_time when) {
    // Rounded down, so that a time just before another stays before it.
    const auto since_1970 = std::chrono::floor<ticks>(when.time_since_epoch()).count();
    const auto since_1601 = static_cast<std::uint64_t>(since_1970 + ticks_before_1970);
    const FILETIME time{static_cast<DWORD>(since_1601), static_cast<DWORD>(since_1601 >> 32)};
    return SetFileTime(handle_of(file), nullptr, &time, &time) != 0;
}

std::optional<file_time> os::modified(int file) {
    FILETIME written{};
    if (GetFileTime(handle_of(file), nullptr, nullptr, &written) == 0) return std::nullopt;
    return from_filetime(written);
}

void os::take_access_of(int /*file*/, const entry& /*like*/) {}

void prefer_large_pages(void* /*start*/, std::size_t /*size*/) {}

}  // namespace platform
