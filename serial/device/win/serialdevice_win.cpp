// The serial device on Windows: a COM port opened for overlapped I/O, driven by QWinEventNotifiers on
// the Qt event loop. WaitCommEvent(EV_RXCHAR) signals received bytes, ReadFile with "return at once"
// timeouts takes what ClearCommError says is waiting, and one overlapped WriteFile at a time carries
// the output. Every Win32 call on the port goes through the table of win32calls.h.
//
// What real drivers do, and wine does not, shapes it:
// - A USB CDC driver does not signal EV_RXCHAR for bytes that were already queued when the wait was
//   armed: after each wait is armed, what is waiting is read again.
// - Bytes are handed to the link from a call of their own on the event loop, never from inside a
//   notifier's signal: a notifier is not waited on again until its signal returns, and the link may run
//   an answer box from there. So the device keeps reading while the box is open.
// - A driver that refuses the wait (error 87 has been seen) is read by polling ClearCommError; one that
//   keeps aborting it, or ends it at once with nothing to read, is waited on again after a growing pause.
// - The OVERLAPPED blocks and the buffers the system writes into live until their operation has ended,
//   past the close if need be.
#include "serialdevice.h"

#include "bounded.h"
#include "deviceerrors.h"
#include "win32calls.h"

#include <QObject>
#include <QTimer>
#include <QWinEventNotifier>

#include <algorithm>
#include <memory>
#include <optional>

Win32SerialCalls &win32SerialCalls()
{
    static Win32SerialCalls calls;
    return calls;
}

namespace {

Win32SerialCalls &win32()
{
    return win32SerialCalls();
}

// The modem-line call answers one of these on ports without modem lines (some USB adapters, virtual
// ports): DTR is then simply not there, which is not a failure. A driver that cannot wait for events
// answers them too: it is read by polling.
bool isNotSupported(DWORD error)
{
    return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION ||
           error == ERROR_INVALID_PARAMETER;
}

// Longest pause before waiting again on a port whose waits keep ending with nothing to read.
constexpr int MaxBackoffMs = 50;
// Waits that end with nothing to read, one after the other, before the device pauses between them.
constexpr int MaxEmptyWaits = 8;
// Waits handled in one turn of the event loop, at most: a driver that always ends the wait at once
// must not keep the window from its own events.
constexpr int MaxWaitsPerTurn = 16;
// How often a port that cannot wait for events is read.
constexpr int PollMs = 10;
constexpr DWORD ReadChunk = 4096;
// How long a closed port's pending operations are waited for before their blocks are left to them.
constexpr DWORD AbandonAfterMs = 30000;
constexpr qsizetype MaxWrite = 65536;

// Everything the system may write into while an operation on the port is pending. Shared: it outlives
// the device when an operation has not ended by the time the port is released.
struct IoBlocks {
    IoBlocks()
    {
        for (OVERLAPPED *ov : {&waitOv, &readOv, &writeOv})
            ov->hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~IoBlocks()
    {
        for (OVERLAPPED *ov : {&waitOv, &readOv, &writeOv})
            if (ov->hEvent)
                CloseHandle(ov->hEvent);
    }
    IoBlocks(const IoBlocks &) = delete;
    IoBlocks &operator=(const IoBlocks &) = delete;
    bool hasEvents() const { return waitOv.hEvent && readOv.hEvent && writeOv.hEvent; }

    OVERLAPPED waitOv{};
    OVERLAPPED readOv{};
    OVERLAPPED writeOv{};
    DWORD mask = 0;
    char readBuffer[ReadChunk];
    QByteArray writeBuffer; // the bytes of the write in flight
    bool waitPending = false;
    bool readPending = false;
    bool writePending = false;
};

// Opens the port and sets the line up; returns its handle. Runs off the event loop.
HANDLE openConfigured(const QString &path, const QString &name)
{
    // Share mode 0: the port is ours alone while it is open.
    const HANDLE handle =
        win32().createFile(reinterpret_cast<const wchar_t *>(path.utf16()), GENERIC_READ | GENERIC_WRITE, 0,
                           nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        throw openFailureFor(name, int(GetLastError()));
    }
    auto refuse = [&](const QString &what, DWORD error) {
        win32().closePort(handle);
        throw OpenFailure(
            OpenFailure::Other,
            openFailureMessage(
                name, what + (error ? QStringLiteral(" (%1)").arg(openErrorText(int(error))) : QString())));
    };

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!win32().getCommState(handle, &dcb))
        refuse(QStringLiteral("ce n'est pas un port série"), GetLastError());
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE; // 0x00 is a byte like any other
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    // Unused without software flow control, but a driver refuses the whole state when the two
    // characters are equal, and some report both as 0: set them, and limits any input buffer allows.
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = 256;
    dcb.XoffLim = 256;
    dcb.ErrorChar = 0;
    dcb.EofChar = 0;
    dcb.EvtChar = 0;
    if (!win32().setCommState(handle, &dcb))
        refuse(QStringLiteral("réglage de la ligne à 9600 bauds 8N1 impossible"), GetLastError());
    // Read the settings back: a driver may keep what it cannot do.
    DCB applied{};
    applied.DCBlength = sizeof applied;
    if (!win32().getCommState(handle, &applied) || applied.BaudRate != CBR_9600 || applied.ByteSize != 8 ||
        applied.Parity != NOPARITY || applied.StopBits != ONESTOPBIT || applied.fOutxCtsFlow ||
        applied.fOutxDsrFlow || applied.fOutX || applied.fInX)
        refuse(QStringLiteral("le port n'accepte pas 9600 bauds 8N1 sans contrôle de flux"), 0);

    // Reads return at once with what is waiting; writes have no time limit.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    if (!win32().setCommTimeouts(handle, &timeouts))
        refuse(QStringLiteral("réglage des délais impossible"), GetLastError());

    if (!win32().escapeCommFunction(handle, SETDTR)) {
        const DWORD error = GetLastError();
        if (!isNotSupported(error))
            refuse(QStringLiteral("impossible de lever DTR"), error);
    }

    // What the line held before it was opened, and whatever came while it settled, would shift every
    // three-byte answer after it: drop it.
    Sleep(SerialDevice::SettleMs);
    win32().purgeComm(handle, PURGE_RXABORT | PURGE_RXCLEAR);

    if (!win32().setCommMask(handle, EV_RXCHAR))
        refuse(QStringLiteral("surveillance de la réception impossible"), GetLastError());
    return handle;
}

class WinSerialDevice final : public SerialDevice {
public:
    WinSerialDevice(const QString &path, const QString &name, QObject *context, DeviceEvents *events)
        : m_path(path), m_name(name), m_context(context), m_events(events)
    {
    }

    ~WinSerialDevice() override
    {
        *m_alive = false;
        stopWatching();
        release(true);
    }

    void open() override { m_handle = openConfigured(m_path, m_name); }

    void start() override
    {
        if (m_handle == INVALID_HANDLE_VALUE)
            return;
        if (!m_io->hasEvents())
            throw OpenFailure(OpenFailure::Other,
                              openFailureMessage(m_name, QStringLiteral("ressources système épuisées")));
        m_waitNotifier = makeNotifier(m_io->waitOv.hEvent, [this] { onWaitDone(); });
        m_readNotifier = makeNotifier(m_io->readOv.hEvent, [this] { onReadDone(); });
        m_writeNotifier = makeNotifier(m_io->writeOv.hEvent, [this] { onWriteDone(); });
        m_retry = new QTimer(m_context);
        m_retry->setSingleShot(true);
        QObject::connect(m_retry, &QTimer::timeout, m_retry, [this] {
            m_holdWait = false;
            service();
        });
        m_poll = new QTimer(m_context);
        QObject::connect(m_poll, &QTimer::timeout, m_poll, [this] { service(); });

        m_watching = true;
        // The first wait is armed here, so that a port that cannot be watched at all is refused at once
        // rather than left deaf; what it brings is handled from the event loop.
        DWORD error = ERROR_SUCCESS;
        switch (armWait(&error)) {
        case Armed::Pending:
            break;
        case Armed::Ended:
            m_waitEnded = true;
            break;
        case Armed::Refused:
            if (!takeRefusedWait(error)) {
                stopWatching();
                throw OpenFailure(OpenFailure::Other,
                                  openFailureMessage(m_name, QStringLiteral("surveillance de la réception "
                                                                            "impossible (%1)")
                                                                 .arg(ioError(int(error)).reason)));
            }
            break;
        }
        // Bytes may be waiting already, and a driver need not signal them: read them from the loop.
        QMetaObject::invokeMethod(
            m_context,
            [this, alive = m_alive] {
                if (*alive)
                    service();
            },
            Qt::QueuedConnection);
    }

    qsizetype send(const char *bytes, qsizetype count, DeviceError *error) override
    {
        if (m_io->writePending || m_handle == INVALID_HANDLE_VALUE)
            return 0;
        const qsizetype taken = std::min<qsizetype>(count, MaxWrite);
        m_io->writeBuffer = QByteArray(bytes, taken);
        m_writeOffset = 0;
        if (!startWrite()) {
            *error = ioError(int(m_writeError));
            noteLoss();
            return -1;
        }
        return taken;
    }

    void notifyWhenWritable() override { m_wantWritable = true; }

    qsizetype pendingOutput() override
    {
        if (m_lost)
            return m_unsentAtLoss;
        return currentPendingOutput();
    }

    bool waitWritable(qint64 timeoutMs) override
    {
        if (!m_io->writePending)
            return true;
        if (WaitForSingleObject(m_io->writeOv.hEvent, DWORD(std::max<qint64>(0, timeoutMs))) != WAIT_OBJECT_0)
            return false;
        return finishWrite();
    }

    bool waitSent(qint64 timeoutMs) override
    {
        Deadline deadline(timeoutMs);
        for (;;) {
            // A write the port cut short goes on with its rest: wait for that too, in the time left.
            if (m_io->writePending) {
                if (WaitForSingleObject(m_io->writeOv.hEvent, DWORD(deadline.remaining())) != WAIT_OBJECT_0)
                    return false;
                if (!finishWrite())
                    return false;
                continue;
            }
            // Then until the driver's own queue is empty.
            COMSTAT status{};
            DWORD errors = 0;
            if (!win32().clearCommError(m_handle, &errors, &status) || status.cbOutQue == 0)
                return true;
            if (deadline.remaining() <= 0)
                return false;
            Sleep(DWORD(std::min<qint64>(deadline.remaining(), 5)));
        }
    }

    void stopWatching() override
    {
        m_watching = false;
        m_wantWritable = false;
        for (QTimer *timer : {m_retry, m_poll})
            if (timer)
                timer->stop();
        for (QWinEventNotifier *notifier : {m_waitNotifier, m_readNotifier, m_writeNotifier})
            if (notifier)
                notifier->setEnabled(false);
        // Ends a pending WaitCommEvent (it completes with an empty mask).
        if (m_io->waitPending && m_handle != INVALID_HANDLE_VALUE)
            win32().setCommMask(m_handle, 0);
    }

    void release(bool drained) override
    {
        if (m_handle == INVALID_HANDLE_VALUE)
            return;
        stopWatching();
        // The notifiers and timers may be inside their own signal here: they go from the event loop.
        for (QObject **object :
             {reinterpret_cast<QObject **>(&m_waitNotifier), reinterpret_cast<QObject **>(&m_readNotifier),
              reinterpret_cast<QObject **>(&m_writeNotifier), reinterpret_cast<QObject **>(&m_retry),
              reinterpret_cast<QObject **>(&m_poll)}) {
            if (*object)
                (*object)->deleteLater();
            *object = nullptr;
        }
        // Only what the line could not send in its time is thrown away: a purge of the output also
        // drops bytes still on their way to the device.
        DWORD purge = PURGE_RXABORT | PURGE_RXCLEAR;
        if (!drained)
            purge |= PURGE_TXABORT | PURGE_TXCLEAR;
        win32().purgeComm(m_handle, purge);
        // Every operation of the handle, whichever thread started it.
        win32().cancelIoEx(m_handle, nullptr);

        // The handle is closed beside, and the blocks of every operation still pending stay alive until
        // that operation has ended: a removed USB adapter can take its time to end them, and the
        // system writes into them until it does. The port counts as released once that is under way.
        const HANDLE handle = m_handle;
        m_handle = INVALID_HANDLE_VALUE;
        std::shared_ptr<IoBlocks> io = m_io;
        HANDLE pending[3];
        DWORD count = 0;
        if (io->waitPending)
            pending[count++] = io->waitOv.hEvent;
        if (io->readPending)
            pending[count++] = io->readOv.hEvent;
        if (io->writePending)
            pending[count++] = io->writeOv.hEvent;
        runBounded(ReleaseWaitMs, [handle, io, pending, count] {
            win32().closePort(handle);
            // An operation that a driver never ends keeps its blocks for the rest of the program.
            if (count > 0 && WaitForMultipleObjects(count, pending, TRUE, AbandonAfterMs) != WAIT_OBJECT_0)
                new std::shared_ptr<IoBlocks>(io);
        });
    }

private:
    enum class Armed { Pending, Ended, Refused };

    struct Deadline {
        explicit Deadline(qint64 ms) : end(GetTickCount64() + ULONGLONG(std::max<qint64>(0, ms))) {}
        qint64 remaining() const
        {
            const ULONGLONG now = GetTickCount64();
            return now >= end ? 0 : qint64(end - now);
        }
        ULONGLONG end;
    };

    template <typename Handler> QWinEventNotifier *makeNotifier(HANDLE event, Handler handler)
    {
        auto *notifier = new QWinEventNotifier(event, m_context);
        notifier->setEnabled(false);
        QObject::connect(notifier, &QWinEventNotifier::activated, notifier, handler);
        return notifier;
    }

    qsizetype currentPendingOutput()
    {
        // The driver's count covers the write in flight too; without it, the rest of that write.
        const qsizetype inFlight = m_io->writePending ? m_io->writeBuffer.size() - m_writeOffset : 0;
        COMSTAT status{};
        DWORD errors = 0;
        if (m_handle == INVALID_HANDLE_VALUE || !win32().clearCommError(m_handle, &errors, &status))
            return inFlight;
        return std::max<qsizetype>(inFlight, qsizetype(status.cbOutQue));
    }

    // What will never go out once the line is lost: what the driver still held, as far as it can be
    // asked, and at least the rest of the write in flight.
    void noteLoss()
    {
        if (m_lost)
            return;
        m_unsentAtLoss = currentPendingOutput() + m_unsentOfFailedWrite;
        m_lost = true;
    }

    // Hands m_io->writeBuffer from m_writeOffset to the port. False, with m_writeError, when it fails.
    bool startWrite()
    {
        for (;;) {
            ResetEvent(m_io->writeOv.hEvent);
            const DWORD size = DWORD(m_io->writeBuffer.size() - m_writeOffset);
            DWORD written = 0;
            if (win32().writeFile(m_handle, m_io->writeBuffer.constData() + m_writeOffset, size, &written,
                                  &m_io->writeOv)) {
                // Done at once.
                m_writeOffset += written;
                if (written == 0 || m_writeOffset >= m_io->writeBuffer.size()) {
                    if (written == 0 && size != 0)
                        return failWrite(ERROR_GEN_FAILURE, 0);
                    m_io->writeBuffer.clear();
                    m_writeOffset = 0;
                    return true;
                }
                continue;
            }
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING)
                return failWrite(error, 0);
            m_io->writePending = true;
            if (m_writeNotifier)
                m_writeNotifier->setEnabled(true);
            return true;
        }
    }

    bool failWrite(DWORD error, DWORD written)
    {
        m_writeError = error;
        m_unsentOfFailedWrite = std::max<qsizetype>(0, m_io->writeBuffer.size() - m_writeOffset - written);
        m_io->writeBuffer.clear();
        m_writeOffset = 0;
        return false;
    }

    // How a pending operation ended: its byte count, and the error when it failed.
    struct Ended {
        DWORD count = 0;
        DWORD error = ERROR_SUCCESS;
    };

    // Collects the result of a pending operation: nothing while it is still on its way; once it has
    // ended, it is no longer pending and its notifier rests.
    std::optional<Ended> collect(OVERLAPPED &ov, bool &pending, QWinEventNotifier *notifier)
    {
        Ended ended;
        if (!win32().getOverlappedResult(m_handle, &ov, &ended.count, FALSE)) {
            ended.error = GetLastError();
            if (ended.error == ERROR_IO_INCOMPLETE)
                return std::nullopt;
        }
        pending = false;
        if (notifier)
            notifier->setEnabled(false);
        return ended;
    }

    // Collects the result of the write in flight, and hands over what it left. False when it failed.
    bool finishWrite()
    {
        const std::optional<Ended> ended = collect(m_io->writeOv, m_io->writePending, m_writeNotifier);
        if (!ended)
            return true; // still on its way
        if (ended->error != ERROR_SUCCESS)
            return failWrite(ended->error, ended->count);
        m_writeOffset += ended->count;
        if (m_writeOffset < m_io->writeBuffer.size())
            return startWrite(); // a write the port cut short: the rest follows, in order
        m_io->writeBuffer.clear();
        m_writeOffset = 0;
        return true;
    }

    void onWriteDone()
    {
        if (!finishWrite()) {
            loseWith(m_writeError);
            return;
        }
        if (!m_io->writePending && m_wantWritable) {
            m_wantWritable = false;
            m_events->writable(); // last: the link may write again from here
        }
    }

    // Arms a wait for received bytes. Ended: it ended at once (its mask tells how); Refused: `error`.
    Armed armWait(DWORD *error)
    {
        m_io->mask = 0;
        ResetEvent(m_io->waitOv.hEvent);
        if (win32().waitCommEvent(m_handle, &m_io->mask, &m_io->waitOv))
            return Armed::Ended;
        *error = GetLastError();
        if (*error != ERROR_IO_PENDING)
            return Armed::Refused;
        m_io->waitPending = true;
        m_waitNotifier->setEnabled(true);
        return Armed::Pending;
    }

    // A wait the port refused: an abort is a wait that ended with nothing; a port that cannot wait is
    // polled. False when the port has failed.
    bool takeRefusedWait(DWORD error)
    {
        if (error == ERROR_OPERATION_ABORTED) {
            m_io->mask = 0;
            m_waitEnded = true;
            return true;
        }
        if (isNotSupported(error)) {
            m_polling = true;
            m_poll->start(PollMs);
            return true;
        }
        return false;
    }

    void onWaitDone()
    {
        const std::optional<Ended> ended = collect(m_io->waitOv, m_io->waitPending, m_waitNotifier);
        if (!ended || !m_watching)
            return;
        if (ended->error == ERROR_SUCCESS)
            m_waitEnded = true;
        else if (!takeRefusedWait(ended->error)) {
            loseWith(ended->error);
            return;
        }
        service();
    }

    void onReadDone()
    {
        const std::optional<Ended> ended = collect(m_io->readOv, m_io->readPending, m_readNotifier);
        if (!ended)
            return;
        if (ended->count > 0)
            m_incoming.append(m_io->readBuffer, qsizetype(ended->count));
        if (ended->error != ERROR_SUCCESS) {
            loseWith(ended->error);
            return;
        }
        service();
    }

    // Reads what the port says is waiting into m_incoming; a read the driver keeps pending ends through
    // its notifier. False when the port failed.
    bool readWaiting()
    {
        while (!m_io->readPending) {
            COMSTAT status{};
            DWORD errors = 0;
            if (!win32().clearCommError(m_handle, &errors, &status)) {
                loseWith(GetLastError());
                return false;
            }
            if (status.cbInQue == 0)
                return true;
            DWORD n = 0;
            ResetEvent(m_io->readOv.hEvent);
            // Only what is waiting: some drivers (wine's among them) keep a read pending until the next
            // byte arrives, whatever the timeouts say.
            const DWORD wanted = std::min<DWORD>(status.cbInQue, ReadChunk);
            if (win32().readFile(m_handle, m_io->readBuffer, wanted, &n, &m_io->readOv)) {
                if (n == 0)
                    return true;
                m_incoming.append(m_io->readBuffer, qsizetype(n));
                continue;
            }
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) {
                loseWith(error);
                return false;
            }
            m_io->readPending = true;
            m_readNotifier->setEnabled(true);
        }
        return true;
    }

    // After a wait that ended: one that brought nothing is not repeated at once without end.
    void judgeEndedWait(bool gotBytes)
    {
        const bool aborted = m_io->mask == 0;
        if (gotBytes) {
            m_backoffMs = 0;
            m_emptyWaits = 0;
            return;
        }
        if (!aborted && ++m_emptyWaits <= MaxEmptyWaits)
            return;
        holdWait();
    }

    void holdWait()
    {
        m_backoffMs = std::clamp(m_backoffMs * 2, 1, MaxBackoffMs);
        m_holdWait = true;
        m_retry->start(m_backoffMs);
    }

    // Reads what waits, keeps a wait armed, and has the bytes handed over from the event loop.
    void service()
    {
        for (int turn = 0; m_watching; ++turn) {
            const qsizetype before = m_incoming.size();
            if (!readWaiting())
                break;
            if (m_waitEnded) {
                m_waitEnded = false;
                judgeEndedWait(m_incoming.size() > before);
            }
            if (m_polling || m_holdWait || m_io->waitPending)
                break;
            if (turn >= MaxWaitsPerTurn) {
                holdWait();
                break;
            }
            DWORD error = ERROR_SUCCESS;
            const Armed armed = armWait(&error);
            if (armed == Armed::Pending) {
                // Bytes that came before the wait was armed are not signalled by every driver.
                readWaiting();
                break;
            }
            if (armed == Armed::Ended) {
                m_waitEnded = true;
                continue;
            }
            if (!takeRefusedWait(error)) {
                loseWith(error);
                break;
            }
        }
        postDelivery();
    }

    void loseWith(DWORD error)
    {
        if (m_lossToReport || m_lost)
            return;
        stopWatching();
        noteLoss();
        // Whatever the code, a port that fails to read or wait is a line that has gone.
        m_lossError = ioError(int(error));
        m_lossError.gone = true;
        m_lossToReport = true;
        postDelivery();
    }

    // Received bytes and a loss reach the link from a call of their own on the event loop.
    void postDelivery()
    {
        if (m_deliveryPosted || (m_incoming.isEmpty() && !m_lossToReport))
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

    void deliver()
    {
        m_deliveryPosted = false;
        // The link may show an answer, or close the port and so delete this device, from either call.
        const std::shared_ptr<bool> alive = m_alive;
        DeviceEvents *events = m_events;
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

    const QString m_path;
    const QString m_name;
    QObject *const m_context;
    DeviceEvents *const m_events;
    HANDLE m_handle = INVALID_HANDLE_VALUE;
    // Cleared when the device goes: calls posted on the event loop find out from it.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    std::shared_ptr<IoBlocks> m_io = std::make_shared<IoBlocks>();
    QWinEventNotifier *m_waitNotifier = nullptr;
    QWinEventNotifier *m_readNotifier = nullptr;
    QWinEventNotifier *m_writeNotifier = nullptr;
    QTimer *m_retry = nullptr;
    QTimer *m_poll = nullptr;
    bool m_watching = false;
    bool m_polling = false;
    bool m_holdWait = false;
    bool m_waitEnded = false;
    int m_backoffMs = 0;
    int m_emptyWaits = 0;

    QByteArray m_incoming; // read, not handed over yet
    bool m_deliveryPosted = false;
    bool m_lossToReport = false;
    DeviceError m_lossError;

    qsizetype m_writeOffset = 0;
    bool m_wantWritable = false;
    DWORD m_writeError = ERROR_SUCCESS;
    qsizetype m_unsentOfFailedWrite = 0;
    bool m_lost = false;
    qsizetype m_unsentAtLoss = 0;
};

} // namespace

std::unique_ptr<SerialDevice> makeSerialDevice(const QString &path, const QString &name, QObject *context,
                                               DeviceEvents *events)
{
    return std::make_unique<WinSerialDevice>(path, name, context, events);
}
