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
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text.toUtf8() + '\n');
}

void symlinkTo(const QString &target, const QString &link)
{
    QDir().mkpath(QFileInfo(link).path());
    QVERIFY2(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()) == 0,
             qPrintable(link));
}

// Lays out one tty under `root`, from "NAME;KIND;type=N;product=TEXT" (type and product optional):
//   pnp         a port the firmware describes (a serial-base port under its PNP device)
//   platform    a port the 8250 driver makes for itself at a legacy address
//   pci         a port on a PCI card
//   usb-serial  a USB serial adapter (tty under the usb-serial port, under the interface)
//   acm         a USB CDC ACM device (tty under the interface)
//   none        a tty with no device behind it (virtual console, console, ptmx)
// Every USB device hangs off a root hub that has a product name of its own.
void layOut(const QString &root, const QString &spec, int index)
{
    const QStringList fields = spec.split(u';');
    const QString name = fields.value(0);
    const QString kind = fields.value(1);
    QString type, product;
    for (const QString &field : fields.mid(2)) {
        if (field.startsWith(QLatin1String("type=")))
            type = field.mid(5);
        else if (field.startsWith(QLatin1String("product=")))
            product = field.mid(8);
    }
    const QString hub = QStringLiteral("pci0000:00/0000:00:14.0/usb1");
    const QString usbDevice = hub + QStringLiteral("/1-%1").arg(index + 1);
    QString devicePath;
    if (kind == u"pnp")
        devicePath = QStringLiteral("pnp0/00:0%1/00:0%1:0/00:0%1:0.0").arg(index);
    else if (kind == u"platform")
        devicePath = QStringLiteral("platform/serial8250/serial8250:0/serial8250:0.%1").arg(index);
    else if (kind == u"pci")
        devicePath = QStringLiteral("pci0000:00/0000:00:1c.0/0000:03:0%1.0").arg(index);
    else if (kind == u"usb-serial")
        devicePath = usbDevice + QStringLiteral("/1-%1:1.0/%2").arg(index + 1).arg(name);
    else if (kind == u"acm")
        devicePath = usbDevice + QStringLiteral("/1-%1:1.0").arg(index + 1);
    else
        devicePath = QStringLiteral("virtual/tty");

    const QString devices = root + QStringLiteral("/devices/");
    const QString ttyDir = devices + devicePath + QStringLiteral("/tty/") + name;
    writeFile(ttyDir + QStringLiteral("/dev"), QStringLiteral("4:%1").arg(64 + index));
    if (!type.isEmpty())
        writeFile(ttyDir + QStringLiteral("/type"), type);
    if (kind != u"none")
        symlinkTo(QStringLiteral("../.."), ttyDir + QStringLiteral("/device"));
    if (kind == u"pci")
        writeFile(devices + devicePath + QStringLiteral("/vendor"), QStringLiteral("0x1415"));
    if (kind == u"usb-serial" || kind == u"acm") {
        writeFile(devices + hub + QStringLiteral("/idVendor"), QStringLiteral("1d6b"));
        writeFile(devices + hub + QStringLiteral("/product"), QStringLiteral("xHCI Host Controller"));
        writeFile(devices + usbDevice + QStringLiteral("/idVendor"), QStringLiteral("0403"));
        if (!product.isEmpty())
            writeFile(devices + usbDevice + QStringLiteral("/product"), product);
    }
    // /sys/class/tty holds a link to each tty, relative, as the kernel makes them.
    symlinkTo(QStringLiteral("../../devices/") + devicePath + QStringLiteral("/tty/") + name,
              root + QStringLiteral("/class/tty/") + name);
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
    void thisMachine();
};

void TestPortList::sysfsTree_data()
{
    QTest::addColumn<QStringList>("ttys");
    QTest::addColumn<QStringList>("ports"); // "NUMBER|DEVICE|NAME", "-" for no number

    QTest::newRow("a 16550 at ttyS0, no UART at ttyS1 to ttyS3")
        << QStringList{"ttyS0;pnp;type=4", "ttyS1;platform;type=0", "ttyS2;platform;type=0",
                       "ttyS3;platform;type=0"}
        << QStringList{"1|/dev/ttyS0|"};
    QTest::newRow("the type decides, not where the port hangs")
        << QStringList{"ttyS1;platform;type=4", "ttyS0;pnp;type=0"} << QStringList{"2|/dev/ttyS1|"};
    QTest::newRow("no type attribute: legacy ports left out, described ones kept")
        << QStringList{"ttyS0;pnp", "ttyS1;platform", "ttyS4;pci"}
        << QStringList{"1|/dev/ttyS0|", "5|/dev/ttyS4|"};
    QTest::newRow("USB adapter: its product name")
        << QStringList{"ttyUSB0;usb-serial;product=FT232R USB UART"}
        << QStringList{"33|/dev/ttyUSB0|FT232R USB UART"};
    QTest::newRow("ACM devices: a device without a name does not take its hub's")
        << QStringList{"ttyACM0;acm;product=Pico", "ttyACM1;acm"}
        << QStringList{"65|/dev/ttyACM0|Pico", "66|/dev/ttyACM1|"};
    QTest::newRow("ttys with no device behind them are not ports")
        << QStringList{"tty0;none", "tty1;none", "console;none", "ptmx;none", "ttyS7;none;type=4"}
        << QStringList{};
    QTest::newRow("other names are not the console's ports")
        << QStringList{"ttyAMA0;platform;type=95", "ttyS01;pnp;type=4", "ttyUSBx;usb-serial", "rfcomm0;pci"}
        << QStringList{};
    QTest::newRow("beyond the numbers: listed, without a number, last")
        << QStringList{"ttyUSB32;usb-serial;product=CP2102", "ttyS32;pnp;type=4", "ttyACM31;acm"}
        << QStringList{"96|/dev/ttyACM31|", "-|/dev/ttyS32|", "-|/dev/ttyUSB32|CP2102"};
    QTest::newRow("in number order") << QStringList{"ttyUSB10;usb-serial", "ttyUSB2;usb-serial",
                                                    "ttyS1;pnp;type=4"}
                                     << QStringList{"2|/dev/ttyS1|", "35|/dev/ttyUSB2|", "43|/dev/ttyUSB10|"};
    QTest::newRow("a device's name is cleaned and cut")
        << QStringList{"ttyUSB0;usb-serial;product=Bad\t\x01name",
                       "ttyUSB1;usb-serial;product=" + QString(100, u'x')}
        << QStringList{"33|/dev/ttyUSB0|Bad name", "34|/dev/ttyUSB1|" + QString(63, u'x') + QChar(0x2026)};
}

void TestPortList::sysfsTree()
{
    QFETCH(QStringList, ttys);
    QFETCH(QStringList, ports);
    QTemporaryDir root;
    QVERIFY(root.isValid());
    for (int i = 0; i < ttys.size(); ++i) {
        layOut(root.path(), ttys.at(i), i);
        if (QTest::currentTestFailed())
            return;
    }
    QStringList listed;
    for (const PresentPort &port : serialPortsInSysfs(root.path()))
        listed << textOf(port);
    QCOMPARE(listed, ports);
}

void TestPortList::thisMachine()
{
    const QList<PresentPort> ports = presentSerialPorts();
    for (const PresentPort &port : ports)
        qInfo("%s", qPrintable(textOf(port)));
    qInfo("%s", qPrintable(presentPortsSentence(ports)));
    for (const PresentPort &port : ports) {
        QVERIFY2(!port.device.startsWith(QLatin1String("/dev/pts/")), qPrintable(port.device));
        if (port.number)
            QCOMPARE(devicePathForPort(*port.number).value_or(QString()), port.device);
    }
    // The kernel's serial driver says which of its ports have a UART (to root only): exactly those are
    // listed.
    QFile driver(QStringLiteral("/proc/tty/driver/serial"));
    if (!driver.open(QIODevice::ReadOnly))
        QSKIP("/proc/tty/driver/serial is readable by root only");
    static const QRegularExpression line(QStringLiteral("^(\\d+): uart:(\\S+)"));
    QStringList withUart;
    for (const QByteArray &text : driver.readAll().split('\n')) {
        const QRegularExpressionMatch m = line.match(QString::fromLatin1(text));
        if (m.hasMatch() && m.captured(2) != u"unknown")
            withUart << QStringLiteral("/dev/ttyS") + m.captured(1);
    }
    QStringList listedS;
    for (const PresentPort &port : ports) {
        if (port.device.startsWith(QLatin1String("/dev/ttyS")))
            listedS << port.device;
    }
    withUart.sort();
    listedS.sort();
    QCOMPARE(listedS, withUart);
}

QTEST_APPLESS_MAIN(TestPortList)
#include "tst_portlist.moc"
