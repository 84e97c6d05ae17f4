#pragma once
// The system calls beneath platform.cpp, one source file per system:
// platform-linux.cpp and platform-win32.cpp. Files are descriptors; a
// failure returns -1 or false and leaves errno set.

#include <cstdint>
#include <optional>

#include "platform/platform.h"

namespace platform {

// Cleans up the marked files and ends the run by the signal, as its default
// would: the handler that os::catch_ending_signals installs.
extern "C" void end_by_signal(int signal_number);

// Holds back the signals that end a run while it lives, so that no handler
// sees a file made but not yet marked, or marked but already gone.
class signals_held {
public:
    signals_held();
    ~signals_held();
    signals_held(const signals_held&) = delete;
    signals_held& operator=(const signals_held&) = delete;

private:
    std::uint64_t previous[16];  // the signal mask to restore, where the system has one
};

struct os {
    static void catch_ending_signals();
    // Whether the signal waits for the signals held to be released (Windows,
    // which has no signal mask).
    static bool defers(int signal_number);
    static unsigned long process_id();

    // A new file in the folder, opened for reading and writing: unnamed, or
    // -1 with EOPNOTSUPP where the system cannot make or later name one.
    static int make_unnamed(const folder& in, unsigned mode);
    static int make_named(const folder& in, const char* name, unsigned mode);
    static bool name_unnamed(const folder& in, int file, const char* name);
    static bool rename(const folder& in, const char* from, const char* to);
    // Closes file, if open, and removes name.
    static void remove(const folder& in, const char* name, int file);
    // An existing file opened for writing, never through a link and never
    // blocking on a FIFO or a device; then held against any other process's
    // hold, waiting for it to end; then emptied, if it is a regular file.
    static int open_in_place(const folder& in, const char* name);
    static bool hold_exclusively(int file);
    static bool empty(int file);
    static void close(int file);

    static long long write_some(int file, const char* data, std::size_t size);
    static void wait_until_writable(int file);
    static bool written_through(int file);
    // Both times, the last access and the last change: some file systems
    // (FUSE's) change neither unless both are given.
    static bool set_times(int file, file_time when);
    static std::optional<file_time> modified(int file);
    static void take_access_of(int file, const entry& like);
};

}  // namespace platform
