// Preloaded into quarnel by the tests, to make a moment or a neighbour that
// strace cannot. Set in the environment:
//   QUARNEL_SHIM_NAMED=ERRNO   no unnamed files: asking for one fails with that errno value;
//   QUARNEL_SHIM_TAKE          the first fresh name is taken just before it is made;
//   QUARNEL_SHIM_CLOSE         closing a copy of the page's descriptor fails, like a deferred write error;
//   QUARNEL_SHIM_NOMEM         memory runs out once the page's file is open;
//   QUARNEL_SHIM_AT_SOURCE, QUARNEL_SHIM_AT_PAGE, QUARNEL_SHIM_AT_READ, QUARNEL_SHIM_AT_PLACE  a
//                              shell command run at the first look at the source, at the look at the
//                              page's name (the source read and listed), as the page is opened for
//                              reading, and as it is opened in place; $TICK is the file system's clock
//                              when the run first asked the time;
//   QUARNEL_SHIM_READY=FD      a byte goes to that descriptor as the run waits for another's hold on
//                              the page.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>

namespace {

int page = -1;             // the descriptor the page is written to
timespec coarse_at_start;  // the file system's clock when the run first asked the time

template <typename Call>
Call next(const char* name) {
    return reinterpret_cast<Call>(dlsym(RTLD_NEXT, name));
}

const char* setting(const char* name) { return std::getenv((std::string("QUARNEL_SHIM_") + name).c_str()); }

void run_at(const char* moment) {
    if (!setting(moment)) return;
    char tick[64];
    std::snprintf(tick, sizeof tick, "%lld.%09ld", static_cast<long long>(coarse_at_start.tv_sec),
                  coarse_at_start.tv_nsec);
    setenv("TICK", tick, 1);
    unsetenv("LD_PRELOAD");  // the command runs as itself
    if (std::system(setting(moment)) != 0) std::abort();
}

void tell_ready() {
    if (setting("READY") && write(std::atoi(setting("READY")), "r", 1) != 1) std::abort();
}

void run_out_of_memory() {
    static const rlimit none{0, 0};
    if (setting("NOMEM")) setrlimit(RLIMIT_AS, &none);
}

bool fresh(const char* name) { return std::strncmp(name, ".quarnel-", 9) == 0; }

// Just before the first fresh name is made.
void take_first_fresh_name(int folder, const char* name) {
    static const auto real = next<int (*)(int, const char*, int, ...)>("openat");
    static bool first = true;
    if (std::exchange(first, false) && setting("TAKE")) {
        const int taken = real(folder, name, O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (taken < 0 || write(taken, "taken", 5) != 5) std::abort();
        close(taken);
    }
}

}  // namespace

extern "C" int openat(int folder, const char* name, int flags, ...) {
    static const auto real = next<int (*)(int, const char*, int, ...)>("openat");
    std::va_list rest;
    va_start(rest, flags);
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(rest, mode_t) : 0;
    va_end(rest);
    const bool unnamed = (flags & O_TMPFILE) == O_TMPFILE, made = unnamed || (flags & O_CREAT) != 0;
    const bool in_place = (flags & O_ACCMODE) != O_RDONLY && !made;  // any opening for writing of what exists
    if (unnamed && setting("NAMED")) return errno = std::atoi(setting("NAMED")), -1;
    if ((flags & O_PATH) != 0 && folder != AT_FDCWD) run_at("AT_PAGE");
    if (in_place) run_at("AT_PLACE");
    if (!made && !in_place && (flags & O_PATH) == 0 && folder != AT_FDCWD) run_at("AT_READ");
    if (made && fresh(name)) take_first_fresh_name(folder, name);
    const int file = real(folder, name, flags, mode);
    if (file >= 0 && (made || in_place)) {
        page = file;
        run_out_of_memory();
    }
    return file;
}

extern "C" int linkat(int from_folder, const char* from, int folder, const char* name, int flags) {
    static const auto real = next<int (*)(int, const char*, int, const char*, int)>("linkat");
    take_first_fresh_name(folder, name);
    return real(from_folder, from, folder, name, flags);
}

extern "C" int dup(int file) {
    static const auto real = next<int (*)(int)>("dup");
    const int copy = real(file);
    if (file == page) page = copy;
    return copy;
}

extern "C" int close(int file) {
    static const auto real = next<int (*)(int)>("close");
    const int closed = real(file);
    return file == page && setting("CLOSE") ? (errno = EIO, -1) : closed;
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

extern "C" int stat(const char* path, struct stat* status) {
    static const auto real = next<int (*)(const char*, struct stat*)>("stat");
    static bool first = true;
    if (std::exchange(first, false)) run_at("AT_SOURCE");
    return real(path, status);
}

extern "C" int clock_gettime(clockid_t clock, timespec* now) {
    static const auto real = next<int (*)(clockid_t, timespec*)>("clock_gettime");
    if (coarse_at_start.tv_sec == 0) real(CLOCK_REALTIME_COARSE, &coarse_at_start);
    return real(clock, now);
}
