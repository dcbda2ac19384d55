// The serial device on Windows: a COM port opened for overlapped I/O (open_win.cpp) and driven from the
// Qt event loop. One overlapped ReadFile is always pending and ends when a byte arrives (receive_win.cpp);
// one overlapped WriteFile at a time carries the output (write_win.cpp); each signals its end through a
// QWinEventNotifier.
// Every Win32 call on the port goes through the table of win32calls.h.
//
// What real drivers do, and wine does not, shapes it:
// - Their WaitCommEvent differs from one driver to the next (no EV_RXCHAR for bytes already queued,
//   error 87, waits that end at once or keep aborting): reception never waits for events, only for a
//   read. What drivers do to reads (ignore the timeouts, leave a read pending at an unplug, abort one
//   during normal traffic) is met there, and no timer under 1 s runs while the line works.
// - Bytes are handed to the link from a call of their own on the event loop, never from inside a
//   timer's or a notifier's signal: the link may run an answer box from there, and the device keeps
//   reading while the box is open (a driver's queue holds only a few KiB).
// - A failed call on the port is a lost line: reported once, and then nothing more runs.
// - The OVERLAPPED blocks and the buffers the system writes into live until their operation has ended,
//   past the close if need be.
#include "serialdevice_win.h"

#include "bounded.h"

#include <QObject>
#include <QTimer>
#include <QWinEventNotifier>

Win32SerialCalls &win32SerialCalls()
{
    static Win32SerialCalls calls;
    return calls;
}

namespace windevice {

IoBlocks::IoBlocks()
{
    // Set: no operation holds the block yet.
    for (OVERLAPPED *ov : {&readOv, &writeOv})
        ov->hEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);
}

IoBlocks::~IoBlocks()
{
    for (OVERLAPPED *ov : {&readOv, &writeOv})
        if (ov->hEvent)
            CloseHandle(ov->hEvent);
}

WinSerialDevice::WinSerialDevice(const QString &path, const QString &name, QObject *context,
                                 DeviceEvents *events)
    : m_path(path), m_name(name), m_context(context), m_events(events)
{
}

WinSerialDevice::~WinSerialDevice()
{
    *m_alive = false;
    stopWatching();
    release(true);
}

void WinSerialDevice::open()
{
    m_handle = openConfigured(m_path, m_name, &m_errorsAtOpen);
}

void WinSerialDevice::stopWatching()
{
    if (m_receive != Receive::Lost)
        m_receive = Receive::Off;
    m_wantWritable = false;
    for (QTimer *timer : {m_poll, m_liveness})
        if (timer)
            timer->stop();
    for (QWinEventNotifier *notifier : {m_readNotifier, m_writeNotifier})
        if (notifier)
            notifier->setEnabled(false);
}

void WinSerialDevice::release(bool drained)
{
    if (m_handle == INVALID_HANDLE_VALUE)
        return;
    stopWatching();
    // The notifiers and the timer may be inside their own signal here: they go from the event loop.
    for (QObject *object : {static_cast<QObject *>(m_readNotifier), static_cast<QObject *>(m_writeNotifier),
                            static_cast<QObject *>(m_poll), static_cast<QObject *>(m_liveness)})
        if (object)
            object->deleteLater();
    m_readNotifier = m_writeNotifier = nullptr;
    m_poll = m_liveness = nullptr;
    // Only what the line could not send in its time is thrown away: a purge of the output also drops
    // bytes still on their way to the device.
    DWORD purge = PURGE_RXABORT | PURGE_RXCLEAR;
    if (!drained)
        purge |= PURGE_TXABORT | PURGE_TXCLEAR;
    win32().purgeComm(m_handle, purge);
    // Every operation of the handle, whichever thread started it.
    win32().cancelIoEx(m_handle, nullptr);

    // The handle is closed beside, and the blocks of every operation still pending stay alive until
    // that operation has ended (its event is set): a removed USB adapter can take its time to end them,
    // and the system writes into them until it does. The port counts as released once that is under way.
    const HANDLE handle = m_handle;
    m_handle = INVALID_HANDLE_VALUE;
    std::shared_ptr<IoBlocks> io = m_io;
    runBounded(ReleaseWaitMs, [handle, io] {
        win32().closePort(handle);
        const HANDLE events[] = {io->readOv.hEvent, io->writeOv.hEvent};
        // An operation that a driver never ends keeps its blocks for the rest of the program.
        if (WaitForMultipleObjects(2, events, TRUE, AbandonAfterMs) != WAIT_OBJECT_0)
            new std::shared_ptr<IoBlocks>(io);
    });
}

QWinEventNotifier *WinSerialDevice::makeNotifier(HANDLE event, void (WinSerialDevice::*handler)())
{
    // Made without its event, then given it: a notifier made with its event watches it at once, and
    // the blocks' events are set while nothing is pending.
    auto *notifier = new QWinEventNotifier(m_context);
    notifier->setHandle(event);
    QObject::connect(notifier, &QWinEventNotifier::activated, notifier,
                     [this, handler] { (this->*handler)(); });
    return notifier;
}

std::optional<WinSerialDevice::Ended> WinSerialDevice::collect(OVERLAPPED &ov, QWinEventNotifier *notifier)
{
    Ended ended;
    if (!win32().getOverlappedResult(m_handle, &ov, &ended.count, FALSE)) {
        ended.error = GetLastError();
        if (ended.error == ERROR_IO_INCOMPLETE)
            return std::nullopt;
    }
    if (notifier)
        notifier->setEnabled(false);
    return ended;
}

} // namespace windevice

std::unique_ptr<SerialDevice> makeSerialDevice(const QString &path, const QString &name, QObject *context,
                                               DeviceEvents *events)
{
    return std::make_unique<windevice::WinSerialDevice>(path, name, context, events);
}
