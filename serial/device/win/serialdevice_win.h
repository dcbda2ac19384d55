// The Windows serial device's parts, private to win/: opening (open_win.cpp), receiving
// (receive_win.cpp), writing (write_win.cpp), and the device that ties them, with its release
// (serialdevice_win.cpp, which also says how it works).
#pragma once

#include "incoming_win.h"
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

constexpr DWORD ReadChunk = 4096;
// A pending read ends as soon as one byte is there (ReadIntervalTimeout and ReadTotalTimeoutMultiplier
// MAXDWORD), or after this long with nothing. Below 0x80000000: some USB drivers (CH340, CH343) read a
// constant with the top bit set as 0, and every read would then end at once, empty.
constexpr DWORD ReadWaitMs = 0x7FFFFFFE;
// Reads that bring nothing this many times in a row, whether they end at once, pending then empty, or
// aborted, come from a driver that ignores the timeouts or keeps ending reads: the device then asks
// ClearCommError every PollFallbackMs instead of spinning. Not under 20 ms: Qt runs shorter timers on a
// multimedia timer, which holds the whole PC at a 1 ms timer resolution.
constexpr int EmptyReadsBeforePolling = 3;
constexpr int PollFallbackMs = 50;
// How often the port's life is checked while a read is pending: some drivers (USB CDC) leave the read
// pending when the adapter is pulled out, and fail only what comes after. Each check wakes the program
// (under wine it costs about a dozen context switches), so not more often than a loss must be found:
// within 2 s, on a coarse timer that Windows may run up to 5 % late. The check also ends a read that a
// driver leaves pending though bytes are queued, so that they are taken.
constexpr int LivenessMs = 1500;
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
// `lineErrors` receives the CE_ flags that came with bytes still queued after the purge (a device that
// never stops sending), 0 when everything before the last look was dropped.
HANDLE openConfigured(const QString &path, const QString &name, DWORD *lineErrors);

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
    void checkLineErrors() override;
    void stopWatching() override;
    void release(bool drained) override;

private:
    // Reception, one state at a time (receive_win.cpp):
    //   Off     -> Reading   start(): one read of max(1, waiting) bytes is pending, its notifier armed,
    //                        and the port's life is checked every LivenessMs
    //   Reading -> Reading   a read ended, at once or pending, with bytes, or with nothing (995
    //                        included, the port still answering) fewer than EmptyReadsBeforePolling
    //                        times in a row: what else waits is taken and the next read is armed. The
    //                        liveness check ends a pending read when bytes are queued (CancelIoEx),
    //                        and that read's end takes them.
    //   Reading -> Polling   EmptyReadsBeforePolling reads in a row brought nothing (readEnded(), the
    //                        one place that counts them): every PollFallbackMs, what ClearCommError
    //                        says waits is read
    //   Polling -> Reading   LivenessMs after polling began, and every LivenessMs after that, a read
    //                        is tried: when it stays pending, its notifier ends it; reads that
    //                        bring nothing go on counting (only a byte resets the count) and bring
    //                        it back to Polling
    //   Reading, Polling -> Lost   a call on the port failed, a read failed with an error other than
    //                              995, 995 from a port that no longer answers, or the liveness check
    //                              failed: the loss is reported once, nothing more is read and no
    //                              timer runs
    //   any     -> Off       stopWatching(); a read still pending keeps its block (IoBlocks)
    enum class Receive { Off, Reading, Polling, Lost };

    // How a pending operation ended: its byte count, and the error when it failed.
    struct Ended {
        DWORD count = 0;
        DWORD error = ERROR_SUCCESS;
    };

    QWinEventNotifier *makeNotifier(HANDLE event, void (WinSerialDevice::*handler)());
    // The result of a pending operation: nothing while it is still on its way; once it has ended, its
    // notifier rests.
    std::optional<Ended> collect(OVERLAPPED &ov, QWinEventNotifier *notifier);

    // What ClearCommError says of the port; the error flags it clears on the way spoil the bytes that
    // came with them (every call on the port that asks goes through here). False when the call failed.
    bool portStatus(COMSTAT *status);

    // Receiving
    void onReadDone();
    void onPoll();
    void onLiveness();
    void readOn();
    bool readEnded(DWORD count, DWORD error);
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
    QTimer *m_poll = nullptr;     // the fallback, only while Polling
    QTimer *m_liveness = nullptr; // while Reading or Polling

    Receive m_receive = Receive::Off;
    bool m_readPending = false; // a read was started and its result not collected yet
    int m_emptyReads = 0;       // reads in a row that brought nothing
    DWORD m_errorsAtOpen = 0;   // the open's last look's flags, which the first look here takes
    IncomingBytes m_incoming;   // read, not handed over yet
    bool m_deliveryPosted = false;
    bool m_lossToReport = false;
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
