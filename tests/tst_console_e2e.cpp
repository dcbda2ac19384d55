// The real window driving a real pseudo-terminal: buttons are clicked, bytes are read at the device side.
#include "consoledriver.h"
#include "portlist.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QTest>
#include <QTimer>

class TestConsoleEndToEnd : public ConsoleFixture {
    Q_OBJECT
private slots:

    void everyButtonPutsItsFrameOnTheLine_data();
    void everyButtonPutsItsFrameOnTheLine();
    void lineSettings();
    void secondConnecterAndEditedPortChangeNothing();
    void portHeldByAnotherProgram_data();
    void portHeldByAnotherProgram();
    void buttonBeforeConnecterFailsWithNothingSent();
    void badPortFailsBeforeAnythingIsSet_data();
    void badPortFailsBeforeAnythingIsSet();
    void frameWrittenJustBeforeCloseArrivesWhole();
    void closingWithoutConnecterTouchesNothing();
    void hangUpIsReportedOnceWithoutSpinning();
    void hangUpWithBytesStillQueuedIsAFailure();
    void realFailurePathShowsCriticalBoxAndEndsWithStatusOne();

private:
    void connectToPty();
    QLineEdit *portBox() { return findBox(m_window, QStringLiteral("Port")); }
};

// How many of this process's descriptors are open on the device at `path`.
static int descriptorsOn(const QString &path)
{
    int count = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString &fd : fds.entryList(QDir::Files | QDir::System)) {
        const QString target = QFile::symLinkTarget(fds.filePath(fd));
        count += target == path || target.startsWith(path + QLatin1String(" "));
    }
    return count;
}

void TestConsoleEndToEnd::connectToPty()
{
    ::connectTo(m_window, *m_pty);
    QVERIFY2(m_sink->failures.isEmpty(), qPrintable(m_sink->failures.value(0)));
    QVERIFY(m_window->link().isOpen());
    QCOMPARE(m_window->link().devicePath(), m_pty->path());
    QVERIFY(m_window->link().binaryInput());
}

void TestConsoleEndToEnd::everyButtonPutsItsFrameOnTheLine_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("index");
    QTest::addColumn<QByteArray>("line");

    QTest::newRow("Prof") << "Prof" << -1 << QByteArray::fromHex("0101010400");
    for (int i = 0; i < 4; ++i)
        QTest::addRow("Administration %d", i) << "Administration" << i
                                              << QByteArray::fromHex("01020000"
                                                                     "0400")
                                                     .replace(3, 1, QByteArray(1, char(i)));
    for (int i = 0; i < 2; ++i)
        QTest::addRow("Entretien %d", i) << "Entretien" << i
                                         << QByteArray::fromHex("01020200"
                                                                "0400")
                                                .replace(3, 1, QByteArray(1, char(i)));
    for (int i = 0; i < 6; ++i)
        QTest::addRow("Eleves %d", i) << "Eleves" << i
                                      << QByteArray::fromHex("01020300"
                                                             "0400")
                                             .replace(3, 1, QByteArray(1, char(i)));
}

void TestConsoleEndToEnd::everyButtonPutsItsFrameOnTheLine()
{
    QFETCH(QString, name);
    QFETCH(int, index);
    QFETCH(QByteArray, line);

    connectToPty();
    QPushButton *b = findButton(m_window, name, index);
    QVERIFY(b);
    // Twice: nothing is remembered between presses, so the frame goes out twice.
    QTest::mouseClick(b, Qt::LeftButton);
    QTest::mouseClick(b, Qt::LeftButton);
    QCOMPARE(m_pty->readAtLeast(2 * line.size()).toHex(' '), (line + line).toHex(' '));
    QCOMPARE(m_pty->readAvailable(50).toHex(' '), QByteArray());
    QVERIFY(m_sink->failures.isEmpty());
}

void TestConsoleEndToEnd::lineSettings()
{
    connectToPty();
    // The master reports the settings of the side the console opened.
    termios tio{};
    QCOMPARE(::tcgetattr(m_pty->master(), &tio), 0);
    QCOMPARE(::cfgetospeed(&tio), speed_t(B9600));
    QCOMPARE(::cfgetispeed(&tio), speed_t(B9600));
    QCOMPARE(tio.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
    QCOMPARE(tio.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
    QCOMPARE(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP), tcflag_t(0));
    // A break or a byte with a framing or parity error is not data, on every driver's path.
    QCOMPARE(tio.c_iflag & (IGNBRK | INPCK | IGNPAR | PARMRK), tcflag_t(IGNBRK | INPCK | IGNPAR | PARMRK));
    QCOMPARE(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), tcflag_t(0));
    QCOMPARE(tio.c_oflag & OPOST, tcflag_t(0));

    // Raw both ways: a frame right after opening, with its 0x00 and 0x04 (end of text to a cooked
    // line), arrives untouched.
    QTest::mouseClick(findButton(m_window, "Administration", 0), Qt::LeftButton);
    QCOMPARE(m_pty->readAtLeast(6).toHex(' '), QByteArray("01 02 00 00 04 00"));
}

void TestConsoleEndToEnd::secondConnecterAndEditedPortChangeNothing()
{
    connectToPty();
    PtyPair other;
    QVERIFY(other.isValid());
    portBox()->setText(other.portText());
    QTest::mouseClick(findButton(m_window, "Connecter"), Qt::LeftButton);
    QVERIFY(m_sink->failures.isEmpty());
    QVERIFY(m_sink->answers.isEmpty());
    QCOMPARE(m_window->link().devicePath(), m_pty->path());
    QCOMPARE(portBox()->text(), other.portText()); // the box is never changed by an operation

    QTest::mouseClick(findButton(m_window, "Prof"), Qt::LeftButton);
    QCOMPARE(m_pty->readAtLeast(5).toHex(' '), QByteArray("01 01 01 04 00"));
    QCOMPARE(other.readAvailable(50), QByteArray());
}

void TestConsoleEndToEnd::portHeldByAnotherProgram_data()
{
    QTest::addColumn<QString>("holder");
    QTest::addColumn<bool>("busy");

    QTest::newRow("another console") << "console" << true;
    // Terminal programs mark a port they hold with a UUCP lock file naming their process.
    QTest::newRow("lock file of a running program") << "running" << true;
    QTest::newRow("stale lock file: its program has ended") << "ended" << false;
}

void TestConsoleEndToEnd::portHeldByAnotherProgram()
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
        other.findChild<QLineEdit *>(QStringLiteral("Port"))->setText(m_pty->portText());
        QTest::mouseClick(findButton(&other, "Connecter"), Qt::LeftButton);
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

    portBox()->setText(m_pty->portText());
    QTest::mouseClick(findButton(m_window, "Connecter"), Qt::LeftButton);
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
    QCOMPARE(lock.readAll().trimmed().toLongLong(), QCoreApplication::applicationPid());
    lock.close();
    click(m_window, QStringLiteral("Prof"));
    QCOMPARE(m_pty->readAtLeast(5).size(), 5);
    m_window->close();
    QVERIFY(!QFile::exists(lockFile));
}

void TestConsoleEndToEnd::buttonBeforeConnecterFailsWithNothingSent()
{
    QTest::mouseClick(findButton(m_window, "Eleves", 5), Qt::LeftButton);
    QCOMPARE(m_sink->failures.size(), 1);
    QVERIFY2(m_sink->failures.first().contains(QStringLiteral("n'est pas ouvert")),
             qPrintable(m_sink->failures.first()));
    QCOMPARE(m_sink->endStatus, 1);
    QCOMPARE(m_pty->readAvailable(50), QByteArray());
    // Once the program has ended no further operation runs.
    QVERIFY(m_window->hasEnded());
    QTest::mouseClick(findButton(m_window, "Prof"), Qt::LeftButton);
    QCOMPARE(m_sink->failures.size(), 1);
}

void TestConsoleEndToEnd::badPortFailsBeforeAnythingIsSet_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("named");   // what the message must name
    QTest::addColumn<bool>("portsNamed"); // whether it also names the ports present

    QTest::newRow("not a number") << "abc"
                                  << "« abc »" << false;
    QTest::newRow("out of range") << "32768"
                                  << "« 32768 »" << false;
    QTest::newRow("empty") << ""
                           << "vide" << false;
    QTest::newRow("negative: no device") << "-1"
                                         << "-1" << true;
    QTest::newRow("zero: no device") << "0"
                                     << "numéro 0" << true;
    QTest::newRow("between ranges") << "98"
                                    << "numéro 98" << true;
    QTest::newRow("unmapped: the message names the valid ranges") << "99"
                                                                  << "1 à 96 (1 à 32 : /dev/ttyS0" << true;
    QTest::newRow("unmapped: pseudo-terminals from 100") << "97"
                                                         << "et 100 à 32767 (pseudo-terminaux" << true;
    QTest::newRow("missing pseudo-terminal") << "32767"
                                             << "/dev/pts/32667" << true;
    QTest::newRow("missing serial port") << "32"
                                         << "COM32 (/dev/ttyS31) : le port n'existe pas" << true;
}

void TestConsoleEndToEnd::badPortFailsBeforeAnythingIsSet()
{
    QFETCH(QString, text);
    QFETCH(QString, named);
    QFETCH(bool, portsNamed);

    portBox()->setText(text);
    QTest::mouseClick(findButton(m_window, "Connecter"), Qt::LeftButton);
    QCOMPARE(m_sink->failures.size(), 1);
    const QString message = m_sink->failures.first();
    QVERIFY2(message.contains(named), qPrintable(message));
    // A wrong number ends the program: the message tells which numbers would have worked.
    if (portsNamed)
        QVERIFY2(message.endsWith(QStringLiteral(". ") + presentPortsSentence(listSerialPorts())),
                 qPrintable(message));
    else
        QVERIFY2(!message.contains(QStringLiteral("présent")), qPrintable(message));
    QCOMPARE(m_sink->endStatus, 1);
    QVERIFY(!m_window->link().isOpen());
}

void TestConsoleEndToEnd::frameWrittenJustBeforeCloseArrivesWhole()
{
    connectToPty();
    // The console is the only user of its side: nothing else keeps the line up once it closes.
    m_pty->closeSlave();
    QTest::mouseClick(findButton(m_window, "Eleves", 3), Qt::LeftButton);
    QTest::mouseClick(findButton(m_window, "Prof"), Qt::LeftButton);
    m_window->close();
    QVERIFY(!m_window->link().isOpen());
    QCOMPARE(m_pty->readAtLeast(11).toHex(' '), QByteArray("01 02 03 03 04 00 01 01 01 04 00"));
    QVERIFY(m_sink->failures.isEmpty());
}

void TestConsoleEndToEnd::closingWithoutConnecterTouchesNothing()
{
    m_window->close();
    QVERIFY(!m_window->link().isOpen());
    QVERIFY(m_sink->failures.isEmpty());
    QCOMPARE(m_sink->endStatus, -1);
    QCOMPARE(m_pty->readAvailable(50), QByteArray());
}

void TestConsoleEndToEnd::hangUpIsReportedOnceWithoutSpinning()
{
    connectToPty();
    m_pty->closeSlave();
    QCOMPARE(descriptorsOn(m_pty->path()), 1); // the console's own
    QList<int> events;
    connect(&m_window->link(), &SerialLink::notified, this, [&] { events << m_window->link().commEvent(); });

    m_pty->closeMaster();
    const double cpuBefore = processCpuSeconds();
    QTest::qWait(600);
    const double cpuUsed = processCpuSeconds() - cpuBefore;
    QCOMPARE(events, QList<int>{SerialLink::LineLost});
    // A loop spinning on the dead descriptor would burn nearly all of the 600 ms.
    QVERIFY2(cpuUsed < 0.2, qPrintable(QString::number(cpuUsed)));
    // The console has let the device go: the system gives a USB adapter's number out again only after
    // the last close, so one plugged back in would otherwise come back under another number.
    QCOMPARE(descriptorsOn(m_pty->path()), 0);
    QVERIFY(m_window->link().isOpen()); // for the console, the port stays open, and lost

    QTest::mouseClick(findButton(m_window, "Prof"), Qt::LeftButton);
    QCOMPARE(m_sink->failures.size(), 1);
    QVERIFY2(m_sink->failures.first().contains(QStringLiteral("perdue")),
             qPrintable(m_sink->failures.first()));
    QCOMPARE(m_sink->endStatus, 1);
}

void TestConsoleEndToEnd::hangUpWithBytesStillQueuedIsAFailure()
{
    connectToPty();
    m_pty->closeSlave();
    // Far more than the pseudo-terminal holds, and the device reads none of it before it goes away.
    QString list = QStringLiteral("1");
    for (int i = 0; i < 100000; ++i)
        list += QStringLiteral(" 2");
    findBox(m_window, QStringLiteral("ListeCar"))->setText(list);
    click(m_window, QStringLiteral("Envoyer"));
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

void TestConsoleEndToEnd::realFailurePathShowsCriticalBoxAndEndsWithStatusOne()
{
    // The window's own sink: a real critical box, then the end of the event loop with status 1.
    ConsoleWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QString shown;
    QString title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QTimer answer;
    connect(&answer, &QTimer::timeout, this, [&] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            shown = box->text();
            title = box->windowTitle();
            icon = box->icon();
            box->button(QMessageBox::Ok)->click();
        }
    });
    answer.start(10);
    QTimer::singleShot(0, &window, [&] { QTest::mouseClick(findButton(&window, "Prof"), Qt::LeftButton); });
    QTimer::singleShot(5000, qApp, [] { QCoreApplication::exit(99); }); // a box nobody answers
    QCOMPARE(QCoreApplication::exec(), 1);
    QCOMPARE(icon, QMessageBox::Critical);
    QCOMPARE(title, QStringLiteral("Test liaison série"));
    QVERIFY2(shown.contains(QStringLiteral("n'est pas ouvert")), qPrintable(shown));
}

QTEST_MAIN(TestConsoleEndToEnd)
#include "tst_console_e2e.moc"
