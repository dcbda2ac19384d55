// The Linux serial device's parts, private to posix/: opening (open_posix.cpp), receiving
// (receive_posix.cpp), writing and the bounded drain (write_posix.cpp), and the device that ties them,
// with its release (serialdevice_posix.cpp, which also says how it works).
#pragma once

#include "portlock.h"
#include "serialdevice.h"
#include "termiosline.h"

#include <QString>
#include <chrono>
#include <memory>
#include <optional>

class QObject;
class QSocketNotifier;

namespace posixdevice {

// Line time of one byte at 9600 baud (start, 8 data, stop bits), in microseconds.
constexpr qint64 ByteLineUs = 10 * 1000 * 1000 / SerialDevice::BaudRate;

// Opens the device and sets the line up; returns its descriptor. Holds `lock` while the port is open.
// Runs off the event loop.
int openConfigured(const QString &path, const QString &name, PortLock &lock);

// The driver's counts of lost and spoiled bytes since the port was first opened; nothing where it keeps
// none (a pseudo-terminal).
std::optional<LineErrors> countedLineErrors(int fd);

// Runs tcdrain on `fd` beside for at most `waitMs`, then closes `fd`; true when everything went out.
bool drainWithin(int fd, qint64 waitMs);

class PosixSerialDevice final : public SerialDevice {
public:
    PosixSerialDevice(QString path, QString name, QObject *context, DeviceEvents *events);
    Q_DISABLE_COPY_MOVE(PosixSerialDevice)
    ~PosixSerialDevice() override;

    void open() override;
    void start() override;
    qsizetype send(const char *bytes, qsizetype count, DeviceError *error) override;
    void notifyWhenWritable() override;
    qsizetype pendingOutput() override;
    bool waitWritable(qint64 timeoutMs) override;
    bool waitSent(qint64 timeoutMs) override;
    void checkLineErrors() override;
    void stopWatching() override;
    void release(bool drained) override;

private:
    // Receiving
    void onReadable();
    LineErrors newlyCounted();

    // Writing
    void noteDriverQueue();
    qsizetype driverHolds();
    void noteLoss();

    const QString m_path;
    const QString m_name;
    QObject *const m_context;
    DeviceEvents *const m_events;
    // Cleared when the device goes: a delivery in several calls finds out from it.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    PortLock m_lock;
    int m_fd = -1;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;

    MarkedInput m_marks;
    std::optional<LineErrors> m_counted; // the driver's counts at the last look, where it keeps them

    qsizetype m_driverQueued = 0;
    qsizetype m_writtenSinceEmpty = 0; // bytes written since the driver last said it held none
    std::chrono::steady_clock::time_point m_driverQueuedAt;
    bool m_lost = false;
    qsizetype m_unsentAtLoss = 0;
};

} // namespace posixdevice
