#pragma once
// The operating-system calls that the standard library lacks, beneath every
// part that uses them, one source file per system: platform-linux.cpp and
// platform-win32.cpp. Files reached through the folder that holds them; a
// new file that takes an existing one's place only once complete, and an
// existing file written in place that never looks finished before it is;
// the clean-up of both when a signal or a failure past all handling ends
// the run; file times and identities; and a hint for memory about to be
// filled.
//
// Files are descriptors. Nothing here throws (on Windows, where paths are
// built, but for want of memory); a failure returns -1 or false and leaves
// errno set.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace platform {

/// Ignores SIGPIPE, so that a reader that quits early only ends the
/// listing, and SIGXFSZ, so that a page past the file-size limit fails like
/// one on a full disk. Every signal that ends a run by default (but a fault,
/// and one that the run was started to ignore) first cleans up the files
/// marked below, then ends the run as it would have.
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

/// Now, as the file system dates the files it changes: on Linux the coarse
/// clock, which may lag the precise one by a few milliseconds, so that no
/// file changed after this moment is ever dated before it.
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
    bool unchangeable = false;  // immutable or append-only: it may be neither replaced nor emptied
    // A regular file's access ACL as the system stores it, empty for none;
    // nullopt where it could not be read.
    std::optional<std::string> access_acl;
};

/// A folder, opened so that its files are reached by their names alone:
/// a file in it can be made, replaced and written however long the
/// folder's own path is (on Windows, where there is no such handle, through
/// its path). It must outlive every file opened through it.
class folder {
public:
    explicit folder(const std::string& path);
    ~folder();
    folder(const folder&) = delete;
    folder& operator=(const folder&) = delete;

    bool is_open() const;
    entry look(const char* name) const;

    /// Whether the folder is append-only or immutable: no name in it may be
    /// removed or replaced. Told without the right to read the folder.
    bool unchangeable() const;

    /// Whether a file put over existing would be refused: the folder is
    /// sticky and this process owns neither existing nor the folder, nor
    /// may act as any file's owner. Never so on Windows.
    bool refuses_replacing(const entry& existing) const;

private:
    friend class new_file;
    friend class file_in_place;
    std::string path;  // on Windows, which has no folder handles
    int handle = -1;   // elsewhere
};

/// A new file in a folder, opened for reading and writing, which takes a
/// name's place once complete and is removed otherwise. Where the system
/// has unnamed files (Linux's O_TMPFILE, with /proc to name them by), it
/// has no name until it takes the name's place, so that nothing is left
/// behind even by SIGKILL; elsewhere it has a fresh name .quarnel-HEX.tmp
/// that an ending signal removes (on Windows, in text mode, like a file
/// stream).
class new_file {
public:
    /// permissions: its permission bits (less the umask until set), or -1
    /// for those of any new file.
    new_file(const folder& in, int permissions);
    ~new_file();
    new_file(const new_file&) = delete;
    new_file& operator=(const new_file&) = delete;

    bool is_open() const { return file >= 0; }
    int descriptor() const { return file; }

    /// Whether the folder takes no new file, by the error that refused it:
    /// no right to write the folder, a read-only or full file system.
    bool folder_takes_none() const;

    /// Ends the writing: true if every byte reached the file. A named file is
    /// closed here, since some file systems (NFS) report write errors only
    /// when a file is closed; an unnamed one lives on local file systems,
    /// which report them at the write.
    bool finish_writing();

    /// Puts the file in target's place, in one rename, the ending signals held
    /// meanwhile. False if the system refused: the file is then still here,
    /// for copy_into.
    bool take_place_of(const char* target);

    /// Copies the file's bytes into another, open for writing.
    bool copy_into(int to) const;

private:
    void make_named(int mode);
    void remove();

    const folder& place;
    // Empty for an unnamed file. Of a fixed size, so that naming the file
    // allocates nothing while the ending signals are held.
    char name[32] = {};
    int file = -1;
    int failure = 0;
};

/// An existing regular file, emptied to be written in place. Until it is
/// finished it is dated at the epoch should anything end the run (an
/// ending signal, a failure past all handling, or this object's release),
/// so that an unfinished file never looks newer than its source; SIGKILL
/// alone leaves it with the time of its last write.
class file_in_place {
public:
    /// Opens and empties name, only if it is a regular file: never through
    /// a link, and never blocking on a FIFO or a device.
    file_in_place(const folder& in, const char* name);
    ~file_in_place();
    file_in_place(const file_in_place&) = delete;
    file_in_place& operator=(const file_in_place&) = delete;

    bool is_open() const { return file >= 0; }
    int descriptor() const { return file; }

    /// Dates the complete file, where this process may (only its owner
    /// may), and closes it.
    void finish(file_time modified);

private:
    void close_marked(bool finished);

    int file = -1;
};

/// Writes all of data, retrying short writes.
bool write_file(int file, const char* data, std::size_t size);

/// Dates an open file's last change; only its owner may.
bool set_modified_time(int file, file_time when);

/// Gives a new file like's access ACL (removing any that its folder gave
/// it), then like's permission bits but for set-user-ID, set-group-ID and
/// sticky. Where the ACL cannot be given, only the owner's bits, so that
/// nobody who could not read like can read the file. Where the bits cannot
/// be set, the file keeps those it was made with.
void give_access(int file, const entry& like);

/// Gives an open file the owner and group of like, or else its group, where
/// this process may; once it is no longer this process's own, only a
/// privileged process may date it or change its access.
void give_owner(int file, const entry& like);

/// Asks the system to back the whole 2 MiB pages within [start, start +
/// size) with large pages: the memory is then first touched a fault per
/// 2 MiB rather than per 4 KiB, which for the copies of a large source text
/// is most of what filling them costs. Only a hint, given before the memory
/// is written; where the system has no such pages (Windows, where they need
/// a privilege, or without transparent huge pages) nothing changes.
void prefer_large_pages(void* start, std::size_t size);

}  // namespace platform
