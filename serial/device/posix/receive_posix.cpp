// Receiving: everything readable is read at once and handed over in order. The line discipline marks a
// byte the driver flagged with a framing or parity error in place (termiosline.h): it goes to the link as
// a spoiled byte, where it came. The driver's counters (TIOCGICOUNT) are read with each read and when the
// link asks, as the line falls silent: they give the marked bytes their kind, and what they count beyond
// the marked bytes (a byte the UART lost, an error of a driver that counts without flagging) came with no
// byte, and is reported before the bytes read with it.
#include "serialdevice_posix.h"

#include "deviceerrors.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace posixdevice {

std::optional<LineErrors> countedLineErrors(int fd)
{
    serial_icounter_struct counts{};
    if (::ioctl(fd, TIOCGICOUNT, &counts) != 0)
        return std::nullopt;
    LineErrors errors;
    errors.frame = counts.frame;
    errors.parity = counts.parity;
    errors.overrun = counts.overrun;
    errors.bufferOverrun = counts.buf_overrun;
    return errors;
}

// What the driver has counted since the last look.
LineErrors PosixSerialDevice::newlyCounted()
{
    const std::optional<LineErrors> now = countedLineErrors(m_fd);
    LineErrors counted;
    if (now && m_counted) {
        const auto since = [](int now, int before) { return std::max(0, now - before); };
        counted.frame = since(now->frame, m_counted->frame);
        counted.parity = since(now->parity, m_counted->parity);
        counted.overrun = since(now->overrun, m_counted->overrun);
        counted.bufferOverrun = since(now->bufferOverrun, m_counted->bufferOverrun);
    }
    if (now)
        m_counted = now;
    return counted;
}

void PosixSerialDevice::checkLineErrors()
{
    if (m_fd < 0)
        return;
    if (const LineErrors counted = newlyCounted(); counted.total() > 0)
        m_events->lineErrors(counted, nullptr, 0);
}

void PosixSerialDevice::onReadable()
{
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
    const QList<MarkedInput::Piece> pieces = m_marks.decode(bytes.constData(), bytes.size());
    // Each marked byte takes a kind the driver counted (it cannot tell which of its bytes had which);
    // what the counts say beyond the marked bytes came with none.
    LineErrors unmarked = newlyCounted();
    QList<LineErrors> marked;
    for (const MarkedInput::Piece &piece : pieces) {
        if (!piece.spoiled)
            continue;
        LineErrors kind;
        if (unmarked.parity > 0) {
            --unmarked.parity;
            kind.parity = 1;
        } else if (unmarked.frame > 0) {
            --unmarked.frame;
            kind.frame = 1;
        } else {
            kind.damaged = 1;
        }
        marked << kind;
    }
    if (error) {
        // A hung-up device stays readable forever: stop watching it before saying so.
        stopWatching();
        noteLoss();
    }
    // The link may show an answer, or even close the port (and so delete this device), from any call
    // below: they use nothing of the device but `alive`.
    DeviceEvents *events = m_events;
    const std::shared_ptr<bool> alive = m_alive;
    if (unmarked.total() > 0) {
        events->lineErrors(unmarked, nullptr, 0);
        if (!*alive)
            return;
    }
    if (error) {
        DeviceError lost = ioError(error);
        lost.gone = true; // a read that fails or ends is a line that has gone, whatever the code
        events->lost(lost);
        if (!*alive)
            return;
    }
    qsizetype nextMark = 0;
    for (const MarkedInput::Piece &piece : pieces) {
        if (piece.spoiled)
            events->lineErrors(marked.at(nextMark++), piece.bytes.constData(), piece.bytes.size());
        else
            events->received(piece.bytes.constData(), piece.bytes.size());
        if (!*alive)
            return;
    }
}

} // namespace posixdevice
