// SerialLink: the console's one serial port, driven by the Qt event loop. This part is the same on every
// platform; the device itself is a SerialDevice (termios on Linux, Win32 overlapped I/O on Windows).
//
// Contract:
// - The port number is set only while the port is closed; a number that names no device is refused.
// - open() runs the line raw at 9600 baud, 8 data bits, no parity, 1 stop bit, no flow control, DTR
//   raised, and holds the port exclusively: a port that another program holds is refused as busy. What
//   the line held before the port opened is dropped. A port that does not exist, or is busy, is refused
//   with a message that also names the serial ports present on the computer. The system's open runs on
//   a thread of its own (it can take seconds): open() keeps the event loop going until it is done, the
//   window's close request included, and a close() meanwhile abandons it. The link knows nothing of
//   widgets: whatever else the event loop hands out meanwhile (keys, clicks) is for its caller to hold.
// - write() queues the bytes in order; the queue goes to the device as soon as the calling operation
//   returns to the event loop (or at once, each time FlushChunk bytes have gathered), and what the
//   device cannot take yet is drained from the event loop. A write never blocks, never reorders and
//   never drops a byte. A write while the port is closed, or after the line was lost, throws.
// - Received bytes, 0x00 included, are framed by the line's silences: bytes that arrive with no silence
//   of SilenceMs between them form a stretch, and a stretch's bytes wait in the input queue as answers of
//   ReceiveThreshold bytes, in order. When the line has been silent SilenceMs with one or two bytes of a
//   stretch left over, they leave the queue as a notice (an answer cut short), so that the next answer
//   starts clean. When bytes arrived decides, not when they are read: the device keeps delivering while
//   the receiver is busy (an answer box is open).
// - A byte the line or the driver spoiled or lost spoils the stretch it came in: the answers completed
//   before it stay; the stretch's other bytes leave the queue, and at the stretch's end one notice tells
//   the errors and the bytes that came whole (its first ones and their count: a stretch without end takes
//   no more memory). An error that comes with no byte while no stretch is under way is a notice of its
//   own. So is a stretch that finds MaxWaiting bytes unread (its bytes are lost as if the buffer were
//   full). The link goes on: a line error is told, never a failure.
// - notified() is raised on the event loop, after new bytes or a notice arrive and again after a read or
//   takeNotice() that leaves something, whenever the head of the input is ready: commEvent() is Received
//   when an answer's ReceiveThreshold bytes wait there (read() gives them; it never reads past a notice),
//   NoWholeAnswer when a notice does (takeNotice() gives it).
// - A hang-up (device unplugged, peer closed) is reported once, with commEvent() == LineLost; the link
//   then gives the device back to the system at once (the port stays open as far as the console is
//   concerned), and later writes fail with a message that the port was lost. unsentAtLoss() tells how
//   many written bytes will never go out: those still queued in the link and those the device had taken
//   but not yet put on the line.
// - A line lost while close() lets the bytes go is said by close() itself, which throws the lost-line
//   message when written bytes will never go out; nothing is raised after the close. The destructor
//   closes too, but lets nothing out. unsentAtLoss() and lostLineMessage() keep what they say after the
//   close, until the next open, and so do the notices (the close ends the stretch under way): the
//   answers still waiting go.
// - close() lets every byte already written go out first, bounded by the time the bytes the link handed
//   over take on the line plus a margin (never by what a driver reports), then releases the port.
// Every failure is a Failure whose French message names the port and what went wrong.
//
// Life of the link, one State at a time:
//   Closed  -> Opening   open(): the system's open runs beside the event loop
//   Opening -> Open      the open ended and the device is watched
//   Opening -> Closed    the open failed (open() throws), or close() abandoned it meanwhile
//   Open    -> Lost      the device hung up or failed: it is given back to the system at once
//   Open    -> Closing   close(): what was written goes out, within its bound
//   Closing -> Closed    the port is released
//   Lost    -> Closed    close(): nothing more goes out
// isOpen() holds in Open, Lost and Closing: for the console, a lost port stays open until it closes.
#pragma once

#include "linenotice.h"
#include "portnumber.h"
#include "portwrite.h"
#include "serialdevice.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <deque>
#include <memory>

class SerialLink : public QObject, private DeviceEvents {
    Q_OBJECT
public:
    // Codes read with commEvent() when notified() is raised.
    enum Event : int {
        NoEvent = 0,
        Received = 2,      // an answer's ReceiveThreshold bytes wait at the head of the input
        NoWholeAnswer = 3, // a notice waits at the head of the input
        LineLost = 5,      // the device hung up; the link no longer reads or writes
    };
    static constexpr int ReceiveThreshold = 3;
    // A silence this long ends a stretch of received bytes.
    static constexpr int SilenceMs = 1000;
    // Answer bytes that may wait unread; a stretch that finds the queue this full is lost and told.
    static constexpr qsizetype MaxWaiting = qsizetype(1) << 18;
    static constexpr int BaudRate = SerialDevice::BaudRate;
    // Queued bytes handed to the device at once, without waiting for the event loop.
    static constexpr qsizetype FlushChunk = 4096;

    enum class State { Closed, Opening, Open, Lost, Closing };

    // `makeDevice` makes the device of each open; tests may give a scripted one.
    explicit SerialLink(QObject *parent = nullptr, SerialDeviceFactory makeDevice = makeSerialDevice);
    ~SerialLink() override;
    Q_DISABLE_COPY_MOVE(SerialLink)

    State state() const { return m_state; }
    bool isOpen() const
    {
        return m_state == State::Open || m_state == State::Lost || m_state == State::Closing;
    }
    // open() is waiting for the system to open the port; close() meanwhile abandons that open.
    bool isOpening() const { return m_state == State::Opening; }
    PortNumber portNumber() const { return m_portNumber; }
    QString devicePath() const;
    // "COM3 (/dev/ttyS2)" on Linux, "COM3" on Windows: how messages name the port.
    QString portName() const;

    void setPortNumber(PortNumber number);
    // Reads always return raw bytes; the call is kept so that callers state the mode they rely on.
    void setBinaryInput() { m_binaryInput = true; }
    bool binaryInput() const { return m_binaryInput; }

    void open();
    void close();

    void write(const PortWrite &bytes);
    qsizetype outputQueued() const { return m_output.size() - m_outputHead; }
    // Bytes written that had not gone out when the line was lost; they never will.
    qsizetype unsentAtLoss() const { return m_unsentAtLoss; }
    bool isLost() const { return m_state == State::Lost; }
    // For a lost line: names the port and the cause, and the bytes written that will never go out.
    QString lostLineMessage() const;

    int commEvent() const { return m_event; }
    // The most bytes a read returns; 0 means every waiting byte up to the next notice.
    void setReadLength(int length) { m_readLength = length; }
    QByteArray read();
    // Answer bytes waiting, the stretch under way's included.
    qsizetype bytesWaiting() const { return m_input.size() - m_inputHead; }
    // A notice is at the head of the input (after the close: any notice is left).
    bool noticeWaiting() const;
    // The notice at the head of the input; an empty one when there is none.
    LineNotice takeNotice();
    // Raises notified() again, on the event loop, if an answer or a notice waits at the head.
    void renotifyIfWaiting();

signals:
    void notified();

private:
    // DeviceEvents
    void received(const char *bytes, qsizetype count) override;
    void writable() override;
    void lost(const DeviceError &error) override;
    void lineErrors(const LineErrors &errors, const char *bytes, qsizetype count) override;

    // Framing by silence.
    qint64 receivedTotal() const { return m_inputRead + bytesWaiting(); }
    void enterStretch(qint64 nowMs); // ends a stretch silent for SilenceMs, begins one if none is under way
    void spoilStretch(const LineErrors &errors);
    // The bytes of the stretch under way after its last whole answer, and those taken from the queue.
    qsizetype answerUnderWay() const;
    QByteArray takeAnswerUnderWay();
    void keepWhole(const char *bytes, qsizetype count); // in the spoiled stretch's notice
    void endStretch();
    void armSilence();
    void onSilence();
    void addNotice(const LineNotice &notice, bool ofSilence = false);
    Event headEvent() const;
    void raiseForHead();
    // Runs the device's open on a thread of its own while the event loop goes on; false when close()
    // abandoned it meanwhile.
    bool openBesideTheEventLoop(std::unique_ptr<SerialDevice> &device);
    // Open, or Closing: the device is there and the line works.
    bool lineWorks() const { return m_state == State::Open || m_state == State::Closing; }

    bool flushOutput(); // false when the device cannot take more now
    void noteHandedToDevice(qsizetype bytes);
    qint64 lineBusyForMs() const; // line time still ahead of the bytes the device has taken
    void flushToDevice();         // flushOutput(), then waits for the device to ask for more if it is full
    void flushToDeviceReportingLoss();
    bool drainBeforeClose(); // false when bytes were left after the time allowed
    void loseLine(const DeviceError &error);
    void raise(Event event);
    [[noreturn]] void failOnWrite(const DeviceError &error);

    PortNumber m_portNumber = 1;
    bool m_binaryInput = false;
    SerialDeviceFactory m_makeDevice;
    State m_state = State::Closed;
    std::unique_ptr<SerialDevice> m_device; // there in Open, Lost and Closing
    QString m_lostReason;
    bool m_deviceFull = false; // the device took less than offered: it says when it can take more
    qsizetype m_unsentAtLoss = 0;
    // When the line will have sent every byte handed to the device, at 9600 baud, on m_clock (µs).
    QElapsedTimer m_clock;
    qint64 m_lineFreeAtUs = 0;

    QByteArray m_output; // bytes written by the console that the device has not taken yet
    qsizetype m_outputHead = 0;
    QByteArray m_input; // answer bytes not read yet, oldest first
    qsizetype m_inputHead = 0;
    qint64 m_inputRead = 0; // answer bytes read since the open: where m_inputHead is in the line's input

    // Notices, each before the answer byte at `at` (a place in the line's input, as m_inputRead).
    struct WaitingNotice {
        qint64 at = 0;
        LineNotice notice;
        bool ofSilence = false; // errors with no byte while no stretch was under way
    };
    std::deque<WaitingNotice> m_notices;
    // The stretch of received bytes under way.
    struct Stretch {
        bool open = false;
        quint64 serial = 0;  // tells a stretch from the next
        qint64 begin = 0;    // where its answer bytes begin in the line's input
        qint64 lastMs = 0;   // when its last byte came, on m_clock
        bool ending = false; // its silence was seen: errors reported now are its own
        bool spoiled = false;
        LineNotice told; // what its end tells, once spoiled
    } m_stretch;
    QTimer m_silence; // runs only while the stretch under way has something to tell at its end

    int m_event = NoEvent;
    int m_readLength = 0;
    bool m_renotifyQueued = false;
    bool m_flushPosted = false;
};
