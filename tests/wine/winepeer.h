// WinePeer: a Windows test program's hold on the device at the far end of its COM port, when the program
// runs under wine inside compeer (see README.md in this folder). Commands go out on standard output and
// each answer comes back on standard input, so nothing else may write to standard output: run a QtTest
// program with -o FILE,txt.
#pragma once

#include "../rig/commandpeer.h"
#include "lineerrorknobs.h"

#include <QDeadlineTimer>

#include <windows.h>

class WinePeer : public CommandPeer {
public:
    static bool available() { return qEnvironmentVariableIsSet("LIAISON_PEER_COM"); }

    // The COM number whose far end this is.
    int com() const { return qEnvironmentVariableIntValue("LIAISON_PEER_COM"); }

    QString portText() const override { return QString::number(com()); }
    QString devicePath() const override { return QStringLiteral("\\\\.\\COM%1").arg(com()); }
    // Wine registers the rig's line as a port (scripts/wine-test.sh).
    bool listed() const override { return true; }
    LineSettings settings() override
    {
        LineSettings seen = attributes();
        // A pseudo-terminal always reports 8 data bits without parity, and wine chooses CLOCAL and
        // CREAD itself: none of them tells what the program asked for.
        for (const char *unseen : {"csize", "parenb", "clocal", "cread"})
            seen.remove(QString::fromLatin1(unseen));
        return seen;
    }
    // The line comes back, fresh, for the next program that opens the port.
    QString hangUp() override
    {
        expectOk("hangup");
        return {};
    }
    // A pseudo-terminal carries no framing error: the driver played by driverquirks.h flags the look that
    // finds these bytes with CE_FRAME. The flags of a look spoil every byte that came with them, so the
    // byte at `index` cannot be singled out.
    QString sendSpoiled(const QByteArray &bytes, qsizetype) override
    {
        if (!quirks::installed)
            return QStringLiteral("the driver quirks are not installed");
        quirks::lineErrors = CE_FRAME;
        send(bytes);
        return {};
    }
    // The next look that finds no byte reports a framing error; the device's check of the port's life
    // makes one within 1.5 s. A device that makes none shows it in what the console tells.
    QString errorWithoutByte() override
    {
        if (!quirks::installed)
            return QStringLiteral("the driver quirks are not installed");
        quirks::errorsWithoutByte = CE_FRAME;
        QDeadlineTimer deadline(3000);
        while (quirks::errorsWithoutByte != 0 && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
        return {};
    }

private:
    void write(const QByteArray &bytes) override
    {
        for (qsizetype done = 0; done < bytes.size();) {
            DWORD written = 0;
            if (!WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.constData() + done,
                           DWORD(bytes.size() - done), &written, nullptr) ||
                written == 0)
                qFatal("WinePeer: cannot write to the peer (error %lu): run this program under compeer",
                       GetLastError());
            done += written;
        }
    }
    QByteArray readSome() override
    {
        char buf[16384];
        DWORD got = 0;
        if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), buf, sizeof buf, &got, nullptr))
            got = 0;
        return QByteArray(buf, qsizetype(got));
    }
};
