// The real console window (offscreen) and the real simulator process, over the simulator's
// pseudo-terminal.
#include "ptypair.h"
#include "rig/consolefixture.h"
#include "rig/frames.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <csignal>
#include <termios.h>
#include <unistd.h>

namespace {

// The simulator as a child process, its output collected line by line.
class Simulator {
public:
    explicit Simulator(const QStringList &arguments)
    {
        m_process.start(QStringLiteral(LIAISON_SIM_PATH), arguments);
    }
    ~Simulator()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(2000);
        }
    }

    // Waits for the next line containing `text`; returns it, or an empty string after `ms`.
    QString waitForLine(const QString &text, int ms = 5000)
    {
        QDeadlineTimer deadline(ms);
        for (;;) {
            while (m_process.canReadLine()) {
                const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
                m_seen << line;
                if (line.contains(text))
                    return line;
            }
            if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
                return QString();
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            m_process.waitForReadyRead(10);
        }
    }
    int portNumber()
    {
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral("^Port (\\d+) ")).match(waitForLine(QStringLiteral("Port ")));
        return m.hasMatch() ? m.captured(1).toInt() : -1;
    }
    QStringList seen() const { return m_seen; }
    // CPU seconds the process has used so far (user and system), from /proc.
    double cpuSeconds() const
    {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(m_process.processId()));
        if (!stat.open(QIODevice::ReadOnly))
            return -1;
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        return double(fields.value(11).toLongLong() + fields.value(12).toLongLong()) /
               double(::sysconf(_SC_CLK_TCK));
    }
    QProcess &process() { return m_process; }

private:
    QProcess m_process;
    QStringList m_seen;
};

} // namespace

class TestSimulatorEndToEnd : public ConsoleFixture {
    Q_OBJECT
private slots:
    void clicksAreDecodedAndAnswered_data();
    void clicksAreDecodedAndAnswered();
    void survivesTheConsoleClosingAndReopening();
    void aRealPortGivesEachFFOnce();
    void badArgumentsAreRefused_data();
    void badArgumentsAreRefused();
};

void TestSimulatorEndToEnd::clicksAreDecodedAndAnswered_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("answers");

    QTest::newRow("default answers") << QStringList{} << QStringList{"0 2 255", "1 0 255", "3 5 255"};
    QTest::newRow("--reply") << QStringList{"--reply", "7 0x08 9"} << QStringList{"7 8 9", "7 8 9", "7 8 9"};
    QTest::newRow("--no-reply") << QStringList{"--no-reply"} << QStringList{};
}

void TestSimulatorEndToEnd::clicksAreDecodedAndAnswered()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, answers);

    Simulator sim(arguments);
    const int number = sim.portNumber();
    QVERIFY2(number >= 100, qPrintable(sim.seen().join(u'\n')));

    typePortAndConnect(QString::number(number));
    QVERIFY2(m_sink->failures.isEmpty(), qPrintable(m_sink->failures.value(0)));
    // Administration 2, Prof, Eleves 5, as the simulator names them.
    for (const ButtonFrame &f : {buttonFrames[2], buttonFrames[4], buttonFrames[12]}) {
        click(m_window, f.button, f.index);
        QCOMPARE(sim.waitForLine(QString::fromLatin1(f.bytes().left(2).toHex(' '))), f.decoded());
    }
    if (answers.isEmpty()) {
        QTest::qWait(200);
        QCOMPARE(m_sink->answers, QStringList());
    } else {
        QTRY_COMPARE(m_sink->answers, answers);
    }

    // Bytes that form no frame are printed as they are once the line falls idle.
    sendList(QStringLiteral("1 1 1 4"));
    QCOMPARE(sim.waitForLine(QStringLiteral("hors trame")),
             QStringLiteral("01 01 01 04  (octets hors trame)"));
    QVERIFY(m_sink->failures.isEmpty());

    // Ctrl+C ends it cleanly.
    ::kill(static_cast<pid_t>(sim.process().processId()), SIGINT);
    QVERIFY(!sim.waitForLine(QStringLiteral("Simulateur arrêté")).isEmpty());
    QVERIFY(sim.process().state() == QProcess::NotRunning || sim.process().waitForFinished(3000));
    QCOMPARE(sim.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.process().exitCode(), 0);
}

void TestSimulatorEndToEnd::survivesTheConsoleClosingAndReopening()
{
    Simulator sim({});
    const int number = sim.portNumber();
    QVERIFY(number >= 100);
    for (int round = 0; round < 2; ++round) {
        RecordingSink sink;
        ConsoleWindow window(&sink);
        ::typePortAndConnect(&window, QString::number(number));
        QVERIFY2(sink.failures.isEmpty(), qPrintable(sink.failures.value(0)));
        if (round > 0)
            QVERIFY(!sim.waitForLine(QStringLiteral("rouvert")).isEmpty());
        click(&window, QStringLiteral("Entretien"), round);
        QVERIFY(!sim.waitForLine(QStringLiteral("Entretien 0%1").arg(round)).isEmpty());
        QTRY_COMPARE(sink.answers, QStringList{QStringLiteral("2 %1 255").arg(round)});
        window.close();
        QVERIFY(!sim.waitForLine(QStringLiteral("a fermé le port")).isEmpty());
        // While nobody holds the line the simulator waits without spinning.
        const double before = sim.cpuSeconds();
        QTest::qWait(500);
        QVERIFY2(sim.cpuSeconds() - before < 0.15, qPrintable(QString::number(sim.cpuSeconds() - before)));
    }
    QCOMPARE(sim.process().state(), QProcess::Running);
}

void TestSimulatorEndToEnd::aRealPortGivesEachFFOnce()
{
    // The simulator on a real tty, as --port opens one: here a pseudo-terminal's slave, the test playing
    // the console on its master. Unlike the master of the simulator's own pseudo-terminal, such a port
    // reads through the line discipline with the console's settings, PARMRK among them, which doubles
    // each 0xFF that comes in.
    PtyPair pty;
    QVERIFY(pty.isValid());
    Simulator sim({QStringLiteral("--port"), pty.path()});
    QVERIFY2(!sim.waitForLine(QStringLiteral("Port ")).isEmpty(), qPrintable(sim.seen().join(u'\n')));
    termios line{};
    QCOMPARE(::tcgetattr(pty.master(), &line), 0);
    QVERIFY2(line.c_iflag & PARMRK, "the simulator set its port up as the console does");

    // A frame that calls member 255, then a lone 255 among bytes that form no frame.
    const QByteArray frame = QByteArray::fromHex("010200ff0400");
    QVERIFY(writeAll(pty.master(), frame, 1000));
    QCOMPARE(sim.waitForLine(QStringLiteral("01 02 00")),
             QStringLiteral("01 02 00 FF 04 00  groupe 00 membre 255 (inconnu)"));
    QCOMPARE(pty.readAtLeast(3).toHex(' '), QByteArray("00 ff ff"));
    QVERIFY(writeAll(pty.master(), QByteArray::fromHex("ff04"), 1000));
    QCOMPARE(sim.waitForLine(QStringLiteral("hors trame")), QStringLiteral("FF 04  (octets hors trame)"));
}

void TestSimulatorEndToEnd::badArgumentsAreRefused_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("reply with two bytes") << QStringList{"--reply", "1 2"};
    QTest::newRow("reply out of range") << QStringList{"--reply", "1 2 256"};
    QTest::newRow("reply and no reply") << QStringList{"--reply", "1 2 3", "--no-reply"};
    QTest::newRow("missing port") << QStringList{"--port", "/dev/does-not-exist"};
    QTest::newRow("stray argument") << QStringList{"extra"};
}

void TestSimulatorEndToEnd::badArgumentsAreRefused()
{
    QFETCH(QStringList, arguments);
    QProcess sim;
    sim.start(QStringLiteral(LIAISON_SIM_PATH), arguments);
    QVERIFY(sim.waitForFinished(3000));
    QVERIFY(sim.exitCode() != 0);
    QVERIFY(!sim.readAllStandardError().isEmpty());
}

QTEST_MAIN(TestSimulatorEndToEnd)
#include "tst_sim_e2e.moc"
