// Standing in for a driver that a pseudo-terminal cannot play, by replacing a C library call of the test
// program for the one device a test names: the call found after ours (nextFunction) and the device a
// descriptor is on (isDevice). A replaced call is replaced for the whole program, so one file of the
// program includes this.
//
// Here the first stand-in: a line whose set-up takes its time, as a waking USB device's or a connecting
// Bluetooth port's does. tcsetattr on slowSetUpDevice sleeps for slowSetUpMs first.
#pragma once

#include <atomic>
#include <cstring>
#include <dlfcn.h>
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

// Whether `fd` is on the character device `rdev` (never when `rdev` is 0: no device named).
inline bool isDevice(int fd, dev_t rdev)
{
    struct stat st {};
    return rdev != 0 && ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == rdev;
}

inline std::atomic<dev_t> slowSetUpDevice{0};
inline std::atomic<int> slowSetUpMs{1000};

extern "C" int tcsetattr(int fd, int actions, const termios *settings)
{
    static const auto next = nextFunction<int (*)(int, int, const termios *)>("tcsetattr");
    if (isDevice(fd, slowSetUpDevice))
        ::usleep(useconds_t(slowSetUpMs) * 1000);
    return next(fd, actions, settings);
}
