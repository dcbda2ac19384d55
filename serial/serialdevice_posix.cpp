// The serial device on Linux: termios, non-blocking I/O and QSocketNotifiers on the Qt event loop.
#include "serialdevice.h"

#include "failure.h"
#include "seriallink.h"

#include <QObject>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

QString deviceErrorText(int error)
{
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return QStringLiteral("le périphérique n'existe pas");
    case EACCES:
    case EPERM:
        return QStringLiteral("accès refusé (l'utilisateur doit appartenir au groupe dialout)");
    case EBUSY:
    case EWOULDBLOCK:
        return QStringLiteral("le port est occupé par un autre programme");
    case ENOTTY:
    case EINVAL:
        return QStringLiteral("ce n'est pas un port série");
    case EIO:
        return QStringLiteral("erreur d'entrée-sortie (port absent ou débranché)");
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}

namespace {

class PosixSerialDevice final : public SerialDevice {
public:
    PosixSerialDevice(int fd, QObject *context, DeviceEvents *events) : m_fd(fd), m_events(events)
    {
        m_readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, context);
        QObject::connect(m_readNotifier, &QSocketNotifier::activated, m_readNotifier,
                         [this] { onReadable(); });
        m_writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, context);
        m_writeNotifier->setEnabled(false);
        QObject::connect(m_writeNotifier, &QSocketNotifier::activated, m_writeNotifier, [this] {
            m_writeNotifier->setEnabled(false);
            m_events->writable();
        });
    }

    ~PosixSerialDevice() override
    {
        stopWatching();
        if (m_fd >= 0)
            release(true);
    }

    qsizetype send(const char *bytes, qsizetype count, QString *error) override
    {
        for (;;) {
            const ssize_t n = ::write(m_fd, bytes, static_cast<size_t>(count));
            if (n > 0)
                return n;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return 0;
            if (n < 0 && errno == EINTR)
                continue;
            *error = deviceErrorText(n < 0 ? errno : EIO);
            return -1;
        }
    }

    void notifyWhenWritable() override { m_writeNotifier->setEnabled(true); }

    qsizetype pendingOutput() override
    {
        int queued = 0;
        return ::ioctl(m_fd, TIOCOUTQ, &queued) == 0 ? queued : 0;
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
        // The driver's own buffer has left when TIOCOUTQ reads 0.
        const qint64 lineMsPerByte = 10 * 1000 / SerialLink::BaudRate + 1;
        for (qint64 waited = 0;;) {
            int queued = 0;
            if (::ioctl(m_fd, TIOCOUTQ, &queued) != 0 || queued == 0)
                return true;
            if (waited >= timeoutMs)
                return false;
            const qint64 stepMs = std::min<qint64>(queued * lineMsPerByte, 20) + 1;
            ::usleep(static_cast<useconds_t>(stepMs * 1000));
            waited += stepMs;
        }
    }

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
        // What a stuck line could not send in its time is dropped rather than letting close() wait for
        // it (the kernel would wait up to 30 s). Only then: on a pseudo-terminal the flush also
        // discards what the peer has not read yet.
        if (!drained)
            ::tcflush(m_fd, TCOFLUSH);
        // Give the exclusive mode back: a pseudo-terminal outlives this close while its peer holds the
        // other side, and would refuse the next open of a non-root user.
        ::ioctl(m_fd, TIOCNXCL);
        ::flock(m_fd, LOCK_UN);
        ::close(m_fd);
        m_fd = -1;
        delete m_readNotifier;
        m_readNotifier = nullptr;
        delete m_writeNotifier;
        m_writeNotifier = nullptr;
    }

private:
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
        if (error) {
            // A hung-up device stays readable forever: stop watching it before saying so.
            stopWatching();
            m_events->lost(deviceErrorText(error));
        }
        if (!bytes.isEmpty())
            m_events->received(bytes.constData(), bytes.size());
    }

    int m_fd;
    DeviceEvents *m_events;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
};

} // namespace

std::unique_ptr<SerialDevice> openSerialDevice(const QString &path, const QString &name, QObject *context,
                                               DeviceEvents *events)
{
    const QByteArray localPath = path.toLocal8Bit();
    const int fd = ::open(localPath.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw Failure(openFailureMessage(name, deviceErrorText(errno)));
    auto refuse = [&](const QString &what, int error) {
        ::close(fd);
        throw Failure(openFailureMessage(
            name, what + (error ? QStringLiteral(" (%1)").arg(deviceErrorText(error)) : QString())));
    };

    // Exclusive: TIOCEXCL keeps other programs out (root excepted), flock keeps out every program that
    // also locks, root included.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        refuse(error == EWOULDBLOCK ? QStringLiteral("le port est occupé par un autre programme")
                                    : QStringLiteral("verrouillage impossible"),
               error == EWOULDBLOCK ? 0 : error);
    }
    if (::ioctl(fd, TIOCEXCL) != 0)
        refuse(QStringLiteral("accès exclusif impossible"), errno);

    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        refuse(QStringLiteral("ce n'est pas un port série"), 0);
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B9600);
    ::cfsetospeed(&tio, B9600);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0)
        refuse(QStringLiteral("réglage de la ligne à 9600 bauds 8N1 impossible"), errno);
    // tcsetattr succeeds when any one setting took: read them back.
    termios applied{};
    if (::tcgetattr(fd, &applied) != 0 || ::cfgetospeed(&applied) != B9600 ||
        (applied.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS)) != CS8)
        refuse(QStringLiteral("le port n'accepte pas 9600 bauds 8N1 sans contrôle de flux"), 0);

    // DTR up. A pseudo-terminal has no modem lines and answers ENOTTY or EINVAL: not a failure.
    const int dtr = TIOCM_DTR;
    if (::ioctl(fd, TIOCMBIS, &dtr) != 0 && errno != ENOTTY && errno != EINVAL)
        refuse(QStringLiteral("impossible de lever DTR"), errno);

    return std::make_unique<PosixSerialDevice>(fd, context, events);
}
