// LinePeer: the device at the far end of the console's line, as each test rig plays it (a
// pseudo-terminal, a wine COM port, a UART in a QEMU guest). The shared scenarios drive every rig
// through this alone.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

// Line settings as the device side sees them, by the names of their termios fields in lower case:
// speeds in baud, csize in bits, flags 0 or 1. A rig leaves out what it cannot read.
using LineSettings = QMap<QString, qint64>;

// Settings written as "name=value name=value...".
inline LineSettings settingsFrom(const QByteArray &text)
{
    LineSettings settings;
    for (const QByteArray &pair : text.simplified().split(' '))
        if (const qsizetype eq = pair.indexOf('='); eq > 0)
            settings.insert(QString::fromLatin1(pair.left(eq)), pair.mid(eq + 1).toLongLong());
    return settings;
}

class LinePeer {
public:
    virtual ~LinePeer() = default;
    // What to type in the Com box.
    virtual QString portText() const = 0;
    // The device the console opens for it.
    virtual QString devicePath() const = 0;
    // The device sends these bytes; they are on the line when this returns.
    virtual void send(const QByteArray &bytes) = 0;
    // What the device has received, oldest first, until `count` bytes have come or `ms` have passed
    // (fewer on time-out), the console's event loop running meanwhile.
    virtual QByteArray take(qsizetype count, int ms) = 0;
    virtual LineSettings settings() = 0;
    // The device goes away, as when a cable is pulled. Empty when done, else why this rig cannot.
    virtual QString hangUp() = 0;
    // The device sends `bytes`, the one at `index` spoiled on the line (a framing error), as a glitch or a
    // device at another speed gives it. Empty when done, else why this rig cannot.
    virtual QString sendSpoiled(const QByteArray &bytes, qsizetype index)
    {
        Q_UNUSED(bytes);
        Q_UNUSED(index);
        return QStringLiteral("this rig cannot spoil a byte on the line");
    }
    // The line has a framing error that brings no byte, as a device switched off and on leaves it; returns
    // once the console's side of the line has counted it. Empty when done, else why this rig cannot.
    virtual QString errorWithoutByte() { return QStringLiteral("this rig cannot make a line error"); }
    // Called once the console holds the line: a rig that held a handle of its own lets it go.
    virtual void connected() {}
    // Handles this process holds on the console's line, -1 when the rig cannot count them.
    virtual int handlesOnLine() const { return -1; }
    // Whether the system's list of present ports names this one.
    virtual bool listed() const { return false; }
    // How long the rig may take to carry a few bytes (an emulated machine is slow).
    virtual int waitMs() const { return 5000; }
};

#ifndef _WIN32
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

// Whatever is readable on the non-blocking `fd` now, waiting at most `ms` for the first byte.
inline QByteArray readAvailable(int fd, int ms = 0)
{
    QByteArray got;
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, ms) <= 0)
        return got;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        got.append(buffer, n);
    }
    return got;
}

// Reads `fd` until `count` bytes have come or `ms` have passed, keeping the console's event loop
// running meanwhile (it drains its queue from there).
inline QByteArray readAtLeast(int fd, qsizetype count, int ms)
{
    QByteArray got;
    QDeadlineTimer deadline(ms);
    while (got.size() < count && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        got += readAvailable(fd, 5);
    }
    return got;
}

// Writes all of `bytes` to the non-blocking `fd`, waiting while it is full: true when all went within
// `ms`. Safe on a thread of its own while another keeps the console's event loop running.
inline bool writeAll(int fd, const QByteArray &bytes, int ms)
{
    QDeadlineTimer deadline(ms);
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (deadline.hasExpired() || (n < 0 && errno != EAGAIN && errno != EINTR))
            return false;
        pollfd pfd{fd, POLLOUT, 0};
        ::poll(&pfd, 1, 20);
    }
    return true;
}

// Descriptors this process holds on the device `path`, one the system has since removed included
// ("/dev/ttyACM0 (deleted)").
inline int descriptorsOn(const QString &path)
{
    int count = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString &fd : fds.entryList(QDir::Files | QDir::System)) {
        const QString target = QFile::symLinkTarget(fds.filePath(fd));
        count += target == path || target.startsWith(path + QLatin1String(" "));
    }
    return count;
}

// The settings a termios structure holds.
inline LineSettings settingsOf(const termios &tio)
{
    auto baud = [](speed_t s) -> qint64 {
        const QMap<speed_t, qint64> known = {{B1200, 1200},   {B2400, 2400},    {B4800, 4800},
                                             {B9600, 9600},   {B19200, 19200},  {B38400, 38400},
                                             {B57600, 57600}, {B115200, 115200}};
        return known.value(s, -1);
    };
    LineSettings s = {{"ispeed", baud(::cfgetispeed(&tio))},
                      {"ospeed", baud(::cfgetospeed(&tio))},
                      {"csize", 5 + qint64((tio.c_cflag & CSIZE) / CS6)}};
    const struct {
        const char *name;
        tcflag_t termios::*field;
        tcflag_t flag;
    } flags[] = {{"parenb", &termios::c_cflag, PARENB},   {"cstopb", &termios::c_cflag, CSTOPB},
                 {"crtscts", &termios::c_cflag, CRTSCTS}, {"clocal", &termios::c_cflag, CLOCAL},
                 {"cread", &termios::c_cflag, CREAD},     {"ixon", &termios::c_iflag, IXON},
                 {"ixoff", &termios::c_iflag, IXOFF},     {"ixany", &termios::c_iflag, IXANY},
                 {"icrnl", &termios::c_iflag, ICRNL},     {"inlcr", &termios::c_iflag, INLCR},
                 {"igncr", &termios::c_iflag, IGNCR},     {"istrip", &termios::c_iflag, ISTRIP},
                 {"parmrk", &termios::c_iflag, PARMRK},   {"inpck", &termios::c_iflag, INPCK},
                 {"ignbrk", &termios::c_iflag, IGNBRK},   {"ignpar", &termios::c_iflag, IGNPAR},
                 {"icanon", &termios::c_lflag, ICANON},   {"echo", &termios::c_lflag, ECHO},
                 {"isig", &termios::c_lflag, ISIG},       {"iexten", &termios::c_lflag, IEXTEN},
                 {"opost", &termios::c_oflag, OPOST}};
    for (const auto &f : flags)
        s.insert(QString::fromLatin1(f.name), (tio.*f.field & f.flag) ? 1 : 0);
    return s;
}
#endif
