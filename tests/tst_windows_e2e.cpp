// The wine rig: the real window on a COM port whose far end is played by the test rig (tests/wine),
// which sees every byte the console puts on the line and sends the device's answers. The shared
// scenarios, then what only Windows shows: its port names and error codes, and what real drivers do.
#include "rig/scenarios.h"
#include "serialdevice.h"
#include "serialdevice_win.h"
#include "wine/driverquirks.h"
#include "wine/winepeer.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>

#include <thread>

namespace {

QByteArray frame(const char *hex)
{
    return QByteArray::fromHex(hex);
}

} // namespace

class TestWindowsEndToEnd : public LineScenarios {
    Q_OBJECT
private slots:
    void portNumbersNameComPorts();
    void errorCodesSayWhatFailed_data();
    void errorCodesSayWhatFailed();
    void realDriversStillHearTheDevice_data();
    void realDriversStillHearTheDevice();
    void answersWhileABoxIsOpenAreAllTaken();
    void openingKeepsTheWindowAlive();
    void closeRequestDuringASlowOpenIsHeard();
    void ioErrorsNameALostLine_data();
    void ioErrorsNameALostLine();
    void lineErrorsSpoilOnlyTheirBytes_data();
    void lineErrorsSpoilOnlyTheirBytes();
    void abortedReadsOnALivePortGoOn_data();
    void abortedReadsOnALivePortGoOn();
    void errorsBeforeTheFirstLookGoWithTheirBytes_data();
    void errorsBeforeTheFirstLookGoWithTheirBytes();
    void bytesInFlightAtAnUnplugAreCounted();
    void aWaitThatEndsLateFindsItsBlocks();
    void idleLinkDoesNotSpin();

private:
    LinePeer &peer() override { return m_peer; }
    // No dosdevices link names COM250: the system's own answer, put in the console's words.
    QList<BadPort> badPorts() const override
    {
        return {{"COM250 does not exist", "250", "COM250 : le port n'existe pas", true},
                {"0 names no device", "0", "Le port numéro 0 n'existe pas", true}};
    }
    void setUpRig() override
    {
        QVERIFY2(WinePeer::available(),
                 "run under the test rig: scripts/wine-test.sh with LIAISON_WINE_PEER_COM");
        m_watcher = std::thread([this] { quirks::watch(m_watching); });
    }
    void tearDownRig() override
    {
        m_watching = false;
        if (m_watcher.joinable())
            m_watcher.join();
    }
    void beforeEach() override
    {
        quirks::install(quirks::Quirk::None);
        m_peer.take(1 << 20, 0); // whatever an earlier test left on the line does not count here
    }
    void afterEach() override { quirks::install(quirks::Quirk::None); }

    WinePeer m_peer;
    std::atomic<bool> m_watching{true};
    std::thread m_watcher;
};

void TestWindowsEndToEnd::portNumbersNameComPorts()
{
    m_window->link().setPortNumber(3);
    QCOMPARE(m_window->link().devicePath(), QStringLiteral("\\\\.\\COM3"));
    QCOMPARE(m_window->link().portName(), QStringLiteral("COM3"));
}

void TestWindowsEndToEnd::errorCodesSayWhatFailed_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    // Windows opens a COM port exclusively and answers "access denied" while another program holds it
    // (wine does not enforce it, so the code itself is the test).
    QTest::newRow("held by another program") << int(ERROR_ACCESS_DENIED) << "occupé par un autre programme";
    QTest::newRow("no such port") << int(ERROR_FILE_NOT_FOUND) << "n'existe pas";
    QTest::newRow("no such path") << int(ERROR_PATH_NOT_FOUND) << "n'existe pas";
    QTest::newRow("adapter removed") << int(ERROR_BAD_COMMAND) << "débranché";
    QTest::newRow("aborted by the driver") << int(ERROR_OPERATION_ABORTED) << "débranché";
    QTest::newRow("device removed") << int(ERROR_DEVICE_REMOVED) << "débranché";
    QTest::newRow("anything else names its code") << int(ERROR_NOT_ENOUGH_MEMORY) << "erreur Windows 8";
}

void TestWindowsEndToEnd::errorCodesSayWhatFailed()
{
    QFETCH(int, code);
    QFETCH(QString, text);
    QVERIFY2(openErrorText(code).contains(text), qPrintable(openErrorText(code)));
}

void TestWindowsEndToEnd::realDriversStillHearTheDevice_data()
{
    QTest::addColumn<int>("quirk");
    using quirks::Quirk;
    QTest::newRow("USB CDC: no EV_RXCHAR for bytes already queued") << int(Quirk::SignalsOnlyArrivals);
    QTest::newRow("first wait refused with error 87") << int(Quirk::FirstWaitRefused);
    QTest::newRow("every wait refused with error 87") << int(Quirk::EveryWaitRefused);
    QTest::newRow("every wait ends at once") << int(Quirk::WaitsEndAtOnce);
    QTest::newRow("Xon and Xoff reported as 0") << int(Quirk::XonXoffReportedZero);
    QTest::newRow("writes cut short to 3 bytes") << int(Quirk::WritesCutShort);
    QTest::newRow("reads end at once with nothing") << int(Quirk::ReadsEndEmpty);
    QTest::newRow("reads go pending and end at once with nothing") << int(Quirk::ReadsPendThenEmpty);
    QTest::newRow("a read stays pending though bytes are queued") << int(Quirk::ReadBlindToQueue);
}

void TestWindowsEndToEnd::realDriversStillHearTheDevice()
{
    QFETCH(int, quirk);
    quirks::install(quirks::Quirk(quirk));
    connectToPeer();
    // While the first answer's box is open, the next answer comes: it is shown once the box is closed,
    // with no other byte to wake the port.
    bool first = true;
    m_sink->onAnswer = [&](const QString &) {
        if (!first)
            return;
        first = false;
        m_peer.send(frame("020202"));
        QTest::qWait(300);
    };
    const double cpuBefore = processCpuSeconds();
    m_peer.send(frame("010101"));
    QTRY_COMPARE_WITH_TIMEOUT(m_sink->answers.size(), 2, 5000);
    QCOMPARE(m_sink->answers, (QStringList{QStringLiteral("1 1 1"), QStringLiteral("2 2 2")}));
    // Idle, whatever the driver does with its waits and reads, the loop does not spin: a driver whose
    // reads keep ending with nothing is asked every 50 ms at most, with a read only when bytes wait.
    const int reads = quirks::readsStarted, looks = quirks::statusCalls;
    QTest::qWait(1000);
    const double used = processCpuSeconds() - cpuBefore;
    const int idleReads = quirks::readsStarted - reads, idleLooks = quirks::statusCalls - looks;
    qInfo("idle 1 s: %d reads, %d ClearCommError", idleReads, idleLooks);
    QVERIFY2(used < 0.6, qPrintable(QStringLiteral("%1 s of CPU").arg(used)));
    QVERIFY2(idleReads <= 3 && idleLooks <= 25,
             qPrintable(QStringLiteral("%1 reads and %2 looks in 1 s").arg(idleReads).arg(idleLooks)));
    // A frame written just before closing goes out whole.
    click(m_window, QStringLiteral("Prof"));
    m_window->close();
    QCOMPARE(m_peer.take(5, 5000).toHex(' '), QByteArray("01 01 01 04 00"));
    QVERIFY2(m_sink->failures.isEmpty(), qPrintable(m_sink->failures.join(u'\n')));
}

void TestWindowsEndToEnd::answersWhileABoxIsOpenAreAllTaken()
{
    // 180,000 bytes while the first box is open: far more than a driver's queue holds, so the console
    // must take them from the line meanwhile, and show them afterwards one box at a time, in order.
    constexpr int count = 60000;
    const NumberedAnswers answers(count);
    const QByteArray &meanwhile = answers.bytes;
    const QStringList expected = QStringList{QStringLiteral("1 1 1")} + answers.texts;
    connectToPeer();
    qsizetype takenWhileOpen = -1;
    qint64 takingMs = -1;
    bool first = true;
    int open = 0;
    int mostOpen = 0;
    m_sink->onAnswer = [&](const QString &) {
        mostOpen = std::max(mostOpen, ++open);
        if (first) {
            first = false;
            QElapsedTimer clock;
            clock.start();
            // In pieces the pseudo-terminal holds (the rig's channel blocks this loop while it sends),
            // each once the console has taken the one before, the box's own loop running meanwhile.
            QDeadlineTimer deadline(20000);
            for (qsizetype done = 0; done < meanwhile.size() && !deadline.hasExpired(); done += 2000) {
                m_peer.send(meanwhile.mid(done, 2000));
                const qsizetype sent = std::min<qsizetype>(done + 2000, meanwhile.size());
                while (m_window->link().bytesWaiting() < sent && !deadline.hasExpired())
                    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
            }
            takenWhileOpen = m_window->link().bytesWaiting();
            takingMs = clock.elapsed();
        }
        --open;
    };
    m_peer.send(frame("010101"));
    QTRY_COMPARE_WITH_TIMEOUT(m_sink->answers.size(), expected.size(), 60000);
    QCOMPARE(takenWhileOpen, meanwhile.size());
    QVERIFY(m_sink->answers == expected);
    QCOMPARE(mostOpen, 1);
    qInfo("180,000 bytes taken while a box was open, in %lld ms", takingMs);
}

void TestWindowsEndToEnd::openingKeepsTheWindowAlive()
{
    // A port that takes 1.5 s to open (a Bluetooth port connecting): the window's loop keeps running,
    // and a second press on Connecter meanwhile changes nothing.
    quirks::install(quirks::Quirk::SlowOpen);
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [&] {
        if (++ticks == 5)
            click(m_window, QStringLiteral("Connecter"));
    });
    ticker.start(20);
    connectToPeer();
    const int ticksDuringOpen = ticks;
    ticker.stop();
    QVERIFY2(ticksDuringOpen >= 20, qPrintable(QString::number(ticksDuringOpen)));
    QCOMPARE(quirks::opens.load(), 1);
    click(m_window, QStringLiteral("Prof"));
    QCOMPARE(m_peer.take(5, 5000).toHex(' '), QByteArray("01 01 01 04 00"));
    QVERIFY(m_sink->failures.isEmpty());
}

void TestWindowsEndToEnd::closeRequestDuringASlowOpenIsHeard()
{
    // The window's close (×, Alt+F4, the taskbar's "Close window": WM_CLOSE) while the port takes 1.5 s
    // to open: heard at once, the open abandoned, nothing on the line. Only the windows platform gives
    // the window a real HWND whose WM_CLOSE Qt turns into its close.
    if (QGuiApplication::platformName() != QLatin1String("windows"))
        QSKIP("needs the windows platform (LIAISON_WINE_PLATFORM=windows)");
    quirks::install(quirks::Quirk::SlowOpen);
    // When the window hears the close, and when it has gone: wine on this X server takes 2 s to hide a
    // window, whatever the program does meanwhile, where Windows takes no time.
    struct Times : QObject {
        QElapsedTimer clock;
        qint64 closeHeard = -1, hidden = -1;
        bool eventFilter(QObject *, QEvent *event) override
        {
            if (event->type() == QEvent::Close && closeHeard < 0)
                closeHeard = clock.elapsed();
            if (event->type() == QEvent::Hide && hidden < 0)
                hidden = clock.elapsed();
            return false;
        }
    } times;
    m_window->installEventFilter(&times);
    qint64 requested = -1;
    QTimer::singleShot(300, m_window, [&] {
        times.clock.start();
        requested = 0;
        QVERIFY(PostMessageW(reinterpret_cast<HWND>(m_window->winId()), WM_CLOSE, 0, 0));
    });
    typePortAndConnect(m_peer.portText());
    const qint64 returned = times.clock.elapsed();
    QCOMPARE(requested, 0);
    const QString seen =
        QStringLiteral("close heard at %1 ms, window hidden at %2 ms, open abandoned at %3 ms")
            .arg(times.closeHeard)
            .arg(times.hidden)
            .arg(returned);
    qInfo("%s", qPrintable(seen));
    QVERIFY2(times.closeHeard >= 0 && times.closeHeard < 300, qPrintable(seen));
    QVERIFY2(times.hidden >= 0 && returned - times.hidden < 300, qPrintable(seen));
    QVERIFY(!m_window->isVisible());
    QVERIFY(!m_window->link().isOpen());
    QTest::qWait(2000); // the abandoned open ends meanwhile, and closes the port again
    QCOMPARE(quirks::opens.load(), 1);
    QCOMPARE(m_peer.take(1, 50), QByteArray());
    QVERIFY2(m_sink->failures.isEmpty(), qPrintable(m_sink->failures.value(0)));
}

namespace {

// Where an unplug shows, in ioErrorsNameALostLine.
enum class LossSeen {
    OnWrite,      // the write fails
    EveryCall,    // every call on the port fails
    ReadEnds,     // the pending read ends with the code; ClearCommError still answers
    ReadEndsDead, // the pending read ends with the code, and ClearCommError fails with it too
    ReadStays,    // the pending read never ends; ClearCommError fails (USB CDC)
};

} // namespace

void TestWindowsEndToEnd::ioErrorsNameALostLine_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("seen");
    QTest::addColumn<QString>("text");
    // What USB drivers answer after their adapter is pulled out.
    for (const DWORD code : {ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND, ERROR_GEN_FAILURE,
                             ERROR_OPERATION_ABORTED, ERROR_DEVICE_NOT_CONNECTED})
        QTest::addRow("write, error %lu", code) << int(code) << int(LossSeen::OnWrite) << "débranché";
    QTest::newRow("reading, access denied")
        << int(ERROR_ACCESS_DENIED) << int(LossSeen::EveryCall) << "débranché";
    // The USB CDC driver's answer to a write the device does not take in time.
    QTest::newRow("write, semaphore time-out")
        << int(ERROR_SEM_TIMEOUT) << int(LossSeen::OnWrite) << "délai dépassé";
    // A pending read ended by the unplug with no byte.
    for (const DWORD code : {ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND, ERROR_GEN_FAILURE,
                             ERROR_DEVICE_NOT_CONNECTED, ERROR_DEVICE_REMOVED})
        QTest::addRow("pending read ended, error %lu", code)
            << int(code) << int(LossSeen::ReadEnds) << "débranché";
    // An aborted read is a loss once the port no longer answers.
    QTest::newRow("pending read aborted, port gone")
        << int(ERROR_OPERATION_ABORTED) << int(LossSeen::ReadEndsDead) << "débranché";
    // The read stays pending for ever: the port's liveness check finds the loss, within 2 s.
    QTest::newRow("pending read never ends, port gone")
        << int(ERROR_GEN_FAILURE) << int(LossSeen::ReadStays) << "débranché";
}

void TestWindowsEndToEnd::lineErrorsSpoilOnlyTheirBytes_data()
{
    QTest::addColumn<int>("flags"); // what ClearCommError reports with the bytes
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    const QByteArray three = frame("010203");
    QTest::newRow("framing error") << int(CE_FRAME) << three << "(3 erreurs de trame) : 3 octets reçus";
    QTest::newRow("parity error") << int(CE_RXPARITY) << three << "(3 erreurs de parité) : 3 octets reçus";
    QTest::newRow("UART overrun") << int(CE_OVERRUN) << three
                                  << "(1 octet perdu (débordement du circuit série)) : 3 octets reçus";
    QTest::newRow("input buffer full")
        << int(CE_RXOVER) << three << "(1 octet perdu (tampon de réception plein)) : 3 octets reçus";
    QTest::newRow("break, its 0x00 among the bytes")
        << int(CE_BREAK) << frame("010200") << "(1 coupure de ligne (break)) : 3 octets reçus";
    // The flags of one look count every byte that came with them.
    QTest::newRow("50 bytes, one framing look")
        << int(CE_FRAME) << QByteArray(50, '\x07') << "(50 erreurs de trame) : 50 octets reçus";
}

void TestWindowsEndToEnd::lineErrorsSpoilOnlyTheirBytes()
{
    // The bytes that came with a look's error flags are told in one notice, never as an answer; the
    // console goes on, and the next answer is whole.
    QFETCH(int, flags);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    connectToPeer();
    quirks::lineErrors = DWORD(flags);
    m_peer.send(bytes);
    QTRY_COMPARE_WITH_TIMEOUT(m_sink->notices.size(), 1, 5000);
    QVERIFY2(m_sink->notices.first().contains(text), qPrintable(m_sink->notices.first()));
    // Told once the line has been silent 1 s: what comes now starts clean.
    m_peer.send(frame("040506"));
    QTRY_COMPARE_WITH_TIMEOUT(m_sink->answers, QStringList{QStringLiteral("4 5 6")}, 5000);
    QCOMPARE(m_sink->boxes.size(), 2);
    QVERIFY2(m_sink->failures.isEmpty(), qPrintable(m_sink->failures.join(u'\n')));
    QCOMPARE(m_sink->endStatus, -1);
}

void TestWindowsEndToEnd::ioErrorsNameALostLine()
{
    QFETCH(int, code);
    QFETCH(int, seen);
    QFETCH(QString, text);
    connectToPeer();
    int lost = 0;
    connect(&m_window->link(), &SerialLink::notified, this,
            [&] { lost += m_window->link().commEvent() == SerialLink::LineLost; });
    QElapsedTimer clock;
    clock.start();
    switch (LossSeen(seen)) {
    case LossSeen::OnWrite:
        quirks::writeError = DWORD(code);
        break;
    case LossSeen::EveryCall:
        quirks::unplugged = DWORD(code);
        m_peer.send(frame("01")); // ends the pending read, whose result now fails
        QTRY_COMPARE_WITH_TIMEOUT(lost, 1, 5000);
        break;
    case LossSeen::ReadEndsDead:
        quirks::statusError = DWORD(code);
        [[fallthrough]];
    case LossSeen::ReadEnds:
        quirks::readEndsWith = DWORD(code);
        quirks::readsToEnd = 1;
        m_peer.send(frame("01")); // ends the pending read: the next one ends with the code
        QTRY_COMPARE_WITH_TIMEOUT(lost, 1, 5000);
        break;
    case LossSeen::ReadStays:
        quirks::statusError = DWORD(code);
        QTRY_COMPARE_WITH_TIMEOUT(lost, 1, 2000);
        qInfo("loss reported after %lld ms", clock.elapsed());
        break;
    }
    click(m_window, QStringLiteral("Prof"));
    QTRY_COMPARE_WITH_TIMEOUT(m_sink->failures.size(), 1, 5000);
    const QString message = m_sink->failures.first();
    QVERIFY2(message.contains(QStringLiteral("perdue")) && message.contains(text), qPrintable(message));
    QVERIFY2(!message.contains(QStringLiteral("occupé")), qPrintable(message));
}

void TestWindowsEndToEnd::abortedReadsOnALivePortGoOn_data()
{
    QTest::addColumn<int>("aborts");
    QTest::addColumn<bool>("atOnce"); // ReadFile fails at once with 995, rather than pending first
    // Some USB CDC drivers end a read with 995 during normal traffic, the port alive.
    QTest::newRow("one aborted read") << 1 << false;
    // Often enough in a row that the device asks ClearCommError instead of re-arming for ever.
    QTest::newRow("three aborted reads in a row") << 3 << false;
    QTest::newRow("one read fails at once with 995") << 1 << true;
    QTest::newRow("three reads fail at once with 995") << 3 << true;
}

void TestWindowsEndToEnd::abortedReadsOnALivePortGoOn()
{
    QFETCH(int, aborts);
    QFETCH(bool, atOnce);
    connectToPeer();
    int lost = 0;
    connect(&m_window->link(), &SerialLink::notified, this,
            [&] { lost += m_window->link().commEvent() == SerialLink::LineLost; });
    quirks::readEndsWith = ERROR_OPERATION_ABORTED;
    quirks::readsFailAtOnce = atOnce;
    quirks::readsToEnd = aborts;
    m_peer.send(frame("010203")); // ends the pending read: the reads on the quiet line after it abort
    QTRY_COMPARE_WITH_TIMEOUT(quirks::readsToEnd.load(), 0, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(m_sink->answers, QStringList{QStringLiteral("1 2 3")}, 5000);
    // Three reads in a row that brought nothing: the device polls the quiet line until a read is tried
    // again, LivenessMs later.
    const int looksBefore = quirks::statusCalls;
    QTest::qWait(500);
    const int looks = quirks::statusCalls - looksBefore;
    qInfo("%d ClearCommError in the 500 ms after the aborts", looks);
    QVERIFY2(aborts >= windevice::EmptyReadsBeforePolling ? looks >= 5 : looks <= 2,
             qPrintable(QString::number(looks)));
    // Once the aborts are over, a read waits again by the port's next liveness check, though the
    // line stays quiet: no poll is left running for the rest of the session.
    QTest::qWait(2000);
    const int reads = quirks::readsStarted, idleLooksBefore = quirks::statusCalls;
    QTest::qWait(2000);
    const int idleReads = quirks::readsStarted - reads, idleLooks = quirks::statusCalls - idleLooksBefore;
    qInfo("idle 2 s after the aborts: %d reads, %d ClearCommError", idleReads, idleLooks);
    QVERIFY2(idleReads == 0 && idleLooks <= 3,
             qPrintable(QStringLiteral("%1 reads and %2 looks in 2 s idle").arg(idleReads).arg(idleLooks)));
    m_peer.send(frame("040506"));
    QTRY_COMPARE_WITH_TIMEOUT(m_sink->answers.size(), 2, 5000);
    QCOMPARE(m_sink->answers.last(), QStringLiteral("4 5 6"));
    QCOMPARE(lost, 0);
    QVERIFY2(m_sink->failures.isEmpty(), qPrintable(m_sink->failures.join(u'\n')));
}

void TestWindowsEndToEnd::errorsBeforeTheFirstLookGoWithTheirBytes_data()
{
    QTest::addColumn<int>("quirk");
    QTest::addColumn<QString>("notice"); // what it says of the spoiled bytes; empty: none is shown
    // Bytes that arrive just after the open's first purge, spoiled on the line: the driver keeps their
    // error flags until the next ClearCommError. The open drops them with their flags.
    QTest::newRow("dropped by the open") << int(quirks::Quirk::PurgeMissesArrivals) << "";
    // A device that keeps sending: the open cannot drop them, and their flags go with them.
    QTest::newRow("still queued after the open")
        << int(quirks::Quirk::DeviceNeverStops) << "(3 erreurs de trame) : 3 octets reçus";
}

void TestWindowsEndToEnd::errorsBeforeTheFirstLookGoWithTheirBytes()
{
    QFETCH(int, quirk);
    QFETCH(QString, notice);
    quirks::install(quirks::Quirk(quirk));
    quirks::lineErrors = CE_FRAME;
    // The open runs beside the window's loop: the bytes go out once the purge has been made.
    QTimer sender;
    connect(&sender, &QTimer::timeout, this, [&] {
        if (quirks::purgeWaiting.exchange(false))
            m_peer.send(frame("010203"));
    });
    sender.start(50);
    connectToPeer();
    sender.stop();
    QVERIFY(quirks::purgeMissed && !quirks::purgeWaiting);
    if (!notice.isEmpty()) {
        QTRY_COMPARE_WITH_TIMEOUT(m_sink->notices.size(), 1, 5000);
        QVERIFY2(m_sink->notices.first().contains(notice), qPrintable(m_sink->notices.first()));
    }
    m_peer.send(frame("040506"));
    QTRY_COMPARE_WITH_TIMEOUT(m_sink->answers, QStringList{QStringLiteral("4 5 6")}, 5000);
    QTest::qWait(200);
    QCOMPARE(m_sink->boxes.size(), notice.isEmpty() ? 1 : 2);
    QVERIFY2(m_sink->failures.isEmpty(), qPrintable(m_sink->failures.join(u'\n')));
}

void TestWindowsEndToEnd::bytesInFlightAtAnUnplugAreCounted()
{
    // A long list handed to the driver, still in flight when the adapter is pulled out: the link's own
    // queue is empty, and the bytes the driver had taken are lost all the same.
    quirks::install(quirks::Quirk::WritesNeverEnd);
    connectToPeer();
    QStringList values;
    for (int i = 0; i < 1000; ++i)
        values << QString::number(i % 256);
    sendList(values.join(u' '));
    QTRY_VERIFY_WITH_TIMEOUT(quirks::writesStarted > 0 && m_window->link().outputQueued() == 0, 5000);
    quirks::unplugged = ERROR_DEVICE_NOT_CONNECTED;
    m_peer.send(frame("01"));
    QTRY_COMPARE_WITH_TIMEOUT(m_sink->failures.size(), 1, 5000);
    QVERIFY2(m_sink->failures.first().contains(QStringLiteral("au moins 1000 octet")),
             qPrintable(m_sink->failures.first()));
}

void TestWindowsEndToEnd::aWaitThatEndsLateFindsItsBlocks()
{
    // A driver that ends a cancelled read only 600 ms later writes into the read's blocks then: they
    // must still be the device's, though the port was closed long before.
    quirks::install(quirks::Quirk::WaitEndsLate);
    connectToPeer();
    m_peer.send(frame("01")); // a byte to read, which the driver holds
    QTRY_VERIFY_WITH_TIMEOUT(quirks::heldReadPending(), 5000);
    QElapsedTimer clock;
    clock.start();
    m_window->close();
    QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
    QTRY_VERIFY_WITH_TIMEOUT(!quirks::heldReadPending(), 5000);
    QVERIFY(!quirks::freedBlockWritten);
}

void TestWindowsEndToEnd::idleLinkDoesNotSpin()
{
    connectToPeer();
    // Idle, the process uses about 0.06 s of CPU a second here (wine's own thread watching the modem
    // lines included); a link that waits again at once on every aborted wait uses three times that.
    const double before = processCpuSeconds();
    const int reads = quirks::readsStarted, looks = quirks::statusCalls;
    QTest::qWait(2000);
    const double used = processCpuSeconds() - before;
    QVERIFY2(used < 0.25, qPrintable(QStringLiteral("%1 s of CPU in 2 s idle").arg(used)));
    // Nor is it polled: the read that is pending waits, and the port's life is checked every 1.5 s.
    const int idleReads = quirks::readsStarted - reads, idleLooks = quirks::statusCalls - looks;
    QVERIFY2(idleReads == 0 && idleLooks <= 3,
             qPrintable(QStringLiteral("%1 reads and %2 looks in 2 s idle").arg(idleReads).arg(idleLooks)));
    // And it still hears the device afterwards.
    m_peer.send(frame("030201"));
    QTRY_COMPARE_WITH_TIMEOUT(m_sink->answers, QStringList{QStringLiteral("3 2 1")}, 5000);
}

QTEST_MAIN(TestWindowsEndToEnd)
#include "tst_windows_e2e.moc"
