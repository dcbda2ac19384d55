// SerialLink against a real pseudo-terminal: write queue, input queue, notifications. Then the link on a
// scripted device, alone and under the console's window, for what a real device cannot play.
#include "driverstandin.h"
#include "failure.h"
#include "portlist.h"
#include "ptypair.h"
#include "rig/consolefixture.h"
#include "seriallink.h"

#include <QElapsedTimer>
#include <QFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <dirent.h>
#include <functional>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace {
// A real tty's last close waits up to its closing_wait (30 s) while a driver says output is queued,
// and some USB drivers always say so. A pseudo-terminal never waits: this stands in for such a driver
// by making the close of one device slow, for the test that asks for it.
std::atomic<dev_t> slowDevice{0};
std::atomic<int> slowClosesGoingOn{0};
// A driver that still holds bytes for the line, one that counts what its line spoiled, and a line whose
// set-up takes a second are in driverstandin.h.
// And a stalled adapter: its tcdrain never ends by itself (only a signal ends it, as in the kernel).
std::atomic<dev_t> stalledDevice{0};

// Whether a descriptor other than `fd` of this process is open on the device `rdev`.
bool otherDescriptorOn(dev_t rdev, int fd)
{
    DIR *fds = ::opendir("/proc/self/fd");
    bool found = false;
    while (dirent *entry = fds ? ::readdir(fds) : nullptr) {
        const int other = std::atoi(entry->d_name);
        struct stat st {};
        // By its path, not its number: the descriptor may belong to an open still running on a thread
        // of its own, which this look from outside does not wait for.
        const QByteArray path = QByteArray("/proc/self/fd/") + entry->d_name;
        if (entry->d_name[0] != '.' && other != fd && other != ::dirfd(fds) &&
            ::stat(path.constData(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == rdev)
            found = true;
    }
    if (fds)
        ::closedir(fds);
    return found;
}
} // namespace

extern "C" int tcdrain(int fd)
{
    static const auto next = nextFunction<int (*)(int)>("tcdrain");
    if (!isDevice(fd, stalledDevice))
        return next(fd);
    for (int waited = 0; waited < 10000; waited += 10) {
        if (::usleep(10 * 1000) != 0 && errno == EINTR)
            return -1;
    }
    return 0;
}

extern "C" int close(int fd)
{
    static const auto next = nextFunction<int (*)(int)>("close");
    const dev_t slow = slowDevice.load();
    if (isDevice(fd, slow) && !otherDescriptorOn(slow, fd)) { // the last close: the one the kernel makes wait
        ++slowClosesGoingOn;
        ::usleep(2000 * 1000);
        const int result = next(fd);
        --slowClosesGoingOn;
        return result;
    }
    return next(fd);
}

class TestSerialLink : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void writesKeepOrderWhenTheKernelIsFull();
    void closeLetsQueuedBytesGoOut();
    void closeDoesNotWaitForTheSystemsClose();
    void bytesTheDriverHeldAtAHangUpAreCounted_data();
    void bytesTheDriverHeldAtAHangUpAreCounted();
    void openingKeepsTheEventLoopGoing_data();
    void openingKeepsTheEventLoopGoing();
    void portNumberIsFixedWhileOpen();
    void readReturnsOldestFirstUpToTheReadLength();
    void notifiesAtThresholdAndAgainAfterARead();
    void closeThatRunsOutOfTimeLetsThePortGo();
    void countedErrorsAreToldApart_data();
    void countedErrorsAreToldApart();
    void aStreamNobodyReadsTakesBoundedMemory();
    void lifeOnAScriptedDevice_data();
    void lifeOnAScriptedDevice();
    void destroyedWhileItsCloseLosesTheLine();
    void whatTheLineDidAtTheConsoleIsNeverDropped_data();
    void whatTheLineDidAtTheConsoleIsNeverDropped();

private:
    dev_t ptyDevice() const { return deviceAt(QFile::encodeName(m_pty->path()).constData()); }

    PtyPair *m_pty = nullptr;
    SerialLink *m_link = nullptr;
};

void TestSerialLink::init()
{
    m_pty = new PtyPair;
    QVERIFY(m_pty->isValid());
    m_link = new SerialLink;
    m_link->setPortNumber(static_cast<PortNumber>(m_pty->portNumber()));
    m_link->open();
    QVERIFY(m_link->isOpen());
}

void TestSerialLink::cleanup()
{
    delete m_link;
    delete m_pty;
}

namespace {
QByteArray pattern(qsizetype size)
{
    QByteArray bytes(size, '\0');
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251) & 0xff);
    return bytes;
}
} // namespace

void TestSerialLink::writesKeepOrderWhenTheKernelIsFull()
{
    // Far more than a pseudo-terminal buffers: most of it waits in the link's queue.
    const QByteArray all = pattern(300000);
    for (qsizetype at = 0; at < all.size(); at += 2)
        m_link->write(all.mid(at, 2));
    QVERIFY2(m_link->outputQueued() > 0, "the kernel took everything: the queue was not exercised");
    const QByteArray got = m_pty->readAtLeast(all.size(), 10000);
    QCOMPARE(got.size(), all.size());
    QVERIFY(got == all);
    QCOMPARE(m_link->outputQueued(), qsizetype(0));
}

void TestSerialLink::closeLetsQueuedBytesGoOut()
{
    m_pty->closeSlave();
    // Queue more than the pseudo-terminal holds, then read at the peer while the link closes.
    const QByteArray all = pattern(40000);
    m_link->write(all);
    QVERIFY(m_link->outputQueued() > 0);
    QByteArray got;
    std::atomic<bool> closed = false;
    std::thread reader([&] {
        while (!closed || got.size() < all.size()) {
            const QByteArray more = m_pty->readAvailable(50);
            if (more.isEmpty() && closed)
                break;
            got += more;
        }
    });
    m_link->close();
    closed = true;
    reader.join();
    QCOMPARE(got.size(), all.size());
    QVERIFY(got == all);
}

void TestSerialLink::closeDoesNotWaitForTheSystemsClose()
{
    m_pty->closeSlave();
    m_link->write(QByteArray::fromHex("0101010400"));
    QCOMPARE(m_pty->readAtLeast(5).toHex(' '), QByteArray("01 01 01 04 00"));
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(m_pty->path()).constData(), &st), 0);
    slowDevice = st.st_rdev;
    m_link->close();
    // The link let the port go while the system's close was still waiting: the program is free to end.
    const int stillClosing = slowClosesGoingOn.load();
    slowDevice = 0;
    QTRY_COMPARE_WITH_TIMEOUT(slowClosesGoingOn.load(), 0, 5000);
    QCOMPARE(stillClosing, 1);
}

void TestSerialLink::bytesTheDriverHeldAtAHangUpAreCounted_data()
{
    QTest::addColumn<int>("written");
    QTest::addColumn<int>("reported"); // what the driver says it holds (TIOCOUTQ)
    QTest::addColumn<int>("least");    // the count of bytes that never went out lies in (least, most]
    QTest::addColumn<int>("most");
    // Less what 9600 baud can have sent since the write.
    QTest::newRow("a UART's driver holds what it was given") << 4000 << 4000 << 3000 << 4000;
    // cdc_acm counts each buffer in use as full: never more than was written is said lost.
    QTest::newRow("a CDC ACM driver counts whole buffers") << 6 << 10240 << 0 << 6;
}

void TestSerialLink::bytesTheDriverHeldAtAHangUpAreCounted()
{
    // The driver still held bytes for the line when the device went; the link's own queue was empty.
    // The kernel throws them away at the hang-up: the loss must still count them.
    QFETCH(int, written);
    QFETCH(int, reported);
    QFETCH(int, least);
    QFETCH(int, most);
    m_pty->closeSlave();
    heldForTheLine = reported;
    holdingDevice = ptyDevice();
    m_link->write(QByteArray(written, '\x01'));
    QCOMPARE(m_pty->readAtLeast(written).size(), written);
    QTRY_COMPARE(m_link->outputQueued(), qsizetype(0));
    m_pty->closeMaster();
    QTRY_VERIFY(m_link->isLost());
    holdingDevice = 0;
    QVERIFY2(m_link->unsentAtLoss() > least && m_link->unsentAtLoss() <= most,
             qPrintable(QString::number(m_link->unsentAtLoss())));
    QVERIFY2(
        m_link->lostLineMessage().contains(QStringLiteral("au moins %1 octet").arg(m_link->unsentAtLoss())),
        qPrintable(m_link->lostLineMessage()));
}

void TestSerialLink::openingKeepsTheEventLoopGoing_data()
{
    QTest::addColumn<QString>("close"); // when the window closes
    QTest::newRow("the open ends") << "never";
    QTest::newRow("a close abandons it") << "meanwhile";
    // The close wins: the user closed the window, whatever became of the open.
    QTest::newRow("the open fails just as a close comes") << "as it fails";
}

void TestSerialLink::openingKeepsTheEventLoopGoing()
{
    // The line's set-up takes a second: the event loop keeps going meanwhile, and a close (the window
    // closing) abandons the open, whose port is then closed again without anyone waiting for it.
    QFETCH(QString, close);
    m_link->close();
    m_pty->closeSlave();
    const dev_t device = ptyDevice();
    slowSetUpDevice = device;
    if (close == u"as it fails")
        slowSetUpFailing = [this] {
            // Comes first once the failed open has ended beside: a close heard in the same turn of the loop.
            QMetaObject::invokeMethod(
                m_link,
                [this] {
                    QThread::msleep(50);
                    m_link->close();
                },
                Qt::QueuedConnection);
        };
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [&] {
        if (++ticks == 5 && close == u"meanwhile")
            m_link->close();
    });
    ticker.start(20);
    QElapsedTimer clock;
    clock.start();
    try {
        m_link->open();
    } catch (const Failure &failure) {
        QFAIL(qPrintable(failure.message()));
    }
    const qint64 openMs = clock.elapsed();
    ticker.stop();
    slowSetUpDevice = 0;
    slowSetUpFailing = nullptr;
    QCOMPARE(m_link->isOpen(), close == u"never");
    QVERIFY(!m_link->isOpening());
    if (close != u"never") {
        QVERIFY2(close != u"meanwhile" || openMs < 600, qPrintable(QString::number(openMs)));
        QTRY_VERIFY_WITH_TIMEOUT(!otherDescriptorOn(device, -1), 3000);
        return;
    }
    QVERIFY2(ticks >= 25, qPrintable(QString::number(ticks)));
    m_link->write(QByteArray::fromHex("0101010400"));
    QCOMPARE(m_pty->readAtLeast(5).toHex(' '), QByteArray("01 01 01 04 00"));
}

void TestSerialLink::portNumberIsFixedWhileOpen()
{
    const PortNumber before = m_link->portNumber();
    QVERIFY_THROWS_EXCEPTION(Failure, m_link->setPortNumber(1));
    QCOMPARE(m_link->portNumber(), before);
}

void TestSerialLink::readReturnsOldestFirstUpToTheReadLength()
{
    QVERIFY(m_pty->send(QByteArray::fromHex("0001ff0203")));
    QTRY_COMPARE(m_link->bytesWaiting(), qsizetype(5));
    m_link->setReadLength(3);
    QCOMPARE(m_link->read().toHex(' '), QByteArray("00 01 ff"));
    QCOMPARE(m_link->bytesWaiting(), qsizetype(2));
    QCOMPARE(m_link->read().toHex(' '), QByteArray("02 03"));
    QCOMPARE(m_link->read(), QByteArray());
}

void TestSerialLink::notifiesAtThresholdAndAgainAfterARead()
{
    QList<int> events;
    connect(m_link, &SerialLink::notified, this, [&] { events << m_link->commEvent(); });

    QVERIFY(m_pty->send(QByteArray::fromHex("0102")));
    QTest::qWait(100);
    QCOMPARE(events, QList<int>{}); // two bytes: below the threshold

    QVERIFY(m_pty->send(QByteArray::fromHex("03040506")));
    QTRY_COMPARE(events, QList<int>{SerialLink::Received});
    m_link->setReadLength(3);
    QCOMPARE(m_link->read().toHex(), QByteArray("010203"));
    // Three still wait: raised again, from the event loop rather than inside read().
    QCOMPARE(events.size(), 1);
    QTRY_COMPARE(events, (QList<int>{SerialLink::Received, SerialLink::Received}));
    QCOMPARE(m_link->read().toHex(), QByteArray("040506"));
    QTest::qWait(50);
    QCOMPARE(events.size(), 2);
}

void TestSerialLink::closeThatRunsOutOfTimeLetsThePortGo()
{
    // The adapter stalls: its drain would wait for ever. When the close's time is up, the port is given
    // back: no descriptor of the console keeps it held, with DTR up, meanwhile.
    m_pty->closeSlave();
    m_link->write(QByteArray::fromHex("0101010400"));
    QCOMPARE(m_pty->readAtLeast(5).size(), 5);
    const dev_t device = ptyDevice();
    stalledDevice = device;
    const auto unstall = qScopeGuard([] { stalledDevice = 0; });
    QElapsedTimer clock;
    clock.start();
    m_link->close();
    QVERIFY2(clock.elapsed() < 1500, qPrintable(QString::number(clock.elapsed())));
    QTRY_VERIFY_WITH_TIMEOUT(!otherDescriptorOn(device, -1), 1000);
}

void TestSerialLink::countedErrorsAreToldApart_data()
{
    QTest::addColumn<int>("framingAtOpen"); // counted before the console opened the port
    QTest::addColumn<int>("framing");       // counted while it is open, before the bytes came
    QTest::addColumn<int>("overrun");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QStringList>("told"); // what the link gives, in order
    QTest::newRow("0xFF bytes are data") << 0 << 0 << 0 << QByteArray::fromHex("ffff00ff0102")
                                         << QStringList{"answer ff ff 00", "answer ff 01 02"};
    QTest::newRow("errors from before the open are not the line's now")
        << 3 << 0 << 0 << QByteArray::fromHex("010203") << QStringList{"answer 01 02 03"};
    // Counted with no byte flagged: they came before the answer read with them, which stays whole.
    QTest::newRow("a framing error, then an answer")
        << 3 << 1 << 0 << QByteArray::fromHex("010203")
        << QStringList{"notice frame 1 overrun 0 of 0 bytes: ", "answer 01 02 03"};
    QTest::newRow("bytes lost by the UART, then a byte")
        << 0 << 0 << 2 << QByteArray::fromHex("01")
        << QStringList{"notice frame 0 overrun 2 of 0 bytes: ", "notice frame 0 overrun 0 of 1 bytes: 01"};
}

void TestSerialLink::countedErrorsAreToldApart()
{
    QFETCH(int, framingAtOpen);
    QFETCH(int, framing);
    QFETCH(int, overrun);
    QFETCH(QByteArray, sent);
    QFETCH(QStringList, told);
    m_link->close();
    countingDevice = ptyDevice();
    framingErrors = framingAtOpen;
    overruns = 0;
    const auto uncount = qScopeGuard([] { countingDevice = 0; });
    m_link->open();
    QStringList got;
    connect(m_link, &SerialLink::notified, this, [&] {
        if (m_link->commEvent() == SerialLink::Received) {
            m_link->setReadLength(3);
            got << "answer " + m_link->read().toHex(' ');
        } else if (m_link->commEvent() == SerialLink::NoWholeAnswer) {
            const LineNotice n = m_link->takeNotice();
            got << QStringLiteral("notice frame %1 overrun %2 of %3 bytes: %4")
                       .arg(n.errors.frame)
                       .arg(n.errors.overrun)
                       .arg(n.received)
                       .arg(QString::fromLatin1(n.whole.toHex(' ')));
        }
    });
    framingErrors += framing;
    overruns += overrun;
    QVERIFY(m_pty->send(sent));
    QTRY_COMPARE_WITH_TIMEOUT(got.size(), told.size(), 3000);
    QTest::qWait(SerialLink::SilenceMs + 200);
    QCOMPARE(got, told);
    // A line error is told, never a failure: the link goes on.
    m_link->write("\x01");
    QCOMPARE(m_pty->readAtLeast(1), QByteArray("\x01"));
}

void TestSerialLink::aStreamNobodyReadsTakesBoundedMemory()
{
    // A device that streams while nobody reads (an answer box left open): the answers wait up to a bound,
    // the rest of the stretch is lost and told once, as a full buffer.
    const QByteArray stream(SerialLink::MaxWaiting + 30000, '\x07');
    bool sent = false;
    std::atomic<bool> done{false};
    std::thread device([&] {
        sent = m_pty->sendAll(stream, 20000);
        done = true;
    });
    QVERIFY(QTest::qWaitFor([&] { return done.load(); }, 25000));
    device.join();
    QVERIFY(sent);
    QTest::qWait(SerialLink::SilenceMs + 300);
    const qsizetype waiting = m_link->bytesWaiting();
    QVERIFY2(waiting <= SerialLink::MaxWaiting && waiting % 3 == 0, qPrintable(QString::number(waiting)));
    m_link->setReadLength(0);
    QCOMPARE(m_link->read().size(), waiting);
    const LineNotice notice = m_link->takeNotice();
    QCOMPARE(waiting + notice.received, stream.size());
    QVERIFY(notice.errors.bufferOverrun > 0);
}

namespace {
// What a scripted device was asked to do, and how it answers: for the cases a real device cannot play.
struct Script {
    OpenFailure::Cause openRefused = OpenFailure::Other; // Other: the open succeeds
    bool startRefused = false;
    bool sendFails = false; // every send from then on fails: the device has gone
    bool full = false;      // the device takes nothing more, and hangs up while the close waits
    qsizetype heldAtLoss = 0;
    QByteArray sent;
    int releases = 0;
    bool releasedDrained = false;
};

class ScriptedDevice final : public SerialDevice {
public:
    explicit ScriptedDevice(Script &script) : m_script(script) {}
    void open() override
    {
        if (m_script.openRefused != OpenFailure::Other)
            throw OpenFailure(m_script.openRefused, QStringLiteral("refusé par le script"));
    }
    void start() override
    {
        if (m_script.startRefused)
            throw OpenFailure(OpenFailure::Other, QStringLiteral("surveillance refusée par le script"));
    }
    qsizetype send(const char *bytes, qsizetype count, DeviceError *error) override
    {
        if (m_script.sendFails) {
            *error = {DeviceText::Gone.toString(), true};
            return -1;
        }
        if (m_script.full)
            return 0;
        m_script.sent.append(bytes, count);
        return count;
    }
    void notifyWhenWritable() override {}
    qsizetype pendingOutput() override { return m_script.heldAtLoss; }
    bool waitWritable(qint64) override { return !m_script.full; }
    bool waitSent(qint64) override { return true; }
    void checkLineErrors() override {}
    void stopWatching() override {}
    void release(bool drained) override
    {
        ++m_script.releases;
        m_script.releasedDrained = drained;
    }

private:
    Script &m_script;
};
} // namespace

void TestSerialLink::lifeOnAScriptedDevice_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("failure"); // a piece of the failure that the script leads to, if any
    QTest::addColumn<int>("releases");    // how often the device was given back (it may be asked again)
    QTest::newRow("written, then closed: everything goes out") << "clean"
                                                               << "" << 1;
    QTest::newRow("the open refused as busy names the ports present") << "busy"
                                                                      << "présent" << 0;
    QTest::newRow("watching refused: the link stays closed") << "start refused"
                                                             << "surveillance" << 0;
    QTest::newRow("lost: given back at once, the next write names it")
        << "lost"
        << "au moins 7 octet(s) déjà écrit(s)" << 2;
    // What will never go out is said, whichever call finds the loss first.
    QTest::newRow("lost while the close drains: closed, and the bytes named")
        << "lost closing"
        << "au moins 9 octet(s) déjà écrit(s)" << 1;
    QTest::newRow("hung up while the close waits to write: the same")
        << "hung up closing"
        << "au moins 9 octet(s) déjà écrit(s)" << 1;
}

void TestSerialLink::lifeOnAScriptedDevice()
{
    QFETCH(QString, script);
    QFETCH(QString, failure);
    QFETCH(int, releases);
    Script play;
    play.openRefused = script == u"busy" ? OpenFailure::Busy : OpenFailure::Other;
    play.startRefused = script == u"start refused";
    play.heldAtLoss = 7;
    DeviceEvents *events = nullptr;
    SerialLink link(nullptr, [&](const QString &, const QString &, QObject *, DeviceEvents *e) {
        events = e;
        return std::make_unique<ScriptedDevice>(play);
    });
    QString failed;
    const auto attempt = [&](auto step) {
        try {
            step();
        } catch (const Failure &f) {
            failed = f.message();
        }
    };
    attempt([&] { link.open(); });
    if (script == u"busy" || script == u"start refused") {
        QVERIFY2(failed.contains(failure), qPrintable(failed));
        if (script == u"busy")
            QVERIFY2(failed.endsWith(presentPortsSentence(listSerialPorts())), qPrintable(failed));
        QCOMPARE(link.state(), SerialLink::State::Closed);
        QCOMPARE(play.releases, releases);
        return;
    }
    QCOMPARE(link.state(), SerialLink::State::Open);
    link.write(QByteArray::fromHex("010101"));
    QTRY_COMPARE(play.sent, QByteArray::fromHex("010101"));
    if (script == u"lost") {
        QSignalSpy notified(&link, &SerialLink::notified);
        events->lost({DeviceText::Gone.toString(), true});
        QCOMPARE(link.state(), SerialLink::State::Lost);
        QVERIFY(link.isOpen()); // for the console, the port stays open until it closes
        QTRY_COMPARE(notified.size(), 1);
        QCOMPARE(link.commEvent(), int(SerialLink::LineLost));
        QCOMPARE(play.releases, 1); // given back at once
        attempt([&] { link.write(QByteArray::fromHex("04")); });
        QVERIFY2(failed.contains(failure) && failed.contains(QStringLiteral("débranché")),
                 qPrintable(failed));
    }
    play.sendFails = script == u"lost closing";
    play.full = script == u"hung up closing";
    if (script != u"lost")
        link.write(QByteArray::fromHex("0400"));
    failed.clear();
    QSignalSpy notified(&link, &SerialLink::notified);
    attempt([&] { link.close(); });
    QCOMPARE(failed.isEmpty(), script == u"clean" || script == u"lost");
    QVERIFY2(failed.isEmpty() || failed.contains(failure), qPrintable(failed));
    QCOMPARE(link.state(), SerialLink::State::Closed);
    QTest::qWait(20);
    QCOMPARE(notified.size(), 0); // nothing more once closed
    QCOMPARE(play.releases, releases);
    QCOMPARE(play.releasedDrained, script == u"clean");
    QCOMPARE(play.sent.toHex(' '), QByteArray(script == u"clean" ? "01 01 01 04 00" : "01 01 01"));
}

void TestSerialLink::destroyedWhileItsCloseLosesTheLine()
{
    // The window goes with bytes still queued and the device hangs up while the close lets them go: the
    // destructor closes, and lets nothing out.
    Script play;
    {
        SerialLink link(nullptr, [&](const QString &, const QString &, QObject *, DeviceEvents *) {
            return std::make_unique<ScriptedDevice>(play);
        });
        link.open();
        play.full = true;
        link.write(QByteArray::fromHex("0101010400"));
    }
    QCOMPARE(play.releases, 1);
    QCOMPARE(play.sent, QByteArray());
}

void TestSerialLink::whatTheLineDidAtTheConsoleIsNeverDropped_data()
{
    // What the device does while a box is open, then the failures and the boxes the console shows, in
    // order (a piece of each notice), and how the program ends.
    QTest::addColumn<QString>("box");    // "answer", "failure" (Envoyer fails on "x"), or "none"
    QTest::addColumn<QString>("device"); // what happens while that box is open
    QTest::addColumn<QStringList>("failures");
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<int>("status");
    const QString lost = QStringLiteral("au moins 8 octet(s) déjà écrit(s) n'ont pas pu être envoyés");
    const QString alone = QStringLiteral("notice: (1 erreur de trame), aucun octet reçu");
    // The close after the failure lets the queued bytes go, and the device hangs up meanwhile.
    QTest::newRow("the failure's drain loses the line")
        << "failure"
        << "hangs up at the close" << QStringList{"9 de la liste", lost} << QStringList() << 1;
    QTest::newRow("the line is lost while the failure is shown")
        << "failure"
        << "hangs up" << QStringList{"9 de la liste", lost} << QStringList() << 1;
    // A line error and a stray stretch while the failure is shown are told before the program ends.
    QTest::newRow("a line error and two bytes while the failure is shown")
        << "failure"
        << "spoils a byte, 2 wait" << QStringList{"9 de la liste"}
        << QStringList{alone, "notice: Réponse incomplète : 4 5"} << 1;
    // The answer box holds every notification back; what the line did is told once it closes. The
    // error came in the answer's stretch: it spoils what came after the answer in that stretch.
    QTest::newRow("an answer box is open, the spoiled byte dropped")
        << "answer"
        << "spoils a byte, 0 wait" << QStringList() << QStringList{"answer: 1 2 3", alone} << -1;
    QTest::newRow("an answer box is open, 2 bytes wait")
        << "answer"
        << "spoils a byte, 2 wait" << QStringList()
        << QStringList{"answer: 1 2 3", "notice: : 2 octets reçus, écartés ; intacts : 4 5."} << -1;
    QTest::newRow("an answer box is open, 3 bytes wait")
        << "answer"
        << "spoils a byte, 3 wait" << QStringList()
        << QStringList{"answer: 1 2 3", "notice: : 3 octets reçus, écartés ; intacts : 4 5 6."} << -1;
    // The window closes before the event loop has told it: closed as the user asked, like the answers
    // still waiting.
    QTest::newRow("spoiled just before the window closes")
        << "none"
        << "spoils a byte, 2 wait" << QStringList() << QStringList() << -1;
}

void TestSerialLink::whatTheLineDidAtTheConsoleIsNeverDropped()
{
    QFETCH(QString, box);
    QFETCH(QString, device);
    QFETCH(QStringList, failures);
    QFETCH(QStringList, boxes);
    QFETCH(int, status);
    Script play;
    DeviceEvents *events = nullptr;
    RecordingSink sink;
    ConsoleWindow window(&sink, nullptr, [&](const QString &, const QString &, QObject *, DeviceEvents *e) {
        events = e;
        return std::make_unique<ScriptedDevice>(play);
    });
    window.show();
    typePortAndConnect(&window, QStringLiteral("1"));
    QVERIFY2(sink.failures.isEmpty(), qPrintable(sink.failures.join(u'\n')));
    QVERIFY(window.link().isOpen() && events);

    bool played = false;
    const auto playDevice = [&](const QString &) {
        if (std::exchange(played, true))
            return;
        if (device == u"hangs up")
            events->lost({DeviceText::Gone.toString(), true});
        // From here the device takes what it is given, unless it is to hang up at the close.
        play.full = device == u"hangs up at the close";
        if (device.startsWith(u"spoils a byte")) {
            LineErrors errors;
            errors.frame = 1;
            events->lineErrors(errors, nullptr, 0);
            const qsizetype waiting = device.section(u' ', 3, 3).toInt();
            events->received("\x04\x05\x06", waiting);
        }
        // The box's own event loop runs a while, as a real box's does.
        if (box != u"none")
            QTest::qWait(20);
    };
    if (box == u"failure") {
        // Eight bytes written that the device does not take yet.
        play.full = true;
        sink.onFailure = playDevice;
        findBox(&window, QStringLiteral("ListeCar"))->setText(QStringLiteral("1 2 3 4 5 6 7 8 x"));
        click(&window, QStringLiteral("Envoyer"));
    } else if (box == u"answer") {
        sink.onAnswer = playDevice;
        events->received("\x01\x02\x03", 3);
        QTRY_COMPARE(sink.answers, QStringList{"1 2 3"});
    } else {
        playDevice(QString());
        window.close();
    }
    if (status == 1)
        QTRY_COMPARE(sink.endStatus, 1);
    QTest::qWait(SerialLink::SilenceMs + 300);
    QCOMPARE(sink.endStatus, status);
    QCOMPARE(sink.failures.size(), failures.size());
    for (qsizetype i = 0; i < failures.size(); ++i)
        QVERIFY2(sink.failures.at(i).contains(failures.at(i)), qPrintable(sink.failures.join(u"\n")));
    expectBoxes(sink.boxes, boxes);
}

QTEST_MAIN(TestSerialLink)
#include "tst_seriallink.moc"
