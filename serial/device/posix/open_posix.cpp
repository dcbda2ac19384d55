// Opening: the lock file first, then the device, exclusively, its line set up and DTR raised, and the
// input the line held before dropped.
#include "serialdevice_posix.h"

#include "deviceerrors.h"
#include "posixerrors.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace posixdevice {

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

} // namespace posixdevice
