// The simulated device apart from its line: what it says and what it answers for the bytes it gets.
#include "failure.h"
#include "simdevice.h"

#include <QTest>

class TestSimDevice : public QObject {
    Q_OBJECT
private slots:
    void answers_data();
    void answers();
    void fixedAnswerText_data();
    void fixedAnswerText();
};

void TestSimDevice::answers_data()
{
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<QString>("reply"); // --reply's text, "off" for --no-reply, empty for the default
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QByteArray>("answers"); // everything written back, in order

    QTest::newRow("member call: group, member, 255")
        << QByteArray::fromHex("010200020400") << ""
        << QStringList{"01 02 00 02 04 00  Administration 02 Secrétaire"} << QByteArray::fromHex("0002ff");
    QTest::newRow("Prof: member 0") << QByteArray::fromHex("0101010400") << ""
                                    << QStringList{"01 01 01 04 00  Prof Professeur"}
                                    << QByteArray::fromHex("0100ff");
    QTest::newRow("fixed answer for every frame")
        << QByteArray::fromHex("0101010400010203050400") << "1 2 255"
        << QStringList{"01 01 01 04 00  Prof Professeur", "01 02 03 05 04 00  Elèves 05 Bac Pro"}
        << QByteArray::fromHex("0102ff0102ff");
    QTest::newRow("answers off") << QByteArray::fromHex("0101010400") << "off"
                                 << QStringList{"01 01 01 04 00  Prof Professeur"} << QByteArray();
    QTest::newRow("bytes that form no frame get no answer")
        << QByteArray::fromHex("01010104") << "" << QStringList{"01 01 01 04  (octets hors trame)"}
        << QByteArray();
}

void TestSimDevice::answers()
{
    QFETCH(QByteArray, received);
    QFETCH(QString, reply);
    QFETCH(QStringList, lines);
    QFETCH(QByteArray, answers);

    SimAnswers settings;
    settings.enabled = reply != QLatin1String("off");
    if (settings.enabled && !reply.isEmpty())
        settings.fixed = SimulatedDevice::parseFixedAnswer(reply);
    SimulatedDevice device(settings);
    // Split across reads, as a line delivers it; the rest comes out when the line falls idle.
    QList<SimStep> steps = device.feed(received.left(3));
    steps += device.feed(received.mid(3));
    steps += device.flush();
    QStringList said;
    QByteArray written;
    for (const SimStep &step : steps) {
        said << step.line;
        written += step.answer;
    }
    QCOMPARE(said, lines);
    QCOMPARE(written.toHex(' '), answers.toHex(' '));
    QVERIFY(!device.hasPending());
}

void TestSimDevice::fixedAnswerText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("failure"); // empty: accepted
    QTest::newRow("three values, any notation") << "0x1F 0 255"
                                                << "";
    QTest::newRow("two values") << "1 2"
                                << "--reply attend trois octets";
    QTest::newRow("a value out of range names the option") << "1 2 256"
                                                           << "--reply : ";
}

void TestSimDevice::fixedAnswerText()
{
    QFETCH(QString, text);
    QFETCH(QString, failure);
    try {
        QCOMPARE(SimulatedDevice::parseFixedAnswer(text).size(), 3);
        QVERIFY(failure.isEmpty());
    } catch (const Failure &f) {
        QVERIFY2(!failure.isEmpty() && f.message().startsWith(failure), qPrintable(f.message()));
    }
}

QTEST_GUILESS_MAIN(TestSimDevice)
#include "tst_simdevice.moc"
