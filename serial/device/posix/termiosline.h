// The console's line on a Linux tty, set up in one place for the console's device and for the
// simulator: raw, 9600 baud, 8 data bits, no parity, 1 stop bit, no flow control, CLOCAL and CREAD,
// reads that return as soon as one byte is there (VMIN 1, VTIME 0). The settings are read back:
// tcsetattr succeeds when any one of them took.
//
// A break and a byte with a framing or parity error are not data: taken as bytes, they would shift
// every later answer. IGNBRK drops breaks and INPCK with IGNPAR drops bad bytes, where something looks
// at the error flags: the serial core's UARTs (ttyS) read them only with INPCK and then drop such a
// byte themselves; USB serial drivers (FTDI, Prolific, CH340, CP210x) flag it and leave it to the
// line discipline, which skips every flag on its "real raw" path. PARMRK keeps it off that path. PARMRK
// also doubles a real 0xFF byte on its way in: MarkedInput undoes that, and drops any byte the line
// discipline marks as bad. CDC ACM devices (ttyACM) flag no byte: there only the error counters tell.
#pragma once

#include <QByteArray>
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
// 0xFF 0x00 x (a byte x that the line discipline marks as bad) is dropped and counted.
// A mark cut across reads waits for its rest.
class MarkedInput {
public:
    QByteArray decode(const char *bytes, qsizetype count);
    // Bytes dropped as marked bad so far.
    int badBytes() const { return m_badBytes; }

private:
    int m_pending = 0; // bytes of a mark seen: 1 after 0xFF, 2 after 0xFF 0x00
    int m_badBytes = 0;
};
