#include "failure.h"
#include "portnumber.h"

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
};

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

QTEST_APPLESS_MAIN(TestPortNumber)
#include "tst_portnumber.moc"
