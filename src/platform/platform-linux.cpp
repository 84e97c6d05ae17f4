#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/os.h"

namespace platform {

const bool text_mode_folds_line_ends = false;

namespace {

// The signals that end a run by default, each of which must first clean up
// the marked files. Faults get no handler: their state is not to be trusted.
constexpr int ending_signals[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGTERM, SIGALRM,
                                  SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF, SIGXCPU};

constexpr const char* acl_attribute = "system.posix_acl_access";

sigset_t ending_set() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : ending_signals) sigaddset(&set, signal_number);
    return set;
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

// Whether the open file is the one other describes.
bool is_file(int file, const struct stat& other) {
    struct stat own {};
    return fstat(file, &own) == 0 && own.st_dev == other.st_dev && own.st_ino == other.st_ino;
}

// An attribute by get(buffer, size), as getxattr answers: "" where there is
// none, nullopt where it cannot be read.
template <typename Get>
std::optional<std::string> attribute(Get get) {
    const ssize_t size = get(nullptr, 0);
    if (size < 0)
        return errno == ENODATA || errno == EOPNOTSUPP ? std::optional<std::string>("") : std::nullopt;
    std::string value(static_cast<std::size_t>(size), '\0');
    const ssize_t got = get(value.data(), value.size());
    if (got < 0) return std::nullopt;  // also if it grew meanwhile
    value.resize(static_cast<std::size_t>(got));
    return value;
}

// The ACL of a regular file open only as a place (O_PATH), which cannot
// itself be read for attributes: through /proc, or else through the file
// opened for reading once it is known to be the same one.
std::optional<std::string> access_acl_of(int folder, const char* name, int file) {
    const proc_path path(file);
    if (auto acl = attribute(
            [&](char* to, std::size_t size) { return getxattr(path.text, acl_attribute, to, size); }))
        return acl;
    const int readable = openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (readable < 0) return std::nullopt;
    struct stat opened {};
    std::optional<std::string> acl;
    if (fstat(readable, &opened) == 0 && is_file(file, opened))
        acl = attribute(
            [&](char* to, std::size_t size) { return fgetxattr(readable, acl_attribute, to, size); });
    close(readable);
    return acl;
}

timespec to_timespec(file_time when) {
    const auto seconds = std::chrono::floor<std::chrono::seconds>(when.time_since_epoch());
    return {static_cast<time_t>(seconds.count()),
            static_cast<long>((when.time_since_epoch() - seconds).count())};
}

file_time from_timespec(const timespec& when) {
    return file_time(std::chrono::seconds(when.tv_sec) + std::chrono::nanoseconds(when.tv_nsec));
}

}  // namespace

signals_held::signals_held() : previous{} {
    static_assert(sizeof(sigset_t) <= sizeof previous, "the signal mask fits its room");
    const sigset_t ending = ending_set();
    sigprocmask(SIG_BLOCK, &ending, reinterpret_cast<sigset_t*>(previous));
}

signals_held::~signals_held() { sigprocmask(SIG_SETMASK, reinterpret_cast<sigset_t*>(previous), nullptr); }

void os::catch_ending_signals() {
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

bool os::defers(int /*signal_number*/) { return false; }

unsigned long os::process_id() { return static_cast<unsigned long>(getpid()); }

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
        if (found.kind == entry::regular) found.access_acl = access_acl_of(handle, name, file);
    }
    close(file);
    return found;
}

std::optional<bool> folder::refuses_replacing(const entry& existing) const {
    struct statx own {};
    if (statx(handle, "", AT_EMPTY_PATH, STATX_MODE | STATX_UID, &own) != 0) return std::nullopt;
    if ((own.stx_attributes & (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) != 0) return true;
    // The rule by which the system refuses to remove or replace a file in a
    // sticky folder, such as /tmp.
    const auto me = static_cast<long long>(geteuid());
    return existing.kind != entry::none && (own.stx_mode & S_ISVTX) != 0 && existing.owner != me &&
           static_cast<long long>(own.stx_uid) != me && !acts_as_any_owner();
}

int os::make_unnamed(const folder& in, unsigned mode) {
    const int file = openat(in.handle, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, static_cast<mode_t>(mode));
    struct stat reached {};
    if (file < 0 || (stat(proc_path(file).text, &reached) == 0 && is_file(file, reached))) return file;
    close(file);  // no /proc to name it through
    errno = EOPNOTSUPP;
    return -1;
}

int os::make_named(const folder& in, const char* name, unsigned mode) {
    return openat(in.handle, name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, static_cast<mode_t>(mode));
}

bool os::name_unnamed(const folder& in, int file, const char* name) {
    return linkat(AT_FDCWD, proc_path(file).text, in.handle, name, AT_SYMLINK_FOLLOW) == 0;
}

bool os::rename(const folder& in, const char* from, const char* to) {
    return renameat(in.handle, from, in.handle, to) == 0;
}

void os::remove(const folder& in, const char* name, int file) {
    if (file >= 0) close(file);
    unlinkat(in.handle, name, 0);
}

int os::open_in_place(const folder& in, const char* name) {
    return openat(in.handle, name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

bool os::hold_exclusively(int file) {
    struct flock whole {};  // from the start to any end
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    return fcntl(file, F_OFD_SETLKW, &whole) == 0;
}

// Refuses anything but a regular file (a FIFO that has a reader, a device).
bool os::empty(int file) { return ftruncate(file, 0) == 0; }

void os::close(int file) { ::close(file); }

long long os::write_some(int file, const char* data, std::size_t size) { return write(file, data, size); }

void os::wait_until_writable(int file) {
    pollfd writable{file, POLLOUT, 0};
    poll(&writable, 1, -1);
}

bool os::written_through(int file) {
    const int duplicate = dup(file);
    return duplicate >= 0 && ::close(duplicate) == 0;
}

bool os::set_times(int file, file_time when) {
    const timespec times[2] = {to_timespec(when), to_timespec(when)};
    return futimens(file, times) == 0;
}

std::optional<file_time> os::modified(int file) {
    struct stat status {};
    if (fstat(file, &status) != 0) return std::nullopt;
    return from_timespec(status.st_mtim);
}

void os::take_access_of(int file, const entry& like) {
    // Only a member of a group may give a file that group, and only a
    // privileged process another owner: what fails is left. The owner last,
    // since only it may then change the file's access.
    struct stat now {};
    const bool group_kept = fchown(file, static_cast<uid_t>(-1), static_cast<gid_t>(like.group)) == 0 &&
                            fstat(file, &now) == 0 && static_cast<long long>(now.st_gid) == like.group;
    std::optional<std::string> acl = like.access_acl;
    bool masked = false;  // with a mask entry, which the group bits then stand for
    // Entries of 8 bytes after a 4-byte header, little-endian: a tag of 2
    // bytes (4 the owning group, 16 the mask), permissions of 2, an id of 4.
    for (std::size_t at = 4; acl && at + 8 <= acl->size(); at += 8) {
        masked = masked || (*acl)[at] == 16;
        if ((*acl)[at] == 4 && !group_kept) (*acl)[at + 2] = 0;
    }
    const bool acl_given =
        acl &&
        (acl->empty() ? fremovexattr(file, acl_attribute) == 0 || errno == ENODATA || errno == EOPNOTSUPP
                      : fsetxattr(file, acl_attribute, acl->data(), acl->size(), 0) == 0);
    const unsigned group_bits = group_kept || masked ? 0070 : 0;
    fchmod(file, static_cast<mode_t>(like.permissions & (acl_given ? 0707 | group_bits : 0700)));
    [[maybe_unused]] const bool owner_kept =
        fchown(file, static_cast<uid_t>(like.owner), static_cast<gid_t>(-1)) == 0;
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
