// Byte lists typed in ListeCar and the text shown for an answer.
#include "bytelist.h"
#include "failure.h"
#include "replytext.h"

#include <QTest>

namespace {

struct Walk {
    QByteArray sent;
    QString failure; // empty when every value converted
};

// Walks a list as the console does: each value is "sent" before the next one is converted.
Walk walk(const QString &list)
{
    Walk w;
    ByteListReader reader(list);
    try {
        while (!reader.atEnd())
            w.sent.append(static_cast<char>(reader.next()));
    } catch (const Failure &f) {
        w.failure = f.message();
    }
    return w;
}

} // namespace

class TestProtocolText : public QObject {
    Q_OBJECT
private slots:
    void byteList_data();
    void byteList();
    void longLists();
    void longBadValueIsShortenedInTheMessage();
    void replyText_data();
    void replyText();
};

void TestProtocolText::byteList_data()
{
    QTest::addColumn<QString>("list");
    QTest::addColumn<QByteArray>("sent");
    // Empty: no failure. Otherwise every '|'-separated piece must be in the message.
    QTest::addColumn<QString>("failure");

    auto hex = [](const char *h) { return QByteArray::fromHex(h); };
    QTest::newRow("design text") << "01 01 01 04" << hex("01010104") << "";
    QTest::newRow("single 255") << "255" << hex("ff") << "";
    QTest::newRow("zero kept") << "0 00 000" << hex("000000") << "";
    QTest::newRow("leading zeros") << "007 0255 00000000000000000000000001" << hex("07ff01") << "";
    QTest::newRow("hex") << "0x1F 0X1f 0xff 0x00 0x0ff" << hex("1f1fff00ff") << "";
    QTest::newRow("7 then 300") << "7 300" << hex("07") << "n° 2|« 300 »|0 à 255";
    QTest::newRow("two spaces in a row") << "1  2" << hex("01") << "n° 2|vide|deux espaces";
    QTest::newRow("trailing space") << "1 2 " << hex("0102") << "n° 3|vide|finit";
    QTest::newRow("leading space") << " 1" << hex("") << "n° 1|vide|commence";
    QTest::newRow("empty box") << "" << hex("") << "n° 1|vide|liste est vide";
    QTest::newRow("single space") << " " << hex("") << "n° 1|vide";
    QTest::newRow("comma stays inside") << "1,2" << hex("") << "n° 1|« 1,2 »|pas un nombre";
    QTest::newRow("tab stays inside") << "3 1\t2" << hex("03") << "n° 2|« 1\t2 »|pas un nombre";
    QTest::newRow("256") << "255 256" << hex("ff") << "n° 2|« 256 »|0 à 255";
    QTest::newRow("huge decimal") << "99999999999999999999" << hex("") << "0 à 255";
    QTest::newRow("hex 0x100") << "0x100" << hex("") << "« 0x100 »|0 à 255";
    QTest::newRow("hex prefix alone") << "0x" << hex("") << "pas un nombre";
    QTest::newRow("hex bad digit") << "0x1g" << hex("") << "pas un nombre";
    QTest::newRow("hex digits without prefix") << "ff" << hex("") << "pas un nombre";
    QTest::newRow("negative") << "-1" << hex("") << "pas un nombre";
    QTest::newRow("plus sign") << "+1" << hex("") << "pas un nombre";
    QTest::newRow("decimal point") << "1.0" << hex("") << "pas un nombre";
    QTest::newRow("non-breaking space stays inside")
        << QString::fromUtf16(u"1\u00a02") << hex("") << "pas un nombre";
    QTest::newRow("other script digits") << QString::fromUtf16(u"\u0661") << hex("") << "pas un nombre";
    QTest::newRow("stops at first bad value") << "1 x 2 y" << hex("01") << "n° 2|« x »";
}

void TestProtocolText::byteList()
{
    QFETCH(QString, list);
    QFETCH(QByteArray, sent);
    QFETCH(QString, failure);

    const Walk w = walk(list);
    QCOMPARE(w.sent.toHex(' '), sent.toHex(' '));
    if (failure.isEmpty()) {
        QVERIFY2(w.failure.isEmpty(), qPrintable(w.failure));
        return;
    }
    QVERIFY(!w.failure.isEmpty());
    for (const QString &piece : failure.split(u'|'))
        QVERIFY2(w.failure.contains(piece), qPrintable(w.failure + QStringLiteral("  lacks  ") + piece));
}

void TestProtocolText::longLists()
{
    // 200,000 values, each byte value many times, in one pass.
    QString list;
    QByteArray expected;
    for (int i = 0; i < 200000; ++i) {
        const int v = (i * 37) % 256;
        if (i)
            list += u' ';
        list += (i % 3 == 0) ? QStringLiteral("0x%1").arg(v, 2, 16, QChar(u'0')) : QString::number(v);
        expected.append(static_cast<char>(v));
    }
    Walk w = walk(list);
    QVERIFY2(w.failure.isEmpty(), qPrintable(w.failure));
    QVERIFY(w.sent == expected);

    // The same with one bad value at the very end: everything before it is sent.
    w = walk(list + QStringLiteral(" 256"));
    QVERIFY(w.sent == expected);
    QVERIFY2(w.failure.contains(QStringLiteral("n° 200001")), qPrintable(w.failure));
}

void TestProtocolText::longBadValueIsShortenedInTheMessage()
{
    const Walk w = walk(QString(100000, u'9'));
    QVERIFY(w.failure.contains(QStringLiteral("« 9999")));
    QVERIFY2(w.failure.size() < 200, qPrintable(w.failure));
}

void TestProtocolText::replyText_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("text"); // empty: must fail

    QTest::newRow("1 2 255") << QByteArray::fromHex("0102ff") << "1 2 255";
    QTest::newRow("zeros kept") << QByteArray::fromHex("000000") << "0 0 0";
    QTest::newRow("no leading zeros or sign") << QByteArray::fromHex("0a6480") << "10 100 128";
    QTest::newRow("all high") << QByteArray::fromHex("ffffff") << "255 255 255";
    QTest::newRow("two bytes") << QByteArray::fromHex("0102") << "";
    QTest::newRow("none") << QByteArray() << "";
}

void TestProtocolText::replyText()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, text);
    if (text.isEmpty()) {
        QVERIFY_THROWS_EXCEPTION(Failure, ::replyText(reply));
        return;
    }
    QCOMPARE(::replyText(reply), text);
}

QTEST_APPLESS_MAIN(TestProtocolText)
#include "tst_protocol_text.moc"
