// Preloaded into quarnel by the tests, to make a moment or a neighbour that
// is rare for real. Set in the environment (ERRNO: a number):
//   QUARNEL_SHIM_NAMED=ERRNO   no unnamed files: asking for one fails so;
//   QUARNEL_SHIM_REFUSE=ERRNO  no new file may be made: it fails so;
//   QUARNEL_SHIM_LINK=ERRNO, QUARNEL_SHIM_RENAME=ERRNO  naming the new file, or renaming it, fails so;
//   QUARNEL_SHIM_DATE=ERRNO    dating a file fails so; 0: it succeeds but changes nothing;
//   QUARNEL_SHIM_CHMOD         setting a file's mode fails, as on a file system that keeps none;
//   QUARNEL_SHIM_CLOSE         closing a copy of the page's descriptor fails, like a deferred write error;
//   QUARNEL_SHIM_NOMEM         memory runs out once the page's file is open; QUARNEL_SHIM_TAKE the
//   first fresh name is taken just before it is made; QUARNEL_SHIM_AT_SOURCE, QUARNEL_SHIM_AT_PAGE,
//   QUARNEL_SHIM_AT_PLACE  a shell command run at the
//                              first look at the source, at the look at the page's name (the
//                              source read and listed), as the page is opened in place; $TICK is
//                              the file system's clock when the run first asked the time;
//   QUARNEL_SHIM_SIGNAL        a signal of that number arrives at QUARNEL_SHIM_SIGNAL_AT: "name",
//                              just before the first fresh name is made; "named", just after; "in
//                              place", as the page is opened in place; "again", as a file is
//                              removed or dated;
//   QUARNEL_SHIM_STALL         before the first write to the page's file, and before waiting for
//                              another run's hold on it, a byte goes to descriptor
//                              QUARNEL_SHIM_READY; the first write then waits for a byte on
//                              descriptor QUARNEL_SHIM_STALL.
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

namespace {

int page = -1;             // the descriptor the page is written to
timespec coarse_at_start;  // the file system's clock when the run first asked the time

template <typename Call>
Call next(const char* name) {
    return reinterpret_cast<Call>(dlsym(RTLD_NEXT, name));
}

const char* setting(const char* name) { return std::getenv(name); }

int fail(const char* name) {
    errno = std::atoi(setting(name));
    return -1;
}

void signal_at(const char* moment) {
    static bool sent = false;
    const char* at = setting("QUARNEL_SHIM_SIGNAL_AT");
    if (sent || !setting("QUARNEL_SHIM_SIGNAL") || std::strcmp(at ? at : "name", moment) != 0) return;
    sent = true;
    kill(getpid(), std::atoi(setting("QUARNEL_SHIM_SIGNAL")));
}

void run_at(const char* moment) {
    const char* command = setting(moment);
    if (!command) return;
    char tick[64];
    std::snprintf(tick, sizeof tick, "%lld.%09ld", static_cast<long long>(coarse_at_start.tv_sec),
                  coarse_at_start.tv_nsec);
    setenv("TICK", tick, 1);
    unsetenv("LD_PRELOAD");  // the command runs as itself
    if (std::system(command) != 0) std::abort();
}

void tell_ready() {
    if (setting("QUARNEL_SHIM_READY") && write(std::atoi(setting("QUARNEL_SHIM_READY")), "r", 1) != 1)
        std::abort();
}

bool fresh(const char* name) { return std::strncmp(name, ".quarnel-", 9) == 0; }

// Just before the first fresh name is made.
void at_fresh_name(int folder, const char* name) {
    static bool first = true;
    if (first && setting("QUARNEL_SHIM_TAKE")) {
        static const auto real = next<int (*)(int, const char*, int, ...)>("openat");
        const int taken = real(folder, name, O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (taken < 0 || write(taken, "taken", 5) != 5) std::abort();
        close(taken);
    }
    first = false;
    signal_at("name");
}

}  // namespace

extern "C" int openat(int folder, const char* name, int flags, ...) {
    static const auto real = next<int (*)(int, const char*, int, ...)>("openat");
    std::va_list rest;
    va_start(rest, flags);
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(rest, mode_t) : 0;
    va_end(rest);
    const bool unnamed = (flags & O_TMPFILE) == O_TMPFILE, made = unnamed || (flags & O_CREAT) != 0;
    // Any opening for writing of what exists: the page in place.
    const bool in_place = (flags & O_ACCMODE) != O_RDONLY && !made;
    if (made && setting("QUARNEL_SHIM_REFUSE")) return fail("QUARNEL_SHIM_REFUSE");
    if (unnamed && setting("QUARNEL_SHIM_NAMED")) return fail("QUARNEL_SHIM_NAMED");
    if ((flags & O_PATH) != 0 && folder != AT_FDCWD) run_at("QUARNEL_SHIM_AT_PAGE");
    if (in_place) run_at("QUARNEL_SHIM_AT_PLACE");
    if (made && fresh(name)) at_fresh_name(folder, name);
    const int file = real(folder, name, flags, mode);
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
    if (setting("QUARNEL_SHIM_LINK")) return fail("QUARNEL_SHIM_LINK");
    at_fresh_name(folder, name);
    const int linked = real(from_folder, from, folder, name, flags);
    if (linked == 0) signal_at("named");
    return linked;
}

extern "C" int renameat(int from_folder, const char* from, int folder, const char* name) {
    static const auto real = next<int (*)(int, const char*, int, const char*)>("renameat");
    return setting("QUARNEL_SHIM_RENAME") && fresh(from) ? fail("QUARNEL_SHIM_RENAME")
                                                         : real(from_folder, from, folder, name);
}

extern "C" int unlinkat(int folder, const char* name, int flags) {
    static const auto real = next<int (*)(int, const char*, int)>("unlinkat");
    signal_at("again");
    return real(folder, name, flags);
}

extern "C" int dup(int file) {
    static const auto real = next<int (*)(int)>("dup");
    const int copy = real(file);
    if (copy >= 0 && file == page && setting("QUARNEL_SHIM_CLOSE")) page = copy;
    return copy;
}

extern "C" int close(int file) {
    static const auto real = next<int (*)(int)>("close");
    const int closed = real(file);
    return file == page && setting("QUARNEL_SHIM_CLOSE") ? (errno = EIO, -1) : closed;
}

extern "C" int futimens(int file, const timespec times[2]) {
    static const auto real = next<int (*)(int, const timespec*)>("futimens");
    signal_at("again");
    if (setting("QUARNEL_SHIM_DATE"))
        return std::atoi(setting("QUARNEL_SHIM_DATE")) ? fail("QUARNEL_SHIM_DATE") : 0;
    return real(file, times);
}

extern "C" int fchmod(int file, mode_t mode) {
    static const auto real = next<int (*)(int, mode_t)>("fchmod");
    return setting("QUARNEL_SHIM_CHMOD") ? (errno = EPERM, -1) : real(file, mode);
}

extern "C" int fcntl(int file, int command, ...) {
    static const auto real = next<int (*)(int, int, ...)>("fcntl");
    std::va_list rest;
    va_start(rest, command);
    void* argument = va_arg(rest, void*);
    va_end(rest);
    if (command == F_OFD_SETLKW && real(file, F_OFD_SETLK, argument) != 0) tell_ready();  // it waits
    return real(file, command, argument);
}

extern "C" ssize_t write(int file, const void* data, std::size_t size) {
    static const auto real = next<ssize_t (*)(int, const void*, std::size_t)>("write");
    static bool stalled = false;
    if (file == page && setting("QUARNEL_SHIM_STALL") && !stalled) {
        stalled = true;
        tell_ready();
        char byte;
        while (read(std::atoi(setting("QUARNEL_SHIM_STALL")), &byte, 1) < 0 && errno == EINTR) {
        }
    }
    return real(file, data, size);
}

extern "C" int stat(const char* path, struct stat* status) {
    static const auto real = next<int (*)(const char*, struct stat*)>("stat");
    static bool first = true;
    if (first) run_at("QUARNEL_SHIM_AT_SOURCE");
    first = false;
    return real(path, status);
}

extern "C" int clock_gettime(clockid_t clock, timespec* now) {
    static const auto real = next<int (*)(clockid_t, timespec*)>("clock_gettime");
    if (coarse_at_start.tv_sec == 0) real(CLOCK_REALTIME_COARSE, &coarse_at_start);
    return real(clock, now);
}
