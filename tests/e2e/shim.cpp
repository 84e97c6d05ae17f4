// Preloaded into quarnel by the tests, to make a moment or a neighbour that
// is rare for real. Set in the environment:
//   QUARNEL_SHIM_NAMED   no unnamed files, as on a file system without them;
//   QUARNEL_SHIM_REFUSE  no new file may be made, failing with that errno value;
//   QUARNEL_SHIM_TAKE    the first fresh name is taken just before it is made;
//   QUARNEL_SHIM_SIGNAL  a signal of that number arrives at QUARNEL_SHIM_SIGNAL_AT: "name", just
//                        before the first fresh name is made; "named", just after; "in place", as
//                        the page is opened in place;
//   QUARNEL_SHIM_AGAIN   a signal of that number arrives as a file is removed or dated;
//   QUARNEL_SHIM_RENAME  no rename is allowed, as where a folder refuses one;
//   QUARNEL_SHIM_SWAP    that path is renamed over the page just before it is opened in place;
//   QUARNEL_SHIM_CLOSE   closing the page's file fails, as a deferred write error would;
//   QUARNEL_SHIM_DATE    dating a file fails, as on a file system that keeps no times;
//   QUARNEL_SHIM_CHMOD   setting a file's mode fails, as on a file system that keeps none;
//   QUARNEL_SHIM_TOUCH   a byte is appended to that path as the page's name is looked at, and
//                        the file dated as a change within the tick of the file system's clock
//                        in which the run first asked the time would be;
//   QUARNEL_SHIM_MOVE    at the first look at the source, that folder is renamed FOLDER.moved,
//                        and a link FOLDER made to the folder elsewhere;
//   QUARNEL_SHIM_NOMEM   memory runs out once the page's file is open;
//   QUARNEL_SHIM_STALL   the first write to the page's file waits that many seconds first,
//                        having written a byte to descriptor QUARNEL_SHIM_READY if set.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

int page = -1;             // the descriptor the page is written to
timespec coarse_at_start;  // the file system's clock when the run first asked the time

template <typename Call>
Call next(const char* name) {
    return reinterpret_cast<Call>(dlsym(RTLD_NEXT, name));
}

int real_openat(int folder, const char* name, int flags, mode_t mode) {
    static const auto real = next<int (*)(int, const char*, int, ...)>("openat");
    return real(folder, name, flags, mode);
}

const char* setting(const char* name) { return std::getenv(name); }

int fail(int error) {
    errno = error;
    return -1;
}

// Sends the signal QUARNEL_SHIM_SIGNAL, once, if the moment is QUARNEL_SHIM_SIGNAL_AT.
void signal_at(const char* moment) {
    static bool sent = false;
    const char* at = setting("QUARNEL_SHIM_SIGNAL_AT");
    if (sent || !setting("QUARNEL_SHIM_SIGNAL") || std::strcmp(at ? at : "name", moment) != 0) return;
    sent = true;
    kill(getpid(), std::atoi(setting("QUARNEL_SHIM_SIGNAL")));
}

// Just before the first fresh name is made.
void at_fresh_name(int folder, const char* name) {
    static bool first = true;
    if (first && setting("QUARNEL_SHIM_TAKE")) {
        const int taken = real_openat(folder, name, O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (taken < 0 || write(taken, "taken", 5) != 5) std::abort();
        close(taken);
    }
    first = false;
    signal_at("name");
}

bool fresh(const char* name) { return std::strncmp(name, ".quarnel-", 9) == 0; }

}  // namespace

extern "C" int openat(int folder, const char* name, int flags, ...) {
    std::va_list rest;
    va_start(rest, flags);
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(rest, mode_t) : 0;
    va_end(rest);
    const bool made = (flags & O_TMPFILE) == O_TMPFILE || ((flags & O_EXCL) != 0 && fresh(name));
    const bool in_place = (flags & O_ACCMODE) == O_WRONLY && (flags & O_CREAT) == 0;
    if (made && setting("QUARNEL_SHIM_REFUSE")) return fail(std::atoi(setting("QUARNEL_SHIM_REFUSE")));
    if ((flags & O_TMPFILE) == O_TMPFILE && setting("QUARNEL_SHIM_NAMED")) return fail(EOPNOTSUPP);
    if ((flags & O_PATH) != 0 && setting("QUARNEL_SHIM_TOUCH")) {  // the look at the page's name
        const int source = real_openat(AT_FDCWD, setting("QUARNEL_SHIM_TOUCH"), O_WRONLY | O_APPEND, 0);
        const timespec dated[2] = {{0, UTIME_OMIT}, coarse_at_start};
        if (source < 0 || write(source, " ", 1) != 1 || futimens(source, dated) != 0) std::abort();
        close(source);
    }
    if (in_place && setting("QUARNEL_SHIM_SWAP"))
        renameat(AT_FDCWD, setting("QUARNEL_SHIM_SWAP"), folder, name);
    if (made && fresh(name)) at_fresh_name(folder, name);
    const int file = real_openat(folder, name, flags, mode);
    if (file >= 0 && made && fresh(name)) signal_at("named");
    if (file >= 0 && in_place) signal_at("in place");
    if (file >= 0 && (made || in_place)) {
        page = file;
        const rlimit none{0, 0};  // no more address space than the run holds already
        if (setting("QUARNEL_SHIM_NOMEM")) setrlimit(RLIMIT_AS, &none);
    }
    return file;
}

extern "C" int linkat(int from_folder, const char* from, int folder, const char* name, int flags) {
    static const auto real = next<int (*)(int, const char*, int, const char*, int)>("linkat");
    at_fresh_name(folder, name);
    const int linked = real(from_folder, from, folder, name, flags);
    if (linked == 0) signal_at("named");
    return linked;
}

extern "C" int renameat(int from_folder, const char* from, int folder, const char* name) {
    static const auto real = next<int (*)(int, const char*, int, const char*)>("renameat");
    return setting("QUARNEL_SHIM_RENAME") && fresh(from) ? fail(EPERM)
                                                         : real(from_folder, from, folder, name);
}

extern "C" int unlinkat(int folder, const char* name, int flags) {
    static const auto real = next<int (*)(int, const char*, int)>("unlinkat");
    if (setting("QUARNEL_SHIM_AGAIN")) kill(getpid(), std::atoi(setting("QUARNEL_SHIM_AGAIN")));
    return real(folder, name, flags);
}

extern "C" int close(int file) {
    static const auto real = next<int (*)(int)>("close");
    const int closed = real(file);
    return file == page && setting("QUARNEL_SHIM_CLOSE") ? fail(EIO) : closed;
}

extern "C" int futimens(int file, const timespec times[2]) {
    static const auto real = next<int (*)(int, const timespec*)>("futimens");
    if (setting("QUARNEL_SHIM_AGAIN")) kill(getpid(), std::atoi(setting("QUARNEL_SHIM_AGAIN")));
    return setting("QUARNEL_SHIM_DATE") ? fail(EPERM) : real(file, times);
}

extern "C" int fchmod(int file, mode_t mode) {
    static const auto real = next<int (*)(int, mode_t)>("fchmod");
    return setting("QUARNEL_SHIM_CHMOD") ? fail(EPERM) : real(file, mode);
}

extern "C" ssize_t write(int file, const void* data, std::size_t size) {
    static const auto real = next<ssize_t (*)(int, const void*, std::size_t)>("write");
    static bool stalled = false;
    if (file == page && setting("QUARNEL_SHIM_STALL") && !stalled) {
        stalled = true;
        if (setting("QUARNEL_SHIM_READY") && real(std::atoi(setting("QUARNEL_SHIM_READY")), "s", 1) != 1)
            std::abort();
        sleep(static_cast<unsigned>(std::atoi(setting("QUARNEL_SHIM_STALL"))));
    }
    return real(file, data, size);
}

extern "C" int stat(const char* path, struct stat* status) {
    static const auto real = next<int (*)(const char*, struct stat*)>("stat");
    static bool moved = false;
    if (!moved && setting("QUARNEL_SHIM_MOVE")) {
        moved = true;
        const std::string folder = setting("QUARNEL_SHIM_MOVE");
        if (rename(folder.c_str(), (folder + ".moved").c_str()) != 0 ||
            symlink("elsewhere", folder.c_str()) != 0)
            std::abort();
    }
    return real(path, status);
}

extern "C" int clock_gettime(clockid_t clock, timespec* now) {
    static const auto real = next<int (*)(clockid_t, timespec*)>("clock_gettime");
    if (coarse_at_start.tv_sec == 0) real(CLOCK_REALTIME_COARSE, &coarse_at_start);
    return real(clock, now);
}
