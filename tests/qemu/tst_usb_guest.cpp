// The USB rig: this program runs inside the guest that qemu_host starts with a virtual USB bus loaded
// (dummy_hcd: a host controller wired to a gadget controller). The test makes a CDC ACM gadget through
// configfs; the kernel's real cdc_acm driver then gives the console /dev/ttyACM0, Com 65, while this
// test plays the device on the gadget's side of the cable, /dev/ttyGS0. Unplugging is unbinding the
// gadget from its controller. The shared scenarios, then what only a USB adapter shows: the line coding
// and DTR as they go over the bus (usbmon), an unplug with bytes still to go, and a close against a
// device that has stopped reading.
#include "../rig/scenarios.h"
#include "bounded.h"
#include "serialdevice.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

const char *const adapter = "/dev/ttyACM0";
const char *const deviceSide = "/dev/ttyGS0";
const QString gadget = QStringLiteral("/sys/kernel/config/usb_gadget/liaison");
const char *const productName = "Boitier d'appel USB";
constexpr int GuestWaitMs = 15000; // the emulated guest runs many times slower than the host

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A descriptor of the test's own. Root opens the adapter even while the console holds it exclusively.
int openRaw(const char *path)
{
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios tio{};
    if (fd >= 0 && ::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL;
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

// The gadget: one CDC ACM function, bound to the bus's gadget controller (plugged) or not (unplugged).
namespace usbGadget {

QString controller()
{
    const QStringList udcs =
        QDir(QStringLiteral("/sys/class/udc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    return udcs.value(0);
}

bool make()
{
    const QString acm = gadget + QStringLiteral("/functions/acm.usb0");
    const QString config = gadget + QStringLiteral("/configs/c.1");
    return QDir().mkpath(gadget) && writeFile(gadget + "/idVendor", "0x1d6b") &&
           writeFile(gadget + "/idProduct", "0x0104") && QDir().mkpath(gadget + "/strings/0x409") &&
           writeFile(gadget + "/strings/0x409/manufacturer", "Liaison") &&
           writeFile(gadget + "/strings/0x409/product", productName) &&
           writeFile(gadget + "/strings/0x409/serialnumber", "0001") && QDir().mkpath(acm) &&
           QDir().mkpath(config) && QFile::link(acm, config + QStringLiteral("/acm.usb0"));
}

bool plugged()
{
    return !readFile(gadget + QStringLiteral("/UDC")).trimmed().isEmpty();
}

// Plugs the adapter in and waits for its node.
void plug()
{
    if (!plugged())
        QVERIFY(writeFile(gadget + QStringLiteral("/UDC"), controller().toLatin1()));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(QString::fromLatin1(adapter)), GuestWaitMs);
}

void unplug()
{
    QVERIFY(writeFile(gadget + QStringLiteral("/UDC"), "\n"));
}

} // namespace usbGadget

// The USB monitor's text view of every bus, read without waiting: the control requests that went over.
class Usbmon {
public:
    Usbmon() : m_fd(::open("/sys/kernel/debug/usb/usbmon/0u", O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {}
    ~Usbmon()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool isValid() const { return m_fd >= 0; }

    // The last class request to the interface (bmRequestType 21) of a kind (bRequest) seen so far, as
    // "wValue|data words"; empty when none was seen.
    QString last(int request)
    {
        readNewLines();
        for (qsizetype i = m_requests.size() - 1; i >= 0; --i)
            if (m_requests[i].request == request)
                return m_requests[i].text;
        return {};
    }

    static constexpr int SetLineCoding = 0x20;
    static constexpr int SetControlLineState = 0x22;

private:
    struct Request {
        int request;
        QString text;
    };

    // The lines written since the last call, each taken once it is whole:
    // "... S Co:1:002:0 s 21 20 0000 0000 0007 7 = 80250000 000008".
    void readNewLines()
    {
        char chunk[8192];
        for (ssize_t n; (n = ::read(m_fd, chunk, sizeof chunk)) > 0;)
            m_partial.append(chunk, n);
        for (qsizetype end; (end = m_partial.indexOf('\n')) >= 0; m_partial.remove(0, end + 1)) {
            const QList<QByteArray> w = m_partial.left(end).simplified().split(' ');
            if (w.size() >= 11 && w[2] == "S" && w[3].startsWith("Co:") && w[4] == "s" && w[5] == "21")
                m_requests.append(
                    {w[6].toInt(nullptr, 16), QString::fromLatin1(w[7] + '|' + w.mid(12).join(' '))});
        }
    }

    int m_fd;
    QByteArray m_partial; // the start of a line not yet whole
    QList<Request> m_requests;
};

// The device, played on the gadget's tty. The adapter reads from the device only while a program
// holds its node, as a real CDC ACM adapter does: bytes sent before Connecter wait in the device.
class GadgetPeer : public LinePeer {
public:
    ~GadgetPeer() override { stopReading(); }
    QString portText() const override { return QStringLiteral("65"); }
    QString devicePath() const override { return QString::fromLatin1(adapter); }
    int waitMs() const override { return GuestWaitMs; }

    // The device side opened afresh: after an unplug the old descriptor is hung up for good.
    void startReading()
    {
        stopReading();
        m_fd = openRaw(deviceSide);
        QVERIFY2(m_fd >= 0, strerror(errno));
        char chunk[4096];
        while (::read(m_fd, chunk, sizeof chunk) > 0) {
        }
    }
    // The device stops reading; its gadget then takes nothing more from the bus once its own few
    // buffers are full.
    void stopReading()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    void send(const QByteArray &bytes) override
    {
        QVERIFY2(writeAll(m_fd, bytes, GuestWaitMs), strerror(errno));
        // On the bus once the gadget has queued them all for the adapter to fetch.
        int queued = 0;
        QTRY_VERIFY_WITH_TIMEOUT(::ioctl(m_fd, TIOCOUTQ, &queued) == 0 && queued == 0, GuestWaitMs);
    }
    QByteArray take(qsizetype count, int ms) override { return readAtLeast(m_fd, count, ms); }
    // The settings as the adapter's driver keeps them; usbmon shows what went over the bus.
    LineSettings settings() override
    {
        const int fd = ::open(adapter, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios tio{};
        const bool read = fd >= 0 && ::tcgetattr(fd, &tio) == 0;
        if (fd >= 0)
            ::close(fd);
        return read ? settingsOf(tio) : LineSettings();
    }
    QString hangUp() override
    {
        usbGadget::unplug();
        return {};
    }
    int handlesOnLine() const override { return descriptorsOn(devicePath()); }
    bool listed() const override { return true; }

private:
    int m_fd = -1;
};

// The console as the installed program runs it, on an adapter whose device reads nothing: Connecter, a
// frame, then the window closed and the program's end as in main. Prints "closing" when the window is
// asked to close, and the failures shown.
int consoleOnAStalledDevice(int argc, char **argv)
{
    int status = 0;
    {
        QApplication app(argc, argv);
        ConsoleWindow::setUpApplication();
        RecordingSink sink;
        ConsoleWindow window(&sink);
        window.show();
        findBox(&window, QStringLiteral("Port"))->setText(QStringLiteral("65"));
        findButton(&window, QStringLiteral("Connecter"))->click();
        findButton(&window, QStringLiteral("Administration"), 0)->click();
        QCoreApplication::processEvents();
        std::printf("open %d\nclosing\n", window.link().isOpen());
        std::fflush(stdout);
        QElapsedTimer closing;
        closing.start();
        window.close();
        std::printf("closed in %lld ms\n", qlonglong(closing.elapsed()));
        for (const QString &failure : sink.failures)
            std::printf("failure %s\n", qPrintable(failure));
        status = sink.endStatus < 0 ? 0 : sink.endStatus;
    }
    std::fflush(stdout);
    return finishWorkBeside(status, SerialDevice::ReleaseWaitMs);
}

} // namespace

class TestUsbGuest : public LineScenarios {
    Q_OBJECT
private slots:
    void lineCodingAndDtrOnTheBus();
    void unplugDuringALongListNamesWhatNeverWentOut_data();
    void unplugDuringALongListNamesWhatNeverWentOut();
    void closeAgainstADeviceThatStoppedReadingEndsInItsBound();

private:
    LinePeer &peer() override { return m_peer; }
    QList<BadPort> badPorts() const override
    {
        return {{"ttyACM1: no such adapter, the one present named by its product", "66", productName, true}};
    }
    void setUpRig() override
    {
        QVERIFY2(!usbGadget::controller().isEmpty(), "no gadget controller: dummy_hcd is not loaded");
        QVERIFY2(usbGadget::make(), "cannot make the CDC ACM gadget in configfs");
        usbGadget::plug();
    }
    void beforeEach() override
    {
        usbGadget::plug();
        // Re-plugged, the adapter comes back under its own number once nothing holds the old one.
        QVERIFY(!QFile::exists(QStringLiteral("/dev/ttyACM1")));
        m_peer.startReading();
    }
    void afterEach() override { m_peer.stopReading(); }

    // Unplugged and plugged in again: the gadget starts with none of its buffers taken.
    void replug()
    {
        usbGadget::unplug();
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(QString::fromLatin1(adapter)), GuestWaitMs);
        usbGadget::plug();
    }

    GadgetPeer m_peer;
};

void TestUsbGuest::lineCodingAndDtrOnTheBus()
{
    Usbmon bus;
    QVERIFY2(bus.isValid(), "no usbmon: debugfs or the usbmon module is missing");
    // Another program left the adapter at 115200 7E2: the console sets its own line, on the bus too.
    {
        const int fd = openRaw(adapter);
        termios tio{};
        QVERIFY(fd >= 0 && ::tcgetattr(fd, &tio) == 0);
        ::cfsetspeed(&tio, B115200);
        tio.c_cflag = (tio.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB;
        QCOMPARE(::tcsetattr(fd, TCSANOW, &tio), 0);
        ::close(fd);
    }
    QTRY_COMPARE_WITH_TIMEOUT(bus.last(Usbmon::SetLineCoding), QStringLiteral("0000|00c20100 020207"),
                              GuestWaitMs);
    connectToPeer();
    // 9600 baud (80250000, little-endian), 1 stop bit, no parity, 8 data bits; DTR and RTS up.
    QTRY_COMPARE_WITH_TIMEOUT(bus.last(Usbmon::SetLineCoding), QStringLiteral("0000|80250000 000008"),
                              GuestWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(bus.last(Usbmon::SetControlLineState), QStringLiteral("0003|"), GuestWaitMs);
    click(m_window, QStringLiteral("Administration"), 0);
    QCOMPARE(m_peer.take(6, GuestWaitMs).toHex(' '), QByteArray("01 02 00 00 04 00"));
    // Closing lowers DTR on the device's side of the cable.
    m_window->close();
    QTRY_COMPARE_WITH_TIMEOUT(bus.last(Usbmon::SetControlLineState), QStringLiteral("0000|"), GuestWaitMs);
}

void TestUsbGuest::unplugDuringALongListNamesWhatNeverWentOut_data()
{
    QTest::addColumn<int>("count");
    // More than cdc_acm's sixteen 10 KiB buffers take: the rest waits in the link's queue.
    QTest::newRow("a list of 200,000 values") << 200000;
    // The driver counts its one buffer in use as 10,240 bytes: the message must not say more than 6.
    QTest::newRow("a list of 6 values") << 6;
}

void TestUsbGuest::unplugDuringALongListNamesWhatNeverWentOut()
{
    QFETCH(int, count);
    QStringList values;
    for (int i = 0; i < count; ++i)
        values << QString::number(i % 251);
    // A device that never opened its side since it enumerated takes nothing from the bus: the list
    // stops in the adapter's buffers and the link's queue.
    m_peer.stopReading();
    replug();
    connectToPeer();
    sendList(values.join(u' '));
    QVERIFY2(m_sink->failures.isEmpty(), qPrintable(m_sink->failures.join(u'\n')));
    QTest::qWait(500);
    const qsizetype queued = m_window->link().outputQueued();
    if (count > 163840)
        QVERIFY2(queued > 0, "the whole list went out: the device did not stop reading");
    usbGadget::unplug();
    // Told at once while the link still writes; the program then ends and closes its side.
    QTRY_VERIFY_WITH_TIMEOUT(m_window->link().isLost() || !m_sink->failures.isEmpty(), GuestWaitMs);
    // A loss with nothing left in the link's queue is told at the next operation.
    if (m_sink->failures.isEmpty())
        click(m_window, QStringLiteral("Prof"));
    QTRY_COMPARE_WITH_TIMEOUT(m_sink->failures.size(), 1, GuestWaitMs);
    const QString message = m_sink->failures.first();
    const qint64 unsent = QRegularExpression(QStringLiteral("au moins (\\d+) octet\\(s\\)"))
                              .match(message)
                              .captured(1)
                              .toLongLong();
    // At least what the link still held, at most what was sent. A few bytes the driver held are
    // counted as gone by their line time: the message then says only that nothing more can be sent.
    QVERIFY2(message.contains(QStringLiteral("perdue")) && unsent >= queued && unsent <= count,
             qPrintable(QStringLiteral("%1 (%2 in the link's queue)").arg(message).arg(queued)));
    qInfo("unplugged with %lld byte(s) in the link's queue: \"%s\"", qlonglong(queued), qPrintable(message));
    QCOMPARE(m_sink->endStatus, 1);
    // The console has let the adapter go, so that plugged back in it is ttyACM0 again (beforeEach).
    QCOMPARE(m_peer.handlesOnLine(), 0);
    QElapsedTimer replugged;
    replugged.start();
    usbGadget::plug();
    qInfo("ttyACM0 back %lld ms after the plug", qlonglong(replugged.elapsed()));
}

void TestUsbGuest::closeAgainstADeviceThatStoppedReadingEndsInItsBound()
{
    // A device that never opened its side since it enumerated takes nothing at all from the bus.
    m_peer.stopReading();
    replug();
    Usbmon bus;
    QVERIFY(bus.isValid());
    QProcess console;
    console.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    console.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--console-on-a-stalled-device")});
    QVERIFY(console.waitForStarted());
    QByteArray said;
    QTRY_VERIFY2_WITH_TIMEOUT((said += console.readAllStandardOutput()).contains("closing\n"),
                              said.constData(), 60000);
    QElapsedTimer sinceClose;
    sinceClose.start();
    QVERIFY(console.waitForFinished(40000));
    const qint64 endedMs = sinceClose.elapsed();
    said += console.readAllStandardOutput();
    qInfo("the console ended %lld ms after its window was asked to close", qlonglong(endedMs));
    QVERIFY2(said.contains("open 1\n"), said.constData());
    // The frame stayed in the adapter: the close waited for it all the time it allows, 0.5 s.
    const qint64 closedMs = QRegularExpression(QStringLiteral("closed in (\\d+) ms"))
                                .match(QString::fromLatin1(said))
                                .captured(1)
                                .toLongLong();
    QVERIFY2(closedMs >= 450, said.constData());
    QVERIFY2(!said.contains("failure"), said.constData());
    QCOMPARE(console.exitStatus(), QProcess::NormalExit);
    QCOMPARE(console.exitCode(), 0);
    // The kernel's own close would wait 30 s (closing_wait) for the frame the device never takes. The
    // bound: 0.5 s for the drain and up to 0.25 s twice for the release, with room for the emulation.
    QVERIFY2(endedMs < 5000, qPrintable(QString::number(endedMs)));
    // The port is given back as soon as the program has ended: DTR goes down on the bus.
    QTRY_COMPARE_WITH_TIMEOUT(bus.last(Usbmon::SetControlLineState), QStringLiteral("0000|"), 5000);
    qInfo("DTR down %lld ms after the close request", qlonglong(sinceClose.elapsed()));
    QVERIFY(QFile::exists(QString::fromLatin1(adapter)));
}

int main(int argc, char **argv)
{
    if (argc == 2 && qstrcmp(argv[1], "--console-on-a-stalled-device") == 0)
        return consoleOnAStalledDevice(argc, argv);
    QApplication app(argc, argv);
    TestUsbGuest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_usb_guest.moc"
