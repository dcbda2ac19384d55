// Standing in for a driver that a pseudo-terminal cannot play, by replacing a C library call of the test
// program for the one device a test names: the call found after ours (nextFunction) and the device a
// descriptor is on (isDevice). A replaced call is replaced for the whole program, so one file of the
// program includes this.
//
// The stand-ins here: a line whose set-up takes its time, as a waking USB device's or a connecting
// Bluetooth port's does (tcsetattr on slowSetUpDevice sleeps for slowSetUpMs first); a driver that counts
// what its line lost or spoiled (TIOCGICOUNT on countingDevice); a driver that still holds bytes for the
// line (TIOCOUTQ on holdingDevice).
#pragma once

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <dlfcn.h>
#include <functional>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

// The C library's own `name`, which the stand-in calls on.
template <typename Function> Function nextFunction(const char *name)
{
    void *symbol = ::dlsym(RTLD_NEXT, name);
    Function function = nullptr;
    std::memcpy(&function, &symbol, sizeof function);
    return function;
}

// The character device at `path` (0 when there is none).
inline dev_t deviceAt(const char *path)
{
    struct stat st {};
    return ::stat(path, &st) == 0 && S_ISCHR(st.st_mode) ? st.st_rdev : 0;
}

// Whether `fd` is on the character device `rdev` (never when `rdev` is 0: no device named).
inline bool isDevice(int fd, dev_t rdev)
{
    struct stat st {};
    return rdev != 0 && ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == rdev;
}

inline std::atomic<dev_t> slowSetUpDevice{0};
inline std::atomic<int> slowSetUpMs{1000};
// When set, that slow set-up then fails, once it has run this on its own thread.
inline std::function<void()> slowSetUpFailing;

extern "C" int tcsetattr(int fd, int actions, const termios *settings)
{
    static const auto next = nextFunction<int (*)(int, int, const termios *)>("tcsetattr");
    if (isDevice(fd, slowSetUpDevice)) {
        ::usleep(useconds_t(slowSetUpMs) * 1000);
        if (slowSetUpFailing) {
            slowSetUpFailing();
            errno = EIO;
            return -1;
        }
    }
    return next(fd, actions, settings);
}

// A driver that counts the bytes its line lost or spoiled (a pseudo-terminal counts none).
inline std::atomic<dev_t> countingDevice{0};
inline std::atomic<int> framingErrors{0};
inline std::atomic<int> overruns{0};
// A driver that still holds bytes for the line.
inline std::atomic<dev_t> holdingDevice{0};
inline std::atomic<int> heldForTheLine{0};

extern "C" int ioctl(int fd, unsigned long request, ...)
{
    using IoctlFunction = int (*)(int, unsigned long, void *);
    static const auto next = nextFunction<IoctlFunction>("ioctl");
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    if (request == TIOCGICOUNT && isDevice(fd, countingDevice)) {
        auto *counts = static_cast<serial_icounter_struct *>(arg);
        *counts = {};
        counts->frame = framingErrors;
        counts->overrun = overruns;
        return 0;
    }
    if (request == TIOCOUTQ && isDevice(fd, holdingDevice)) {
        *static_cast<int *>(arg) = heldForTheLine;
        return 0;
    }
    return next(fd, request, arg);
}
