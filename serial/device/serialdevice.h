// SerialDevice: one serial device of the platform, the seam between SerialLink (queues, notifications,
// naming, the close bound) and the operating system. One backend folder per platform implements it:
// posix/ (termios) and win/ (Win32 overlapped I/O); CMake picks the folder.
//
// Contract:
// - makeSerialDevice() does no I/O. open() then opens the device exclusively and runs the line at 9600
//   baud 8N1, no flow control, DTR raised; after a short settle it drops what the line held before
//   (noise, a device's start-up chatter), which would shift every three-byte answer after it. open()
//   may block for seconds (a Bluetooth port connects there, a sleeping USB device wakes), so the link
//   runs it on a thread of its own: it touches no object of the event loop. It throws OpenFailure,
//   naming the port and the cause, when it cannot.
// - start(), on the event loop's thread, begins watching the device; events come only from the event
//   loop, never from inside open() or start(). It throws OpenFailure when the device cannot be watched.
// - send() never blocks: it takes what the device accepts now and returns how many bytes it took
//   (0 when it is full), or -1 with the error when the device failed. After notifyWhenWritable(), the
//   device calls DeviceEvents::writable() once from the event loop when it can take more.
// - Received bytes reach DeviceEvents::received() from the event loop, in order, 0x00 included, also
//   while an operation started from a notification (an answer box) is still running: the device keeps
//   taking bytes from the line meanwhile.
// - A lost device (unplugged, peer closed) is reported once by DeviceEvents::lost(); the device then
//   stops watching itself, so nothing spins.
// - A byte that the line or the driver spoiled (a framing or parity error; on Windows also a break,
//   whose 0x00 the driver queues) reaches DeviceEvents::lineErrors() instead of received(), in its
//   place among the bytes, with the errors that came with it; bytes lost (an overrun) and errors that a
//   driver counts without flagging a byte come the same way with no byte, before the bytes read with
//   them. Each error is reported once. Breaks are dropped on Linux.
// - checkLineErrors() looks for errors counted since the last report, which the link asks for when the
//   line has fallen silent: they are reported at once, or from a call posted on the event loop before
//   checkLineErrors() returns, so that they reach the link before anything it posts afterwards.
// - waitWritable() and waitSent() block, each for at most the time given: they serve only the bounded
//   drain when the port closes.
// - release() gives the port back to the system within ReleaseWaitMs, whatever the driver does: a final
//   close that the system makes wait longer (a tty's closing_wait, a stuck USB adapter) goes on out of
//   the way and never keeps the program from ending. Every buffer the system may still write into lives
//   until its operation has ended. release(false) first drops what the line could not send. Release is
//   idempotent; the destructor releases a device not yet released, on whatever thread it runs.
#pragma once

#include "deviceerrors.h"

#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>

class QObject;

class DeviceEvents {
public:
    DeviceEvents() = default;
    Q_DISABLE_COPY_MOVE(DeviceEvents)

    // Bytes that came whole, oldest first.
    virtual void received(const char *bytes, qsizetype count) = 0;
    virtual void writable() = 0;
    virtual void lost(const DeviceError &error) = 0;
    // Errors new since the last report and the bytes that came spoiled with them, in their place among the
    // received bytes; no byte when the errors came with none.
    virtual void lineErrors(const LineErrors &errors, const char *bytes, qsizetype count) = 0;

protected:
    ~DeviceEvents() = default;
};

class SerialDevice {
public:
    // The longest release() waits for the system to close the port.
    static constexpr qint64 ReleaseWaitMs = 250;
    // The line's speed: 10 bits a byte (start, 8 data, stop) make 960 bytes a second.
    static constexpr int BaudRate = 9600;
    // After DTR is up, the line settles this long before its input is dropped: a device's answer to the
    // open (noise as its input wakes, start-up chatter of one that DTR resets) lands in what is dropped.
    static constexpr unsigned SettleMs = 50;

    SerialDevice() = default;
    Q_DISABLE_COPY_MOVE(SerialDevice)
    virtual ~SerialDevice() = default;

    virtual void open() = 0;
    virtual void start() = 0;
    virtual qsizetype send(const char *bytes, qsizetype count, DeviceError *error) = 0;
    virtual void notifyWhenWritable() = 0;
    // Bytes the device has taken that have not reached the line yet, as far as it can tell (a driver may
    // over-report; nothing is bounded by this). Once the device is lost: at least the bytes it had taken
    // that will never go out.
    virtual qsizetype pendingOutput() = 0;
    virtual bool waitWritable(qint64 timeoutMs) = 0;
    // Waits until everything taken is on the line; false when the time ran out first.
    virtual bool waitSent(qint64 timeoutMs) = 0;
    // Reports errors counted since the last report (the line has fallen silent).
    virtual void checkLineErrors() = 0;
    // Stops every notification: no event reaches the link after this.
    virtual void stopWatching() = 0;
    virtual void release(bool drained) = 0;
};

// The device at `path`; `name` is how messages name the port ("COM3", "COM3 (/dev/ttyS2)").
// Notifications are delivered through `events` on `context`'s thread, once started.
std::unique_ptr<SerialDevice> makeSerialDevice(const QString &path, const QString &name, QObject *context,
                                               DeviceEvents *events);

// What makes the link's device: makeSerialDevice, or a test's own.
using SerialDeviceFactory = std::function<std::unique_ptr<SerialDevice>(
    const QString &path, const QString &name, QObject *context, DeviceEvents *events)>;
