// The window's close request (×, Alt+F4: the window system's close, which Qt counts as user input)
// while the port takes its time to open: it is heard at once, the open is abandoned, nothing goes on the
// line; keys, clicks and presses meanwhile are held back and come once the port is open, while another
// window's input is not held.
#include "driverstandin.h"
#include "ptypair.h"
#include "rig/consolefixture.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QElapsedTimer>
#include <QProcess>
#include <QTimer>
#include <qpa/qwindowsysteminterface.h>

#include <memory>

class TestCloseDuringOpen : public ConsoleFixture {
    Q_OBJECT
private slots:
    void closeRequestIsHeard_data();
    void closeRequestIsHeard();

private:
    void beforeEach() override
    {
        m_pty = std::make_unique<PtyPair>();
        QVERIFY(m_pty->isValid());
    }
    void afterEach() override { m_pty.reset(); }

    std::unique_ptr<PtyPair> m_pty;
};

void TestCloseDuringOpen::closeRequestIsHeard_data()
{
    QTest::addColumn<QString>("request"); // what happens during the open
    QTest::newRow("the platform's close ends it at once") << "platform";
    // Alt+F4 to a real window manager, which asks the window to close (WM_DELETE_WINDOW): only on the
    // xcb platform (tests/x11/with-window-manager.sh).
    QTest::newRow("the window manager's close ends it at once") << "window manager";
    QTest::newRow("without a close, a click waits for the open") << "click";
    // A screen reader presses a button through its accessible action, which comes as no input event.
    QTest::newRow("a screen reader's press waits for the open") << "accessible press";
    QTest::newRow("an animated click waits for the open") << "animate click";
    // A message box, or any window but the console's, gets its input meanwhile.
    QTest::newRow("another window's click is not held") << "other window";
}

void TestCloseDuringOpen::closeRequestIsHeard()
{
    QFETCH(QString, request);
    const bool close = request == QLatin1String("platform") || request == QLatin1String("window manager");
    if (request == QLatin1String("window manager")) {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            QSKIP("needs the xcb platform and a window manager (tests/x11/with-window-manager.sh)");
        QVERIFY(QTest::qWaitForWindowActive(m_window));
    }
    m_pty->closeSlave();
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(m_pty->path()).constData(), &st), 0);
    slowSetUpMs = 2000;
    slowSetUpDevice = st.st_rdev;
    QElapsedTimer sinceRequest;
    QPushButton other(QStringLiteral("Autre"));
    if (request == QLatin1String("other window")) // shown only here: it would take the window manager's close
        other.show();
    qint64 otherClickedAfter = -1;
    connect(&other, &QPushButton::clicked, this, [&] { otherClickedAfter = sinceRequest.elapsed(); });
    QTimer::singleShot(200, m_window, [&] {
        sinceRequest.start();
        QPushButton *prof = findButton(m_window, QStringLiteral("Prof"));
        // Each held back but the other window's: the port is not open yet.
        if (request == QLatin1String("click"))
            QTest::mouseClick(prof, Qt::LeftButton);
        else if (request == QLatin1String("accessible press"))
            QAccessible::queryAccessibleInterface(prof)->actionInterface()->doAction(
                QAccessibleActionInterface::pressAction());
        else if (request == QLatin1String("animate click"))
            prof->animateClick();
        else if (request == QLatin1String("other window"))
            QTest::mouseClick(&other, Qt::LeftButton);
        else if (request == QLatin1String("platform"))
            // Queued as the platform's own close is, for the event loop to take.
            QWindowSystemInterface::handleCloseEvent(m_window->windowHandle());
        else { // through the X server's input, as the keyboard gives it: the window manager takes it
            QVERIFY(QProcess::execute(QStringLiteral("xdotool"),
                                      {QStringLiteral("key"), QStringLiteral("alt+F4")}) == 0);
            // From the key's sending on: starting xdotool on a loaded machine is not the console's time.
            sinceRequest.restart();
        }
    });
    typePortAndConnect(m_pty->portText());
    slowSetUpDevice = 0;
    if (close) {
        QVERIFY2(sinceRequest.elapsed() < 500, qPrintable(QString::number(sinceRequest.elapsed())));
        QVERIFY(!m_window->isVisible());
        QVERIFY(!m_window->link().isOpen());
        QTest::qWait(2500); // the abandoned open ends meanwhile, and closes the port again
        QCOMPARE(m_pty->readAvailable(50), QByteArray());
    } else if (request == QLatin1String("other window")) {
        QVERIFY2(otherClickedAfter >= 0 && otherClickedAfter < 500,
                 qPrintable(QString::number(otherClickedAfter)));
        QVERIFY(m_window->link().isOpen());
    } else {
        QVERIFY(m_window->link().isOpen());
        QCOMPARE(m_pty->readAtLeast(5).toHex(' '), QByteArray("01 01 01 04 00"));
    }
    QVERIFY2(m_sink->failures.isEmpty(), qPrintable(m_sink->failures.value(0)));
}

QTEST_MAIN(TestCloseDuringOpen)
#include "tst_closeduringopen.moc"
