#pragma once
// The operating-system calls that the standard library lacks, for POSIX and
// for Windows, beneath every part that uses them: files reached through the
// folder that holds them, made only where their name is free, written and
// closed with every error reported; a temporary file that an ending signal
// removes; file times; and a hint for memory about to be filled.
//
// Files are descriptors. The calls never throw (on Windows, where paths are
// built, but for want of memory); a failure returns -1 or false and leaves
// errno set.

#include <chrono>
#include <cstddef>
#include <string>

namespace platform {

/// What stands at a name in a folder, never followed through a link.
struct entry {
    enum { none, regular, directory, other } kind = none;
    unsigned permissions = 0;  // with any set-user-ID, set-group-ID and sticky bits
    long long owner = -1, group = -1;
};

/// A folder, opened so that its files are reached by their names alone: a
/// file in it can be made, replaced and removed however long the folder's
/// own path is (on Windows, where there is no such handle, through its path).
/// A temporary file made with create_temporary is removed, should a signal
/// or a failure past all handling end the run, until it is replaced or
/// removed here; the folder must outlive it.
class folder {
public:
    explicit folder(const std::string& path);
    ~folder();
    folder(const folder&) = delete;
    folder& operator=(const folder&) = delete;

    bool is_open() const;
    entry status(const char* name) const;

    /// Whether a file put over existing would be refused: the folder is
    /// sticky and this process owns neither existing nor the folder, nor
    /// may act as any file's owner. Never so on Windows.
    bool refuses_replacing(const entry& existing) const;

    /// Opens name for writing and empties it, only if it is a regular file:
    /// never through a link, and never blocking on a FIFO or a device.
    int open_in_place(const char* name) const;

    /// Creates name for writing only where nothing has that name (on Windows
    /// in text mode, like a file stream), with the given permission bits
    /// (but for the set-user-ID, set-group-ID and sticky bits), or, for -1,
    /// those of any new file. The ending signals are held back until it is
    /// marked for removal, so that no moment is left in which a signal would
    /// leave it behind or remove another file of that name. name must stay
    /// valid until the file is replaced or removed: a signal handler reads it.
    int create_temporary(const char* name, int permissions) const;

    /// Puts the temporary file in name's place, and unmarks it.
    bool replace(const char* temporary, const char* name) const;

    /// Removes the temporary file, and unmarks it.
    void remove(const char* temporary) const;

    /// Copies the closed temporary file's bytes into the file open_in_place gave.
    bool copy(const char* temporary, int file) const;

private:
#ifdef _WIN32
    std::string path_of(const char* name) const;
    std::string path;
#else
    int handle = -1;
#endif
};

/// Gives an open file the owner and group of like, or else its group, where
/// this process may (POSIX); once it is no longer this process's own, only a
/// privileged process may date it or change its permissions.
void give_owner(int file, const entry& like);

/// Writes all of data, retrying short writes.
bool write_file(int file, const char* data, std::size_t size);

bool close_file(int file);

/// Now, as the file system dates the files it changes: on Linux the coarse
/// clock, which may lag the precise one by a few milliseconds, so that no
/// file changed after this moment is ever dated before it.
std::chrono::system_clock::time_point file_system_now();

/// Dates an open file's last change; only its owner may.
bool set_modified_time(int file, std::chrono::system_clock::time_point when);

/// Asks the system to back the whole 2 MiB pages within [start, start +
/// size) with large pages: the memory is then first touched a fault per
/// 2 MiB rather than per 4 KiB, which for the copies of a large source text
/// is most of what filling them costs. Only a hint, given before the memory
/// is written; where the system has no such pages (Windows, where they need
/// a privilege, or without transparent huge pages) nothing changes.
void prefer_large_pages(void* start, std::size_t size);

/// Removes the temporary file marked for removal, if any, and ends the run
/// at once with status 0. For std::terminate, reached only when not even an
/// exception could be made for want of memory.
[[noreturn]] void end_quietly();

}  // namespace platform
