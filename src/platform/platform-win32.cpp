#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <new>
#include <random>

#include "platform/platform.h"

// Windows has no folder handles, no unnamed files, no owners, modes or ACLs
// to carry, and no signal mask. Files are the C runtime's descriptors, in
// text mode like a file stream.

namespace platform {

const bool text_mode_folds_line_ends = true;

namespace {

// Ctrl-C and a request to end: each must first clean up the marked files.
constexpr int ending_signals[] = {SIGINT, SIGTERM};

// What an ending signal cleans up: a named new file, which it closes (Windows
// removes no open file) and removes, and a file written in place, which it
// dates at the epoch.
std::atomic<const char*> marked_path{nullptr};
std::string marked_storage;  // what marked_path points into
std::atomic<int> marked_file{-1};
std::atomic<int> marked_in_place{-1};

void clean_up_marked() {
    if (const char* path = marked_path.exchange(nullptr)) {
        if (const int file = marked_file.exchange(-1); file >= 0) _close(file);
        _unlink(path);
    }
    if (const int file = marked_in_place.exchange(-1); file >= 0) set_modified_time(file, file_time{});
}

// Windows delivers a console's Ctrl-C on a thread of its own, and has no
// signal mask: a signal that arrives while they are held is kept here and
// acted on as they are released.
std::atomic<int> holding{0};
std::atomic<int> held_signal{0};

extern "C" void end_by_signal(int signal_number) {
    if (holding > 0) {
        held_signal = signal_number;
        return;
    }
    clean_up_marked();
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

class signals_held {
public:
    signals_held() { ++holding; }
    ~signals_held() {
        if (--holding == 0)
            if (const int signal_number = held_signal.exchange(0)) end_by_signal(signal_number);
    }
    signals_held(const signals_held&) = delete;
    signals_held& operator=(const signals_held&) = delete;
};

std::string path_in(const std::string& folder_path, const char* name) {
    return (std::filesystem::path(folder_path) / name).string();
}

// A fresh name for a new file. Names need only differ between runs, not be
// secret: one that is taken is never opened, only skipped.
void fresh_name(char (&name)[32]) {
    static std::mt19937_64 random(
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        static_cast<std::uint64_t>(GetCurrentProcessId()));
    std::snprintf(name, sizeof name, ".quarnel-%016llx.tmp", static_cast<unsigned long long>(random()));
}
constexpr int name_attempts = 100;

// File times count 100 ns from 1601.
constexpr std::int64_t ticks_before_1970 = 116444736000000000;
using ticks = std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>;

file_time from_filetime(const FILETIME& when) {
    const std::int64_t since_1601 = static_cast<std::int64_t>(when.dwHighDateTime) << 32 | when.dwLowDateTime;
    return file_time(ticks(since_1601 - ticks_before_1970));
}

}  // namespace

void prepare_signals() {
    for (const int signal_number : ending_signals) {
        const auto previous = std::signal(signal_number, end_by_signal);
        if (previous == SIG_IGN) std::signal(signal_number, SIG_IGN);
    }
}

void end_quietly() {
    clean_up_marked();
    std::_Exit(0);
}

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

bool folder::unchangeable() const { return false; }
bool folder::refuses_replacing(const entry& /*existing*/) const { return false; }

new_file::new_file(const folder& in, int /*permissions*/) : place(in) { make_named(0); }

void new_file::make_named(int /*mode*/) {
    for (int attempt = 0; attempt < name_attempts; ++attempt) {
        fresh_name(name);
        std::string path = path_in(place.path, name);
        signals_held hold;
        file =
            _open(path.c_str(), _O_RDWR | _O_CREAT | _O_EXCL | _O_TEXT | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
        if (file >= 0) {
            marked_storage.swap(path);  // allocates nothing
            marked_file = file;
            marked_path = marked_storage.c_str();
            return;
        }
        failure = errno;
        if (failure != EEXIST) break;
    }
    name[0] = '\0';
}

bool new_file::folder_takes_none() const { return failure == EACCES || failure == ENOSPC; }

bool new_file::finish_writing() {
    signals_held hold;
    marked_file = -1;
    const bool closed = _close(file) == 0;
    file = -1;
    return closed;
}

bool new_file::take_place_of(const char* target) {
    signals_held hold;
    std::error_code error;
    std::filesystem::rename(path_in(place.path, name), path_in(place.path, target),
                            error);  // replaces a file
    if (error) return false;
    marked_path = nullptr;
    name[0] = '\0';
    return true;
}

bool new_file::copy_into(int to) const {
    const int from = _open(path_in(place.path, name).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    constexpr unsigned block_size = 1u << 16;
    const std::unique_ptr<char[]> block(new (std::nothrow) char[block_size]);
    bool copied = from >= 0 && block != nullptr;
    _setmode(to, _O_BINARY);  // the bytes are already as text mode wrote them
    for (int got; copied && (got = _read(from, block.get(), block_size)) != 0;)
        copied = got > 0 && write_file(to, block.get(), static_cast<std::size_t>(got));
    if (from >= 0) _close(from);
    return copied;
}

void new_file::remove() {
    signals_held hold;
    if (file >= 0) _close(file);
    file = -1;
    marked_file = -1;
    _unlink(path_in(place.path, name).c_str());
    marked_path = nullptr;
    name[0] = '\0';
}

new_file::~new_file() {
    if (name[0] != '\0') remove();
}

file_in_place::file_in_place(const folder& in, const char* name) {
    signals_held hold;
    file = _open(path_in(in.path, name).c_str(), _O_WRONLY | _O_TRUNC | _O_TEXT | _O_NOINHERIT);
    if (file >= 0) marked_in_place = file;
}

void file_in_place::finish(file_time modified) {
    set_modified_time(file, modified);
    close_marked(true);
}

void file_in_place::close_marked(bool finished) {
    signals_held hold;
    if (!finished) set_modified_time(file, file_time{});
    marked_in_place = -1;
    _close(file);
    file = -1;
}

file_in_place::~file_in_place() {
    if (file >= 0) close_marked(false);
}

bool write_file(int file, const char* data, std::size_t size) {
    while (size > 0) {
        const int written = _write(file, data, static_cast<unsigned>(std::min<std::size_t>(size, 1u << 30)));
        if (written <= 0) return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool set_modified_time(int file, file_time when) {
    // Rounded down, so that a time just before another stays before it.
    const auto since_1970 = std::chrono::floor<ticks>(when.time_since_epoch()).count();
    const auto since_1601 = static_cast<std::uint64_t>(since_1970 + ticks_before_1970);
    const FILETIME modified{static_cast<DWORD>(since_1601), static_cast<DWORD>(since_1601 >> 32)};
    return SetFileTime(reinterpret_cast<HANDLE>(_get_osfhandle(file)), nullptr, nullptr, &modified) != 0;
}

void give_access(int /*file*/, const entry& /*like*/) {}
void give_owner(int /*file*/, const entry& /*like*/) {}
void prefer_large_pages(void* /*start*/, std::size_t /*size*/) {}

}  // namespace platform
