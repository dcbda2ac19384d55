// PtyPeer: the device played at the master side of a real pseudo-terminal, whose slave the console
// opens by its port number.
#pragma once

#include "../ptypair.h"
#include "linepeer.h"

#include <QDir>
#include <QFile>
#include <QTest>

class PtyPeer : public LinePeer, public PtyPair {
public:
    QString portText() const override { return PtyPair::portText(); }
    QString devicePath() const override { return path(); }
    void send(const QByteArray &bytes) override { QVERIFY(PtyPair::send(bytes)); }
    QByteArray take(qsizetype count, int ms) override { return readAtLeast(count, ms); }
    // The master reports the settings of the side the console opened.
    LineSettings settings() override
    {
        termios tio{};
        return ::tcgetattr(master(), &tio) == 0 ? settingsOf(tio) : LineSettings();
    }
    QString hangUp() override
    {
        closeSlave();
        closeMaster();
        return {};
    }
    // The console is then the only user of its side: nothing else keeps the line up once it closes.
    void connected() override { closeSlave(); }
    int handlesOnLine() const override
    {
        int count = 0;
        const QDir fds(QStringLiteral("/proc/self/fd"));
        for (const QString &fd : fds.entryList(QDir::Files | QDir::System)) {
            const QString target = QFile::symLinkTarget(fds.filePath(fd));
            count += target == path() || target.startsWith(path() + QLatin1String(" "));
        }
        return count;
    }
};
