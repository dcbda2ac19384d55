// PortLock: the UUCP lock file of a serial device on Linux, /run/lock/LCK..ttyUSB0, holding the process
// id of the program that has the port open. Long-standing terminal programs and Qt's serial port make
// and honour these; TIOCEXCL does not stop root and flock is only seen by programs that also lock, so
// the lock file is how those programs and the console keep out of each other's way.
//
// A lock file that another program left is judged as follows:
// - it names a running process that was started before the file was written: the port is held;
// - it is empty and younger than EmptyLockGraceS: its program is between making it and writing its
//   number: the port is held (by a process not known yet);
// - anything else is stale: an empty file older than that, a content that names no valid process (not
//   a number, 0, negative, beyond the system's largest process id), a process that has ended, or one
//   that started after the file was written (its number was given out again). A stale lock is replaced.
// Replacing is safe against a second program doing the same at the same instant: the stale file is
// removed only while this program holds an flock on it and it is still the file at that path, and the
// console's own lock appears whole, by link(), never as an empty file.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <sys/types.h>

class PortLock {
public:
    static constexpr int EmptyLockGraceS = 10;

    // Who holds the port instead: the process id (0 while its lock file is still empty), and its file.
    struct Holder {
        pid_t pid = 0;
        QString lockFile;
    };

    // The folders where lock files live; a lock is looked for in each and made in the first writable.
    static QStringList defaultFolders();
    // "LCK..ttyUSB0" for /dev/ttyUSB0, "LCK..pts_3" for /dev/pts/3.
    static QString fileName(const QString &devicePath);

    explicit PortLock(const QString &devicePath, QStringList folders = defaultFolders());
    ~PortLock() { release(); }
    PortLock(const PortLock &) = delete;
    PortLock &operator=(const PortLock &) = delete;

    // Takes the lock. Returns who holds the port instead (nothing is taken then), or nothing. Where no
    // lock folder is writable, nothing is taken and the port is not refused for it.
    std::optional<Holder> acquire();
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
