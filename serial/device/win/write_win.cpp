// Writing: one overlapped WriteFile at a time carries the output; a write the port cuts short goes on
// with its rest, in order, and the link hears from writable() when the device can take more. The
// bounded drain of the close waits for the write in flight, then for the driver's own queue.
#include "serialdevice_win.h"

#include "deviceerrors.h"

#include <QWinEventNotifier>

#include <algorithm>

namespace windevice {

namespace {

struct Deadline {
    explicit Deadline(qint64 ms) : end(GetTickCount64() + ULONGLONG(std::max<qint64>(0, ms))) {}
    qint64 remaining() const
    {
        const ULONGLONG now = GetTickCount64();
        return now >= end ? 0 : qint64(end - now);
    }
    ULONGLONG end;
};

} // namespace

qsizetype WinSerialDevice::send(const char *bytes, qsizetype count, DeviceError *error)
{
    if (m_writePending || m_handle == INVALID_HANDLE_VALUE)
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

qsizetype WinSerialDevice::pendingOutput()
{
    if (m_lost)
        return m_unsentAtLoss;
    return currentPendingOutput();
}

bool WinSerialDevice::waitWritable(qint64 timeoutMs)
{
    if (!m_writePending)
        return true;
    if (WaitForSingleObject(m_io->writeOv.hEvent, DWORD(std::max<qint64>(0, timeoutMs))) != WAIT_OBJECT_0)
        return false;
    return finishWrite();
}

bool WinSerialDevice::waitSent(qint64 timeoutMs)
{
    Deadline deadline(timeoutMs);
    for (;;) {
        // A write the port cut short goes on with its rest: wait for that too, in the time left.
        if (m_writePending) {
            if (WaitForSingleObject(m_io->writeOv.hEvent, DWORD(deadline.remaining())) != WAIT_OBJECT_0)
                return false;
            if (!finishWrite())
                return false;
            continue;
        }
        // Then until the driver's own queue is empty.
        COMSTAT status{};
        if (!portStatus(&status) || status.cbOutQue == 0)
            return true;
        if (deadline.remaining() <= 0)
            return false;
        Sleep(DWORD(std::min<qint64>(deadline.remaining(), 5)));
    }
}

qsizetype WinSerialDevice::currentPendingOutput()
{
    // The driver's count covers the write in flight too; without it, the rest of that write.
    const qsizetype inFlight = m_writePending ? m_io->writeBuffer.size() - m_writeOffset : 0;
    COMSTAT status{};
    if (m_handle == INVALID_HANDLE_VALUE || !portStatus(&status))
        return inFlight;
    return std::max<qsizetype>(inFlight, qsizetype(status.cbOutQue));
}

// What will never go out once the line is lost: what the driver still held, as far as it can be asked,
// and at least the rest of the write in flight.
void WinSerialDevice::noteLoss()
{
    if (m_lost)
        return;
    m_unsentAtLoss = currentPendingOutput() + m_unsentOfFailedWrite;
    m_lost = true;
}

// Hands m_io->writeBuffer from m_writeOffset to the port. False, with m_writeError, when it fails.
bool WinSerialDevice::startWrite()
{
    for (;;) {
        IoBlocks::lend(m_io->writeOv);
        const DWORD size = DWORD(m_io->writeBuffer.size() - m_writeOffset);
        DWORD written = 0;
        if (win32().writeFile(m_handle, m_io->writeBuffer.constData() + m_writeOffset, size, &written,
                              &m_io->writeOv)) {
            // Done at once.
            IoBlocks::takeBack(m_io->writeOv);
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
        if (error != ERROR_IO_PENDING) {
            IoBlocks::takeBack(m_io->writeOv);
            return failWrite(error, 0);
        }
        m_writePending = true;
        if (m_writeNotifier)
            m_writeNotifier->setEnabled(true);
        return true;
    }
}

bool WinSerialDevice::failWrite(DWORD error, DWORD written)
{
    m_writeError = error;
    m_unsentOfFailedWrite = std::max<qsizetype>(0, m_io->writeBuffer.size() - m_writeOffset - written);
    m_io->writeBuffer.clear();
    m_writeOffset = 0;
    return false;
}

// Collects the result of the write in flight, and hands over what it left. False when it failed.
bool WinSerialDevice::finishWrite()
{
    const std::optional<Ended> ended = collect(m_io->writeOv, m_writeNotifier);
    if (!ended)
        return true; // still on its way
    m_writePending = false;
    if (ended->error != ERROR_SUCCESS)
        return failWrite(ended->error, ended->count);
    m_writeOffset += ended->count;
    if (m_writeOffset < m_io->writeBuffer.size())
        return startWrite(); // a write the port cut short: the rest follows, in order
    m_io->writeBuffer.clear();
    m_writeOffset = 0;
    return true;
}

void WinSerialDevice::onWriteDone()
{
    if (!finishWrite()) {
        loseWith(m_writeError);
        return;
    }
    if (!m_writePending && m_wantWritable) {
        m_wantWritable = false;
        m_events->writable(); // last: the link may write again from here
    }
}

} // namespace windevice
