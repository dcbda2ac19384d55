// Receiving: one overlapped read is always pending, and its QWinEventNotifier wakes the event loop when
// it ends; while the line is quiet nothing runs but a check of the port's life every LivenessMs. The
// port's timeouts (open_win.cpp) end a read as soon as one byte is there, and each read asks for what
// ClearCommError says waits, at least 1: wine keeps a read pending until its whole length has arrived,
// whatever the timeouts say. No WaitCommEvent: drivers differ most there (an EV_RXCHAR that never comes
// for bytes already queued, waits refused with error 87, waits that end at once or keep aborting).
// What drivers still do to a read is met here: reads that keep bringing nothing (ending at once with
// the timeouts ignored, pending then empty, or aborted) are not re-armed for ever but replaced by asking
// ClearCommError every PollFallbackMs, with a read tried again every LivenessMs, which ends the polling
// as soon as a read waits once more; a read that stays pending when the adapter is pulled out, or though
// bytes are queued, is found out by the liveness check; a read aborted (995), at once or pending, is a
// loss only when the port no longer answers ClearCommError.
// The error flags that each ClearCommError returns spoil the bytes that came with them (IncomingBytes):
// those reach the link through lineErrors(), in their place among the whole bytes.
#include "serialdevice_win.h"

#include "deviceerrors.h"
#include "eventloop.h"

#include <QObject>
#include <QTimer>
#include <QWinEventNotifier>

#include <algorithm>
#include <utility>

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
    m_readPending = false;
    if (readEnded(ended->count, ended->error))
        readOn();
    postDelivery();
}

// Takes what waits, then leaves one read pending; a driver whose reads keep bringing nothing gets
// polled instead.
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
        DWORD count = 0;
        DWORD error = ERROR_SUCCESS;
        IoBlocks::lend(m_io->readOv);
        if (!win32().readFile(m_handle, m_io->readBuffer, wanted, &count, &m_io->readOv)) {
            error = GetLastError();
            if (error == ERROR_IO_PENDING) {
                // The read waits: its notifier ends it, and no poll is needed any more.
                m_readPending = true;
                m_receive = Receive::Reading;
                m_poll->stop();
                m_readNotifier->setEnabled(true);
                return;
            }
            count = 0;
        }
        IoBlocks::takeBack(m_io->readOv);
        if (!readEnded(count, error))
            return;
    }
}

// A read ended, at once or pending, having brought `count` bytes into the read buffer. True when the
// device reads on; false once it polls, or the line is lost. The one place that counts reads which
// brought nothing, whichever way they ended.
bool WinSerialDevice::readEnded(DWORD count, DWORD error)
{
    if (count > 0)
        m_incoming.add(m_io->readBuffer, qsizetype(count));
    if (error != ERROR_SUCCESS) {
        // The device cancels nothing while it reads, yet some drivers (USB CDC on Windows 11) abort a
        // read (995) during normal traffic, at once or pending: a loss only when the port no longer
        // answers. Any other error is a loss.
        if (error != ERROR_OPERATION_ABORTED) {
            loseWith(error);
            return false;
        }
        COMSTAT status{};
        if (!portStatus(&status)) {
            loseWith(GetLastError());
            return false;
        }
    }
    if (count > 0) {
        m_emptyReads = 0;
        return true;
    }
    if (++m_emptyReads < EmptyReadsBeforePolling)
        return true;
    if (m_receive != Receive::Polling) {
        // A whole LivenessMs of polling before a read is tried again.
        m_receive = Receive::Polling;
        m_poll->start(PollFallbackMs);
        m_liveness->start(LivenessMs);
    }
    return false;
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
        if (!portStatus(&status)) {
            loseWith(GetLastError());
        } else if (status.cbInQue > 0 && m_readPending) {
            // Bytes queued while the read still waits: a driver that leaves the read pending though
            // bytes came (or a read that ended just now). End it: its notifier then takes what waits.
            // Its blocks stay its own until it has ended.
            win32().cancelIoEx(m_handle, &m_io->readOv);
        }
    } else if (m_receive == Receive::Polling) {
        // A read that may wait again, which asks the port first: a driver whose reads were aborted a
        // few times in a row goes back to reading without a timer, while one that ignores the
        // timeouts brings nothing with this read too and stays polled.
        m_receive = Receive::Reading;
        readOn();
    } else {
        return;
    }
    postDelivery();
}

void WinSerialDevice::checkLineErrors()
{
    if (m_receive != Receive::Reading && m_receive != Receive::Polling)
        return;
    COMSTAT status{};
    if (!portStatus(&status))
        loseWith(GetLastError());
    postDelivery();
}

bool WinSerialDevice::portStatus(COMSTAT *status)
{
    DWORD errors = 0;
    if (!win32().clearCommError(m_handle, &errors, status))
        return false;
    // The flags spoil the bytes read since the last look, those queued now, and those of a read that
    // has ended and was not collected yet; the first look also takes the open's last flags, which came
    // with bytes still queued. Once the line is lost nothing more is read: no byte goes with them.
    errors |= std::exchange(m_errorsAtOpen, 0);
    if (m_receive == Receive::Lost) {
        m_incoming.look(errors, 0, true);
        return true;
    }
    const bool readOnItsWay = m_readPending && !HasOverlappedIoCompleted(&m_io->readOv);
    const qsizetype held = m_readPending && !readOnItsWay ? qsizetype(m_io->readOv.InternalHigh) : 0;
    m_incoming.look(errors, qsizetype(status->cbInQue) + held, !readOnItsWay);
    return true;
}

void WinSerialDevice::loseWith(DWORD error)
{
    if (m_lossToReport || m_lost)
        return;
    stopWatching();
    m_receive = Receive::Lost;
    m_incoming.stopAwaiting();
    noteLoss();
    // Whatever the code, a port that fails to read is a line that has gone.
    m_lossError = ioError(int(error));
    m_lossError.gone = true;
    m_lossToReport = true;
    postDelivery();
}

// Received bytes, line errors and a loss reach the link from a call of their own on the event loop,
// never from a timer's or a notifier's signal: the link may run an answer box from there, and the
// device must go on reading meanwhile.
void WinSerialDevice::postDelivery()
{
    if (m_deliveryPosted || (!m_incoming.hasNext() && !m_lossToReport))
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
    // The link may show an answer, or close the port and so delete this device, from any call. Each
    // piece is taken before it is handed over: a box's loop delivers what comes meanwhile.
    const std::shared_ptr<bool> alive = m_alive;
    DeviceEvents *events = m_events;
    while (const std::optional<IncomingBytes::Piece> piece = m_incoming.takeNext()) {
        if (piece->errors)
            events->lineErrors(*piece->errors, piece->bytes.constData(), piece->bytes.size());
        else
            events->received(piece->bytes.constData(), piece->bytes.size());
        if (!*alive)
            return;
    }
    // The loss after what was read before it.
    if (m_lossToReport) {
        m_lossToReport = false;
        events->lost(m_lossError);
    }
}

} // namespace windevice
