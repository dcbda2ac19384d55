// ConsoleFixture: a console window with a recording sink, connected to a real pseudo-terminal, as the
// end-to-end tests drive it.
#pragma once

#include "consolewidgets.h"
#include "consolewindow.h"
#include "ptypair.h"
#include "recordingsink.h"

#include <QTest>

#include <ctime>

// CPU seconds this process has used so far: a loop spinning on a dead descriptor shows up here.
inline double processCpuSeconds()
{
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Types the device's port number in the Com box and presses Connecter.
inline void connectTo(QWidget *window, const PtyPair &pty)
{
    findBox(window, QStringLiteral("Port"))->setText(pty.portText());
    click(window, QStringLiteral("Connecter"));
}

// Base of the end-to-end test classes: before each test function a fresh pseudo-terminal and a fresh
// window shown with a recording sink; after it, all of them gone.
class ConsoleFixture : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { ConsoleWindow::setUpApplication(); }
    void init()
    {
        m_pty = new PtyPair;
        QVERIFY(m_pty->isValid());
        m_sink = new RecordingSink;
        m_window = new ConsoleWindow(m_sink);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
    }
    void cleanup()
    {
        delete m_window;
        delete m_sink;
        delete m_pty;
        m_window = nullptr;
        m_sink = nullptr;
        m_pty = nullptr;
    }

protected:
    PtyPair *m_pty = nullptr;
    RecordingSink *m_sink = nullptr;
    ConsoleWindow *m_window = nullptr;
};
