// IncomingBytes: what the Windows device has read and not handed to the link yet, in order, each byte
// whole or spoiled by the error flags of a ClearCommError call (a "look"). The flags a look returns tell
// of errors since the look before it, so they spoil the bytes read between the two looks and those still
// queued at the look, which the reads right after it take; flags at a look with neither are errors that
// came with no byte. Spoiled bytes are handed over once the bytes queued at their look have been read,
// so that their counts are whole: CE_FRAME and CE_RXPARITY count the bytes that came with them, CE_BREAK
// the 0x00 bytes among them (the driver queues one for each break), each at least 1; CE_OVERRUN and
// CE_RXOVER count 1 a look, as how many bytes were lost is not known.
#pragma once

#include "linenotice.h"

#include <QByteArray>
#include <QList>
#include <optional>

#include <windows.h>

namespace windevice {

class IncomingBytes {
public:
    // What is handed over next: bytes that came whole, or bytes spoiled with their errors (no byte for
    // errors that came with none).
    struct Piece {
        QByteArray bytes;
        std::optional<LineErrors> errors; // none: the bytes came whole
    };

    void add(const char *bytes, qsizetype count);
    // A look found `flags`, and `following` bytes from before it still to be added: queued, or held by a
    // read that has ended and was not collected yet. `settled`: no read is on its way that may hold bytes
    // an earlier look found queued, so that fewer of them than it awaited are still to come.
    void look(DWORD flags, qsizetype following, bool settled);
    // No read brings anything more (the line is lost): spoiled bytes are handed over as they are.
    void stopAwaiting();
    // The oldest piece, unless it is spoiled bytes still waiting for the rest of their look's.
    std::optional<Piece> takeNext();
    bool hasNext() const { return !m_runs.isEmpty() && m_runs.first().awaited == 0; }

private:
    struct Run {
        QByteArray bytes;
        DWORD flags = 0;        // the CE_ flags of the looks that spoiled these bytes; 0: they came whole
        int overruns = 0;       // looks that flagged CE_OVERRUN
        int bufferOverruns = 0; // looks that flagged CE_RXOVER
        qsizetype awaited = 0;  // bytes queued at the look still to be added here
    };
    static LineErrors errorsOf(const Run &run);

    QList<Run> m_runs;         // only the last one awaits bytes
    qsizetype m_sinceLook = 0; // bytes added since the last look
};

} // namespace windevice
