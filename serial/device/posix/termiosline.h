// The console's line on a Linux tty, set up in one place for the console's device and for the
// simulator: raw (cfmakeraw: no line editing, echo, signals or byte translation either way), 9600 baud,
// 8 data bits, no parity, 1 stop bit, no flow control, CLOCAL and CREAD, reads that return as soon as
// one byte is there (VMIN 1, VTIME 0). The settings are read back: tcsetattr succeeds when any one of
// them took.
//
// A break and a byte with a framing or parity error are not data: taken as bytes, they would shift
// every later answer. A driver hands each byte to the line discipline (n_tty) with a flag, or flags
// nothing; what the input flags do (kernel 6.1 and 6.12 alike):
// - IGNBRK: a break is dropped. The serial core's UARTs (ttyS) drop it themselves (ignore_status_mask
//   in serial8250_do_set_termios, uart_insert_char); n_tty drops a byte flagged as one
//   (n_tty_receive_break).
// - INPCK: the serial core's UARTs flag a framing or parity error only with it (read_status_mask), and
//   CP210x adapters report errors byte by byte only with it (event-insertion mode, cp210x_set_termios).
// - PARMRK, IGNPAR off: n_tty marks a byte flagged with a framing or parity error where it came, as
//   0xFF 0x00 and the byte (n_tty_receive_parity_error), and doubles a real 0xFF (n_tty_receive_char):
//   MarkedInput reads both. PARMRK puts n_tty on its standard path, which looks at each flag.
// - IGNPAR stays off: with it the UARTs would drop a bad byte, and every overrun, in the driver, and
//   n_tty would drop a flagged byte unseen; with INPCK and without IGNPAR, n_tty never takes its "real
//   raw" path (n_tty_set_termios), which copies bytes with no look at their flags.
// An overrun is never a byte: n_tty only logs it (n_tty_receive_overrun); the counters (TIOCGICOUNT)
// tell it, where the driver has them. What is flagged differs by adapter: the UARTs and CP210x flag
// the bad byte itself, FTDI every byte of the USB packet it came in, Prolific every byte of the next
// transfer after its status said so, CH340 and CDC ACM nothing (CDC ACM counts what the device
// reports). docs/serial-lines.md has the table.
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
