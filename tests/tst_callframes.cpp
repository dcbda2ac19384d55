#include "callframe.h"

#include <QTest>

Q_DECLARE_METATYPE(GroupCode)

class TestCallFrames : public QObject {
    Q_OBJECT
private slots:
    void frames_data();
    void frames();
};

void TestCallFrames::frames_data()
{
    QTest::addColumn<bool>("isProf");
    QTest::addColumn<GroupCode>("group");
    QTest::addColumn<int>("index");
    // The writes as hex blocks separated by '|', exactly as they must reach the link.
    QTest::addColumn<QString>("writes");

    const struct {
        const char *row;
        GroupCode group;
        int index;
        const char *writes;
    } members[] = {
        {"Administration 0 (group and index both zero)", GroupCode::Administration, 0, "01|02|0000|0400"},
        {"Administration 1", GroupCode::Administration, 1, "01|02|0001|0400"},
        {"Administration 2", GroupCode::Administration, 2, "01|02|0002|0400"},
        {"Administration 3", GroupCode::Administration, 3, "01|02|0003|0400"},
        {"Entretien 0", GroupCode::Entretien, 0, "01|02|0200|0400"},
        {"Entretien 1", GroupCode::Entretien, 1, "01|02|0201|0400"},
        {"Eleves 0", GroupCode::Eleves, 0, "01|02|0300|0400"},
        {"Eleves 1", GroupCode::Eleves, 1, "01|02|0301|0400"},
        {"Eleves 2", GroupCode::Eleves, 2, "01|02|0302|0400"},
        {"Eleves 3", GroupCode::Eleves, 3, "01|02|0303|0400"},
        {"Eleves 4", GroupCode::Eleves, 4, "01|02|0304|0400"},
        {"Eleves 5", GroupCode::Eleves, 5, "01|02|0305|0400"},
    };
    for (const auto &m : members)
        QTest::newRow(m.row) << false << m.group << m.index << QString::fromLatin1(m.writes);
    QTest::newRow("Prof: writes of 1, 1, 1 and 2 bytes") << true << GroupCode::Prof << 0 << "01|01|01|0400";
}

void TestCallFrames::frames()
{
    QFETCH(bool, isProf);
    QFETCH(GroupCode, group);
    QFETCH(int, index);
    QFETCH(QString, writes);

    const CallFrame frame = isProf ? profCallFrame() : memberCallFrame(group, static_cast<qint16>(index));
    QStringList got;
    for (const PortWrite &w : frame)
        got << QString::fromLatin1(w.toHex());
    QCOMPARE(got.join(u'|'), writes);
    // The second write always gives the length of the third.
    QCOMPARE(static_cast<int>(frame[1].at(0)), static_cast<int>(frame[2].size()));
}

QTEST_APPLESS_MAIN(TestCallFrames)
#include "tst_callframes.moc"
