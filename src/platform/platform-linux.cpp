#include <fcntl.h>
#include <linux/capability.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <random>

#include "platform/platform.h"

namespace platform {

const bool text_mode_folds_line_ends = false;

namespace {

// The signals that end a run by default, each of which must first clean up
// the marked files. Faults get no handler: their state is not to be trusted.
constexpr int ending_signals[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGTERM, SIGALRM,
                                  SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF, SIGXCPU};

// What an ending signal cleans up: a named new file in marked_folder, which
// it removes, and a file written in place, which it dates at the epoch.
// Atomic, so that a handler never sees half an update.
std::atomic<int> marked_folder{-1};
std::atomic<const char*> marked_name{nullptr};
std::atomic<int> marked_in_place{-1};
static_assert(std::atomic<const char*>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "signal handlers may only touch lock-free atomics");

constexpr const char* acl_attribute = "system.posix_acl_access";

void clean_up_marked() {
    if (const char* name = marked_name.exchange(nullptr)) unlinkat(marked_folder, name, 0);
    if (const int file = marked_in_place.exchange(-1); file >= 0) set_modified_time(file, file_time{});
}

sigset_t ending_set() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : ending_signals) sigaddset(&set, signal_number);
    return set;
}

// Holds the ending signals back while it lives, so that no handler sees a
// file made but not yet marked, or marked but already gone.
class signals_held {
public:
    signals_held() {
        const sigset_t ending = ending_set();
        sigprocmask(SIG_BLOCK, &ending, &previous);
    }
    ~signals_held() { sigprocmask(SIG_SETMASK, &previous, nullptr); }
    signals_held(const signals_held&) = delete;
    signals_held& operator=(const signals_held&) = delete;

private:
    sigset_t previous{};
};

extern "C" void end_by_signal(int signal_number) {
    clean_up_marked();
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);  // delivered as the handler returns, with a core dump where it makes one
}

// Whether this process may do what a file's owner may, whoever owns it: the
// capability in effect, not one it merely could take up.
bool acts_as_any_owner() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    return syscall(SYS_capget, &header, data) == 0 && (data[0].effective & (1u << CAP_FOWNER)) != 0;
}

// "/proc/self/fd/N": the name by which an open file, named or not, can be
// reached through /proc.
struct proc_path {
    explicit proc_path(int file) { std::snprintf(text, sizeof text, "/proc/self/fd/%d", file); }
    char text[32];
};

// Whether /proc reaches the open file, so that it can be given a name.
bool reachable_through_proc(int file) {
    struct stat open_file {
    }, reached{};
    return fstat(file, &open_file) == 0 && stat(proc_path(file).text, &reached) == 0 &&
           open_file.st_dev == reached.st_dev && open_file.st_ino == reached.st_ino;
}

// The ACL of a file open only as a place (O_PATH), which cannot itself be
// read for attributes: "" for none, nullopt where it cannot be told.
std::optional<std::string> access_acl_of(int file) {
    const proc_path path(file);
    const ssize_t size = getxattr(path.text, acl_attribute, nullptr, 0);
    if (size < 0)
        return errno == ENODATA || errno == EOPNOTSUPP ? std::optional<std::string>("") : std::nullopt;
    std::string acl(static_cast<std::size_t>(size), '\0');
    const ssize_t got = getxattr(path.text, acl_attribute, acl.data(), acl.size());
    if (got < 0) return std::nullopt;  // also if it grew meanwhile
    acl.resize(static_cast<std::size_t>(got));
    return acl;
}

// A fresh name for a new file. Names need only differ between runs, not be
// secret: one that is taken is never opened, only skipped.
void fresh_name(char (&name)[32]) {
    static std::mt19937_64 random(
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        static_cast<std::uint64_t>(getpid()));
    std::snprintf(name, sizeof name, ".quarnel-%016llx.tmp", static_cast<unsigned long long>(random()));
}
constexpr int name_attempts = 100;

timespec to_timespec(file_time when) {
    const auto seconds = std::chrono::floor<std::chrono::seconds>(when.time_since_epoch());
    return {static_cast<time_t>(seconds.count()),
            static_cast<long>((when.time_since_epoch() - seconds).count())};
}

file_time from_timespec(const timespec& when) {
    return file_time(std::chrono::seconds(when.tv_sec) + std::chrono::nanoseconds(when.tv_nsec));
}

}  // namespace

void prepare_signals() {
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    for (const int signal_number : ending_signals) {
        struct sigaction previous {};
        if (sigaction(signal_number, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = end_by_signal;
        action.sa_mask = ending_set();  // one clean-up at a time
        sigaction(signal_number, &action, nullptr);
    }
}

void end_quietly() {
    clean_up_marked();
    std::_Exit(0);
}

file_time file_system_now() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME_COARSE, &now);  // the clock by which Linux dates files
    return from_timespec(now);
}

file_identity identify(const std::string& path) {
    struct stat named {};
    if (stat(path.c_str(), &named) != 0) return {};
    return {true, static_cast<unsigned long long>(named.st_dev),
            static_cast<unsigned long long>(named.st_ino), from_timespec(named.st_mtim)};
}

folder::folder(const std::string& folder_path)
    // Only a place to reach names from: no right to read the folder is needed.
    : handle(open(folder_path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)) {}

folder::~folder() {
    if (handle >= 0) close(handle);
}

bool folder::is_open() const { return handle >= 0; }

entry folder::look(const char* name) const {
    entry found;
    const int file = openat(handle, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (file < 0) {
        if (errno == ENOENT) found.kind = entry::none;
        return found;
    }
    struct statx named {};
    if (statx(file, "", AT_EMPTY_PATH, STATX_TYPE | STATX_MODE | STATX_UID | STATX_GID, &named) == 0) {
        found.kind = S_ISREG(named.stx_mode)   ? entry::regular
                     : S_ISDIR(named.stx_mode) ? entry::directory
                                               : entry::other;
        found.permissions = named.stx_mode & 07777;
        found.owner = named.stx_uid;
        found.group = named.stx_gid;
        found.unchangeable = (named.stx_attributes & (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) != 0;
        if (found.kind == entry::regular) found.access_acl = access_acl_of(file);
    }
    close(file);
    return found;
}

bool folder::unchangeable() const {
    struct statx own {};
    // Where it cannot be told, as if so: then no name is made in it.
    return statx(handle, "", AT_EMPTY_PATH, 0, &own) != 0 ||
           (own.stx_attributes & (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) != 0;
}

// The rule by which the system refuses to remove or replace a file in a
// sticky folder, such as /tmp.
bool folder::refuses_replacing(const entry& existing) const {
    struct stat own {};
    if (fstat(handle, &own) != 0 || (own.st_mode & S_ISVTX) == 0) return false;
    const auto me = static_cast<long long>(geteuid());
    return existing.owner != me && static_cast<long long>(own.st_uid) != me && !acts_as_any_owner();
}

new_file::new_file(const folder& in, int permissions) : place(in) {
    const auto mode = static_cast<mode_t>(permissions < 0 ? 0666 : permissions & 0777);
    file = openat(place.handle, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    if (file >= 0 && reachable_through_proc(file)) return;
    if (file < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        failure = errno;  // the folder's refusal, not a want of unnamed files
        return;
    }
    if (file >= 0) close(file);  // no /proc to name it through
    make_named(static_cast<int>(mode));
}

void new_file::make_named(int mode) {
    for (int attempt = 0; attempt < name_attempts; ++attempt) {
        fresh_name(name);
        signals_held hold;
        file = openat(place.handle, name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, static_cast<mode_t>(mode));
        if (file >= 0) {
            marked_folder = place.handle;
            marked_name = name;
            return;
        }
        failure = errno;
        if (failure != EEXIST) break;
    }
    name[0] = '\0';
}

bool new_file::folder_takes_none() const {
    return failure == EACCES || failure == EPERM || failure == EROFS || failure == ENOSPC ||
           failure == EDQUOT;
}

bool new_file::finish_writing() {
    if (name[0] == '\0') return true;
    const bool closed = close(file) == 0;
    file = -1;
    return closed;
}

bool new_file::take_place_of(const char* target) {
    signals_held hold;
    const bool unnamed = name[0] == '\0';
    if (unnamed) {  // named only for the rename, within the hold
        const proc_path path(file);
        for (int attempt = 0; attempt < name_attempts; ++attempt) {
            fresh_name(name);
            if (linkat(AT_FDCWD, path.text, place.handle, name, AT_SYMLINK_FOLLOW) == 0) break;
            name[0] = '\0';
            if (errno != EEXIST) return false;
        }
        if (name[0] == '\0') return false;
    }
    if (renameat(place.handle, name, place.handle, target) == 0) {
        marked_name = nullptr;
        name[0] = '\0';
        return true;
    }
    if (unnamed) remove();
    return false;
}

bool new_file::copy_into(int to) const {
    const int from = name[0] == '\0' ? file : openat(place.handle, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    constexpr std::size_t block_size = std::size_t{1} << 16;
    const std::unique_ptr<char[]> block(new (std::nothrow) char[block_size]);
    bool copied = from >= 0 && block != nullptr;
    for (off_t at = 0; copied;) {
        const ssize_t got = pread(from, block.get(), block_size, at);
        if (got == 0) break;
        copied = got > 0 && write_file(to, block.get(), static_cast<std::size_t>(got));
        at += got;
    }
    if (from >= 0 && from != file) close(from);
    return copied;
}

void new_file::remove() {
    signals_held hold;
    unlinkat(place.handle, name, 0);
    marked_name = nullptr;
    name[0] = '\0';
}

new_file::~new_file() {
    if (file >= 0) close(file);
    if (name[0] != '\0') remove();
}

file_in_place::file_in_place(const folder& in, const char* name) {
    signals_held hold;
    file = openat(in.handle, name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (file < 0) return;
    // ftruncate empties a regular file and refuses anything else (a FIFO
    // that has a reader, a device).
    if (ftruncate(file, 0) == 0) {
        marked_in_place = file;
        return;
    }
    close(file);
    file = -1;
}

void file_in_place::finish(file_time modified) {
    signals_held hold;
    // Some file systems (NFS) report write errors only as a file is closed:
    // a duplicate is closed first, so that the file can still be dated.
    const int duplicate = dup(file);
    const bool written = duplicate >= 0 && close(duplicate) == 0;
    if (written) set_modified_time(file, modified);
    close_marked(written);
}

void file_in_place::close_marked(bool finished) {
    signals_held hold;
    if (!finished) set_modified_time(file, file_time{});
    marked_in_place = -1;
    close(file);
    file = -1;
}

file_in_place::~file_in_place() {
    if (file >= 0) close_marked(false);
}

bool write_file(int file, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = write(file, data, size);
        if (written <= 0) return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool set_modified_time(int file, file_time when) {
    const timespec times[2] = {{0, UTIME_OMIT}, to_timespec(when)};
    return futimens(file, times) == 0;
}

void give_access(int file, const entry& like) {
    const std::optional<std::string>& acl = like.access_acl;
    const bool acl_given =
        acl &&
        (acl->empty() ? fremovexattr(file, acl_attribute) == 0 || errno == ENODATA || errno == EOPNOTSUPP
                      : fsetxattr(file, acl_attribute, acl->data(), acl->size(), 0) == 0);
    fchmod(file, static_cast<mode_t>(like.permissions & (acl_given ? 0777 : 0700)));
}

void give_owner(int file, const entry& like) {
    // Only a privileged process may give a file to another owner, and only a
    // member of a group may give it that group: what fails is left.
    [[maybe_unused]] const bool given =
        fchown(file, static_cast<uid_t>(like.owner), static_cast<gid_t>(like.group)) == 0 ||
        fchown(file, static_cast<uid_t>(-1), static_cast<gid_t>(like.group)) == 0;
}

void prefer_large_pages(void* start, std::size_t size) {
    constexpr std::size_t large_page = std::size_t{1} << 21;
    const std::size_t to_boundary =
        (large_page - reinterpret_cast<std::uintptr_t>(start) % large_page) % large_page;
    // Only whole large pages can be backed so: a range holding none spares the call.
    if (size < to_boundary + large_page) return;
    madvise(static_cast<char*>(start) + to_boundary, (size - to_boundary) / large_page * large_page,
            MADV_HUGEPAGE);
}

}  // namespace platform
