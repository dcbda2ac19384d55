// CommandPeer: a device played by another program, which this test program commands over a channel,
// one command a line, each answer one line:
//
//   recv MAX   ->  data HEX   up to MAX bytes the device has received, oldest first ("data " when none)
//   send HEX   ->  ok         once the bytes are on the line
//   attr       ->  attr NAME=VALUE...   the line settings as the device side sees them
//   hangup     ->  ok         once the device side of the line is closed
//   break      ->  ok         once a break is on the line
//
// The wine rig's compeer and the QEMU rig's qemu_host answer it. A broken channel or an unexpected
// answer is fatal: the rig, not the code under test, is then at fault.
#pragma once

#include "linepeer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

class CommandPeer : public LinePeer {
public:
    QByteArray take(qsizetype count, int ms) override
    {
        QByteArray got;
        QElapsedTimer timer;
        timer.start();
        while (got.size() < count) {
            const QByteArray answer = ask("recv " + QByteArray::number(count - got.size()));
            if (!answer.startsWith("data "))
                fail("recv", answer);
            got += QByteArray::fromHex(answer.mid(5));
            if (got.size() >= count || timer.hasExpired(ms))
                break;
            // The console's event loop runs meanwhile, without spinning.
            QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
            QThread::msleep(1);
        }
        return got;
    }
    void send(const QByteArray &bytes) override { expectOk("send " + bytes.toHex()); }

protected:
    virtual void write(const QByteArray &bytes) = 0;
    // Some bytes of the answers, waiting for them; empty when the channel is broken.
    virtual QByteArray readSome() = 0;

    QByteArray ask(const QByteArray &command)
    {
        write(command + '\n');
        for (qsizetype end; (end = m_input.indexOf('\n')) < 0;) {
            const QByteArray more = readSome();
            if (more.isEmpty())
                qFatal("the device's player closed the channel after \"%s\"", command.left(40).constData());
            m_input += more;
        }
        const qsizetype end = m_input.indexOf('\n');
        QByteArray answer = m_input.left(end);
        m_input.remove(0, end + 1);
        return answer.endsWith('\r') ? answer.chopped(1) : answer;
    }
    void expectOk(const QByteArray &command)
    {
        const QByteArray answer = ask(command);
        if (answer != "ok")
            fail(command.left(40).constData(), answer);
    }
    LineSettings attributes()
    {
        const QByteArray answer = ask("attr");
        if (!answer.startsWith("attr "))
            fail("attr", answer);
        return settingsFrom(answer.mid(5));
    }
    [[noreturn]] static void fail(const char *command, const QByteArray &answer)
    {
        qFatal("the device's player answered %s with \"%s\"", command, answer.left(200).constData());
    }

private:
    QByteArray m_input; // answer bytes read past the current line
};
