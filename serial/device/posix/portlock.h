// PortLock: the UUCP lock file of a serial device on Linux, /run/lock/LCK..ttyUSB0, holding the process
// id of the program that has the port open. Long-standing terminal programs and Qt's serial port make
// and honour these; TIOCEXCL does not stop root and flock is only seen by programs that also lock, so
// the lock file is how those programs and the console keep out of each other's way.
#pragma once

#include <QString>
#include <QStringList>

#include <sys/types.h>

class PortLock {
public:
    // The folders where lock files live; a lock is looked for in each and made in the first writable.
    static QStringList defaultFolders();
    // "LCK..ttyUSB0" for /dev/ttyUSB0, "LCK..pts_3" for /dev/pts/3.
    static QString fileName(const QString &devicePath);

    explicit PortLock(const QString &devicePath, QStringList folders = defaultFolders());
    ~PortLock() { release(); }
    PortLock(const PortLock &) = delete;
    PortLock &operator=(const PortLock &) = delete;

    // Takes the lock. Returns the process id of another live program that holds the port (nothing is
    // taken then), or 0. A lock file naming a process that no longer runs is stale: it is removed. Where
    // no lock folder is writable, nothing is taken and the port is not refused for it.
    pid_t acquire();
    // Removes the lock file if this lock made it and it still names this process.
    void release();
    bool isHeld() const { return !m_path.isEmpty(); }

    // The name a running process goes by ("picocom"), empty when unknown.
    static QString processName(pid_t pid);

private:
    QString m_device;
    QStringList m_folders;
    QString m_path; // the lock file this lock made
};
