// PtyPair: a real pseudo-terminal pair standing in for the device in the tests.
#pragma once

#include "rig/linepeer.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>

#include <atomic>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

// The device side of a pseudo-terminal. The console opens the other side by its port number,
// 100 + k for /dev/pts/k.
class PtyPair {
public:
    PtyPair()
    {
        char name[64] = {};
        if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0)
            return;
        m_path = QString::fromLocal8Bit(name);
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
        // The device reads bytes exactly as the console sends them.
        termios tio{};
        ::tcgetattr(m_slave, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(m_slave, TCSANOW, &tio);
    }
    ~PtyPair()
    {
        closeMaster();
        closeSlave();
    }
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool isValid() const { return m_master >= 0 && m_path.startsWith(QLatin1String("/dev/pts/")); }
    int master() const { return m_master; }
    QString path() const { return m_path; }
    int portNumber() const { return 100 + m_path.mid(9).toInt(); }
    QString portText() const { return QString::number(portNumber()); }

    // Hangs up as an unplugged device would.
    void closeMaster()
    {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }
    // The test's own handle on the console's side; closing it leaves the console as its only user.
    void closeSlave()
    {
        if (m_slave >= 0)
            ::close(m_slave);
        m_slave = -1;
    }

    // Reads what the console sent until `count` bytes have come or `ms` have passed, keeping the
    // console's event loop running meanwhile (it drains its queue from there).
    QByteArray readAtLeast(qsizetype count, int ms = 3000) { return ::readAtLeast(m_master, count, ms); }
    // Reads on a thread of its own while this thread keeps the console's event loop running, until
    // `count` bytes have come or nothing has come for `idleMs`. For volumes where the reading and the
    // console's draining must overlap.
    QByteArray readWhileConsoleRuns(qsizetype count, int idleMs = 5000)
    {
        QByteArray got;
        std::atomic<bool> done = false;
        std::thread reader([&] {
            QElapsedTimer idle;
            idle.start();
            while (got.size() < count && idle.elapsed() < idleMs) {
                const QByteArray more = readAvailable(20);
                if (!more.isEmpty())
                    idle.restart();
                got += more;
            }
            done = true;
        });
        while (!done)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        reader.join();
        return got;
    }
    // Whatever is readable now, waiting at most `ms` for the first byte.
    QByteArray readAvailable(int ms = 0) { return ::readAvailable(m_master, ms); }
    bool send(const QByteArray &bytes)
    {
        return ::write(m_master, bytes.constData(), bytes.size()) == bytes.size();
    }
    // Sends more than the pseudo-terminal holds, as the console takes it: true when all went within `ms`.
    // Safe on a thread of its own while another keeps the console's event loop running.
    bool sendAll(const QByteArray &bytes, int ms) { return writeAll(m_master, bytes, ms); }

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_path;
};
