// The console's line on a Linux tty, set up in one place for the console's device and for the
// simulator: raw (cfmakeraw: no line editing, echo, signals or byte translation either way), 9600 baud,
// 8 data bits, no parity, 1 stop bit, no flow control, CLOCAL and CREAD, reads that return as soon as
// one byte is there (VMIN 1, VTIME 0). The settings are read back: tcsetattr succeeds when any one of
// them took.
//
// A break and a byte with a framing or parity error are not data: taken as bytes, they would shift
// every later answer. The driver hands each byte to the line discipline (n_tty) with a flag; what the
// input flags do with it:
// - IGNBRK: a byte flagged as a break is dropped.
// - INPCK: a byte flagged with a framing or parity error is checked rather than taken as data. The
//   serial core's UARTs (ttyS) look at their error bits only with INPCK, and then drop such a byte
//   themselves; USB serial drivers (FTDI, Prolific, CH340, CP210x) flag it whatever the settings.
// - IGNPAR: with INPCK, the line discipline drops a byte so flagged (without IGNPAR it would mark it,
//   or hand a 0x00 in its place).
// - PARMRK: keeps the line discipline on the path that looks at each byte's flag. With IGNBRK and
//   IGNPAR and none of the flags that ask for byte processing (PARMRK is one), it takes the "real raw"
//   path on drivers that declare themselves raw (the serial core, USB serial, CDC ACM, pseudo-
//   terminals): bytes are copied with no look at their flags, and a byte a USB driver flagged as bad
//   arrives as data. PARMRK marks nothing here, since IGNBRK and IGNPAR drop what it would mark: all
//   it changes in what is read is that each 0xFF byte comes doubled (MarkedInput undoes that).
// CDC ACM devices (ttyACM) flag no byte: there only the error counters tell.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

struct LineSetupFailure {
    QString what; // in French: "réglage de la ligne à 9600 bauds 8N1 impossible", ...
    int error;    // errno of the failed call, 0 when the call succeeded but said no
};

// Sets the line of the tty open at `fd` (on a pseudo-terminal's master, the side its peer opens).
// Nothing when the line runs as described above.
std::optional<LineSetupFailure> setUpLine(int fd);

// The bytes read from a line set up by setUpLine, as the device sent them: 0xFF 0xFF is one 0xFF, and
// 0xFF 0x00 x is a byte x that the driver flagged with a framing or parity error. A mark cut across reads
// waits for its other bytes. Any other byte after a 0xFF cannot come from such a line; should it come,
// both are kept as they came.
class MarkedInput {
public:
    // Bytes that came whole, or one byte the driver flagged.
    struct Piece {
        QByteArray bytes;
        bool spoiled = false;
    };
    QList<Piece> decode(const char *bytes, qsizetype count);
    // The bytes that came whole only.
    QByteArray wholeBytes(const char *bytes, qsizetype count);

private:
    int m_marked = 0; // bytes of a mark seen so far: 1 after 0xFF, 2 after 0xFF 0x00
};
