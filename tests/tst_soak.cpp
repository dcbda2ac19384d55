// Soak: large volumes through the real window and a real pseudo-terminal, counted and ordered.
// LIAISON_SOAK_SCALE sets the size: 1 is the full run (1,000,000 bytes each way, 100,000 answers,
// 1,000 open/close cycles); the test suite runs it at 0.1.
#include "ptypair.h"
#include "rig/consolefixture.h"
#include "rig/frames.h"

#include <QDir>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <memory>
#include <thread>

namespace {

double scale()
{
    bool ok = false;
    const double s = qEnvironmentVariable("LIAISON_SOAK_SCALE").toDouble(&ok);
    return ok && s > 0 ? s : 0.1;
}

int scaled(int full)
{
    return std::max(1, static_cast<int>(full * scale()));
}

qsizetype openDescriptors()
{
    return QDir(QStringLiteral("/proc/self/fd"))
        .entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot)
        .size();
}

QString answerText(const QByteArray &bytes, qsizetype at)
{
    return QStringLiteral("%1 %2 %3")
        .arg(quint8(bytes.at(at)))
        .arg(quint8(bytes.at(at + 1)))
        .arg(quint8(bytes.at(at + 2)));
}

} // namespace

class TestSoak : public ConsoleFixture {
    Q_OBJECT
private slots:
    void envoyerSendsEveryByteInOrder();
    void callButtonsSendEveryFrameInOrder();
    void everyAnswerReachesTheSeamInOrder();
    void randomBytesInAnySplitShowOnlyTriples();
    void hangUpInTheMiddleOfASend();
    void descriptorsDoNotGrowAcrossOpenClose();

private:
    void beforeEach() override
    {
        m_pty = std::make_unique<PtyPair>();
        QVERIFY(m_pty->isValid());
    }
    void afterEach() override { m_pty.reset(); }

    std::unique_ptr<PtyPair> m_pty;
};

void TestSoak::envoyerSendsEveryByteInOrder()
{
    const int count = scaled(1000000);
    QString list;
    QByteArray expected;
    list.reserve(count * 4);
    for (int i = 0; i < count; ++i) {
        const int v = (i * 7 + i / 256) % 256;
        if (i)
            list += u' ';
        list += QString::number(v);
        expected.append(char(v));
    }
    typePortAndConnect(m_pty->portText());
    sendList(list);
    const QByteArray got = m_pty->readWhileConsoleRuns(expected.size());
    qInfo("Envoyer: %lld bytes sent, %lld read at the peer", qlonglong(expected.size()),
          qlonglong(got.size()));
    QCOMPARE(got.size(), expected.size());
    QVERIFY(got == expected);
    QVERIFY(m_sink->failures.isEmpty());
}

void TestSoak::callButtonsSendEveryFrameInOrder()
{
    typePortAndConnect(m_pty->portText());
    QList<QPushButton *> calls;
    for (const ButtonFrame &f : buttonFrames)
        calls << findButton(m_window, f.button, f.index);
    QVERIFY(!calls.contains(nullptr));

    const qsizetype target = scaled(1000000);
    QByteArray expected;
    QRandomGenerator random(42);
    while (expected.size() < target) {
        const qsizetype i = random.bounded(calls.size());
        QPushButton *b = calls.at(i);
        expected += buttonFrames[i].bytes();
        b->click();
        if (expected.size() % 4096 < 6)
            QCoreApplication::processEvents(); // let the event loop run now and then, as between real clicks
    }
    const QByteArray got = m_pty->readWhileConsoleRuns(expected.size());
    qInfo("call buttons: %lld bytes sent, %lld read at the peer", qlonglong(expected.size()),
          qlonglong(got.size()));
    QCOMPARE(got.size(), expected.size());
    QVERIFY(got == expected);
    QVERIFY(m_sink->failures.isEmpty());
}

void TestSoak::everyAnswerReachesTheSeamInOrder()
{
    const int count = scaled(100000);
    QByteArray stream;
    for (int i = 0; i < count; ++i) {
        stream.append(char(i >> 16));
        stream.append(char(i >> 8));
        stream.append(char(i));
    }
    typePortAndConnect(m_pty->portText());
    // The device answers in bursts of 1 to 64 answers, with short pauses.
    std::thread device([&] {
        QRandomGenerator random(7);
        for (qsizetype at = 0; at < stream.size();) {
            const qsizetype burst = std::min<qsizetype>(3 * random.bounded(1, 65), stream.size() - at);
            m_pty->sendAll(stream.mid(at, burst), 60000);
            at += burst;
            if (random.bounded(8) == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    QElapsedTimer clock;
    clock.start();
    while (m_sink->answers.size() < count && clock.elapsed() < 120000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    device.join();
    qInfo("answers: %d sent, %lld shown", count, qlonglong(m_sink->answers.size()));
    QCOMPARE(m_sink->answers.size(), qsizetype(count));
    for (int i = 0; i < count; ++i)
        QCOMPARE(m_sink->answers.at(i), answerText(stream, 3 * qsizetype(i)));
}

void TestSoak::randomBytesInAnySplitShowOnlyTriples()
{
    QRandomGenerator random(1234);
    QByteArray stream(scaled(300000), Qt::Uninitialized);
    for (char &c : stream)
        c = char(random.bounded(256));
    typePortAndConnect(m_pty->portText());
    for (qsizetype at = 0; at < stream.size();) {
        const qsizetype piece = std::min<qsizetype>(random.bounded(1, 50), stream.size() - at);
        QVERIFY(m_pty->sendAll(stream.mid(at, piece), 60000));
        at += piece;
        if (random.bounded(4) == 0)
            QCoreApplication::processEvents();
    }
    const qsizetype triples = stream.size() / 3;
    QElapsedTimer clock;
    clock.start();
    while (m_sink->answers.size() < triples && clock.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QCOMPARE(m_sink->answers.size(), triples);
    static const QRegularExpression triple(
        QStringLiteral("^(25[0-5]|2[0-4][0-9]|1?[0-9]?[0-9])( (25[0-5]|2[0-4][0-9]|1?[0-9]?[0-9])){2}$"));
    for (qsizetype i = 0; i < triples; ++i) {
        QVERIFY2(triple.match(m_sink->answers.at(i)).hasMatch(), qPrintable(m_sink->answers.at(i)));
        QCOMPARE(m_sink->answers.at(i), answerText(stream, 3 * i));
    }
    QCOMPARE(m_window->link().bytesWaiting(), stream.size() % 3);
    QVERIFY(m_sink->failures.isEmpty());
}

void TestSoak::hangUpInTheMiddleOfASend()
{
    // Well beyond what the pseudo-terminal buffers, at every scale: bytes must still wait in the link.
    const int count = std::max(300000, scaled(1000000));
    QString list = QStringLiteral("0");
    for (int i = 1; i < count; ++i)
        list += QStringLiteral(" 255");
    typePortAndConnect(m_pty->portText());
    m_pty->closeSlave();
    sendList(list);
    // The device reads a part, then goes away.
    QByteArray part;
    while (part.size() < 20000) {
        QCoreApplication::processEvents();
        char buffer[1000];
        const ssize_t n = ::read(m_pty->master(), buffer, sizeof buffer);
        if (n > 0)
            part.append(buffer, n);
    }
    QVERIFY(m_window->link().outputQueued() > 0);
    m_pty->closeMaster();
    QTRY_COMPARE(m_sink->failures.size(), 1);
    QVERIFY2(m_sink->failures.first().contains(QStringLiteral("perdue")),
             qPrintable(m_sink->failures.first()));
    QCOMPARE(m_sink->endStatus, 1);

    const double before = processCpuSeconds();
    QTest::qWait(1000);
    const double used = processCpuSeconds() - before;
    qInfo("hang-up: %lld bytes read before it; %s; CPU %.3f s in the second after", qlonglong(part.size()),
          qPrintable(m_sink->failures.first()), used);
    QVERIFY2(used < 0.2, qPrintable(QString::number(used)));
    QCOMPARE(m_sink->failures.size(), 1);
}

void TestSoak::descriptorsDoNotGrowAcrossOpenClose()
{
    const int cycles = scaled(1000);
    const qsizetype before = openDescriptors();
    for (int i = 0; i < cycles; ++i) {
        SerialLink link;
        link.setPortNumber(static_cast<PortNumber>(m_pty->portNumber()));
        link.open();
        link.write(PortWrite(1, char(i)));
        link.close();
    }
    QCOMPARE(m_pty->readAtLeast(cycles).size(), qsizetype(cycles));
    const qsizetype after = openDescriptors();
    qInfo("descriptors: %lld before, %lld after %d open/close cycles", qlonglong(before), qlonglong(after),
          cycles);
    QCOMPARE(after, before);
}

QTEST_MAIN(TestSoak)
#include "tst_soak.moc"
