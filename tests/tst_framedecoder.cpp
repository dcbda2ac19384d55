#include "framedecoder.h"
#include "rig/frames.h"

#include <QTest>

namespace {

// Feeds the pieces one read at a time, then flushes; returns the lines the simulator would print.
QStringList decode(const QList<QByteArray> &pieces)
{
    FrameDecoder decoder;
    QStringList lines;
    for (const QByteArray &piece : pieces)
        for (const DecodedItem &item : decoder.feed(piece))
            lines << item.describe();
    for (const DecodedItem &item : decoder.flush())
        lines << item.describe();
    return lines;
}

} // namespace

class TestFrameDecoder : public QObject {
    Q_OBJECT
private slots:
    void everyButtonsFrameIsNamed_data();
    void everyButtonsFrameIsNamed();
    void streams_data();
    void streams();
    void everySplitOfAStreamDecodesTheSame();
};

void TestFrameDecoder::everyButtonsFrameIsNamed_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QString>("line");
    for (const ButtonFrame &f : buttonFrames)
        QTest::newRow(rowName(f)) << f.bytes() << f.decoded();
}

void TestFrameDecoder::everyButtonsFrameIsNamed()
{
    QFETCH(QByteArray, frame);
    QFETCH(QString, line);
    QCOMPARE(decode({frame}), QStringList{line});
}

void TestFrameDecoder::streams_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<QStringList>("lines");
    auto hex = [](const char *h) { return QByteArray::fromHex(h); };

    QTest::newRow("frame split across reads")
        << QList<QByteArray>{hex("0102"), hex("0002"), hex("04"), hex("00")}
        << QStringList{"01 02 00 02 04 00  Administration 02 Secrétaire"};
    QTest::newRow("two frames in one read")
        << QList<QByteArray>{hex("0101010400"
                                 "010203050400")}
        << QStringList{"01 01 01 04 00  Prof Professeur", "01 02 03 05 04 00  Elèves 05 Bac Pro"};
    QTest::newRow("stray bytes between frames")
        << QList<QByteArray>{hex("0101010400"
                                 "ff0700"
                                 "010202010400")}
        << QStringList{"01 01 01 04 00  Prof Professeur", "FF 07 00  (octets hors trame)",
                       "01 02 02 01 04 00  Entretien 01 Maintenance"};
    QTest::newRow("false start: 01 not followed by a length")
        << QList<QByteArray>{hex("0105"
                                 "0101010400")}
        << QStringList{"01 05  (octets hors trame)", "01 01 01 04 00  Prof Professeur"};
    QTest::newRow("false start: wrong end, frame right after")
        << QList<QByteArray>{hex("0102000204ff"
                                 "0102000004"
                                 "00")}
        << QStringList{"01 02 00 02 04 FF  (octets hors trame)",
                       "01 02 00 00 04 00  Administration 00 Proviseur"};
    QTest::newRow("incomplete frame at the end (the list box's design text)")
        << QList<QByteArray>{hex("01010104")} << QStringList{"01 01 01 04  (octets hors trame)"};
    QTest::newRow("unknown member and unknown group")
        << QList<QByteArray>{hex("010200090400"
                                 "0101070400")}
        << QStringList{"01 02 00 09 04 00  groupe 00 membre 09 (inconnu)",
                       "01 01 07 04 00  groupe 07 (inconnu)"};
    QTest::newRow("long stray run comes in lines of 16")
        << QList<QByteArray>{QByteArray(20, '\x55')}
        << QStringList{QString::fromLatin1(QByteArray(16, '\x55').toHex(' ')) + "  (octets hors trame)",
                       "55 55 55 55  (octets hors trame)"};
    QTest::newRow("nothing") << QList<QByteArray>{} << QStringList{};
}

void TestFrameDecoder::streams()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(QStringList, lines);
    QCOMPARE(decode(pieces), lines);
}

void TestFrameDecoder::everySplitOfAStreamDecodesTheSame()
{
    // Frames, stray bytes and false starts, cut at every pair of places.
    const QByteArray stream = QByteArray::fromHex("07"
                                                  "010203000400"
                                                  "0101"
                                                  "0101010400"
                                                  "01020202"
                                                  "010200030400");
    const QStringList whole = decode({stream});
    QCOMPARE(whole, (QStringList{"07  (octets hors trame)", "01 02 03 00 04 00  Elèves 00 Seconde",
                                 "01 01  (octets hors trame)", "01 01 01 04 00  Prof Professeur",
                                 "01 02 02 02  (octets hors trame)",
                                 "01 02 00 03 04 00  Administration 03 Comptabilité"}));
    for (qsizetype a = 0; a <= stream.size(); ++a)
        for (qsizetype b = a; b <= stream.size(); ++b)
            QCOMPARE(decode({stream.left(a), stream.mid(a, b - a), stream.mid(b)}), whole);
}

QTEST_APPLESS_MAIN(TestFrameDecoder)
#include "tst_framedecoder.moc"
