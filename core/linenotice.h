// What the line brought that is no whole answer: an answer cut short (one or two bytes left when the line
// fell silent), bytes the line or its driver spoiled, and errors that came with no byte. The console
// tells each in a box of its own, worded so that it never reads as an answer; what follows starts clean.
#pragma once

#include <QByteArray>
#include <QtGlobal>

// Bytes the line or its driver spoiled or lost, as the driver flags or counts them.
struct LineErrors {
    int frame = 0;         // bytes with a framing error
    int parity = 0;        // bytes with a parity error
    int damaged = 0;       // bytes the driver marked as spoiled without saying how (framing or parity)
    int breaks = 0;        // breaks the driver handed over as a 0x00 byte (Windows)
    int overrun = 0;       // bytes lost: the UART could not hand them over in time
    int bufferOverrun = 0; // bytes lost: the system or the console had no room for them
    int total() const { return frame + parity + damaged + breaks + overrun + bufferOverrun; }
    LineErrors &operator+=(const LineErrors &other)
    {
        frame += other.frame;
        parity += other.parity;
        damaged += other.damaged;
        breaks += other.breaks;
        overrun += other.overrun;
        bufferOverrun += other.bufferOverrun;
        return *this;
    }
};

// One stretch of the line (bytes with no silence between them) that ended with no whole answer, or errors
// that came while the line was silent. Its size is bounded however long the stretch: its first bytes and
// its counts.
struct LineNotice {
    static constexpr qsizetype MaxShown = 16;
    QByteArray whole;      // the first bytes that came whole, at most MaxShown
    qint64 wholeCount = 0; // bytes that came whole
    qint64 received = 0;   // bytes in all, whole or spoiled
    LineErrors errors;     // none: an answer cut short, all its bytes whole
};
