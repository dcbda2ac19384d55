// The QEMU rig: this program runs inside the guest that qemu_host starts, where the console opens
// ttyS1, an emulated 16550, as Com 2. qemu_host plays the device at the far end of ttyS1 and takes
// the device's orders over ttyS3, a second UART (rig/commandpeer.h). The shared scenarios, then what
// only a real UART driver shows: the port type, DTR, breaks, the lock file, a node with no UART.
#include "../rig/commandpeer.h"
#include "../rig/scenarios.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>

#include <memory>

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

const char *const uart = "/dev/ttyS1";

// What the serial core says of ttyS1 without opening it (opening would raise DTR): its line of
// /proc/tty/driver/serial, "1: uart:16550A port:000002F8 irq:3 tx:12 rx:7 brk:1 RTS|CTS|DTR|DSR|CD".
QString driverLine()
{
    QFile file(QStringLiteral("/proc/tty/driver/serial"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray &line : file.readAll().split('\n'))
        if (line.startsWith("1: "))
            return QString::fromLatin1(line);
    return {};
}

bool driverShowsDtr()
{
    return driverLine().split(QLatin1Char(' ')).last().split(QLatin1Char('|')).contains(QLatin1String("DTR"));
}

// Breaks the UART has seen (the count is left out while it is 0).
int driverBreaks()
{
    return QRegularExpression(QStringLiteral(" brk:(\\d+)")).match(driverLine()).captured(1).toInt();
}

// A descriptor of the test's own on a port, made raw if asked. Root opens ttyS1 even while the console
// holds it exclusively; the console's close is then not the last one until this one is closed.
class UartHandle {
public:
    explicit UartHandle(const char *path = uart, bool raw = false)
        : m_fd(::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
        termios tio{};
        if (raw && m_fd >= 0 && ::tcgetattr(m_fd, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::cfsetspeed(&tio, B115200);
            tio.c_cflag |= CLOCAL;
            ::tcsetattr(m_fd, TCSANOW, &tio);
        }
    }
    ~UartHandle()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    UartHandle(const UartHandle &) = delete;
    UartHandle &operator=(const UartHandle &) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

class UartPeer : public CommandPeer {
public:
    QString portText() const override { return QStringLiteral("2"); }
    QString devicePath() const override { return QString::fromLatin1(uart); }
    // The emulated guest runs many times slower than the host.
    int waitMs() const override { return 15000; }
    // Bytes sent before Connecter wait in the driver's input, the port held open meanwhile, as a
    // device's start-up chatter does.
    void send(const QByteArray &bytes) override
    {
        if (!m_connected && !m_holder)
            m_holder = std::make_unique<UartHandle>(uart, true);
        int before = 0;
        if (m_holder)
            ::ioctl(m_holder->fd(), FIONREAD, &before);
        CommandPeer::send(bytes);
        int waiting = 0;
        QTRY_VERIFY_WITH_TIMEOUT(!m_holder || (::ioctl(m_holder->fd(), FIONREAD, &waiting) == 0 &&
                                               waiting == before + bytes.size()),
                                 waitMs());
    }
    // The settings as the driver keeps them, read on a descriptor of this test's own.
    LineSettings settings() override
    {
        const UartHandle handle;
        termios tio{};
        return ::tcgetattr(handle.fd(), &tio) == 0 ? settingsOf(tio) : LineSettings();
    }
    bool listed() const override { return true; }
    QString hangUp() override { return QStringLiteral("a UART with CLOCAL set sees no far end go away"); }
    void connected() override
    {
        m_connected = true;
        m_holder.reset();
    }
    void reset()
    {
        m_connected = false;
        m_holder.reset();
    }
    void sendBreak() { expectOk("break"); }

private:
    // Blocking: qemu_host answers every command at once, and ends QEMU at its deadline.
    void write(const QByteArray &bytes) override
    {
        ::fcntl(m_control.fd(), F_SETFL, 0);
        if (::write(m_control.fd(), bytes.constData(), size_t(bytes.size())) != bytes.size())
            qFatal("UartPeer: cannot write to the control line: %s", strerror(errno));
    }
    QByteArray readSome() override
    {
        char buf[16384];
        const ssize_t n = ::read(m_control.fd(), buf, sizeof buf);
        return n > 0 ? QByteArray(buf, n) : QByteArray();
    }

    UartHandle m_control{"/dev/ttyS3", true};
    std::unique_ptr<UartHandle> m_holder;
    bool m_connected = false;
};

} // namespace

class TestUartGuest : public LineScenarios {
    Q_OBJECT
private slots:
    void lineOnTheUart();
    void aBreakIsNotAByte_data();
    void aBreakIsNotAByte();

private:
    LinePeer &peer() override { return m_peer; }
    // A PC has ttyS2 whatever its hardware; this guest has no UART behind it.
    QList<BadPort> badPorts() const override
    {
        return {{"ttyS2, a node with no UART", "3", "aucun circuit série", true}};
    }
    void setUpRig() override
    {
        QVERIFY2(driverLine().contains(QLatin1String("uart:16550A")), qPrintable(driverLine()));
    }
    void beforeEach() override
    {
        m_peer.reset();
        m_peer.take(1 << 20, 0); // whatever an earlier test left on the line does not count here
    }

    UartPeer m_peer;
};

void TestUartGuest::lineOnTheUart()
{
    QVERIFY2(!driverShowsDtr(), qPrintable(driverLine()));
    connectToPeer();
    QVERIFY2(driverShowsDtr(), qPrintable(driverLine()));
    {
        UartHandle handle;
        QVERIFY(handle.fd() >= 0);
        int lines = 0;
        QCOMPARE(::ioctl(handle.fd(), TIOCMGET, &lines), 0);
        QCOMPARE(lines & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR | TIOCM_RTS);
        serial_struct info{};
        QCOMPARE(::ioctl(handle.fd(), TIOCGSERIAL, &info), 0);
        QCOMPARE(info.type, PORT_16550A);
    }
    // Other terminal programs see the port as taken.
    QFile lock(QStringLiteral("/run/lock/LCK..ttyS1"));
    QVERIFY(lock.open(QIODevice::ReadOnly));
    QCOMPARE(lock.readAll().simplified().split(' ').value(0).toLongLong(),
             QCoreApplication::applicationPid());
    lock.close();

    // Closing gives the line back: DTR drops (a device that DTR resets sees the console go), the lock goes.
    m_window->close();
    QVERIFY(!m_window->link().isOpen());
    QTRY_VERIFY2_WITH_TIMEOUT(!driverShowsDtr(), qPrintable(driverLine()), m_peer.waitMs());
    QVERIFY(!lock.exists());
}

void TestUartGuest::aBreakIsNotAByte_data()
{
    QTest::addColumn<bool>("during");
    QTest::newRow("between answers") << false;
    QTest::newRow("during an answer") << true;
}

void TestUartGuest::aBreakIsNotAByte()
{
    // The UART reports a break as a 00 byte with a break flag: the line drops it (a device switched off,
    // a cable touched), and the answer around it or after it shows whole, with nothing else told.
    QFETCH(bool, during);
    const int breaksBefore = driverBreaks();
    connectToPeer();
    m_peer.send(QByteArray::fromHex("010203"));
    QTRY_COMPARE_WITH_TIMEOUT(m_sink->answers, QStringList{"1 2 3"}, m_peer.waitMs());
    if (during) {
        m_peer.send(QByteArray::fromHex("04"));
        QTRY_COMPARE_WITH_TIMEOUT(m_window->link().bytesWaiting(), qsizetype(1), m_peer.waitMs());
    }
    QElapsedTimer clock;
    clock.start();
    m_peer.sendBreak();
    m_peer.send(QByteArray::fromHex(during ? "0506" : "040506"));
    qInfo("break and the rest of the answer sent in %lld ms", clock.elapsed());
    QTRY_COMPARE_WITH_TIMEOUT(m_sink->answers, (QStringList{"1 2 3", "4 5 6"}), m_peer.waitMs());
    QTest::qWait(SerialLink::SilenceMs + 300);
    QCOMPARE(m_sink->boxes, (QStringList{"answer: 1 2 3", "answer: 4 5 6"}));
    QCOMPARE(m_window->link().bytesWaiting(), qsizetype(0));
    QCOMPARE(driverBreaks() - breaksBefore, 1);
}

QTEST_MAIN(TestUartGuest)
#include "tst_uart_guest.moc"
