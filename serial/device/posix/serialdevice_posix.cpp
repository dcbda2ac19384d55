// The serial device on Linux: termios, non-blocking I/O and QSocketNotifiers on the Qt event loop. The
// port is opened beside the event loop (open_posix.cpp); received bytes are read as soon as they are
// readable, with the driver's marks and counts of spoiled and lost bytes (receive_posix.cpp); writes take
// what the driver accepts now, and the close drains within its bound (write_posix.cpp).
#include "serialdevice_posix.h"

#include "bounded.h"

#include <QObject>
#include <QSocketNotifier>

#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace posixdevice {

PosixSerialDevice::PosixSerialDevice(QString path, QString name, QObject *context, DeviceEvents *events)
    : m_path(std::move(path)), m_name(std::move(name)), m_context(context), m_events(events), m_lock(m_path)
{
}

PosixSerialDevice::~PosixSerialDevice()
{
    *m_alive = false;
    stopWatching();
    release(true);
}

void PosixSerialDevice::open()
{
    m_fd = openConfigured(m_path, m_name, m_lock);
    // What the driver counted before: errors of the line from before the console opened it are not this
    // session's (the input they spoiled was dropped).
    m_counted = countedLineErrors(m_fd);
}

void PosixSerialDevice::start()
{
    if (m_fd < 0)
        return;
    m_readNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, m_context);
    QObject::connect(m_readNotifier, &QSocketNotifier::activated, m_readNotifier, [this] { onReadable(); });
    m_writeNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Write, m_context);
    m_writeNotifier->setEnabled(false);
    QObject::connect(m_writeNotifier, &QSocketNotifier::activated, m_writeNotifier, [this] {
        m_writeNotifier->setEnabled(false);
        m_events->writable();
    });
}

void PosixSerialDevice::stopWatching()
{
    // Disabled, not deleted: this may run inside the notifier's own signal.
    if (m_readNotifier)
        m_readNotifier->setEnabled(false);
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
}

void PosixSerialDevice::release(bool drained)
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

} // namespace posixdevice

std::unique_ptr<SerialDevice> makeSerialDevice(const QString &path, const QString &name, QObject *context,
                                               DeviceEvents *events)
{
    return std::make_unique<posixdevice::PosixSerialDevice>(path, name, context, events);
}
