// A UART's driver that flags bytes with a framing error, standing in for the read of the one pseudo-
// terminal a test names (a pseudo-terminal flags nothing): a flagged byte reaches the reader as the line
// discipline marks it with PARMRK, 0xFF 0x00 x, in its place. Its count is driverstandin.h's. One file of
// the program includes this: the C library's read is replaced for the whole program.
#pragma once

#include "driverstandin.h"

#include <QList>
#include <mutex>

struct FlaggedBytes {
    std::mutex mutex;
    dev_t device = 0;
    qint64 read = 0;     // bytes read from the device since watch(), as the reader got them
    QList<qint64> marks; // places of the bytes to flag, counted as `read`
};
inline FlaggedBytes flaggedBytes;

// From now on the device's reads are counted, and none flagged.
inline void watchForFlags(dev_t device)
{
    const std::lock_guard lock(flaggedBytes.mutex);
    flaggedBytes.device = device;
    flaggedBytes.read = 0;
    flaggedBytes.marks.clear();
}

// The byte at `place`, counted as FlaggedBytes::read, comes flagged.
inline void flagByteAt(qint64 place)
{
    const std::lock_guard lock(flaggedBytes.mutex);
    flaggedBytes.marks << place;
}

extern "C" ssize_t read(int fd, void *buffer, size_t count)
{
    static const auto next = nextFunction<ssize_t (*)(int, void *, size_t)>("read");
    FlaggedBytes &f = flaggedBytes;
    if (f.device == 0 || !isDevice(fd, f.device))
        return next(fd, buffer, count);
    const std::lock_guard lock(f.mutex);
    // Room for a mark of three bytes in place of every byte read.
    const ssize_t n = next(fd, buffer, f.marks.isEmpty() ? count : count / 3);
    if (n <= 0 || f.marks.isEmpty()) {
        f.read += std::max<ssize_t>(n, 0);
        return n;
    }
    auto *bytes = static_cast<char *>(buffer);
    QByteArray marked;
    for (ssize_t i = 0; i < n; ++i) {
        if (f.marks.removeOne(f.read + i))
            marked.append("\xff\x00", 2);
        marked.append(bytes[i]);
    }
    f.read += n;
    std::memcpy(bytes, marked.constData(), size_t(marked.size()));
    return ssize_t(marked.size());
}
