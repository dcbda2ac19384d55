// The pseudo-terminal rig: the real window on a real pseudo-terminal, whose master plays the device.
// The shared scenarios, then what only this rig can show (other programs holding the port, Linux port
// numbers, a queue the device never reads).
#include "flaggedbytes.h"
#include "ptypair.h"
#include "rig/scenarios.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>

#include <memory>
#include <thread>

// The device played at the master side of a pseudo-terminal, whose slave the console opens. Its driver
// flags and counts spoiled bytes as a UART's does (flaggedbytes.h).
class PtyPeer : public LinePeer, public PtyPair {
public:
    PtyPeer()
    {
        countingDevice = deviceAt(QFile::encodeName(path()).constData());
        framingErrors = 0;
        overruns = 0;
    }
    ~PtyPeer() override { countingDevice = flaggedBytes.device = 0; }
    QString portText() const override { return PtyPair::portText(); }
    QString devicePath() const override { return path(); }
    void send(const QByteArray &bytes) override
    {
        QVERIFY(PtyPair::send(bytes));
        m_sent += lineLength(bytes);
    }
    QString sendSpoiled(const QByteArray &bytes, qsizetype index) override
    {
        // Counted as the UART takes it, before the byte can be read.
        ++framingErrors;
        {
            const std::lock_guard lock(flaggedBytes.mutex);
            flaggedBytes.marks << m_sent + lineLength(bytes.left(index));
        }
        send(bytes);
        return {};
    }
    QString errorWithoutByte() override
    {
        ++framingErrors;
        return {};
    }
    QByteArray take(qsizetype count, int ms) override { return readAtLeast(count, ms); }
    // The master reports the settings of the side the console opened.
    LineSettings settings() override
    {
        termios tio{};
        return ::tcgetattr(master(), &tio) == 0 ? settingsOf(tio) : LineSettings();
    }
    QString hangUp() override
    {
        closeSlave();
        closeMaster();
        return {};
    }
    // The console is then the only user of its side: nothing else keeps the line up once it closes.
    void connected() override
    {
        closeSlave();
        const std::lock_guard lock(flaggedBytes.mutex);
        flaggedBytes.device = countingDevice;
        flaggedBytes.read = 0;
        flaggedBytes.marks.clear();
        m_sent = 0;
    }
    int handlesOnLine() const override { return descriptorsOn(path()); }

private:
    // What the console reads for `bytes`: its line discipline doubles each 0xFF.
    static qint64 lineLength(const QByteArray &bytes) { return bytes.size() + bytes.count('\xff'); }

    qint64 m_sent = 0; // bytes the console reads for what was sent since it connected
};

class TestPtyRig : public LineScenarios {
    Q_OBJECT
private slots:
    void secondConnecterAndEditedPortChangeNothing();
    void portHeldByAnotherProgram_data();
    void portHeldByAnotherProgram();
    void hangUpWithBytesStillQueuedIsAFailure();
    void answersDuringAnOpenBoxWaitForIt_data();
    void answersDuringAnOpenBoxWaitForIt();
    void otherNotificationsShowAndReadNothing();

private:
    LinePeer &peer() override { return *m_pty; }
    QList<BadPort> badPorts() const override
    {
        return {
            {"not a number", "abc", "« abc »", false},
            {"out of range", "32768", "« 32768 »", false},
            {"empty", "", "vide", false},
            {"negative: no device", "-1", "-1", true},
            {"zero: no device", "0", "numéro 0", true},
            {"between ranges", "98", "numéro 98", true},
            {"unmapped: the message names the valid ranges", "99", "1 à 96 (1 à 32 : /dev/ttyS0", true},
            {"unmapped: pseudo-terminals from 100", "97", "et 100 à 32767 (pseudo-terminaux", true},
            {"missing pseudo-terminal", "32767", "/dev/pts/32667", true},
            {"missing serial port", "32", "COM32 (/dev/ttyS31) : le port n'existe pas", true},
        };
    }
    void beforeEach() override
    {
        m_pty = std::make_unique<PtyPeer>();
        QVERIFY(m_pty->isValid());
    }
    void afterEach() override { m_pty.reset(); }

    std::unique_ptr<PtyPeer> m_pty;
};

void TestPtyRig::secondConnecterAndEditedPortChangeNothing()
{
    connectToPeer();
    PtyPair other;
    QVERIFY(other.isValid());
    typePortAndConnect(other.portText());
    QVERIFY(m_sink->failures.isEmpty());
    QVERIFY(m_sink->answers.isEmpty());
    QCOMPARE(m_window->link().devicePath(), m_pty->path());
    QCOMPARE(findBox(m_window, "Port")->text(), other.portText()); // never changed by an operation

    QTest::mouseClick(findButton(m_window, "Prof"), Qt::LeftButton);
    QCOMPARE(m_pty->readAtLeast(5).toHex(' '), QByteArray("01 01 01 04 00"));
    QCOMPARE(other.readAvailable(50), QByteArray());
}

void TestPtyRig::portHeldByAnotherProgram_data()
{
    QTest::addColumn<QString>("holder");
    QTest::addColumn<bool>("busy");

    QTest::newRow("another console") << "console" << true;
    // Terminal programs mark a port they hold with a UUCP lock file naming their process.
    QTest::newRow("lock file of a running program") << "running" << true;
    QTest::newRow("stale lock file: its program has ended") << "ended" << false;
}

void TestPtyRig::portHeldByAnotherProgram()
{
    QFETCH(QString, holder);
    QFETCH(bool, busy);

    RecordingSink otherSink;
    ConsoleWindow other(&otherSink);
    QProcess program;
    const QString lockFile = QStringLiteral("/run/lock/LCK..pts_%1").arg(m_pty->portNumber() - 100);
    const auto cleanLock = qScopeGuard([&] { QFile::remove(lockFile); });
    qint64 pid = 0;
    if (holder == QLatin1String("console")) {
        ::typePortAndConnect(&other, m_pty->portText());
        QVERIFY(other.link().isOpen());
    } else {
        if (!QFileInfo(QStringLiteral("/run/lock")).isWritable())
            QSKIP("/run/lock is not writable here");
        program.start(QStringLiteral("sleep"),
                      {holder == QLatin1String("running") ? QStringLiteral("30") : QStringLiteral("0")});
        QVERIFY(program.waitForStarted());
        pid = program.processId();
        if (holder == QLatin1String("ended"))
            QVERIFY(program.waitForFinished());
        QFile lock(lockFile);
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.write(QByteArray::number(pid).rightJustified(10, ' ') + '\n');
    }

    typePortAndConnect(m_pty->portText());
    if (busy) {
        QCOMPARE(m_sink->failures.size(), 1);
        const QString message = m_sink->failures.first();
        QVERIFY2(message.contains(QStringLiteral("occupé")) && message.contains(m_pty->portText()),
                 qPrintable(message));
        // So that the user can pick another.
        QVERIFY2(message.endsWith(presentPortsSentence(listSerialPorts())), qPrintable(message));
        if (pid)
            QVERIFY2(message.contains(QStringLiteral("sleep, processus %1").arg(pid)), qPrintable(message));
        QCOMPARE(m_sink->endStatus, 1);
        QVERIFY(!m_window->link().isOpen());
        if (holder == QLatin1String("running"))
            QVERIFY(QFile::exists(lockFile)); // another program's lock is left alone
        program.kill();
        program.waitForFinished();
        return;
    }
    // A stale lock is ignored and replaced by the console's own, which goes when the port closes.
    QVERIFY2(m_sink->failures.isEmpty(), qPrintable(m_sink->failures.value(0)));
    QVERIFY(m_window->link().isOpen());
    QFile lock(lockFile);
    QVERIFY(lock.open(QIODevice::ReadOnly));
    QCOMPARE(lock.readAll().simplified().split(' ').value(0).toLongLong(),
             QCoreApplication::applicationPid());
    lock.close();
    click(m_window, QStringLiteral("Prof"));
    QCOMPARE(m_pty->readAtLeast(5).size(), 5);
    m_window->close();
    QVERIFY(!QFile::exists(lockFile));
}

void TestPtyRig::hangUpWithBytesStillQueuedIsAFailure()
{
    connectToPeer();
    // Far more than the pseudo-terminal holds, and the device reads none of it before it goes away.
    QString list = QStringLiteral("1");
    for (int i = 0; i < 100000; ++i)
        list += QStringLiteral(" 2");
    sendList(list);
    QVERIFY(m_sink->failures.isEmpty()); // every byte was handed to the link
    QTest::qWait(50);
    QVERIFY(m_window->link().outputQueued() > 0);

    m_pty->closeMaster();
    QTRY_COMPARE(m_sink->failures.size(), 1);
    QVERIFY2(m_sink->failures.first().contains(QStringLiteral("perdue")) &&
                 m_sink->failures.first().contains(
                     QStringLiteral("%1 octet").arg(m_window->link().unsentAtLoss())),
             qPrintable(m_sink->failures.first()));
    QCOMPARE(m_sink->endStatus, 1);
}

void TestPtyRig::answersDuringAnOpenBoxWaitForIt_data()
{
    QTest::addColumn<int>("count"); // answers the device sends while the first box is open
    QTest::newRow("three") << 3;
    // 180,000 bytes: far more than a driver's queue holds, so they must be taken from the line while
    // the box is open, not after.
    QTest::newRow("60,000") << 60000;
}

void TestPtyRig::answersDuringAnOpenBoxWaitForIt()
{
    QFETCH(int, count);
    const NumberedAnswers answers(count);
    const QByteArray &meanwhile = answers.bytes;
    const QStringList expected = QStringList{QStringLiteral("1 1 1")} + answers.texts;
    connectToPeer();
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
    m_pty->send(QByteArray::fromHex("010101"));
    QTRY_COMPARE_WITH_TIMEOUT(m_sink->answers.size(), expected.size(), 30000);
    QVERIFY(sentAll);
    QCOMPARE(takenWhileOpen, meanwhile.size());
    QVERIFY(m_sink->answers == expected); // in order, none lost, none twice
    QCOMPARE(mostOpen, 1);                // boxes never stack
}

void TestPtyRig::otherNotificationsShowAndReadNothing()
{
    connectToPeer();
    m_pty->send(QByteArray::fromHex("0102"));
    QTRY_COMPARE(m_window->link().bytesWaiting(), qsizetype(2));
    // The device hangs up: the link reports it with a code other than "received", which shows nothing
    // and reads nothing. Then, since nothing more can come, the two bytes are told as no whole answer.
    QList<int> events;
    QStringList shownAtLoss{"none"};
    qsizetype waitingAtLoss = -1;
    connect(&m_window->link(), &SerialLink::notified, this, [&] {
        events << m_window->link().commEvent();
        if (events.size() == 1) {
            shownAtLoss = m_sink->answers + m_sink->notices + m_sink->failures;
            waitingAtLoss = m_window->link().bytesWaiting();
        }
    });
    m_pty->closeMaster();
    QTRY_COMPARE(events.size(), 2);
    QCOMPARE(events, (QList<int>{SerialLink::LineLost, SerialLink::NoWholeAnswer}));
    QCOMPARE(shownAtLoss, QStringList());
    QCOMPARE(waitingAtLoss, qsizetype(2));
    QCOMPARE(m_sink->boxes, QStringList{"notice: Réponse incomplète : 1 2"});
    QCOMPARE(m_sink->failures, QStringList());
}

QTEST_MAIN(TestPtyRig)
#include "tst_console_e2e.moc"
