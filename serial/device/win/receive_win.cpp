// Receiving: every PollMs a timer on the event loop asks ClearCommError how many bytes wait and reads
// exactly those, with "return at once" timeouts. No WaitCommEvent: drivers differ most there (an
// EV_RXCHAR that never comes for bytes already queued, waits refused with error 87, waits that end at
// once or keep aborting, as wine's do on a line without modem lines), and a poll depends on none of it.
// Idle, that is one ClearCommError a tick and nothing else.
#include "serialdevice_win.h"

#include "deviceerrors.h"

#include <QObject>
#include <QTimer>
#include <QWinEventNotifier>

#include <algorithm>

namespace windevice {

void WinSerialDevice::start()
{
    if (m_handle == INVALID_HANDLE_VALUE)
        return;
    if (!m_io->hasEvents())
        throw OpenFailure(OpenFailure::Other,
                          openFailureMessage(m_name, QStringLiteral("ressources système épuisées")));
    // A port that cannot even say what it has received is refused at once rather than left deaf.
    COMSTAT status{};
    DWORD errors = 0;
    if (!win32().clearCommError(m_handle, &errors, &status))
        throw OpenFailure(OpenFailure::Other,
                          openFailureMessage(m_name, QStringLiteral("surveillance de la réception "
                                                                    "impossible (%1)")
                                                         .arg(ioError(int(GetLastError())).reason)));
    m_readNotifier = makeNotifier(m_io->readOv.hEvent, &WinSerialDevice::onReadDone);
    m_writeNotifier = makeNotifier(m_io->writeOv.hEvent, &WinSerialDevice::onWriteDone);
    m_poll = new QTimer(m_context);
    QObject::connect(m_poll, &QTimer::timeout, m_poll, [this] { onTick(); });
    m_receive = Receive::Polling;
    // Events come from the event loop only: the first tick, like every other, reads from there.
    m_poll->start(PollMs);
}

void WinSerialDevice::onTick()
{
    if (m_receive != Receive::Polling)
        return;
    readWaiting();
    postDelivery();
}

void WinSerialDevice::onReadDone()
{
    if (m_receive != Receive::Reading)
        return;
    const std::optional<Ended> ended = collect(m_io->readOv, m_readNotifier);
    if (!ended)
        return;
    m_receive = Receive::Polling;
    if (ended->count > 0)
        m_incoming.append(m_io->readBuffer, qsizetype(ended->count));
    if (ended->error != ERROR_SUCCESS)
        loseWith(ended->error);
    else
        readWaiting();
    postDelivery();
}

// Reads what the port says is waiting into m_incoming, until nothing is; a read the driver keeps
// pending ends through its notifier.
void WinSerialDevice::readWaiting()
{
    while (m_receive == Receive::Polling) {
        COMSTAT status{};
        if (!portStatus(&status)) {
            loseWith(GetLastError());
            return;
        }
        if (status.cbInQue == 0)
            return;
        // Only what is waiting: some drivers (wine's among them) keep a read pending until the next
        // byte arrives, whatever the timeouts say.
        const DWORD wanted = std::min<DWORD>(status.cbInQue, ReadChunk);
        DWORD n = 0;
        IoBlocks::lend(m_io->readOv);
        if (win32().readFile(m_handle, m_io->readBuffer, wanted, &n, &m_io->readOv)) {
            IoBlocks::takeBack(m_io->readOv);
            if (n == 0)
                return;
            m_incoming.append(m_io->readBuffer, qsizetype(n));
            continue;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            IoBlocks::takeBack(m_io->readOv);
            loseWith(error);
            return;
        }
        m_receive = Receive::Reading;
        m_readNotifier->setEnabled(true);
    }
}

bool WinSerialDevice::portStatus(COMSTAT *status)
{
    DWORD errors = 0;
    if (!win32().clearCommError(m_handle, &errors, status))
        return false;
    // Each flag stands for at least one byte lost or spoiled since the last call; breaks are not.
    m_lineErrors.frame += (errors & CE_FRAME) ? 1 : 0;
    m_lineErrors.parity += (errors & CE_RXPARITY) ? 1 : 0;
    m_lineErrors.overrun += (errors & CE_OVERRUN) ? 1 : 0;
    m_lineErrors.bufferOverrun += (errors & CE_RXOVER) ? 1 : 0;
    return true;
}

void WinSerialDevice::loseWith(DWORD error)
{
    if (m_lossToReport || m_lost)
        return;
    stopWatching();
    m_receive = Receive::Lost;
    noteLoss();
    // Whatever the code, a port that fails to read is a line that has gone.
    m_lossError = ioError(int(error));
    m_lossError.gone = true;
    m_lossToReport = true;
    postDelivery();
}

// Received bytes and a loss reach the link from a call of their own on the event loop, never from a
// timer's or a notifier's signal: the link may run an answer box from there, and the device must go
// on reading meanwhile.
void WinSerialDevice::postDelivery()
{
    if (m_deliveryPosted ||
        (m_incoming.isEmpty() && !m_lossToReport && m_lineErrors.total() == m_lineErrorsReported))
        return;
    m_deliveryPosted = true;
    QMetaObject::invokeMethod(
        m_context,
        [this, alive = m_alive] {
            if (*alive)
                deliver();
        },
        Qt::QueuedConnection);
}

void WinSerialDevice::deliver()
{
    m_deliveryPosted = false;
    // The link may show an answer, or close the port and so delete this device, from either call.
    const std::shared_ptr<bool> alive = m_alive;
    DeviceEvents *events = m_events;
    // Errors first: the bytes read with them could be shifted.
    if (m_lineErrors.total() > m_lineErrorsReported) {
        m_lineErrorsReported = m_lineErrors.total();
        events->lineErrors(m_lineErrors);
        if (!*alive)
            return;
    }
    if (m_lossToReport) {
        m_lossToReport = false;
        events->lost(m_lossError);
        if (!*alive)
            return;
    }
    if (!m_incoming.isEmpty()) {
        QByteArray bytes;
        bytes.swap(m_incoming);
        events->received(bytes.constData(), bytes.size());
    }
}

} // namespace windevice
