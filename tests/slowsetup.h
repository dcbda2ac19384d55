// A line whose set-up takes its time, as a waking USB device's or a connecting Bluetooth port's does:
// tcsetattr on the one device a test names sleeps for slowSetUpMs first. It replaces the C library's
// tcsetattr for the whole test program, so one file of the program includes it.
#pragma once

#include <atomic>
#include <cstring>
#include <dlfcn.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

inline std::atomic<dev_t> slowSetUpDevice{0};
inline std::atomic<int> slowSetUpMs{1000};

extern "C" int tcsetattr(int fd, int actions, const termios *settings)
{
    using SetFunction = int (*)(int, int, const termios *);
    static const SetFunction next = [] {
        void *symbol = ::dlsym(RTLD_NEXT, "tcsetattr");
        SetFunction function = nullptr;
        std::memcpy(&function, &symbol, sizeof function);
        return function;
    }();
    struct stat st {};
    const dev_t slow = slowSetUpDevice;
    if (slow != 0 && ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == slow)
        ::usleep(useconds_t(slowSetUpMs) * 1000);
    return next(fd, actions, settings);
}
