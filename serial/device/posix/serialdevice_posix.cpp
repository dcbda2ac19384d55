// The serial device on Linux: termios, non-blocking I/O and QSocketNotifiers on the Qt event loop.
#include "serialdevice.h"

#include "bounded.h"
#include "deviceerrors.h"
#include "portlock.h"
#include "posixerrors.h"
#include "termiosline.h"

#include <QObject>
#include <QSocketNotifier>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Opens the device and sets the line up; returns its descriptor. Holds `lock` while the port is open.
int openConfigured(const QString &path, const QString &name, PortLock &lock)
{
    // The lock file first: a port that another program holds is not even opened, since opening raises
    // DTR, which resets some devices.
    if (const std::optional<PortLock::Holder> holder = lock.acquire())
        throw OpenFailure(PortLock::refusalCause(*holder),
                          openFailureMessage(name, PortLock::refusalText(*holder)));

    const QByteArray localPath = path.toLocal8Bit();
    const int fd = ::open(localPath.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == EACCES || error == EPERM)
            throw OpenFailure(OpenFailure::Other, openFailureMessage(name, accessRefusedText(path)));
        throw openFailureFor(name, error);
    }
    auto refuse = [&](OpenFailure::Cause cause, const QString &what, int error) {
        ::close(fd);
        throw OpenFailure(
            cause, openFailureMessage(
                       name, what + (error ? QStringLiteral(" (%1)").arg(openErrorText(error)) : QString())));
    };

    // A PC has ttyS0 to ttyS3 whatever its hardware: a node with no UART behind it opens, but the serial
    // core reports its type as unknown. (Only for the serial core's ttyS: USB ACM devices report no type
    // at all.)
    serial_struct info{};
    if (path.startsWith(QLatin1String("/dev/ttyS")) && ::ioctl(fd, TIOCGSERIAL, &info) == 0 &&
        info.type == PORT_UNKNOWN)
        refuse(OpenFailure::Missing,
               DeviceText::Missing.toString() + QStringLiteral(" (aucun circuit série à cette adresse)"), 0);

    // Exclusive: TIOCEXCL keeps other programs out (root excepted), flock keeps out every program that
    // also locks, root included.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (error == EWOULDBLOCK)
            refuse(OpenFailure::Busy, DeviceText::Busy.toString(), 0);
        refuse(OpenFailure::Other, QStringLiteral("verrouillage impossible"), error);
    }
    if (::ioctl(fd, TIOCEXCL) != 0)
        refuse(OpenFailure::Other, QStringLiteral("accès exclusif impossible"), errno);

    if (const std::optional<LineSetupFailure> failed = setUpLine(fd))
        refuse(OpenFailure::Other, failed->what, failed->error);

    // DTR up. A pseudo-terminal has no modem lines and answers ENOTTY or EINVAL: not a failure.
    const int dtr = TIOCM_DTR;
    if (::ioctl(fd, TIOCMBIS, &dtr) != 0 && errno != ENOTTY && errno != EINVAL)
        refuse(OpenFailure::Other, QStringLiteral("impossible de lever DTR"), errno);

    // What the line held before it was opened, and whatever came while it settled, would shift every
    // three-byte answer after it: drop it.
    ::usleep(SerialDevice::SettleMs * 1000);
    ::tcflush(fd, TCIFLUSH);

    return fd;
}

// The driver's counts of lost and spoiled bytes; nothing where it keeps none (a pseudo-terminal).
std::optional<LineErrors> countedLineErrors(int fd)
{
    serial_icounter_struct counts{};
    if (::ioctl(fd, TIOCGICOUNT, &counts) != 0)
        return std::nullopt;
    return LineErrors{counts.frame, counts.parity, counts.overrun, counts.buf_overrun};
}

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

// Runs tcdrain on `fd` beside for at most `waitMs`, retrying it when a signal interrupts it; true when
// everything went out. When the time is up, what could not go out is dropped and the drain is ended, so
// that its descriptor (closed by it) does not keep the port held, DTR up, for as long as a stalled
// adapter makes tcdrain wait.
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

// Line time of one byte at 9600 baud (start, 8 data, stop bits), in microseconds.
constexpr qint64 ByteLineUs = 10 * 1000 * 1000 / SerialDevice::BaudRate;

class PosixSerialDevice final : public SerialDevice {
public:
    PosixSerialDevice(QString path, QString name, QObject *context, DeviceEvents *events)
        : m_path(std::move(path)), m_name(std::move(name)), m_context(context), m_events(events),
          m_lock(m_path)
    {
    }
    Q_DISABLE_COPY_MOVE(PosixSerialDevice)

    ~PosixSerialDevice() override
    {
        stopWatching();
        release(true);
    }

    void open() override
    {
        m_fd = openConfigured(m_path, m_name, m_lock);
        // What the driver counted before: errors of the line from before the console opened it are
        // not this session's (the input they spoiled was dropped).
        m_errorsAtOpen = countedLineErrors(m_fd);
    }

    void start() override
    {
        if (m_fd < 0)
            return;
        m_readNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, m_context);
        QObject::connect(m_readNotifier, &QSocketNotifier::activated, m_readNotifier,
                         [this] { onReadable(); });
        m_writeNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Write, m_context);
        m_writeNotifier->setEnabled(false);
        QObject::connect(m_writeNotifier, &QSocketNotifier::activated, m_writeNotifier, [this] {
            m_writeNotifier->setEnabled(false);
            m_events->writable();
        });
    }

    qsizetype send(const char *bytes, qsizetype count, DeviceError *error) override
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

    void notifyWhenWritable() override
    {
        if (m_writeNotifier)
            m_writeNotifier->setEnabled(true);
    }

    qsizetype pendingOutput() override
    {
        if (m_lost)
            return m_unsentAtLoss;
        return driverHolds();
    }

    bool waitWritable(qint64 timeoutMs) override
    {
        for (;;) {
            pollfd pfd{m_fd, POLLOUT, 0};
            const int ready = ::poll(&pfd, 1, static_cast<int>(std::max<qint64>(0, timeoutMs)));
            if (ready < 0 && errno == EINTR)
                continue;
            return ready > 0 && !(pfd.revents & (POLLERR | POLLHUP | POLLNVAL));
        }
    }

    bool waitSent(qint64 timeoutMs) override
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

    void checkLineErrors() override {}

    void stopWatching() override
    {
        // Disabled, not deleted: this may run inside the notifier's own signal.
        if (m_readNotifier)
            m_readNotifier->setEnabled(false);
        if (m_writeNotifier)
            m_writeNotifier->setEnabled(false);
    }

    void release(bool drained) override
    {
        if (m_fd < 0)
            return;
        stopWatching();
        // The notifiers may be inside their own signal here: they go from the event loop.
        for (QSocketNotifier **notifier : {&m_readNotifier, &m_writeNotifier}) {
            if (*notifier)
                (*notifier)->deleteLater();
            *notifier = nullptr;
        }
        // What a stuck line could not send in its time is dropped rather than left for the final close
        // to wait for. Only then: on a pseudo-terminal the flush also discards what the peer has not read.
        if (!drained)
            ::tcflush(m_fd, TCOFLUSH);
        // Give the exclusive mode back: a pseudo-terminal outlives this close while its peer holds the
        // other side, and would refuse the next open of a non-root user.
        ::ioctl(m_fd, TIOCNXCL);
        ::flock(m_fd, LOCK_UN);
        // The kernel's close of a tty waits up to its closing_wait (30 s) for output that a driver says
        // is still queued, whatever O_NONBLOCK says, and some USB drivers always say so: the close runs
        // beside, and the port counts as released once it has been handed over.
        const int fd = m_fd;
        m_fd = -1;
        runBounded(ReleaseWaitMs, [fd] { ::close(fd); });
        m_lock.release();
    }

private:
    // What the driver holds for the line after a write, and when: at a hang-up the kernel throws its
    // buffer away before anyone can ask, so the count of bytes that will never go out comes from here.
    void noteDriverQueue()
    {
        m_driverQueued = driverHolds();
        m_driverQueuedAt = std::chrono::steady_clock::now();
    }

    // What the driver says it holds for the line, but never more than was written since it last held
    // nothing: cdc_acm counts each of its buffers in use as full (10,240 bytes for a 6-byte frame).
    qsizetype driverHolds()
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
    void noteLoss()
    {
        if (m_lost)
            return;
        m_lost = true;
        const qint64 sinceUs = std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now() - m_driverQueuedAt)
                                   .count();
        m_unsentAtLoss = std::max<qint64>(0, m_driverQueued - sinceUs / ByteLineUs);
    }

    void onReadable()
    {
        // Gather everything waiting, then hand it over in one call: the link may show an answer, or
        // even close the port (and so delete this device) before that call returns.
        QByteArray bytes;
        char chunk[4096];
        int error = 0;
        for (;;) {
            const ssize_t n = ::read(m_fd, chunk, sizeof chunk);
            if (n > 0) {
                bytes.append(chunk, n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            // 0 (end of file) or an error such as EIO: the device or the peer has gone.
            error = n < 0 ? errno : EIO;
            break;
        }
        // PARMRK doubles each 0xFF on its way in (termiosline.h).
        bytes = m_marks.decode(bytes.constData(), bytes.size());
        DeviceEvents *events = m_events;
        // Errors first: the bytes read with them could be shifted.
        LineErrors errors;
        if (const std::optional<LineErrors> now = countedLineErrors(m_fd); now && m_errorsAtOpen)
            errors = {now->frame - m_errorsAtOpen->frame, now->parity - m_errorsAtOpen->parity,
                      now->overrun - m_errorsAtOpen->overrun,
                      now->bufferOverrun - m_errorsAtOpen->bufferOverrun};
        if (errors.total() > m_errorsReported) {
            m_errorsReported = errors.total();
            events->lineErrors(errors, nullptr, 0);
        }
        if (error) {
            // A hung-up device stays readable forever: stop watching it before saying so.
            stopWatching();
            noteLoss();
            DeviceError lost = ioError(error);
            lost.gone = true; // a read that fails or ends is a line that has gone, whatever the code
            events->lost(lost);
        }
        if (!bytes.isEmpty())
            events->received(bytes.constData(), bytes.size());
    }

    const QString m_path;
    const QString m_name;
    QObject *const m_context;
    DeviceEvents *const m_events;
    PortLock m_lock;
    int m_fd = -1;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    qsizetype m_driverQueued = 0;
    qsizetype m_writtenSinceEmpty = 0; // bytes written since the driver last said it held none
    std::chrono::steady_clock::time_point m_driverQueuedAt;
    bool m_lost = false;
    qsizetype m_unsentAtLoss = 0;
    MarkedInput m_marks;
    std::optional<LineErrors> m_errorsAtOpen;
    int m_errorsReported = 0;
};

} // namespace

std::unique_ptr<SerialDevice> makeSerialDevice(const QString &path, const QString &name, QObject *context,
                                               DeviceEvents *events)
{
    return std::make_unique<PosixSerialDevice>(path, name, context, events);
}
