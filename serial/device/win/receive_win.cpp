// Receiving: one overlapped read is always pending, and its QWinEventNotifier wakes the event loop when
// it ends; while the line is quiet nothing runs but a check of the port's life every LivenessMs. The
// port's timeouts (open_win.cpp) end a read as soon as one byte is there, and each read asks for what
// ClearCommError says waits, at least 1: wine keeps a read pending until its whole length has arrived,
// whatever the timeouts say. No WaitCommEvent: drivers differ most there (an EV_RXCHAR that never comes
// for bytes already queued, waits refused with error 87, waits that end at once or keep aborting).
// What drivers still do to a read is met here: a read that ends at once with nothing (the timeouts
// ignored) is not re-armed for ever but replaced by asking ClearCommError every PollFallbackMs, with a
// read tried again every LivenessMs, which ends the polling as soon as a read waits once more; a read
// that stays pending when the adapter is pulled out is found out by the liveness check; a read that
// ends aborted (995) is a loss only when the port no longer answers ClearCommError.
#include "serialdevice_win.h"

#include "deviceerrors.h"
#include "eventloop.h"

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
    // Errors that came with bytes the open could not drop are counted, as every later one.
    countLineErrors(m_errorsAtOpen);
    // A port that cannot even say what it has received is refused at once rather than left deaf.
    COMSTAT status{};
    if (!portStatus(&status))
        throw OpenFailure(OpenFailure::Other,
                          openFailureMessage(m_name, QStringLiteral("surveillance de la réception "
                                                                    "impossible (%1)")
                                                         .arg(ioError(int(GetLastError())).reason)));
    m_readNotifier = makeNotifier(m_io->readOv.hEvent, &WinSerialDevice::onReadDone);
    m_writeNotifier = makeNotifier(m_io->writeOv.hEvent, &WinSerialDevice::onWriteDone);
    // Both coarse: Qt gives timers over 20 ms a system timer that Windows may coalesce.
    m_poll = new QTimer(m_context);
    m_poll->setTimerType(Qt::CoarseTimer);
    QObject::connect(m_poll, &QTimer::timeout, m_poll, [this] { onPoll(); });
    m_liveness = new QTimer(m_context);
    m_liveness->setTimerType(Qt::CoarseTimer);
    QObject::connect(m_liveness, &QTimer::timeout, m_liveness, [this] { onLiveness(); });
    m_receive = Receive::Reading;
    m_liveness->start(LivenessMs);
    // Events come from the event loop only: what the first read takes is handed over from there.
    readOn();
    postDelivery();
}

void WinSerialDevice::onReadDone()
{
    if (m_receive != Receive::Reading)
        return;
    const std::optional<Ended> ended = collect(m_io->readOv, m_readNotifier);
    if (!ended)
        return;
    if (ended->count > 0) {
        m_incoming.append(m_io->readBuffer, qsizetype(ended->count));
        m_emptyReads = 0;
    }
    if (ended->error == ERROR_OPERATION_ABORTED) {
        // The device cancels nothing while it reads, yet some drivers (USB CDC on Windows 11) end a read
        // so during normal traffic: a loss only when the port no longer answers.
        COMSTAT status{};
        if (!portStatus(&status)) {
            loseWith(GetLastError());
            postDelivery();
            return;
        }
        if (ended->count == 0 && endedEmpty()) {
            postDelivery();
            return;
        }
    } else if (ended->error != ERROR_SUCCESS) {
        loseWith(ended->error);
        postDelivery();
        return;
    } else if (ended->count == 0 && endedEmpty()) {
        postDelivery();
        return;
    }
    readOn();
    postDelivery();
}

// Takes what waits, then leaves one read pending; a driver that ends every read at once with nothing
// gets polled instead.
void WinSerialDevice::readOn()
{
    while (m_receive == Receive::Reading || m_receive == Receive::Polling) {
        COMSTAT status{};
        if (!portStatus(&status)) {
            loseWith(GetLastError());
            return;
        }
        // While polling, a read only for what waits.
        if (m_receive == Receive::Polling && status.cbInQue == 0)
            return;
        // What waits, or 1: wine keeps a read pending until its whole length has arrived.
        const DWORD wanted = std::clamp<DWORD>(status.cbInQue, 1, ReadChunk);
        DWORD n = 0;
        IoBlocks::lend(m_io->readOv);
        if (win32().readFile(m_handle, m_io->readBuffer, wanted, &n, &m_io->readOv)) {
            IoBlocks::takeBack(m_io->readOv);
            if (n > 0) {
                m_incoming.append(m_io->readBuffer, qsizetype(n));
                m_emptyReads = 0;
                continue;
            }
            if (m_receive == Receive::Polling || endedEmpty())
                return;
            continue;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            IoBlocks::takeBack(m_io->readOv);
            loseWith(error);
            return;
        }
        // The read waits: no poll is needed any more.
        m_receive = Receive::Reading;
        m_poll->stop();
        m_emptyReads = 0;
        m_readNotifier->setEnabled(true);
        return;
    }
}

// A read ended with nothing. True once that has happened too often in a row, and the device polls.
bool WinSerialDevice::endedEmpty()
{
    if (++m_emptyReads < EmptyReadsBeforePolling)
        return false;
    m_receive = Receive::Polling;
    if (!m_poll->isActive())
        m_poll->start(PollFallbackMs);
    return true;
}

void WinSerialDevice::onPoll()
{
    if (m_receive != Receive::Polling)
        return;
    readOn();
    postDelivery();
}

void WinSerialDevice::onLiveness()
{
    if (m_receive == Receive::Reading) {
        COMSTAT status{};
        if (!portStatus(&status))
            loseWith(GetLastError());
    } else if (m_receive == Receive::Polling) {
        // A read that may wait again, which asks the port first: a driver whose reads were aborted a
        // few times in a row goes back to reading without a timer, while one that ignores the
        // timeouts ends this read at once too and stays polled.
        m_receive = Receive::Reading;
        m_emptyReads = EmptyReadsBeforePolling - 1;
        readOn();
    } else {
        return;
    }
    postDelivery();
}

bool WinSerialDevice::portStatus(COMSTAT *status)
{
    DWORD errors = 0;
    if (!win32().clearCommError(m_handle, &errors, status))
        return false;
    countLineErrors(errors);
    return true;
}

void WinSerialDevice::countLineErrors(DWORD errors)
{
    // Each flag stands for at least one byte lost or spoiled since the last call; breaks are not.
    m_lineErrors.frame += (errors & CE_FRAME) ? 1 : 0;
    m_lineErrors.parity += (errors & CE_RXPARITY) ? 1 : 0;
    m_lineErrors.overrun += (errors & CE_OVERRUN) ? 1 : 0;
    m_lineErrors.bufferOverrun += (errors & CE_RXOVER) ? 1 : 0;
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
    if (m_deliveryPosted || (m_incoming.isEmpty() && !m_lossToReport && m_lineErrors.total() == 0))
        return;
    m_deliveryPosted = true;
    postToEventLoop(m_context, [this, alive = m_alive] {
        if (*alive)
            deliver();
    });
}

void WinSerialDevice::deliver()
{
    m_deliveryPosted = false;
    // The link may show an answer, or close the port and so delete this device, from either call.
    const std::shared_ptr<bool> alive = m_alive;
    DeviceEvents *events = m_events;
    // Errors first: the bytes read with them could be shifted.
    if (m_lineErrors.total() > 0) {
        const LineErrors errors = m_lineErrors;
        m_lineErrors = {};
        events->lineErrors(errors, nullptr, 0);
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
