// The serial ports present on Linux, read from sysfs trees laid out as the kernel lays them out, and once
// from this machine's own.
#include "portlist_posix.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {

void writeFile(const QString &path, const QString &text)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(text.toUtf8() + '\n');
}

// Lays out tty number `i` under `root` from "NAME;KIND[;type=N][;product=TEXT]", KIND being uart (a
// port the firmware describes), legacy (one the 8250 driver makes itself at a legacy address), usb (on
// a USB device, under a hub that has a name of its own) or none (no device behind it). Links are
// relative, as the kernel makes them.
void layOut(const QString &root, const QString &spec, int i)
{
    const QStringList fields = spec.split(u';');
    const QString name = fields.value(0), kind = fields.value(1);
    const QString usb = root + QStringLiteral("/devices/usb1/1-%1").arg(i);
    const QString device = kind == u"uart"     ? QStringLiteral("pnp0/00:0%1/00:0%1:0.0").arg(i)
                           : kind == u"legacy" ? QStringLiteral("platform/serial8250/serial8250:0.%1").arg(i)
                           : kind == u"usb"    ? QStringLiteral("usb1/1-%1/1-%1:1.0").arg(i)
                                               : QStringLiteral("virtual");
    const QString tty = QStringLiteral("devices/") + device + QStringLiteral("/tty/") + name;
    writeFile(root + u'/' + tty + QStringLiteral("/dev"), QStringLiteral("4:%1").arg(64 + i));
    writeFile(root + QStringLiteral("/devices/usb1/idVendor"), QStringLiteral("1d6b"));
    writeFile(root + QStringLiteral("/devices/usb1/product"), QStringLiteral("xHCI Host Controller"));
    if (kind == u"usb")
        writeFile(usb + QStringLiteral("/idVendor"), QStringLiteral("0403"));
    for (const QString &field : fields.mid(2)) {
        if (field.startsWith(QLatin1String("type=")))
            writeFile(root + u'/' + tty + QStringLiteral("/type"), field.mid(5));
        else
            writeFile(usb + QStringLiteral("/product"), field.mid(8));
    }
    QDir().mkpath(root + QStringLiteral("/class/tty"));
    auto link = [](const QString &target, const QString &at) {
        QVERIFY(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(at).constData()) == 0);
    };
    if (kind != u"none")
        link(QStringLiteral("../.."), root + u'/' + tty + QStringLiteral("/device"));
    link(QStringLiteral("../../") + tty, root + QStringLiteral("/class/tty/") + name);
}

QString textOf(const PresentPort &port)
{
    return (port.number ? QString::number(*port.number) : QStringLiteral("-")) + u'|' + port.device + u'|' +
           port.name;
}

} // namespace

class TestPortList : public QObject {
    Q_OBJECT
private slots:
    void sysfsTree_data();
    void sysfsTree();
    void noSysfsIsNotNoPort();
    void thisMachine();
};

void TestPortList::sysfsTree_data()
{
    QTest::addColumn<QStringList>("ttys");
    QTest::addColumn<QStringList>("ports"); // "NUMBER|DEVICE|NAME", "-" for no number

    QTest::newRow("a ttyS is listed when its type says a UART is there, wherever it hangs")
        << QStringList{"ttyS0;uart;type=4", "ttyS1;legacy;type=0", "ttyS2;legacy;type=0",
                       "ttyS3;legacy;type=4", "ttyS4;uart;type=0"}
        << QStringList{"1|/dev/ttyS0|", "4|/dev/ttyS3|"};
    QTest::newRow("no type attribute: legacy ports left out, described ones kept")
        << QStringList{"ttyS0;uart", "ttyS1;legacy"} << QStringList{"1|/dev/ttyS0|"};
    QTest::newRow("USB: the device's product name, never its hub's")
        << QStringList{"ttyUSB0;usb;product=FT232R USB UART", "ttyACM0;usb", "ttyACM1;usb;product=Pico"}
        << QStringList{"33|/dev/ttyUSB0|FT232R USB UART", "65|/dev/ttyACM0|", "66|/dev/ttyACM1|Pico"};
    QTest::newRow("not ports: no device behind, other names")
        << QStringList{"tty0;none",         "console;none",           "ptmx;none",
                       "ttyS7;none;type=4", "ttyAMA0;legacy;type=95", "ttyS01;uart;type=4",
                       "ttyUSBx;usb"}
        << QStringList{};
    QTest::newRow("in number order, those past the table last")
        << QStringList{"ttyUSB32;usb;product=CP2102", "ttyUSB10;usb", "ttyS32;uart;type=4", "ttyUSB2;usb"}
        << QStringList{"35|/dev/ttyUSB2|", "43|/dev/ttyUSB10|", "-|/dev/ttyS32|", "-|/dev/ttyUSB32|CP2102"};
    QTest::newRow("a device's name is cleaned and cut")
        << QStringList{"ttyUSB0;usb;product=Bad\t\x01name", "ttyUSB1;usb;product=" + QString(100, u'x')}
        << QStringList{"33|/dev/ttyUSB0|Bad name", "34|/dev/ttyUSB1|" + QString(63, u'x') + QChar(0x2026)};
}

void TestPortList::sysfsTree()
{
    QFETCH(QStringList, ttys);
    QFETCH(QStringList, ports);
    QTemporaryDir root;
    for (int i = 0; i < ttys.size() && !QTest::currentTestFailed(); ++i)
        layOut(root.path(), ttys.at(i), i);
    const PortListing listing = serialPortsInSysfs(root.path());
    QVERIFY(listing);
    QStringList listed;
    for (const PresentPort &port : *listing)
        listed << textOf(port);
    QCOMPARE(listed, ports);
}

void TestPortList::noSysfsIsNotNoPort()
{
    // A build chroot without /sys: the list cannot be read, which the message must not call "no port".
    QTemporaryDir root;
    const PortListing listing = serialPortsInSysfs(root.path() + QStringLiteral("/sys"));
    QVERIFY(!listing);
    QCOMPARE(presentPortsSentence(listing),
             QStringLiteral("La liste des ports série présents n'a pas pu être lue sur cet ordinateur."));
    QVERIFY(serialPortsInSysfs(root.path()) == std::nullopt); // a root with no class/tty in it
    QDir().mkpath(root.path() + QStringLiteral("/class/tty"));
    QCOMPARE(serialPortsInSysfs(root.path()), PortListing(QList<PresentPort>{}));
}

void TestPortList::thisMachine()
{
    const PortListing listing = listSerialPorts();
    qInfo("%s", qUtf8Printable(presentPortsSentence(listing)));
    if (!listing)
        QSKIP("this system has no sysfs to list its serial ports from (a build chroot without /sys)");
    const QList<PresentPort> &ports = *listing;
    QStringList listed;
    for (const PresentPort &port : ports) {
        if (port.number)
            QCOMPARE(devicePathForPort(*port.number).value_or(QString()), port.device);
        if (port.device.startsWith(QLatin1String("/dev/ttyS")))
            listed << port.device;
    }
    // The serial driver tells root which of its ports have a UART: exactly those are listed.
    QFile driver(QStringLiteral("/proc/tty/driver/serial"));
    if (!driver.open(QIODevice::ReadOnly))
        QSKIP("/proc/tty/driver/serial is readable by root only");
    const QRegularExpression line(QStringLiteral("^(\\d+): uart:(\\S+)"),
                                  QRegularExpression::MultilineOption);
    QStringList withUart;
    for (const QRegularExpressionMatch &m : line.globalMatch(QString::fromLatin1(driver.readAll()))) {
        if (m.captured(2) != u"unknown")
            withUart << QStringLiteral("/dev/ttyS") + m.captured(1);
    }
    withUart.sort();
    listed.sort();
    QCOMPARE(listed, withUart);
}

QTEST_APPLESS_MAIN(TestPortList)
#include "tst_portlist.moc"
