// Preloaded into quarnel by the tests, to make a moment or a neighbour that
// is rare for real. Set in the environment:
//   QUARNEL_SHIM_TAKE    the first temporary name is taken just before it is created;
//   QUARNEL_SHIM_SIGNAL  a signal of that number arrives as the first temporary file is created:
//                        just before it (QUARNEL_SHIM_SIGNAL_AFTER unset) or just after;
//   QUARNEL_SHIM_REFUSE  no temporary file may be created, as in a folder that takes none;
//   QUARNEL_SHIM_SWAP    that path is renamed over the page just before it is opened in place;
//   QUARNEL_SHIM_CLOSE   closing the temporary file fails, as a deferred write error would;
//   QUARNEL_SHIM_DATE    dating a file fails, as on a file system that keeps no times;
//   QUARNEL_SHIM_STALL   the first write to the temporary file waits that many seconds first,
//                        or until a signal is handled.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int temporary = -1;

template <typename Call>
Call next(const char* name) {
    return reinterpret_cast<Call>(dlsym(RTLD_NEXT, name));
}

bool set(const char* setting) { return std::getenv(setting) != nullptr; }

int fail(int error) {
    errno = error;
    return -1;
}

void signal_once() {
    static bool sent = false;
    if (!set("QUARNEL_SHIM_SIGNAL") || sent) return;
    sent = true;
    kill(getpid(), std::atoi(std::getenv("QUARNEL_SHIM_SIGNAL")));
}

}  // namespace

extern "C" int openat(int folder, const char* name, int flags, ...) {
    static const auto real = next<int (*)(int, const char*, int, ...)>("openat");
    static bool first_temporary = true;
    std::va_list rest;
    va_start(rest, flags);
    const mode_t mode = (flags & O_CREAT) != 0 ? va_arg(rest, mode_t) : 0;
    va_end(rest);
    if ((flags & O_EXCL) != 0 && std::strncmp(name, ".quarnel-", 9) == 0) {
        if (set("QUARNEL_SHIM_REFUSE")) return fail(EACCES);
        if (first_temporary && set("QUARNEL_SHIM_TAKE")) {
            const int taken = real(folder, name, O_WRONLY | O_CREAT | O_EXCL, 0644);
            if (write(taken, "taken", 5) != 5) std::abort();
            close(taken);
        }
        if (first_temporary && !set("QUARNEL_SHIM_SIGNAL_AFTER")) signal_once();
        first_temporary = false;
        temporary = real(folder, name, flags, mode);
        if (temporary >= 0 && set("QUARNEL_SHIM_SIGNAL_AFTER")) signal_once();
        return temporary;
    }
    if ((flags & O_ACCMODE) == O_WRONLY && (flags & O_CREAT) == 0 && set("QUARNEL_SHIM_SWAP"))
        renameat(AT_FDCWD, std::getenv("QUARNEL_SHIM_SWAP"), folder, name);
    return real(folder, name, flags, mode);
}

extern "C" int close(int file) {
    static const auto real = next<int (*)(int)>("close");
    const int closed = real(file);
    return file == temporary && set("QUARNEL_SHIM_CLOSE") ? fail(EIO) : closed;
}

extern "C" int futimens(int file, const timespec times[2]) {
    static const auto real = next<int (*)(int, const timespec*)>("futimens");
    return set("QUARNEL_SHIM_DATE") ? fail(EPERM) : real(file, times);
}

extern "C" ssize_t write(int file, const void* data, std::size_t size) {
    static const auto real = next<ssize_t (*)(int, const void*, std::size_t)>("write");
    static bool stalled = false;
    if (file == temporary && set("QUARNEL_SHIM_STALL") && !stalled) {
        stalled = true;
        sleep(static_cast<unsigned>(std::atoi(std::getenv("QUARNEL_SHIM_STALL"))));
    }
    return real(file, data, size);
}
