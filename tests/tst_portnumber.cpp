#include "failure.h"
#include "portlist.h"
#include "portmapping.h"

#include <QTest>

class TestPortNumber : public QObject {
    Q_OBJECT
private slots:
    void portText_data();
    void portText();
    void devicePath_data();
    void devicePath();
    void devicesWithoutNumber_data();
    void devicesWithoutNumber();
    void presentPortsSentence_data();
    void presentPortsSentence();
    void comPortSources_data();
    void comPortSources();
};

// A port written "33|/dev/ttyUSB0|FT232R USB UART"; "-" for no number.
static PresentPort portFrom(const QString &text)
{
    const QStringList parts = text.split(u'|');
    PresentPort port;
    if (parts.value(0) != u"-")
        port.number = static_cast<PortNumber>(parts.value(0).toInt());
    port.device = parts.value(1);
    port.name = parts.value(2);
    return port;
}

static QString textOf(const PresentPort &port)
{
    return (port.number ? QString::number(*port.number) : QStringLiteral("-")) + u'|' + port.device + u'|' +
           port.name;
}

void TestPortNumber::portText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("number");

    QTest::newRow("plain") << "2" << true << 2;
    QTest::newRow("spaces around") << " 2 " << true << 2;
    QTest::newRow("leading zeros") << "007" << true << 7;
    QTest::newRow("plus sign") << "+3" << true << 3;
    QTest::newRow("negative (refused later, when set)") << "-1" << true << -1;
    QTest::newRow("largest") << "32767" << true << 32767;
    QTest::newRow("smallest") << "-32768" << true << -32768;
    QTest::newRow("one past largest") << "32768" << false << 0;
    QTest::newRow("one past smallest") << "-32769" << false << 0;
    QTest::newRow("huge") << "99999999999999999999999" << false << 0;
    QTest::newRow("letters") << "abc" << false << 0;
    QTest::newRow("empty") << "" << false << 0;
    QTest::newRow("spaces only") << "   " << false << 0;
    QTest::newRow("sign only") << "-" << false << 0;
    QTest::newRow("trailing letters") << "2a" << false << 0;
    QTest::newRow("space inside") << "1 2" << false << 0;
    QTest::newRow("decimal point") << "2.0" << false << 0;
    QTest::newRow("hex") << "0x10" << false << 0;
    QTest::newRow("COM prefix") << "COM1" << false << 0;
    QTest::newRow("arabic-indic digit") << QString(QChar(0x0662)) << false << 0;
}

void TestPortNumber::portText()
{
    QFETCH(QString, text);
    QFETCH(bool, accepted);
    QFETCH(int, number);
    try {
        const PortNumber n = parsePortText(text);
        QVERIFY2(accepted, "the text should have been refused");
        QCOMPARE(int(n), number);
    } catch (const Failure &f) {
        QVERIFY2(!accepted, qPrintable(f.message()));
        // The message names the text at fault (an empty one says it is empty).
        QVERIFY2(f.message().contains(text.trimmed().isEmpty() ? QStringLiteral("vide") : text),
                 qPrintable(f.message()));
    }
}

void TestPortNumber::devicePath_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("path"); // empty: no device

#ifdef Q_OS_WIN
    QTest::newRow("Com 1 is the first serial port") << 1 << "\\\\.\\COM1";
    QTest::newRow("9") << 9 << "\\\\.\\COM9";
    QTest::newRow("10: past the names DOS knew") << 10 << "\\\\.\\COM10";
    QTest::newRow("103") << 103 << "\\\\.\\COM103";
    QTest::newRow("32767") << 32767 << "\\\\.\\COM32767";
    QTest::newRow("0") << 0 << "";
    QTest::newRow("-1") << -1 << "";
    QTest::newRow("-32768") << -32768 << "";
#else
    QTest::newRow("Com 1 is the first serial port") << 1 << "/dev/ttyS0";
    QTest::newRow("32") << 32 << "/dev/ttyS31";
    QTest::newRow("33") << 33 << "/dev/ttyUSB0";
    QTest::newRow("64") << 64 << "/dev/ttyUSB31";
    QTest::newRow("65") << 65 << "/dev/ttyACM0";
    QTest::newRow("96") << 96 << "/dev/ttyACM31";
    QTest::newRow("100") << 100 << "/dev/pts/0";
    QTest::newRow("103") << 103 << "/dev/pts/3";
    QTest::newRow("999") << 999 << "/dev/pts/899";
    QTest::newRow("1003") << 1003 << "/dev/pts/903";
    QTest::newRow("32767") << 32767 << "/dev/pts/32667";
    QTest::newRow("0") << 0 << "";
    QTest::newRow("-1") << -1 << "";
    QTest::newRow("-32768") << -32768 << "";
    QTest::newRow("97") << 97 << "";
    QTest::newRow("99") << 99 << "";
#endif
}

void TestPortNumber::devicePath()
{
    QFETCH(int, number);
    QFETCH(QString, path);
    QCOMPARE(devicePathForPort(static_cast<PortNumber>(number)).value_or(QString()), path);
    // And back: the simulator names the number of the device it plays.
    if (!path.isEmpty())
        QCOMPARE(portNumberForDevice(path).value_or(0), number);
}

void TestPortNumber::devicesWithoutNumber_data()
{
    QTest::addColumn<QString>("path");
#ifdef Q_OS_WIN
    QTest::newRow("no number") << "\\\\.\\COM";
    QTest::newRow("zero") << "\\\\.\\COM0";
    QTest::newRow("leading zero") << "\\\\.\\COM01";
    QTest::newRow("past the last number") << "\\\\.\\COM32768";
    QTest::newRow("letters after") << "\\\\.\\COM1x";
    QTest::newRow("other device") << "\\\\.\\LPT1";
#else
    QTest::newRow("past the serial range") << "/dev/ttyS32";
    QTest::newRow("leading zero") << "/dev/ttyUSB01";
    QTest::newRow("no index") << "/dev/pts/";
    QTest::newRow("past the last number") << "/dev/pts/32668";
    QTest::newRow("huge index") << "/dev/pts/99999999999999999999";
    QTest::newRow("other device") << "/dev/tty0";
    QTest::newRow("letters after") << "/dev/ttyACM1x";
#endif
}

void TestPortNumber::devicesWithoutNumber()
{
    QFETCH(QString, path);
    QVERIFY(!portNumberForDevice(path).has_value());
}

void TestPortNumber::presentPortsSentence_data()
{
    QTest::addColumn<QStringList>("ports");
    QTest::addColumn<QString>("sentence");

    QTest::newRow("none") << QStringList{} << "Aucun port série n'est présent sur cet ordinateur.";
    QTest::newRow("one: singular, a ttyS has no product name")
        << QStringList{"1|/dev/ttyS0|"} << "Port série présent : COM1 (/dev/ttyS0).";
    QTest::newRow("Linux: device and product name")
        << QStringList{"33|/dev/ttyUSB0|FT232R USB UART", "1|/dev/ttyS0|"}
        << "Ports série présents : COM1 (/dev/ttyS0), COM33 (/dev/ttyUSB0, FT232R USB UART).";
    QTest::newRow("Windows: the COM name is said once")
        << QStringList{"4|COM4|Prolific USB-to-Serial Comm Port", "3|COM3|USB-SERIAL CH340", "1|COM1|"}
        << "Ports série présents : COM1, COM3 (USB-SERIAL CH340), COM4 (Prolific USB-to-Serial Comm Port).";
    QTest::newRow("beyond the numbers: last, by its device")
        << QStringList{"-|/dev/ttyUSB32|FT232R USB UART", "65|/dev/ttyACM0|Pico"}
        << "Ports série présents : COM65 (/dev/ttyACM0, Pico), /dev/ttyUSB32 (FT232R USB UART, sans numéro "
           "de Com).";
    // Given from the highest number down: the sentence names the lowest eight, then counts the rest.
    auto usbPorts = [](int count) {
        QStringList ports;
        for (int i = count - 1; i >= 0; --i)
            ports << QStringLiteral("%1|/dev/ttyUSB%2|").arg(33 + i).arg(i);
        return ports;
    };
    const QString eight = QStringLiteral("Ports série présents : COM33 (/dev/ttyUSB0), COM34 (/dev/ttyUSB1), "
                                         "COM35 (/dev/ttyUSB2), COM36 (/dev/ttyUSB3), COM37 (/dev/ttyUSB4), "
                                         "COM38 (/dev/ttyUSB5), COM39 (/dev/ttyUSB6), COM40 (/dev/ttyUSB7)");
    QTest::newRow("eight: all named") << usbPorts(8) << eight + ".";
    QTest::newRow("nine: one more, singular") << usbPorts(9) << eight + " et 1 autre.";
    QTest::newRow("twelve: four more") << usbPorts(12) << eight + " et 4 autres.";
}

void TestPortNumber::presentPortsSentence()
{
    QFETCH(QStringList, ports);
    QFETCH(QString, sentence);
    QList<PresentPort> list;
    for (const QString &p : ports)
        list << portFrom(p);
    QCOMPARE(::presentPortsSentence(list), sentence);
}

void TestPortNumber::comPortSources_data()
{
    // Each source as "PortName=friendly name", in order: SetupAPI's Ports class, SERIALCOMM, DOS names.
    QTest::addColumn<QStringList>("setupApi");
    QTest::addColumn<QStringList>("serialComm");
    QTest::addColumn<QStringList>("dosDevices");
    QTest::addColumn<QStringList>("ports");

    QTest::newRow("Ports class: friendly names without their (COMn), LPT left out")
        << QStringList{"COM4=Prolific USB-to-Serial Comm Port (COM4)", "COM3=USB-SERIAL CH340 (COM3)",
                       "LPT1=Port imprimante (LPT1)"}
        << QStringList{} << QStringList{}
        << QStringList{"3|COM3|USB-SERIAL CH340", "4|COM4|Prolific USB-to-Serial Comm Port"};
    QTest::newRow("as under wine: no Ports class")
        << QStringList{} << QStringList{"COM1=", "COM7="} << QStringList{"COM7=", "COM2="}
        << QStringList{"1|COM1|", "2|COM2|", "7|COM7|"};
    QTest::newRow("a port only a later source knows is added, the first name kept")
        << QStringList{"COM3=USB-SERIAL CH340 (COM3)"} << QStringList{"COM3=", "COM5="}
        << QStringList{"COM10="} << QStringList{"3|COM3|USB-SERIAL CH340", "5|COM5|", "10|COM10|"};
    QTest::newRow("malformed names left out, any case taken, a name that is the port's adds nothing")
        << QStringList{"COM0=zero",    "COM03=leading zero",    "COM=none", "COM32768=too far",
                       "COMX=letters", "com9=Bluetooth (com9)", "COM6=COM6"}
        << QStringList{} << QStringList{} << QStringList{"6|COM6|", "9|COM9|Bluetooth"};
}

void TestPortNumber::comPortSources()
{
    QFETCH(QStringList, setupApi);
    QFETCH(QStringList, serialComm);
    QFETCH(QStringList, dosDevices);
    QFETCH(QStringList, ports);
    QList<QList<ComPortRecord>> sources;
    for (const QStringList &source : {setupApi, serialComm, dosDevices}) {
        QList<ComPortRecord> records;
        for (const QString &record : source)
            records.append({record.section(u'=', 0, 0), record.section(u'=', 1)});
        sources << records;
    }
    QStringList merged;
    for (const PresentPort &p : mergeComPortSources(sources))
        merged << textOf(p);
    QCOMPARE(merged, ports);
}

QTEST_APPLESS_MAIN(TestPortNumber)
#include "tst_portnumber.moc"
