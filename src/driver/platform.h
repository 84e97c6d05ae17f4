#pragma once
// The few operating-system calls that the standard library lacks, for POSIX
// and for Windows: a file created only where its name is free, written and
// closed with every error reported, a file that is removed when a signal or
// a failure past all handling ends the run, and a hint for memory about to
// be filled.
//
// Files are descriptors. The calls never throw; a failure returns -1 or
// false and leaves errno set.

#include <cstddef>

namespace platform {

/// Creates path for writing only if no file, link or other entry has that
/// name (on Windows in text mode, like a file stream). permissions: the
/// mode bits to give the file, or -1 for the default, 0666 less the umask.
int create_new_file(const char* path, int permissions);

/// Opens path for writing and empties it, only if it is a regular file:
/// never through a link, and never blocking on a FIFO or a device.
int open_regular_file(const char* path);

/// Writes all of data, retrying short writes.
bool write_file(int file, const char* data, std::size_t size);

bool close_file(int file);

/// Asks the system to back the whole 2 MiB pages within [start, start +
/// size) with large pages: the memory is then first touched a fault per
/// 2 MiB rather than per 4 KiB, which for the copies of a large source text
/// is most of what filling them costs. Only a hint, given before the memory
/// is written; where the system has no such pages (Windows, where they need
/// a privilege, or without transparent huge pages) nothing changes.
void prefer_large_pages(void* start, std::size_t size);

/// Until called again with nullptr, a SIGINT, SIGTERM or SIGHUP first
/// closes file (-1: none yet) and removes path, and then ends the run as
/// that signal would have; Windows removes no open file. Name the path
/// before creating it, so that no moment is left uncovered. path must stay
/// valid meanwhile. A signal that the run was started to ignore stays ignored.
void remove_on_abnormal_end(const char* path, int file);

/// Removes the file given to remove_on_abnormal_end, if any, and ends the
/// run at once with status 0. For std::terminate, reached only when not
/// even an exception could be made for want of memory.
[[noreturn]] void end_quietly();

}  // namespace platform
