// SerialDevice: one open serial device of the platform, the seam between SerialLink (queues,
// notifications, naming, the close bound) and the operating system. One backend file per platform
// implements it: serialdevice_posix.cpp (termios) and serialdevice_win.cpp (Win32 overlapped I/O).
//
// Contract:
// - openSerialDevice() opens the device exclusively and runs the line at 9600 baud 8N1, no flow control,
//   DTR raised; it throws Failure, naming the port, when it cannot.
// - send() never blocks: it takes what the device accepts now and returns how many bytes it took
//   (0 when it is full), or -1 with a French reason when the device failed. After
//   notifyWhenWritable(), the device calls DeviceEvents::writable() once from the event loop when it
//   can take more.
// - Received bytes reach DeviceEvents::received() from the event loop, in order, 0x00 included.
// - A lost device (unplugged, peer closed) is reported once by DeviceEvents::lost(); the device then
//   stops watching itself, so nothing spins.
// - waitWritable() and waitSent() block, each for at most the time given: they serve only the bounded
//   drain when the port closes.
// - The destructor releases the device; release(false) first drops what the line could not send.
#pragma once

#include <QByteArray>
#include <QString>
#include <memory>

class QObject;

class DeviceEvents {
public:
    virtual void received(const char *bytes, qsizetype count) = 0;
    virtual void writable() = 0;
    virtual void lost(const QString &reason) = 0;

protected:
    ~DeviceEvents() = default;
};

class SerialDevice {
public:
    virtual ~SerialDevice() = default;

    virtual qsizetype send(const char *bytes, qsizetype count, QString *error) = 0;
    virtual void notifyWhenWritable() = 0;
    // Bytes the device has taken that have not reached the line yet.
    virtual qsizetype pendingOutput() = 0;
    virtual bool waitWritable(qint64 timeoutMs) = 0;
    // Waits until everything taken is on the line; false when the time ran out first.
    virtual bool waitSent(qint64 timeoutMs) = 0;
    // Stops every notification: no event reaches the link after this.
    virtual void stopWatching() = 0;
    // Ends the device's use; with drained false, what is still queued for the line is dropped first.
    virtual void release(bool drained) = 0;
};

// Opens the device at `path`; `name` is how messages name the port ("COM3", "COM3 (/dev/ttyS2)").
// Notifications are delivered through `events` on `context`'s thread.
std::unique_ptr<SerialDevice> openSerialDevice(const QString &path, const QString &name, QObject *context,
                                               DeviceEvents *events);

// The message for a port that cannot be opened: "Impossible d'ouvrir le port COM3 : <what>."
QString openFailureMessage(const QString &name, const QString &what);

// What a system error code of this platform (errno on Linux, GetLastError() on Windows) means for a
// serial port, in French: "le port est occupé par un autre programme", "le port n'existe pas", ...
QString deviceErrorText(int code);
