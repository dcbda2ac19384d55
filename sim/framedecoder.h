// FrameDecoder: how the simulated device splits the byte stream from the console into call frames.
//
// A call frame is 01, a length L of 1 or 2, L body bytes (the group code, then the member index when
// L is 2), then 04 00. Bytes that cannot start or continue a frame are stray bytes; they are kept
// together, up to StrayLine of them, until a frame follows them or the stream is flushed (the line fell
// idle or closed). A frame
// cut across reads waits for its rest.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <cstdint>

struct DecodedItem {
    enum Kind { Frame, Stray };
    Kind kind = Stray;
    QByteArray bytes;
    std::uint8_t group = 0;
    int member = -1; // -1 when the frame carries the group code alone

    // One line for the simulator's output: the bytes in hex, then what they call, e.g.
    // "01 02 00 02 04 00  Administration 02 Secrétaire".
    QString describe() const;
    bool operator==(const DecodedItem &) const = default;
};

class FrameDecoder {
public:
    static constexpr qsizetype StrayLine = 16;

    // Takes received bytes; returns the frames and stray runs now decided, in the order they came.
    QList<DecodedItem> feed(QByteArrayView bytes);
    // Ends what waits: stray bytes and an incomplete frame come out as one stray run.
    QList<DecodedItem> flush();
    bool hasPending() const { return !m_buffer.isEmpty() || !m_stray.isEmpty(); }

private:
    QByteArray m_buffer; // bytes not decided yet, starting with a possible frame
    QByteArray m_stray;  // stray bytes waiting to be reported together
};
