// Envoyer and the answer boxes, end to end: the real window on a real pseudo-terminal.
#include "consoledriver.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTimer>

#include <thread>

class TestSendAndReply : public ConsoleFixture {
    Q_OBJECT
private slots:

    void envoyerSendsTheTypedBytes_data();
    void envoyerSendsTheTypedBytes();
    void envoyerBeforeConnecterSendsNothing();
    void longListIsSentWhole();
    void answerIsShownAsThreeDecimals_data();
    void answerIsShownAsThreeDecimals();
    void sixBytesAtOnceGiveTwoBoxesInOrder();
    void answersDuringAnOpenBoxWaitForIt_data();
    void answersDuringAnOpenBoxWaitForIt();
    void twoBytesOverAreKeptForTheNextAnswer();
    void otherNotificationsShowAndReadNothing();
    void realAnswerBoxIsPlainModalWithOk();
};

void TestSendAndReply::envoyerSendsTheTypedBytes_data()
{
    QTest::addColumn<QString>("list");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("failure"); // empty: none; else a piece of the message

    QTest::newRow("design text") << "01 01 01 04" << QByteArray::fromHex("01010104") << "";
    QTest::newRow("every notation") << "0 255 0x7f 010" << QByteArray::fromHex("00ff7f0a") << "";
    QTest::newRow("7 then 300: 07 and nothing after") << "7 300 8" << QByteArray::fromHex("07") << "« 300 »";
    QTest::newRow("trailing space: all sent, then fails") << "1 2 " << QByteArray::fromHex("0102") << "vide";
    QTest::newRow("empty box: nothing") << "" << QByteArray() << "vide";
}

void TestSendAndReply::envoyerSendsTheTypedBytes()
{
    QFETCH(QString, list);
    QFETCH(QByteArray, line);
    QFETCH(QString, failure);

    connectTo(m_window, *m_pty);
    QLineEdit *box = findBox(m_window, QStringLiteral("ListeCar"));
    box->setText(list);
    click(m_window, QStringLiteral("Envoyer"));

    QCOMPARE(m_pty->readAtLeast(line.size()).toHex(' '), line.toHex(' '));
    QCOMPARE(m_pty->readAvailable(50).toHex(' '), QByteArray());
    QCOMPARE(box->text(), list); // the box's text is never changed
    if (failure.isEmpty()) {
        QVERIFY2(m_sink->failures.isEmpty(), qPrintable(m_sink->failures.value(0)));
        QCOMPARE(m_sink->endStatus, -1);
    } else {
        QCOMPARE(m_sink->failures.size(), 1);
        QVERIFY2(m_sink->failures.first().contains(failure), qPrintable(m_sink->failures.first()));
        QCOMPARE(m_sink->endStatus, 1);
        QVERIFY(!m_window->link().isOpen());
    }
}

void TestSendAndReply::envoyerBeforeConnecterSendsNothing()
{
    click(m_window, QStringLiteral("Envoyer"));
    QCOMPARE(m_sink->failures.size(), 1);
    QVERIFY2(m_sink->failures.first().contains(QStringLiteral("n'est pas ouvert")),
             qPrintable(m_sink->failures.first()));
    QCOMPARE(m_sink->endStatus, 1);
    QCOMPARE(m_pty->readAvailable(50), QByteArray());
}

void TestSendAndReply::longListIsSentWhole()
{
    // Far longer than a line edit takes by default (32767 characters).
    QString list;
    QByteArray line;
    for (int i = 0; i < 50000; ++i) {
        list += (i ? QStringLiteral(" ") : QString()) + QString::number(255 - i % 256);
        line.append(static_cast<char>(255 - i % 256));
    }
    connectTo(m_window, *m_pty);
    QLineEdit *box = findBox(m_window, QStringLiteral("ListeCar"));
    box->setText(list);
    QCOMPARE(box->text().size(), list.size());
    click(m_window, QStringLiteral("Envoyer"));
    const QByteArray got = m_pty->readAtLeast(line.size(), 20000);
    QCOMPARE(got.size(), line.size());
    QVERIFY(got == line);
    QVERIFY(m_sink->failures.isEmpty());
}

void TestSendAndReply::answerIsShownAsThreeDecimals_data()
{
    QTest::addColumn<QByteArray>("before"); // on the line before Connecter
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("text");
    QTest::newRow("01 02 FF") << QByteArray() << QByteArray::fromHex("0102ff") << "1 2 255";
    QTest::newRow("00 00 00") << QByteArray() << QByteArray::fromHex("000000") << "0 0 0";
    // Noise or a device's chatter from before the port opened is not the start of an answer: taken in,
    // it would shift this answer and every one after it ("85 102 7").
    QTest::newRow("two bytes from before Connecter are dropped")
        << QByteArray::fromHex("5566") << QByteArray::fromHex("070809") << "7 8 9";
}

void TestSendAndReply::answerIsShownAsThreeDecimals()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, reply);
    QFETCH(QString, text);
    if (!before.isEmpty())
        QVERIFY(m_pty->send(before));
    connectTo(m_window, *m_pty);
    // Byte by byte: nothing is shown until the third arrives.
    QVERIFY(m_pty->send(reply.left(2)));
    QTest::qWait(50);
    QCOMPARE(m_sink->answers, QStringList());
    QVERIFY(m_pty->send(reply.mid(2)));
    QTRY_COMPARE(m_sink->answers, QStringList{text});
    QCOMPARE(m_window->link().bytesWaiting(), qsizetype(0));
}

void TestSendAndReply::sixBytesAtOnceGiveTwoBoxesInOrder()
{
    connectTo(m_window, *m_pty);
    QVERIFY(m_pty->send(QByteArray::fromHex("0102ff000000")));
    QTRY_COMPARE(m_sink->answers, (QStringList{"1 2 255", "0 0 0"}));
    QTest::qWait(50);
    QCOMPARE(m_sink->answers.size(), 2);
}

void TestSendAndReply::answersDuringAnOpenBoxWaitForIt_data()
{
    QTest::addColumn<int>("count"); // answers the device sends while the first box is open
    QTest::newRow("three") << 3;
    // 180,000 bytes: far more than a driver's queue holds, so they must be taken from the line while
    // the box is open, not after.
    QTest::newRow("60,000") << 60000;
}

void TestSendAndReply::answersDuringAnOpenBoxWaitForIt()
{
    QFETCH(int, count);
    const NumberedAnswers answers(count);
    const QByteArray &meanwhile = answers.bytes;
    const QStringList expected = QStringList{QStringLiteral("1 1 1")} + answers.texts;
    connectTo(m_window, *m_pty);
    int open = 0;
    int mostOpen = 0;
    bool first = true;
    qsizetype takenWhileOpen = -1;
    bool sentAll = false;
    m_sink->onAnswer = [&](const QString &) {
        ++open;
        mostOpen = std::max(mostOpen, open);
        if (first) {
            first = false;
            // The box's own event loop runs while the device sends; it stays open until the console
            // has taken every byte from the line, or 20 s have passed.
            std::thread device([&] { sentAll = m_pty->sendAll(meanwhile, 20000); });
            QDeadlineTimer deadline(20000);
            while (m_window->link().bytesWaiting() < meanwhile.size() && !deadline.hasExpired())
                QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            device.join();
            takenWhileOpen = m_window->link().bytesWaiting();
        }
        --open;
    };
    QVERIFY(m_pty->send(QByteArray::fromHex("010101")));
    QTRY_COMPARE_WITH_TIMEOUT(m_sink->answers.size(), expected.size(), 30000);
    QVERIFY(sentAll);
    QCOMPARE(takenWhileOpen, meanwhile.size());
    QVERIFY(m_sink->answers == expected); // in order, none lost, none twice
    QCOMPARE(mostOpen, 1);                // boxes never stack
}

void TestSendAndReply::twoBytesOverAreKeptForTheNextAnswer()
{
    connectTo(m_window, *m_pty);
    QVERIFY(m_pty->send(QByteArray::fromHex("0102030405")));
    QTRY_COMPARE(m_sink->answers, QStringList{"1 2 3"});
    QTest::qWait(50);
    QCOMPARE(m_window->link().bytesWaiting(), qsizetype(2));
    QCOMPARE(m_sink->answers.size(), 1);
    QVERIFY(m_pty->send(QByteArray::fromHex("06")));
    QTRY_COMPARE(m_sink->answers, (QStringList{"1 2 3", "4 5 6"}));
}

void TestSendAndReply::otherNotificationsShowAndReadNothing()
{
    connectTo(m_window, *m_pty);
    m_pty->closeSlave();
    QVERIFY(m_pty->send(QByteArray::fromHex("0102")));
    QTRY_COMPARE(m_window->link().bytesWaiting(), qsizetype(2));
    // The device hangs up: the link reports it with a code other than "received".
    QSignalSpy notified(&m_window->link(), &SerialLink::notified);
    m_pty->closeMaster();
    QTRY_COMPARE(notified.size(), 1);
    QCOMPARE(m_window->link().commEvent(), int(SerialLink::LineLost));
    QTest::qWait(50);
    QCOMPARE(m_sink->answers, QStringList());
    QCOMPARE(m_sink->failures, QStringList());
    QCOMPARE(m_window->link().bytesWaiting(), qsizetype(2));
}

void TestSendAndReply::realAnswerBoxIsPlainModalWithOk()
{
    ConsoleWindow window; // its own sink: real message boxes
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    connectTo(&window, *m_pty);
    QVERIFY(window.link().isOpen());

    QStringList seen;
    QTimer answer;
    connect(&answer, &QTimer::timeout, this, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        seen << QStringLiteral("%1|%2|%3|%4")
                    .arg(box->text(), box->windowTitle())
                    .arg(box->icon() == QMessageBox::NoIcon ? "no icon" : "icon")
                    .arg(box->buttons().size() == 1 && box->button(QMessageBox::Ok) ? "OK only"
                                                                                    : "other buttons");
        box->button(QMessageBox::Ok)->click();
    });
    answer.start(10);
    QVERIFY(m_pty->send(QByteArray::fromHex("0102ff07080a")));
    QTRY_COMPARE(seen, (QStringList{"1 2 255|Test liaison série|no icon|OK only",
                                    "7 8 10|Test liaison série|no icon|OK only"}));
}

QTEST_MAIN(TestSendAndReply)
#include "tst_send_reply_e2e.moc"
