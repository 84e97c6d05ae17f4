#pragma once
// What the standard library lacks, beneath every part that uses it: the
// clean-up when a signal or a failure past all handling ends the run, file
// times and identities, a folder and the file a page is written to, output
// written whole, and a hint for memory about to be filled. platform.cpp
// holds what every system shares; platform-linux.cpp and platform-win32.cpp
// hold the system calls (os.h).
//
// Nothing here throws but for want of memory.

#include <chrono>
#include <cstddef>
#include <optional>
#include <streambuf>
#include <string>

namespace platform {

/// Ignores SIGPIPE and SIGXFSZ, so that a reader gone or a file-size limit
/// fails a write instead of ending the run. Every signal that ends a run by
/// default (but a fault, and one that the run was started to ignore) first
/// cleans up the files marked by page_output, then ends the run as it would
/// have.
void prepare_signals();

/// Cleans up the marked files and ends the run at once with status 0: for
/// std::terminate, reached only when not even an exception could be made
/// for want of memory.
[[noreturn]] void end_quietly();

/// Whether text mode may deliver fewer characters than a file holds (on
/// Windows, where CR LF is read as LF).
extern const bool text_mode_folds_line_ends;

/// A file's time, to the nanosecond whatever the standard library's clock.
using file_time = std::chrono::time_point<std::chrono::system_clock, std::chrono::nanoseconds>;

/// Now, as the file system dates the files it changes: no file changed after
/// this moment is dated before it.
file_time file_system_now();

/// Which file a path names, and when it last changed. Two looks at a path
/// name the same file only if both found one, and the same one.
struct file_identity {
    bool found = false;
    unsigned long long device = 0, inode = 0;
    file_time modified{};

    bool same_file(const file_identity& other) const {
        return found && other.found && device == other.device && inode == other.inode;
    }
};
file_identity identify(const std::string& path);

/// What stands at a name in a folder, never followed through a link.
struct entry {
    enum { unknown, none, regular, directory, other } kind = unknown;  // unknown: the look failed
    unsigned permissions = 0;  // with any set-user-ID, set-group-ID and sticky bits
    long long owner = -1, group = -1;
    // A regular file's access ACL as the system stores it, empty for none;
    // nullopt where it could not be read.
    std::optional<std::string> access_acl;
};

/// A folder, opened so that its files are reached by their names alone,
/// however long the folder's own path, and in it however it is moved. It
/// must outlive every file opened through it.
class folder {
public:
    explicit folder(const std::string& path);
    ~folder();
    folder(const folder&) = delete;
    folder& operator=(const folder&) = delete;

    bool is_open() const;
    entry look(const char* name) const;

    /// Whether a new file put in place of existing (or of nothing) would be
    /// refused or left behind: the folder is append-only or immutable, or
    /// sticky and existing another user's that this process may not act on
    /// as its owner. nullopt where that cannot be told.
    std::optional<bool> refuses_replacing(const entry& existing) const;

private:
    friend struct os;
    std::string path;  // on Windows, which has no folder handles
    int handle = -1;   // elsewhere
};

/// A stream buffer that hands every write to a file whole: it waits while a
/// non-blocking file is full and retries an interrupted write, and fails
/// only where the file takes no more (a reader gone, an error).
class file_output : public std::streambuf {
protected:
    std::streamsize xsputn(const char* data, std::streamsize size) override;
    int file = -1;
};

/// Standard output.
class standard_output : public file_output {
public:
    standard_output();
};

/// The file a page is written to: a new file in a folder, which takes a
/// name's place once complete and is removed otherwise, or an existing file
/// written in place, dated at the epoch unless finished. An ending signal or
/// a failure past all handling does the same.
class page_output : public file_output {
public:
    /// A new file, of the given permission bits less the umask (-1: those of
    /// any new file). Where the system has unnamed files, it has no name until
    /// it takes the page's place; elsewhere a fresh .quarnel-HEX.tmp.
    page_output(const folder& in, int permissions);
    /// The regular file name, opened without following a link or waiting on
    /// a FIFO or a device, held against any other run writing it in place,
    /// and emptied.
    page_output(const folder& in, const char* name);
    ~page_output() override;
    page_output(const page_output&) = delete;
    page_output& operator=(const page_output&) = delete;

    bool is_open() const { return file >= 0; }

    /// Whether the folder refused the new file for want of the right to
    /// write it or for its attributes, where the page itself may still take
    /// the text.
    bool refused() const;

    /// Whether every byte written reached the file (some file systems report
    /// write errors only as a file is closed).
    bool written() const;

    /// Dates the file's last change at when; false unless that took.
    bool date(file_time when);

    /// Gives the new file like's owner and group where this process may,
    /// or else its group; then its ACL and permission bits but for
    /// set-user-ID, set-group-ID and sticky. Group bits only where the group
    /// was kept; only the owner's bits where the ACL could not be given.
    void take_access_of(const entry& like);

    /// A new file takes target's place, in one rename; false, and it is
    /// removed, where that is refused. A page in place is kept as dated.
    bool keep(const char* target);

private:
    void remove();

    const folder& place;
    const bool in_place;
    bool kept = false;
    // Empty for an unnamed file. Of a fixed size, so that naming the file
    // allocates nothing while the ending signals are held.
    char name[32] = {};
    int failure = 0;
};

/// Asks the system to back the whole 2 MiB pages within [start, start +
/// size) with large pages, so that memory about to be filled whole is first
/// touched a fault per 2 MiB rather than per 4 KiB. Only a hint, given
/// before the memory is written.
void prefer_large_pages(void* start, std::size_t size);

}  // namespace platform
