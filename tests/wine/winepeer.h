// WinePeer: a Windows test program's hold on the device at the far end of its COM port, when the program runs
// under wine inside compeer (see README.md in this folder). Commands go out on standard output and each
// answer comes back as one line on standard input, so nothing else may write to standard output: run a QtTest
// program with -o FILE,txt. Every call answers at once except take(), which polls while the program's own
// event loop keeps running. A broken channel or an unexpected answer is fatal: the rig, not the code under
// test, is then at fault.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMap>
#include <QString>
#include <QtGlobal>

#include <windows.h>

class WinePeer {
public:
    static bool available() { return qEnvironmentVariableIsSet("LIAISON_PEER_COM"); }

    // The COM number whose far end this is.
    int com() const { return qEnvironmentVariableIntValue("LIAISON_PEER_COM"); }

    // The bytes the device has received, oldest first: polls until count of them have come or timeoutMs has
    // passed, and returns what came (fewer on time-out, never more).
    QByteArray take(int count, int timeoutMs)
    {
        QByteArray got;
        QElapsedTimer timer;
        timer.start();
        while (got.size() < count) {
            const QByteArray answer = ask("recv " + QByteArray::number(count - got.size()));
            if (!answer.startsWith("data "))
                fail("recv", answer);
            got += QByteArray::fromHex(answer.mid(5));
            if (got.size() >= count || timer.hasExpired(timeoutMs))
                break;
            runEventsFor(2);
        }
        return got;
    }

    // The device sends these bytes; they are on the line when this returns.
    void send(const QByteArray &bytes) { expectOk("send " + bytes.toHex()); }

    // The line settings the program applied, as the device side sees them: ispeed, ospeed, csize, parenb,
    // cstopb, crtscts, ixon, ixoff, clocal, cread (numbers as text; flags 0 or 1).
    QMap<QString, QString> attributes()
    {
        const QByteArray answer = ask("attr");
        if (!answer.startsWith("attr "))
            fail("attr", answer);
        QMap<QString, QString> settings;
        for (const QByteArray &pair : answer.mid(5).split(' ')) {
            const qsizetype eq = pair.indexOf('=');
            if (eq > 0)
                settings.insert(QString::fromLatin1(pair.left(eq)), QString::fromLatin1(pair.mid(eq + 1)));
        }
        return settings;
    }

    // The device goes away: its side of the line closes, as when a cable is pulled. Cannot be undone.
    void hangUp() { expectOk("hangup"); }

private:
    QByteArray m_input; // answer bytes read past the current line

    QByteArray ask(const QByteArray &command)
    {
        const QByteArray line = command + '\n';
        const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
        for (qsizetype done = 0; done < line.size();) {
            DWORD written = 0;
            if (!WriteFile(out, line.constData() + done, DWORD(line.size() - done), &written, nullptr) ||
                written == 0)
                qFatal("WinePeer: cannot write to the peer (error %lu): run this program under compeer",
                       GetLastError());
            done += written;
        }
        for (;;) {
            const qsizetype end = m_input.indexOf('\n');
            if (end >= 0) {
                QByteArray answer = m_input.left(end);
                m_input.remove(0, end + 1);
                if (answer.endsWith('\r'))
                    answer.chop(1);
                return answer;
            }
            char buf[16384];
            DWORD got = 0;
            if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), buf, sizeof buf, &got, nullptr) || got == 0)
                qFatal("WinePeer: the peer closed the channel (error %lu)", GetLastError());
            m_input.append(buf, qsizetype(got));
        }
    }

    void expectOk(const QByteArray &command)
    {
        const QByteArray answer = ask(command);
        if (answer != "ok")
            fail(command.left(40).constData(), answer);
    }

    [[noreturn]] static void fail(const char *command, const QByteArray &answer)
    {
        qFatal("WinePeer: the peer answered %s with \"%s\"", command, answer.left(200).constData());
    }

    // Lets the program's event loop run for about ms milliseconds without spinning.
    static void runEventsFor(int ms)
    {
        QElapsedTimer timer;
        timer.start();
        do {
            QCoreApplication::processEvents(QEventLoop::AllEvents, ms);
            if (!timer.hasExpired(ms))
                ::Sleep(1);
        } while (!timer.hasExpired(ms));
    }
};
