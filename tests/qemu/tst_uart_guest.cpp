// The console on a real 8250 UART: this program runs inside the guest that uart_host starts, where the
// console opens ttyS1 as Com 2 and the host plays the device at the far end of the emulated 16550.
//
// The device, as the host plays it, takes calls that end with 04 00:
// - it echoes each call back, padded with 00 to whole three-byte answers;
// - a call that starts with BB gets a break on the line before its echo;
// - a call that starts with CC is not echoed: the device puts the bytes between CC and 04 00 on the
//   line instead, as a device's chatter.
#include "../consolewidgets.h"
#include "../recordingsink.h"
#include "consolewindow.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include <memory>

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

const char *const uart = "/dev/ttyS1";
constexpr int waitMs = 15000; // the guest runs emulated, many times slower than the host

// The answers the device gives to `call`: its bytes, three at a time, the last padded with 00.
QStringList echoOf(QByteArray call)
{
    call.append(QByteArray((3 - call.size() % 3) % 3, '\0'));
    QStringList answers;
    for (qsizetype i = 0; i < call.size(); i += 3)
        answers
            << QStringLiteral("%1 %2 %3").arg(uchar(call[i])).arg(uchar(call[i + 1])).arg(uchar(call[i + 2]));
    return answers;
}

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

int driverCount(const char *name)
{
    const QRegularExpression count(QStringLiteral(" %1:(\\d+)").arg(QLatin1String(name)));
    return count.match(driverLine()).captured(1).toInt(); // a break count is left out while it is 0
}

// A descriptor of the test's own on ttyS1. Root opens it even while the console holds the port
// exclusively; the console's close is then not the last one until this one is closed.
class UartHandle {
public:
    UartHandle() : m_fd(::open(uart, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}
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

} // namespace

class TestUartGuest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void lineOnTheUart();
    void everyCallComesBackFromTheDevice_data();
    void everyCallComesBackFromTheDevice();
    void answersAreNeverShifted_data();
    void answersAreNeverShifted();
    void nodeWithNoUartIsRefused();

private:
    void connectToUart();
    void call(const QString &list);

    RecordingSink *m_sink = nullptr;
    ConsoleWindow *m_window = nullptr;
};

void TestUartGuest::initTestCase()
{
    ConsoleWindow::setUpApplication();
    QVERIFY2(driverLine().contains(QLatin1String("uart:16550A")), qPrintable(driverLine()));
}

void TestUartGuest::init()
{
    m_sink = new RecordingSink;
    m_window = new ConsoleWindow(m_sink);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
}

void TestUartGuest::cleanup()
{
    delete m_window;
    delete m_sink;
    m_window = nullptr;
    m_sink = nullptr;
}

void TestUartGuest::connectToUart()
{
    findBox(m_window, QStringLiteral("Port"))->setText(QStringLiteral("2"));
    click(m_window, QStringLiteral("Connecter"));
    QVERIFY2(m_sink->failures.isEmpty(), qPrintable(m_sink->failures.value(0)));
    QCOMPARE(m_window->link().devicePath(), QString::fromLatin1(uart));
}

// Types a list in ListeCar and presses Envoyer.
void TestUartGuest::call(const QString &list)
{
    findBox(m_window, QStringLiteral("ListeCar"))->setText(list);
    click(m_window, QStringLiteral("Envoyer"));
    QVERIFY2(m_sink->failures.isEmpty(), qPrintable(m_sink->failures.value(0)));
}

void TestUartGuest::lineOnTheUart()
{
    QVERIFY2(!driverShowsDtr(), qPrintable(driverLine()));
    connectToUart();
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
        // The settings as the driver keeps them.
        termios tio{};
        QCOMPARE(::tcgetattr(handle.fd(), &tio), 0);
        QCOMPARE(::cfgetospeed(&tio), speed_t(B9600));
        QCOMPARE(::cfgetispeed(&tio), speed_t(B9600));
        QCOMPARE(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
                 tcflag_t(CS8 | CLOCAL | CREAD));
        QCOMPARE(tio.c_iflag & (IGNBRK | IGNPAR | IXON | IXOFF | PARMRK | INPCK), tcflag_t(IGNBRK | IGNPAR));
    }
    // Other terminal programs see the port as taken.
    QFile lock(QStringLiteral("/run/lock/LCK..ttyS1"));
    QVERIFY(lock.open(QIODevice::ReadOnly));
    QCOMPARE(lock.readAll().trimmed().toLongLong(), QCoreApplication::applicationPid());
    lock.close();

    // Closing gives the line back: DTR drops (a device that DTR resets sees the console go), the lock goes.
    m_window->close();
    QVERIFY(!m_window->link().isOpen());
    QTRY_VERIFY2_WITH_TIMEOUT(!driverShowsDtr(), qPrintable(driverLine()), waitMs);
    QVERIFY(!lock.exists());
}

void TestUartGuest::everyCallComesBackFromTheDevice_data()
{
    QTest::addColumn<QString>("name"); // a button, or "Envoyer" with `list`
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("list");
    QTest::addColumn<QByteArray>("line"); // what the device must read

    QTest::newRow("Prof") << "Prof" << -1 << "" << QByteArray::fromHex("0101010400");
    const struct {
        const char *name;
        int count;
        char group;
    } arrays[] = {{"Administration", 4, 0}, {"Entretien", 2, 2}, {"Eleves", 6, 3}};
    for (const auto &array : arrays)
        for (int i = 0; i < array.count; ++i)
            QTest::addRow("%s %d", array.name, i)
                << array.name << i << ""
                << QByteArray::fromHex("0102") + array.group + char(i) + QByteArray::fromHex("0400");
    QTest::newRow("Envoyer, every value")
        << "Envoyer" << -1 << "0 255 0x7f 010 4 0" << QByteArray::fromHex("00ff7f0a0400");
}

void TestUartGuest::everyCallComesBackFromTheDevice()
{
    QFETCH(QString, name);
    QFETCH(int, index);
    QFETCH(QString, list);
    QFETCH(QByteArray, line);

    connectToUart();
    if (name == QLatin1String("Envoyer"))
        call(list);
    else
        click(m_window, name, index);
    QTRY_COMPARE_WITH_TIMEOUT(m_sink->answers, echoOf(line), waitMs);
}

void TestUartGuest::answersAreNeverShifted_data()
{
    QTest::addColumn<QByteArray>("chatter"); // a call asking the device for chatter before Connecter
    QTest::addColumn<QString>("list");       // the call after Prof's answers
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("breaks"); // breaks the UART must have seen meanwhile

    // With IGNBRK and IGNPAR, 00 bytes on the line are still data.
    QTest::newRow("00 bytes are data")
        << QByteArray() << "0 0 0 4 0" << QByteArray::fromHex("0000000400") << 0;
    // The UART reports a break as a 00 byte with a break flag: taken in, it would shift this answer
    // and every one after it ("0 187 7").
    QTest::newRow("a break between answers is not a byte")
        << QByteArray() << "0xBB 7 8 4 0" << QByteArray::fromHex("bb07080400") << 1;
    // What the driver received before Connecter (the port held open meanwhile, so that the bytes
    // wait in its input as a device's start-up chatter does) would shift every answer ("85 102 1").
    QTest::newRow("bytes the driver held before Connecter are dropped")
        << QByteArray::fromHex("cc55660400") << "7 8 9 4 0" << QByteArray::fromHex("0708090400") << 0;
}

void TestUartGuest::answersAreNeverShifted()
{
    QFETCH(QByteArray, chatter);
    QFETCH(QString, list);
    QFETCH(QByteArray, line);
    QFETCH(int, breaks);

    std::unique_ptr<UartHandle> holder;
    if (!chatter.isEmpty()) {
        holder = std::make_unique<UartHandle>();
        QVERIFY(holder->fd() >= 0);
        termios tio{};
        QCOMPARE(::tcgetattr(holder->fd(), &tio), 0);
        ::cfmakeraw(&tio);
        QCOMPARE(::tcsetattr(holder->fd(), TCSANOW, &tio), 0);
        QCOMPARE(::write(holder->fd(), chatter.constData(), size_t(chatter.size())), ssize_t(chatter.size()));
        // The chatter is in the driver's input, unread, when Connecter is pressed.
        int waiting = 0;
        QTRY_VERIFY_WITH_TIMEOUT(
            ::ioctl(holder->fd(), FIONREAD, &waiting) == 0 && waiting == chatter.size() - 3, waitMs);
    }
    const int breaksBefore = driverCount("brk");
    connectToUart();
    holder.reset();

    click(m_window, QStringLiteral("Prof"));
    const QStringList prof = echoOf(QByteArray::fromHex("0101010400"));
    QTRY_COMPARE_WITH_TIMEOUT(m_sink->answers, prof, waitMs);
    call(list);
    QTRY_COMPARE_WITH_TIMEOUT(m_sink->answers, prof + echoOf(line), waitMs);
    QTest::qWait(300);
    QCOMPARE(m_sink->answers, prof + echoOf(line));
    QCOMPARE(m_window->link().bytesWaiting(), qsizetype(0));
    QCOMPARE(driverCount("brk") - breaksBefore, breaks);
}

void TestUartGuest::nodeWithNoUartIsRefused()
{
    // A PC has ttyS2 and ttyS3 whatever its hardware; this guest has no UART behind them.
    QVERIFY(QFile::exists(QStringLiteral("/dev/ttyS2")));
    findBox(m_window, QStringLiteral("Port"))->setText(QStringLiteral("3"));
    click(m_window, QStringLiteral("Connecter"));
    QCOMPARE(m_sink->failures.size(), 1);
    QVERIFY2(m_sink->failures.first().contains(QStringLiteral("aucun circuit série")),
             qPrintable(m_sink->failures.first()));
    QCOMPARE(m_sink->endStatus, 1);
}

QTEST_MAIN(TestUartGuest)
#include "tst_uart_guest.moc"
