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

void signal_once() {
    static bool sent = false;
    const char* number = std::getenv("QUARNEL_SHIM_SIGNAL");
    if (number == nullptr || sent) return;
    sent = true;
    kill(getpid(), std::atoi(number));
}

}  // namespace

extern "C" int openat(int folder, const char* name, int flags, ...) {
    using openat_call = int (*)(int, const char*, int, ...);
    static const auto real = reinterpret_cast<openat_call>(dlsym(RTLD_NEXT, "openat"));
    static bool first_temporary = true;
    std::va_list rest;
    va_start(rest, flags);
    const mode_t mode = (flags & O_CREAT) != 0 ? va_arg(rest, mode_t) : 0;
    va_end(rest);
    if ((flags & O_EXCL) != 0 && std::strncmp(name, ".quarnel-", 9) == 0) {
        if (std::getenv("QUARNEL_SHIM_REFUSE") != nullptr) {
            errno = EACCES;
            return -1;
        }
        if (first_temporary && std::getenv("QUARNEL_SHIM_TAKE") != nullptr) {
            const int taken = real(folder, name, O_WRONLY | O_CREAT | O_EXCL, 0644);
            if (write(taken, "taken", 5) != 5) std::abort();
            close(taken);
        }
        const bool after = std::getenv("QUARNEL_SHIM_SIGNAL_AFTER") != nullptr;
        if (first_temporary && !after) signal_once();
        first_temporary = false;
        temporary = real(folder, name, flags, mode);
        if (temporary >= 0 && after) signal_once();
        return temporary;
    } else if ((flags & O_ACCMODE) == O_WRONLY && (flags & O_CREAT) == 0) {
        if (const char* swap = std::getenv("QUARNEL_SHIM_SWAP")) renameat(AT_FDCWD, swap, folder, name);
    }
    return real(folder, name, flags, mode);
}

extern "C" int close(int file) {
    static const auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "close"));
    const int closed = real(file);
    if (file != temporary || std::getenv("QUARNEL_SHIM_CLOSE") == nullptr) return closed;
    errno = EIO;
    return -1;
}

extern "C" int futimens(int file, const timespec times[2]) {
    static const auto real = reinterpret_cast<int (*)(int, const timespec*)>(dlsym(RTLD_NEXT, "futimens"));
    if (std::getenv("QUARNEL_SHIM_DATE") == nullptr) return real(file, times);
    errno = EPERM;
    return -1;
}

extern "C" ssize_t write(int file, const void* data, std::size_t size) {
    static const auto real =
        reinterpret_cast<ssize_t (*)(int, const void*, std::size_t)>(dlsym(RTLD_NEXT, "write"));
    static bool stalled = false;
    if (const char* seconds = std::getenv("QUARNEL_SHIM_STALL");
        file == temporary && seconds != nullptr && !stalled) {
        stalled = true;
        sleep(static_cast<unsigned>(std::atoi(seconds)));
    }
    return real(file, data, size);
}
