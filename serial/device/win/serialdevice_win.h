// The Windows serial device's parts, private to win/: opening (open_win.cpp), receiving
// (receive_win.cpp), writing (write_win.cpp), and the device that ties them, with its release
// (serialdevice_win.cpp, which also says how it works).
#pragma once

#include "serialdevice.h"
#include "win32calls.h"

#include <QByteArray>
#include <QString>
#include <memory>
#include <optional>

#include <windows.h>

class QObject;
class QTimer;
class QWinEventNotifier;

namespace windevice {

// How often the port is asked what it has received: at 9600 baud about 10 bytes a tick, against a
// driver's queue of a few KiB.
constexpr int PollMs = 10;
constexpr DWORD ReadChunk = 4096;
constexpr qsizetype MaxWrite = 65536;
// How long a closed port's pending operations are waited for before their blocks are left to them.
constexpr DWORD AbandonAfterMs = 30000;

inline Win32SerialCalls &win32()
{
    return win32SerialCalls();
}

// The modem-line call answers one of these on ports without modem lines (some USB adapters, virtual
// ports): DTR is then simply not there, which is not a failure.
bool isNotSupported(DWORD error);

// Opens the port exclusively and sets the line up; returns its handle. Runs off the event loop.
HANDLE openConfigured(const QString &path, const QString &name);

// Everything the system may write into while an operation on the port is pending. Shared: it outlives
// the device when an operation has not ended by the time the port is released. Each block's event is
// set whenever the system does not hold the block: from the start, when its operation ends, and when
// an operation did not stay pending (takeBack()); so the release waits for the events alone.
struct IoBlocks {
    IoBlocks();
    ~IoBlocks();
    IoBlocks(const IoBlocks &) = delete;
    IoBlocks &operator=(const IoBlocks &) = delete;
    bool hasEvents() const { return readOv.hEvent && writeOv.hEvent; }
    // Before an operation is handed the block, and once it ended or failed at once.
    static void lend(OVERLAPPED &ov) { ResetEvent(ov.hEvent); }
    static void takeBack(OVERLAPPED &ov) { SetEvent(ov.hEvent); }

    OVERLAPPED readOv{};
    OVERLAPPED writeOv{};
    char readBuffer[ReadChunk];
    QByteArray writeBuffer; // the bytes of the write in flight
};

class WinSerialDevice final : public SerialDevice {
public:
    WinSerialDevice(const QString &path, const QString &name, QObject *context, DeviceEvents *events);
    ~WinSerialDevice() override;

    void open() override;
    void start() override;
    qsizetype send(const char *bytes, qsizetype count, DeviceError *error) override;
    void notifyWhenWritable() override { m_wantWritable = true; }
    qsizetype pendingOutput() override;
    bool waitWritable(qint64 timeoutMs) override;
    bool waitSent(qint64 timeoutMs) override;
    void stopWatching() override;
    void release(bool drained) override;

private:
    // Reception, one state at a time (receive_win.cpp):
    //   Off     -> Polling   start(): every PollMs, what ClearCommError says waits is read
    //   Polling -> Reading   the driver kept a read pending: its notifier ends it, ticks wait for it
    //   Reading -> Polling   the read ended; what else waits is read at once
    //   Polling, Reading -> Lost   a call on the port failed: the loss is reported once, nothing more
    //                              is read and no tick runs
    //   any     -> Off       stopWatching(); a read still pending keeps its block (IoBlocks)
    enum class Receive { Off, Polling, Reading, Lost };

    // How a pending operation ended: its byte count, and the error when it failed.
    struct Ended {
        DWORD count = 0;
        DWORD error = ERROR_SUCCESS;
    };

    QWinEventNotifier *makeNotifier(HANDLE event, void (WinSerialDevice::*handler)());
    // The result of a pending operation: nothing while it is still on its way; once it has ended, its
    // notifier rests.
    std::optional<Ended> collect(OVERLAPPED &ov, QWinEventNotifier *notifier);

    // What ClearCommError says of the port; the error flags it clears on the way are kept for the
    // link (every call on the port that asks goes through here). False when the call failed.
    bool portStatus(COMSTAT *status);

    // Receiving
    void onTick();
    void onReadDone();
    void readWaiting();
    void loseWith(DWORD error);
    void postDelivery();
    void deliver();

    // Writing
    qsizetype currentPendingOutput();
    void noteLoss();
    bool startWrite();
    bool failWrite(DWORD error, DWORD written);
    bool finishWrite();
    void onWriteDone();

    const QString m_path;
    const QString m_name;
    QObject *const m_context;
    DeviceEvents *const m_events;
    HANDLE m_handle = INVALID_HANDLE_VALUE;
    // Cleared when the device goes: calls posted on the event loop find out from it.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    std::shared_ptr<IoBlocks> m_io = std::make_shared<IoBlocks>();
    QWinEventNotifier *m_readNotifier = nullptr;
    QWinEventNotifier *m_writeNotifier = nullptr;
    QTimer *m_poll = nullptr;

    Receive m_receive = Receive::Off;
    QByteArray m_incoming; // read, not handed over yet
    bool m_deliveryPosted = false;
    bool m_lossToReport = false;
    LineErrors m_lineErrors; // counted since the port opened
    int m_lineErrorsReported = 0;
    DeviceError m_lossError;

    bool m_writePending = false; // a write was started and its result not collected yet
    qsizetype m_writeOffset = 0;
    bool m_wantWritable = false;
    DWORD m_writeError = ERROR_SUCCESS;
    qsizetype m_unsentOfFailedWrite = 0;
    bool m_lost = false;
    qsizetype m_unsentAtLoss = 0;
};

} // namespace windevice
