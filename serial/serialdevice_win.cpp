// The serial device on Windows: a COM port opened for overlapped I/O, driven by QWinEventNotifiers on
// the Qt event loop. No thread: WaitCommEvent(EV_RXCHAR) signals received bytes, ReadFile with
// "return at once" timeouts takes them, and one overlapped WriteFile at a time carries the output.
#include "serialdevice.h"

#include "failure.h"
#include "seriallink.h"

#include <QObject>
#include <QTimer>
#include <QWinEventNotifier>

#include <algorithm>
#include <memory>
#include <windows.h>

QString openErrorText(int code)
{
    switch (static_cast<DWORD>(code)) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_UNIT:
    case ERROR_DEV_NOT_EXIST:
        return QStringLiteral("le port n'existe pas");
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
        // A COM port is opened exclusively: Windows answers "access denied" while another program
        // holds it.
        return QStringLiteral("le port est occupé par un autre programme");
    case ERROR_PRIVILEGE_NOT_HELD:
        return QStringLiteral("accès refusé");
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
        return QStringLiteral("ce n'est pas un port série");
    case ERROR_BAD_COMMAND:
    case ERROR_NOT_READY:
    case ERROR_BROKEN_PIPE:
    case ERROR_GEN_FAILURE:
    case ERROR_OPERATION_ABORTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_INVALID_HANDLE:
        return QStringLiteral("le périphérique ne répond plus (port absent ou débranché)");
    default:
        return QStringLiteral("erreur Windows %1").arg(code);
    }
}

QString ioErrorText(int code)
{
    return openErrorText(code);
}

namespace {

// The modem-line call answers one of these on ports without modem lines (some USB adapters, virtual
// ports): DTR is then simply not there, which is not a failure.
bool isNotSupported(DWORD error)
{
    return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION ||
           error == ERROR_INVALID_PARAMETER;
}

// Longest back-off between two waits for received bytes when the port keeps aborting them.
constexpr int MaxBackoffMs = 50;

class WinSerialDevice final : public SerialDevice {
public:
    WinSerialDevice(HANDLE handle, QObject *context, DeviceEvents *events)
        : m_handle(handle), m_events(events)
    {
        m_waitOv.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_readOv.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_writeOv.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);

        m_waitNotifier = new QWinEventNotifier(m_waitOv.hEvent, context);
        m_waitNotifier->setEnabled(false);
        QObject::connect(m_waitNotifier, &QWinEventNotifier::activated, m_waitNotifier,
                         [this] { onWaitDone(); });
        m_writeNotifier = new QWinEventNotifier(m_writeOv.hEvent, context);
        m_writeNotifier->setEnabled(false);
        QObject::connect(m_writeNotifier, &QWinEventNotifier::activated, m_writeNotifier,
                         [this] { onWriteDone(); });
        m_retry = new QTimer(context);
        m_retry->setSingleShot(true);
        QObject::connect(m_retry, &QTimer::timeout, m_retry, [this] { onRetry(); });
    }

    bool hasEvents() const { return m_waitOv.hEvent && m_readOv.hEvent && m_writeOv.hEvent; }

    // Prepares watching for received bytes; throws Failure when the port refuses.
    void prepare(const QString &name)
    {
        if (!SetCommMask(m_handle, EV_RXCHAR))
            throw Failure(
                openFailureMessage(name, QStringLiteral("surveillance de la réception impossible (%1)")
                                             .arg(openErrorText(int(GetLastError())))));
        m_watching = true;
    }

    void start() override { armWait(); }

    ~WinSerialDevice() override
    {
        *m_alive = false;
        stopWatching();
        if (m_handle != INVALID_HANDLE_VALUE)
            release(true);
    }

    qsizetype send(const char *bytes, qsizetype count, QString *error) override
    {
        if (m_writeInFlight)
            return 0;
        const qsizetype taken = std::min<qsizetype>(count, MaxWrite);
        m_writeBuffer = QByteArray(bytes, taken);
        m_writeOffset = 0;
        if (!startWrite()) {
            *error = openErrorText(int(m_writeError));
            return -1;
        }
        return taken;
    }

    void notifyWhenWritable() override { m_wantWritable = true; }

    qsizetype pendingOutput() override
    {
        COMSTAT status{};
        DWORD errors = 0;
        const qsizetype queued = ClearCommError(m_handle, &errors, &status) ? qsizetype(status.cbOutQue) : 0;
        return queued + (m_writeInFlight ? m_writeBuffer.size() - m_writeOffset : 0);
    }

    bool waitWritable(qint64 timeoutMs) override
    {
        if (!m_writeInFlight)
            return true;
        if (WaitForSingleObject(m_writeOv.hEvent, DWORD(std::max<qint64>(0, timeoutMs))) != WAIT_OBJECT_0)
            return false;
        return finishWrite();
    }

    bool waitSent(qint64 timeoutMs) override
    {
        Deadline deadline(timeoutMs);
        if (!waitWritable(deadline.remaining()) || m_writeInFlight)
            return false;
        // Then until the driver's own queue is empty.
        for (;;) {
            COMSTAT status{};
            DWORD errors = 0;
            if (!ClearCommError(m_handle, &errors, &status) || status.cbOutQue == 0)
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
        if (m_retry)
            m_retry->stop();
        if (m_waitNotifier)
            m_waitNotifier->setEnabled(false);
        if (m_writeNotifier)
            m_writeNotifier->setEnabled(false);
        // Ends a pending WaitCommEvent (it completes with an empty mask).
        if (m_waitPending && m_handle != INVALID_HANDLE_VALUE)
            SetCommMask(m_handle, 0);
    }

    void release(bool drained) override
    {
        if (m_handle == INVALID_HANDLE_VALUE)
            return;
        stopWatching();
        // Only what the line could not send in its time is thrown away: a purge of the output also
        // drops bytes still on their way to the device.
        DWORD purge = PURGE_RXABORT | PURGE_RXCLEAR;
        if (!drained)
            purge |= PURGE_TXABORT | PURGE_TXCLEAR;
        PurgeComm(m_handle, purge);
        // The system writes into the OVERLAPPED blocks until their operations end: let them end
        // before the blocks go.
        CancelIo(m_handle);
        if (m_waitPending)
            WaitForSingleObject(m_waitOv.hEvent, 200);
        if (m_writeInFlight)
            WaitForSingleObject(m_writeOv.hEvent, 200);
        CloseHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
        m_waitPending = false;
        m_writeInFlight = false;
        // The notifiers may be inside their own signal here: they go on the event loop.
        for (QObject *o : {static_cast<QObject *>(m_waitNotifier), static_cast<QObject *>(m_writeNotifier),
                           static_cast<QObject *>(m_retry)})
            if (o)
                o->deleteLater();
        m_waitNotifier = nullptr;
        m_writeNotifier = nullptr;
        m_retry = nullptr;
        for (HANDLE *event : {&m_waitOv.hEvent, &m_readOv.hEvent, &m_writeOv.hEvent}) {
            if (*event)
                CloseHandle(*event);
            *event = nullptr;
        }
    }

private:
    static constexpr qsizetype MaxWrite = 65536;

    struct Deadline {
        explicit Deadline(qint64 ms) : end(GetTickCount64() + ULONGLONG(std::max<qint64>(0, ms))) {}
        qint64 remaining() const
        {
            const ULONGLONG now = GetTickCount64();
            return now >= end ? 0 : qint64(end - now);
        }
        ULONGLONG end;
    };

    // Hands m_writeBuffer from m_writeOffset to the port. False, with m_writeError, when the port fails.
    bool startWrite()
    {
        for (;;) {
            ResetEvent(m_writeOv.hEvent);
            const DWORD size = DWORD(m_writeBuffer.size() - m_writeOffset);
            DWORD written = 0;
            if (WriteFile(m_handle, m_writeBuffer.constData() + m_writeOffset, size, &written, &m_writeOv)) {
                // Done at once.
                m_writeOffset += written;
                if (written == 0 || m_writeOffset >= m_writeBuffer.size()) {
                    m_writeBuffer.clear();
                    m_writeOffset = 0;
                    return written != 0 || size == 0 ? true : failWrite(ERROR_GEN_FAILURE);
                }
                continue;
            }
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING)
                return failWrite(error);
            m_writeInFlight = true;
            if (m_writeNotifier)
                m_writeNotifier->setEnabled(true);
            return true;
        }
    }

    bool failWrite(DWORD error)
    {
        m_writeError = error;
        m_writeBuffer.clear();
        m_writeOffset = 0;
        return false;
    }

    // Collects the result of the write in flight, and hands over what it left. False when it failed.
    bool finishWrite()
    {
        DWORD written = 0;
        const bool ok = GetOverlappedResult(m_handle, &m_writeOv, &written, FALSE);
        const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        if (!ok && error == ERROR_IO_INCOMPLETE)
            return true; // still on its way
        m_writeInFlight = false;
        if (m_writeNotifier)
            m_writeNotifier->setEnabled(false);
        if (!ok) {
            failWrite(error);
            return false;
        }
        m_writeOffset += written;
        if (m_writeOffset < m_writeBuffer.size())
            return startWrite(); // a write the port cut short: the rest follows, in order
        m_writeBuffer.clear();
        m_writeOffset = 0;
        return true;
    }

    void onWriteDone()
    {
        if (!finishWrite()) {
            stopWatching();
            m_events->lost(openErrorText(int(m_writeError)));
            return;
        }
        if (!m_writeInFlight && m_wantWritable) {
            m_wantWritable = false;
            m_events->writable(); // last: the link may write again from here
        }
    }

    // Waits for received bytes, with an overlapped WaitCommEvent; handles waits that end at once.
    void armWait()
    {
        while (m_watching) {
            m_mask = 0;
            ResetEvent(m_waitOv.hEvent);
            if (WaitCommEvent(m_handle, &m_mask, &m_waitOv)) {
                // Ended at once: bytes are already there, or the port aborted the wait.
                if (!handleWaitResult(true, ERROR_SUCCESS))
                    return;
                continue;
            }
            const DWORD error = GetLastError();
            if (error == ERROR_IO_PENDING) {
                m_waitPending = true;
                m_waitNotifier->setEnabled(true);
                return;
            }
            handleWaitResult(false, error);
            return;
        }
    }

    void onWaitDone()
    {
        DWORD unused = 0;
        const bool ok = GetOverlappedResult(m_handle, &m_waitOv, &unused, FALSE);
        const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        if (!ok && error == ERROR_IO_INCOMPLETE)
            return;
        m_waitPending = false;
        m_waitNotifier->setEnabled(false);
        if (!m_watching)
            return;
        if (handleWaitResult(ok, error))
            armWait();
    }

    // True when the wait may be armed again at once. Received bytes are read and handed over here;
    // a port that aborts the wait is read and waited on again after a growing pause, so a port that
    // aborts every wait is polled, never spun on; a port that is gone is reported lost.
    bool handleWaitResult(bool ok, DWORD error)
    {
        const bool aborted = (ok && m_mask == 0) || (!ok && error == ERROR_OPERATION_ABORTED);
        if (!ok && !aborted) {
            loseWith(error);
            return false;
        }
        if (aborted) {
            COMSTAT status{};
            DWORD errors = 0;
            if (!ClearCommError(m_handle, &errors, &status)) {
                loseWith(GetLastError());
                return false;
            }
            m_backoffMs = std::clamp(m_backoffMs * 2, 1, MaxBackoffMs);
            m_retry->start(m_backoffMs);
            readAndDeliver();
            return false;
        }
        m_backoffMs = 0;
        // Reading hands the bytes to the link last of all; the link may close the port from there,
        // so the wait is armed again only if the device is still watched afterwards.
        return readAndDeliver();
    }

    void onRetry()
    {
        if (m_watching)
            armWait();
    }

    // Reads every waiting byte and hands them over; false when the device was lost or is no longer
    // watched (it may be gone altogether: nothing of it is touched after the bytes are handed over).
    // A read asks only for the bytes the port says are waiting: some drivers (wine's among them) keep a
    // read pending until the next byte arrives, whatever the timeouts say.
    bool readAndDeliver()
    {
        QByteArray bytes;
        DWORD failure = ERROR_SUCCESS;
        char chunk[4096];
        for (;;) {
            COMSTAT status{};
            DWORD errors = 0;
            if (!ClearCommError(m_handle, &errors, &status)) {
                failure = GetLastError();
                break;
            }
            if (status.cbInQue == 0)
                break;
            DWORD n = 0;
            ResetEvent(m_readOv.hEvent);
            const DWORD wanted = std::min<DWORD>(status.cbInQue, sizeof chunk);
            if (!ReadFile(m_handle, chunk, wanted, &n, &m_readOv)) {
                DWORD error = GetLastError();
                // The bytes are there: a pending read of them ends at once. Bounded all the same.
                if (error == ERROR_IO_PENDING && WaitForSingleObject(m_readOv.hEvent, 500) == WAIT_OBJECT_0 &&
                    GetOverlappedResult(m_handle, &m_readOv, &n, FALSE))
                    error = ERROR_SUCCESS;
                if (error != ERROR_SUCCESS) {
                    if (error == ERROR_IO_PENDING) {
                        CancelIoEx(m_handle, &m_readOv);
                        WaitForSingleObject(m_readOv.hEvent, 200);
                    }
                    failure = error;
                    break;
                }
            }
            if (n == 0)
                break;
            bytes.append(chunk, qsizetype(n));
        }
        if (failure != ERROR_SUCCESS)
            loseWith(failure);
        if (bytes.isEmpty())
            return m_watching;
        if (!m_watching) {
            m_events->received(bytes.constData(), bytes.size());
            return false;
        }
        const std::shared_ptr<bool> alive = m_alive;
        m_events->received(bytes.constData(), bytes.size());
        return *alive && m_watching;
    }

    void loseWith(DWORD error)
    {
        if (!m_watching)
            return;
        stopWatching();
        m_events->lost(openErrorText(int(error)));
    }

    HANDLE m_handle;
    DeviceEvents *m_events;
    // Cleared when the device goes: the link may close the port while it takes received bytes.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    OVERLAPPED m_waitOv{};
    OVERLAPPED m_readOv{};
    OVERLAPPED m_writeOv{};
    DWORD m_mask = 0;
    QWinEventNotifier *m_waitNotifier = nullptr;
    QWinEventNotifier *m_writeNotifier = nullptr;
    QTimer *m_retry = nullptr;
    bool m_watching = false;
    bool m_waitPending = false;
    int m_backoffMs = 0;

    QByteArray m_writeBuffer; // the bytes of the write in flight
    qsizetype m_writeOffset = 0;
    bool m_writeInFlight = false;
    bool m_wantWritable = false;
    DWORD m_writeError = ERROR_SUCCESS;
};

} // namespace

std::unique_ptr<SerialDevice> openSerialDevice(const QString &path, const QString &name, QObject *context,
                                               DeviceEvents *events)
{
    // Share mode 0: the port is ours alone while it is open.
    const HANDLE handle =
        CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        throw Failure(openFailureMessage(name, openErrorText(int(GetLastError()))));
    auto refuse = [&](const QString &what, DWORD error) {
        CloseHandle(handle);
        throw Failure(openFailureMessage(
            name, what + (error ? QStringLiteral(" (%1)").arg(openErrorText(int(error))) : QString())));
    };

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb))
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
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE; // 0x00 is a byte like any other
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(handle, &dcb))
        refuse(QStringLiteral("réglage de la ligne à 9600 bauds 8N1 impossible"), GetLastError());
    // Read the settings back: a driver may keep what it cannot do.
    DCB applied{};
    applied.DCBlength = sizeof applied;
    if (!GetCommState(handle, &applied) || applied.BaudRate != CBR_9600 || applied.ByteSize != 8 ||
        applied.Parity != NOPARITY || applied.StopBits != ONESTOPBIT || applied.fOutxCtsFlow ||
        applied.fOutxDsrFlow || applied.fOutX || applied.fInX)
        refuse(QStringLiteral("le port n'accepte pas 9600 bauds 8N1 sans contrôle de flux"), 0);

    // Reads return at once with what is waiting; writes have no time limit.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    if (!SetCommTimeouts(handle, &timeouts))
        refuse(QStringLiteral("réglage des délais impossible"), GetLastError());

    if (!EscapeCommFunction(handle, SETDTR)) {
        const DWORD error = GetLastError();
        if (!isNotSupported(error))
            refuse(QStringLiteral("impossible de lever DTR"), error);
    }

    // From here the device owns the handle and releases it if starting fails.
    auto device = std::make_unique<WinSerialDevice>(handle, context, events);
    if (!device->hasEvents())
        throw Failure(openFailureMessage(name, QStringLiteral("ressources système épuisées")));
    device->prepare(name);
    return device;
}
