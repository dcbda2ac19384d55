// The console's line on a Linux tty, set up in one place for the console's device and for the
// simulator: raw, 9600 baud, 8 data bits, no parity, 1 stop bit, no flow control, CLOCAL and CREAD,
// a break and a byte with a framing error ignored rather than taken as data (IGNBRK, IGNPAR), reads
// that return as soon as one byte is there (VMIN 1, VTIME 0). The settings are read back: tcsetattr
// succeeds when any one of them took.
#pragma once

#include <QString>
#include <optional>

struct LineSetupFailure {
    QString what; // in French: "réglage de la ligne à 9600 bauds 8N1 impossible", ...
    int error;    // errno of the failed call, 0 when the call succeeded but said no
};

// Sets the line of the tty open at `fd` (on a pseudo-terminal's master, the side its peer opens).
// Nothing when the line runs as described above.
std::optional<LineSetupFailure> setUpLine(int fd);
