// Writing: what the device takes at once goes to the driver, the rest waits in the link; at the close, a
// drain bounded in time. What the driver holds for the line is noted at each write, since at a hang-up
// the kernel throws its buffer away before anyone can ask.
#include "serialdevice_posix.h"

#include "bounded.h"
#include "deviceerrors.h"

#include <QSocketNotifier>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <system_error>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace posixdevice {

namespace {

// The signal that ends a drain that has run out of time: its handler does nothing and the call it
// interrupts is not restarted, so tcdrain returns EINTR and lets its descriptor go.
int interruptSignal()
{
    static const int signal = [] {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0; // no SA_RESTART
        ::sigaction(SIGRTMIN, &action, nullptr);
        return SIGRTMIN;
    }();
    return signal;
}

} // namespace

// tcdrain is retried when a signal interrupts it. When the time is up, what could not go out is dropped
// and the drain is ended, so that its descriptor (closed by it) does not keep the port held, DTR up, for
// as long as a stalled adapter makes tcdrain wait.
bool drainWithin(int fd, qint64 waitMs)
{
    struct Drain {
        std::mutex mutex;
        std::condition_variable ended;
        bool done = false;
        bool stop = false;
        bool started = false;
        pthread_t thread{};
    };
    auto drain = std::make_shared<Drain>();
    const int signal = interruptSignal();
    try {
        runBeside([drain, fd] {
            {
                const std::lock_guard lock(drain->mutex);
                drain->thread = ::pthread_self();
                drain->started = true;
            }
            while (::tcdrain(fd) != 0 && errno == EINTR) {
                const std::lock_guard lock(drain->mutex);
                if (drain->stop)
                    break;
            }
            // Under the lock: the waiting side flushes the descriptor while it is still open.
            const std::lock_guard lock(drain->mutex);
            ::close(fd);
            drain->done = true;
            drain->ended.notify_all();
        });
    } catch (const std::system_error &) {
        ::close(fd);
        return false;
    }
    std::unique_lock lock(drain->mutex);
    if (drain->ended.wait_for(lock, std::chrono::milliseconds(std::max<qint64>(0, waitMs)),
                              [&] { return drain->done; }))
        return true;
    drain->stop = true;
    ::tcflush(fd, TCOFLUSH);
    // Until the drain has noticed: a signal sent just before it entered tcdrain would be lost.
    for (int round = 0; round < 20 && !drain->done; ++round) {
        if (drain->started)
            ::pthread_kill(drain->thread, signal);
        drain->ended.wait_for(lock, std::chrono::milliseconds(10), [&] { return drain->done; });
    }
    return false;
}

qsizetype PosixSerialDevice::send(const char *bytes, qsizetype count, DeviceError *error)
{
    for (;;) {
        const ssize_t n = ::write(m_fd, bytes, static_cast<size_t>(count));
        if (n > 0) {
            m_writtenSinceEmpty += n;
            noteDriverQueue();
            return n;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        if (n < 0 && errno == EINTR)
            continue;
        *error = ioError(n < 0 ? errno : EIO);
        noteLoss();
        return -1;
    }
}

void PosixSerialDevice::notifyWhenWritable()
{
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(true);
}

qsizetype PosixSerialDevice::pendingOutput()
{
    if (m_lost)
        return m_unsentAtLoss;
    return driverHolds();
}

bool PosixSerialDevice::waitWritable(qint64 timeoutMs)
{
    for (;;) {
        pollfd pfd{m_fd, POLLOUT, 0};
        const int ready = ::poll(&pfd, 1, static_cast<int>(std::max<qint64>(0, timeoutMs)));
        if (ready < 0 && errno == EINTR)
            continue;
        return ready > 0 && !(pfd.revents & (POLLERR | POLLHUP | POLLNVAL));
    }
}

bool PosixSerialDevice::waitSent(qint64 timeoutMs)
{
    if (m_fd < 0)
        return true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    auto remainingMs = [&] {
        return std::max<qint64>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                       deadline - std::chrono::steady_clock::now())
                                       .count());
    };
    // The driver's own buffer has left when TIOCOUTQ reads 0...
    for (;;) {
        int queued = 0;
        if (::ioctl(m_fd, TIOCOUTQ, &queued) != 0 || queued == 0)
            break;
        if (remainingMs() <= 0)
            return false;
        const qint64 stepMs = std::min<qint64>({queued * ByteLineUs / 1000 + 1, 20, remainingMs()}) + 1;
        ::usleep(static_cast<useconds_t>(stepMs * 1000));
    }
    // ...and the UART's transmitter is empty when tcdrain returns. tcdrain has no time limit of its
    // own, so it runs beside, on a descriptor of its own, for the time that is left.
    const int drainFd = ::fcntl(m_fd, F_DUPFD_CLOEXEC, 0);
    if (drainFd < 0)
        return true;
    return drainWithin(drainFd, remainingMs());
}

// What the driver holds for the line after a write, and when: at a hang-up the kernel throws its
// buffer away before anyone can ask, so the count of bytes that will never go out comes from here.
void PosixSerialDevice::noteDriverQueue()
{
    m_driverQueued = driverHolds();
    m_driverQueuedAt = std::chrono::steady_clock::now();
}

// What the driver says it holds for the line, but never more than was written since it last held
// nothing: cdc_acm counts each of its buffers in use as full (10,240 bytes for a 6-byte frame).
qsizetype PosixSerialDevice::driverHolds()
{
    int queued = 0;
    if (m_fd < 0 || ::ioctl(m_fd, TIOCOUTQ, &queued) != 0)
        return 0;
    if (queued <= 0) {
        m_writtenSinceEmpty = 0;
        return 0;
    }
    return std::min<qsizetype>(queued, m_writtenSinceEmpty);
}

// At least what the driver still held when the line went: what it held at the last write, less what
// the line can have sent since at 9600 baud.
void PosixSerialDevice::noteLoss()
{
    if (m_lost)
        return;
    m_lost = true;
    const qint64 sinceUs = std::chrono::duration_cast<std::chrono::microseconds>(
                               std::chrono::steady_clock::now() - m_driverQueuedAt)
                               .count();
    m_unsentAtLoss = std::max<qint64>(0, m_driverQueued - sinceUs / ByteLineUs);
}

} // namespace posixdevice
