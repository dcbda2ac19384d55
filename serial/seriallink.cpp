#include "seriallink.h"

#include "failure.h"

#include <QElapsedTimer>
#include <QMetaObject>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

QString systemError(int error)
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

// Time the line needs to send `bytes` at 9600 baud with 10 bits a byte (start, 8 data, stop).
qint64 lineTimeMs(qsizetype bytes)
{
    return (static_cast<qint64>(bytes) * 10 * 1000 + SerialLink::BaudRate - 1) / SerialLink::BaudRate;
}

constexpr qint64 CloseMarginMs = 500;

} // namespace

SerialLink::SerialLink(QObject *parent) : QObject(parent) {}

SerialLink::~SerialLink()
{
    close();
}

QString SerialLink::devicePath() const
{
    return devicePathForPort(m_portNumber).value_or(QString());
}

QString SerialLink::portName() const
{
    const QString path = devicePath();
    return path.isEmpty() ? QStringLiteral("COM%1").arg(m_portNumber)
                          : QStringLiteral("COM%1 (%2)").arg(m_portNumber).arg(path);
}

void SerialLink::setPortNumber(PortNumber number)
{
    if (isOpen())
        throw Failure(
            QStringLiteral("Le numéro de port ne peut pas changer pendant que le port %1 est ouvert.")
                .arg(portName()));
    if (!devicePathForPort(number))
        throw Failure(QStringLiteral("Le port numéro %1 n'existe pas : les numéros valides sont 1 à 96 "
                                     "et 1000 à 32767 (pseudo-terminaux).")
                          .arg(number));
    m_portNumber = number;
}

void SerialLink::open()
{
    if (isOpen())
        return;
    const QByteArray path = devicePath().toLocal8Bit();
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        throw Failure(
            QStringLiteral("Impossible d'ouvrir le port %1 : %2.").arg(portName(), systemError(error)));
    }
    auto refuse = [&](const QString &what, int error) {
        ::close(fd);
        throw Failure(
            QStringLiteral("Impossible d'ouvrir le port %1 : %2%3.")
                .arg(portName(), what, error ? QStringLiteral(" (%1)").arg(systemError(error)) : QString()));
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

    m_fd = fd;
    m_lost = false;
    m_unsentAtLoss = 0;
    m_event = NoEvent;
    m_readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &SerialLink::onReadable);
    m_writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &SerialLink::onWritable);
}

void SerialLink::close()
{
    if (!isOpen())
        return;
    const bool drained = m_lost || drainBeforeClose();
    delete m_readNotifier;
    m_readNotifier = nullptr;
    delete m_writeNotifier;
    m_writeNotifier = nullptr;
    // What a stuck line could not send in its time is dropped rather than letting close() wait for it
    // (the kernel would wait up to 30 s). Only then: on a pseudo-terminal the flush also discards what
    // the peer has not read yet.
    if (!drained)
        ::tcflush(m_fd, TCOFLUSH);
    // Give the exclusive mode back: a pseudo-terminal outlives this close while its peer holds the
    // other side, and would refuse the next open of a non-root user.
    ::ioctl(m_fd, TIOCNXCL);
    ::flock(m_fd, LOCK_UN);
    ::close(m_fd);
    m_fd = -1;
    m_output.clear();
    m_outputHead = 0;
    m_input.clear(); // nothing reads them now; a later open starts clean
    m_inputHead = 0;
}

bool SerialLink::drainBeforeClose()
{
    int kernelQueued = 0;
    if (::ioctl(m_fd, TIOCOUTQ, &kernelQueued) != 0)
        kernelQueued = 0;
    QElapsedTimer clock;
    clock.start();
    const qint64 budgetMs = lineTimeMs(outputQueued() + kernelQueued) + CloseMarginMs;

    while (outputQueued() > 0 && clock.elapsed() < budgetMs) {
        pollfd pfd{m_fd, POLLOUT, 0};
        const int ready = ::poll(&pfd, 1, static_cast<int>(budgetMs - clock.elapsed()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0 || (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)))
            break;
        try {
            flushOutput();
        } catch (const Failure &) {
            return true; // the line went away: nothing more can go out, nothing is left to drop
        }
    }
    if (outputQueued() > 0)
        return false;
    // Then wait until the driver has shifted its own buffer out onto the wire.
    for (;;) {
        if (::ioctl(m_fd, TIOCOUTQ, &kernelQueued) != 0 || kernelQueued == 0)
            return true;
        if (clock.elapsed() >= budgetMs)
            return false;
        ::usleep(static_cast<useconds_t>(std::min<qint64>(lineTimeMs(kernelQueued), 20)) * 1000 + 1000);
    }
}

void SerialLink::write(const PortWrite &bytes)
{
    if (!isOpen())
        throw Failure(
            QStringLiteral("Le port %1 n'est pas ouvert : appuyez sur « Connecter » avant d'envoyer.")
                .arg(portName()));
    if (m_lost)
        throw Failure(
            QStringLiteral("La liaison avec le port %1 a été perdue : rien ne peut plus être envoyé.")
                .arg(portName()));
    // Bytes still queued go first: append, and hand the queue to the kernel when the calling operation
    // returns to the event loop, or at once when a chunk has gathered. One system call then carries a
    // whole frame or a long list instead of one call per byte; on the line the bytes are the same,
    // back to back and in order. While the kernel is known to be full the write notifier drains.
    m_output.append(bytes);
    if (m_writeNotifier->isEnabled())
        return;
    if (outputQueued() >= FlushChunk) {
        flushToKernel();
        return;
    }
    if (m_flushPosted)
        return;
    m_flushPosted = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_flushPosted = false;
            if (isOpen() && !m_lost && !m_writeNotifier->isEnabled())
                flushToKernelReportingLoss();
        },
        Qt::QueuedConnection);
}

void SerialLink::flushToKernel()
{
    if (!flushOutput())
        m_writeNotifier->setEnabled(true);
}

void SerialLink::flushToKernelReportingLoss()
{
    try {
        flushToKernel();
    } catch (const Failure &) {
        // loseLine() has reported the loss; the next write names it to the user.
    }
}

bool SerialLink::flushOutput()
{
    while (m_outputHead < m_output.size()) {
        const ssize_t n = ::write(m_fd, m_output.constData() + m_outputHead,
                                  static_cast<size_t>(m_output.size() - m_outputHead));
        if (n > 0) {
            m_outputHead += n;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Keep the queue from growing without end on a line that is always busy.
            if (m_outputHead > 65536 && m_outputHead * 2 > m_output.size()) {
                m_output.remove(0, m_outputHead);
                m_outputHead = 0;
            }
            return false;
        }
        if (n < 0 && errno == EINTR)
            continue;
        failOnWrite(n < 0 ? errno : EIO);
    }
    m_output.clear();
    m_outputHead = 0;
    return true;
}

void SerialLink::failOnWrite(int error)
{
    const QString name = portName();
    loseLine(error);
    throw Failure(QStringLiteral("L'envoi sur le port %1 a échoué : %2.").arg(name, systemError(error)));
}

void SerialLink::onWritable()
{
    m_writeNotifier->setEnabled(false);
    flushToKernelReportingLoss();
}

void SerialLink::onReadable()
{
    char chunk[4096];
    const qsizetype before = bytesWaiting();
    for (;;) {
        const ssize_t n = ::read(m_fd, chunk, sizeof chunk);
        if (n > 0) {
            m_input.append(chunk, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        // 0 (end of file) or an error such as EIO: the device or the peer has gone.
        loseLine(n < 0 ? errno : 0);
        return;
    }
    if (bytesWaiting() > before && bytesWaiting() >= ReceiveThreshold)
        raise(Received);
}

void SerialLink::loseLine(int)
{
    if (m_lost)
        return;
    m_lost = true;
    // Stop watching the descriptor: a hung-up device stays readable forever and would spin the loop.
    if (m_readNotifier)
        m_readNotifier->setEnabled(false);
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
    m_unsentAtLoss = outputQueued();
    m_output.clear();
    m_outputHead = 0;
    QMetaObject::invokeMethod(
        this, [this] { raise(LineLost); }, Qt::QueuedConnection);
}

void SerialLink::raise(Event event)
{
    m_event = event;
    emit notified();
}

QByteArray SerialLink::read()
{
    const qsizetype count =
        m_readLength > 0 ? std::min<qsizetype>(m_readLength, bytesWaiting()) : bytesWaiting();
    QByteArray bytes = m_input.mid(m_inputHead, count);
    m_inputHead += count;
    if (m_inputHead == m_input.size()) {
        m_input.clear();
        m_inputHead = 0;
    } else if (m_inputHead > 4096 && m_inputHead * 2 > m_input.size()) {
        m_input.remove(0, m_inputHead);
        m_inputHead = 0;
    }
    renotifyIfWaiting();
    return bytes;
}

void SerialLink::renotifyIfWaiting()
{
    if (m_renotifyQueued || bytesWaiting() < ReceiveThreshold)
        return;
    m_renotifyQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_renotifyQueued = false;
            if (bytesWaiting() >= ReceiveThreshold)
                raise(Received);
        },
        Qt::QueuedConnection);
}
