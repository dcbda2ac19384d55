// A UART's driver that flags bytes with a framing error, standing in for the reads of the one pseudo-
// terminal a test names (a pseudo-terminal flags nothing): a flagged byte reaches the reader marked as
// the line discipline marks it with PARMRK, 0xFF 0x00 x, in its place. The C library's read is replaced
// for the whole program: one file of it includes this.
#pragma once

#include "driverstandin.h"

#include <QList>
#include <mutex>

struct FlaggedBytes {
    std::mutex mutex;
    dev_t device = 0;
    qint64 read = 0;     // bytes read from the device since it was named, as the reader got them
    QList<qint64> marks; // the bytes to flag, by their place among those read
};
inline FlaggedBytes flaggedBytes;

extern "C" ssize_t read(int fd, void *buffer, size_t count)
{
    static const auto next = nextFunction<ssize_t (*)(int, void *, size_t)>("read");
    FlaggedBytes &f = flaggedBytes;
    if (f.device == 0 || !isDevice(fd, f.device))
        return next(fd, buffer, count);
    const std::lock_guard lock(f.mutex);
    // Room for a mark of three bytes in place of each byte read.
    const ssize_t n = next(fd, buffer, f.marks.isEmpty() ? count : count / 3);
    auto *bytes = static_cast<char *>(buffer);
    QByteArray marked;
    for (ssize_t i = 0; i < n; ++i)
        marked.append(f.marks.removeOne(f.read + i) ? QByteArray("\xff\x00", 2) : QByteArray())
            .append(bytes[i]);
    f.read += std::max<ssize_t>(n, 0);
    std::memcpy(bytes, marked.constData(), size_t(marked.size()));
    return n < 0 ? n : ssize_t(marked.size());
}
