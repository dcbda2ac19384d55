#include "callframe.h"
#include "rig/frames.h"

#include <QTest>

class TestCallFrames : public QObject {
    Q_OBJECT
private slots:
    void frames_data();
    void frames();
};

void TestCallFrames::frames_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("writes");
    for (const ButtonFrame &f : buttonFrames)
        QTest::newRow(rowName(f)) << f.button << f.index << f.writes;
}

void TestCallFrames::frames()
{
    QFETCH(QString, button);
    QFETCH(int, index);
    QFETCH(QString, writes);

    const QMap<QString, GroupCode> groups = {{"Administration", GroupCode::Administration},
                                             {"Entretien", GroupCode::Entretien},
                                             {"Eleves", GroupCode::Eleves}};
    const CallFrame frame = button == "Prof"
                                ? profCallFrame()
                                : memberCallFrame(groups.value(button), static_cast<qint16>(index));
    QStringList got;
    for (const PortWrite &w : frame)
        got << QString::fromLatin1(w.toHex());
    QCOMPARE(got.join(u'|'), writes);
    // The second write always gives the length of the third.
    QCOMPARE(static_cast<int>(frame[1].at(0)), static_cast<int>(frame[2].size()));
}

QTEST_APPLESS_MAIN(TestCallFrames)
#include "tst_callframes.moc"
